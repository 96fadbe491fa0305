"""Path rules: what the launcher refuses, what Windows cannot hold, which names Windows
does not tell apart, and what players' launchers go through when names change."""
from . import shared
from .common import LONG_PATH, LAUNCHER_OWN_FILES, WINDOWS_BAD_CHARS, WINDOWS_RESERVED, shown


def launcher_rejects(path):
    """Why the launcher's relative-path rule rejects the path, or None."""
    return shared.path_refusal(path)


def format_rejects(path):
    """Why the path cannot be written into a manifest line, or None."""
    for c, name in (("\t", "a TAB"), ("\n", "a line feed"), ("\r", "a carriage return")):
        if c in path:
            return f"contains {name}, which the file list cannot carry"
    return None


def windows_problems(path):
    """What Windows cannot hold in the path (warnings: the launcher accepts it)."""
    problems = []
    for part in path.split("/"):
        stem = part.split(".")[0].rstrip(" ").upper()
        if stem in WINDOWS_RESERVED:
            problems.append(f'"{shown(part)}" is a reserved device name on Windows')
        if part.endswith((".", " ")):
            problems.append(f'"{shown(part)}" ends in a dot or a space, which Windows drops')
        bad = sorted({c for c in part if c in WINDOWS_BAD_CHARS})
        if bad:
            listed = " ".join(repr(c) for c in bad)
            problems.append(f'"{shown(part)}" holds characters Windows does not allow in names: {listed}')
    if len(path) > LONG_PATH:
        problems.append(f"{len(path)} characters long: may pass the Windows path limit of 260 "
                        "once the installation folder is in front")
    return problems


def windows_name(path):
    """The path as Windows tells files apart: letter case folded, and the dots and
    spaces that end a name dropped, as Windows drops them when it opens a path."""
    parts = []
    for part in path.split("/"):
        part = part.rstrip(". ")
        # Windows folds one character to one character: "ß" stays, "ı" and "i" meet in "I".
        parts.append(part.upper() if part.isascii() else
                     "".join(c.upper() if len(c.upper()) == 1 else c for c in part))
    return "/".join(parts)


def folders_of(paths):
    """The Windows name of every folder the paths lie in, with one path inside it."""
    folders = {}
    for p in paths:
        parts = p.split("/")
        for i in range(1, len(parts)):
            folders.setdefault(windows_name("/".join(parts[:i])), ("/".join(parts[:i]), p))
    return folders


def clash_problems(paths):
    """Pairs of paths that reach one file on Windows. The launcher would write both into
    it, one after the other, on every run, or fail to make a folder of a file."""
    problems = []
    by_name = {}
    for p in paths:
        by_name.setdefault(windows_name(p), []).append(p)
    for group in by_name.values():
        for other in group[1:]:
            problems.append((other, f'one file on Windows with "{shown(group[0])}": players\' launchers '
                                    "would write each over the other on every run"))
    folders = folders_of(paths)
    for p in paths:
        folder = folders.get(windows_name(p))
        if folder:
            problems.append((p, f'one name on Windows with the folder "{shown(folder[0])}" of '
                                f'"{shown(folder[1])}": players\' launchers cannot make both'))
    return problems


def change_problems(old_paths, old_version, paths):
    """What launchers that installed the served list go through to reach this one:
    file/folder swaps and renames that Windows does not see."""
    problems = []
    old_folders, new_folders = folders_of(old_paths), folders_of(paths)
    for p in old_paths:
        folder = new_folders.get(windows_name(p))
        if folder:
            problems.append((p, f'was a file in version {old_version} and is a folder now ("{shown(folder[1])}"): '
                                "a launcher removes the file it installed there and makes the folder in one run, "
                                "but one whose player keeps other files in the way fails until they are gone"))
    for p in paths:
        folder = old_folders.get(windows_name(p))
        if folder:
            problems.append((p, f'was a folder in version {old_version} ("{shown(folder[1])}") and is a file '
                                "now: a launcher removes the folder when it holds only files it installed, and "
                                "fails on every run while a player's own file keeps it there"))
    old_by_name = {windows_name(p): p for p in old_paths}
    renamed = {}
    for p in paths:
        old = old_by_name.get(windows_name(p))
        if old is None or old == p:
            continue
        old_parts, new_parts = old.split("/"), p.split("/")
        depth = next(i for i, (a, b) in enumerate(zip(old_parts, new_parts)) if a != b) + 1
        key = ("/".join(old_parts[:depth]), "/".join(new_parts[:depth]), depth == len(new_parts))
        renamed[key] = renamed.get(key, 0) + 1
    for (old, new, is_file), count in renamed.items():
        if is_file:
            problems.append((new, f'renamed from "{shown(old)}" of version {old_version}, a name Windows does '
                                  "not tell apart: launchers keep the file and read it whole once to record it "
                                  "under the new name"))
        else:
            problems.append((new, f'the folder "{shown(old)}" of version {old_version} renamed, a name Windows '
                                  f"does not tell apart: launchers keep its {count} files and read each whole "
                                  "once to record it under the new name"))
    return problems


PART = windows_name(shared.PARTIAL_SUFFIX)


def own_name_problems(paths, launcher):
    """Paths that would collide with the launcher's own files, under any spelling Windows
    takes for them (the launcher refuses the whole file list then)."""
    own = {windows_name(n) for n in LAUNCHER_OWN_FILES}
    names = {windows_name(p) for p in paths}
    old = windows_name(launcher + shared.OLD_LAUNCHER_SUFFIX) if launcher else None
    problems = []
    for p in paths:
        f = windows_name(p)
        if f in own:
            problems.append((p, "is a file the launcher keeps for itself"))
        elif f.endswith(PART) and f[:-len(PART)] in names:
            problems.append((p, f'is where the launcher keeps the partial download of "{p[:-len(PART)]}"'))
        elif f == old:
            problems.append((p, "is where the launcher moves its previous executable"))
    return problems
