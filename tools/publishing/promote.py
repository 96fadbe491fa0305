"""The promote command: the live tree made to serve exactly the list tested on staging."""
import os
import shutil
import tempfile

import signing

from .changes import kept_dropped, launcher_dropped, listed, player_changes
from .common import ARCHIVE, OBJECTS, TEMP_PREFIX, Refused, say, shown
from .filelist import format_manifest
from .files import Lock, fsync_dir, public_mode, unlink_quietly, write_atomic
from .hashing import object_problems
from .sign_checks import check_served_launcher, key_file_problems
from .statements import load_sign_keys, sign_for_serving
from .store import ObjectStore
from .tree import archive_clash, archive_path, label_state, read_served, require_tree, serve


def tested_list(staging, live, quiet):
    """The version and entries staging serves, once every object live lacks is whole there."""
    require_tree(staging)
    if os.path.realpath(staging) == os.path.realpath(live):
        raise Refused(f"{live}: the same tree as {staging}")
    text, version, entries = read_served(staging)
    if not entries:
        raise Refused(f"{staging}: serves no file list to promote")
    sizes = {e.hash: e.size for e in entries}
    missing = {d: n for d, n in sizes.items() if not ObjectStore.present(live, d, n)}
    problems = object_problems(staging, missing, "checking", quiet)
    if problems:
        digest, what = sorted(problems.items())[0]
        raise Refused(f"{len(problems)} objects of {staging} are missing or damaged (first: {OBJECTS}/{digest}, "
                      f"{what}); nothing was promoted. Publish the build to staging again")
    return version, entries, missing


def refusals(live, version, entries, launcher, drop_kept, drop_launcher):
    """What players of the live version would lose, as publish refuses it; the kept files dropped."""
    _, old_version, old_entries = read_served(live)
    paths = [e.path for e in entries]
    dropped, errors = kept_dropped(old_entries, old_version, paths, drop_kept)
    gone = launcher_dropped(old_entries, paths, launcher)
    if gone and not drop_launcher:
        errors.append((gone, f"version {old_version} carries the launcher and the tested list does not: players' "
                             "launchers would never update themselves again (--drop-launcher promotes it anyway)"))
    clash = archive_clash(live, version)
    if clash:
        errors.append(clash)
    if errors:
        raise Refused("\n".join(f"{shown(p)}: {why}" for p, why in errors))
    return old_version, old_entries, dropped


def link_or_copy(source, folder, digest):
    """The object in place under its name: a hard link when both trees share a file system."""
    fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=folder)
    os.close(fd)
    try:
        try:
            os.unlink(temp)
            os.link(source, temp)
        except OSError:
            shutil.copyfile(source, temp)
            with open(temp, "rb+") as f:
                os.fsync(f.fileno())
            os.chmod(temp, public_mode())
        os.replace(temp, os.path.join(folder, digest))
    except BaseException:
        unlink_quietly(temp)
        raise


def promote(staging, live, quiet=False, dry_run=False, sign_keys=(), valid_for=None, drop_kept=(),
            drop_launcher=False, launcher="TarsinLauncher.exe", channel=None, allow_test_key=False):
    """Serves in live the list staging serves: its objects first, then the list, signed with
    the keys given as publish signs it (in live's channel unless one is given). Returns the
    entries."""
    key_file_problems(signing.key_paths(sign_keys), {"served tree": live, "staging tree": staging})
    version, entries, missing = tested_list(staging, live, quiet)
    keys = load_sign_keys(live, sign_keys)
    if keys:
        check_served_launcher(staging, entries, keys, allow_test_key, launcher)
    old_version, old_entries, dropped = refusals(live, version, entries, launcher, drop_kept, drop_launcher)
    state = label_state(live, version, entries)
    if not dry_run:
        os.makedirs(os.path.join(live, OBJECTS), exist_ok=True)
        with Lock(live):
            for digest in sorted(missing):
                link_or_copy(os.path.join(staging, OBJECTS, digest), os.path.join(live, OBJECTS), digest)
            fsync_dir(os.path.join(live, OBJECTS))
            if state != "served":
                text = format_manifest(version, entries)
                os.makedirs(os.path.join(live, ARCHIVE), exist_ok=True)
                write_atomic(archive_path(live, version), text)
                serve(live, sign_for_serving(live, text, keys, valid_for, channel) if keys else text)
    if not quiet:
        did = "dry run, nothing written: would promote" if dry_run else "promoted"
        say(f"{did} version {version} from {staging} to {live}: {len(entries)} files, {len(missing)} objects "
            f"copied or linked ({sum(missing.values()) / 2**20:.1f} MB)"
            + ("; it is served there already: the list is unchanged" if state == "served" else ""))
        for line in player_changes(old_version, old_entries, entries, launcher):
            say(line)
        if dropped:
            say(f"  kept files dropped (--drop-kept): {listed(dropped)}: launchers delete players' copies")
    return entries
