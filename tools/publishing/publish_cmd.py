"""The publish command: a build folder checked, hashed and served."""
import os
from dataclasses import dataclass

import signing

from .changes import change_lists, keep_flags, kept_dropped, launcher_dropped, listed, player_changes
from .common import ARCHIVE, MANIFEST, MANIFEST_LIMIT, OBJECTS, Entry, Refused, say, shown
from .filelist import format_manifest
from .files import Lock, fsync_dir, write_atomic
from .temporaries import report_temporaries
from .hashing import hash_all, hash_build
from .pe_check import launcher_problems
from .rules import change_problems, clash_problems, own_name_problems, windows_name, windows_problems
from .scan import manifest_order, scan_build
from .sign_checks import check_launcher_key, key_file_problems, private_keys_in
from .statements import load_sign_keys, sign_for_serving
from .store import ObjectStore
from .tree import archive_clash, archive_path, label_state, read_served, serve


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
    kept_dropped: list     # kept files of the served list the build lacks, dropped by --drop-kept


@dataclass
class Options:
    keep: tuple = ()
    unkeep: tuple = ()
    drop_kept: tuple = ()
    launcher: str = "TarsinLauncher.exe"
    allow_foreign_launcher: bool = False
    allow_64_bit_launcher: bool = False
    drop_launcher: bool = False


def check_arguments(build_dir, out_dir, version):
    if not os.path.isdir(build_dir):
        raise Refused(f"{build_dir}: not a folder")
    if any(c in version for c in "\t\r\n") or not version:
        raise Refused("the version must be a non-empty text without TAB or line breaks")
    out_abs, build_abs = os.path.realpath(out_dir), os.path.realpath(build_dir)
    if out_abs == build_abs or out_abs.startswith(build_abs + os.sep):
        raise Refused(f"{out_dir}: the published tree cannot lie inside the build")


def plan(build_dir, out_dir, version, options):
    """The build's files and flags, once nothing refuses them; Refused names every problem."""
    files, errors = scan_build(build_dir)
    errors += [(p, "holds a PEM private key, which would be published for anyone to read: take it out of the "
                   "build") for p in private_keys_in(files)]
    paths = [f.path for f in files]
    errors += own_name_problems(paths, options.launcher) + clash_problems(paths)
    # The launcher knows itself by its path with letter case ignored.
    own = next((f for f in files if windows_name(f.path) == windows_name(options.launcher)), None)
    foreign = read_launcher(own, options.allow_64_bit_launcher) if own else []
    if foreign and not options.allow_foreign_launcher:
        errors.append((own.path, "would not start as the launcher: " + "; ".join(foreign) + ". Players' "
                       "launchers replace themselves with it and could not fetch a fix "
                       "(--allow-foreign-launcher publishes it anyway)"))
    clash = archive_clash(out_dir, version)
    if clash:
        errors.append(clash)
    served_text, old_version, old_entries = read_served(out_dir)
    flags, keep_errors = keep_flags(paths, options.keep, options.unkeep, old_entries)
    errors += keep_errors
    dropped = launcher_dropped(old_entries, paths, options.launcher)
    if dropped and not options.drop_launcher:
        errors.append((dropped, f"version {old_version} carries the launcher and this build does not: players' "
                       "launchers would never update themselves again (--drop-launcher publishes it anyway)"))
    kept, kept_errors = kept_dropped(old_entries, old_version, paths, options.drop_kept)
    errors += kept_errors
    if errors:
        raise Refused("\n".join(f"{shown(p)}: {why}" for p, why in errors))
    if not files:
        raise Refused(f"{build_dir}: no files to publish")
    return Plan(files, paths, flags, own, foreign, served_text, old_version, old_entries, dropped, kept)


def warn(plan, version, launcher):
    warnings = [(p, why) for p in plan.paths for why in windows_problems(p)]
    warnings += change_problems([e.path for e in plan.old_entries], plan.old_version, plan.paths)
    warnings += [(plan.own.path, "would not start as the launcher: " + why) for why in plan.foreign]
    if plan.dropped:
        warnings.append((plan.dropped, "dropped from the list; players' launchers stop updating themselves"))
    if not plan.old_entries and not plan.own:
        warnings.append((launcher, "not in this first version: players' launchers could never update "
                                   "themselves (--launcher PATH names the launcher in the build)"))
    for p in plan.kept_dropped:
        warnings.append((p, "kept file dropped (--drop-kept): launchers delete players' copies"))
    for p, why in warnings:
        say(f"publish: warning: {shown(p)}: {why}")
    if not version.isascii():
        say("publish: warning: the launcher shows the version byte by byte; keep it to ASCII")
    # Every hash has 64 digits, so the length is known before any file is read.
    length = len(format_manifest(version, [Entry("0" * 64, f.size, plan.flags.get(f.path, ""), f.path)
                                           for f in plan.files]))
    if length >= MANIFEST_LIMIT:
        raise Refused(f"the file list would be {length} bytes; the launcher reads at most "
                      f"{MANIFEST_LIMIT - 1}. Pack small files together")
    return [f"{shown(p)}: {why}" for p, why in warnings]


def publish(build_dir, out_dir, version, keep=(), launcher="TarsinLauncher.exe", quiet=False,
            verify_existing=False, allow_foreign_launcher=False, unkeep=(), drop_launcher=False,
            dry_run=False, sign_keys=(), valid_for=None, allow_64_bit_launcher=False, drop_kept=(),
            summary=None, channel=None, allow_test_key=False):
    """Writes the objects, then the file list (and its signed statement, given keys); with
    dry_run, only says what it would do. Returns the entries published. A summary dict
    given is filled with what the command line prints as JSON."""
    options = Options(tuple(keep), tuple(unkeep), tuple(drop_kept), launcher, allow_foreign_launcher,
                      allow_64_bit_launcher, drop_launcher)
    check_arguments(build_dir, out_dir, version)
    key_file_problems(signing.key_paths(sign_keys), {"build": build_dir, "served tree": out_dir})
    build = plan(build_dir, out_dir, version, options)
    keys = load_sign_keys(out_dir, sign_keys)
    if keys and build.own:
        with open(build.own.source, "rb") as f:
            check_launcher_key(f.read(), shown(build.own.path), keys, allow_test_key)
    summary = {} if summary is None else summary
    summary.update(version=version, dry_run=dry_run, warnings=warn(build, version, launcher),
                   kept_dropped=build.kept_dropped)
    report_temporaries(out_dir, "publish")
    if dry_run:
        return preview(build, out_dir, version, launcher, quiet, summary)
    os.makedirs(out_dir, exist_ok=True)
    with Lock(out_dir):
        entries, digests, store, progress, state = write(build, out_dir, version, launcher, verify_existing,
                                                         (keys, valid_for, channel), quiet)
    for digest, path in sorted(store.damaged.items()):
        say(f"publish: {OBJECTS}/{digest} was damaged; written again from {shown(path)}")
    fill_summary(summary, build, entries, launcher, len(set(digests.values())), store.written,
                 store.written_bytes)
    summary["changed"] = state != "served"
    if not quiet:
        if state == "served":
            say(f"version {version} is served already with this content: nothing changed")
        say(f"published {version}: {len(entries)} files, {summary['bytes'] / 2**20:.1f} MB, "
            f"{summary['objects']} objects, {store.written} new "
            f"({store.written_bytes / 2**20:.1f} MB written) in {progress.elapsed():.1f} s")
        if verify_existing:
            say(f"re-hashed {store.rehashed} reused objects: {len(store.damaged)} damaged, written again")
        tell_players(build, entries, launcher)
    return entries


def tell_players(build, entries, launcher):
    own = next((e for e in entries if windows_name(e.path) == windows_name(launcher)), None)
    if own:
        say(f"launcher {own.path}: {own.size} bytes, SHA-256 {own.hash}")
    for line in player_changes(build.old_version, build.old_entries, entries, launcher):
        say(line)
    if build.kept_dropped:
        say(f"  kept files dropped (--drop-kept): {listed(build.kept_dropped)}: launchers delete players' copies")


def fill_summary(summary, build, entries, launcher, objects, new_objects, new_bytes):
    own = next((e for e in entries if windows_name(e.path) == windows_name(launcher)), None)
    summary.update(files=len(entries), bytes=sum(e.size for e in entries), objects=objects,
                   new_objects=new_objects, new_bytes=new_bytes,
                   launcher={"path": own.path, "size": own.size, "sha256": own.hash} if own else None,
                   players=change_lists(build.old_version, build.old_entries, entries))


def listed_entries(build, digests, launcher):
    """The build's files as the list names them, in the list's order."""
    return [Entry(digests[f.path], f.size, build.flags.get(f.path, ""), f.path)
            for f in manifest_order(build.files, launcher)]


def write(build, out_dir, version, launcher, verify_existing, signed, quiet):
    """The objects, the archived list, the statement, and last the served list; under the lock."""
    clash = archive_clash(out_dir, version)
    if clash:
        raise Refused(": ".join(clash))
    served_text, _, served_entries = read_served(out_dir)
    if served_text != build.served_text:
        raise Refused(f"{MANIFEST}: replaced by someone else while this build was checked; publish again")
    previous = {e.path: e.size for e in served_entries}
    store = ObjectStore(out_dir, verify_existing)
    digests, progress = hash_all(build.files, quiet,
                                 lambda f, p: store.add(f, previous.get(f.path) != f.size, p))
    entries = listed_entries(build, digests, launcher)
    state = label_state(out_dir, version, entries)
    if state == "served":
        return entries, digests, store, progress, state
    text = format_manifest(version, entries)
    os.makedirs(os.path.join(out_dir, ARCHIVE), exist_ok=True)
    write_atomic(archive_path(out_dir, version), text)
    fsync_dir(store.dir)
    keys, valid_for, channel = signed
    if keys:
        text = sign_for_serving(out_dir, text, keys, valid_for, channel)
    # Last: a launcher never sees a file list whose objects (and statement) are not all in place.
    serve(out_dir, text)
    return entries, digests, store, progress, state


def preview(build, out_dir, version, launcher, quiet, summary):
    """What a publish would do, with nothing written: its summary and what players see."""
    digests = hash_build(build.files, quiet)
    entries = listed_entries(build, digests, launcher)
    state = label_state(out_dir, version, entries)
    sizes = {e.hash: e.size for e in entries}
    new = {d: n for d, n in sizes.items() if not ObjectStore.present(out_dir, d, n)}
    fill_summary(summary, build, entries, launcher, len(sizes), len(new), sum(new.values()))
    summary["changed"] = state != "served"
    if not quiet:
        if state == "served":
            say(f"dry run: version {version} is served already with this content: nothing would change")
        say(f"dry run, nothing written: would publish {version}: {len(entries)} files, "
            f"{summary['bytes'] / 2**20:.1f} MB, {len(sizes)} objects, {len(new)} new "
            f"({sum(new.values()) / 2**20:.1f} MB to write)")
        tell_players(build, entries, launcher)
    return entries
