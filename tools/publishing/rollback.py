"""The rollback and resign commands: a list kept in the tree served again, signed anew."""
import signing

from .changes import player_changes
from .common import MANIFEST, OBJECTS, Refused, say, shown
from .files import Lock
from .filelist import parse_manifest
from .hashing import object_problems
from .sign_checks import check_served_launcher, key_file_problems
from .statements import load_sign_keys, sign_for_serving
from .tree import archive_path, read_served, require_tree, serve


def signing_keys(out_dir, sign_keys):
    key_file_problems(signing.key_paths(sign_keys), {"served tree": out_dir})
    return load_sign_keys(out_dir, sign_keys)


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
             launcher="TarsinLauncher.exe", channel=None, allow_test_key=False):
    """Serves an archived file list again, once its objects are all present and whole; with
    dry_run, only says what players would get."""
    require_tree(out_dir)
    keys = signing_keys(out_dir, sign_keys)
    if dry_run:
        _, old_version, old_entries = read_served(out_dir)
        _, entries = archived_list(out_dir, version, quiet)
        if keys:
            check_served_launcher(out_dir, entries, keys, allow_test_key)
    else:
        with Lock(out_dir):
            text, entries = archived_list(out_dir, version, quiet)
            _, old_version, old_entries = read_served(out_dir)
            if keys:
                check_served_launcher(out_dir, entries, keys, allow_test_key)
                text = sign_for_serving(out_dir, text, keys, valid_for, channel)
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


def resign(out_dir, quiet=False, sign_keys=(), valid_for=None, channel=None, allow_test_key=False):
    """Serves the served list again under a new statement, its files unchanged: for a job that
    runs before the statement expires. Only its stamp line changes, which gives the new
    statement a name of its own."""
    require_tree(out_dir)
    keys = signing_keys(out_dir, sign_keys)
    if not keys:
        raise Refused(f"give --sign-key KEYFILE or {signing.ENV_KEY}: resign signs the served list")
    with Lock(out_dir):
        text, version, entries = read_served(out_dir)
        if text is None:
            raise Refused(f"{out_dir}: serves no {MANIFEST}")
        check_served_launcher(out_dir, entries, keys, allow_test_key)
        serve(out_dir, sign_for_serving(out_dir, text, keys, valid_for, channel))
    if not quiet:
        say(f"signed version {version} again; a remote still serves the old statement until "
            f"publish.py upload {out_dir} REMOTE")
