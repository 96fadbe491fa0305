"""The prune command: objects no kept list names removed, after the grace period."""
import os
import time

from .common import GRACE_SECONDS, HEX64, OBJECTS, Refused, hours, say
from .files import Lock
from .filelist import read_manifest_file
from .temporaries import report_temporaries, stale_temporaries
from .tree import kept_manifests, require_tree, retired_lists


def referenced_objects(out_dir):
    referenced = set()
    for m in kept_manifests(out_dir):
        try:
            referenced |= {e.hash for e in read_manifest_file(m)[1]}
        except (OSError, Refused, UnicodeError) as e:
            # An unreadable list may still be served: removing its objects would break it.
            raise Refused(f"{os.path.relpath(m, out_dir)}: {e}; nothing removed")
    if not referenced:
        raise Refused(f"{out_dir}: no file list in the tree; nothing removed")
    return referenced


def graced_objects(out_dir, referenced, grace, now):
    """(objects only lists retired within the grace period name, why, the lists past it)."""
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
    return graced, reasons, expired


def prune(out_dir, dry_run=False, quiet=False, grace=GRACE_SECONDS):
    """Removes the objects that no kept file list names and no list retired within the
    grace period names either, and the temporary files killed commands left. Returns
    (count, bytes) of the objects."""
    require_tree(out_dir)
    with Lock(out_dir):
        referenced = referenced_objects(out_dir)
        now = time.time()
        graced, reasons, expired = graced_objects(out_dir, referenced, grace, now)
        store = os.path.join(out_dir, OBJECTS)
        count = freed = kept_bytes = 0
        for name in sorted(os.listdir(store)) if os.path.isdir(store) else []:
            full = os.path.join(store, name)
            st = os.stat(full)
            if name in graced:
                kept_bytes += st.st_size
            elif HEX64.match(name) and name not in referenced:
                count += 1
                freed += st.st_size
                if not dry_run:
                    os.unlink(full)
        stale = report_temporaries(out_dir, "prune") if not quiet else stale_temporaries(out_dir, now)
        if not dry_run:
            for path in expired + [path for path, _ in stale]:
                os.unlink(path)
    if not quiet:
        if graced:
            say(f"keeping {len(graced)} objects, {kept_bytes / 2**20:.1f} MB, that only lists retired "
                f"less than {hours(grace)} ago name: launchers that fetched them may still be installing "
                "(--grace to change):")
            for reason in reasons:
                say(f"  {reason}")
        say(f"{'would remove' if dry_run else 'removed'} {count} objects, {freed / 2**20:.1f} MB"
            + (f"; {len(expired)} retired lists past the grace period" if expired else "")
            + (f"; {len(stale)} temporary files" if stale else ""))
    return count, freed
