"""The rollback command: an archived list served again."""
from .changes import player_changes
from .common import OBJECTS, Refused, say, shown
from .files import Lock
from .filelist import parse_manifest
from .hashing import object_problems
from .statements import load_sign_keys, sign_for_serving
from .tree import archive_path, read_served, require_tree, serve


def archived_list(out_dir, version, quiet):
    """The archived list's bytes and entries, once every object it names is present and whole."""
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
    return text, entries


def rollback(out_dir, version, quiet=False, sign_keys=(), valid_for=None, dry_run=False,
             launcher="TarsinLauncher.exe"):
    """Serves an archived file list again, once its objects are all present and whole; with
    dry_run, only says what players would get."""
    require_tree(out_dir)
    keys = load_sign_keys(out_dir, sign_keys)
    if dry_run:
        _, old_version, old_entries = read_served(out_dir)
        _, entries = archived_list(out_dir, version, quiet)
    else:
        with Lock(out_dir):
            text, entries = archived_list(out_dir, version, quiet)
            _, old_version, old_entries = read_served(out_dir)
            if keys:
                text = sign_for_serving(out_dir, text, keys, valid_for)
            serve(out_dir, text)
    if not quiet:
        say(("dry run, nothing written: would serve" if dry_run else "serving") +
            f" version {version} again: {len(entries)} files")
        for line in player_changes(old_version, old_entries, entries, launcher):
            say(line)
        if not dry_run:
            say(f"rollback: a remote (CDN, object store) still serves what was uploaded last; "
                f"run publish.py upload {out_dir} REMOTE again")
    return entries
