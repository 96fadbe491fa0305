"""The served list, the archived lists and the retired ones."""
import calendar
import hashlib
import os
import time

from .common import ARCHIVE, MANIFEST, RETIRED, Refused
from .files import write_atomic
from .filelist import archive_name, parse_manifest, read_manifest_file


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


def same_entries(a, b):
    return [(e.hash, e.size, e.flags, e.path) for e in a] == [(e.hash, e.size, e.flags, e.path) for e in b]


def label_state(out_dir, version, entries):
    """"new" for a version text never published, "served" when the tree serves exactly
    these entries under it, "archived" when its archive holds them; other content under a
    published version is refused: players holding either could not be told apart."""
    path = archive_path(out_dir, version)
    try:
        archived, old = read_manifest_file(path)
    except FileNotFoundError:
        return "new"
    if archived != version or not same_entries(old, entries):
        raise Refused(f"version {version} is published already with other content "
                      f"({os.path.relpath(path, out_dir)}); nothing was published. Give this build a new "
                      "version text")
    _, served_version, served = read_served(out_dir)
    return "served" if served_version == version and same_entries(served, entries) else "archived"


def require_tree(out_dir):
    if not os.path.isdir(out_dir):
        raise Refused(f"{out_dir}: no such folder; give the published tree (the folder holding {MANIFEST})")
