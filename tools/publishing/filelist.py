"""The file list's text: read strictly, written, and archived under a safe name."""
import re

from .common import HEX64, MAGIC, Entry, Refused
from .rules import launcher_rejects


def split_lines(text):
    """Lines as the launcher splits them: LF ends a line, one CR before it is dropped."""
    lines = text.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [line[:-1] if line.endswith(b"\r") else line for line in lines]


def parse_manifest(data):
    """(version, entries) of a file list, strictly: whatever would make the launcher
    refuse it, or could never match a file, raises Refused."""
    lines = split_lines(data)
    if not lines or lines[0] != MAGIC.encode():
        raise Refused(f'the first line is not "{MAGIC}"')
    version, entries = "", []
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split(b"\t")
        if fields[0] == b"version" and len(fields) >= 2:
            version = fields[1].decode("utf-8", "replace")
        elif fields[0] == b"f":
            if len(fields) != 5:
                raise Refused(f"line {number}: an f line has {len(fields)} fields instead of 5")
            h, size, flags, path = (f.decode("utf-8", "replace") for f in fields[1:])
            if not HEX64.match(h):
                raise Refused(f"line {number}: the hash is not 64 lower-case hexadecimal digits")
            if not size.isdigit() or not size.isascii():
                raise Refused(f"line {number}: the size is not a decimal number")
            why = launcher_rejects(path)
            if why:
                raise Refused(f"line {number}: the path {why}")
            entries.append(Entry(h, int(size), flags, path))
    if not entries:
        raise Refused("no f line")
    return version, entries


def format_manifest(version, entries):
    lines = [MAGIC, f"version\t{version}"]
    lines += [f"f\t{e.hash}\t{e.size}\t{e.flags}\t{e.path}" for e in entries]
    return ("\n".join(lines) + "\n").encode("utf-8")


def archive_name(version):
    safe = re.sub(r"[^A-Za-z0-9._-]", "_", version)
    return "v" + safe if safe.startswith(".") or not safe else safe


def read_manifest_file(path):
    with open(path, "rb") as f:
        return parse_manifest(f.read())
