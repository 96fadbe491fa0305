#!/usr/bin/env python3
"""The launcher against the platform's ceiling, on generated data served by nginx on
127.0.0.1, and a Markdown table of the figures.

  run.py [--build DIR] [--sets large,many] [--runs 3] [--work DIR] [--out FILE]
         [--keep] [--check] [--also LABEL=EXE]

For every data set and scenario (first install, no-op, verification without a state
file, install resumed after a cut half-way) both programs run --runs times in turns,
in the same Wine prefix and against the same server; native curl and sha256sum give
context. The first install also runs, in the same turns, the measuring build without
flushes when it has been built (bench/TarsinLauncherNoFlush.exe of the build, reported as
"launcher without flush") and every launcher given with --also. Every run is also checked (exit code, installed tree, requests); --check
makes a failed check fatal, which the smoke test in the suite relies on.
"""
import argparse
import datetime
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, HERE)
import make_data  # noqa: E402
import nginx_server  # noqa: E402
import publish  # noqa: E402
import wine_build  # noqa: E402
import wine_harness as harness  # noqa: E402
from wine_harness import LAUNCHER_NAME, STATE, windows_path  # noqa: E402

MIB = 1 << 20
SCENARIOS = ("install", "noop", "verify", "resume")
SCENARIO_TITLES = {"install": "first install", "noop": "no-op (up to date)",
                   "verify": "verify, no state file", "resume": "resume after a cut half-way"}
# A time long before any installed file was written: with relatime, a read of such a
# file moves its access time to now.
OLD_ATIME = 978307200  # 2001-01-01
MEMORY_POINTS = (2500, 5000, 10000)
NO_FLUSH = "launcher without flush"
NO_FLUSH_EXE = os.path.join("bench", "TarsinLauncherNoFlush.exe")
CONTROL_FILES = 2500


def say(text):
    print(text, file=sys.stderr, flush=True)


# ---- data --------------------------------------------------------------------

def state_text(entries):
    return harness.format_state({e.path: e.hash for e in entries})


class DataSet:
    def __init__(self, name, work):
        self.name = name
        self.dir = os.path.join(work, "data", name)
        self.build = os.path.join(self.dir, "build")
        self.www = os.path.join(self.dir, "www")
        self.entries = []

    def prepare(self):
        manifest = os.path.join(self.www, "manifest.txt")
        if not make_data.is_current(self.name, self.build):
            say(f"[{self.name}] generating the build")
            if os.path.exists(self.www):
                shutil.rmtree(self.www)
            make_data.make(self.name, self.build)
        if not os.path.exists(manifest):
            say(f"[{self.name}] publishing")
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), "publish", self.build,
                            self.www, "--version", f"bench-{self.name}-{make_data.GENERATOR_VERSION}", "--quiet"],
                           check=True)
        with open(manifest, "rb") as f:
            self.version, self.entries = publish.parse_manifest(f.read())
        self.total = sum(e.size for e in self.entries)

    def subset_view(self, count):
        """A served tree whose file list names the first count files, sharing the objects."""
        view = os.path.join(self.dir, f"www-{count}")
        os.makedirs(view, exist_ok=True)
        with open(os.path.join(view, "manifest.txt"), "wb") as f:
            f.write(publish.format_manifest(self.version, self.entries[:count]))
        link = os.path.join(view, "o")
        if not os.path.islink(link):
            os.symlink(os.path.join(self.www, "o"), link)
        return view, self.entries[:count]


# ---- the environment -----------------------------------------------------------

@dataclass
class Run:
    code: int
    wall: float
    peak_rss: int        # bytes: the process's high-water mark of resident memory
    output: str = ""
    requests: int = 0
    connections: int = 0
    body_bytes: int = 0
    ranged: int = 0


class Wine:
    """The benchmark's Windows programs, measured, in a prefix of its own with a persistent
    wineserver, unmanaged windows and Wine's desktop held (tools/wine_harness.py), so that
    no run pays for starting any of them."""

    def __init__(self, prefix, display, scratch, holder, loader):
        self.prefix = harness.WinePrefix(prefix, display, persistent=True, managed=False, holder=holder,
                                         loader=loader)
        self.scratch = scratch

    def start(self, warm_up):
        say("preparing the Wine prefix")
        self.prefix.create()
        self.run(warm_up, [], timeout=60)

    def stop(self):
        self.prefix.kill()

    def run(self, exe, args, timeout=900, trace=None):
        """Runs exe to its end. Wall time from before the start to after the exit. The peak
        resident size is GNU time's (wait4 of the process it forks): the kernel's own
        accounting, which a fork from this Python process would spoil, since an exec
        records the size of the memory it replaces."""
        rss_file = os.path.join(self.scratch, "rss.txt")
        if trace:
            wrapper = ["strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o", trace]
        else:
            wrapper = ["/usr/bin/time", "-f", "%M", "-o", rss_file]
        started = time.monotonic()
        try:
            result = self.prefix.run(exe, *args, timeout=timeout, cwd=os.path.dirname(os.path.abspath(exe)),
                                     wrapper=wrapper)
            code, output = result.returncode, result.stdout.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            code, output = -1, f"killed after {timeout} s"
        wall = time.monotonic() - started
        peak = 0
        if not trace:
            try:
                with open(rss_file) as f:
                    peak = int(f.read().split()[-1]) * 1024
                os.unlink(rss_file)
            except (OSError, ValueError, IndexError):
                pass
        return Run(code, wall, peak, output)


class Server(nginx_server.NginxServer):
    """The project's nginx runner, with each request's connection in the access log."""

    FORMAT = 'log_format tarsin "$request\\t$status\\t$body_bytes_sent\\t$http_range\\t$connection";'

    def _write_config(self):
        super()._write_config()
        with open(self.config) as f:
            text = f.read()
        text, count = re.subn(r'log_format tarsin "[^"]*";', lambda m: self.FORMAT, text)
        if count != 1:
            raise RuntimeError("the nginx configuration has no log format to extend")
        with open(self.config, "w") as f:
            f.write(text)

    def served(self):
        requests = []
        with open(self.access_log, encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) == 5:
                    requests.append(fields)
        return requests


def count_requests(run, server):
    requests = server.served()
    run.requests = len(requests)
    run.connections = len({r[4] for r in requests})
    run.body_bytes = sum(int(r[2]) for r in requests)
    run.ranged = sum(1 for r in requests if r[3] != "-")
    return requests


# ---- installation trees ----------------------------------------------------------

def files_of(tree, entries):
    return [os.path.join(tree, *e.path.split("/")) for e in entries]


def fresh_tree(tree, launcher=None):
    if os.path.exists(tree):
        shutil.rmtree(tree)
    os.makedirs(tree)
    if launcher:
        shutil.copyfile(launcher, os.path.join(tree, LAUNCHER_NAME))


def tree_problems(tree, entries, contents=False):
    """What is wrong with an installed tree: missing or wrong files, a state file that
    does not record every file."""
    problems = []
    for e, full in zip(entries, files_of(tree, entries)):
        try:
            if os.path.getsize(full) != e.size:
                problems.append(f"{e.path}: wrong size")
            elif contents and _sha256(full) != e.hash:
                problems.append(f"{e.path}: wrong content")
        except OSError:
            problems.append(f"{e.path}: missing")
        if os.path.exists(full + ".part"):
            problems.append(f"{e.path}.part left behind")
    try:
        with open(os.path.join(tree, STATE), "rb") as f:
            records = harness.parse_state(f.read())
    except (OSError, ValueError):
        records = {}
    unrecorded = sum(1 for e in entries if records.get(e.path) != e.hash)
    if unrecorded:
        problems.append(f"{unrecorded} files without their record in {STATE}")
    return problems


def _sha256(path):
    import hashlib
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            h.update(block)
    return h.hexdigest()


def make_cut(tree, entries):
    """The tree as a download cut half-way leaves it: the files before the middle byte
    installed and recorded, the file holding it half in its ".part", the rest missing.
    Returns the bytes this run has to bring into place and the cut file."""
    middle = sum(e.size for e in entries) // 2
    position, cut = 0, len(entries) - 1
    for i, e in enumerate(entries):
        if position + e.size > middle:
            cut = i
            break
        position += e.size
    paths = files_of(tree, entries)
    for path in paths:
        if os.path.exists(path + ".part"):
            os.unlink(path + ".part")
    kept = entries[:cut]
    with open(os.path.join(tree, STATE), "wb") as f:
        f.write(state_text(kept))
    part = paths[cut] + ".part"
    os.rename(paths[cut], part)
    os.truncate(part, entries[cut].size // 2)
    for path in paths[cut + 1:]:
        os.unlink(path)
    return sum(e.size for e in entries[cut:]), entries[cut]


def age_atimes(paths):
    for p in paths:
        st = os.stat(p)
        os.utime(p, ns=(OLD_ATIME * 10**9, st.st_mtime_ns))


def read_since_aged(paths):
    return sum(1 for p in paths if os.stat(p).st_atime > OLD_ATIME + 1)


def traced_opens(trace_files, tree, entries):
    """Opens of installed files (not folders) in strace logs of the client and the wineserver."""
    wanted = {os.path.realpath(p) for p in files_of(tree, entries)}
    pattern = re.compile(r'open(?:at2?)?\((?:AT_FDCWD, )?"([^"]+)", ([A-Z_|]+)')
    opened = 0
    for trace in trace_files:
        try:
            with open(trace, errors="replace") as f:
                for line in f:
                    m = pattern.search(line)
                    if m and "O_DIRECTORY" not in m.group(2) and "= -1" not in line:
                        if os.path.realpath(m.group(1)) in wanted:
                            opened += 1
        except OSError:
            pass
    return opened


# ---- the benchmark -----------------------------------------------------------------

@dataclass
class Figure:
    set: str
    scenario: str
    program: str
    runs: list = field(default_factory=list)
    bytes: int = 0
    files: int = 0

    def median(self, attribute):
        return statistics.median(getattr(r, attribute) for r in self.runs)


# The scenarios a full run measures per set: those with a budget, and what gives them context.
DEFAULT_SCENARIOS = {"large": SCENARIOS, "many": ("install", "noop", "verify"), "tiny": SCENARIOS}


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work or os.path.join(self.build, "bench-work"))
        self.trees = os.path.abspath(args.trees) if args.trees else default_trees(self.work)
        self.launcher = os.path.join(self.build, LAUNCHER_NAME)
        self.ceiling = os.path.join(self.build, "bench", "ceiling.exe")
        self.holder = os.path.join(self.build, "bench", "hold_desktop.exe")
        # Launchers that run beside the product in the first install only: label, executable.
        self.variants = []
        if os.path.exists(os.path.join(self.build, NO_FLUSH_EXE)):
            self.variants.append((NO_FLUSH, os.path.join(self.build, NO_FLUSH_EXE)))
        self.variants += [(label, os.path.abspath(exe)) for label, _, exe in
                          (also.partition("=") for also in args.also)]
        # The launcher and the ceiling come from one build, so they are of one bitness.
        self.kind = wine_build.of_folder(self.build)
        self.figures = {}
        self.problems = []
        self.proofs = []
        self.memory = []
        self.phases = {}
        self.started = time.monotonic()

    def check(self, ok, text):
        if not ok:
            self.problems.append(text)
            say("CHECK FAILED: " + text)

    def figure(self, data, scenario, program, size, files):
        key = (data.name, scenario, program)
        if key not in self.figures:
            self.figures[key] = Figure(data.name, scenario, program, bytes=size, files=files)
        return self.figures[key]

    def scenarios(self, data):
        chosen = self.args.scenarios.split(",") if self.args.scenarios else DEFAULT_SCENARIOS[data.name]
        # Every other scenario starts from the launcher's installed tree.
        return [s for s in SCENARIOS if s in chosen or s == "install"]

    def launcher_args(self, url):
        return [f"--url={url}", "--exit-when-done"]

    # Each program under Wine, measured and checked.
    def windows(self, data, scenario, program, tree, url, size, files, expect_requests=None):
        if program != "ceiling":
            exe, args = os.path.join(tree, LAUNCHER_NAME), self.launcher_args(url)
        else:
            mode = {"install": "install", "resume": "install", "verify": "hash", "noop": "attrs"}[scenario]
            exe, args = self.ceiling, [mode, url, windows_path(tree)]
        self.server.clear_log()
        self.settle()
        run = self.wine.run(exe, args)
        count_requests(run, self.server)
        self.figure(data, scenario, program, size, files).runs.append(run)
        where = f"[{data.name}] {scenario} {program}"
        say(f"{where}: {run.wall:.2f} s, exit {run.code}, {run.requests} requests, "
            f"{run.connections} connections, peak {run.peak_rss / MIB:.1f} MiB")
        self.check(run.code == 0, f"{where}: exit code {run.code} {run.output.strip()[-300:]}")
        if expect_requests is not None:
            self.check(run.requests == expect_requests,
                       f"{where}: {run.requests} requests, expected {expect_requests}")
        if program == "ceiling":
            phases = dict(re.findall(r"(\w+_ms)=([\d.]+)", run.output))
            self.phases.setdefault((data.name, scenario), []).append(phases)
        return run

    def settle(self):
        """On a disk, the writeback of the previous run is not left to the next one."""
        if not self.trees.startswith("/dev/shm/"):
            subprocess.run(["sync"])

    def native(self, data, scenario, program, command, size, files, cwd=None):
        self.settle()
        started = time.monotonic()
        result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        run = Run(result.returncode, time.monotonic() - started, 0)
        self.figure(data, scenario, program, size, files).runs.append(run)
        self.check(result.returncode == 0, f"[{data.name}] {scenario} {program}: exit code {result.returncode} "
                                           f"{result.stdout.decode(errors='replace')[-300:]}")

    def in_turns(self, variants=()):
        """Run r starts with the launcher when r is even, with the ceiling when odd; the
        variants run between them."""
        for r in range(self.args.runs):
            turn = ["launcher"] + [label for label, _ in variants] + ["ceiling"]
            yield turn if r % 2 == 0 else turn[::-1]

    def run_set(self, data):
        scenarios = self.scenarios(data)
        tree = os.path.join(self.trees, data.name)
        other = os.path.join(self.trees, data.name + "-other")
        self.server = Server(data.www, os.path.join(self.work, "nginx", data.name))
        url = self.server.start()
        entries, n, total = data.entries, len(data.entries), data.total
        paths = files_of(tree, entries)
        contents = self.args.check
        lists = os.path.join(self.work, "lists")
        os.makedirs(lists, exist_ok=True)
        try:
            # First install. The ceiling and curl write to a tree of their own, removed after
            # each run so that no more than two trees take room at a time.
            curl_config = os.path.join(lists, data.name + "-curl.cfg")
            with open(curl_config, "w") as f:
                for e in entries:
                    f.write(f'url = "{url}o/{e.hash}"\noutput = "{other}/{e.hash}"\n')
            exes = dict(self.variants, launcher=self.launcher)
            for turn in self.in_turns(self.variants):
                for program in turn:
                    target = tree if program == "launcher" else other
                    fresh_tree(target, exes.get(program))
                    self.windows(data, "install", program, target, url, total, n, n + 1)
                    for p in tree_problems(target, entries, contents):
                        self.check(False, f"[{data.name}] install {program}: {p}")
                if not self.figure(data, "install", "curl", total, n).runs:
                    fresh_tree(other)
                    self.native(data, "install", "curl", ["curl", "-s", "-f", "-K", curl_config], total, n)
                    shutil.rmtree(other)

            if "noop" in scenarios:
                # Nothing fetched but the file list, nothing read.
                for turn in self.in_turns():
                    for program in turn:
                        age_atimes(paths)
                        self.windows(data, "noop", program, tree, url, total, n, 1)
                        read = read_since_aged(paths)
                        self.check(read == 0, f"[{data.name}] noop {program}: {read} installed files read")
                self.prove_noop(data, tree, url, paths)
                if data.name == "many" or self.args.check:
                    self.memory_points(data, tree)

            if "verify" in scenarios:
                # No state file: every file hashed, nothing fetched.
                checklist = os.path.join(lists, data.name + ".sha256")
                with open(checklist, "w") as f:
                    for e in entries:
                        f.write(f"{e.hash}  {e.path}\n")
                for turn in self.in_turns():
                    for program in turn:
                        os.unlink(os.path.join(tree, STATE))
                        self.windows(data, "verify", program, tree, url, total, n, 1)
                        for p in tree_problems(tree, entries):
                            self.check(False, f"[{data.name}] verify {program}: {p}")
                    if not self.figure(data, "verify", "sha256sum", total, n).runs:
                        self.native(data, "verify", "sha256sum", ["sha256sum", "--quiet", "-c", checklist], total,
                                    n, cwd=tree)

            if "resume" in scenarios:
                # Cut half-way: the rest of the cut file by one range request.
                for turn in self.in_turns():
                    for program in turn:
                        left, cut = make_cut(tree, entries)
                        remaining = len(entries) - entries.index(cut)
                        run = self.windows(data, "resume", program, tree, url, left, remaining, remaining + 1)
                        self.check(run.ranged == 1, f"[{data.name}] resume {program}: {run.ranged} range requests")
                        for p in tree_problems(tree, entries, contents):
                            self.check(False, f"[{data.name}] resume {program}: {p}")
        finally:
            self.server.stop()
            if not self.args.keep:
                for path in (tree, other):
                    if os.path.exists(path):
                        shutil.rmtree(path)

    def prove_noop(self, data, tree, url, paths):
        """Opens of installed files, traced in the launcher and in the wineserver (which opens
        files for its clients), and read access times. The control, which shows that both
        probes see reads, is the ceiling's hash pass over the same tree (over its first
        CONTROL_FILES files, served as a file list of their own, to keep it short)."""
        server = self.wine.prefix.server_pid()
        if server is None:
            self.check(False, f"[{data.name}] no wineserver to trace")
            return
        control = data.entries[:CONTROL_FILES]
        control_server = None
        control_url = url
        state = os.path.join(tree, STATE)
        with open(state, "rb") as f:
            saved_state = f.read()
        results = []
        try:
            if len(control) < len(data.entries):
                view, _ = data.subset_view(len(control))
                control_server = Server(view, os.path.join(self.work, "nginx", f"{data.name}-{len(control)}"))
                control_url = control_server.start()
            for program, entries in (("launcher", data.entries), ("ceiling", control)):
                traces = [os.path.join(self.work, f"{data.name}-{program}-client.trace"),
                          os.path.join(self.work, f"{data.name}-{program}-server.trace")]
                age_atimes(paths)
                tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o",
                                           traces[1], "-p", str(server)], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
                time.sleep(0.5)
                if program == "launcher":
                    run = self.wine.run(os.path.join(tree, LAUNCHER_NAME), self.launcher_args(url), trace=traces[0])
                else:
                    run = self.wine.run(self.ceiling, ["hash", control_url, windows_path(tree)], trace=traces[0])
                tracer.send_signal(2)
                tracer.wait(30)
                results.append((run.code, traced_opens(traces, tree, entries),
                                read_since_aged(files_of(tree, entries))))
                for t in traces:
                    if os.path.exists(t):
                        os.unlink(t)
        finally:
            if control_server:
                control_server.stop()
            with open(state, "wb") as f:
                f.write(saved_state)
        (lcode, lopens, lread), (ccode, copens, cread) = results
        self.proofs.append((data.name, len(paths), lopens, lread, len(control), copens, cread))
        self.check(lcode == 0 and lopens == 0 and lread == 0,
                   f"[{data.name}] noop launcher under strace: exit {lcode}, {lopens} opens, {lread} reads")
        self.check(ccode == 0 and copens >= len(control) and cread == len(control),
                   f"[{data.name}] the probes missed the control's reads: {copens} opens, {cread} reads")

    def memory_points(self, data, tree):
        """Peak memory of no-op runs over the first k files of the set, for the growth."""
        counts = [c for c in MEMORY_POINTS if c < len(data.entries)]
        if self.args.check:
            counts = [len(data.entries) // 4, len(data.entries) // 2]
        state = os.path.join(tree, STATE)
        with open(state, "rb") as f:
            full_state = f.read()
        try:
            for count in counts:
                view, entries = data.subset_view(count)
                server = Server(view, os.path.join(self.work, "nginx", f"{data.name}-{count}"))
                sub_url = server.start()
                try:
                    with open(state, "wb") as f:
                        f.write(state_text(entries))
                    peaks = []
                    for _ in range(self.args.runs):
                        run = self.wine.run(os.path.join(tree, LAUNCHER_NAME), self.launcher_args(sub_url))
                        self.check(run.code == 0, f"[{data.name}] noop over {count} files: exit {run.code}")
                        peaks.append(run.peak_rss)
                    self.memory.append((data.name, count, statistics.median(peaks)))
                finally:
                    server.stop()
        finally:
            with open(state, "wb") as f:
                f.write(full_state)
        figure = self.figures[(data.name, "noop", "launcher")]
        self.memory.append((data.name, len(data.entries), figure.median("peak_rss")))

    def main(self):
        for program in [self.launcher, self.ceiling, self.holder] + [exe for _, exe in self.variants]:
            if not os.path.exists(program):
                say(f"missing {program}: build the targets TarsinLauncher, ceiling and hold_desktop first")
                return 1
        os.makedirs(self.work, exist_ok=True)
        sets = [DataSet(name, self.work) for name in self.args.sets.split(",")]
        for data in sets:
            data.prepare()
        display = harness.Display()
        try:
            self.wine = Wine(os.path.join(self.work, "wineprefix"), display.start(), self.work, self.holder,
                             self.kind.loader)
            self.wine.start(self.ceiling)
            for data in sets:
                self.run_set(data)
        finally:
            if hasattr(self, "wine"):
                self.wine.stop()
            display.stop()
            if not self.args.keep:
                shutil.rmtree(self.trees, ignore_errors=True)
                # The smoke run's tiny set is kept for its next run; big sets are not.
                if not self.args.check:
                    for data in sets:
                        shutil.rmtree(data.dir, ignore_errors=True)
        report = Report(self).markdown()
        out = self.args.out or os.path.join(self.work, "results.md")
        with open(out, "w") as f:
            f.write(report)
        if self.args.readme:
            update_readme(self.args.readme, report)
        say(f"wrote {out} in {time.monotonic() - self.started:.0f} s")
        if self.problems:
            say(f"{len(self.problems)} checks failed")
            return 1
        return 0


def default_trees(work):
    """Installed trees go to memory when there is room: a disk would add the same writes
    to both programs, and its writeback (ext4 flushes a file renamed over another, as the
    state file is after every installed file) the most noise."""
    shm = "/dev/shm"
    try:
        st = os.statvfs(shm)
        if st.f_bavail * st.f_frsize > 6 * (1 << 30):
            return os.path.join(shm, f"tarsin-bench-{os.getpid()}")
    except OSError:
        pass
    return os.path.join(work, "trees")


# ---- the report --------------------------------------------------------------------

BUDGETS = [
    # set, scenario, limit on launcher time / ceiling time, text
    ("large", "install", 1 / 0.95, "first install of \"large\": throughput >= 0.95 of the ceiling's"),
    ("large", "resume", 1 / 0.95, "resumed install of \"large\": throughput >= 0.95 of the ceiling's"),
    ("large", "verify", 1 / 0.95, "verification of \"large\": >= 0.95 of the ceiling's BCrypt pass"),
    ("many", "noop", 1.5, "no-op on \"many\": <= 1.5 x the ceiling's attribute pass, start-up included"),
    ("many", "install", 1 / 0.95, "first install of \"many\": <= 1.05 x the ceiling, flushes included"),
    ("many", "verify", 1 / 0.95, "verification of \"many\": >= 0.95 of the ceiling's BCrypt pass"),
]
MEMORY_BUDGET = 32 * MIB


def linear_fit(points):
    """Least squares of peak against files: (bytes at no file, bytes per file, worst
    distance of a point from the line)."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else 0.0
    intercept = my - slope * mx
    worst = max(abs(y - (intercept + slope * x)) for x, y in zip(xs, ys))
    return intercept, slope, worst


class Report:
    def __init__(self, bench):
        self.b = bench

    def ratio(self, set_name, scenario, program="launcher"):
        launcher = self.b.figures.get((set_name, scenario, program))
        ceiling = self.b.figures.get((set_name, scenario, "ceiling"))
        if not launcher or not ceiling or not launcher.runs or not ceiling.runs:
            return None
        return launcher.median("wall") / ceiling.median("wall")

    def markdown(self):
        b = self.b
        runs = b.args.runs
        lines = [
            "# The launcher against the platform's ceiling",
            "",
            f"Measured {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {os.cpu_count()} cores, "
            f"{_wine_version(b.kind.loader)}, the {b.kind.bits}-bit build of the launcher and of the ceiling, "
            f"nginx on 127.0.0.1, Xvfb; commit {_commit()}; installed trees in "
            f"{'memory (tmpfs)' if b.trees.startswith('/dev/shm') else b.trees}. Every figure is the median of "
            f"{runs} run{'s' if runs != 1 else ''}; the launcher and the ceiling take turns, so the page cache "
            "and any other load treat both alike. `make bench` reproduces it (bench/README.md).",
            "",
            "| Set | Scenario | Program | Wall s | MB/s | Files/s | Peak RSS MiB | Requests | Connections "
            "| Launcher / ceiling |",
            "|---|---|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        order = {"launcher": 0, "ceiling": 2, "curl": 3, "sha256sum": 4}
        order.update((label, 1 + i / 100) for i, (label, _) in enumerate(b.variants))
        set_order = {"large": 0, "many": 1}
        for key in sorted(b.figures, key=lambda k: (set_order.get(k[0], 2), k[0], SCENARIOS.index(k[1]),
                                                    order[k[2]])):
            f = b.figures[key]
            if not f.runs:
                continue
            wall = f.median("wall")
            windows = f.program not in ("curl", "sha256sum")
            ratio = self.ratio(f.set, f.scenario, f.program) if windows and f.program != "ceiling" else None
            mb = f"{f.bytes / MIB / wall:.0f}" if f.scenario != "noop" else "-"
            lines.append(
                f"| {f.set} | {SCENARIO_TITLES[f.scenario]} | {f.program} | {wall:.2f} | {mb} | "
                f"{_rate(f.files / wall)} | "
                + (f"{f.median('peak_rss') / MIB:.1f} | {f.median('requests'):.0f} | "
                   f"{f.median('connections'):.0f} | " if windows else "- | - | - | ")
                + (f"{ratio:.2f}" if ratio else "") + " |")
        lines += [
            "",
            "MB/s is MiB brought into place (install; resume: the files this run had to finish, the kept "
            "half of the cut file included) or hashed (verify) per second of wall time, files/s likewise. "
            "Wall time runs from the start of the Windows process to its exit, start-up included. Peak RSS "
            "is the process's resident high-water mark as the kernel accounts it (GNU time), Wine's own "
            "libraries included. Requests and connections are what nginx logged ($connection) during the "
            "run. The ratio is launcher time over ceiling time: at most 1.053 means at least 0.95 of the "
            "ceiling's throughput. " + self.context_note(),
            "",
        ]
        lines += self.gap_section()
        lines += self.budgets()
        lines += self.proof_section()
        lines += self.memory_section()
        lines += self.phase_section()
        if b.problems:
            lines += ["## Failed checks", ""] + [f"- {p}" for p in b.problems] + [""]
        return "\n".join(lines)

    def gap_section(self):
        """The launcher's time beyond the ceiling's, split by the build without flushes run in
        the same turns: what the flushes cost, and what the launcher adds besides."""
        lines = []
        for (set_name, scenario, program), f in sorted(self.b.figures.items()):
            launcher = self.b.figures.get((set_name, scenario, "launcher"))
            ceiling = self.b.figures.get((set_name, scenario, "ceiling"))
            if program != NO_FLUSH or not f.runs or not launcher or not ceiling:
                continue
            # Either part may come out below 0 within the noise; they add up to the gap.
            full, bare, floor = launcher.median("wall"), f.median("wall"), ceiling.median("wall")
            lines.append(f"| {set_name} | {SCENARIO_TITLES[scenario]} | {full - floor:.2f} | "
                         f"{full - bare:.2f} | {bare - floor:.2f} |")
        if not lines:
            return []
        return ["## Where the gap to the ceiling goes", "",
                "Medians of the same turns: the flushes cost the launcher's time less the time of the "
                "build without flushes; the launcher adds that build's time less the ceiling's.", "",
                "| Set | Scenario | Launcher - ceiling s | Flushes s | The launcher's own s |",
                "|---|---|---:|---:|---:|"] + lines + [""]

    def context_note(self):
        return ("curl and sha256sum run once per set, for context; curl writes every object to a file of "
                "its own on one connection, sha256sum checks the installed tree.")

    def budgets(self):
        lines = ["## Budgets", "", "| Budget | Figure | Limit | Met |", "|---|---:|---:|---|"]
        for set_name, scenario, limit, text in BUDGETS:
            ratio = self.ratio(set_name, scenario)
            if ratio is None:
                continue
            lines.append(f"| {text} (launcher / ceiling time) | {ratio:.3f} | {limit:.3f} | "
                         f"{'yes' if ratio <= limit else 'no'} |")
        many = sorted((m[1], m[2]) for m in self.b.memory if m[0] == "many")
        if many:
            install = self.b.figures.get(("many", "install", "launcher"))
            peak = max([m[1] for m in many] + ([install.median("peak_rss")] if install else []))
            lines.append(f"| peak memory with the \"many\" file list, as peak RSS under Wine | {peak / MIB:.1f} MiB "
                         f"| 32 MiB | {'yes' if peak <= MEMORY_BUDGET else 'no'} |")
            if len(many) >= 3:
                intercept, slope, worst = linear_fit(many)
                own = peak - intercept
                lines.append(f"| the same above the launcher's footprint without files ({intercept / MIB:.1f} MiB, "
                             f"Wine and the window) | {own / MIB:.1f} MiB | 32 MiB | "
                             f"{'yes' if own <= MEMORY_BUDGET else 'no'} |")
                lines.append(f"| growth with the number of files | {slope:.0f} bytes per file, no point farther "
                             f"than {worst / MIB:.2f} MiB from the line | linear | "
                             f"{'yes' if worst <= 0.1 * max(own, MIB) else 'no'} |")
        return lines + [""]

    def proof_section(self):
        if not self.b.proofs:
            return []
        lines = ["## The no-op run reads no installed file", "",
                 "Two probes, each shown to work on a control, the ceiling's hash pass over the same tree:",
                 "",
                 "- strace of the launcher's process and of the prefix's wineserver (which opens files on its "
                 "clients' behalf), counting opens of installed files (folders and the launcher's own files not "
                 "counted); a read needs an open;",
                 "- access times: every installed file's atime is set to 2001 before the run; the trees' file "
                 "system is mounted relatime, so any read moves it to now. Every timed no-op run is checked "
                 "this way too.",
                 "",
                 "| Set | Installed files | Launcher no-op: opens | atimes moved | Control (hash pass): files "
                 "| opens | atimes moved |",
                 "|---|---:|---:|---:|---:|---:|---:|"]
        for row in self.b.proofs:
            lines.append("| " + " | ".join(str(v) for v in row) + " |")
        return lines + [""]

    def memory_section(self):
        if not self.b.memory:
            return []
        lines = ["## Memory against the number of files", "",
                 "No-op runs of the launcher over the first N files of a set (a file list and a state file of "
                 "N records each), peak RSS:", "",
                 "| Set | Files | Peak RSS MiB | Bytes per file added since the previous row |",
                 "|---|---:|---:|---:|"]
        previous = {}
        for set_name, count, rss in sorted(self.b.memory):
            per = "-"
            if set_name in previous:
                c0, r0 = previous[set_name]
                per = f"{(rss - r0) / (count - c0):.0f}"
            previous[set_name] = (count, rss)
            lines.append(f"| {set_name} | {count} | {rss / MIB:.1f} | {per} |")
        return lines + [""]

    def phase_section(self):
        if not self.b.phases:
            return []
        lines = ["## The ceiling's own timers", "",
                 "Medians of what the ceiling measures inside its process: time from process creation to "
                 "main (Wine's loader), the file list's fetch, and the work.", "",
                 "| Set | Scenario | Start-up ms | File list ms | Work ms |", "|---|---|---:|---:|---:|"]
        for (set_name, scenario), runs in sorted(self.b.phases.items()):
            values = [statistics.median(float(r.get(k, 0)) for r in runs)
                      for k in ("startup_ms", "manifest_ms", "work_ms")]
            lines.append(f"| {set_name} | {SCENARIO_TITLES[scenario]} | " + " | ".join(f"{v:.0f}" for v in values)
                         + " |")
        return lines + [""]


README_BEGIN = "<!-- latest results: written by bench/run.py -->"
README_END = "<!-- end of latest results -->"


def update_readme(path, report):
    """Puts the report's tables between the README's markers."""
    with open(path) as f:
        text = f.read()
    if README_BEGIN not in text or README_END not in text:
        say(f"{path} has no markers for the results; left alone")
        return
    # Without the report's title, one heading level further down.
    body = re.sub(r"^## ", "### ", report.split("\n", 2)[2].strip(), flags=re.M)
    head, rest = text.split(README_BEGIN, 1)
    _, tail = rest.split(README_END, 1)
    with open(path, "w") as f:
        f.write(f"{head}{README_BEGIN}\n{body}\n{README_END}{tail}")


def _rate(value):
    return f"{value:.0f}" if value >= 10 else f"{value:.2f}"


def _wine_version(loader):
    try:
        return subprocess.run([loader, "--version"], stdout=subprocess.PIPE, text=True, timeout=30).stdout.strip()
    except OSError:
        return "Wine"


def _commit():
    try:
        return subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                              text=True, timeout=30).stdout.strip()
    except OSError:
        return "?"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--sets", default="large,many")
    parser.add_argument("--scenarios", help="comma-separated, for every set (default: per set, see DEFAULT_SCENARIOS)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", help="data, server state and the Wine prefix (default BUILD/bench-work)")
    parser.add_argument("--trees", help="where installed trees go (default: a folder in /dev/shm when it has room)")
    parser.add_argument("--out", help="the Markdown report (default WORK/results.md)")
    parser.add_argument("--readme", help="a README whose results section gets the report")
    parser.add_argument("--keep", action="store_true", help="keep the data sets and trees")
    parser.add_argument("--check", action="store_true",
                        help="smoke mode: contents checked too, and the data kept for the next run")
    parser.add_argument("--also", action="append", default=[], metavar="LABEL=EXE",
                        help="another launcher to run in the first install's turns, e.g. a build "
                             "configured with -DTARSIN_FLUSH_THREADS=1 (repeatable)")
    args = parser.parse_args(argv)
    for also in args.also:
        label, _, exe = also.partition("=")
        if not label or not exe or label in ("launcher", "ceiling", "curl", "sha256sum", NO_FLUSH):
            parser.error(f"--also wants LABEL=EXE with a label of its own: {also}")
    for name in args.sets.split(","):
        if name not in make_data.SETS:
            parser.error(f"unknown set {name}")
    for name in (args.scenarios or "install").split(","):
        if name not in SCENARIOS:
            parser.error(f"unknown scenario {name}")
    return Bench(args).main()


if __name__ == "__main__":
    sys.exit(main())
