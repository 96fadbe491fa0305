"""What the end-to-end tests and the demo share: the build's programs, Wine prefixes
of their own, an X display, a test certificate authority, and the launcher run
under Wine against a server on 127.0.0.1."""
import fcntl
import os
import shutil
import signal
import subprocess
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.abspath(os.environ.get("TARSIN_BUILD_DIR") or os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "TarsinLauncher.exe")
TRUST_ROOT = os.path.join(BUILD, "tests", "trust_root.exe")
STAND_IN = os.path.join(BUILD, "tests", "stand_in.exe")
LAUNCHER_NAME = "TarsinLauncher.exe"

UP_TO_DATE = "The game is up to date."
CANNOT_REACH = "Could not reach the server. Check your internet connection."
INTERRUPTED = "The download was interrupted. Retry to continue where it left off."


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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


class Display:
    """The caller's X display, or an Xvfb of our own when there is none."""

    def __init__(self):
        self.process = None
        self.display = os.environ.get("DISPLAY", "")

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


class WinePrefix:
    """A Wine prefix of our own, so that waiting for or ending its processes
    (wineserver -w / -k) touches nobody else's."""

    def __init__(self, path, display):
        self.path = os.path.abspath(path)
        self.display = display

    def env(self):
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   DISPLAY=self.display)
        return env

    def create(self):
        os.makedirs(self.path, exist_ok=True)
        ready = os.path.join(self.path, ".tarsin-ready")
        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(ready):
                subprocess.run(["wineboot", "-i"], env=self.env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=180, check=True)
                self.wait()
                open(ready, "w").close()
        return self

    def run(self, program, *args, timeout=60):
        return subprocess.run(["wine", program, *args], env=self.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)

    def start(self, program, *args, cwd=None):
        return subprocess.Popen(["wine", program, *args], env=self.env(), cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait(self, timeout=120):
        """Until every program of the prefix has ended (a relaunched launcher too)."""
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=timeout)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def trust(self, authority_der):
        result = self.run(TRUST_ROOT, windows_path(authority_der))
        if result.returncode != 0:
            raise RuntimeError("trust_root failed: " + result.stdout.decode(errors="replace"))


class Install:
    """An installation folder holding only the launcher, as a player gets it."""

    def __init__(self, path, launcher=LAUNCHER):
        self.path = os.path.abspath(path)
        os.makedirs(self.path, exist_ok=True)
        shutil.copyfile(launcher, self.exe)

    @property
    def exe(self):
        return os.path.join(self.path, LAUNCHER_NAME)

    def file(self, relative):
        return os.path.join(self.path, *relative.split("/"))

    def read(self, relative):
        with open(self.file(relative), "rb") as f:
            return f.read()

    def log(self):
        try:
            with open(self.file("launcher.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def state(self):
        """The records of "data-state.txt"; a torn or malformed file raises ValueError."""
        return parse_state(self.read("data-state.txt"))

    def files(self):
        found = set()
        for folder, _, names in os.walk(self.path):
            for n in names:
                found.add(os.path.relpath(os.path.join(folder, n), self.path).replace(os.sep, "/"))
        return found


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


def run_launcher(prefix, install, url, timeout=180):
    """Runs the launcher unattended until it and any launcher it restarted have ended.
    Returns the first process's exit code and the seconds taken."""
    started = time.monotonic()
    process = prefix.start(install.exe, f"--url={url}", "--exit-when-done", cwd=install.path)
    try:
        code = process.wait(timeout)
    finally:
        stop_process(process)
    # A launcher that replaced itself has started its successor before it ended.
    if not wait_until(lambda: not launcher_processes(install), timeout):
        raise TimeoutError(f"a launcher in {install.path} is still running")
    return code, time.monotonic() - started


def wait_until(condition, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return False


def kill_hard(process):
    """SIGKILL: the launcher gets no chance to tidy up."""
    os.kill(process.pid, signal.SIGKILL)
    process.wait()


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
