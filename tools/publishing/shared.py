"""The rules the launcher shares with the tools, read from support/shared_rules.json, the one
copy the launcher's build also compiles in: the launcher's own file names, the path rule, the
file list's size cap and the hash text of a record that claims no content."""
import json
import os

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support", "shared_rules.json")

with open(PATH, encoding="utf-8") as _f:
    RULES = json.load(_f)

STATE_FILE = RULES["state_file"]
SIGNED_FILE = RULES["signed_file"]
LOG_FILE = RULES["log_file"]
TEMP_SUFFIX = RULES["temp_suffix"]
OLD_LAUNCHER_SUFFIX = RULES["old_launcher_suffix"]
PARTIAL_SUFFIX = RULES["partial_suffix"]
FILE_LIST_CAP = RULES["file_list_cap"]
UNPROVEN_HASH = RULES["unproven_hash"]
# The files the launcher keeps in the installation folder whatever the build (the signed
# statement's only in a build with a key; the tools guard both).
OWN_FILES = frozenset({STATE_FILE, STATE_FILE + TEMP_SUFFIX, LOG_FILE, SIGNED_FILE, SIGNED_FILE + TEMP_SUFFIX})


def path_refusal(path):
    """What of the launcher's relative-path rule the path breaks, in words, or None."""
    if path == "":
        return "empty path"
    if path.startswith(RULES["path_refused_start"]):
        return f'begins with "{RULES["path_refused_start"]}"'
    for part in list(RULES["path_refused_sequences"]) + list(RULES["path_refused_characters"]):
        if part in path:
            return f'contains "{part}"'
    if any(ord(c) < RULES["path_lowest_byte"] for c in path):
        return "contains a control character"
    return None
