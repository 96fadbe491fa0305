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
                      f"a key take only signed lists, for as long as they run. Give --sign-key KEYFILE or "
                      f"{signing.ENV_KEY}; never remove {signing.FOLDER}/, whose statements they fetch")
    return keys


def verified_times(out_dir, keys):
    """The signing times of the statements in the tree that verify under one of keys. A
    statement planted in the tree, or one that cannot be read, counts for nothing."""
    folder = os.path.join(out_dir, signing.FOLDER)
    publics = [signing.public_hex(k.public_key()) for k in keys]
    times = []
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                statement = signing.parse_statement(f.read())
            if signing.signed_by(statement, publics):
                times.append((statement["signed"], name))
        except (OSError, ValueError, OverflowError, signing.SigningError):
            pass
    return times


def signing_time(out_dir, keys, now):
    """Strictly after the newest statement signed with these keys, which launchers may have
    kept (a statement of the same second for another list is refused), and never on top of
    one more than a day ahead: its signer's clock was wrong, and following it would leave
    every statement signed after it ahead too."""
    newest, name = max(verified_times(out_dir, keys), default=(0, None))
    if newest > now + signing.CLOCK_SKEW:
        raise Refused(f"{signing.FOLDER}/{name}: signed {hours(newest - now)} ahead of this machine's clock "
                      f"(is one of the two wrong?). Launchers never keep a time that far ahead, so no list "
                      f"signed now is refused for it: set the clock right, then move that statement out of "
                      f"{signing.FOLDER}/ once the list it vouches for is no longer served")
    return max(int(now), newest + 1)


def unstamped(text):
    """The list without the stamp lines of an earlier signing."""
    return b"".join(line for line in text.splitlines(keepends=True) if not line.startswith(b"stamp\t"))


def served_channel(out_dir):
    """The channel of the served list's statement: "" for the default, or for none."""
    text = read_served(out_dir)[0]
    try:
        with open(statement_path(out_dir, text), "rb") as f:
            return signing.parse_statement(f.read())["channel"]
    except (TypeError, OSError, signing.SigningError):
        return ""


def sign_for_serving(out_dir, text, keys, valid_for=None, channel=None, now=None):
    """The list as it will be served, its statement written. The list gets a "stamp" line
    (which the launcher ignores) so that each signing serves new bytes: a statement's name
    then never gets other content, and caches may keep it like an object, even when
    rollback serves an old list again. channel None keeps the served statement's channel, so
    that signing a staging tree again never makes its list one for players; "default" names
    the players' channel."""
    channel = served_channel(out_dir) if channel is None else "" if channel == signing.DEFAULT_CHANNEL else channel
    signed_at = signing_time(out_dir, keys, time.time() if now is None else now)
    valid_for = signing.DEFAULT_VALID_FOR if valid_for is None else valid_for
    served = unstamped(text) + f"stamp\t{time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(signed_at))}\n".encode()
    statement = signing.make_statement(served, keys, signed_at, valid_for, channel)
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
        elif name == served and signing.expires(statement) < now:
            problems.append(f"{shown_name}: expired {hours(now - signing.expires(statement))} ago; launchers "
                            f"refuse {MANIFEST}: publish.py resign {out_dir} now")
    return problems


def expiry_warning(out_dir, now=None):
    """A warning when the served list's statement expires within a week, else None."""
    text = read_served(out_dir)[0]
    path = statement_path(out_dir, text) if text is not None else None
    try:
        with open(path, "rb") as f:
            statement = signing.parse_statement(f.read())
    except (TypeError, OSError, signing.SigningError):
        return None  # statement_problems names it
    left = signing.expires(statement) - (time.time() if now is None else now)
    if 0 <= left < 7 * signing.DAY:
        return (f"{signing.FOLDER}/{os.path.basename(path)}: expires in {hours(left)}, and launchers then refuse "
                f"{MANIFEST}: run publish.py resign {out_dir} (a scheduled job should, every week)")
    return None
