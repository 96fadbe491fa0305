"""Signing the served list in the tree, and checking the statements kept there."""
import hashlib
import os
import time

import signing

from .common import HEX64, MANIFEST, Refused, hours
from .files import write_atomic
from .tree import read_served


def statement_path(out_dir, text):
    return os.path.join(out_dir, signing.FOLDER, hashlib.sha256(text).hexdigest())


def tree_is_signed(out_dir):
    """Once signed, always: a tree whose statements are gone must not serve lists unsigned."""
    return os.path.isdir(os.path.join(out_dir, signing.FOLDER))


def load_sign_keys(out_dir, paths):
    """The signing keys, loaded before any work; none is refused in a signed tree, whose
    launchers would refuse an unsigned list."""
    try:
        keys = [signing.load_key(p) for p in signing.key_paths(paths)]
    except signing.SigningError as e:
        raise Refused(str(e))
    if not keys and tree_is_signed(out_dir):
        raise Refused(f"{os.path.join(out_dir, signing.FOLDER)} holds signed statements: launchers built with "
                      f"a key would refuse an unsigned list. Give --sign-key KEYFILE or {signing.ENV_KEY} "
                      f"(or move {signing.FOLDER}/ away to stop signing)")
    return keys


def newest_statement_time(out_dir):
    folder = os.path.join(out_dir, signing.FOLDER)
    newest = 0
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                newest = max(newest, signing.parse_statement(f.read())["signed"])
        except (OSError, signing.SigningError):
            pass
    return newest


def sign_for_serving(out_dir, text, keys, valid_for=None, now=None):
    """The list as it will be served, its statement written. The list gets a "stamp" line
    (which the launcher ignores) so that each signing serves new bytes: a statement's name
    then never gets other content, and caches may keep it like an object, even when
    rollback serves an old list again."""
    # A launcher refuses a statement older than the newest it accepted: a clock set back on
    # this machine must not make the next statement look like a replay.
    signed_at = max(int(time.time() if now is None else now), newest_statement_time(out_dir))
    served = text + f"stamp\t{time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(signed_at))}\n".encode()
    statement = signing.make_statement(served, keys, signed_at, valid_for)
    os.makedirs(os.path.join(out_dir, signing.FOLDER), exist_ok=True)
    write_atomic(statement_path(out_dir, served), statement)
    return served


def statement_problems(out_dir, public_keys, now=None):
    """Problems of the statements: the served list's missing, malformed, for another list,
    expired, or (with public keys) signed by none of them; any other one damaged."""
    text, _, _ = read_served(out_dir)
    if not public_keys and not tree_is_signed(out_dir):
        return []
    now = time.time() if now is None else now
    problems = []
    folder = os.path.join(out_dir, signing.FOLDER)
    served = hashlib.sha256(text).hexdigest() if text is not None else None
    names = sorted(n for n in os.listdir(folder) if HEX64.match(n)) if os.path.isdir(folder) else []
    if served and served not in names:
        problems.append(f"{signing.FOLDER}/{served}: missing: launchers built with a key refuse {MANIFEST}")
    for name in names:
        shown_name = f"{signing.FOLDER}/{name}"
        try:
            with open(os.path.join(folder, name), "rb") as f:
                statement = signing.parse_statement(f.read())
        except (OSError, signing.SigningError) as e:
            problems.append(f"{shown_name}: {e}")
            continue
        if statement["list"] != name:
            problems.append(f"{shown_name}: vouches for another list ({statement['list']})")
        elif public_keys and not signing.signed_by(statement, public_keys):
            problems.append(f"{shown_name}: signed by none of the given public keys (damaged, or another key)")
        elif name == served and statement["until"] is not None and statement["until"] < now:
            problems.append(f"{shown_name}: expired {hours(now - statement['until'])} ago; launchers refuse "
                            f"{MANIFEST}: publish or rollback again")
    return problems
