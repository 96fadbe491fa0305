"""The upload command: the served version copied to an rclone remote, the list last."""
import os
import shutil
import subprocess
import sys
import tempfile

import signing

from .common import MANIFEST, OBJECTS, TEMP_PREFIX, Refused, say, shown
from .files import Lock
from .statements import statement_path, tree_is_signed
from .store import ObjectStore
from .tree import archive_path, read_served, require_tree


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


def remote_bytes(path):
    """The bytes of one file at the remote, or None when it has none."""
    done = subprocess.run([rclone_program(), "cat", "-q", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.stdout if done.returncode == 0 else None


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
    require_tree(out_dir)
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
            copy_objects(store, missing, sizes, remote, quiet)
        if signed:
            if not quiet:
                say(f"upload 2/{len(steps)}: {steps[1]}")
            upload_statement(out_dir, text, remote, quiet)
        copy_lists(out_dir, text, archive if archived else None, remote, steps, quiet)
    if not quiet:
        say(f"uploaded version {version} to {remote}: {len(missing)} objects, "
            f"{sum(sizes[d] for d in missing) / 2**20:.1f} MB")
    return missing


def copy_objects(store, missing, sizes, remote, quiet):
    """The objects the remote lacks, checked there afterwards by their sizes."""
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


def copy_lists(out_dir, text, archive, remote, steps, quiet):
    """The archived list (when there is one), then the served list put in place."""
    # Sizes alone tell rclone whether a WebDAV copy is current, and two lists often have
    # the same size: copy them whatever the remote holds.
    if archive:
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
