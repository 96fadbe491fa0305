#!/usr/bin/env python3
"""A game file of 4.5 GiB through the launcher under Wine: installed in one unattended run,
and resumed inside its second range after a cut. The object is a sparse file with a marker
every 64 MiB, so a range fetched from the wrong offset changes the bytes. The installed file
is written in full: skips with the reason when the disk has less than 10 GiB free."""
import hashlib
import os
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "server"), os.path.join(HERE, "..", "tools")]
import publish  # noqa: E402
import wine_harness as harness  # noqa: E402
from test_server import TestServer, write_atomically  # noqa: E402

SIZE = 4831838208  # two whole ranges and part of a third
MARKS = range(0, SIZE, 64 * 1024 * 1024)
WORK = os.path.join(harness.BUILD, "big-file")
DISPLAY = harness.Display()
SERVER = PREFIX = OBJECT = None


def setUpModule():
    global SERVER, PREFIX, OBJECT
    free = shutil.disk_usage(harness.BUILD).free
    if free < 10 * 1024 ** 3:
        raise unittest.SkipTest("needs 10 GiB of free disk, %.1f GiB free" % (free / 1024 ** 3))
    unittest.addModuleCleanup(shutil.rmtree, WORK, ignore_errors=True)
    unittest.addModuleCleanup(DISPLAY.stop)
    PREFIX = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix"), DISPLAY.start()).create()
    SERVER = TestServer(os.path.join(WORK, "www"))
    unittest.addModuleCleanup(SERVER.stop)
    SERVER.start()
    unittest.addModuleCleanup(harness.end_all)
    site = os.path.join(WORK, "www", "big")
    os.makedirs(os.path.join(site, "o"))
    digest = hashlib.sha256()
    with open(os.path.join(site, "o", "object"), "w+b") as f:
        f.truncate(SIZE)
        for offset in MARKS:
            f.seek(offset)
            f.write(b"<%d>" % offset)
        f.seek(0)
        while block := f.read(16 * 1024 * 1024):
            digest.update(block)
    os.rename(os.path.join(site, "o", "object"), os.path.join(site, "o", digest.hexdigest()))
    write_atomically(os.path.join(site, "manifest.txt"),
                     publish.format_manifest("big", [publish.Entry(digest.hexdigest(), SIZE, "", "packs/world.pak")]))
    OBJECT = "/big/o/" + digest.hexdigest()


class BigFile(unittest.TestCase):
    def setUp(self):
        SERVER.clear("/")
        self.install = harness.Install(os.path.join(WORK, "install"), prefix=PREFIX, language="en", clean=True)
        self.addCleanup(shutil.rmtree, self.install.path, ignore_errors=True)

    def run_launcher(self):
        return self.install.run("--url=" + SERVER.url + "big/", "--exit-when-done", timeout=900)

    def ranges(self):
        asked = [line.split("\t") for line in SERVER.requests(OBJECT).splitlines()]
        SERVER.clear("/")
        return [h[len("Range: "):] for fields in asked for h in fields[1:] if h.startswith("Range: ")]

    def expect_installed(self):
        with open(self.install.file("packs/world.pak"), "rb") as f:
            self.assertEqual(os.fstat(f.fileno()).st_size, SIZE)
            for offset in MARKS:
                f.seek(offset)
                self.assertEqual(f.read(len(b"<%d>" % offset)), b"<%d>" % offset)

    def test_installs_in_one_unattended_run(self):
        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertEqual(self.ranges(), ["bytes=0-2147483646", "bytes=2147483647-4294967293",
                                         "bytes=4294967294-4831838207"])
        self.expect_installed()

    def test_a_run_cut_inside_the_second_range_resumes_where_it_stopped(self):
        SERVER.set_fault(OBJECT, "close_after", 1024 ** 3, count=1, after=1)
        self.assertEqual(self.run_launcher(), 2)
        self.assertIn("Connection lost: packs/world.pak", self.install.log())
        self.assertEqual(self.ranges(), ["bytes=0-2147483646", "bytes=2147483647-4294967293"])
        self.assertEqual(os.path.getsize(self.install.file("packs/world.pak.part")), 3221225471)
        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertEqual(self.ranges(), ["bytes=3221225471-4831838207"])
        self.expect_installed()


if __name__ == "__main__":
    unittest.main(verbosity=2)
