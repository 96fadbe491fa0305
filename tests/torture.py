#!/usr/bin/env python3
"""A randomized fault campaign: the launcher under Wine, step after step, against a
server on 127.0.0.1 that publishes new versions and misbehaves, while the campaign
kills the launcher, fills the disk, holds files open and plays the player. After
every step it checks what the launcher promises; every few steps, and at the end,
a fault-free run must bring the folder to the published version exactly.

  torture.py [--seed N] [--steps K] [--work DIR] [--skip KIND,...] [--settle-every N]
             [--summary FILE] [--stop-on-violation] [--verbose]

Every choice of step k is drawn from (seed, k) alone, so "--seed N --steps K" runs
the same versions, faults and actions up to step K again (what the launcher does
depends on timing, so a kill may land a little earlier or later). A violation is
printed with its seed, its step and the command that replays it; the exit code is
1 when there was any. --skip takes kinds of faults, actions and publish changes,
or the names of open issues (see SKIP_GROUPS).
"""
import argparse
import collections
import ctypes
import hashlib
import json
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "server"), os.path.join(HERE, "..", "tools")]
import wine_harness as harness  # noqa: E402
import publish  # noqa: E402
from publishing import shared  # noqa: E402
from test_server import TestServer  # noqa: E402

HOLD_FILE = os.path.join(harness.BUILD, "tests", "hold_file.exe")
FILE_KEY = os.path.join(harness.BUILD, "tests", "file_key.exe")
EXE = harness.LAUNCHER_NAME
STATE = shared.STATE_FILE
OWN_FILES = shared.OWN_FILES | {EXE + shared.OLD_LAUNCHER_SUFFIX}
# The hash of a record that keeps the launcher's proof of a file it installed, whose update
# began: it claims no content.
UNPROVEN = shared.UNPROVEN_HASH
# The record of a download begun where nothing stood: it claims the ".part", not the file.
MARK = "download-begun-its-part-is-the-launcher-s-the-file-not-yet------"
MIB = 1 << 20
# The guard asks for this much beyond the download; the volume must offer it.
FREE_SPACE_MARGIN = 200 * MIB
VOLUME_BYTES = FREE_SPACE_MARGIN + 96 * MIB
RUN_BOUND_SECONDS = 90
# A launcher takes at most the 5 s wait for another launcher's folder before it loads its
# DLLs; one that has loaded none this long after its parent was killed never will.
STILLBORN_SECONDS = 15
DRIP_BUDGET_SECONDS = 8.0

FAULTS = ("reset", "close", "corrupt", "status404", "status416", "status500", "ignore_range", "overlong",
          "endless", "drip", "cut_list", "hostile_list")
ACTIONS = ("kill_transfer", "kill_save", "kill_move", "kill_swap", "kill_time", "disk_full", "hold",
           "edit_player", "edit_settings", "damage", "stray_part", "readonly", "two_launchers")
CHANGES = ("add", "change", "same_size", "revert", "remove", "case_rename", "spelling", "to_folder",
           "to_file", "keep", "launcher")
# What the open issues mend; a campaign on a tree without their mends skips them.
SKIP_GROUPS = {
    "issue10": {"cut_list", "hostile_list", "case_rename", "spelling"},
    "issue11": {"readonly", "to_folder", "to_file", "two_launchers"},
    "issue16": {"kill_move", "kill_swap"},
}


def launcher_texts():
    """{name: English text} from the launcher's one table of texts, each cut at its first
    "%s": what a line that holds it begins with."""
    with open(os.path.join(HERE, "..", "support", "texts.cpp"), encoding="utf-8") as f:
        rows = re.findall(r'\{Text::(\w+),\s*L"((?:[^"\\]|\\.)*)",\s*L"(?:[^"\\]|\\.)*"\}', f.read())
    return {name: english.split("%s")[0] for name, english in rows}


TEXT = launcher_texts()
# Terminal statuses: how the last line of the log may begin, and the exit code each gives.
UP_TO_DATE = TEXT["UpToDate"]
ENDINGS = tuple(TEXT[name] for name in (
    "UpToDate", "ServerUnreachable", "ListUnreadable", "DownloadInterrupted", "ReplaceFailed",
    "LauncherNotUpdated", "GameRunning", "NotEnoughSpace", "LauncherUpdated"))
CORRUPTED = TEXT["Corrupted"]

PLAYER_FILES = ("saves/slot1.sav", "saves/slot2.sav", "screenshots/shot1.png", "notes.txt", "mods/readme.txt")
PLAYER_FOLDERS = ("saves", "screenshots", "mods", "notes.txt")
GAME_FOLDERS = ("data", "data/textures", "data/sound", "maps", "Shaders", "lang", "bin")
SUFFIXES = (".bin", ".dat", ".pak", ".txt", ".ogg", "")


def sha(data):
    return hashlib.sha256(data).hexdigest()


class FileKeys:
    """What Windows makes of a relative path, as the launcher's own FileKey says
    (tests/system/file_key.cpp, kept running in the campaign's prefix): two paths reach one
    file exactly when their keys are equal. Keys are "/"-separated and upper-cased. Every
    path is asked once; the campaign asks about the same few hundred names again and again."""

    BATCH = 256  # questions written before the answers are read: well inside a pipe's buffer

    def __init__(self):
        self.process, self.known = None, {}

    def start(self, prefix):
        self.process = subprocess.Popen([prefix.wine, FILE_KEY], env=prefix.env(), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)

    def stop(self):
        if self.process:
            self.process.stdin.close()
            self.process.wait(timeout=30)
            self.process = None

    def prime(self, paths):
        """Asks about every unknown path of paths in batches."""
        unknown = list(dict.fromkeys(p for p in paths if p not in self.known))
        for i in range(0, len(unknown), self.BATCH):
            batch = unknown[i:i + self.BATCH]
            self.process.stdin.write(b"".join(p.encode("utf-8", "surrogatepass").hex().encode() + b"\n"
                                              for p in batch))
            self.process.stdin.flush()
            for p in batch:
                answer = self.process.stdout.readline()
                if not answer:
                    raise RuntimeError("file_key.exe ended")
                self.known[p] = bytes.fromhex(answer.decode().strip()).decode("utf-8", "replace").replace("\\", "/")

    def __call__(self, path):
        k = self.known.get(path)
        if k is None:
            self.prime([path])
            k = self.known[path]
        return k


key = FileKeys()


def is_part(path):
    return path.lower().endswith(".part")


# ---- the installation folder, seen from Linux ---------------------------------------

class FileInfo:
    __slots__ = ("path", "size", "hash")

    def __init__(self, path, data):
        self.path, self.size, self.hash = path, len(data), sha(data)


def scan(root, skip=None, twins=None):
    """{key: FileInfo} of every file below root (skip: a folder left out). twins, a list,
    gets the paths that Windows would take for another file's name (Linux allows them)."""
    found, files = {}, []
    for folder, dirs, names in os.walk(root):
        if skip:
            dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        files += [os.path.join(folder, name) for name in names]
    rels = [os.path.relpath(full, root).replace(os.sep, "/") for full in files]
    key.prime(rels)
    for full, rel in zip(files, rels):
        if twins is not None and key(rel) in found:
            twins.append(rel)
        try:
            with open(full, "rb") as f:
                found[key(rel)] = FileInfo(rel, f.read())
        except OSError:
            continue
    return found


def read_state(install):
    """(records, problem): the state file's records, or the reason it does not parse."""
    try:
        data = install.read(STATE)
    except FileNotFoundError:
        return {}, None
    try:
        return harness.parse_state(data), None
    except ValueError as e:
        return {}, str(e)


def last_log_record(text):
    """The last line the launcher wrote (a line may hold a line feed of its own), or None
    when the log does not end with a whole line."""
    if not text.endswith("\r\n"):
        return None
    record = text[:-2].rsplit("\r\n", 1)[-1]
    return record[9:] if len(record) > 9 and record[2] == ":" and record[5] == ":" else record


# ---- the published game ------------------------------------------------------------

class Publisher:
    """The game as published: path -> (content, keep). The launcher's own entry is the
    built launcher with a few bytes appended, which runs all the same."""

    def __init__(self, www, launcher):
        self.www = www
        self.objects = os.path.join(www, "o")
        os.makedirs(self.objects, exist_ok=True)
        self.launcher = launcher
        self.files = {}
        self.history = collections.defaultdict(list)
        self.hashes = set()  # of every content ever published
        self.version = 0
        self.counter = 0

    def entries(self):
        listed = [publish.Entry(sha(c), len(c), "k" if k else "", p) for p, (c, k) in self.files.items()]
        return publish.manifest_order(listed, EXE)

    def manifest(self):
        return publish.format_manifest(str(self.version), self.entries())

    def store(self, content):
        path = os.path.join(self.objects, sha(content))
        if not os.path.exists(path):
            with open(path + ".tmp", "wb") as f:
                f.write(content)
            os.replace(path + ".tmp", path)

    def serve(self, manifest_bytes):
        path = os.path.join(self.www, "manifest.txt")
        with open(path + ".tmp", "wb") as f:
            f.write(manifest_bytes)
        os.replace(path + ".tmp", path)

    def publish(self):
        self.version += 1
        for path, (content, _) in self.files.items():
            self.store(content)
            self.hashes.add(sha(content))
            if not self.history[path] or self.history[path][-1] != content:
                self.history[path].append(content)
        self.serve(self.manifest())

    # -- versions

    def content(self, rng, big=False):
        if big:
            return rng.randbytes(rng.randrange(MIB, 3 * MIB))
        size = rng.choice((0, rng.randrange(1, 4096), rng.randrange(4096, 64 << 10), rng.randrange(64 << 10, 600 << 10)))
        return rng.randbytes(size)

    def new_path(self, rng, folder=None):
        self.counter += 1
        folder = folder if folder is not None else rng.choice(GAME_FOLDERS + ("",))
        name = rng.choice(("f", "Tex", "map", "snd", "Part")) + str(self.counter) + rng.choice(SUFFIXES)
        return f"{folder}/{name}" if folder else name

    def first(self, rng):
        self.files[EXE] = (self.launcher, False)
        self.files["ruvok.exe"] = (rng.randbytes(rng.randrange(20000, 90000)), False)
        self.files["data/world.pak"] = (self.content(rng, big=True), False)
        self.files["settings.cfg"] = (b"volume=80\nlanguage=en\n", True)
        self.files["Config/controls.ini"] = (b"[keys]\nforward=W\n", True)
        for _ in range(rng.randrange(6, 12)):
            self.files[self.new_path(rng)] = (self.content(rng), False)
        self.publish()

    def valid(self, files):
        # "a//b" turned into a file by to_file would give "a/": a name no file can have.
        if any(p.split("/")[-1] in ("", ".") for p in files):
            return False
        keys = [key(p) for p in files]
        if len(set(keys)) != len(keys) or any(k == "" for k in keys):
            return False
        folders = {"/".join(k.split("/")[:i]) for k in keys for i in range(1, k.count("/") + 1)}
        own = {key(o) for o in OWN_FILES} | {key(p + shared.PARTIAL_SUFFIX) for p in files}
        player = {key(f) for f in PLAYER_FOLDERS}
        return not (folders & set(keys)) and not (set(keys) & own) and \
            not any(k.split("/")[0] in player for k in keys)

    def change(self, rng, kind):
        """Applies one change of the kind; False when it has nothing to work on."""
        files = dict(self.files)
        plain = [p for p, (_, k) in files.items() if p != EXE and not k]
        keeps = [p for p, (_, k) in files.items() if k]
        if kind == "add":
            files[self.new_path(rng)] = (self.content(rng), rng.random() < 0.1)
        elif kind in ("change", "same_size", "revert"):
            if not plain:
                return False
            p = rng.choice(plain)
            old = files[p][0]
            if kind == "change":
                new = self.content(rng, big=len(old) >= MIB)
            elif kind == "same_size":
                new = rng.randbytes(len(old))
            else:
                earlier = [c for c in self.history[p] if c != old]
                if not earlier:
                    return False
                new = rng.choice(earlier)
            files[p] = (new, False)
        elif kind == "remove":
            if not plain and not keeps:
                return False
            del files[rng.choice(plain + keeps)]
        elif kind in ("case_rename", "spelling"):
            if not plain:
                return False
            p = rng.choice(plain)
            parts = p.split("/")
            if kind == "case_rename":
                i = rng.randrange(len(parts))
                name = parts[i]
                flipped = name.swapcase() if rng.random() < 0.5 else name[:1].swapcase() + name[1:]
                if flipped == name:
                    return False
                # A folder renamed by case renames every file in it.
                for q in [q for q in files if q.split("/")[:i + 1] == parts[:i + 1]]:
                    files["/".join(parts[:i] + [flipped] + q.split("/")[i + 1:])] = files.pop(q)
            else:
                spelled = "./" + p if len(parts) == 1 or rng.random() < 0.5 else "/".join(parts[:-1]) + "//" + parts[-1]
                files[spelled] = files.pop(p)
            if rng.random() < 0.3:
                q = rng.choice([q for q in files if key(q) == key(p)])
                files[q] = (self.content(rng), False)
        elif kind == "to_folder":
            if not plain:
                return False
            p = rng.choice(plain)
            del files[p]
            files[self.new_path(rng, folder=p)] = (self.content(rng), False)
        elif kind == "to_file":
            folders = collections.defaultdict(list)
            for p in files:
                for i in range(1, p.count("/") + 1):
                    folders["/".join(p.split("/")[:i])].append(p)
            candidates = [f for f, inside in folders.items()
                          if all(q in plain for q in inside) and f != "data"]
            if not candidates:
                return False
            f = rng.choice(candidates)
            for q in folders[f]:
                del files[q]
            files[f] = (self.content(rng), False)
        elif kind == "keep":
            choice = rng.randrange(3)
            if choice == 0 or not keeps:
                files[self.new_path(rng, folder=rng.choice(("", "Config")))] = (self.content(rng), True)
            elif choice == 1:
                p = rng.choice(keeps)
                files[p] = (b"defaults " + rng.randbytes(rng.randrange(0, 300)), True)
            else:
                p = rng.choice(keeps + plain)
                files[p] = (files[p][0], not files[p][1])
        elif kind == "launcher":
            files[EXE] = (self.launcher + b"\0TarsinTorture" + str(self.version + 1).encode(), False)
        if not self.valid(files):
            return False
        self.files = files
        return True


# ---- watching the folder ------------------------------------------------------------

IN_MODIFY, IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x2, 0x40, 0x80, 0x100, 0x200
IN_ISDIR = 0x40000000
WATCHED = IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE


class Watcher:
    """inotify over the installation folder: fires an armed trigger on the n-th event that
    matches, from a thread that does nothing else, so a kill lands within a millisecond
    or so of the launcher's file operation."""

    def __init__(self, root):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.root = root
        self.folders = {}
        self.lock = threading.Lock()
        self.trigger = None
        self.stop = threading.Event()
        self.add_tree(root)
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def add_tree(self, top):
        for folder, _, _ in os.walk(top):
            wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder), WATCHED)
            if wd >= 0:
                self.folders[wd] = folder

    def arm(self, predicate, nth, action):
        with self.lock:
            self.trigger = [predicate, nth, action]

    def disarm(self):
        with self.lock:
            self.trigger = None

    def loop(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            offset = 0
            while offset < len(data):
                wd, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode(errors="replace")
                offset += 16 + length
                folder = self.folders.get(wd)
                if folder is None:
                    continue
                if mask & IN_ISDIR and mask & (IN_CREATE | IN_MOVED_TO):
                    self.add_tree(os.path.join(folder, name))
                    continue
                self.event(mask, os.path.relpath(os.path.join(folder, name), self.root).replace(os.sep, "/"))

    def event(self, mask, path):
        with self.lock:
            trigger = self.trigger
            if trigger is None or not trigger[0](mask, path):
                return
            trigger[1] -= 1
            if trigger[1] > 0:
                return
            self.trigger = None
        trigger[2]()

    def close(self):
        self.stop.set()
        self.thread.join()
        os.close(self.fd)


# ---- the volume ---------------------------------------------------------------------

class Volume:
    """A small tmpfs of our own when running as root, so that the disk can be filled
    without touching anybody else's; otherwise a plain folder and no disk faults."""

    def __init__(self, path):
        self.path = path
        self.filler = os.path.join(path, "filler")
        self.mounted = False

    def mount(self):
        self.unmount()
        os.makedirs(self.path, exist_ok=True)
        if os.geteuid() == 0:
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={VOLUME_BYTES}", "tarsin-torture",
                                     self.path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.mounted = result.returncode == 0
        return self

    def unmount(self):
        if os.path.ismount(self.path):
            subprocess.run(["umount", self.path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def free(self):
        st = os.statvfs(self.path)
        return st.f_bavail * st.f_frsize

    def fill(self, leave):
        """Takes all free space but `leave` bytes, in a file outside the installation."""
        try:
            with open(self.filler, "ab") as f:
                want = self.free() - leave
                if want > 0:
                    os.posix_fallocate(f.fileno(), os.fstat(f.fileno()).st_size, want)
        except OSError:
            pass

    def release(self):
        try:
            os.remove(self.filler)
        except FileNotFoundError:
            pass


# ---- the campaign -------------------------------------------------------------------

class Violation(Exception):
    pass


class Chain:
    """The launchers of one run: the ones we started and the ones they restarted."""

    def __init__(self):
        self.popen = {}
        self.codes = {}
        self.ended = []
        self.killed = set()
        self.seen = set()


class Campaign:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed
        self.skip = set()
        for name in args.skip:
            self.skip |= SKIP_GROUPS.get(name, {name})
        self.work = os.path.abspath(args.work)
        self.counts = collections.Counter()
        self.faults = collections.Counter()
        self.untriggered = collections.Counter()
        self.actions = collections.Counter()
        self.changes = collections.Counter()
        self.checks = collections.Counter()
        self.outcomes = collections.Counter()
        self.violations = []
        self.notes = collections.Counter()
        self.kills = collections.Counter()
        self.run_seconds = []
        self.edited = {}
        self.ever_recorded = set()  # keys of files present that a state file once recorded
        self.step_no = 0
        self.phase = ""
        self.failing, self.failed_before = set(), set()
        self.filled = False
        self.chain = None
        self.chain_lock = threading.Lock()

    # -- setting up and tearing down

    def setup(self):
        for program in (harness.LAUNCHER, HOLD_FILE):
            if not os.path.exists(program):
                raise SystemExit(f"{program} is not built")
        # Launchers restarted by a launcher are orphaned when it ends: as their
        # subreaper we can still collect their exit codes.
        ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        os.makedirs(self.work, exist_ok=True)
        for name in ("www", "markers", "violations"):
            shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
            os.makedirs(os.path.join(self.work, name))
        self.volume = Volume(os.path.join(self.work, "volume")).mount()
        if not self.volume.mounted:
            shutil.rmtree(self.volume.path, ignore_errors=True)
            os.makedirs(self.volume.path)
            self.skip.add("disk_full")
            print("torture: not root, so no tmpfs of our own: the disk_full kind is skipped", flush=True)
        self.sandbox = os.path.join(self.volume.path, "sandbox")
        self.install = harness.Install(os.path.join(self.sandbox, "game"))
        for rel, data in (("outside/readme.txt", b"outside the installation\n"), ("game.part", b"a sibling\n"),
                          ("outside/data-state.txt", b"not ours\n")):
            os.makedirs(os.path.dirname(os.path.join(self.sandbox, rel)), exist_ok=True)
            with open(os.path.join(self.sandbox, rel), "wb") as f:
                f.write(data)
        for rel in PLAYER_FILES[:3]:
            self.install.write(rel, b"player " + rel.encode())

        self.display = harness.Display()
        # One wineserver for the whole campaign, and no wait for a window manager at each
        # exit: a launcher run then takes about a second.
        self.prefix = harness.WinePrefix(os.path.join(self.work, "wineprefix"), self.display.start(),
                                         persistent=True, managed=False).create()
        key.start(self.prefix)
        self.outside = scan(self.sandbox, skip=self.install.path)
        self.server = TestServer(os.path.join(self.work, "www")).start()
        self.url = self.server.url
        with open(harness.LAUNCHER, "rb") as f:
            self.publisher = Publisher(os.path.join(self.work, "www"), f.read())
        self.publisher.first(random.Random(f"{self.seed}/first"))
        self.watcher = Watcher(self.install.path)
        self.started = time.monotonic()
        self.cpu_start = os.times()

    def teardown(self):
        """Undoes what setup did, however far it got; a step that fails leaves no other
        undone, above all not the unmounting (a mounted volume keeps the work folder)."""
        steps = [("watcher", lambda: self.watcher.close()), ("server", lambda: self.server.stop()),
                 (None, key.stop), ("prefix", lambda: self.prefix.kill()), (None, self.reap_orphans),
                 ("display", lambda: self.display.stop()), ("volume", lambda: self.volume.release()),
                 ("volume", lambda: self.volume.unmount())]
        for needs, stop in steps:
            if needs and not hasattr(self, needs):
                continue
            try:
                stop()
            except Exception as e:  # noqa: BLE001 - report it and go on with the rest
                print(f"torture: while cleaning up: {e!r}", flush=True)

    def reap_orphans(self):
        """Wine's own programs that ended after their parent are our children now."""
        me = str(os.getpid())
        held = {p.pid for p in (self.chain.popen.values() if self.chain else ())}
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) in held:
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] == "Z" and fields[1] == me:
                try:
                    os.waitpid(int(entry), os.WNOHANG)
                except ChildProcessError:
                    pass

    # -- one step

    def step(self, k):
        self.step_no = k
        rng = random.Random(f"{self.seed}/{k}")
        pub = self.publisher
        made = []
        if rng.random() < 0.45:
            for _ in range(rng.randint(1, 3)):
                kinds = [c for c in CHANGES if c not in self.skip]
                kind = rng.choice(kinds)
                if pub.change(rng, kind):
                    made.append(kind)
            if made:
                pub.publish()
                self.changes.update(made)
                self.counts["versions published"] += 1

        action = "none" if rng.random() < 0.35 else rng.choice([a for a in ACTIONS if a not in self.skip])
        before = scan(self.install.path)
        records, _ = read_state(self.install)
        try:
            action = self.player_action(rng, action, before, records)
        except OSError:  # a file where the player wanted a folder, or the reverse
            self.notes["player's doings the folder did not allow"] += 1
            action = "none"
        before = scan(self.install.path)

        # A kill waiting for a download is often preempted by a fault that stops the run first.
        calm = 0.6 if action in ("kill_transfer", "kill_move", "kill_swap", "kill_save") else 0.2
        fault = "none" if rng.random() < calm else rng.choice([f for f in FAULTS if f not in self.skip])
        fault_path, served = self.inject(rng, fault, before)
        hold = self.start_hold(rng, before, records) if action == "hold" else None
        try:
            chain = self.run_chain(rng, action)
        finally:
            if hold and hold.poll() is None:
                harness.kill_hard(hold)
            self.volume.release()
            self.watcher.disarm()
        if fault_path is not None:
            self.count_fault(fault, fault_path)
        self.server.clear()
        if served is not None:
            pub.serve(pub.manifest())
        self.actions[action] += 1
        self.check_step(chain, before, records, action)
        self.log_step(k, action, fault, chain, made)

    def log_step(self, k, action, fault, chain, made):
        self.counts["steps"] += 1
        if self.args.verbose:
            codes = ",".join(str(chain.codes.get(pid)) for pid in chain.ended)
            line = (last_log_record(self.install.log()) or "-").splitlines() or ["-"]
            print(f"step {k}: v{self.publisher.version}{'+' + '+'.join(made) if made else ''} {action} {fault}"
                  f" -> [{codes}] {line[0][:70]}", flush=True)
        elif k % 50 == 0:
            print(f"torture: step {k}, {len(self.violations)} violations, "
                  f"{(time.monotonic() - self.started) / 60:.1f} min", flush=True)

    def needed(self, files):
        """The entries whose published content is not in place."""
        return [e for e in self.publisher.entries()
                if not (files.get(key(e.path)) and (e.flags or files[key(e.path)].hash == e.hash))]

    def player_action(self, rng, action, files, records):
        """The player's doings before the run; returns the action actually taken. A kill
        waiting for a moment that cannot come (no swap, no download) kills at a random time."""
        needed = self.needed(files)
        if (action == "kill_swap" and EXE not in [e.path for e in needed]) or \
                (action in ("kill_transfer", "kill_move") and not needed):
            action = "kill_time"
        entries = {key(p): (p, c, k) for p, (c, k) in self.publisher.files.items()}
        game = sorted((f for kk, f in files.items() if kk in entries and not entries[kk][2] and f.path != EXE),
                      key=lambda f: f.path)
        if action == "edit_player":
            rel = rng.choice(PLAYER_FILES)
            self.install.write(rel, rng.randbytes(rng.randrange(1, 5000)))
        elif action == "edit_settings":
            keeps = sorted((f for kk, f in files.items() if kk in entries and entries[kk][2]), key=lambda f: f.path)
            if not keeps:
                return "none"
            f = rng.choice(keeps)
            if rng.random() < 0.2:
                os.remove(self.install.file(f.path))
            else:
                self.install.write(f.path, b"player's own " + rng.randbytes(rng.randrange(0, 200)))
                self.remember_edit(f.path, records)
        elif action == "damage":
            if not game:
                return "none"
            f = rng.choice(game)
            path = self.install.file(f.path)
            how = rng.randrange(3)
            if how == 0 or f.size == 0:
                with open(path, "ab") as out:
                    out.write(rng.randbytes(rng.randrange(1, 3000)))
            elif how == 1:
                os.truncate(path, rng.randrange(0, f.size))
            else:
                os.chmod(path, 0o644)
                os.remove(path)
            if os.path.exists(path):
                self.remember_edit(f.path, records)
        elif action == "stray_part":
            p, content, _ = rng.choice(list(entries.values()))
            if p == EXE:
                return "none"
            size = rng.choice((rng.randrange(0, len(content) + 1), len(content) + rng.randrange(1, 999)))
            self.install.write(self.on_disk(p + ".part"), rng.randbytes(size))
        elif action == "readonly":
            if not game:
                return "none"
            os.chmod(self.install.file(rng.choice(game).path), 0o444)
        return action

    def on_disk(self, rel):
        """The spelling Wine would reach rel by: an existing name in any letter case, so that
        the campaign never makes "DATA" beside the launcher's "data", which Linux allows."""
        folder, parts = self.install.path, []
        for part in [p for p in rel.split("/") if p not in ("", ".")]:
            names = os.listdir(folder) if os.path.isdir(folder) else []
            part = next((n for n in names if n.lower() == part.lower()), part)
            parts.append(part)
            folder = os.path.join(folder, part)
        return "/".join(parts)

    def remember_edit(self, rel, records):
        """A record over a file the player changed names old content: the player's doing."""
        with open(self.install.file(rel), "rb") as f:
            digest = sha(f.read())
        recorded = [h for p, h in records.items() if key(p) == key(rel)]
        self.edited[key(rel)] = (digest, recorded[0] if recorded else None)

    # -- server faults

    def inject(self, rng, fault, files):
        """Arms the server; returns (the URL path faulted, the bytes served instead of the
        list or None)."""
        pub = self.publisher
        if fault == "none":
            return None, None
        entries = pub.entries()
        needed = self.needed(files)
        with_part = [e for e in needed if key(e.path + shared.PARTIAL_SUFFIX) in files]
        if fault == "hostile_list":
            return "/manifest.txt", self.serve_hostile(rng, entries)
        if fault == "cut_list":
            text = pub.manifest()
            lines = [i + 1 for i, b in enumerate(text) if b == 10][:-1]
            n = rng.choice(lines) if lines and rng.random() < 0.6 else rng.randrange(1, len(text))
            self.server.set_fault("/manifest.txt", rng.choice(("close_after", "reset_after")), n, 1)
            return "/manifest.txt", None
        on_list = fault in ("status404", "status416", "status500", "overlong", "endless", "drip") and \
            (not needed or rng.random() < 0.25)
        if on_list:
            path, size = "/manifest.txt", len(pub.manifest())
        else:
            if not needed:
                return None, None
            e = rng.choice(with_part if fault == "ignore_range" and with_part else needed)
            path, size = "/o/" + e.hash, e.size
        n = rng.randrange(0, max(size, 1))
        mode = {"reset": ("reset_after", n), "close": ("close_after", n), "corrupt": ("corrupt", n),
                "status404": ("status", 404), "status416": ("status", 416), "status500": ("status", 500),
                "ignore_range": ("ignore_range", 0), "overlong": ("overlong", rng.randrange(1, 70000)),
                "endless": ("overlong", 0),
                "drip": ("slow", int(1000 * min(rng.uniform(0.2, 3.0), DRIP_BUDGET_SECONDS / (size // 65536 + 1))))}
        self.server.set_fault(path, *mode[fault], 1)
        return path, None

    def serve_hostile(self, rng, entries):
        """A list that names a file the launcher must never write: one of its own, a partial
        file, or a path with a control byte beside a player's file."""
        listed = [e.path for e in entries if e.path != EXE]
        name = rng.choice([STATE, STATE.upper(), STATE + shared.TEMP_SUFFIX, shared.LOG_FILE,
                           EXE + shared.OLD_LAUNCHER_SUFFIX,
                           rng.choice(listed) + shared.PARTIAL_SUFFIX if listed else shared.LOG_FILE,
                           "saves/slot1.sav\0x", "saves/slot1.sav\x01"])
        content = b"served " + rng.randbytes(rng.randrange(10, 4000))
        self.publisher.store(content)
        extra = publish.Entry(sha(content), len(content), "", name)
        text = publish.format_manifest(str(self.publisher.version), entries + [extra])
        self.publisher.serve(text)
        return text

    def count_fault(self, fault, path):
        requested = [line.split("\t") for line in self.server.requests(path).splitlines()]
        requested = [r for r in requested if r[0] == path]
        if fault == "hostile_list":
            hit = bool(requested)
        else:
            with self.server.state.lock:
                hit = path not in self.server.state.faults
            if fault == "ignore_range":
                hit = hit and any(h.startswith("Range:") for h in requested[0][1:])
        (self.faults if hit else self.untriggered)[fault] += 1

    # -- holding a file

    def start_hold(self, rng, files, records):
        """A Windows program of our prefix holds a file without sharing, for a moment or
        for the whole run."""
        entries = {key(p) for p in self.publisher.files}
        candidates = sorted(f.path for kk, f in files.items()
                            if f.path not in (EXE, "launcher.log", STATE) and
                            (kk in entries or is_part(f.path) or any(key(p) == kk for p in records)))
        # The state file held, its saves fail: what was moved into place must not be
        # left under a record of the old content.
        if key(STATE) in files and (not candidates or rng.random() < 0.3):
            candidates = [STATE]
        if not candidates:
            self.notes["hold: nothing to hold"] += 1
            return None
        marker = os.path.join(self.work, "markers", f"held-{self.step_no}")
        ms = rng.choice((rng.randrange(300, 2500), 120000))
        holder = self.prefix.start(HOLD_FILE, harness.windows_path(self.install.file(rng.choice(candidates))),
                                   harness.windows_path(marker), str(ms))
        if harness.wait_until(lambda: os.path.exists(marker) or holder.poll() is not None, 30) and \
                os.path.exists(marker):
            self.counts["files held open"] += 1
        else:
            self.notes["hold: the holder could not open its file"] += 1
        return holder

    # -- running the launcher

    def run_chain(self, rng, action, quiet=False):
        chain = Chain()
        with self.chain_lock:
            self.chain = chain
        args = (self.install.exe, f"--url={self.url}", "--exit-when-done")
        self.filled = False
        if action.startswith("kill_"):
            self.arm_kill(rng, action, chain)
        elif action == "disk_full":
            self.arm_fill(rng)
        started = time.monotonic()
        for _ in range(2 if action == "two_launchers" else 1):
            process = self.prefix.start(*args, cwd=self.install.path)
            chain.popen[process.pid] = process
            chain.seen.add(process.pid)
        timer = None
        if action == "kill_time":
            timer = threading.Timer(rng.uniform(0.02, 0.45), self.kill_all, (chain, action))
            timer.start()
        deadline = started + RUN_BOUND_SECONDS + DRIP_BUDGET_SECONDS
        last_scan = 0.0
        while True:
            now = time.monotonic()
            for pid, process in chain.popen.items():
                if pid not in chain.codes and process.poll() is not None:
                    self.ended(chain, pid, process.returncode)
            if now - last_scan > 0.1:
                last_scan = now
                running = harness.launcher_processes(self.install)
                with self.chain_lock:
                    chain.seen.update(running)
                for pid in chain.seen - set(chain.popen) - set(chain.codes):
                    try:
                        done, status = os.waitpid(pid, os.WNOHANG)
                    except ChildProcessError:
                        if pid not in running:
                            self.ended(chain, pid, None)
                        continue
                    if done:
                        self.ended(chain, pid, os.waitstatus_to_exitcode(status))
                if len(chain.codes) == len(chain.seen) and not running:
                    break
            if chain.killed and now - started > STILLBORN_SECONDS:
                self.end_stillborn(chain)
            if now > deadline:
                self.violation("bound", f"the launcher still ran after {RUN_BOUND_SECONDS} s")
                self.kill_all(chain, None)
                deadline = now + 30
            time.sleep(0.02)
        if timer:
            timer.cancel()
        self.counts["launcher processes"] += len(chain.seen)
        self.run_seconds.append(time.monotonic() - started)
        self.counts["runs"] += 1
        self.reap_orphans()
        return chain

    def ended(self, chain, pid, code):
        chain.codes[pid] = code
        chain.ended.append(pid)

    def end_stillborn(self, chain):
        """Wine creates a process in two halves, the parent's and the child's; a launcher
        killed between them (as it restarts itself) leaves a child that waits on the
        wineserver forever with nothing but ntdll loaded, before any code of the program can
        run. Windows creates a process whole, so this is Wine's, not the launcher's: such a
        child is counted apart and ended."""
        with self.chain_lock:
            pids = [p for p in chain.seen if p not in chain.codes and p not in chain.popen]
        for pid in pids:
            try:
                with open(f"/proc/{pid}/maps") as f:
                    started_program = "kernel32.dll" in f.read().lower()
            except OSError:
                continue
            if started_program:
                continue
            try:
                os.kill(pid, signal.SIGKILL)
                chain.killed.add(pid)
                self.counts["restarted launchers Wine never started (their parent killed mid-creation)"] += 1
            except ProcessLookupError:
                pass

    def kill_all(self, chain, kind):
        with self.chain_lock:
            pids = [p for p in chain.seen if p not in chain.codes]
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
                chain.killed.add(pid)
            except ProcessLookupError:
                pass
        if pids and kind:
            self.kills[kind] += 1

    def arm_kill(self, rng, action, chain):
        part = lambda p: is_part(p) and p != EXE + ".part"  # noqa: E731
        if action == "kill_transfer":
            predicate, nth = (lambda m, p: m & IN_MODIFY and part(p)), rng.randint(1, 3)
        elif action == "kill_save":
            when = rng.choice((IN_CREATE, IN_MOVED_FROM))
            predicate, nth = (lambda m, p: m & when and p == STATE + ".tmp"), rng.randint(1, 2)
        elif action == "kill_move":
            predicate, nth = (lambda m, p: m & IN_MOVED_FROM and part(p)), rng.randint(1, 3)
        elif action == "kill_swap":
            when = rng.choice((IN_MOVED_FROM, IN_MOVED_TO))
            predicate, nth = (lambda m, p: m & when and p == EXE), 1
        else:
            return
        self.watcher.arm(predicate, nth, lambda: self.kill_all(chain, action))

    def arm_fill(self, rng):
        """The disk fills up before the run (the guard refuses) or as the first partial
        file or state file appears."""
        if rng.random() < 0.3:
            self.volume.fill(FREE_SPACE_MARGIN + rng.randrange(0, 2 * MIB))
            self.counts["disk filled before a run"] += 1
            return
        leave = rng.choice((0, rng.randrange(0, 300 << 10)))

        def fill():
            self.filled = True
            self.volume.fill(leave)
            self.counts["disk filled during a run"] += 1
        self.watcher.arm(lambda m, p: m & IN_CREATE and (is_part(p) or p == STATE + ".tmp"), 1, fill)

    # -- invariants

    def violation(self, invariant, text):
        where = f"{self.phase} after step {self.step_no}" if self.phase else f"step {self.step_no}"
        self.violations.append((where, invariant, text))
        print(f"VIOLATION at {where} (seed {self.seed}): {invariant}: {text}\n"
              f"  replay: make torture SEED={self.seed} STEPS={self.step_no}", flush=True)
        if len(self.violations) <= 20:
            # The folder as the launcher left it, and the list it was served, for a look later.
            keep = os.path.join(self.work, "violations", f"{len(self.violations):02d}-{where.replace(' ', '-')}")
            shutil.rmtree(keep, ignore_errors=True)
            shutil.copytree(self.install.path, os.path.join(keep, "game"), ignore=shutil.ignore_patterns(EXE, EXE + ".*"))
            shutil.copy(os.path.join(self.work, "www", "manifest.txt"), keep)
        if self.args.stop_on_violation:
            raise Violation(text)

    def check(self, invariant, ok, text):
        self.checks[invariant] += 1
        if not ok:
            # A condition left by an earlier step is counted there once, not at every step after.
            if (invariant, text) in self.failing:
                return ok
            self.failing.add((invariant, text))
            if (invariant, text) in self.failed_before:
                self.notes["violations still standing from an earlier step"] += 1
            else:
                self.violation(invariant, text)
        return ok

    def next_phase(self, phase):
        self.phase = phase
        self.failed_before, self.failing = self.failing, set()

    def check_step(self, chain, before, records, action):
        twins = []
        after = scan(self.install.path, twins=twins)
        self.check("one name per file", not twins, f"names Windows takes for one file: {twins}")
        entries = self.publisher.files
        listed = {key(p): p for p in entries}
        recorded = {key(p) for p in records}

        outside = scan(self.sandbox, skip=self.install.path)
        changed = sorted(set(outside) ^ set(self.outside) |
                         {k for k in outside if k in self.outside and outside[k].hash != self.outside[k].hash})
        self.check("outside", not changed, f"files outside the installation changed: {changed}")

        lost = []
        for kk, f in before.items():
            if f.path == EXE or f.path in OWN_FILES or is_part(f.path):
                continue
            kept = kk in listed and entries[listed[kk]][1]
            if kept or (kk not in listed and kk not in recorded):
                now = after.get(kk)
                if now is None or now.hash != f.hash:
                    lost.append(f"{f.path} ({'deleted' if now is None else 'changed'})")
        self.check("untouched", not lost, "files the launcher had no record of, or kept files, were "
                   f"deleted or changed: {lost}")
        stray = [f.path for kk, f in after.items()
                 if kk not in before and kk not in listed and f.path not in OWN_FILES and not is_part(f.path)]
        self.check("no stray files", not stray, f"files that no published version names appeared: {stray}")

        state, problem = read_state(self.install)
        self.check("state parses", problem is None, f"{STATE}: {problem}")
        wrong = []
        for p, h in state.items():
            if any(ord(c) < 0x20 for c in p) or key(p) in {key(o) for o in OWN_FILES} or is_part(p):
                wrong.append(f"{p!r} is no name a game file may have")
                continue
            f = after.get(key(p))
            if f is None or f.hash == h or h in (UNPROVEN, MARK) or self.edited.get(key(p)) == (f.hash, h):
                continue
            wrong.append(f"{p} is recorded as {h[:12]} but holds {f.hash[:12]}")
        self.check("records", not wrong, "state records that do not hold: " + "; ".join(wrong))
        self.ever_recorded = (self.ever_recorded | {key(p) for p in state}) & set(after)
        for kk in [kk for kk, (digest, _) in self.edited.items() if after.get(kk) is None or after[kk].hash != digest]:
            del self.edited[kk]

        if key(EXE) not in after and chain.killed and key(EXE + ".old") in after:
            # Killed between the swap's two moves: a running program can be renamed but
            # not replaced, so for that moment the launcher exists only under ".old".
            self.counts["kills that left the launcher only under its .old name"] += 1
            os.rename(self.install.file(EXE + ".old"), self.install.exe)  # what the player would have to do
        else:
            self.check("launcher present", key(EXE) in after, f"no {EXE} in the folder any more")

        self.check_owned(chain, action, after, state, records)
        self.check_ending(chain, action)
        code = chain.codes.get(chain.ended[-1]) if chain.ended else None
        if code == 0 and chain.ended[-1] not in chain.killed:
            missing = []
            for p, (content, keep) in entries.items():
                f = after.get(key(p))
                # A file the player changed at the same size is trusted by its record, by design.
                trusted = key(p) in self.edited and f is not None and f.size == len(content)
                if f is None:
                    missing.append(f"{p} missing")
                elif not keep and not trusted and f.hash != sha(content):
                    missing.append(f"{p} not as published")
            self.check("up to date means installed", not missing,
                       "the run said the game is up to date, but: " + "; ".join(missing))
        return after, state

    def check_owned(self, chain, action, after, state, records):
        """After a run that ended in order, a record stands only where something of the
        launcher's does: the file, or a part with bytes in it; a mark only over such a part."""
        if chain.killed or not chain.ended:
            return
        self.counts["orderly ends checked for records with nothing behind them"] += 1
        bare = []
        for p, h in state.items():
            if any(ord(c) < 0x20 for c in p) or is_part(p):
                continue
            part = after.get(key(p + ".part"))
            backed = part is not None and part.size > 0
            if h == MARK and not backed:
                bare.append(f"{p} (a mark with no part of bytes)")
            elif h != MARK and key(p) not in after and not backed and p not in records:
                bare.append(f"{p} (recorded in this step, with no file and no part)")
        if state == records:
            # The run wrote nothing (the list never came): marks a kill left stay until one does.
            bare = [b for b in bare if not b.endswith("(a mark with no part of bytes)") or
                    records.get(b.rsplit(" (", 1)[0]) != MARK]
        if bare and (self.filled or action == "hold"):
            # The save that would withdraw them failed: the old state file stays as it was.
            self.notes["records left bare because the state file could not be saved"] += 1
            return
        self.check("owned", not bare, "records with nothing of the launcher's behind them after an orderly "
                   "end: " + "; ".join(bare))

    def check_ending(self, chain, action):
        """Every launcher ended with 0 or 2, or was killed; the last one logged why."""
        bad = [(pid, chain.codes[pid]) for pid in chain.ended
               if pid not in chain.killed and chain.codes[pid] not in (0, 2, None)]
        self.check("exit code", not bad, f"exit codes other than 0 and 2: {bad}")
        self.notes["exit codes not observed"] += sum(1 for pid in chain.ended if chain.codes[pid] is None)
        if not chain.ended or chain.ended[-1] in chain.killed:
            self.outcomes["killed"] += 1
            return
        record = last_log_record(self.install.log())
        if record is None and self.filled:
            self.notes["log not written on a full disk"] += 1
            return
        said = record.splitlines()[0] if record else ""
        ending = next((e for e in ENDINGS if said.startswith(e)), None)
        self.check("log says why", ending is not None, f"the log's last line is {record!r}")
        code = chain.codes[chain.ended[-1]]
        if ending is not None:
            self.outcomes[ending.rstrip(": ").rstrip(".")] += 1
            if code is not None and action != "two_launchers":
                self.check("exit code", (code == 0) == (ending == UP_TO_DATE),
                           f"exit code {code} after {said!r}")

    # -- a fault-free run, and then one that has nothing to do

    def settle(self, final=False):
        self.next_phase("the final settling" if final else "settling")
        self.server.clear()
        self.volume.release()
        before = scan(self.install.path)
        records, _ = read_state(self.install)
        parts = {kk for kk in before if is_part(kk)}
        rng = random.Random(0)
        for attempt in range(len(parts) + 4):
            chain = self.run_chain(rng, "none")
            self.counts["settle runs"] += 1
            after, state = self.check_step(chain, before, records, "none")
            code = chain.codes.get(chain.ended[-1])
            record = last_log_record(self.install.log()) or ""
            if code == 0:
                break
            # A partial file of other content (an earlier version of the file, a byte the
            # network flipped before it was cut) fails its verification once.
            failed = record.splitlines()[-1] if record else ""
            stale = failed.startswith(CORRUPTED) and key(failed[len(CORRUPTED):] + shared.PARTIAL_SUFFIX) in parts
            leftovers = [] if stale else self.leftovers_in_the_way(failed, after, state)
            if not self.check("settles", stale or leftovers, f"a fault-free run failed: {record!r}"):
                return
            if stale:
                self.notes["fault-free runs failed on a stale partial file"] += 1
            else:
                # The launcher may remove only what it recorded: a kept file the player edited,
                # or one it installed but could not record (killed, or the disk full, between
                # the move and the save), stays where a folder or a file must go. The player
                # (or support) removes it; the campaign counts it and does the same.
                installed = all(after[key(p)].hash in self.publisher.hashes for p in leftovers)
                self.counts["settles blocked by a file installed but never recorded" if installed else
                            "settles blocked by a file the player changed"] += 1
                print(f"torture: {self.phase} after step {self.step_no}: blocked by {leftovers}", flush=True)
                for rel in leftovers:
                    os.remove(self.install.file(rel))
                after = scan(self.install.path)
            before, records = after, state
        else:
            self.check("settles", False, "fault-free runs did not bring the game up to date")
            return

        # Up to date: every published file is in place (checked with the run). What else
        # stays must be a file the launcher never recorded, which it may not touch.
        entries = self.publisher.files
        listed = {key(p) for p in entries}
        extra = [f.path for kk, f in after.items() if kk not in listed and f.path not in OWN_FILES]
        stale_parts = [p for p in extra if is_part(p)]
        foreign = [p for p in extra if not is_part(p)]
        dropped = [p for p in foreign if key(p) in {key(r) for r in records}]
        self.check("settled folder", not dropped, f"recorded files that no version names stayed: {dropped}")
        self.check("settled state", set(state) <= set(entries) and
                   all(state.get(p) == sha(c) for p, (c, k) in entries.items() if not k),
                   f"the state file does not match the published version: {sorted(set(state) ^ set(entries))}")
        self.notes["stale partial files left after settling"] += len(stale_parts)
        # A file that lost its record while it stayed (the state file deleted when it could not
        # be saved, a dropped file held open while it was to go) is no file the launcher never
        # installed: counted apart from those.
        unrecorded = [p for p in foreign if p not in PLAYER_FILES]
        once = [p for p in unrecorded if key(p) in self.ever_recorded]
        self.notes["unrecorded files left after settling"] += len(unrecorded) - len(once)
        self.notes["files once recorded, left unrecorded after settling"] += len(once)
        if once:
            print(f"torture: {self.phase} after step {self.step_no}: once recorded, left: {once}", flush=True)

        self.server.clear()
        chain = self.run_chain(rng, "none")
        self.counts["settle runs"] += 1
        self.check_step(chain, after, state, "none")
        asked = [line.split("\t")[0] for line in self.server.requests().splitlines()]
        summary = [line for line in self.install.log().splitlines() if " dosya, " in line]
        self.check("no-op run", asked == ["/manifest.txt"] and summary and
                   summary[-1].endswith("0 denetlendi, 0 indirilecek (0 MB)"),
                   f"the run after settling asked for {asked} and logged {summary[-1:]}")
        self.counts["settles"] += 1

    def leftovers_in_the_way(self, failed, files, records):
        """The files no record names among those that stand where the failed run needed a
        folder or a file: files the launcher may not remove."""
        if failed.startswith(TEXT["NotWritten"]) and failed.endswith(".part"):
            where = failed[len(TEXT["NotWritten"]):-len(".part")]
            prefix = harness.windows_path(self.install.path) + "\\"
            if not where.startswith(prefix):
                return []
            target = key(where[len(prefix):])
        elif failed.startswith(TEXT["ReplaceFailed"]):
            target = key(failed[len(TEXT["ReplaceFailed"]):])
        else:
            return []
        parts = target.split("/")
        in_the_way = [files[k].path for k in ("/".join(parts[:i]) for i in range(1, len(parts))) if k in files]
        in_the_way += [f.path for k, f in files.items() if k.startswith(target + "/") and not is_part(f.path)]
        recorded = {key(p) for p in records}
        return [p for p in in_the_way if key(p) not in recorded]

    # -- the whole campaign

    def run(self):
        print(f"torture: seed {self.seed}, {self.args.steps} steps, work {self.work}"
              + (f", skipping {','.join(sorted(self.skip))}" if self.skip else ""), flush=True)
        try:
            self.setup()
            for k in range(1, self.args.steps + 1):
                self.next_phase("")
                self.step(k)
                if self.args.settle_every and k % self.args.settle_every == 0 and k != self.args.steps:
                    self.settle()
            self.settle(final=True)
        except Violation:
            pass
        finally:
            self.teardown()
        return self.report()

    def report(self):
        times = os.times()
        start = getattr(self, "cpu_start", times)
        cpu = sum(times[:4]) - sum(start[:4])
        wall = time.monotonic() - getattr(self, "started", time.monotonic())
        figures = {
            "seed": self.seed, "steps": self.counts["steps"], "skipped kinds": sorted(self.skip),
            "counts": dict(self.counts), "kills": dict(self.kills), "faults injected": dict(self.faults),
            "faults armed but never requested": dict(self.untriggered), "actions": dict(self.actions),
            "publish changes": dict(self.changes), "invariant checks": dict(self.checks),
            "invariant checks total": sum(self.checks.values()), "run endings": dict(self.outcomes),
            "notes": {k: v for k, v in self.notes.items() if v},
            "violations": [{"step": s, "invariant": i, "text": t} for s, i, t in self.violations],
            "wall hours": round(wall / 3600, 3), "cpu hours": round(cpu / 3600, 3),
            "run seconds (median, longest)": [round(sorted(self.run_seconds)[len(self.run_seconds) // 2], 2),
                                              round(max(self.run_seconds), 1)] if self.run_seconds else [],
        }
        print(summary_text(figures), flush=True)
        if self.args.summary:
            with open(self.args.summary, "w") as f:
                json.dump(figures, f, indent=1)
        return 1 if self.violations else 0


def summary_text(figures):
    def table(title, counter):
        rows = "".join(f"  {k:<45} {v:>8}\n" for k, v in sorted(counter.items(), key=lambda kv: (-kv[1], kv[0])))
        return f"{title}:\n" + (rows or "  (none)\n")

    text = (f"torture summary: seed {figures['seed']}, {figures['steps']} steps, "
            f"{figures['wall hours']} h of wall time, {figures['cpu hours']} h of processor time; "
            f"a run took {figures['run seconds (median, longest)']} s (median, longest)\n")
    if figures["skipped kinds"]:
        text += "skipped kinds: " + ", ".join(figures["skipped kinds"]) + "\n"
    text += table("counts", figures["counts"])
    text += table("kills (by the moment chosen)", figures["kills"])
    text += table("faults injected (by kind)", figures["faults injected"])
    text += table("faults armed but never requested", figures["faults armed but never requested"])
    text += table("actions between runs", figures["actions"])
    text += table("publish changes", figures["publish changes"])
    text += table("run endings", figures["run endings"])
    text += table(f"invariant checks ({figures['invariant checks total']})", figures["invariant checks"])
    text += table("notes", figures["notes"])
    text += f"violations: {len(figures['violations'])}\n"
    for v in figures["violations"]:
        text += f"  step {v['step']}: {v['invariant']}: {v['text']}\n"
    return text


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--work", default=os.path.join(harness.BUILD, "torture"))
    parser.add_argument("--skip", default="", type=lambda s: [x for x in s.split(",") if x])
    parser.add_argument("--settle-every", type=int, default=50)
    parser.add_argument("--summary", default=None, help="write the figures as JSON")
    parser.add_argument("--stop-on-violation", action="store_true")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    # A campaign told to stop still unmounts its volume and ends its wineserver.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1, 10**6)
    unknown = [s for s in args.skip if s not in SKIP_GROUPS and s not in FAULTS + ACTIONS + CHANGES]
    if unknown:
        parser.error(f"unknown kinds to skip: {unknown}")
    return Campaign(args).run()


if __name__ == "__main__":
    sys.exit(main())
