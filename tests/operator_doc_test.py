"""Runs every command of docs/operator.md, in its order, against a throwaway tree, an nginx
that includes the files the guide renders, and a folder standing in for the CDN."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import nginx_server  # noqa: E402
import publish  # noqa: E402
from publish_test import LAUNCHER, make_tree  # noqa: E402

# Commands that cannot run here, and where they run instead.
ELSEWHERE = {
    "sudo nginx -t": "the system's nginx; here the test's own nginx loads the same rendered files",
    "TarsinLauncher.exe --url=": "the demo and tests/system_test.py run the launcher with --url=",
    "cmake --preset win32 -DTARSIN_SERVER_HOST=": "reconfigures this build; tests/app.cmake compiles the host in",
    "cmake --build --preset win32": "the build every test runs on",
}


def commands(text):
    for language, body in re.findall(r"^```(\w+)\n(.*?)^```", text, re.S | re.M):
        if language in ("sh", "bat"):
            yield from (line for line in body.splitlines() if line.strip())


class RenderedNginx(nginx_server.NginxServer):
    """The two rendered trees behind one server, as the guide includes them."""

    def _write_config(self):
        etc = os.path.join(self.tree, "etc", "nginx")
        with open(self.config, "w") as f:
            f.write(nginx_server.MAIN_CONFIG.format(
                state=self.state, user="user root;\n" if os.geteuid() == 0 else "", port=self.port, ssl="",
                tls="", http=f"    include {etc}/tarsin/tarsin-http.conf;",
                locations=f"        include {etc}/tarsin/tarsin-locations.conf;\n"
                          f"        include {etc}/tarsin-staging/tarsin-locations.conf;\n"
                          f"        access_log {self.state}/combined.log combined;"))


class OperatorGuide(unittest.TestCase):
    def test_every_command_runs_as_shown(self):
        with open(os.path.join(ROOT, "docs", "operator.md")) as f:
            lines = list(commands(f.read()))
        with tempfile.TemporaryDirectory() as tmp:
            build, state = os.path.join(tmp, "build"), os.path.join(tmp, "state")
            make_tree(build, {"TarsinLauncher.exe": LAUNCHER, "settings/user.cfg": b"v=1", "data/a.pak": b"a" * 9})
            publish.publish(build, os.path.join(tmp, "srv", "tarsin"), "1.4.1", ["settings/*.cfg"], quiet=True)
            make_tree(build, {"TarsinLauncher.exe": LAUNCHER + b"\0", "data/a.pak": b"b" * 9})
            names = {"path/to/build": build, "/srv/": f"{tmp}/srv/", "/etc/nginx/": f"{tmp}/etc/nginx/",
                     "cdn:bucket/tarsin": f"{tmp}/remote", "/var/log/nginx/access.log": f"{state}/combined.log"}
            env = dict(os.environ, RCLONE_CONFIG=os.path.join(tmp, "rclone.conf"))
            server, out, skipped = RenderedNginx(tmp, state), {}, set()
            try:
                for line in lines:
                    reason = next((k for k in ELSEWHERE if line.startswith(k)), None)
                    if reason:
                        skipped.add(reason)
                        continue
                    if "https://updates.example.com/" in line and server.pid is None:
                        names["https://updates.example.com/"] = server.start().split("/download/")[0] + "/"
                        with self.assertRaises(urllib.error.HTTPError):  # a launcher meeting a missing object
                            urllib.request.urlopen(server.url + "o/" + "0" * 64, timeout=10)
                    shown = re.sub("|".join(map(re.escape, sorted(names, key=len, reverse=True))),
                                   lambda m: names[m.group(0)], line)
                    done = subprocess.run(["bash", "-c", shown], cwd=ROOT, env=env, capture_output=True,
                                          text=True, timeout=120)
                    self.assertEqual(done.returncode, 0, f"{line}\n{done.stdout}{done.stderr}")
                    out.setdefault(line, []).append(done.stdout + done.stderr)
            finally:
                server.stop()
        self.assertEqual(skipped, set(ELSEWHERE))
        said = {k: "".join(v) for k, v in out.items()}
        curl = "curl -sI https://updates.example.com/download/desktop-data/manifest.txt"
        for start, expected in [("python3 tools/publish.py publish path/to/build /srv/tarsin --version 1.4.2 --keep "
                                 "'settings/*.cfg' --dry-run", "for players of version 1.4.1: 0 files added, 2 changed"),
                                (curl, "Cache-Control: no-cache"), (curl, "Content-Length: "),
                                ('curl -sI "https', "Cache-Control: public, max-age=31536000, immutable"),
                                ("grep -E", f"/download/desktop-data/o/{'0' * 64} HTTP/1.1\" 404"),
                                ("python3 tools/publish.py rollback", "publish.py upload "),
                                ("curl -s https", "version\t1.4.2\nversion\t1.4.1\n")]:
            self.assertIn(expected, "".join(v for k, v in said.items() if k.startswith(start)), start)

if __name__ == "__main__":
    unittest.main()
