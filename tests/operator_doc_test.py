"""Runs every command of docs/operator.md, in its order, against a throwaway tree, an nginx
that includes the files the guide renders, and a folder standing in for the CDN."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.request

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import nginx_server  # noqa: E402
import publish  # noqa: E402
from publish_test import LAUNCHER, make_tree, pe_image  # noqa: E402

# Commands that cannot run here, by how they begin, and where they run instead.
ELSEWHERE = {
    "sudo nginx -t": "the system's nginx; here the test's own nginx loads the same rendered files",
    "TarsinLauncher.exe --url=": "the demo and tests/system_test.py run the launcher with --url=, "
                                 "tests/signed_list_test.py with --channel=staging",
    "cmake --preset win32 -DTARSIN_SERVER_HOST=": "reconfigures this build; tests/app.cmake compiles the host in",
    "cmake --build --preset win32": "the build every test runs on",
    "cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY=": "tests/keyed_build_test.py runs the line keygen prints",
}


class RenderedNginx(nginx_server.NginxServer):
    """Both rendered trees behind one server, included as the guide shows."""

    def _parts(self):
        etc = os.path.join(self.tree, "etc", "nginx")
        return (f"include {etc}/tarsin/tarsin-http.conf;", f"include {etc}/tarsin/tarsin-locations.conf; include "
                f"{etc}/tarsin-staging/tarsin-locations.conf; access_log {self.state}/combined.log combined;")


class OperatorGuide(unittest.TestCase):
    def test_every_command_runs_as_shown(self):
        with open(os.path.join(ROOT, "docs", "operator.md")) as f:
            lines = [line for lang, body in re.findall(r"^```(\w+)\n(.*?)^```", f.read(), re.S | re.M)
                     if lang in ("sh", "bat") for line in body.splitlines() if line.strip()]
        said, skipped = {}, set()
        with tempfile.TemporaryDirectory() as tmp:
            build, state = os.path.join(tmp, "build"), os.path.join(tmp, "state")
            make_tree(build, {"TarsinLauncher.exe": LAUNCHER, "settings/user.cfg": b"v=1", "data/a.pak": b"a" * 9})
            publish.publish(build, os.path.join(tmp, "srv", "tarsin"), "1.4.1", ["settings/*.cfg"], quiet=True)
            make_tree(build, {"TarsinLauncher.exe": LAUNCHER + b"\0", "data/a.pak": b"b" * 9})
            os.makedirs(os.path.join(tmp, "media", "offline"))
            names = {"path/to/build": build, "/srv/": f"{tmp}/srv/", "/etc/nginx/": f"{tmp}/etc/nginx/",
                     "/media/offline/": f"{tmp}/media/offline/",
                     "cdn:bucket/tarsin": f"{tmp}/remote", "/var/log/nginx/access.log": f"{state}/combined.log"}
            # "python3" is this test's own, which has python3-cryptography (tests/system.cmake
            # picks it), as the guide tells operators whose python3 lacks it.
            os.makedirs(os.path.join(tmp, "bin"))
            os.symlink(sys.executable, os.path.join(tmp, "bin", "python3"))
            env = dict(os.environ, RCLONE_CONFIG=os.path.join(tmp, "rclone.conf"),
                       PATH=os.path.join(tmp, "bin") + os.pathsep + os.environ["PATH"])
            server = RenderedNginx(tmp, state)
            try:
                for line in lines:
                    begin = next((k for k in ELSEWHERE if line.startswith(k)), None)
                    if begin:
                        skipped.add(begin)
                        continue
                    if "https://updates.example.com/" in line and server.pid is None:
                        names["https://updates.example.com/"] = server.start().split("/download/")[0] + "/"
                        with self.assertRaises(OSError):  # a launcher asking for a missing object
                            urllib.request.urlopen(server.url + "o/" + "0" * 64, timeout=10)
                    run = re.sub("|".join(map(re.escape, sorted(names, key=len, reverse=True))),
                                 lambda m: names[m.group(0)], line)
                    done = subprocess.run(["bash", "-c", run], cwd=ROOT, env=env, capture_output=True, text=True,
                                          timeout=120)
                    self.assertEqual(done.returncode, 0, f"{line}\n{done.stdout}{done.stderr}")
                    said[line] = said.get(line, "") + done.stdout + done.stderr
                    if line.startswith("python3 tools/publish.py keygen"):
                        # What the printed cmake line builds (tests/keyed_build_test.py): a launcher with that key.
                        make_tree(build, {"TarsinLauncher.exe": pe_image(list_key=done.stdout.strip()) + b"\0"})
            finally:
                server.stop()
        self.assertEqual(skipped, set(ELSEWHERE))
        curl = "curl -sI https://updates.example.com/download/desktop-data/manifest.txt"
        for begin, expected in [("python3 tools/publish.py publish path/to/build /srv/tarsin --version 1.4.2 --keep "
                                 "'settings/*.cfg' --dry-run", "for players of version 1.4.1: 0 files added, 2 changed"),
                                ("python3 tools/publish.py promote /srv/tarsin-staging /srv/tarsin --dry-run",
                                 "for players of version 1.4.1: 0 files added, 2 changed"),
                                ("python3 tools/publish.py status /srv/tarsin --remote", "list same"),
                                (curl, "Cache-Control: no-cache"), (curl, "Content-Length: "),
                                ('curl -sI "https', "Cache-Control: public, max-age=31536000, immutable"),
                                ("grep -E", f"/download/desktop-data/o/{'0' * 64} HTTP/1.1\" 404"),
                                ("python3 tools/publish.py rollback", "publish.py upload "),
                                ("python3 tools/publish.py resign", "signed version 1.4.3 again"),
                                ("curl -s https", "version\t1.4.2\nversion\t1.4.1\n")]:
            self.assertIn(expected, "".join(v for k, v in said.items() if k.startswith(begin)), begin)


if __name__ == "__main__":
    unittest.main()
