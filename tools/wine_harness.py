"""The one way the tests, the tools and the benchmark run the launcher under Wine: an X
display, Wine prefixes of their own, installation folders, the launcher started, waited
for and ended, its window read and pressed (tests/window_probe.cpp), Windows paths, the
state file and the log, and a test certificate authority.

The build comes from TARSIN_BUILD_DIR (default: the one tools/wine_build.py chooses), and
the Wine loader from that build. Tests and the benchmark import this module; it imports
nothing of theirs."""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import time
import unittest

import wine_build
from publishing import shared

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.abspath(os.environ.get("TARSIN_BUILD_DIR") or wine_build.choose()[0].dir)
KIND = wine_build.of_folder(BUILD)
WINE = KIND.loader
# What publishing this build's launcher takes (publish.publish(**PUBLISH_OPTIONS)).
PUBLISH_OPTIONS = KIND.publish_options
LAUNCHER_NAME = "TarsinLauncher.exe"
LAUNCHER = os.path.join(BUILD, LAUNCHER_NAME)
TRUST_ROOT = os.path.join(BUILD, "tests", "trust_root.exe")
STAND_IN = os.path.join(BUILD, "tests", "stand_in.exe")
PROBE = os.path.join(BUILD, "tests", "window_probe.exe")
STATE = shared.STATE_FILE
LOG = shared.LOG_FILE

PLAY, RETRY, SETTINGS = 100, 101, 102
VK_RETURN = 0x0D
ENGLISH = {
    "connecting": "Connecting to the server...",
    "ready": "The game is up to date.",
    "version": "Version %s",
    "unreachable": "Could not reach the server. Check your internet connection.",
    "unreadable": "Could not read the file list from the server.",
    "interrupted": "The download was interrupted. Retry to continue where it left off.",
    "relaunch_failed": "The launcher was updated; open it again.",
    "settings": "Settings", "retry": "Retry", "play": "Play",
}
TURKISH = {
    "connecting": "Sunucuya bağlanılıyor...",
    "ready": "Oyun güncel.",
    "version": "Sürüm %s",
    "unreachable": "Sunucuya bağlanılamadı. İnternet bağlantınızı denetleyin.",
    "unreadable": "Sunucudaki dosya listesi okunamadı.",
    "relaunch_failed": "Launcher güncellendi; yeniden açın.",
    "settings": "Ayarlar", "retry": "Tekrar dene", "play": "Oyna",
}
UP_TO_DATE = ENGLISH["ready"]
CANNOT_REACH = ENGLISH["unreachable"]
INTERRUPTED = ENGLISH["interrupted"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def require(*programs):
    """Skips the calling test when a program is missing; under CI=true fails it instead,
    where a test that passes unrun would hide a broken build."""
    for program in programs:
        if not os.path.exists(program):
            if os.environ.get("CI") == "true":
                raise RuntimeError(f"{program} is missing (CI=true: a missing program fails the test)")
            raise unittest.SkipTest(f"{program} is not built")


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def stop_process(process, seconds=5):
    """Ends a process we started, by its pid."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def kill_group(process):
    """SIGKILL to the process group of a program started by WinePrefix.start or run: a
    Windows program and whatever it started from it."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    process.wait()


def kill_hard(process):
    """SIGKILL: the launcher gets no chance to tidy up."""
    os.kill(process.pid, signal.SIGKILL)
    process.wait()


def wait_until(condition, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return False


class Display:
    """The caller's X display, or an Xvfb of our own when there is none or own is set:
    a test that reads the screen needs one no other test draws on."""

    def __init__(self, own=False):
        self.process = None
        self.display = "" if own else os.environ.get("DISPLAY", "")

    def start(self):
        if self.display:
            return self.display
        for n in range(140, 200):
            if os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
                continue
            process = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and process.poll() is None:
                if os.path.exists(f"/tmp/.X11-unix/X{n}"):
                    self.process, self.display = process, f":{n}"
                    return self.display
                time.sleep(0.05)
            stop_process(process)
        raise RuntimeError("no X display: Xvfb did not start")

    def stop(self):
        if self.process:
            stop_process(self.process)
            self.process = None
            self.display = ""


class WinePrefix:
    """A Wine prefix of our own, so that waiting for or ending its programs
    (wineserver -w / -k) touches nobody else's. Options, applied by create():

      dpi         LogPixels, which every program of the prefix reads
      persistent  the wineserver stays up between programs, so no run pays for its start
      managed     False: no window-manager frames. Without a window manager on Xvfb, Wine
                  waits 2 s for one whenever a managed window is hidden, at every exit.
      holder      a program kept running meanwhile (bench/hold_desktop.cpp keeps Wine's
                  desktop up between programs)
      loader      the Wine loader, when the programs are not of this module's build
      dll_overrides  added to WINEDLLOVERRIDES ("winhttp=n,b": that DLL loaded from a file
                  first, as Windows loads a DLL that is not a known DLL)

    wait() returns only once every program has ended: never with a persistent server or a
    holder."""

    def __init__(self, path, display, dpi=None, persistent=False, managed=True, holder=None, loader=None,
                 dll_overrides=None):
        self.path = os.path.abspath(path)
        self.dll_overrides = dll_overrides
        self.wine = loader or WINE
        self.display = display
        self.dpi, self.persistent, self.managed, self.holder = dpi, persistent, managed, holder
        self.holder_process = None

    def env(self, language=None):
        """language "en" or "tr" sets the launcher's language; None leaves the caller's."""
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        if language:
            for name in ("LC_ALL", "LC_MESSAGES", "LANGUAGE"):
                env.pop(name, None)
            # Wine takes the user-interface language from LC_ALL even where the system has
            # no such locale installed, and from LANG only where it has.
            env["LANG"] = "tr_TR.UTF-8" if language == "tr" else "C.UTF-8"
            if language == "tr":
                env["LC_ALL"] = "tr_TR.UTF-8"
        overrides = "mscoree,mshtml=" + (";" + self.dll_overrides if self.dll_overrides else "")
        env.update(WINEPREFIX=self.path, WINELOADER=self.wine, WINEDEBUG="-all", WINEDLLOVERRIDES=overrides,
                   DISPLAY=self.display)
        return env

    def create(self, timeout=300):
        os.makedirs(self.path, exist_ok=True)
        ready = os.path.join(self.path, ".tarsin-ready")
        dpi_set = os.path.join(self.path, f".tarsin-dpi-{self.dpi}")
        # The lock and the marker are those of tests/wine-run.sh, which shares build/wineprefix.
        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(ready):
                subprocess.run([self.wine, "wineboot", "-i"], env=self.env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=timeout, check=True)
                self.wait(timeout)
                open(ready, "w").close()
            if self.dpi and not os.path.exists(dpi_set):
                self.registry(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD", str(self.dpi))
                self.wait(timeout)
                open(dpi_set, "w").close()
        if self.persistent:
            # Fails when a server runs already, which then is made persistent all the same.
            subprocess.run(["wineserver", "-p"], env=self.env(), timeout=30)
        if not self.managed:
            self.registry(r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N")
        if self.holder:
            self.holder_process = self.start(self.holder)
        return self

    def registry(self, key, name, kind, value):
        subprocess.run([self.wine, "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)

    def start(self, program, *args, cwd=None, language=None, wrapper=(), output=None):
        """The program running, in a process group of its own (see kill_group). wrapper: a
        command that runs it (GNU time, strace). output: None, "stdout", or "both" (stderr
        with stdout) to a pipe."""
        pipe = subprocess.PIPE if output else subprocess.DEVNULL
        return subprocess.Popen([*wrapper, self.wine, program, *args], env=self.env(language), cwd=cwd, stdout=pipe,
                                stderr=subprocess.STDOUT if output == "both" else subprocess.DEVNULL,
                                start_new_session=True)

    def run(self, program, *args, timeout=60, cwd=None, language=None, wrapper=(), output="both"):
        """Runs the program to its end: a CompletedProcess with its output. One that
        overruns is killed with its process group, and TimeoutExpired raised."""
        process = self.start(program, *args, cwd=cwd, language=language, wrapper=wrapper, output=output)
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(process)
            process.communicate()
            raise
        return subprocess.CompletedProcess(process.args, process.returncode, out)

    def wait(self, timeout=120):
        """Until every program of the prefix has ended (a relaunched launcher too)."""
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=timeout)

    def kill(self):
        """Ends every program of the prefix, and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        if self.holder_process:
            kill_group(self.holder_process)
            self.holder_process = None

    def trust(self, authority_der):
        result = self.run(TRUST_ROOT, windows_path(authority_der))
        if result.returncode != 0:
            raise RuntimeError("trust_root failed: " + result.stdout.decode(errors="replace"))

    def server_pid(self):
        """The pid of this prefix's wineserver, or None."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if b"wineserver" not in f.read().split(b"\0")[0]:
                        continue
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if f"WINEPREFIX={self.path}".encode() in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                pass
        return None


_STARTED = []


class Install:
    """An installation folder holding only the launcher, as a player gets it, and the
    launcher run from it in prefix. clean: whatever an earlier run left there goes first.
    language: see WinePrefix.env."""

    def __init__(self, path, launcher=LAUNCHER, prefix=None, language=None, clean=False):
        self.path = os.path.abspath(path)
        if clean:
            shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path, exist_ok=True)
        shutil.copyfile(launcher, self.exe)
        self.prefix, self.language = prefix, language
        self.process = None  # the last one started
        self.processes = []

    @property
    def exe(self):
        return os.path.join(self.path, LAUNCHER_NAME)

    def file(self, relative):
        return os.path.join(self.path, *relative.split("/"))

    def exists(self, relative):
        return os.path.exists(self.file(relative))

    def read(self, relative):
        with open(self.file(relative), "rb") as f:
            return f.read()

    def write(self, relative, data):
        os.makedirs(os.path.dirname(self.file(relative)), exist_ok=True)
        with open(self.file(relative), "wb") as f:
            f.write(data)

    def log(self):
        """The log as written, line ends included ("\r\n"); "" when there is none."""
        try:
            return self.read(LOG).decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def state(self):
        """The records of "data-state.txt"; a torn or malformed file raises ValueError."""
        return parse_state(self.read(STATE))

    def files(self):
        found = set()
        for folder, _, names in os.walk(self.path):
            for n in names:
                found.add(os.path.relpath(os.path.join(folder, n), self.path).replace(os.sep, "/"))
        return found

    def add_stand_in(self, name):
        shutil.copyfile(STAND_IN, self.file(name))

    def ran(self, name):
        """How the stand-in copied in as name was started ({"cwd": ..., "args": [...]}), or
        None when it never ran."""
        if not self.exists(name + ".ran"):
            return None
        record = {"cwd": None, "args": []}
        for line in self.read(name + ".ran").decode("utf-8").splitlines():
            key, _, value = line.partition("=")
            if key == "cwd":
                record["cwd"] = value
            elif key == "arg":
                record["args"].append(value)
        return record

    def start(self, *args):
        """The launcher, started from the caller's folder: the game must get its working
        folder from the launcher, not by inheritance."""
        self.process = self.prefix.start(self.exe, *args, language=self.language)
        self.processes.append(self.process)
        if self not in _STARTED:
            _STARTED.append(self)
        return self.process

    def wait(self, timeout=60):
        """The exit code of the started launcher; one that overruns is ended."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.end()
            raise

    def run(self, *args, timeout=60):
        self.start(*args)
        return self.wait(timeout)

    def end(self):
        """Ends the launchers a failing test left open: the window closed, else their processes."""
        for process in self.processes:
            if process.poll() is None:
                Window(self).close()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    kill_group(process)


def end_all():
    """For tearDownModule: no launcher outlives its test module."""
    for install in _STARTED:
        install.end()
    _STARTED.clear()


def parse_state(data):
    if data and not data.endswith(b"\n"):
        raise ValueError("the state file does not end with a line feed")
    records = {}
    for line in data.split(b"\n")[:-1]:
        fields = line.split(b"\t")
        if len(fields) != 2 or len(fields[0]) != 64:
            raise ValueError(f"malformed state line {line!r}")
        records[fields[1].decode()] = fields[0].decode()
    keys = [k.encode() for k in records]
    if keys != sorted(keys):
        raise ValueError("state records out of order")
    return records


def format_state(records):
    """The state file of {path: hash}, as the launcher writes it: sorted by path bytes."""
    return "".join(f"{records[p]}\t{p}\n" for p in sorted(records, key=str.encode)).encode("utf-8")


def launcher_processes(install):
    """Pids of the launchers running from the installation folder. Wine shows a
    program's path first in its command line, as a Unix or a Windows path."""
    names = {install.exe.encode(), windows_path(install.exe).lower().encode()}
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    program = f.read().split(b"\0", 1)[0]
            except OSError:
                continue
            if program in names or program.lower() in names:
                found.append(int(entry))
    return [pid for pid in found if _running(pid)]


def run_launcher(prefix, install, url, timeout=180, extra=()):
    """Runs the launcher unattended until it and any launcher it restarted have ended.
    Returns the first process's exit code and the seconds taken."""
    started = time.monotonic()
    process = prefix.start(install.exe, f"--url={url}", "--exit-when-done", *extra, cwd=install.path)
    try:
        code = process.wait(timeout)
    finally:
        stop_process(process)
    # A launcher that replaced itself has started its successor before it ended.
    if not wait_until(lambda: not launcher_processes(install), timeout):
        raise TimeoutError(f"a launcher in {install.path} is still running")
    return code, time.monotonic() - started


class ProbeError(AssertionError):
    pass


class Window:
    """The launcher window of one installation, read and pressed by tests/window_probe.cpp."""

    def __init__(self, install):
        self.install = install
        self.exe = windows_path(install.exe)

    def probe(self, *args, timeout=60):
        """(exit code, the JSON objects the probe printed)."""
        try:
            # In English whatever the launcher's language: Wine reads the arguments in the
            # locale's codeset, and the Turkish one is not installed.
            result = self.install.prefix.run(PROBE, args[0], self.exe, *[str(a) for a in args[1:]],
                                             timeout=timeout, language="en", output="stdout")
        except subprocess.TimeoutExpired as e:
            raise ProbeError(f"the probe {args} overran {timeout} s") from e
        text = result.stdout.decode("utf-8", "replace").strip()
        objects, decoder, position = [], json.JSONDecoder(), 0
        while position < len(text):
            value, position = decoder.raw_decode(text, position)
            objects.append(value)
            while position < len(text) and text[position].isspace():
                position += 1
        return result.returncode, objects

    def dump(self, timeout_ms=20000):
        code, objects = self.probe("dump", timeout_ms)
        if code != 0:
            raise ProbeError(f"no launcher window: {objects}")
        return objects[0]

    def wait(self, *conditions, timeout_ms=30000):
        """The window's state once every condition holds (KEY=VALUE or KEY~VALUE)."""
        code, objects = self.probe("wait", timeout_ms, *conditions)
        if code != 0:
            raise ProbeError(f"{conditions} did not come; last seen: {json.dumps(objects, ensure_ascii=False)}")
        return objects[0]

    def exists(self):
        return self.probe("dump", 0)[0] == 0

    def gone(self, timeout_ms=20000):
        return self.probe("gone", timeout_ms)[0] == 0

    def act(self, *args):
        code, objects = self.probe(*args)
        if code != 0:
            raise ProbeError(f"{args} refused: {objects}")
        return objects[0]

    def click(self, control_id):
        return self.act("click", control_id)

    def command(self, control_id):
        return self.act("command", control_id)

    def key(self, vk):
        return self.act("key", vk)

    def close(self):
        return self.probe("close")[0] == 0

    def dismiss(self):
        return self.act("dismiss")


def control(state, name):
    for c in state["controls"]:
        if c["name"] == name:
            return c
    raise AssertionError(f"no control {name} in {state}")


def rect(state, name):
    r = control(state, name)["rect"]
    return (r["x"], r["y"], r["width"], r["height"])


def make_authority(folder, names=("127.0.0.1",)):
    """A test certificate authority and a server certificate it signed for the names.
    Returns (authority.der, server.pem, server.key)."""
    os.makedirs(folder, exist_ok=True)
    p = {n: os.path.join(folder, n) for n in ("ca.key", "ca.pem", "ca.der", "server.key", "server.csr",
                                               "server.pem", "server.ext")}
    # Wine compares the host only with DNS names of the subject alternative names,
    # Windows compares an address with IP entries: the certificate carries both.
    alt = ",".join(f"IP:{n},DNS:{n}" if n.replace(".", "").isdigit() else f"DNS:{n}" for n in names)
    with open(p["server.ext"], "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                f"extendedKeyUsage=serverAuth\nsubjectAltName={alt}\n")

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p["ca.key"], "-out", p["ca.pem"],
            "-days", "2", "-subj", "/CN=Tarsin Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("x509", "-in", p["ca.pem"], "-outform", "der", "-out", p["ca.der"])
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["server.key"], "-out", p["server.csr"],
            "-subj", f"/CN={names[0]}")
    openssl("x509", "-req", "-in", p["server.csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"],
            "-CAcreateserial", "-out", p["server.pem"], "-days", "2", "-extfile", p["server.ext"])
    return p["ca.der"], p["server.pem"], p["server.key"]
