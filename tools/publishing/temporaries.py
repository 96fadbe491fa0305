"""Temporary files a command killed outright left in the tree (one stopped by Ctrl-C or a
kill removes its own). A running command holds the lock and writes its temporaries within
the hour, so an older one belongs to no command."""
import os
import time

import signing

from .common import ARCHIVE, OBJECTS, RETIRED, STALE_TEMP_SECONDS, TEMP_PREFIX, say

FOLDERS = ("", OBJECTS, ARCHIVE, RETIRED, signing.FOLDER)


def stale_temporaries(out_dir, now=None):
    """[(path, size)] of the tree's temporary files older than an hour."""
    now = time.time() if now is None else now
    found = []
    for folder in FOLDERS:
        full = os.path.join(out_dir, folder)
        for name in sorted(os.listdir(full)) if os.path.isdir(full) else []:
            path = os.path.join(full, name)
            try:
                st = os.stat(path)
            except OSError:
                continue
            if name.startswith(TEMP_PREFIX) and now - st.st_mtime > STALE_TEMP_SECONDS:
                found.append((path, st.st_size))
    return found


def report_temporaries(out_dir, command):
    stale = stale_temporaries(out_dir)
    if stale:
        say(f"{command}: warning: {len(stale)} temporary files older than an hour "
            f"({sum(size for _, size in stale) / 2**20:.1f} MB, first {os.path.relpath(stale[0][0], out_dir)}), "
            "left by a command that was killed" + ("" if command == "prune" else
                                                   f": publish.py prune {out_dir} removes them"))
    return stale
