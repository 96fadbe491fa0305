"""What launchers of the served version do with a new list: keep flags carried over,
the launcher dropped, and the summary of files added, changed and removed."""
from .common import say, shown
from .rules import windows_name
from .scan import keep_matches


def keep_flags(paths, keep, unkeep, old_entries):
    """The "k" flags of the new list, and the problems that refuse it. A path the served
    list keeps stays kept, under any spelling Windows takes for it, until --unkeep names
    it: a keep flag that vanished would let every launcher replace players' settings."""
    flags, errors = {}, []
    for pattern in keep:
        matched = [p for p in paths if keep_matches(p, [pattern])]
        if not matched:
            say(f'publish: warning: --keep "{pattern}" matches no file')
        for p in matched:
            flags[p] = "k"
    kept_before = {windows_name(e.path) for e in old_entries if "k" in e.flags}
    unkept_any = set()
    for p in paths:
        named = keep_matches(p, unkeep)
        unkept_any.update(named)
        if named and p in flags:
            errors.append((p, f'both --keep and --unkeep "{named[0]}" name it'))
        elif not named and windows_name(p) in kept_before:
            flags[p] = "k"
    for pattern in unkeep:
        if pattern not in unkept_any:
            say(f'publish: warning: --unkeep "{pattern}" matches no file')
    return flags, errors


def launcher_dropped(old_entries, paths, launcher):
    """The served list's launcher when the build lacks it, or None. Without it in the
    list, players' launchers keep their build and never update themselves again."""
    old = next((e.path for e in old_entries if windows_name(e.path) == windows_name(launcher)), None)
    if old is None or any(windows_name(p) == windows_name(launcher) for p in paths):
        return None
    return old


def listed(paths, limit=10):
    shown_paths = [f'"{shown(p)}"' for p in paths[:limit]]
    more = f" and {len(paths) - limit} more" if len(paths) > limit else ""
    return ", ".join(shown_paths) + more


def change_lists(old_version, old_entries, entries):
    """The paths added, changed and removed for players of the served version."""
    old = {windows_name(e.path): e for e in old_entries}
    new = {windows_name(e.path): e for e in entries}
    return {"from_version": old_version if old_entries else None,
            "added": [e.path for k, e in new.items() if k not in old],
            "changed": [e.path for k, e in new.items() if k in old and old[k].hash != e.hash],
            "removed": [e.path for k, e in old.items() if k not in new]}


def player_changes(old_version, old_entries, entries, launcher):
    """Lines telling what launchers of the served version do with the new list: files
    added, changed and removed, every change of keep status, and the launcher's own."""
    if not old_entries:
        return [f"for players: a first version, {len(entries)} files to install"]
    old = {windows_name(e.path): e for e in old_entries}
    new = {windows_name(e.path): e for e in entries}
    lists = change_lists(old_version, old_entries, entries)
    added, changed, removed = lists["added"], lists["changed"], lists["removed"]
    lines = [f"for players of version {old_version}: {len(added)} files added, {len(changed)} changed, "
             f"{len(removed)} removed"]
    for label, paths in (("added", added), ("changed", changed), ("removed", removed)):
        if paths:
            lines.append(f"  {label}: {listed(paths)}")
    for k, e in new.items():
        was = old.get(k)
        if "k" in e.flags and (was is None or "k" not in was.flags):
            lines.append(f'  keep: "{shown(e.path)}" ' + ("kept from now on: launchers that have it never "
                         "replace it again" if was else "added as kept"))
        elif "k" not in e.flags and was is not None and "k" in was.flags:
            lines.append(f'  keep: "{shown(e.path)}" no longer kept: launchers replace players\' copies '
                         "with the published one")
    me = windows_name(launcher)
    if me in new and me not in old:
        lines.append(f'  launcher: "{shown(new[me].path)}" added: launchers replace themselves with it')
    elif me in new and new[me].hash != old[me].hash:
        lines.append(f'  launcher: "{shown(new[me].path)}" changed: every launcher replaces itself with it')
    elif me in old and me not in new:
        lines.append(f'  launcher: "{shown(old[me].path)}" removed: launchers stop updating themselves')
    return lines


def kept_dropped(old_entries, old_version, paths, drop_kept):
    """(the served list's kept files the build lacks and --drop-kept names, the problems that
    refuse the rest). A launcher deletes what the list no longer names, players' edited
    settings included."""
    present = {windows_name(p) for p in paths}
    dropped, errors, named = [], [], set()
    for e in old_entries:
        if "k" not in e.flags or windows_name(e.path) in present:
            continue
        patterns = keep_matches(e.path, drop_kept)
        named.update(patterns)
        if patterns:
            dropped.append(e.path)
        else:
            errors.append((e.path, f"kept by version {old_version} and missing from this build: every player's "
                                   f'copy would be deleted at their next update (--drop-kept "{e.path}" '
                                   "publishes without it)"))
    for pattern in drop_kept:
        if pattern not in named:
            say(f'publish: warning: --drop-kept "{pattern}" matches no kept file the build lacks')
    return dropped, errors
