"""The publish command: a build folder checked, hashed and served."""
import os
from dataclasses import dataclass

from .changes import keep_flags, launcher_dropped, player_changes
from .common import ARCHIVE, MANIFEST, MANIFEST_LIMIT, OBJECTS, Entry, Refused, say, shown
from .filelist import format_manifest
from .files import Lock, fsync_dir, write_atomic
from .hashing import hash_all, hash_build
from .pe_check import launcher_problems
from .rules import change_problems, clash_problems, own_name_problems, windows_name, windows_problems
from .scan import manifest_order, scan_build
from .statements import load_sign_keys, sign_for_serving
from .store import ObjectStore
from .tree import archive_clash, archive_path, read_served, serve


def read_launcher(file, allow_64_bit=False):
    with open(file.source, "rb") as f:
        return launcher_problems(f.read(), allow_64_bit)


@dataclass
class Plan:
    """A build checked against the tree, before any file is hashed."""
    files: list
    paths: list
    flags: dict
    own: object            # the launcher's BuildFile, or None
    foreign: list          # why the launcher would not start
    served_text: bytes
    old_version: str
    old_entries: list
    dropped: str           # the served list's launcher the build lacks, or None


def check_arguments(build_dir, out_dir, version):
    if not os.path.isdir(build_dir):
        raise Refused(f"{build_dir}: not a folder")
    if any(c in version for c in "\t\r\n") or not version:
        raise Refused("the version must be a non-empty text without TAB or line breaks")
    out_abs, build_abs = os.path.realpath(out_dir), os.path.realpath(build_dir)
    if out_abs == build_abs or out_abs.startswith(build_abs + os.sep):
        raise Refused(f"{out_dir}: the published tree cannot lie inside the build")


def plan(build_dir, out_dir, version, keep, unkeep, launcher, allow_foreign_launcher, drop_launcher,
         allow_64_bit_launcher):
    """The build's files and flags, once nothing refuses them; Refused names every problem."""
    files, errors = scan_build(build_dir)
    paths = [f.path for f in files]
    errors += own_name_problems(paths, launcher) + clash_problems(paths)
    # The launcher knows itself by its path with letter case ignored.
    own = next((f for f in files if windows_name(f.path) == windows_name(launcher)), None)
    foreign = read_launcher(own, allow_64_bit_launcher) if own else []
    if foreign and not allow_foreign_launcher:
        errors.append((own.path, "would not start as the launcher: " + "; ".join(foreign) + ". Players' "
                       "launchers replace themselves with it and could not fetch a fix "
                       "(--allow-foreign-launcher publishes it anyway)"))
    clash = archive_clash(out_dir, version)
    if clash:
        errors.append(clash)
    served_text, old_version, old_entries = read_served(out_dir)
    flags, keep_errors = keep_flags(paths, keep, unkeep, old_entries)
    errors += keep_errors
    dropped = launcher_dropped(old_entries, paths, launcher)
    if dropped and not drop_launcher:
        errors.append((dropped, f"version {old_version} carries the launcher and this build does not: players' "
                       "launchers would never update themselves again (--drop-launcher publishes it anyway)"))
    if errors:
        raise Refused("\n".join(f"{shown(p)}: {why}" for p, why in errors))
    if not files:
        raise Refused(f"{build_dir}: no files to publish")
    return Plan(files, paths, flags, own, foreign, served_text, old_version, old_entries, dropped)


def warn(plan, version):
    warnings = [(p, why) for p in plan.paths for why in windows_problems(p)]
    warnings += change_problems([e.path for e in plan.old_entries], plan.old_version, plan.paths)
    warnings += [(plan.own.path, "would not start as the launcher: " + why) for why in plan.foreign]
    for p, why in warnings:
        say(f"publish: warning: {shown(p)}: {why}")
    if plan.dropped:
        say(f"publish: warning: {shown(plan.dropped)}: dropped from the list; players' launchers stop "
            "updating themselves")
    if not version.isascii():
        say("publish: warning: the launcher shows the version byte by byte; keep it to ASCII")
    # Every hash has 64 digits, so the length is known before any file is read.
    length = len(format_manifest(version, [Entry("0" * 64, f.size, plan.flags.get(f.path, ""), f.path)
                                           for f in plan.files]))
    if length >= MANIFEST_LIMIT:
        raise Refused(f"the file list would be {length} bytes; the launcher reads at most "
                      f"{MANIFEST_LIMIT - 1}. Pack small files together")


def publish(build_dir, out_dir, version, keep=(), launcher="TarsinLauncher.exe", quiet=False,
            verify_existing=False, allow_foreign_launcher=False, unkeep=(), drop_launcher=False,
            dry_run=False, sign_keys=(), valid_for=None, allow_64_bit_launcher=False):
    """Writes the objects, then the file list (and its signed statement, given keys); with
    dry_run, only says what it would do. Returns the entries published."""
    check_arguments(build_dir, out_dir, version)
    build = plan(build_dir, out_dir, version, keep, unkeep, launcher, allow_foreign_launcher, drop_launcher,
                 allow_64_bit_launcher)
    keys = load_sign_keys(out_dir, sign_keys)
    warn(build, version)
    if dry_run:
        return preview(build.files, out_dir, version, build.flags, launcher, build.old_version,
                       build.old_entries, quiet)
    os.makedirs(out_dir, exist_ok=True)
    with Lock(out_dir):
        entries, digests, store, progress = write(build, out_dir, version, launcher, verify_existing, keys,
                                                  valid_for, quiet)
    for digest, path in sorted(store.damaged.items()):
        say(f"publish: {OBJECTS}/{digest} was damaged; written again from {shown(path)}")
    if not quiet:
        say(f"published {version}: {len(entries)} files, {sum(f.size for f in build.files) / 2**20:.1f} MB, "
            f"{len(set(digests.values()))} objects, {store.written} new "
            f"({store.written_bytes / 2**20:.1f} MB written) in {progress.elapsed():.1f} s")
        if verify_existing:
            say(f"re-hashed {store.rehashed} reused objects: {len(store.damaged)} damaged, written again")
        if build.own:
            say(f"launcher {build.own.path}: {build.own.size} bytes, SHA-256 {digests[build.own.path]}")
        for line in player_changes(build.old_version, build.old_entries, entries, launcher):
            say(line)
    return entries


def write(build, out_dir, version, launcher, verify_existing, keys, valid_for, quiet):
    """The objects, the archived list, the statement, and last the served list; under the lock."""
    clash = archive_clash(out_dir, version)
    if clash:
        raise Refused(": ".join(clash))
    if read_served(out_dir)[0] != build.served_text:
        raise Refused(f"{MANIFEST}: replaced by someone else while this build was checked; publish again")
    previous = {e.path: e.size for e in read_served(out_dir)[2]}
    store = ObjectStore(out_dir, verify_existing)
    digests, progress = hash_all(build.files, quiet,
                                 lambda f, p: store.add(f, previous.get(f.path) != f.size, p))
    entries = [Entry(digests[f.path], f.size, build.flags.get(f.path, ""), f.path)
               for f in manifest_order(build.files, launcher)]
    text = format_manifest(version, entries)
    os.makedirs(os.path.join(out_dir, ARCHIVE), exist_ok=True)
    write_atomic(archive_path(out_dir, version), text)
    fsync_dir(store.dir)
    if keys:
        text = sign_for_serving(out_dir, text, keys, valid_for)
    # Last: a launcher never sees a file list whose objects (and statement) are not all in place.
    serve(out_dir, text)
    return entries, digests, store, progress


def preview(files, out_dir, version, flags, launcher, old_version, old_entries, quiet):
    """What a publish would do, with nothing written: its summary and what players see."""
    digests = hash_build(files, quiet)
    entries = [Entry(digests[f.path], f.size, flags.get(f.path, ""), f.path)
               for f in manifest_order(files, launcher)]
    sizes = {e.hash: e.size for e in entries}
    new = {d: n for d, n in sizes.items() if not ObjectStore.present(out_dir, d, n)}
    if not quiet:
        say(f"dry run, nothing written: would publish {version}: {len(entries)} files, "
            f"{sum(f.size for f in files) / 2**20:.1f} MB, {len(sizes)} objects, {len(new)} new "
            f"({sum(new.values()) / 2**20:.1f} MB to write)")
        own = next((e for e in entries if windows_name(e.path) == windows_name(launcher)), None)
        if own:
            say(f"launcher {own.path}: {own.size} bytes, SHA-256 {own.hash}")
        for line in player_changes(old_version, old_entries, entries, launcher):
            say(line)
    return entries
