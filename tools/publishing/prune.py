"""The prune command: objects no kept list names removed, after the grace period."""
import os
import time

from .common import GRACE_SECONDS, HEX64, OBJECTS, STALE_TEMP_SECONDS, TEMP_PREFIX, Refused, hours, say
from .files import Lock
from .filelist import read_manifest_file
from .tree import kept_manifests, retired_lists


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
