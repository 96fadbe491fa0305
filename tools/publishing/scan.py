"""Reading a build folder: its files, and the order they are listed in."""
import fnmatch
import os

from .common import BuildFile, shown
from .rules import format_rejects, launcher_rejects


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
            outside = link_outside(full, root)
            if outside:
                errors.append((rel, f'is a symbolic link to "{shown(outside)}", outside the build: its content '
                                    "would reach every player; copy the file into the build if it belongs there"))
                continue
            why = format_rejects(rel) or launcher_rejects(rel)
            if why:
                errors.append((rel, why + " (the launcher would refuse the whole file list)"))
                continue
            files.append(BuildFile(rel, os.fsdecode(full), st.st_size))
    return files, errors


def link_outside(full, root):
    """Where a symbolic link leads when that lies outside the build, or None.

    A link that stays inside the build is published as its target's content: builds link
    shared files that way, and what players get is still only what the build holds."""
    if not os.path.islink(full):
        return None
    target = os.path.realpath(full)
    inside = os.path.realpath(root)
    if target == inside or target.startswith(inside.rstrip(os.sep.encode()) + os.sep.encode()):
        return None
    return os.fsdecode(target)


def keep_matches(path, patterns):
    """A pattern with "/" matches the whole path, one without matches the file name."""
    name = path.rsplit("/", 1)[-1]
    return [p for p in patterns if fnmatch.fnmatchcase(path if "/" in p else name, p)]


def manifest_order(files, launcher):
    """Byte order of the UTF-8 paths, with the launcher first.

    The launcher downloads in file-list order and restarts as soon as its own
    executable is replaced, so listing it first lets the new build do the rest."""
    return sorted(files, key=lambda f: (f.path != launcher, f.path.encode("utf-8")))
