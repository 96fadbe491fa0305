#!/usr/bin/env python3
"""Checks of the test server itself: the other tests trust what it serves and records."""

import http.client
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_server  # noqa: E402

CONTENT = bytes((i * 7 + 3) % 256 for i in range(300000))


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.dir.name, "site", "o"))
        with open(os.path.join(self.dir.name, "site", "o", "obj"), "wb") as f:
            f.write(CONTENT)
        self.server = test_server.TestServer(self.dir.name).start()
        self.port = self.server.httpd.server_address[1]

    def tearDown(self):
        self.server.stop()
        self.dir.cleanup()

    def get(self, path, headers=None, conn=None):
        own = conn is None
        conn = conn or http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            conn.request("GET", path, headers=headers or {})
            response = conn.getresponse()
            return response, response.read()
        finally:
            if own:
                conn.close()

    def control(self, command, **query):
        response, body = self.get("/_ctl/" + command + "?" + urllib.parse.urlencode(query))
        self.assertEqual(response.status, 200, body)
        return body.decode()

    def test_serves_files_and_byte_ranges(self):
        cases = [
            ({}, 200, CONTENT, None),
            ({"Range": "bytes=1000-"}, 206, CONTENT[1000:], "bytes 1000-299999/300000"),
            ({"Range": "bytes=299999-"}, 206, CONTENT[299999:], "bytes 299999-299999/300000"),
            ({"Range": "bytes=10-19"}, 206, CONTENT[10:20], "bytes 10-19/300000"),
            ({"Range": "bytes=300000-"}, 416, b"", "bytes */300000"),
            ({"Range": "lines=1-"}, 200, CONTENT, None),
        ]
        for headers, status, body, content_range in cases:
            response, got = self.get("/site/o/obj", headers)
            self.assertEqual(response.status, status, headers)
            self.assertEqual(got, body, headers)
            self.assertEqual(response.getheader("Content-Range"), content_range, headers)
        for path in ["/site/o/none", "/site/o", "/site/../site/o/obj", "/%2e%2e/etc/passwd"]:
            self.assertEqual(self.get(path)[0].status, 404, path)

    def test_keeps_the_connection_alive(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        for _ in range(3):
            response, body = self.get("/site/o/obj", conn=conn)
            self.assertEqual(body, CONTENT)
        self.assertEqual(self.control("requests", prefix="/site/").count("\n"), 3)

    def test_records_requests_with_their_headers_but_not_control_ones(self):
        self.get("/site/o/obj", {"Range": "bytes=5-", "X-Test": "a b"})
        self.get("/other/x")
        lines = self.control("requests", prefix="/site/").splitlines()
        self.assertEqual(len(lines), 1)
        fields = lines[0].split("\t")
        self.assertEqual(fields[0], "/site/o/obj")
        self.assertIn("Range: bytes=5-", fields)
        self.assertIn("X-Test: a b", fields)
        self.assertEqual(self.control("requests", prefix="/").count("\n"), 2)

        self.control("fault", path="/site/o/obj", mode="status", n=500)
        self.control("clear", prefix="/site/")
        self.assertEqual(self.control("requests", prefix="/site/"), "")
        self.assertEqual(self.get("/site/o/obj")[0].status, 200)  # the fault went too
        self.assertEqual(self.control("requests", prefix="/other/").count("\n"), 1)

    def test_a_counted_fault_ends_after_its_count(self):
        self.control("fault", path="/site/o/obj", mode="status", n=503, count=2)
        statuses = [self.get("/site/o/obj")[0].status for _ in range(3)]
        self.assertEqual(statuses, [503, 503, 200])
        self.control("fault", path="/site/o/obj", mode="status", n=503, count=1, after=2)
        statuses = [self.get("/site/o/obj")[0].status for _ in range(4)]
        self.assertEqual(statuses, [200, 200, 503, 200])

    def test_faults_that_change_the_body(self):
        self.control("fault", path="/site/o/obj", mode="ignore_range")
        response, body = self.get("/site/o/obj", {"Range": "bytes=100-"})
        self.assertEqual((response.status, body), (200, CONTENT))

        self.control("fault", path="/site/o/obj", mode="corrupt", n=200000)
        response, body = self.get("/site/o/obj", {"Range": "bytes=100000-"})
        expected = bytearray(CONTENT[100000:])
        expected[100000] ^= 0xFF
        self.assertEqual(body, bytes(expected))

        self.control("fault", path="/site/o/obj", mode="overlong", n=1000)
        response, body = self.get("/site/o/obj")
        self.assertEqual(len(body), len(CONTENT) + 1000)
        self.assertEqual(body[: len(CONTENT)], CONTENT)

        self.control("fault", path="/site/o/obj", mode="slow", n=30)
        started = time.monotonic()
        self.assertEqual(self.get("/site/o/obj")[1], CONTENT)
        self.assertGreaterEqual(time.monotonic() - started, 0.15)  # 5 blocks of 64 KiB

    def test_an_endless_body_is_bounded(self):
        saved = test_server.ENDLESS_LIMIT_BYTES
        test_server.ENDLESS_LIMIT_BYTES = 1 << 20
        try:
            self.control("fault", path="/site/o/obj", mode="overlong", n=0)
            response, body = self.get("/site/o/obj")
            self.assertIsNone(response.getheader("Content-Length"))
            self.assertEqual(len(body), len(CONTENT) + (1 << 20))
        finally:
            test_server.ENDLESS_LIMIT_BYTES = saved

    def raw_body(self, path):
        """Everything after the headers, and how the connection ended."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path).encode())
        data, ending = b"", "closed"
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            ending = "reset"
        s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        return head, body, ending

    def test_connections_that_end_early(self):
        self.control("fault", path="/site/o/obj", mode="close_after", n=70000)
        head, body, ending = self.raw_body("/site/o/obj")
        self.assertIn(b"Content-Length: 300000", head)
        self.assertEqual((body, ending), (CONTENT[:70000], "closed"))

        self.control("fault", path="/site/o/obj", mode="reset_after", n=70000)
        head, body, ending = self.raw_body("/site/o/obj")
        self.assertEqual(ending, "reset")
        self.assertLessEqual(len(body), 70000)

    def test_chunked_bodies_whole_and_cut_before_the_last_chunk(self):
        self.control("fault", path="/site/o/obj", mode="chunked")
        response, body = self.get("/site/o/obj")
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        self.assertIsNone(response.getheader("Content-Length"))
        self.assertEqual(body, CONTENT)

        self.control("fault", path="/site/o/obj", mode="chunked_cut", n=70000)
        head, body, ending = self.raw_body("/site/o/obj")
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertNotIn(b"Content-Length", head)
        self.assertEqual(body, b"10000\r\n" + CONTENT[:65536] + b"\r\n1170\r\n" + CONTENT[65536:70000] + b"\r\n")
        self.assertEqual(ending, "closed")

    def test_refuses_bad_control_requests(self):
        for query in ["fault?path=/x&mode=nonsense", "fault?path=/x&mode=slow&n=abc", "nothing"]:
            self.assertIn(self.get("/_ctl/" + query)[0].status, (400, 404), query)


class CommandLineTest(unittest.TestCase):
    def test_start_and_stop_by_pid(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "test_server.py")
        with tempfile.TemporaryDirectory() as state:
            out = subprocess.run([sys.executable, script, "start", state], capture_output=True, text=True,
                                 timeout=30, check=True)
            url = open(os.path.join(state, "url")).read().strip()
            pid = int(open(os.path.join(state, "pid")).read())
            self.assertEqual(out.stdout.strip(), url)
            self.assertTrue(url.startswith("http://127.0.0.1:") and url.endswith("/"))
            try:
                port = int(url.rsplit(":", 1)[1].rstrip("/"))
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                conn.request("GET", "/_ctl/ping")
                self.assertEqual(conn.getresponse().read(), b"pong\n")
                conn.close()
            finally:
                subprocess.run([sys.executable, script, "stop", state], timeout=30, check=True)
            self.assertFalse(os.path.exists("/proc/%d/cmdline" % pid)
                             and open("/proc/%d/cmdline" % pid, "rb").read())
            self.assertFalse(os.path.exists(os.path.join(state, "url")))
            self.assertTrue(os.path.isdir(os.path.join(state, "www")))


if __name__ == "__main__":
    unittest.main()
