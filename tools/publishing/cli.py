"""The command line: every command and its options (tools/publish.py runs it)."""
import argparse
import errno
import json
import re
import signal
import threading

import signing

from .check import verify
from .common import GRACE_SECONDS, Refused, say
from .promote import promote
from .prune import prune
from .publish_cmd import publish
from .remote import upload
from .rollback import resign, rollback
from .statements import expiry_warning
from .status import status
from .tree import require_tree


def validity(text):
    """A statement's validity: long enough to outlast a clock set a day wrong, and at most a
    year, since it bounds what a stolen key or a mirror serving an old list can do."""
    seconds = parse_duration(text)
    if not signing.DAY <= seconds <= 366 * signing.DAY:
        raise argparse.ArgumentTypeError(f'"{text}": a validity lies between 1d and 366d')
    return seconds


def channel_name(text):
    if text == signing.DEFAULT_CHANNEL:
        return text
    try:
        return signing.check_channel(text)
    except signing.SigningError as e:
        raise argparse.ArgumentTypeError(str(e))


def parse_duration(text):
    """Seconds from "36h", "90m", "2d", "45s" or a number of hours."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([smhd]?)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f'"{text}" is not a duration such as 24h, 90m or 2d')
    return float(match.group(1)) * {"s": 1, "m": 60, "h": 3600, "d": 86400, "": 3600}[match.group(2)]


DESCRIPTION = "Publishes a game build for the launcher, and checks, trims or uploads a published tree."


def add_publish(sub):
    p = sub.add_parser("publish", help="turn a build folder into a served tree")
    p.add_argument("build_dir")
    p.add_argument("out_dir")
    p.add_argument("--version", required=True, help='the version text the launcher shows')
    p.add_argument("--keep", action="append", default=[], metavar="GLOB",
                   help="files the launcher must not replace once they exist (user settings); "
                        "a pattern with / matches the whole path, one without the file name")
    p.add_argument("--launcher", default="TarsinLauncher.exe", metavar="PATH",
                   help="the launcher's executable in the build; listed first (default %(default)s)")
    p.add_argument("--verify-existing", action="store_true",
                   help="re-hash the objects the tree holds already, and write damaged ones again")
    p.add_argument("--allow-foreign-launcher", action="store_true",
                   help="publish a launcher executable that fails the start-up checks")
    p.add_argument("--allow-64-bit-launcher", action="store_true",
                   help="accept the tests' 64-bit launcher build, which no player's machine needs (testing only)")
    p.add_argument("--unkeep", action="append", default=[], metavar="GLOB",
                   help="files the served version keeps that launchers may replace from now on "
                        "(every other kept file stays kept)")
    p.add_argument("--drop-launcher", action="store_true",
                   help="publish a build without the launcher's executable although the served one has it")
    p.add_argument("--dry-run", action="store_true",
                   help="check, hash and say what would change for players; write nothing")
    add_dropping(p)
    p.add_argument("--json", action="store_true", help="print the summary as JSON on standard output")
    p.add_argument("--quiet", action="store_true")
    return p


def add_dropping(command):
    command.add_argument("--drop-kept", action="append", default=[], metavar="GLOB",
                         help="kept files of the served version that this build leaves out: launchers delete "
                              "players' copies")


def add_signing(command):
    command.add_argument("--sign-key", action="append", default=[], metavar="KEYFILE",
                         help=f"sign the served list with this private key (or the key files in "
                              f"{signing.ENV_KEY}); twice while the launcher's key is changed")
    command.add_argument("--valid-for", type=validity, metavar="DURATION",
                         default=signing.DEFAULT_VALID_FOR,
                         help="launchers refuse the list this long after signing (default 30d; resign "
                              "before then)")
    command.add_argument("--channel", metavar="NAME", type=channel_name,
                         help="the launchers that take the list: those started with --channel=NAME "
                              '(a staging tree); "default": players\' (default: the served statement\'s)')
    command.add_argument("--allow-test-key", action="store_true",
                         help="sign a launcher built with the tests' public key (tests and the demo only)")
    return command


def add_tree_commands(sub):
    v = sub.add_parser("verify", help="check every object of every kept file list, and the statements")
    v.add_argument("out_dir")
    v.add_argument("--public-key", action="append", default=[], metavar="HEX",
                   help="check the statements' signatures against this key (what keygen printed)")
    v.add_argument("--json", action="store_true", help="print the problems as JSON on standard output")
    v.add_argument("--quiet", action="store_true")
    r = sub.add_parser("prune", help="remove objects that no kept file list names")
    r.add_argument("out_dir")
    r.add_argument("--grace", type=parse_duration, default=GRACE_SECONDS, metavar="DURATION",
                   help="keep the objects of lists retired less than this long ago (default 24h; "
                        "36h, 90m, 2d; a bare number counts hours)")
    r.add_argument("--dry-run", action="store_true")
    r.add_argument("--quiet", action="store_true")
    b = sub.add_parser("rollback", help="serve an earlier published version again")
    b.add_argument("out_dir")
    b.add_argument("version")
    b.add_argument("--dry-run", action="store_true", help="say what players would get; write nothing")
    b.add_argument("--launcher", default="TarsinLauncher.exe", metavar="PATH")
    b.add_argument("--quiet", action="store_true")
    add_signing(b)
    s = sub.add_parser("resign", help="sign the served list again, its files unchanged (before it expires)")
    s.add_argument("out_dir")
    s.add_argument("--quiet", action="store_true")
    add_signing(s)
    k = sub.add_parser("keygen", help="make the key pair that signs the file list; prints the public key")
    k.add_argument("keyfile")
    u = sub.add_parser("upload", help="copy the served version to an rclone remote: objects first, "
                                      "then the archived list, then manifest.txt")
    u.add_argument("out_dir")
    u.add_argument("remote", help='an rclone remote and path ("cdn:bucket/tarsin") or a local folder')
    u.add_argument("--dry-run", action="store_true")
    u.add_argument("--quiet", action="store_true")


def add_operating(sub):
    s = sub.add_parser("status", help="what the tree serves, since when, signed until when, what it keeps")
    s.add_argument("out_dir")
    s.add_argument("--remote", help="an rclone remote: exit 1 unless it serves the same list and statement")
    s.add_argument("--json", action="store_true", help="print the state as JSON on standard output")
    s.add_argument("--quiet", action="store_true")
    m = sub.add_parser("promote", help="make LIVE serve exactly the list STAGING serves (the tested one)")
    m.add_argument("staging")
    m.add_argument("live")
    m.add_argument("--launcher", default="TarsinLauncher.exe", metavar="PATH")
    m.add_argument("--drop-launcher", action="store_true",
                   help="promote a list without the launcher's executable although the live one has it")
    m.add_argument("--dry-run", action="store_true", help="say what players would get; write nothing")
    m.add_argument("--quiet", action="store_true")
    add_dropping(m)
    add_signing(m)


def parser():
    parser = argparse.ArgumentParser(prog="publish.py", description=DESCRIPTION)
    sub = parser.add_subparsers(dest="command", required=True)
    add_signing(add_publish(sub))
    add_tree_commands(sub)
    add_operating(sub)
    return parser


def print_json(value):
    print(json.dumps(value, indent=2, ensure_ascii=False))


def run_publish(args):
    summary = {}
    publish(args.build_dir, args.out_dir, args.version, args.keep, args.launcher, args.quiet,
            verify_existing=args.verify_existing, allow_foreign_launcher=args.allow_foreign_launcher,
            unkeep=args.unkeep, drop_launcher=args.drop_launcher, dry_run=args.dry_run,
            sign_keys=args.sign_key, valid_for=args.valid_for,
            allow_64_bit_launcher=args.allow_64_bit_launcher, drop_kept=args.drop_kept, summary=summary,
            channel=args.channel, allow_test_key=args.allow_test_key)
    if args.json:
        print_json(summary)
    return 0


def run_status(args):
    found = status(args.out_dir, args.remote, args.quiet)
    if args.json:
        print_json(found)
    return 0 if found.get("in_step", True) else 1


def run_promote(args):
    promote(args.staging, args.live, args.quiet, args.dry_run, args.sign_key, args.valid_for, args.drop_kept,
            args.drop_launcher, args.launcher, channel=args.channel,
            allow_test_key=args.allow_test_key)
    return 0


def run_keygen(args):
    public = signing.keygen(args.keyfile)
    print(public)
    say(f"keygen: private key in {args.keyfile} (owner only): keep it offline, never on the server, "
        "and backed up. Build the launcher with\n"
        f"  cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY={public}")
    return 0


def run_verify(args):
    require_tree(args.out_dir)
    problems = verify(args.out_dir, args.quiet, args.public_key)
    for line in problems:
        say(f"verify: {line}")
    warning = expiry_warning(args.out_dir)
    if warning:
        say(f"verify: warning: {warning}")
    if args.json:
        print_json({"tree": args.out_dir, "ok": not problems, "problems": problems,
                    "warnings": [warning] if warning else []})
    return 1 if problems else 0


def signed_options(args):
    return dict(sign_keys=args.sign_key, valid_for=args.valid_for, channel=args.channel,
                allow_test_key=args.allow_test_key)


def done(_result):
    return 0


COMMANDS = {
    "publish": run_publish,
    "keygen": run_keygen,
    "verify": run_verify,
    "prune": lambda args: done(prune(args.out_dir, args.dry_run, args.quiet, args.grace)),
    "upload": lambda args: done(upload(args.out_dir, args.remote, args.dry_run, args.quiet)),
    "rollback": lambda args: done(rollback(args.out_dir, args.version, args.quiet, dry_run=args.dry_run,
                                           launcher=args.launcher, **signed_options(args))),
    "resign": lambda args: done(resign(args.out_dir, args.quiet, **signed_options(args))),
    "status": run_status,
    "promote": run_promote,
}


# What an interruption leaves, by command: each stops before its last step or after it.
INTERRUPTED = {"publish": "nothing was published", "rollback": "nothing was published",
               "promote": "nothing was published", "upload": "the remote still serves its previous list",
               "prune": "the tree still serves what it served", "keygen": "no key was written"}


def interrupted(*_):
    # Once: a second Ctrl-C must not cut short the cleanup the first one started.
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    raise KeyboardInterrupt


STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def os_error(command, e):
    """One line for a failure of the file system, saying what to do."""
    where = e.filename or "the tree"
    if e.errno == errno.ENOSPC:
        return f"{where}: the disk is full; free space and run {command} again (the tree serves what it served)"
    if e.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
        return f"{where}: {e.strerror}; run {command} as the user who owns the tree"
    if e.errno == errno.ENOENT:
        return f"{where}: no such file or folder"
    return f"{where}: {e.strerror or e}"


def main(argv=None):
    args = parser().parse_args(argv)
    handlers = {}
    if threading.current_thread() is threading.main_thread():
        handlers = {number: signal.signal(number, interrupted) for number in STOP_SIGNALS}
    try:
        return COMMANDS[args.command](args)
    except (Refused, signing.SigningError) as e:
        for line in str(e).split("\n"):
            say(f"{args.command}: error: {line}")
        return 1
    except KeyboardInterrupt:
        say(f"{args.command}: interrupted: {INTERRUPTED.get(args.command, 'nothing was changed')}")
        return 130
    except OSError as e:
        say(f"{args.command}: error: {os_error(args.command, e)}")
        return 1
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
