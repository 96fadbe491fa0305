#!/usr/bin/env python3
"""Serves a published tree with Debian's nginx on 127.0.0.1, with a configuration,
pid file, logs and temporary folders of its own; the system's nginx is never touched.

  nginx_server.py start TREE STATE_DIR [--port N] [--prefix /download/desktop-data/]
                  [--tls CERT KEY] [--tls-protocols "TLSv1.2 TLSv1.3"]
      prints the base URL and keeps it in STATE_DIR/url
  nginx_server.py stop STATE_DIR
  nginx_server.py render TREE OUT_DIR [--prefix /download/desktop-data/]
      writes tarsin-http.conf and tarsin-locations.conf for TREE and the prefix into
      OUT_DIR, ready for an include in the http block and in a server block

Also a module: NginxServer(tree, state_dir).start() / .stop() / .requests().
"""
import argparse
import os
import shutil
import signal
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOCATIONS = os.path.join(HERE, "nginx", "tarsin-locations.conf")
HTTP_PART = os.path.join(HERE, "nginx", "tarsin-http.conf")
DEFAULT_PREFIX = "/download/desktop-data/"
LOG_FIELDS = ("request", "status", "bytes_sent", "body_bytes_sent", "range", "cache_control",
              "user_agent", "ssl_protocol", "completion", "connection")

MAIN_CONFIG = """\
# Written by tools/nginx_server.py; everything it needs lives in {state}.
{user}worker_processes 1;
daemon off;
pid {state}/nginx.pid;
lock_file {state}/nginx.lock;
error_log {state}/error.log notice;
events {{ worker_connections 64; }}
http {{
    log_format tarsin "$request\\t$status\\t$bytes_sent\\t$body_bytes_sent\\t$http_range\\t$http_cache_control\\t$http_user_agent\\t$ssl_protocol\\t$request_completion\\t$connection";
    access_log {state}/access.log tarsin;
    client_body_temp_path {state}/tmp/body;
    proxy_temp_path {state}/tmp/proxy;
    fastcgi_temp_path {state}/tmp/fastcgi;
    uwsgi_temp_path {state}/tmp/uwsgi;
    scgi_temp_path {state}/tmp/scgi;
    types {{ }}
    server_tokens off;
    keepalive_timeout 5s;
{http}
    server {{
        listen 127.0.0.1:{port}{ssl};
        server_name localhost;
{tls}
        add_header Cache-Control "no-store" always;
        location / {{ return 404; }}
{locations}
    }}
}}
"""

TLS_CONFIG = """\
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols {protocols};
        ssl_prefer_server_ciphers off;"""


class NginxError(Exception):
    pass


def indent(text, spaces):
    return "\n".join(" " * spaces + line if line else "" for line in text.splitlines())


def regex_escape(path):
    """The path as a literal in an nginx (PCRE) regular expression inside double quotes."""
    return "".join("\\" + c if c in "\\^$.|?*+()[]{}\"" else c for c in path)


def nginx_program():
    # Debian puts nginx in /usr/sbin, which is not on an ordinary user's PATH.
    path = os.environ.get("PATH", "") + os.pathsep + "/usr/sbin" + os.pathsep + "/sbin"
    found = shutil.which("nginx", path=path)
    if not found:
        raise NginxError("nginx is not installed (tools/setup.sh installs nginx-light)")
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _is_our_nginx(pid, config):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return config.encode() in f.read()
    except OSError:
        return False


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return found


def _wait_gone(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            done, _ = os.waitpid(pid, os.WNOHANG)
            if done:
                return True
        except ChildProcessError:
            if not os.path.exists(f"/proc/{pid}") or _is_zombie(pid):
                return True
        time.sleep(0.05)
    return False


def _is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def stop_pid(pid, config):
    """Ends the nginx master of this configuration, and its worker with it."""
    if not _is_our_nginx(pid, config):
        return
    workers = _children(pid)
    os.kill(pid, signal.SIGTERM)
    if not _wait_gone(pid, 10):
        os.kill(pid, signal.SIGKILL)
        _wait_gone(pid, 5)
    for w in workers:
        if _is_our_nginx(w, config):
            os.kill(w, signal.SIGKILL)


def normal_prefix(prefix):
    return "/" + prefix.strip("/") + "/" if prefix.strip("/") else "/"


def render_locations(tree, prefix):
    """tarsin-locations.conf with the base URL's path and the tree's folder filled in."""
    prefix = normal_prefix(prefix)
    if any(c in tree + prefix for c in '"; {}\n\t') or "$" in tree + prefix:
        raise NginxError("the tree's folder and the prefix may not hold spaces, quotes, ;, {, } or $")
    with open(LOCATIONS) as f:
        return (f.read().replace("@PREFIX_REGEX@", regex_escape(prefix))
                .replace("@PREFIX@", prefix).replace("@ROOT@", os.path.abspath(tree)))


def render(tree, out_dir, prefix=DEFAULT_PREFIX):
    """Writes both files for an operator's own nginx; returns their paths."""
    os.makedirs(out_dir, exist_ok=True)
    locations = os.path.join(out_dir, os.path.basename(LOCATIONS))
    http = os.path.join(out_dir, os.path.basename(HTTP_PART))
    text = render_locations(tree, prefix)
    with open(locations, "w") as f:
        f.write(f"# Rendered by tools/nginx_server.py render for {os.path.abspath(tree)}; include it in "
                "the server block.\n" + text)
    shutil.copyfile(HTTP_PART, http)
    return http, locations


class NginxServer:
    def __init__(self, tree, state_dir, port=None, prefix=DEFAULT_PREFIX, tls=None,
                 tls_protocols="TLSv1.2 TLSv1.3"):
        self.tree = os.path.abspath(tree)
        self.state = os.path.abspath(state_dir)
        self.port = port
        self.prefix = normal_prefix(prefix)
        self.tls = tls
        self.tls_protocols = tls_protocols
        self.config = os.path.join(self.state, "nginx.conf")
        self.pid = None

    @property
    def url(self):
        scheme = "https" if self.tls else "http"
        return f"{scheme}://127.0.0.1:{self.port}{self.prefix}"

    @property
    def access_log(self):
        return os.path.join(self.state, "access.log")

    def _parts(self):
        """The directives for the http block and the locations for the server block."""
        with open(HTTP_PART) as f:
            return f.read(), render_locations(self.tree, self.prefix)

    def _write_config(self):
        http, locations = self._parts()
        tls = ""
        if self.tls:
            cert, key = (os.path.abspath(p) for p in self.tls)
            tls = TLS_CONFIG.format(cert=cert, key=key, protocols=self.tls_protocols)
        # Workers run as "nobody" under a root master unless told otherwise, and
        # could not read a tree inside a private folder.
        user = "user root;\n" if os.geteuid() == 0 else ""
        text = MAIN_CONFIG.format(state=self.state, user=user, port=self.port,
                                  ssl=" ssl" if self.tls else "", tls=tls, http=indent(http, 4),
                                  locations=indent(locations, 8))
        with open(self.config, "w") as f:
            f.write(text)

    def start(self, timeout=10):
        os.makedirs(os.path.join(self.state, "tmp"), exist_ok=True)
        fixed = self.port is not None
        for _ in range(1 if fixed else 5):
            if not fixed:
                self.port = free_port()
            self._write_config()
            if self._launch(timeout):
                with open(os.path.join(self.state, "url"), "w") as f:
                    f.write(self.url + "\n")
                return self.url
        raise NginxError(f"nginx did not start; see {self.state}/error.log:\n{self._error_tail()}")

    def _launch(self, timeout):
        out = os.path.join(self.state, "nginx.out")
        pid_file = os.path.join(self.state, "nginx.pid")
        if os.path.exists(pid_file):
            os.unlink(pid_file)
        self.pid = os.posix_spawn(
            nginx_program(), ["nginx", "-p", self.state + "/", "-c", self.config, "-e", self.state + "/error.log"],
            os.environ, setsid=True,
            file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                          (os.POSIX_SPAWN_OPEN, 1, out, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644),
                          (os.POSIX_SPAWN_DUP2, 1, 2)])
        with open(os.path.join(self.state, "master.pid"), "w") as f:
            f.write(f"{self.pid}\n")
        # nginx writes its pid file once it holds the port: a connection alone could
        # reach whoever else listens there.
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            done, _ = os.waitpid(self.pid, os.WNOHANG)
            if done:
                self.pid = None
                return False
            try:
                with open(pid_file) as f:
                    ready = f.read().strip() == str(self.pid)
            except OSError:
                ready = False
            if ready:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                    return True
                except OSError:
                    pass
            time.sleep(0.05)
        self.stop()
        return False

    def _error_tail(self):
        try:
            with open(os.path.join(self.state, "error.log")) as f:
                return "".join(f.readlines()[-5:])
        except OSError:
            return ""

    def stop(self):
        if self.pid is not None:
            stop_pid(self.pid, self.config)
            try:
                os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                pass
            self.pid = None
        else:
            stop_state(self.state)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def requests(self, settle=0.3):
        """The logged requests, once the lines of those just answered have landed."""
        time.sleep(settle)
        return read_access_log(self.access_log)

    def clear_log(self):
        # nginx logs a request just after its last byte went out: give the lines
        # of requests already answered the time to land before they are dropped.
        time.sleep(0.3)
        open(self.access_log, "w").close()


def read_access_log(path):
    """The logged requests, each a dict of LOG_FIELDS; byte counts as integers."""
    entries = []
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                values = line.rstrip("\n").split("\t")
                if len(values) != len(LOG_FIELDS):
                    continue
                e = dict(zip(LOG_FIELDS, values))
                for k in ("status", "bytes_sent", "body_bytes_sent"):
                    e[k] = int(e[k])
                e["path"] = e["request"].split(" ")[1] if " " in e["request"] else ""
                entries.append(e)
    except FileNotFoundError:
        pass
    return entries


def stop_state(state_dir):
    state = os.path.abspath(state_dir)
    try:
        with open(os.path.join(state, "master.pid")) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return False
    stop_pid(pid, os.path.join(state, "nginx.conf"))
    os.unlink(os.path.join(state, "master.pid"))
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(prog="nginx_server.py", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start")
    s.add_argument("tree")
    s.add_argument("state_dir")
    s.add_argument("--port", type=int)
    s.add_argument("--prefix", default=DEFAULT_PREFIX)
    s.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    s.add_argument("--tls-protocols", default="TLSv1.2 TLSv1.3")
    t = sub.add_parser("stop")
    t.add_argument("state_dir")
    r = sub.add_parser("render")
    r.add_argument("tree")
    r.add_argument("out_dir")
    r.add_argument("--prefix", default=DEFAULT_PREFIX)
    args = parser.parse_args(argv)
    if args.command == "render":
        try:
            for path in render(args.tree, args.out_dir, args.prefix):
                print(path)
        except NginxError as e:
            print(e, file=sys.stderr)
            return 1
        return 0
    if args.command == "start":
        server = NginxServer(args.tree, args.state_dir, args.port, args.prefix, args.tls, args.tls_protocols)
        try:
            print(server.start())
        except NginxError as e:
            print(e, file=sys.stderr)
            return 1
        # The server outlives this command; "stop" ends it by its pid.
        return 0
    return 0 if stop_state(args.state_dir) else 1


if __name__ == "__main__":
    sys.exit(main())
