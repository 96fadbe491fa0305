"""The command line: every command and its options (tools/publish.py runs it)."""
import argparse
import re

import signing

from .check import verify
from .common import GRACE_SECONDS, Refused, say
from .prune import prune
from .publish_cmd import publish
from .remote import upload
from .rollback import rollback


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
    p.add_argument("--quiet", action="store_true")
    return p


def add_signing(command):
    command.add_argument("--sign-key", action="append", default=[], metavar="KEYFILE",
                         help=f"sign the served list with this private key (or the key files in "
                              f"{signing.ENV_KEY}); twice while the launcher's key is changed")
    command.add_argument("--valid-for", type=parse_duration, metavar="DURATION",
                         help="launchers refuse the list this long after signing (default: never)")


def add_tree_commands(sub):
    v = sub.add_parser("verify", help="check every object of every kept file list, and the statements")
    v.add_argument("out_dir")
    v.add_argument("--public-key", action="append", default=[], metavar="HEX",
                   help="check the statements' signatures against this key (what keygen printed)")
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
    b.add_argument("--quiet", action="store_true")
    add_signing(b)
    k = sub.add_parser("keygen", help="make the key pair that signs the file list; prints the public key")
    k.add_argument("keyfile")
    u = sub.add_parser("upload", help="copy the served version to an rclone remote: objects first, "
                                      "then the archived list, then manifest.txt")
    u.add_argument("out_dir")
    u.add_argument("remote", help='an rclone remote and path ("cdn:bucket/tarsin") or a local folder')
    u.add_argument("--dry-run", action="store_true")
    u.add_argument("--quiet", action="store_true")


def parser():
    parser = argparse.ArgumentParser(prog="publish.py", description=DESCRIPTION)
    sub = parser.add_subparsers(dest="command", required=True)
    add_signing(add_publish(sub))
    add_tree_commands(sub)
    return parser


def run_publish(args):
    publish(args.build_dir, args.out_dir, args.version, args.keep, args.launcher, args.quiet,
            verify_existing=args.verify_existing, allow_foreign_launcher=args.allow_foreign_launcher,
            unkeep=args.unkeep, drop_launcher=args.drop_launcher, dry_run=args.dry_run,
            sign_keys=args.sign_key, valid_for=args.valid_for,
            allow_64_bit_launcher=args.allow_64_bit_launcher)
    return 0


def run_keygen(args):
    public = signing.keygen(args.keyfile)
    print(public)
    say(f"keygen: private key in {args.keyfile} (owner only): keep it offline, never on the server, "
        "and backed up. Build the launcher with\n"
        f"  cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY={public}")
    return 0


def run_verify(args):
    problems = verify(args.out_dir, args.quiet, args.public_key)
    for line in problems:
        say(f"verify: {line}")
    return 1 if problems else 0


def done(_result):
    return 0


COMMANDS = {
    "publish": run_publish,
    "keygen": run_keygen,
    "verify": run_verify,
    "prune": lambda args: done(prune(args.out_dir, args.dry_run, args.quiet, args.grace)),
    "upload": lambda args: done(upload(args.out_dir, args.remote, args.dry_run, args.quiet)),
    "rollback": lambda args: done(rollback(args.out_dir, args.version, args.quiet, args.sign_key, args.valid_for)),
}


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except (Refused, signing.SigningError) as e:
        for line in str(e).split("\n"):
            say(f"{args.command}: error: {line}")
        return 1
