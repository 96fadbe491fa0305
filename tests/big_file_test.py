#!/usr/bin/env python3
"""A game file of 4.5 GiB through the launcher executable under Wine: installed in one
unattended run, and resumed inside its second range after a cut. The object on the test
server is a sparse file with a marker every 64 MiB, so that a range fetched from the wrong
offset changes the bytes. Needs about 5 GiB of free disk (the installed file is written in
full); skips with the reason on a smaller disk."""
import hashlib
import os
import shutil
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "server"), os.path.join(HERE, "..", "tools")]
import publish  # noqa: E402
import wine_harness as harness  # noqa: E402
from test_server import TestServer, write_atomically  # noqa: E402

SIZE = 4831838208  # 4.5 GiB: two full ranges and part of a third
RANGE = 2147483647
MARK_EVERY = 64 * 1024 * 1024
NEEDED_FREE = 10 * 1024 ** 3  # the file, its margin and what the rest of the suite writes meanwhile
WORK = os.path.join(harness.BUILD, "big-file")
DISPLAY = harness.Display()
SERVER = PREFIX = OBJECT = None


def marker(offset):
    return b"<%d>" % offset


def write_object(folder):
    """The sparse object and its published list; its hash is read back through the holes."""
    path = os.path.join(folder, "o", "object")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(SIZE)
        for offset in range(0, SIZE, MARK_EVERY):
            f.seek(offset)
            f.write(marker(offset))
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(16 * 1024 * 1024):
            digest.update(block)
    os.replace(path, os.path.join(folder, "o", digest.hexdigest()))
    entries = [publish.Entry(digest.hexdigest(), SIZE, "", "packs/world.pak")]
    write_atomically(os.path.join(folder, "manifest.txt"), publish.format_manifest("big", entries))
    return "/big/o/" + digest.hexdigest()


def setUpModule():
    global SERVER, PREFIX, OBJECT
    free = shutil.disk_usage(harness.BUILD).free
    if free < NEEDED_FREE:
        raise unittest.SkipTest("needs %d GiB of free disk, %.1f GiB free" % (NEEDED_FREE >> 30, free / 2 ** 30))
    unittest.addModuleCleanup(shutil.rmtree, WORK, ignore_errors=True)
    unittest.addModuleCleanup(DISPLAY.stop)
    PREFIX = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix"), DISPLAY.start()).create()
    SERVER = TestServer(os.path.join(WORK, "www"))
    unittest.addModuleCleanup(SERVER.stop)
    SERVER.start()
    unittest.addModuleCleanup(harness.end_all)
    OBJECT = write_object(os.path.join(WORK, "www", "big"))


class BigFile(unittest.TestCase):
    def setUp(self):
        SERVER.clear("/")
        self.install = harness.Install(os.path.join(WORK, "install"), prefix=PREFIX, language="en", clean=True)
        self.started = time.monotonic()

    def tearDown(self):
        print("\n%s: %.0f s" % (self.id(), time.monotonic() - self.started), file=sys.stderr)
        shutil.rmtree(self.install.path, ignore_errors=True)

    def run_launcher(self):
        return self.install.run("--url=" + SERVER.url + "big/", "--exit-when-done", timeout=900)

    def ranges(self):
        asked = [line.split("\t") for line in SERVER.requests(OBJECT).splitlines()]
        SERVER.clear("/")
        return [h[len("Range: "):] for fields in asked for h in fields[1:] if h.startswith("Range: ")]

    def expect_installed(self):
        path = self.install.file("packs/world.pak")
        self.assertEqual(os.path.getsize(path), SIZE)
        with open(path, "rb") as f:
            for offset in range(0, SIZE, MARK_EVERY):
                f.seek(offset)
                self.assertEqual(f.read(len(marker(offset))), marker(offset), offset)
        self.assertIn("The game is up to date. | Version big\r\n", self.install.log())

    def test_installs_in_one_unattended_run(self):
        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertEqual(self.ranges(), ["bytes=0-2147483646", "bytes=2147483647-4294967293",
                                         "bytes=4294967294-4831838207"])
        self.expect_installed()

    def test_a_run_cut_inside_the_second_range_resumes_where_it_stopped(self):
        cut = RANGE + 1024 ** 3
        SERVER.set_fault(OBJECT, "close_after", 1024 ** 3, count=1, after=1)
        self.assertEqual(self.run_launcher(), 2)
        self.assertIn("Connection lost: packs/world.pak", self.install.log())
        self.assertEqual(self.ranges(), ["bytes=0-2147483646", "bytes=2147483647-4294967293"])
        self.assertEqual(os.path.getsize(self.install.file("packs/world.pak.part")), cut)

        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertEqual(self.ranges(), ["bytes=%d-4831838207" % cut])
        self.expect_installed()


if __name__ == "__main__":
    unittest.main(verbosity=2)
