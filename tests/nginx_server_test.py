"""Tests of tools/nginx_server.py: the served tree answers as the launcher needs,
and the server is ours alone to start and stop."""
import hashlib
import os
import socket
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import nginx_server  # noqa: E402
import publish  # noqa: E402


def get(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, dict(r.headers), r.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class ServedTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        build = os.path.join(cls.tmp.name, "build")
        os.makedirs(os.path.join(build, "data"))
        cls.big = bytes(range(256)) * 4096 + b"tail"
        with open(os.path.join(build, "data", "big.pak"), "wb") as f:
            f.write(cls.big)
        with open(os.path.join(build, "ruvok.exe"), "wb") as f:
            f.write(b"MZ")
        cls.tree = os.path.join(cls.tmp.name, "tree")
        publish.publish(build, cls.tree, "7", quiet=True)
        cls.server = nginx_server.NginxServer(cls.tree, os.path.join(cls.tmp.name, "state"))
        cls.url = cls.server.start()
        cls.object = cls.url + "o/" + hashlib.sha256(cls.big).hexdigest()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    def test_the_file_list_is_never_cached(self):
        status, headers, body = get(self.url + "manifest.txt", {"Cache-Control": "no-cache"})
        self.assertEqual(status, 200)
        self.assertEqual(headers["Cache-Control"], "no-cache")
        with open(os.path.join(self.tree, "manifest.txt"), "rb") as f:
            self.assertEqual(body, f.read())

    def test_objects_are_cacheable_for_ever(self):
        status, headers, body = get(self.object)
        self.assertEqual(status, 200)
        self.assertEqual(body, self.big)
        self.assertIn("immutable", headers["Cache-Control"])
        self.assertIn("max-age=31536000", headers["Cache-Control"])
        self.assertEqual(headers["Content-Type"], "application/octet-stream")

    def test_open_ended_ranges(self):
        for offset in (1, 1000, len(self.big) - 1):
            status, headers, body = get(self.object, {"Range": f"bytes={offset}-"})
            self.assertEqual(status, 206, offset)
            self.assertEqual(body, self.big[offset:], offset)
            self.assertEqual(headers["Content-Range"], f"bytes {offset}-{len(self.big) - 1}/{len(self.big)}")
        status, _, _ = get(self.object, {"Range": f"bytes={len(self.big)}-"})
        self.assertEqual(status, 416)

    def test_errors_are_not_cacheable_and_nothing_else_is_served(self):
        for path in ("o/" + "0" * 64, "manifests/7.txt", ".publish.lock", "../", "", "o/"):
            status, headers, _ = get(self.url + path)
            self.assertIn(status, (403, 404), path)
            self.assertNotIn("immutable", headers.get("Cache-Control", ""), path)
        status, _, _ = get(self.url.replace("/download/desktop-data/", "/") + "manifest.txt")
        self.assertEqual(status, 404)

    def test_the_access_log_counts_the_bytes_of_each_request(self):
        self.server.clear_log()
        get(self.object, {"Range": "bytes=100-", "User-Agent": "TarsinLauncher/1"})
        deadline = time.monotonic() + 5
        while True:
            entries = [e for e in self.server.requests(settle=0) if e["user_agent"] == "TarsinLauncher/1"]
            if entries or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        self.assertEqual(len(entries), 1)
        e = entries[0]
        self.assertEqual((e["status"], e["body_bytes_sent"], e["range"], e["user_agent"]),
                         (206, len(self.big) - 100, "bytes=100-", "TarsinLauncher/1"))
        self.assertGreater(e["bytes_sent"], e["body_bytes_sent"])
        self.assertEqual(e["path"], self.object[self.object.index("/download"):])

    def test_everything_of_the_server_lives_in_its_own_folder(self):
        with open(self.server.config) as f:
            config = f.read()
        for system_path in ("/etc/nginx", "/var/log", "/var/lib/nginx", "/run/", "/var/lock"):
            self.assertNotIn(system_path, config)
        self.assertTrue(os.path.exists(os.path.join(self.server.state, "nginx.pid")))
        self.assertTrue(os.path.exists(os.path.join(self.server.state, "error.log")))


class StartAndStop(unittest.TestCase):
    def test_the_command_line_starts_and_stops_by_pid(self):
        with tempfile.TemporaryDirectory() as tmp:
            tree = os.path.join(tmp, "tree")
            os.makedirs(tree)
            state = os.path.join(tmp, "state")
            self.assertEqual(nginx_server.main(["start", tree, state]), 0)
            with open(os.path.join(state, "url")) as f:
                url = f.read().strip()
            port = int(url.split(":")[2].split("/")[0])
            with open(os.path.join(state, "master.pid")) as f:
                pid = int(f.read())
            try:
                self.assertTrue(port_open(port))
                self.assertEqual(get(url + "manifest.txt")[0], 404)
            finally:
                self.assertEqual(nginx_server.main(["stop", state]), 0)
            self.assertFalse(port_open(port))
            self.assertFalse(os.path.exists(f"/proc/{pid}") and not nginx_server._is_zombie(pid))
            self.assertEqual(nginx_server.main(["stop", state]), 1, "nothing left to stop")

    def test_a_port_in_use_is_reported(self):
        with tempfile.TemporaryDirectory() as tmp, socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            server = nginx_server.NginxServer(tmp, os.path.join(tmp, "state"), port=busy.getsockname()[1])
            with self.assertRaises(nginx_server.NginxError) as e:
                server.start(timeout=3)
            self.assertIn("error.log", str(e.exception))
            self.assertIsNone(server.pid)


if __name__ == "__main__":
    unittest.main()
