"""The verify command: every object of every kept list whole, and the statements sound."""
import os

import signing

from .common import MANIFEST, OBJECTS, Refused, say, shown
from .filelist import read_manifest_file
from .hashing import object_problems
from .statements import statement_problems, tree_is_signed
from .tree import kept_manifests


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
