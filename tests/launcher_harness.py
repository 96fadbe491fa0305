"""What the launcher's end-to-end and window tests share: a Wine prefix, an installation
directory with a copy of the launcher, a published tree on the test server, and the
window probe that reads and presses the window.

Paths come from the environment that tests/app.cmake gives each test: TARSIN_BUILD_DIR
and TARSIN_SOURCE_DIR.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

BUILD = os.path.abspath(os.environ["TARSIN_BUILD_DIR"])
SOURCE = os.path.abspath(os.environ["TARSIN_SOURCE_DIR"])
sys.path.insert(0, os.path.join(SOURCE, "tests", "server"))
from test_server import TestServer  # noqa: E402

LAUNCHER = os.path.join(BUILD, "TarsinLauncher.exe")
PROBE = os.path.join(BUILD, "tests", "window_probe.exe")
STANDIN = os.path.join(BUILD, "tests", "game_standin.exe")
WINE_RUN = os.path.join(SOURCE, "tests", "wine-run.sh")
WORK = os.path.join(BUILD, "app-tests")

PLAY, RETRY, SETTINGS = 100, 101, 102
VK_RETURN = 0x0D

ENGLISH = {
    "connecting": "Connecting to the server...",
    "ready": "The game is up to date.",
    "version": "Version %s",
    "unreachable": "Could not reach the server. Check your internet connection.",
    "relaunch_failed": "The launcher was updated; open it again.",
    "settings": "Settings", "retry": "Retry", "play": "Play",
}
TURKISH = {
    "connecting": "Sunucuya bağlanılıyor...",
    "ready": "Oyun güncel.",
    "version": "Sürüm %s",
    "unreachable": "Sunucuya bağlanılamadı. İnternet bağlantınızı denetleyin.",
    "relaunch_failed": "Launcher güncellendi; yeniden açın.",
    "settings": "Ayarlar", "retry": "Tekrar dene", "play": "Oyna",
}


def run_group(command, env, timeout):
    """(exit code, stdout) of a program run in a process group of its own, the whole group
    ended when it overruns: wine-run.sh would leave its Wine program behind."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return process.returncode, out


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Display:
    """The X display the tests draw on: the test run's own, or one started here."""

    def __init__(self):
        self.process = None

    def ensure(self):
        if os.environ.get("DISPLAY"):
            return
        for n in range(170, 200):
            if os.path.exists("/tmp/.X%d-lock" % n):
                continue
            process = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            if process.poll() is None:
                self.process = process
                os.environ["DISPLAY"] = ":%d" % n
                return
        raise RuntimeError("no X display could be started")

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait()
            del os.environ["DISPLAY"]
            self.process = None


class Prefix:
    """A Wine prefix, and the environment every program started in it gets."""

    def __init__(self, path, dpi=None):
        self.path = path
        self.dpi = dpi

    def env(self, turkish=False):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.path
        env["WINEDEBUG"] = "-all"
        for name in ("LC_ALL", "LC_MESSAGES", "LANGUAGE"):
            env.pop(name, None)
        # Wine takes the user-interface language from LC_ALL even where the system has no
        # such locale installed, and from LANG only where it has.
        env["LANG"] = "tr_TR.UTF-8" if turkish else "C.UTF-8"
        if turkish:
            env["LC_ALL"] = "tr_TR.UTF-8"
        return env

    def ensure(self):
        """Creates the prefix (through wine-run.sh) and sets its DPI once."""
        marker = os.path.join(self.path, ".tarsin-dpi-%s" % self.dpi)
        subprocess.run([WINE_RUN, PROBE, "resources", windows_path(LAUNCHER)], env=self.env(),
                       stdout=subprocess.DEVNULL, check=True, timeout=120)
        if self.dpi and not os.path.exists(marker):
            subprocess.run(["wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                            "REG_DWORD", "/d", str(self.dpi), "/f"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=60)
            self.wait_idle()
            open(marker, "w").close()

    def wait_idle(self, timeout=60):
        """wineserver -w: until every program of this prefix has ended."""
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=timeout)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL, timeout=30)


MAIN_PREFIX = Prefix(os.path.join(BUILD, "wineprefix"))
# Its own prefix: LogPixels is read by every program of a prefix, and "wineserver -w"
# waits for all of them, so neither may be shared with tests of other areas.
DPI144_PREFIX = Prefix(os.path.join(BUILD, "wineprefix-app-144dpi"), dpi=144)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Site:
    """One published tree under the test server: BASE/manifest.txt and BASE/o/<hash>."""

    def __init__(self, server, root, name):
        self.server = server
        self.name = name
        self.dir = os.path.join(root, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "o"))
        self.url = server.url + name + "/"
        self.path = "/" + name + "/"

    def publish(self, files, version="1.0", keep=()):
        """files: (path, bytes) in manifest order."""
        lines = ["KXUPDATE 1", "version\t" + version]
        for path, data in files:
            digest = sha256(data)
            with open(os.path.join(self.dir, "o", digest), "wb") as f:
                f.write(data)
            lines.append("f\t%s\t%d\t%s\t%s" % (digest, len(data), "k" if path in keep else "", path))
        with open(os.path.join(self.dir, "manifest.txt.tmp"), "w", newline="\n") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(os.path.join(self.dir, "manifest.txt.tmp"), os.path.join(self.dir, "manifest.txt"))

    def object_path(self, data):
        return self.path + "o/" + sha256(data)

    def requests(self, suffix=""):
        """The recorded request lines (path, then headers) under this site."""
        return [line.split("\t") for line in self.server.requests(self.path + suffix).splitlines()]

    def fault(self, suffix, mode, n=0, count=None):
        self.server.set_fault(self.path + suffix, mode, n, count)

    def clear_faults(self):
        self.server.clear(self.path)


class Install:
    """An installation directory holding a fresh copy of the launcher."""

    def __init__(self, name, prefix=MAIN_PREFIX, turkish=False):
        self.dir = os.path.join(WORK, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.exe = os.path.join(self.dir, "TarsinLauncher.exe")
        shutil.copyfile(LAUNCHER, self.exe)
        self.prefix = prefix
        self.turkish = turkish
        self.process = None  # the last one started
        self.processes = []

    def file(self, relative):
        return os.path.join(self.dir, *relative.split("/"))

    def read(self, relative):
        try:
            with open(self.file(relative), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write(self, relative, data):
        os.makedirs(os.path.dirname(self.file(relative)), exist_ok=True)
        with open(self.file(relative), "wb") as f:
            f.write(data)

    def add_standin(self, name):
        shutil.copyfile(STANDIN, self.file(name))

    def ran(self, name):
        """What the stand-in recorded ({"cwd": ..., "args": [...]}), or None when it never ran."""
        data = self.read(name + ".ran")
        if data is None:
            return None
        record = {"cwd": None, "args": []}
        for line in data.decode("utf-8").splitlines():
            key, _, value = line.partition("=")
            if key == "cwd":
                record["cwd"] = value
            elif key == "arg":
                record["args"].append(value)
        return record

    def log(self):
        data = self.read("launcher.log")
        return data.decode("utf-8") if data is not None else None

    def start(self, *args):
        self.process = subprocess.Popen([WINE_RUN, self.exe] + list(args), env=self.prefix.env(self.turkish),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        self.processes.append(self.process)
        STARTED.append(self)
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
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()


STARTED = []


def end_all():
    """For tearDownModule: no launcher outlives its test module."""
    for install in STARTED:
        install.end()
    STARTED.clear()


class ProbeError(AssertionError):
    pass


class Window:
    """The launcher window of one installation, through tests/window_probe.cpp."""

    def __init__(self, install):
        self.install = install
        self.exe = windows_path(install.exe)

    def probe(self, *args, timeout=60):
        code, out = run_group([WINE_RUN, PROBE, args[0], self.exe] + [str(a) for a in args[1:]],
                              self.install.prefix.env(), timeout)
        text = out.decode("utf-8", "replace").strip()
        objects = []
        decoder = json.JSONDecoder()
        position = 0
        while position < len(text):
            value, end = decoder.raw_decode(text, position)
            objects.append(value)
            position = end
            while position < len(text) and text[position].isspace():
                position += 1
        return code, objects

    def dump(self, timeout_ms=20000):
        code, objects = self.probe("dump", timeout_ms)
        if code != 0:
            raise ProbeError("no launcher window: %s" % objects)
        return objects[0]

    def wait(self, *conditions, timeout_ms=30000):
        """The window's state once every condition holds (KEY=VALUE or KEY~VALUE)."""
        code, objects = self.probe("wait", timeout_ms, *conditions)
        if code != 0:
            raise ProbeError("%s did not come; last seen: %s" % (conditions, json.dumps(objects, ensure_ascii=False)))
        return objects[0]

    def exists(self):
        return self.probe("dump", 0)[0] == 0

    def gone(self, timeout_ms=20000):
        code, objects = self.probe("gone", timeout_ms)
        return code == 0

    def act(self, *args):
        code, objects = self.probe(*args)
        if code != 0:
            raise ProbeError("%s refused: %s" % (args, objects))
        return objects[0]

    def click(self, control_id):
        return self.act("click", control_id)

    def command(self, control_id):
        return self.act("command", control_id)

    def key(self, vk):
        return self.act("key", vk)

    def close(self):
        code, objects = self.probe("close")
        return code == 0

    def dismiss(self):
        return self.act("dismiss")


def control(state, name):
    for c in state["controls"]:
        if c["name"] == name:
            return c
    raise AssertionError("no control %s in %s" % (name, state))


def rect(state, name):
    r = control(state, name)["rect"]
    return (r["x"], r["y"], r["width"], r["height"])


class ServerFixture:
    """One test server for a test module, serving a directory of its own."""

    def __init__(self, name):
        self.root = os.path.join(WORK, "www-" + name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.server = TestServer(self.root).start()

    def site(self, name):
        return Site(self.server, self.root, name)

    def stop(self):
        self.server.stop()
