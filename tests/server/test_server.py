#!/usr/bin/env python3
"""The integration tests' web server: serves a directory over HTTP/1.1 on
127.0.0.1, records requests, and misbehaves on request.

Command line:
  test_server.py start STATE_DIR   serve STATE_DIR/www in a detached process; writes
                                   STATE_DIR/url and STATE_DIR/pid once it listens
  test_server.py stop STATE_DIR    end that process (and only it) and wait for it

From Python:
  with TestServer(www_dir) as server: ... server.url, server.requests(prefix), ...
  server.site(name): a published tree of its own under the server (Site)

Control requests (never recorded), answered with 200 and a plain-text body:
  /_ctl/requests?prefix=P   one recorded request per line: the path, then TAB and
                            "Name: value" for each header, in the order received
  /_ctl/clear?prefix=P      forget the requests and faults whose path starts with P
  /_ctl/fault?path=X&mode=M&n=N[&count=K][&after=A]
                            misbehave on GET X, for the next K requests (default all)
                            once A more have been answered as usual (default 0):
     status       answer with status N
     ignore_range answer 200 with the whole object whatever the Range header
     close_after  send N body bytes, then close the connection cleanly
     reset_after  send N body bytes, then reset the connection
     corrupt      flip the bits of the byte at object offset N
     slow         sleep N milliseconds before each 64 KiB
     overlong     send N bytes more than the object holds (Content-Length says so);
                  N = 0: no Content-Length and no end, bounded by 64 MiB or 30 s
     chunked      send the body in chunks (Transfer-Encoding: chunked, no Content-Length)
     chunked_cut  the same, but close the connection cleanly after N body bytes, at the
                  end of a chunk and before the last (empty) chunk
  /_ctl/ping                "pong"
"""

import hashlib
import http.server
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import publish  # noqa: E402

CHUNK = 65536
ENDLESS_LIMIT_BYTES = 64 * 1024 * 1024
ENDLESS_LIMIT_SECONDS = 30.0
IDLE_EXIT_SECONDS = 3600.0  # a server left behind by a killed run ends by itself
MODES = {"status", "ignore_range", "close_after", "reset_after", "corrupt", "slow", "overlong", "chunked",
         "chunked_cut"}


class Fault:
    def __init__(self, mode, n, count, after=0):
        self.mode = mode
        self.n = n
        self.count = count  # None: every request
        self.after = after  # requests still answered as usual first


class State:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.Lock()
        self.requests = []  # (path, [(name, value)])
        self.faults = {}    # path -> Fault
        self.last_activity = time.monotonic()

    def record(self, path, headers):
        with self.lock:
            self.requests.append((path, headers))
            self.last_activity = time.monotonic()

    def take_fault(self, path):
        with self.lock:
            fault = self.faults.get(path)
            if fault is None:
                return None
            if fault.after > 0:
                fault.after -= 1
                return None
            if fault.count is not None:
                fault.count -= 1
                if fault.count <= 0:
                    del self.faults[path]
            return fault

    def set_fault(self, path, mode, n, count=None, after=0):
        if mode not in MODES:
            raise ValueError("unknown mode " + mode)
        with self.lock:
            self.faults[path] = Fault(mode, int(n), None if count is None else int(count), int(after))

    def clear(self, prefix):
        with self.lock:
            self.requests = [r for r in self.requests if not r[0].startswith(prefix)]
            for path in [p for p in self.faults if p.startswith(prefix)]:
                del self.faults[path]

    def listing(self, prefix):
        with self.lock:
            lines = []
            for path, headers in self.requests:
                if path.startswith(prefix):
                    lines.append("\t".join([path] + ["%s: %s" % h for h in headers]))
            return "".join(line + "\n" for line in lines)

    def local_file(self, url_path):
        parts = [p for p in urllib.parse.unquote(url_path).split("/") if p]
        if any(p in (".", "..") or "\\" in p for p in parts):
            return None
        local = os.path.join(self.root, *parts)
        return local if os.path.isfile(local) else None


def parse_range(value, size):
    """(start, end exclusive) of a single "bytes=a-b" or "bytes=a-" range, or None
    when the header is not one; raises ValueError for an unsatisfiable range."""
    if not value or not value.startswith("bytes=") or "," in value:
        return None
    first, sep, last = value[6:].strip().partition("-")
    if not sep or not first.isdigit() or (last and not last.isdigit()):
        return None
    start = int(first)
    end = size if not last else min(int(last) + 1, size)
    if start >= size or end <= start:
        raise ValueError
    return start, end


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TarsinTestServer/1"
    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        state = self.server.state
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/_ctl/"):
            self.control(state, url.path, urllib.parse.parse_qs(url.query))
            return
        state.record(self.path, list(self.headers.items()))
        fault = state.take_fault(url.path)
        local = state.local_file(url.path)

        if fault is not None and fault.mode == "status":
            self.simple(fault.n, "fault\n")
            return
        if local is None:
            self.simple(404, "not found\n")
            return
        with open(local, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            start, end, status = 0, size, 200
            if fault is None or fault.mode != "ignore_range":
                try:
                    wanted = parse_range(self.headers.get("Range"), size)
                except ValueError:
                    self.simple(416, "", [("Content-Range", "bytes */%d" % size)])
                    return
                if wanted is not None:
                    (start, end), status = wanted, 206
            self.send_object(f, size, start, end, status, fault)

    def simple(self, status, body, extra=()):
        data = body.encode()
        self.send_response(status)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_object(self, f, size, start, end, status, fault):
        mode = fault.mode if fault else None
        n = fault.n if fault else 0
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        if mode == "overlong" and n == 0:
            self.send_header("Connection", "close")
            self.close_connection = True
        elif mode in ("chunked", "chunked_cut"):
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(end - start + (n if mode == "overlong" else 0)))
        self.end_headers()
        self.wfile.flush()

        try:
            if mode is None or mode == "ignore_range":
                if end > start:
                    self.connection.sendfile(f, start, end - start)
                return
            limit = end
            if mode in ("close_after", "reset_after", "chunked_cut"):
                limit = min(end, start + n)
            self.stream(f, start, limit, fault)
            if mode == "chunked":
                self.connection.sendall(b"0\r\n\r\n")
            elif mode == "overlong":
                self.stream_extra(n)
            elif mode in ("close_after", "chunked_cut"):
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_WR)
            elif mode == "reset_after":
                self.close_connection = True
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()
        except (BrokenPipeError, ConnectionResetError, OSError):
            self.close_connection = True

    def stream(self, f, start, limit, fault):
        f.seek(start)
        offset = start
        while offset < limit:
            if fault.mode == "slow":
                time.sleep(fault.n / 1000.0)
            block = bytearray(f.read(min(CHUNK, limit - offset)))
            if not block:
                break
            if fault.mode == "corrupt" and offset <= fault.n < offset + len(block):
                block[fault.n - offset] ^= 0xFF
            offset += len(block)
            if fault.mode in ("chunked", "chunked_cut"):
                block[:0] = b"%x\r\n" % len(block)
                block += b"\r\n"
            self.connection.sendall(block)

    def stream_extra(self, n):
        filler = bytes(range(256)) * (CHUNK // 256)
        if n > 0:
            while n > 0:
                self.connection.sendall(filler[: min(n, CHUNK)])
                n -= min(n, CHUNK)
            return
        sent, started = 0, time.monotonic()
        while sent < ENDLESS_LIMIT_BYTES and time.monotonic() - started < ENDLESS_LIMIT_SECONDS:
            self.connection.sendall(filler)
            sent += len(filler)
        self.connection.shutdown(socket.SHUT_WR)

    def control(self, state, path, query):
        def arg(name, default=None):
            values = query.get(name)
            return values[0] if values else default

        try:
            if path == "/_ctl/ping":
                body = "pong\n"
            elif path == "/_ctl/requests":
                body = state.listing(arg("prefix", "/"))
            elif path == "/_ctl/clear":
                state.clear(arg("prefix", "/"))
                body = "ok\n"
            elif path == "/_ctl/fault":
                state.set_fault(arg("path"), arg("mode"), arg("n", "0"), arg("count"), arg("after", "0"))
                body = "ok\n"
            else:
                self.simple(404, "unknown control\n")
                return
        except (TypeError, ValueError) as e:
            self.simple(400, "bad control request: %s\n" % e)
            return
        self.simple(200, body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # Clients that go away mid-body are the tests' daily bread, not news.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


class TestServer:
    """The server inside this process, on a thread: for Python tests."""

    def __init__(self, root):
        os.makedirs(root, exist_ok=True)
        self.state = State(root)
        self.httpd = None
        self.thread = None

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    def start(self):
        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.httpd.state = self.state
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.thread.join()
            self.httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def requests(self, prefix="/"):
        return self.state.listing(prefix)

    def set_fault(self, path, mode, n=0, count=None, after=0):
        self.state.set_fault(path, mode, n, count, after)

    def clear(self, prefix="/"):
        self.state.clear(prefix)

    def site(self, name):
        return Site(self, name)


class Site:
    """One published tree under a TestServer, at BASE/manifest.txt and BASE/o/<hash>,
    with its own requests and faults."""

    def __init__(self, server, name):
        self.server = server
        self.dir = os.path.join(server.state.root, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "o"))
        self.path = "/" + name + "/"
        self.url = server.url + name + "/"

    def publish(self, files, version="1.0", keep=()):
        """files: (path, bytes) in manifest order; keep: the paths flagged "k"."""
        entries = []
        for path, data in files:
            digest = hashlib.sha256(data).hexdigest()
            with open(os.path.join(self.dir, "o", digest), "wb") as f:
                f.write(data)
            entries.append(publish.Entry(digest, len(data), "k" if path in keep else "", path))
        write_atomically(os.path.join(self.dir, "manifest.txt"), publish.format_manifest(version, entries))

    def requests(self, suffix=""):
        """The recorded request lines under this site: the path, then its headers."""
        return [line.split("\t") for line in self.server.requests(self.path + suffix).splitlines()]

    def fault(self, suffix, mode, n=0, count=None, after=0):
        self.server.set_fault(self.path + suffix, mode, n, count, after)

    def clear_faults(self):
        self.server.clear(self.path)


def write_atomically(path, text):
    with open(path + ".tmp", "wb" if isinstance(text, bytes) else "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def serve(state_dir):
    """The detached child: serve until SIGTERM, or until idle for an hour."""
    server = TestServer(os.path.join(state_dir, "www"))
    server.start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: done.set())
    write_atomically(os.path.join(state_dir, "pid"), "%d\n" % os.getpid())
    write_atomically(os.path.join(state_dir, "url"), server.url + "\n")
    while not done.wait(5.0):
        if time.monotonic() - server.state.last_activity > IDLE_EXIT_SECONDS:
            break
    server.stop()
    for name in ("url", "pid"):
        try:
            if name == "url" or open(os.path.join(state_dir, name)).read().strip() == str(os.getpid()):
                os.remove(os.path.join(state_dir, name))
        except OSError:
            pass


def serves(pid):
    """Whether pid is this script serving; a process that has ended shows no command line."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    script = os.path.basename(__file__).encode()
    return any(a.endswith(script) for a in argv) and b"serve" in argv


def our_server_pid(state_dir):
    """The pid recorded in STATE_DIR, if that process is still this script serving it."""
    try:
        pid = int(open(os.path.join(state_dir, "pid")).read().strip())
    except (OSError, ValueError):
        return None
    return pid if serves(pid) else None


def stop(state_dir):
    pid = our_server_pid(state_dir)
    if pid is not None:
        os.kill(pid, signal.SIGTERM)
        # The server removes its pid file before it has ended: wait for the process itself.
        deadline = time.monotonic() + 10.0
        while serves(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if serves(pid):
            os.kill(pid, signal.SIGKILL)
            while serves(pid):
                time.sleep(0.05)
    for name in ("url", "pid"):
        try:
            os.remove(os.path.join(state_dir, name))
        except OSError:
            pass
    return 0


def start(state_dir):
    state_dir = os.path.abspath(state_dir)
    os.makedirs(os.path.join(state_dir, "www"), exist_ok=True)
    stop(state_dir)  # a server left by an earlier run of this build
    with open(os.path.join(state_dir, "server.log"), "ab") as log:
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", state_dir],
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                 start_new_session=True, close_fds=True)
    url_file = os.path.join(state_dir, "url")
    deadline = time.monotonic() + 15.0
    while time.monotonic() < deadline:
        if child.poll() is not None:
            sys.stderr.write("test server exited with %s; see %s/server.log\n" % (child.returncode, state_dir))
            return 1
        if os.path.exists(url_file):
            print(open(url_file).read().strip())
            return 0
        time.sleep(0.05)
    child.kill()
    child.wait()
    sys.stderr.write("test server did not start listening\n")
    return 1


def main(argv):
    if len(argv) == 3 and argv[1] in ("start", "stop", "serve"):
        command, state_dir = argv[1], argv[2]
        if command == "serve":
            serve(state_dir)
            return 0
        return start(state_dir) if command == "start" else stop(state_dir)
    sys.stderr.write("usage: test_server.py start|stop STATE_DIR\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
