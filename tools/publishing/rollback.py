"""The rollback command: an archived list served again."""
from .common import OBJECTS, Refused, say, shown
from .files import Lock
from .filelist import parse_manifest
from .hashing import object_problems
from .statements import load_sign_keys, sign_for_serving
from .tree import archive_path, serve


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
