"""Tests of tools/nginx_server.py: the served tree answers as the launcher needs,
and the server is ours alone to start and stop."""
import hashlib
import http.client
import os
import re
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


def get(url, headers=None, method="GET"):
    request = urllib.request.Request(url, headers=headers or {}, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def cache_rule(headers):
    """Every Cache-Control line of an answer, or None."""
    lines = headers.get_all("Cache-Control")
    return ", ".join(lines) if lines else None


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
        cls.addClassCleanup(cls.tmp.cleanup)
        build = os.path.join(cls.tmp.name, "build")
        os.makedirs(os.path.join(build, "data"))
        cls.big = bytes(range(256)) * 4096 + b"tail"
        with open(os.path.join(build, "data", "big.pak"), "wb") as f:
            f.write(cls.big)
        with open(os.path.join(build, "ruvok.exe"), "wb") as f:
            f.write(b"MZ")
        cls.tree = os.path.join(cls.tmp.name, "tree")
        publish.publish(build, cls.tree, "7", quiet=True)
        cls.hash = hashlib.sha256(cls.big).hexdigest()
        # Files under o/ that are not objects: one being written, and names an object never has.
        for name in (".tmp-x1y2", cls.hash.upper(), cls.hash + ".part", cls.hash[:63]):
            with open(os.path.join(cls.tree, "o", name), "wb") as f:
                f.write(cls.big)
        os.makedirs(os.path.join(cls.tree, "s"))
        for name in (cls.hash, ".tmp-" + cls.hash):
            with open(os.path.join(cls.tree, "s", name), "wb") as f:
                f.write(b"KXSIGNED 1\n")
        cls.server = nginx_server.NginxServer(cls.tree, os.path.join(cls.tmp.name, "state"))
        cls.addClassCleanup(cls.server.stop)
        cls.url = cls.server.start()
        cls.object = cls.url + "o/" + hashlib.sha256(cls.big).hexdigest()

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

    def test_only_what_describes_the_content_may_be_cached(self):
        object_tag = get(self.object)[1]["ETag"]
        list_tag = get(self.url + "manifest.txt")[1]["ETag"]
        forever, h = "public, max-age=31536000, immutable", self.hash
        cases = [
            ("an object", "o/" + h, {}, "GET", 200, forever),
            ("a range", "o/" + h, {"Range": "bytes=5-"}, "GET", 206, None),
            ("an object revalidated", "o/" + h, {"If-None-Match": object_tag}, "GET", 304, forever),
            ("the list", "manifest.txt", {}, "GET", 200, "no-cache"),
            ("the list revalidated", "manifest.txt", {"If-None-Match": list_tag}, "GET", 304, "no-cache"),
            ("a statement", "s/" + h, {}, "GET", 200, forever),
            ("a missing statement", "s/" + "0" * 64, {}, "GET", 404, "no-store"),
            ("a statement being uploaded", "s/.tmp-" + h, {}, "GET", 404, "no-store"),
            ("a missing object", "o/" + "0" * 64, {}, "GET", 404, "no-store"),
            ("a range past the end", "o/" + h, {"Range": f"bytes={len(self.big)}-"}, "GET", 416, "no-store"),
            ("a POST", "o/" + h, {}, "POST", 405, "no-store"),
            ("a half-written object", "o/.tmp-x1y2", {}, "GET", 404, "no-store"),
            ("an upper-case name", "o/" + h.upper(), {}, "GET", 404, "no-store"),
            ("a partial download's name", "o/" + h + ".part", {}, "GET", 404, "no-store"),
            ("63 digits", "o/" + h[:63], {}, "GET", 404, "no-store"),
            ("the objects' folder", "o/", {}, "GET", 404, "no-store"),
            ("an archived list", "manifests/7.txt", {}, "GET", 404, "no-store"),
            ("the lock", ".publish.lock", {}, "GET", 404, "no-store"),
            ("the base", "", {}, "GET", 404, "no-store"),
        ]
        for name, path, headers, method, status, cache in cases:
            with self.subTest(name):
                got, answer, _ = get(self.url + path, headers, method)
                self.assertEqual((got, cache_rule(answer)), (status, cache))
        served = os.path.join(self.tree, "manifest.txt")
        os.rename(served, served + ".away")
        try:
            got, answer, _ = get(self.url + "manifest.txt")
        finally:
            os.rename(served + ".away", served)
        self.assertEqual((got, cache_rule(answer)), (404, "no-store"), "a list not uploaded yet")
        got, answer, _ = get(self.url.replace("/download/desktop-data/", "/") + "manifest.txt")
        self.assertEqual((got, cache_rule(answer)), (404, "no-store"))

    def test_one_connection_carries_the_largest_install(self):
        # The smallest line a file list can hold, and the limit of the list's size.
        smallest = len(publish.format_manifest("", [publish.Entry("0" * 64, 0, "", "x")])) - len("KXUPDATE 1\nversion\t\n")
        with open(self.server.config) as f:
            limits = [int(n) for n in re.findall(r"keepalive_requests (\d+);", f.read())]
        self.assertEqual(len(limits), 3, "the locations of the list, the statements and the objects")
        self.assertGreaterEqual(min(limits), publish.MANIFEST_LIMIT // smallest + 1)
        # nginx's default ends a connection after 1,000 requests.
        self.server.clear_log()
        port = int(self.url.split(":")[2].split("/")[0])
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        small = "/download/desktop-data/o/" + hashlib.sha256(b"MZ").hexdigest()
        try:
            closing = 0
            for path in ["/download/desktop-data/manifest.txt"] + [small] * 1100:
                connection.request("GET", path)
                answer = connection.getresponse()
                answer.read()
                closing += answer.will_close
        finally:
            connection.close()
        self.assertEqual(closing, 0)
        deadline = time.monotonic() + 5
        while len(logged := self.server.requests(settle=0)) < 1101 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(logged), 1101)
        self.assertEqual(len({e["connection"] for e in logged}), 1)

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
