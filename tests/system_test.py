"""End to end: the launcher under Wine installs and updates a published sample game
from nginx on 127.0.0.1, resumes a cut transfer and survives being killed."""
import hashlib
import os
import shutil
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "system"), os.path.join(HERE, "..", "tools")]
import wine_harness as harness  # noqa: E402
import nginx_server  # noqa: E402
import publish  # noqa: E402
import sample_game  # noqa: E402
from cut_proxy import CutProxy, Rule  # noqa: E402

MEGABYTES = 24
BIG = "data/world.pak"


def sha(data):
    return hashlib.sha256(data).hexdigest()


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require(harness.LAUNCHER, harness.STAND_IN)
        # Cleanups, unlike tearDownClass, run when this set-up fails half-way too.
        cls.display = harness.Display()
        cls.addClassCleanup(cls.display.stop)
        cls.prefix = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix-system"), cls.display.start())
        cls.addClassCleanup(cls.prefix.kill)
        cls.prefix.create()
        cls.tmp = tempfile.mkdtemp(prefix="system-test-", dir=harness.BUILD)
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.v1 = os.path.join(cls.tmp, "build-1.0")
        cls.v2 = os.path.join(cls.tmp, "build-1.1")
        sample_game.make_game(cls.v1, harness.LAUNCHER, harness.STAND_IN, MEGABYTES)
        sample_game.make_game(cls.v2, harness.LAUNCHER, harness.STAND_IN, MEGABYTES, update=True)

    def setUp(self):
        self.dir = os.path.join(self.tmp, self.id().rsplit(".", 1)[-1])
        os.makedirs(self.dir)
        self.tree = os.path.join(self.dir, "tree")

    def publish(self, build, version):
        return publish.publish(build, self.tree, version, keep=[sample_game.KEPT], quiet=True, **harness.PUBLISH_OPTIONS)

    def serve(self, tls=None):
        server = nginx_server.NginxServer(self.tree, os.path.join(self.dir, "nginx"), tls=tls)
        server.start()
        self.addCleanup(server.stop)
        return server

    def proxy(self, server):
        proxy = CutProxy(server.port)
        proxy.start()
        self.addCleanup(proxy.stop)
        return proxy

    def install(self):
        return harness.Install(os.path.join(self.dir, "install"))

    def run_launcher(self, install, url):
        code, _ = harness.run_launcher(self.prefix, install, url)
        return code

    def assert_installed(self, install, entries, version, players=()):
        """Every file as published (but those the player changed), all recorded."""
        log = install.log()
        self.assertIn(f"{harness.UP_TO_DATE} | Version {version}", log)
        for e in entries:
            if e.path not in players:
                self.assertEqual(sha(install.read(e.path)), e.hash, e.path)
        self.assertEqual(install.state(), {e.path: e.hash for e in entries})
        leftovers = install.files() - {e.path for e in entries} - {"data-state.txt", "launcher.log"}
        self.assertLessEqual(leftovers, {harness.LAUNCHER_NAME + ".old"}, "nothing else stays behind")

    def object_requests(self, requests):
        return [r for r in requests if "/o/" in r["path"]]

    def test_first_install(self):
        entries = self.publish(self.v1, "1.0")
        server = self.serve()
        install = self.install()
        self.assertEqual(self.run_launcher(install, server.url), 0, install.log())
        self.assert_installed(install, entries, "1.0")

        requests = server.requests()
        manifests = [r for r in requests if r["path"].endswith("/manifest.txt")]
        self.assertEqual(len(manifests), 1)
        self.assertEqual((manifests[0]["cache_control"], manifests[0]["user_agent"]),
                         ("no-cache", "TarsinLauncher/1"))
        objects = self.object_requests(requests)
        # The launcher it was started as is the published one: proven by hashing, not fetched.
        wanted = sorted(e.hash for e in entries if e.path != harness.LAUNCHER_NAME)
        self.assertEqual(sorted(r["path"].rsplit("/", 1)[1] for r in objects), wanted)
        self.assertTrue(all(r["status"] == 200 and r["range"] == "-" for r in objects))
        self.assertEqual(sum(r["body_bytes_sent"] for r in objects),
                         sum(e.size for e in entries if e.path != harness.LAUNCHER_NAME))

    def test_update_moves_only_changed_bytes_and_replaces_the_launcher(self):
        self.publish(self.v1, "1.0")
        server = self.serve()
        install = self.install()
        self.assertEqual(self.run_launcher(install, server.url), 0, install.log())
        old_launcher = install.read(harness.LAUNCHER_NAME)
        with open(install.file(sample_game.KEPT), "wb") as f:
            f.write(b"volume=20\n")

        entries = self.publish(self.v2, "1.1")
        server.clear_log()
        self.assertEqual(self.run_launcher(install, server.url), 0, install.log())

        self.assertEqual(install.read(sample_game.KEPT), b"volume=20\n", "the player's settings stay")
        self.assert_installed(install, entries, "1.1", players=[sample_game.KEPT])
        self.assertFalse(os.path.exists(install.file(sample_game.REMOVED)))
        with open(os.path.join(self.v2, harness.LAUNCHER_NAME), "rb") as f:
            self.assertEqual(install.read(harness.LAUNCHER_NAME), f.read())
        old = install.file(harness.LAUNCHER_NAME + ".old")
        if os.path.exists(old):
            with open(old, "rb") as f:
                self.assertEqual(f.read(), old_launcher)

        requests = server.requests()
        # The old launcher and the one it restarted each fetch the file list.
        self.assertEqual(len([r for r in requests if r["path"].endswith("/manifest.txt")]), 2)
        changed = {e.path: e for e in entries}
        expected = {changed[harness.LAUNCHER_NAME].hash, changed[sample_game.CHANGED].hash}
        objects = self.object_requests(requests)
        self.assertEqual(sorted(r["path"].rsplit("/", 1)[1] for r in objects), sorted(expected))
        self.assertEqual(sum(r["body_bytes_sent"] for r in objects),
                         changed[harness.LAUNCHER_NAME].size + changed[sample_game.CHANGED].size)

    def test_a_cut_transfer_resumes_from_the_partial_file(self):
        entries = self.publish(self.v1, "1.0")
        server = self.serve()
        big = next(e for e in entries if e.path == BIG)
        cut = big.size * 2 // 5
        # A reset may take with it the bytes WinHTTP held in its buffer; an orderly
        # close before the announced length keeps every byte that arrived.
        for name, reset in (("reset", True), ("orderly close", False)):
            with self.subTest(name):
                proxy = self.proxy(server)
                proxy.add_rule(Rule(suffix=big.hash, cut_after=cut, reset=reset))
                install = harness.Install(os.path.join(self.dir, "install-" + name.replace(" ", "-")))
                url = proxy.url(nginx_server.DEFAULT_PREFIX)

                self.assertEqual(self.run_launcher(install, url), 2)
                log = install.log()
                self.assertIn(harness.INTERRUPTED, log)
                self.assertIn(f"Connection lost: {BIG}", log)
                part = install.file(BIG) + ".part"
                kept_bytes = os.path.getsize(part)
                self.assertGreater(kept_bytes, 0)
                if reset:
                    self.assertLessEqual(kept_bytes, cut)
                else:
                    self.assertEqual(kept_bytes, cut)
                self.assertFalse(os.path.exists(install.file(BIG)))
                before = {e.path for e in entries if e.path.encode() < BIG.encode()}
                self.assertLessEqual(before, set(install.state()), "the files before it are installed")

                server.clear_log()
                self.assertEqual(self.run_launcher(install, url), 0, install.log())
                self.assert_installed(install, entries, "1.0")
                resumed = [r for r in server.requests() if r["path"].endswith(big.hash)]
                self.assertEqual(len(resumed), 1)
                self.assertEqual((resumed[0]["range"], resumed[0]["status"], resumed[0]["body_bytes_sent"]),
                                 (f"bytes={kept_bytes}-", 206, big.size - kept_bytes))
                self.assertFalse(os.path.exists(part))

    def test_a_launcher_killed_mid_download_loses_nothing(self):
        entries = self.publish(self.v1, "1.0")
        server = self.serve()
        proxy = self.proxy(server)
        big = next(e for e in entries if e.path == BIG)
        proxy.add_rule(Rule(suffix=big.hash, rate=3 * 2**20))
        install = self.install()
        part = install.file(BIG) + ".part"

        torn, snapshots = [], []
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                try:
                    with open(install.file("data-state.txt"), "rb") as f:
                        data = f.read()
                    harness.parse_state(data)
                    snapshots.append(len(data))
                except FileNotFoundError:
                    pass
                except ValueError as e:
                    torn.append(str(e))
                stop.wait(0.003)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            launcher = self.prefix.start(install.exe, f"--url={proxy.url(nginx_server.DEFAULT_PREFIX)}",
                                         "--exit-when-done", cwd=install.path)
            try:
                reached = harness.wait_until(lambda: os.path.exists(part) and os.path.getsize(part) > 2**20, 90)
                recorded = install.state()
            finally:
                harness.kill_hard(launcher)
        finally:
            stop.set()
            watcher.join()
        self.assertTrue(reached, "the big file's download began")
        self.assertEqual(torn, [])
        self.assertTrue(snapshots, "the state file was read while the launcher wrote it")

        # Everything recorded before the kill is there, whole; the new file being fetched, and new
        # files not yet installed, are marked: their parts are the launcher's, no content claimed.
        after = install.state()
        self.assertLessEqual(recorded.items(), after.items())
        mark = "download-begun-its-part-is-the-launcher-s-the-file-not-yet".ljust(64, "-")
        self.assertEqual(after.pop(BIG), mark)
        for path, h in after.items():
            if h != mark:
                self.assertEqual(sha(install.read(path)), h, path)
        kept_bytes = os.path.getsize(part)
        self.assertGreater(kept_bytes, 0)
        self.assertLess(kept_bytes, big.size)

        self.prefix.wait()
        server.clear_log()
        self.assertEqual(self.run_launcher(install, server.url), 0, install.log())
        self.assert_installed(install, entries, "1.0")
        resumed = [r for r in server.requests() if r["path"].endswith(big.hash)]
        self.assertEqual([(r["range"], r["status"]) for r in resumed], [(f"bytes={kept_bytes}-", 206)])
        self.assertEqual(resumed[0]["body_bytes_sent"], big.size - kept_bytes)
        refetched = {r["path"].rsplit("/", 1)[1] for r in self.object_requests(server.requests())}
        missing = {e.hash for e in entries if recorded.get(e.path) != e.hash}
        self.assertLessEqual(refetched, missing, "nothing installed is fetched again")

    def test_a_certificate_the_prefix_does_not_trust(self):
        self.publish(self.v1, "1.0")
        authority = harness.make_authority(os.path.join(self.dir, "ca"))
        server = self.serve(tls=authority[1:])
        install = self.install()
        self.assertTrue(server.url.startswith("https://127.0.0.1:"))
        self.assertEqual(self.run_launcher(install, server.url), 2)
        self.assertIn(harness.CANNOT_REACH, install.log())
        self.assertEqual(install.files(), {harness.LAUNCHER_NAME, "launcher.log"})
        self.assertEqual(server.requests(), [], "no request got through the handshake")


if __name__ == "__main__":
    unittest.main()
