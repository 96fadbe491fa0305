"""Names, limits and small helpers every part of the publishing tool shares."""
import re
import sys
from dataclasses import dataclass

from . import shared

MAGIC = "KXUPDATE 1"
MANIFEST = "manifest.txt"
OBJECTS = "o"
ARCHIVE = "manifests"
RETIRED = "retired"
LOCK = ".publish.lock"
TEMP_PREFIX = ".tmp-"
CHUNK = 1 << 20
# A temporary object this old belongs to no running publish (they hold the lock).
STALE_TEMP_SECONDS = 3600
# A launcher fetches the list once and then downloads for as long as the player's line
# needs; prune leaves the objects of a retired list alone this long.
GRACE_SECONDS = 24 * 3600
# The launcher stops fetching a file list once it holds this much, and fails.
MANIFEST_LIMIT = shared.FILE_LIST_CAP

# Files the launcher itself keeps in the installation directory; a game file of
# the same name would be overwritten, deleted or misread by it.
LAUNCHER_OWN_FILES = shared.OWN_FILES
WINDOWS_RESERVED = {"CON", "PRN", "AUX", "NUL"} | {f"{d}{i}" for d in ("COM", "LPT") for i in range(1, 10)}
WINDOWS_BAD_CHARS = set('<>"|?*') | {chr(c) for c in range(32)}
# With an installation folder of typical depth, longer paths pass the 260 characters of MAX_PATH.
LONG_PATH = 200
HEX64 = re.compile(r"[0-9a-f]{64}\Z")


class Refused(Exception):
    """A condition that stops the command; its text names the file."""


@dataclass
class Entry:
    hash: str
    size: int
    flags: str
    path: str


@dataclass
class BuildFile:
    path: str        # relative, "/"-separated, as it goes into the manifest
    source: str      # where to read it
    size: int


def shown(path):
    """The path as a message can show it: control characters escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def say(message):
    print(message, file=sys.stderr, flush=True)


def hours(seconds):
    return f"{seconds / 3600:.1f} h"
