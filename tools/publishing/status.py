"""The status command: what a tree serves, since when, signed until when, what it keeps,
and whether a remote serves the same."""
import os
import time

import signing

from .common import MANIFEST, Refused, say
from .filelist import read_manifest_file
from .remote import remote_bytes, remote_path
from .statements import statement_path, tree_is_signed
from .temporaries import stale_temporaries
from .tree import kept_manifests, read_served, require_tree, retired_lists


def when(seconds):
    return None if seconds is None else time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def live_state(out_dir):
    text, version, entries = read_served(out_dir)
    if not entries:
        raise Refused(f"{os.path.join(out_dir, MANIFEST)}: " + ("missing" if text is None else "not a file list"))
    state = {"version": version, "published": when(os.path.getmtime(os.path.join(out_dir, MANIFEST))),
             "files": len(entries), "bytes": sum(e.size for e in entries), "signed": None}
    if tree_is_signed(out_dir):
        try:
            with open(statement_path(out_dir, text), "rb") as f:
                statement = signing.parse_statement(f.read())
            state["signed"] = {"at": when(statement["signed"]), "until": when(statement["until"])}
        except (OSError, signing.SigningError) as e:
            state["signed"] = {"problem": str(e)}
    return text, state


def lists_of(out_dir):
    kept, retired = [], []
    for path in kept_manifests(out_dir)[1:] if os.path.exists(os.path.join(out_dir, MANIFEST)) \
            else kept_manifests(out_dir):
        kept.append({"version": version_of(path), "archived": when(os.path.getmtime(path))})
    for path, at in retired_lists(out_dir):
        retired.append({"version": version_of(path), "retired": when(at)})
    return kept, retired


def version_of(path):
    try:
        return read_manifest_file(path)[0]
    except (OSError, Refused, UnicodeError):
        return None


def remote_state(out_dir, text, remote):
    """Whether the remote serves these very bytes of the list, and of its statement."""
    state = {"remote": remote, "list": "same" if remote_bytes(remote_path(remote, MANIFEST)) == text else "differs"}
    if tree_is_signed(out_dir):
        name = os.path.relpath(statement_path(out_dir, text), out_dir)
        with open(statement_path(out_dir, text), "rb") as f:
            local = f.read()
        state["statement"] = "same" if remote_bytes(remote_path(remote, name)) == local else "differs"
    return state


def status(out_dir, remote=None, quiet=False):
    """The tree's state as a dict; "in_step" False when the remote serves something else."""
    require_tree(out_dir)
    text, live = live_state(out_dir)
    kept, retired = lists_of(out_dir)
    found = {"tree": out_dir, "live": live, "kept": kept, "retired": retired,
             "stale_temporaries": len(stale_temporaries(out_dir))}
    if remote:
        found["remote"] = remote_state(out_dir, text, remote)
        found["in_step"] = all(v == "same" for k, v in found["remote"].items() if k != "remote")
    if not quiet:
        show(found)
    return found


def show(found):
    live = found["live"]
    say(f"live: version {live['version']}, published {live['published']}, {live['files']} files, "
        f"{live['bytes'] / 2**20:.1f} MB")
    signed = live["signed"]
    if signed is None:
        say("signed: no (the tree does not sign its lists)")
    elif "problem" in signed:
        say(f"signed: the statement of {MANIFEST} cannot be read: {signed['problem']}")
    else:
        say(f"signed: {signed['at']}, valid until {signed['until'] or 'no end'}")
    say("kept: " + (", ".join(f"{k['version']} ({k['archived']})" for k in found["kept"]) or "none"))
    say("retired: " + (", ".join(f"{r['version']} ({r['retired']})" for r in found["retired"]) or "none"))
    if found["stale_temporaries"]:
        say(f"temporary files older than an hour: {found['stale_temporaries']} (prune removes them)")
    if "remote" in found:
        r = found["remote"]
        say(f"remote {r['remote']}: " + ", ".join(f"{k} {v}" for k, v in r.items() if k != "remote")
            + ("" if found["in_step"] else f": run publish.py upload {found['tree']} {r['remote']}"))
