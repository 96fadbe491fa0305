#!/usr/bin/env python3
"""Publishes a game build for the launcher, and checks, trims or uploads a published tree.

  publish.py publish BUILD_DIR OUT_DIR --version V [--keep GLOB]... [--unkeep GLOB]...
                     [--launcher PATH] [--verify-existing] [--allow-foreign-launcher]
                     [--drop-launcher] [--dry-run]
  publish.py verify OUT_DIR
  publish.py prune OUT_DIR [--grace 24h] [--dry-run]
  publish.py rollback OUT_DIR VERSION
  publish.py upload OUT_DIR REMOTE [--dry-run]
  publish.py keygen KEYFILE

publish and rollback sign the list they serve with --sign-key KEYFILE (or the key files
named by TARSIN_SIGN_KEY), for launchers built with the matching public key; verify
checks the signatures with --public-key HEX.

OUT_DIR is what the web server serves under the launcher's base URL:
  manifest.txt        the file list the launcher fetches (replaced last, atomically)
  o/<sha256>          one object per distinct file content, never changed once written
  manifests/<V>.txt   a copy of every published file list, for rollback; prune keeps
                      every object that one of them names
  retired/<time>.txt  every list that stopped being served, for the grace period: prune
                      keeps their objects for the launchers still installing them
  s/<sha256>          the signed statement of the list whose bytes have that SHA-256
"""
import argparse
import calendar
import fcntl
import fnmatch
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import signing

MAGIC = "KXUPDATE 1"
MANIFEST = "manifest.txt"
OBJECTS = "o"
ARCHIVE = "manifests"
RETIRED = "retired"
LOCK = ".publish.lock"
TEMP_PREFIX = ".tmp-"
CHUNK = 1 << 20
# A temporary object this old belongs to no running publish (they hold the lock).
STALE_TEMP_SECONDS = 3600
# A launcher fetches the list once and then downloads for as long as the player's line
# needs; prune leaves the objects of a retired list alone this long.
GRACE_SECONDS = 24 * 3600
# The launcher stops fetching a file list once it holds this much, and fails.
MANIFEST_LIMIT = 64 * 2**20

# Files the launcher itself keeps in the installation directory; a game file of
# the same name would be overwritten, deleted or misread by it.
LAUNCHER_OWN_FILES = {"data-state.txt", "data-state.txt.tmp", "launcher.log",
                      "data-signed.txt", "data-signed.txt.tmp"}
WINDOWS_RESERVED = {"CON", "PRN", "AUX", "NUL"} | {f"{d}{i}" for d in ("COM", "LPT") for i in range(1, 10)}
WINDOWS_BAD_CHARS = set('<>"|?*') | {chr(c) for c in range(32)}
# With an installation folder of typical depth, longer paths pass the 260 characters of MAX_PATH.
LONG_PATH = 200
HEX64 = re.compile(r"[0-9a-f]{64}\Z")


class Refused(Exception):
    """A condition that stops the command; its text names the file."""


@dataclass
class Entry:
    hash: str
    size: int
    flags: str
    path: str


@dataclass
class BuildFile:
    path: str        # relative, "/"-separated, as it goes into the manifest
    source: str      # where to read it
    size: int


def shown(path):
    """The path as a message can show it: control characters escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def say(message):
    print(message, file=sys.stderr, flush=True)


# ---- paths -------------------------------------------------------------------

def launcher_rejects(path):
    """Why the launcher's relative-path rule rejects the path, or None."""
    if path == "":
        return "empty path"
    if path.startswith("/"):
        return 'begins with "/"'
    if ".." in path:
        return 'contains ".."'
    if ":" in path:
        return 'contains ":"'
    if "\\" in path:
        return 'contains "\\"'
    if any(c < " " for c in path):
        return "contains a control character"
    return None


def format_rejects(path):
    """Why the path cannot be written into a manifest line, or None."""
    for c, name in (("\t", "a TAB"), ("\n", "a line feed"), ("\r", "a carriage return")):
        if c in path:
            return f"contains {name}, which the file list cannot carry"
    return None


def windows_problems(path):
    """What Windows cannot hold in the path (warnings: the launcher accepts it)."""
    problems = []
    for part in path.split("/"):
        stem = part.split(".")[0].rstrip(" ").upper()
        if stem in WINDOWS_RESERVED:
            problems.append(f'"{shown(part)}" is a reserved device name on Windows')
        if part.endswith((".", " ")):
            problems.append(f'"{shown(part)}" ends in a dot or a space, which Windows drops')
        bad = sorted({c for c in part if c in WINDOWS_BAD_CHARS})
        if bad:
            listed = " ".join(repr(c) for c in bad)
            problems.append(f'"{shown(part)}" holds characters Windows does not allow in names: {listed}')
    if len(path) > LONG_PATH:
        problems.append(f"{len(path)} characters long: may pass the Windows path limit of 260 "
                        "once the installation folder is in front")
    return problems


def windows_name(path):
    """The path as Windows tells files apart: letter case folded, and the dots and
    spaces that end a name dropped, as Windows drops them when it opens a path."""
    parts = []
    for part in path.split("/"):
        part = part.rstrip(". ")
        # Windows folds one character to one character: "ß" stays, "ı" and "i" meet in "I".
        parts.append(part.upper() if part.isascii() else
                     "".join(c.upper() if len(c.upper()) == 1 else c for c in part))
    return "/".join(parts)


def folders_of(paths):
    """The Windows name of every folder the paths lie in, with one path inside it."""
    folders = {}
    for p in paths:
        parts = p.split("/")
        for i in range(1, len(parts)):
            folders.setdefault(windows_name("/".join(parts[:i])), ("/".join(parts[:i]), p))
    return folders


def clash_problems(paths):
    """Pairs of paths that reach one file on Windows. The launcher would write both into
    it, one after the other, on every run, or fail to make a folder of a file."""
    problems = []
    by_name = {}
    for p in paths:
        by_name.setdefault(windows_name(p), []).append(p)
    for group in by_name.values():
        for other in group[1:]:
            problems.append((other, f'one file on Windows with "{shown(group[0])}": players\' launchers '
                                    "would write each over the other on every run"))
    folders = folders_of(paths)
    for p in paths:
        folder = folders.get(windows_name(p))
        if folder:
            problems.append((p, f'one name on Windows with the folder "{shown(folder[0])}" of '
                                f'"{shown(folder[1])}": players\' launchers cannot make both'))
    return problems


def change_problems(old_paths, old_version, paths):
    """What launchers that installed the served list go through to reach this one:
    file/folder swaps and renames that Windows does not see."""
    problems = []
    old_folders, new_folders = folders_of(old_paths), folders_of(paths)
    for p in old_paths:
        folder = new_folders.get(windows_name(p))
        if folder:
            problems.append((p, f'was a file in version {old_version} and is a folder now ("{shown(folder[1])}"): '
                                "a launcher removes the file it installed there and makes the folder in one run, "
                                "but one whose player keeps other files in the way fails until they are gone"))
    for p in paths:
        folder = old_folders.get(windows_name(p))
        if folder:
            problems.append((p, f'was a folder in version {old_version} ("{shown(folder[1])}") and is a file '
                                "now: a launcher removes the folder when it holds only files it installed, and "
                                "fails on every run while a player's own file keeps it there"))
    old_by_name = {windows_name(p): p for p in old_paths}
    renamed = {}
    for p in paths:
        old = old_by_name.get(windows_name(p))
        if old is None or old == p:
            continue
        old_parts, new_parts = old.split("/"), p.split("/")
        depth = next(i for i, (a, b) in enumerate(zip(old_parts, new_parts)) if a != b) + 1
        key = ("/".join(old_parts[:depth]), "/".join(new_parts[:depth]), depth == len(new_parts))
        renamed[key] = renamed.get(key, 0) + 1
    for (old, new, is_file), count in renamed.items():
        if is_file:
            problems.append((new, f'renamed from "{shown(old)}" of version {old_version}, a name Windows does '
                                  "not tell apart: launchers keep the file and read it whole once to record it "
                                  "under the new name"))
        else:
            problems.append((new, f'the folder "{shown(old)}" of version {old_version} renamed, a name Windows '
                                  f"does not tell apart: launchers keep its {count} files and read each whole "
                                  "once to record it under the new name"))
    return problems


def own_name_problems(paths, launcher):
    """Paths that would collide with the launcher's own files, under any spelling Windows
    takes for them (the launcher refuses the whole file list then)."""
    own = {windows_name(n) for n in LAUNCHER_OWN_FILES}
    names = {windows_name(p) for p in paths}
    old = windows_name(launcher + ".old") if launcher else None
    problems = []
    for p in paths:
        f = windows_name(p)
        if f in own:
            problems.append((p, "is a file the launcher keeps for itself"))
        elif f.endswith(".PART") and f[:-5] in names:
            problems.append((p, f'is where the launcher keeps the partial download of "{p[:-5]}"'))
        elif f == old:
            problems.append((p, "is where the launcher moves its previous executable"))
    return problems


def scan_build(build_dir):
    """Every regular file under build_dir, with the problems that refuse the build."""
    files, errors = [], []
    root = os.fsencode(os.path.abspath(build_dir))
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for d in dirs:
            full = os.path.join(folder, d)
            if os.path.islink(full):
                errors.append((os.fsdecode(os.path.relpath(full, root)),
                               "is a symbolic link to a folder; copy the folder into the build instead"))
        for name in sorted(names):
            full = os.path.join(folder, name)
            raw = os.path.relpath(full, root)
            try:
                rel = raw.decode("utf-8").replace(os.sep, "/")
            except UnicodeDecodeError:
                errors.append((os.fsdecode(raw), "the name is not valid UTF-8"))
                continue
            try:
                st = os.stat(full)
            except OSError as e:
                errors.append((rel, f"cannot be read: {e.strerror}"))
                continue
            if not os.path.isfile(full):
                errors.append((rel, "is not a regular file"))
                continue
            why = format_rejects(rel) or launcher_rejects(rel)
            if why:
                errors.append((rel, why + " (the launcher would refuse the whole file list)"))
                continue
            files.append(BuildFile(rel, os.fsdecode(full), st.st_size))
    return files, errors


def keep_matches(path, patterns):
    """A pattern with "/" matches the whole path, one without matches the file name."""
    name = path.rsplit("/", 1)[-1]
    return [p for p in patterns if fnmatch.fnmatchcase(path if "/" in p else name, p)]


def manifest_order(files, launcher):
    """Byte order of the UTF-8 paths, with the launcher first.

    The launcher downloads in file-list order and restarts as soon as its own
    executable is replaced, so listing it first lets the new build do the rest."""
    return sorted(files, key=lambda f: (f.path != launcher, f.path.encode("utf-8")))


# ---- what players of the served version go through -------------------------------

def keep_flags(paths, keep, unkeep, old_entries):
    """The "k" flags of the new list, and the problems that refuse it. A path the served
    list keeps stays kept, under any spelling Windows takes for it, until --unkeep names
    it: a keep flag that vanished would let every launcher replace players' settings."""
    flags, errors = {}, []
    for pattern in keep:
        matched = [p for p in paths if keep_matches(p, [pattern])]
        if not matched:
            say(f'publish: warning: --keep "{pattern}" matches no file')
        for p in matched:
            flags[p] = "k"
    kept_before = {windows_name(e.path) for e in old_entries if "k" in e.flags}
    unkept_any = set()
    for p in paths:
        named = keep_matches(p, unkeep)
        unkept_any.update(named)
        if named and p in flags:
            errors.append((p, f'both --keep and --unkeep "{named[0]}" name it'))
        elif not named and windows_name(p) in kept_before:
            flags[p] = "k"
    for pattern in unkeep:
        if pattern not in unkept_any:
            say(f'publish: warning: --unkeep "{pattern}" matches no file')
    return flags, errors


def launcher_dropped(old_entries, paths, launcher):
    """The served list's launcher when the build lacks it, or None. Without it in the
    list, players' launchers keep their build and never update themselves again."""
    old = next((e.path for e in old_entries if windows_name(e.path) == windows_name(launcher)), None)
    if old is None or any(windows_name(p) == windows_name(launcher) for p in paths):
        return None
    return old


def listed(paths, limit=10):
    shown_paths = [f'"{shown(p)}"' for p in paths[:limit]]
    more = f" and {len(paths) - limit} more" if len(paths) > limit else ""
    return ", ".join(shown_paths) + more


def player_changes(old_version, old_entries, entries, launcher):
    """Lines telling what launchers of the served version do with the new list: files
    added, changed and removed, every change of keep status, and the launcher's own."""
    if not old_entries:
        return [f"for players: a first version, {len(entries)} files to install"]
    old = {windows_name(e.path): e for e in old_entries}
    new = {windows_name(e.path): e for e in entries}
    added = [e.path for k, e in new.items() if k not in old]
    removed = [e.path for k, e in old.items() if k not in new]
    changed = [e.path for k, e in new.items() if k in old and old[k].hash != e.hash]
    lines = [f"for players of version {old_version}: {len(added)} files added, {len(changed)} changed, "
             f"{len(removed)} removed"]
    for label, paths in (("added", added), ("changed", changed), ("removed", removed)):
        if paths:
            lines.append(f"  {label}: {listed(paths)}")
    for k, e in new.items():
        was = old.get(k)
        if "k" in e.flags and (was is None or "k" not in was.flags):
            lines.append(f'  keep: "{shown(e.path)}" ' + ("kept from now on: launchers that have it never "
                         "replace it again" if was else "added as kept"))
        elif "k" not in e.flags and was is not None and "k" in was.flags:
            lines.append(f'  keep: "{shown(e.path)}" no longer kept: launchers replace players\' copies '
                         "with the published one")
    me = windows_name(launcher)
    if me in new and me not in old:
        lines.append(f'  launcher: "{shown(new[me].path)}" added: launchers replace themselves with it')
    elif me in new and new[me].hash != old[me].hash:
        lines.append(f'  launcher: "{shown(new[me].path)}" changed: every launcher replaces itself with it')
    elif me in old and me not in new:
        lines.append(f'  launcher: "{shown(old[me].path)}" removed: launchers stop updating themselves')
    return lines


def hash_all(files, quiet, digest_of):
    """({path: digest_of(file, progress)}, the progress shown), over a pool of threads."""
    total = sum(f.size for f in files)
    progress = Progress("hashing", len(files), total,
                        enabled=not quiet and (total >= 64 * 2**20 or len(files) >= 5000))

    def one(file):
        digest = digest_of(file, progress)
        progress.file_done()
        return digest

    # Larger files first, so that the pool does not end waiting on one big file.
    by_size = sorted(files, key=lambda f: -f.size)
    with ThreadPoolExecutor(workers()) as pool:
        digests = dict(zip((f.path for f in by_size), pool.map(one, by_size)))
    progress.finish()
    return digests, progress


def hash_build(files, quiet):
    """{path: SHA-256} of the build's files, nothing written."""
    local = threading.local()

    def digest_of(file, progress):
        if not hasattr(local, "buffer"):
            local.buffer = bytearray(CHUNK)
        digest, size = _copy_hashing(file.source, None, progress, local.buffer)
        if size != file.size:
            raise Refused(f"{file.path}: changed while it was being read")
        return digest

    return hash_all(files, quiet, digest_of)[0]


# ---- the launcher's executable ---------------------------------------------------

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
MANIFEST_ID, ICON_ID = 1, 101


def _resource(data, sections, base_rva, path):
    """The bytes of the resource at path (type, id), in its first language, or None."""
    base = _file_offset(sections, base_rva)
    directory = 0
    for want in path + (None,):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        entries = [struct.unpack_from("<II", data, base + directory + 16 + 8 * i) for i in range(named + ids)]
        found = [target for name, target in entries if want is None or name == want]
        if not found:
            return None
        if not found[0] & 0x80000000:
            rva, size = struct.unpack_from("<II", data, base + found[0])
            start = _file_offset(sections, rva)
            return data[start:start + size] if start + size <= len(data) else None
        directory = found[0] & 0x7FFFFFFF
    return None


def _file_offset(sections, rva):
    for address, size, raw in sections:
        if address <= rva < address + size:
            return raw + rva - address
    raise ValueError(f"address 0x{rva:x} lies in no section")


def _manifest_problems(text):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as e:
        return [f"its application manifest is not XML ({e})"]
    elements = [(e.tag.rsplit("}", 1)[-1], e) for e in root.iter()]
    problems = []
    if not any(tag == "assemblyIdentity" and e.get("name") == "Microsoft.Windows.Common-Controls"
               and e.get("version", "").startswith("6.") for tag, e in elements):
        problems.append("its application manifest does not ask for the common controls 6")
    if [e.get("level") for tag, e in elements if tag == "requestedExecutionLevel"] != ["asInvoker"]:
        problems.append('its application manifest does not run it "asInvoker"')
    if [(e.text or "").strip().lower() for tag, e in elements if tag == "dpiAware"] != ["true"]:
        problems.append("its application manifest does not declare it DPI-aware")
    return problems


# DLLs every Windows the launcher supports ships: a launcher that needs any other (a
# compiler's runtime left dynamic) would not start on a player's machine.
SYSTEM_DLLS = frozenset("""advapi32 bcrypt comctl32 comdlg32 crypt32 dwmapi gdi32 imm32 kernel32 msvcrt
    ntdll ole32 oleaut32 rpcrt4 secur32 setupapi shcore shell32 shlwapi user32 userenv uxtheme version
    winhttp wininet winmm ws2_32""".split())


def _imports(data, sections, rva):
    """The names of the DLLs the import directory at rva names."""
    names, at = [], _file_offset(sections, rva)
    while True:
        name_rva = struct.unpack_from("<IIIII", data, at)[3]
        if not name_rva:
            return names
        start = _file_offset(sections, name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
        at += 20


def launcher_problems(data, allow_64_bit=False):
    """Why the bytes are not a launcher Windows starts: a 32-bit GUI program carrying
    the launcher's application manifest and icon, needing only Windows' own DLLs. Empty
    when they are. allow_64_bit: the tests' 64-bit build passes too (tools/wine_build.py)."""
    if data[:2] != b"MZ":
        return ["not a Windows program (no MZ header)"]
    problems = []
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            return ["not a Windows program (no PE header)"]
        machine, count, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        wide = allow_64_bit and machine == 0x8664 and magic == 0x20B
        if machine != 0x14C and not wide:
            problems.append(f"built for machine 0x{machine:04x}, not for 32-bit x86")
        if not characteristics & 0x0002 or characteristics & 0x2000:
            problems.append("not an executable program")
        if magic != 0x10B and not wide:
            return problems + ["not a 32-bit (PE32) image"]
        subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        if subsystem != 2:
            problems.append(f"subsystem {subsystem}, not a Windows GUI program")
        sections = []
        for i in range(count):
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
            if raw + raw_size > len(data):
                return problems + [f"cut short: {len(data)} bytes, but its sections reach byte {raw + raw_size}"]
            sections.append((address, min(virtual_size or raw_size, raw_size), raw))
        table = optional + (108 if wide else 92)  # PE32+ has wider fields before it
        directories = struct.unpack_from("<I", data, table)[0]

        def directory(index):
            return struct.unpack_from("<I", data, table + 4 + 8 * index)[0] if directories > index else 0

        imports, resources = directory(1), directory(2)
        manifest = group = None
        if resources:
            manifest = _resource(data, sections, resources, (RT_MANIFEST, MANIFEST_ID))
            group = _resource(data, sections, resources, (RT_GROUP_ICON, ICON_ID))
        icons = []
        if group is not None:
            count = struct.unpack_from("<H", group, 4)[0]
            icons = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0] for i in range(count)]
        has_icon = bool(icons) and all(_resource(data, sections, resources, (RT_ICON, i)) for i in icons)
        foreign = [n for n in (_imports(data, sections, imports) if imports else [])
                   if n.lower().removesuffix(".dll") not in SYSTEM_DLLS and not n.lower().startswith("api-ms-win-")]
    except struct.error:
        return problems + ["its headers are cut short or damaged"]
    except ValueError as e:
        return problems + [f"its headers are damaged: {e}"]
    if manifest is None:
        problems.append("no application manifest (resource 1)")
    else:
        problems += _manifest_problems(manifest)
    if not has_icon:
        problems.append(f"no icon (resource {ICON_ID})")
    if foreign:
        problems.append("needs " + ", ".join(foreign) + ", which Windows does not ship; link it statically")
    return problems


# ---- the file list -----------------------------------------------------------

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


def kept_manifests(out_dir):
    """Every file list kept in the tree: the served one and the archived ones."""
    found = []
    served = os.path.join(out_dir, MANIFEST)
    if os.path.exists(served):
        found.append(served)
    archive = os.path.join(out_dir, ARCHIVE)
    if os.path.isdir(archive):
        found += [os.path.join(archive, n) for n in sorted(os.listdir(archive)) if n.endswith(".txt")]
    return found


# ---- writing -----------------------------------------------------------------

def public_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o644 & ~umask


def fsync_dir(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomic(path, data):
    """The file appears whole under its name or not at all."""
    folder = os.path.dirname(path)
    fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, public_mode())
        os.replace(temp, path)
    except BaseException:
        _unlink_quietly(temp)
        raise
    fsync_dir(folder)


def _unlink_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


class Lock:
    """Publish, prune and rollback of one tree take turns."""

    def __init__(self, out_dir):
        self.path = os.path.join(out_dir, LOCK)

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.fd)
            raise Refused(f"{self.path}: another publish, prune or rollback is working on this tree")
        return self

    def __exit__(self, *exc):
        os.close(self.fd)


class Progress:
    """Bytes and files done, shown at most twice a second on a terminal."""

    def __init__(self, label, files, total, enabled):
        self.label, self.files, self.total = label, files, total
        self.enabled = enabled
        self.tty = sys.stderr.isatty()
        self.done = self.files_done = 0
        self.started = self.last = time.monotonic()
        self.lock = threading.Lock()

    def add(self, n):
        with self.lock:
            self.done += n
            self._show(False)

    def file_done(self):
        with self.lock:
            self.files_done += 1
            self._show(False)

    def finish(self):
        with self.lock:
            self._show(True)
            if self.enabled and self.tty:
                sys.stderr.write("\n")

    def elapsed(self):
        return time.monotonic() - self.started

    def _show(self, final):
        now = time.monotonic()
        if not self.enabled or (not final and now - self.last < (0.5 if self.tty else 5.0)):
            return
        self.last = now
        rate = self.done / max(now - self.started, 1e-6) / 2**20
        line = (f"{self.label}: {self.files_done}/{self.files} files, "
                f"{self.done / 2**20:.0f}/{self.total / 2**20:.0f} MB, {rate:.0f} MB/s")
        sys.stderr.write(("\r" + line + "   ") if self.tty else line + "\n")
        sys.stderr.flush()


def workers():
    return max(1, min(8, os.cpu_count() or 1))


def _copy_hashing(source, sink, progress, buffer):
    """Reads source once, feeding the hash and, when given, the sink. Returns (hex, size)."""
    h = hashlib.sha256()
    view = memoryview(buffer)
    size = 0
    with open(source, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buffer)
            if not n:
                break
            h.update(view[:n])
            if sink is not None:
                sink.write(view[:n])
            size += n
            if progress:
                progress.add(n)
    return h.hexdigest(), size


class ObjectStore:
    def __init__(self, out_dir, verify_existing=False):
        self.dir = os.path.join(out_dir, OBJECTS)
        os.makedirs(self.dir, exist_ok=True)
        self.mode = public_mode()
        self.written = self.written_bytes = 0
        self.verify_existing = verify_existing
        self.rehashed = 0
        self.damaged = {}     # digest: the path whose content was written again
        self.fresh = set()    # written by this publish: nothing to re-hash
        self.lock = threading.Lock()
        self.local = threading.local()

    def buffer(self):
        if not hasattr(self.local, "buffer"):
            self.local.buffer = bytearray(CHUNK)
        return self.local.buffer

    def has(self, digest, size):
        return ObjectStore.present(os.path.dirname(self.dir), digest, size)

    @staticmethod
    def present(out_dir, digest, size):
        try:
            return os.path.getsize(os.path.join(out_dir, OBJECTS, digest)) == size
        except OSError:
            return False

    def reusable(self, digest, size, path):
        """The tree holds the object: by its size, or with verify_existing by its content."""
        if not self.has(digest, size):
            return False
        with self.lock:
            if not self.verify_existing or digest in self.fresh:
                return True
        actual, _ = hash_file(os.path.join(self.dir, digest), None, self.buffer())
        with self.lock:
            self.rehashed += 1
            if actual != digest:
                self.damaged.setdefault(digest, path)
        return actual == digest

    def add(self, file, likely_new, progress):
        """Hashes the file and stores its object when the tree lacks it. A file that
        is likely new is copied while it is hashed, so it is read only once; a file
        the last publish had with the same size is only hashed, and read a second
        time in the rare case that its content changed after all."""
        fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=self.dir) if likely_new else (None, None)
        sink = os.fdopen(fd, "wb") if fd is not None else None
        try:
            digest, size = _copy_hashing(file.source, sink, progress, self.buffer())
            if size != file.size:
                raise Refused(f"{file.path}: changed while it was being published")
            if self.reusable(digest, size, file.path):
                return digest
            if sink is None:
                fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=self.dir)
                sink = os.fdopen(fd, "wb")
                again, _ = _copy_hashing(file.source, sink, None, self.buffer())
                if again != digest:
                    raise Refused(f"{file.path}: changed while it was being published")
            sink.flush()
            os.fsync(sink.fileno())
            sink.close()
            self._commit(temp, digest, size)
            temp = None
            return digest
        finally:
            if sink:
                sink.close()
            if temp:
                _unlink_quietly(temp)

    def _commit(self, temp, digest, size):
        os.chmod(temp, self.mode)
        # Two files of equal content may race here; either rename leaves the same bytes.
        os.replace(temp, os.path.join(self.dir, digest))
        with self.lock:
            self.fresh.add(digest)
            self.written += 1
            self.written_bytes += size


# ---- commands ----------------------------------------------------------------

def read_served(out_dir):
    """The bytes, version and entries of the served list; (None, "", []) without one."""
    try:
        with open(os.path.join(out_dir, MANIFEST), "rb") as f:
            text = f.read()
    except FileNotFoundError:
        return None, "", []
    try:
        version, entries = parse_manifest(text)
    except (Refused, UnicodeError):
        return text, "", []
    return text, version, entries


def archive_path(out_dir, version):
    return os.path.join(out_dir, ARCHIVE, archive_name(version) + ".txt")


def archive_clash(out_dir, version):
    """(archive, why) when the version cannot be archived under its name, or None. A
    list of the same version may be replaced: rollback then serves the newer one."""
    path = archive_path(out_dir, version)
    name = os.path.relpath(path, out_dir)
    try:
        archived, _ = read_manifest_file(path)
    except FileNotFoundError:
        return None
    except (OSError, Refused, UnicodeError) as e:
        return name, f"cannot be read ({e}); move it away before publishing version {version}"
    if archived != version:
        return name, (f'holds version "{archived}", and version "{version}" would be archived under the '
                      "same name: rollback could not tell the two apart; choose another version text")
    return None


def retire(out_dir, text, now=None):
    """Keeps a list that stops being served, named by the time it stopped, so that prune
    leaves its objects to the launchers still installing it."""
    folder = os.path.join(out_dir, RETIRED)
    os.makedirs(folder, exist_ok=True)
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(time.time() if now is None else now))
    write_atomic(os.path.join(folder, f"{stamp}-{hashlib.sha256(text).hexdigest()[:16]}.txt"), text)


def serve(out_dir, text):
    """Replaces the served list, retiring the one it replaces."""
    served, _, _ = read_served(out_dir)
    if served is not None and served != text:
        retire(out_dir, served)
    write_atomic(os.path.join(out_dir, MANIFEST), text)


# ---- signing -------------------------------------------------------------------

def statement_path(out_dir, text):
    return os.path.join(out_dir, signing.FOLDER, hashlib.sha256(text).hexdigest())


def tree_is_signed(out_dir):
    """Once signed, always: a tree whose statements are gone must not serve lists unsigned."""
    return os.path.isdir(os.path.join(out_dir, signing.FOLDER))


def load_sign_keys(out_dir, paths):
    """The signing keys, loaded before any work; none is refused in a signed tree, whose
    launchers would refuse an unsigned list."""
    try:
        keys = [signing.load_key(p) for p in signing.key_paths(paths)]
    except signing.SigningError as e:
        raise Refused(str(e))
    if not keys and tree_is_signed(out_dir):
        raise Refused(f"{os.path.join(out_dir, signing.FOLDER)} holds signed statements: launchers built with "
                      f"a key would refuse an unsigned list. Give --sign-key KEYFILE or {signing.ENV_KEY} "
                      f"(or move {signing.FOLDER}/ away to stop signing)")
    return keys


def newest_statement_time(out_dir):
    folder = os.path.join(out_dir, signing.FOLDER)
    newest = 0
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                newest = max(newest, signing.parse_statement(f.read())["signed"])
        except (OSError, signing.SigningError):
            pass
    return newest


def sign_for_serving(out_dir, text, keys, valid_for=None, now=None):
    """The list as it will be served, its statement written. The list gets a "stamp" line
    (which the launcher ignores) so that each signing serves new bytes: a statement's name
    then never gets other content, and caches may keep it like an object, even when
    rollback serves an old list again."""
    # A launcher refuses a statement older than the newest it accepted: a clock set back on
    # this machine must not make the next statement look like a replay.
    signed_at = max(int(time.time() if now is None else now), newest_statement_time(out_dir))
    served = text + f"stamp\t{time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(signed_at))}\n".encode()
    statement = signing.make_statement(served, keys, signed_at, valid_for)
    os.makedirs(os.path.join(out_dir, signing.FOLDER), exist_ok=True)
    write_atomic(statement_path(out_dir, served), statement)
    return served


def statement_problems(out_dir, public_keys, now=None):
    """Problems of the statements: the served list's missing, malformed, for another list,
    expired, or (with public keys) signed by none of them; any other one damaged."""
    text, _, _ = read_served(out_dir)
    if not public_keys and not tree_is_signed(out_dir):
        return []
    now = time.time() if now is None else now
    problems = []
    folder = os.path.join(out_dir, signing.FOLDER)
    served = hashlib.sha256(text).hexdigest() if text is not None else None
    names = sorted(n for n in os.listdir(folder) if HEX64.match(n)) if os.path.isdir(folder) else []
    if served and served not in names:
        problems.append(f"{signing.FOLDER}/{served}: missing: launchers built with a key refuse {MANIFEST}")
    for name in names:
        shown_name = f"{signing.FOLDER}/{name}"
        try:
            with open(os.path.join(folder, name), "rb") as f:
                statement = signing.parse_statement(f.read())
        except (OSError, signing.SigningError) as e:
            problems.append(f"{shown_name}: {e}")
            continue
        if statement["list"] != name:
            problems.append(f"{shown_name}: vouches for another list ({statement['list']})")
        elif public_keys and not signing.signed_by(statement, public_keys):
            problems.append(f"{shown_name}: signed by none of the given public keys (damaged, or another key)")
        elif name == served and statement["until"] is not None and statement["until"] < now:
            problems.append(f"{shown_name}: expired {hours(now - statement['until'])} ago; launchers refuse "
                            f"{MANIFEST}: publish or rollback again")
    return problems


def upload_statement(out_dir, text, remote, quiet):
    """The served list's statement, under a temporary name first: a reader never gets half."""
    source = statement_path(out_dir, text)
    name = os.path.basename(source)
    temporary = remote_path(remote, f"{signing.FOLDER}/{TEMP_PREFIX}{name}")
    # Content-addressed like an object, and cached like one (a signing never reuses a name).
    code, _, err = run_rclone(["copyto", "--ignore-times", *header_args(OBJECT_HEADERS), source, temporary], quiet)
    if code == 0:
        code, _, err = run_rclone(["moveto", "--ignore-times", *header_args(OBJECT_HEADERS), temporary,
                                   remote_path(remote, f"{signing.FOLDER}/{name}")], quiet)
    if code != 0:
        raise Refused(f"rclone could not put {signing.FOLDER}/{name} in place (exit {code}): {err}; "
                      "the remote still serves its previous list")


def read_launcher(file, allow_64_bit=False):
    with open(file.source, "rb") as f:
        return launcher_problems(f.read(), allow_64_bit)


def publish(build_dir, out_dir, version, keep=(), launcher="TarsinLauncher.exe", quiet=False,
            verify_existing=False, allow_foreign_launcher=False, unkeep=(), drop_launcher=False,
            dry_run=False, sign_keys=(), valid_for=None, allow_64_bit_launcher=False):
    """Writes the objects, then the file list (and its signed statement, given keys); with
    dry_run, only says what it would do. Returns the entries published."""
    if not os.path.isdir(build_dir):
        raise Refused(f"{build_dir}: not a folder")
    if any(c in version for c in "\t\r\n") or not version:
        raise Refused("the version must be a non-empty text without TAB or line breaks")
    out_abs, build_abs = os.path.realpath(out_dir), os.path.realpath(build_dir)
    if out_abs == build_abs or out_abs.startswith(build_abs + os.sep):
        raise Refused(f"{out_dir}: the published tree cannot lie inside the build")

    files, errors = scan_build(build_dir)
    paths = [f.path for f in files]
    errors += own_name_problems(paths, launcher) + clash_problems(paths)
    # The launcher knows itself by its path with letter case ignored.
    own = next((f for f in files if windows_name(f.path) == windows_name(launcher)), None)
    foreign = read_launcher(own, allow_64_bit_launcher) if own else []
    if foreign and not allow_foreign_launcher:
        errors.append((own.path, "would not start as the launcher: " + "; ".join(foreign) + ". Players' "
                       "launchers replace themselves with it and could not fetch a fix "
                       "(--allow-foreign-launcher publishes it anyway)"))
    clash = archive_clash(out_dir, version)
    if clash:
        errors.append(clash)
    served_text, old_version, old_entries = read_served(out_dir)
    flags, keep_errors = keep_flags(paths, keep, unkeep, old_entries)
    errors += keep_errors
    dropped = launcher_dropped(old_entries, paths, launcher)
    if dropped and not drop_launcher:
        errors.append((dropped, f"version {old_version} carries the launcher and this build does not: players' "
                       "launchers would never update themselves again (--drop-launcher publishes it anyway)"))
    if errors:
        raise Refused("\n".join(f"{shown(p)}: {why}" for p, why in errors))
    if not files:
        raise Refused(f"{build_dir}: no files to publish")
    keys = load_sign_keys(out_dir, sign_keys)
    warnings = [(p, why) for p in paths for why in windows_problems(p)]
    warnings += change_problems([e.path for e in old_entries], old_version, paths)
    warnings += [(own.path, "would not start as the launcher: " + why) for why in foreign]
    for p, why in warnings:
        say(f"publish: warning: {shown(p)}: {why}")
    if dropped:
        say(f"publish: warning: {shown(dropped)}: dropped from the list; players' launchers stop updating themselves")
    if not version.isascii():
        say("publish: warning: the launcher shows the version byte by byte; keep it to ASCII")

    # Every hash has 64 digits, so the length is known before any file is read.
    length = len(format_manifest(version, [Entry("0" * 64, f.size, flags.get(f.path, ""), f.path) for f in files]))
    if length >= MANIFEST_LIMIT:
        raise Refused(f"the file list would be {length} bytes; the launcher reads at most "
                      f"{MANIFEST_LIMIT - 1}. Pack small files together")
    if dry_run:
        return preview(files, out_dir, version, flags, launcher, old_version, old_entries, quiet)

    os.makedirs(out_dir, exist_ok=True)
    with Lock(out_dir):
        clash = archive_clash(out_dir, version)
        if clash:
            raise Refused(": ".join(clash))
        if read_served(out_dir)[0] != served_text:
            raise Refused(f"{MANIFEST}: replaced by someone else while this build was checked; publish again")
        previous = {e.path: e.size for e in read_served(out_dir)[2]}
        store = ObjectStore(out_dir, verify_existing)
        total = sum(f.size for f in files)
        digests, progress = hash_all(files, quiet,
                                     lambda f, p: store.add(f, previous.get(f.path) != f.size, p))

        entries = [Entry(digests[f.path], f.size, flags.get(f.path, ""), f.path)
                   for f in manifest_order(files, launcher)]
        text = format_manifest(version, entries)
        os.makedirs(os.path.join(out_dir, ARCHIVE), exist_ok=True)
        write_atomic(archive_path(out_dir, version), text)
        fsync_dir(store.dir)
        if keys:
            text = sign_for_serving(out_dir, text, keys, valid_for)
        # Last: a launcher never sees a file list whose objects (and statement) are not all in place.
        serve(out_dir, text)
    for digest, path in sorted(store.damaged.items()):
        say(f"publish: {OBJECTS}/{digest} was damaged; written again from {shown(path)}")
    if not quiet:
        say(f"published {version}: {len(entries)} files, {total / 2**20:.1f} MB, "
            f"{len(set(digests.values()))} objects, {store.written} new "
            f"({store.written_bytes / 2**20:.1f} MB written) in {progress.elapsed():.1f} s")
        if verify_existing:
            say(f"re-hashed {store.rehashed} reused objects: {len(store.damaged)} damaged, written again")
        if own:
            say(f"launcher {own.path}: {own.size} bytes, SHA-256 {digests[own.path]}")
        for line in player_changes(old_version, old_entries, entries, launcher):
            say(line)
    return entries


def preview(files, out_dir, version, flags, launcher, old_version, old_entries, quiet):
    """What a publish would do, with nothing written: its summary and what players see."""
    digests = hash_build(files, quiet)
    entries = [Entry(digests[f.path], f.size, flags.get(f.path, ""), f.path)
               for f in manifest_order(files, launcher)]
    sizes = {e.hash: e.size for e in entries}
    new = {d: n for d, n in sizes.items() if not ObjectStore.present(out_dir, d, n)}
    if not quiet:
        say(f"dry run, nothing written: would publish {version}: {len(entries)} files, "
            f"{sum(f.size for f in files) / 2**20:.1f} MB, {len(sizes)} objects, {len(new)} new "
            f"({sum(new.values()) / 2**20:.1f} MB to write)")
        own = next((e for e in entries if windows_name(e.path) == windows_name(launcher)), None)
        if own:
            say(f"launcher {own.path}: {own.size} bytes, SHA-256 {own.hash}")
        for line in player_changes(old_version, old_entries, entries, launcher):
            say(line)
    return entries


def hash_file(path, progress, buffer):
    return _copy_hashing(path, None, progress, buffer)


def object_problems(out_dir, sizes, label, quiet):
    """{digest: what is wrong} for the objects of the given sizes: missing, of another
    size, or of another content. Hashes every object whose size is right."""
    store = os.path.join(out_dir, OBJECTS)
    problems, present = {}, {}
    for digest, size in sizes.items():
        try:
            actual = os.path.getsize(os.path.join(store, digest))
        except OSError:
            problems[digest] = "missing"
            continue
        if actual != size:
            problems[digest] = f"{actual} bytes instead of {size}"
        else:
            present[digest] = size
    progress = Progress(label, len(present), sum(present.values()),
                        enabled=not quiet and sum(present.values()) >= 64 * 2**20)
    local = threading.local()

    def check(digest):
        if not hasattr(local, "buffer"):
            local.buffer = bytearray(CHUNK)
        actual, _ = hash_file(os.path.join(store, digest), progress, local.buffer)
        progress.file_done()
        return digest, actual

    with ThreadPoolExecutor(workers()) as pool:
        for digest, actual in pool.map(check, sorted(present, key=lambda d: -present[d])):
            if actual != digest:
                problems[digest] = f"damaged: the content's SHA-256 is {actual}"
    progress.finish()
    return problems


def verify(out_dir, quiet=False, public_keys=()):
    """Problems of the tree: unreadable file lists, missing or damaged objects, each
    object named with the lists that need it."""
    problems, objects, needed = [], {}, {}
    manifests = kept_manifests(out_dir)
    if not os.path.exists(os.path.join(out_dir, MANIFEST)):
        problems.append(f"{MANIFEST}: missing")
    for m in manifests:
        name = os.path.relpath(m, out_dir)
        try:
            _, entries = read_manifest_file(m)
        except (OSError, Refused, UnicodeError) as e:
            problems.append(f"{name}: {e}")
            continue
        seen = set()
        for e in entries:
            if e.path in seen:
                problems.append(f"{name}: {e.path}: listed twice")
            seen.add(e.path)
            if objects.setdefault(e.hash, e.size) != e.size:
                problems.append(f"{name}: {e.path}: the same hash with two different sizes")
            needed.setdefault(e.hash, {}).setdefault(name, e.path)
    for digest, what in sorted(object_problems(out_dir, objects, "verifying", quiet).items()):
        lists = ", ".join(f'{name} ("{shown(path)}")' for name, path in needed[digest].items())
        problems.append(f"{OBJECTS}/{digest}: {what}; needed by {lists}")
    try:
        problems += statement_problems(out_dir, [signing.check_public_key(k) for k in public_keys])
    except signing.SigningError as e:
        problems.append(str(e))
    if not quiet:
        if tree_is_signed(out_dir) and not public_keys:
            say("verify: signatures not checked: give --public-key (what keygen printed)")
        say(f"verified {len(manifests)} file lists, {len(objects)} objects, "
            f"{sum(objects.values()) / 2**20:.1f} MB: "
            + ("ok" if not problems else f"{len(problems)} problems"))
    return problems


def parse_duration(text):
    """Seconds from "36h", "90m", "2d", "45s" or a number of hours."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([smhd]?)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f'"{text}" is not a duration such as 24h, 90m or 2d')
    return float(match.group(1)) * {"s": 1, "m": 60, "h": 3600, "d": 86400, "": 3600}[match.group(2)]


def retired_lists(out_dir):
    """(path, retired at) of every list kept in retired/."""
    folder = os.path.join(out_dir, RETIRED)
    found = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if not name.endswith(".txt"):
            continue
        full = os.path.join(folder, name)
        try:
            when = calendar.timegm(time.strptime(name[:16], "%Y%m%dT%H%M%SZ"))
        except ValueError:
            when = os.path.getmtime(full)
        found.append((full, when))
    return found


def hours(seconds):
    return f"{seconds / 3600:.1f} h"


def prune(out_dir, dry_run=False, quiet=False, grace=GRACE_SECONDS):
    """Removes the objects that no kept file list names and no list retired within the
    grace period names either. Returns (count, bytes)."""
    with Lock(out_dir):
        referenced = set()
        for m in kept_manifests(out_dir):
            try:
                referenced |= {e.hash for e in read_manifest_file(m)[1]}
            except (OSError, Refused, UnicodeError) as e:
                # An unreadable list may still be served: removing its objects would break it.
                raise Refused(f"{os.path.relpath(m, out_dir)}: {e}; nothing removed")
        if not referenced:
            raise Refused(f"{out_dir}: no file list in the tree; nothing removed")
        now = time.time()
        graced, reasons, expired = set(), [], []
        for path, when in retired_lists(out_dir):
            if now - when >= grace:
                expired.append(path)
                continue
            try:
                version, entries = read_manifest_file(path)
            except (OSError, Refused, UnicodeError) as e:
                raise Refused(f"{os.path.relpath(path, out_dir)}: {e}; nothing removed")
            only = {e.hash for e in entries} - referenced - graced
            graced |= only
            if only:
                reasons.append(f"version {version}, retired {hours(now - when)} ago: {len(only)} objects")
        store = os.path.join(out_dir, OBJECTS)
        count = freed = kept_bytes = 0
        for name in sorted(os.listdir(store)) if os.path.isdir(store) else []:
            full = os.path.join(store, name)
            st = os.stat(full)
            stale_temp = name.startswith(TEMP_PREFIX) and now - st.st_mtime > STALE_TEMP_SECONDS
            if name in graced:
                kept_bytes += st.st_size
            elif (HEX64.match(name) and name not in referenced) or stale_temp:
                count += 1
                freed += st.st_size
                if not dry_run:
                    os.unlink(full)
        if not dry_run:
            for path in expired:
                os.unlink(path)
    if not quiet:
        if graced:
            say(f"keeping {len(graced)} objects, {kept_bytes / 2**20:.1f} MB, that only lists retired "
                f"less than {hours(grace)} ago name: launchers that fetched them may still be installing "
                "(--grace to change):")
            for reason in reasons:
                say(f"  {reason}")
        say(f"{'would remove' if dry_run else 'removed'} {count} objects, {freed / 2**20:.1f} MB"
            + (f"; {len(expired)} retired lists past the grace period" if expired else ""))
    return count, freed


def rollback(out_dir, version, quiet=False, sign_keys=(), valid_for=None):
    """Serves an archived file list again, once its objects are all present and whole."""
    keys = load_sign_keys(out_dir, sign_keys)
    with Lock(out_dir):
        source = archive_path(out_dir, version)
        try:
            with open(source, "rb") as f:
                text = f.read()
        except OSError:
            raise Refused(f"{source}: no archived file list of version {version}")
        archived, entries = parse_manifest(text)
        if archived != version:
            raise Refused(f'{source} holds version "{archived}", not "{version}"')
        paths = {e.hash: e.path for e in entries}
        problems = object_problems(out_dir, {e.hash: e.size for e in entries}, "checking", quiet)
        if problems:
            digest, what = sorted(problems.items())[0]
            raise Refused(f"{len(problems)} objects of version {version} are missing or damaged (first: "
                          f'{OBJECTS}/{digest} of "{shown(paths[digest])}", {what}); publish that build again instead')
        if keys:
            text = sign_for_serving(out_dir, text, keys, valid_for)
        serve(out_dir, text)
    if not quiet:
        say(f"serving version {version} again: {len(entries)} files")
        say(f"rollback: a remote (CDN, object store) still serves what was uploaded last; "
            f"run publish.py upload {out_dir} REMOTE again")


def rclone_program():
    found = shutil.which("rclone")
    if not found:
        raise Refused("rclone is not installed; on Debian: apt-get install rclone (tools/setup.sh installs it)")
    return found


def remote_path(remote, name):
    return remote + name if remote.endswith((":", "/")) else remote + "/" + name


def run_rclone(args, quiet, show_progress=False):
    """Runs rclone; its own progress goes to the terminal, errors to the message."""
    command = [rclone_program()] + args
    if quiet:
        command.append("-q")
    elif show_progress:
        command += ["--progress"] if sys.stderr.isatty() else \
            ["--stats", "10s", "--stats-one-line", "--stats-log-level", "NOTICE"]
    shown_live = show_progress and not quiet
    done = subprocess.run(command, stdout=None if shown_live else subprocess.PIPE,
                          stderr=None if shown_live else subprocess.PIPE, text=True)
    return done.returncode, done.stdout or "", "its messages are above" if shown_live else done.stderr.strip()


# What a cache in front of the remote may keep, set on every file upload writes (object
# stores and CDNs serve the headers given at upload; a folder or WebDAV remote ignores them).
# The list must be asked for again each time: a list cached by a CDN's default lifetime hides
# every publish and rollback. An object never changes under its name.
LIST_HEADERS = ("Cache-Control: no-cache", "Content-Type: text/plain; charset=utf-8")
OBJECT_HEADERS = ("Cache-Control: public, max-age=31536000, immutable", "Content-Type: application/octet-stream")


def header_args(headers):
    return [arg for h in headers for arg in ("--header-upload", h)]


def remote_objects(remote, quiet):
    """{name: size} of what the remote holds under o/."""
    code, out, err = run_rclone(["lsf", "--files-only", "--format", "sp", "--separator", "\t",
                                 remote_path(remote, OBJECTS)], quiet)
    if code == 3:  # rclone's "directory not found": nothing uploaded yet
        return {}
    if code != 0:
        raise Refused(f"rclone cannot list {remote_path(remote, OBJECTS)} (exit {code}): {err}")
    found = {}
    for line in out.splitlines():
        size, _, name = line.partition("\t")
        if size.isdigit():
            found[name] = int(size)
    return found


def upload(out_dir, remote, dry_run=False, quiet=False):
    """Copies the served list's objects that the remote lacks, then its archived list, then
    "manifest.txt", so that the remote never serves a list whose objects are missing.
    Returns the digests of the objects uploaded."""
    rclone_program()
    with Lock(out_dir):
        text, version, entries = read_served(out_dir)
        if not entries:
            raise Refused(f"{os.path.join(out_dir, MANIFEST)}: " + ("missing" if text is None else "not a file list"))
        sizes = {e.hash: e.size for e in entries}
        store = ObjectStore(out_dir)
        absent = [e for e in entries if not store.has(e.hash, e.size)]
        if absent:
            raise Refused(f"the tree lacks {len(absent)} objects of its own list (first: {OBJECTS}/"
                          f'{absent[0].hash} of "{shown(absent[0].path)}"); nothing uploaded. Run verify')
        there = remote_objects(remote, quiet)
        missing = sorted(d for d, size in sizes.items() if there.get(d) != size)
        archive = archive_path(out_dir, version)
        archived = os.path.exists(archive)
        steps = [f"{len(missing)} of {len(sizes)} objects ({sum(sizes[d] for d in missing) / 2**20:.1f} MB)"]
        signed = tree_is_signed(out_dir)
        if signed and not os.path.exists(statement_path(out_dir, text)):
            raise Refused(f"the tree signs its lists but {os.path.relpath(statement_path(out_dir, text), out_dir)}, "
                          f"the statement of {MANIFEST}, is missing; nothing uploaded. Run verify")
        steps += [os.path.relpath(statement_path(out_dir, text), out_dir)] if signed else []
        steps += [os.path.relpath(archive, out_dir)] if archived else []
        steps += [f"{MANIFEST} (version {version})"]
        if dry_run:
            if not quiet:
                say(f"would upload to {remote}: " + ", then ".join(steps))
            return missing
        if missing:
            if not quiet:
                say(f"upload 1/{len(steps)}: {steps[0]}")
            with tempfile.NamedTemporaryFile("w", prefix=TEMP_PREFIX, suffix=".txt") as names:
                names.write("".join(d + "\n" for d in missing))
                names.flush()
                code, _, err = run_rclone(["copy", "--files-from-raw", names.name, "--no-traverse",
                                           *header_args(OBJECT_HEADERS), store.dir,
                                           remote_path(remote, OBJECTS)], quiet, True)
            if code != 0:
                raise Refused(f"rclone copy of the objects failed (exit {code}): {err}; "
                              "the remote still serves its previous list")
            there = remote_objects(remote, quiet)
            short = [d for d in missing if there.get(d) != sizes[d]]
            if short:
                raise Refused(f"the remote still lacks {len(short)} objects after the copy (first: "
                              f"{OBJECTS}/{short[0]}); the remote still serves its previous list")
        if signed:
            if not quiet:
                say(f"upload 2/{len(steps)}: {steps[1]}")
            upload_statement(out_dir, text, remote, quiet)
        # Sizes alone tell rclone whether a WebDAV copy is current, and two lists often have
        # the same size: copy them whatever the remote holds.
        if archived:
            if not quiet:
                say(f"upload {len(steps) - 1}/{len(steps)}: {steps[-2]}")
            code, _, err = run_rclone(["copyto", "--ignore-times", *header_args(LIST_HEADERS), archive,
                                       remote_path(remote, os.path.relpath(archive, out_dir))], quiet)
            if code != 0:
                raise Refused(f"rclone copy of the archived list failed (exit {code}): {err}")
        if not quiet:
            say(f"upload {len(steps)}/{len(steps)}: {steps[-1]}")
        # Under a temporary name first, then moved: a WebDAV or local remote writes a copy in
        # place, and a launcher could read half a list.
        temporary = remote_path(remote, f"{TEMP_PREFIX}{MANIFEST}")
        with tempfile.NamedTemporaryFile(prefix=TEMP_PREFIX) as copy:
            copy.write(text)
            copy.flush()
            code, _, err = run_rclone(["copyto", "--ignore-times", *header_args(LIST_HEADERS), copy.name,
                                       temporary], quiet)
        if code == 0:
            # A server-side move keeps the headers the copy set; one that copies again sets them anew.
            code, _, err = run_rclone(["moveto", "--ignore-times", *header_args(LIST_HEADERS), temporary,
                                       remote_path(remote, MANIFEST)], quiet)
        if code != 0:
            raise Refused(f"rclone could not put {MANIFEST} in place (exit {code}): {err}")
    if not quiet:
        say(f"uploaded version {version} to {remote}: {len(missing)} objects, "
            f"{sum(sizes[d] for d in missing) / 2**20:.1f} MB")
    return missing


def main(argv=None):
    parser = argparse.ArgumentParser(prog="publish.py", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("publish", help="turn a build folder into a served tree")
    p.add_argument("build_dir")
    p.add_argument("out_dir")
    p.add_argument("--version", required=True, help='the version text the launcher shows')
    p.add_argument("--keep", action="append", default=[], metavar="GLOB",
                   help="files the launcher must not replace once they exist (user settings); "
                        "a pattern with / matches the whole path, one without the file name")
    p.add_argument("--launcher", default="TarsinLauncher.exe", metavar="PATH",
                   help="the launcher's executable in the build; listed first (default %(default)s)")
    p.add_argument("--verify-existing", action="store_true",
                   help="re-hash the objects the tree holds already, and write damaged ones again")
    p.add_argument("--allow-foreign-launcher", action="store_true",
                   help="publish a launcher executable that fails the start-up checks")
    p.add_argument("--allow-64-bit-launcher", action="store_true",
                   help="accept the tests' 64-bit launcher build, which no player's machine needs (testing only)")
    p.add_argument("--unkeep", action="append", default=[], metavar="GLOB",
                   help="files the served version keeps that launchers may replace from now on "
                        "(every other kept file stays kept)")
    p.add_argument("--drop-launcher", action="store_true",
                   help="publish a build without the launcher's executable although the served one has it")
    p.add_argument("--dry-run", action="store_true",
                   help="check, hash and say what would change for players; write nothing")
    p.add_argument("--quiet", action="store_true")
    v = sub.add_parser("verify", help="check every object of every kept file list, and the statements")
    v.add_argument("out_dir")
    v.add_argument("--public-key", action="append", default=[], metavar="HEX",
                   help="check the statements' signatures against this key (what keygen printed)")
    v.add_argument("--quiet", action="store_true")
    r = sub.add_parser("prune", help="remove objects that no kept file list names")
    r.add_argument("out_dir")
    r.add_argument("--grace", type=parse_duration, default=GRACE_SECONDS, metavar="DURATION",
                   help="keep the objects of lists retired less than this long ago (default 24h; "
                        "36h, 90m, 2d; a bare number counts hours)")
    r.add_argument("--dry-run", action="store_true")
    r.add_argument("--quiet", action="store_true")
    b = sub.add_parser("rollback", help="serve an earlier published version again")
    b.add_argument("out_dir")
    b.add_argument("version")
    b.add_argument("--quiet", action="store_true")
    k = sub.add_parser("keygen", help="make the key pair that signs the file list; prints the public key")
    k.add_argument("keyfile")
    for command in (p, b):
        command.add_argument("--sign-key", action="append", default=[], metavar="KEYFILE",
                             help=f"sign the served list with this private key (or the key files in "
                                  f"{signing.ENV_KEY}); twice while the launcher's key is changed")
        command.add_argument("--valid-for", type=parse_duration, metavar="DURATION",
                             help="launchers refuse the list this long after signing (default: never)")
    u = sub.add_parser("upload", help="copy the served version to an rclone remote: objects first, "
                                      "then the archived list, then manifest.txt")
    u.add_argument("out_dir")
    u.add_argument("remote", help='an rclone remote and path ("cdn:bucket/tarsin") or a local folder')
    u.add_argument("--dry-run", action="store_true")
    u.add_argument("--quiet", action="store_true")
    args = parser.parse_args(argv)
    try:
        if args.command == "publish":
            publish(args.build_dir, args.out_dir, args.version, args.keep, args.launcher, args.quiet,
                    verify_existing=args.verify_existing, allow_foreign_launcher=args.allow_foreign_launcher,
                    unkeep=args.unkeep, drop_launcher=args.drop_launcher, dry_run=args.dry_run,
                    sign_keys=args.sign_key, valid_for=args.valid_for,
                    allow_64_bit_launcher=args.allow_64_bit_launcher)
        elif args.command == "keygen":
            public = signing.keygen(args.keyfile)
            print(public)
            say(f"keygen: private key in {args.keyfile} (owner only): keep it offline, never on the server, "
                "and backed up. Build the launcher with\n"
                f"  cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY={public}")
        elif args.command == "verify":
            problems = verify(args.out_dir, args.quiet, args.public_key)
            for line in problems:
                say(f"verify: {line}")
            return 1 if problems else 0
        elif args.command == "prune":
            prune(args.out_dir, args.dry_run, args.quiet, args.grace)
        elif args.command == "upload":
            upload(args.out_dir, args.remote, args.dry_run, args.quiet)
        else:
            rollback(args.out_dir, args.version, args.quiet, args.sign_key, args.valid_for)
    except (Refused, signing.SigningError) as e:
        for line in str(e).split("\n"):
            say(f"{args.command}: error: {line}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
