"""End to end: a launcher built with the test public key, against nginx, takes the file list
only with its genuine, current statement; every refusal changes no file and exits with 2."""
import hashlib
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import wine_harness as harness  # noqa: E402
import nginx_server  # noqa: E402
import publish  # noqa: E402
import signing  # noqa: E402

SIGNED_LAUNCHER = os.path.join(harness.BUILD, "tests", "TarsinLauncherSigned.exe")
TEST_KEY = os.path.join(HERE, "system", "list-test-key.pem")
UNREADABLE = harness.ENGLISH["unreadable"]


class SignedList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require(SIGNED_LAUNCHER)
        cls.display = harness.Display()
        cls.addClassCleanup(cls.display.stop)
        cls.prefix = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix-signed"), cls.display.start())
        cls.addClassCleanup(cls.prefix.kill)
        cls.prefix.create()
        cls.tmp = tempfile.mkdtemp(prefix="signed-list-test-", dir=harness.BUILD)
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)

    def make_build(self, name, data):
        build = os.path.join(self.tmp, name)
        os.makedirs(os.path.join(build, "data"))
        shutil.copyfile(SIGNED_LAUNCHER, os.path.join(build, harness.LAUNCHER_NAME))
        with open(os.path.join(build, "data", "a.pak"), "wb") as f:
            f.write(data)
        return build

    def serve_list(self, text, statement):
        """The tree serves text, and statement (None: none) under the name text's hash gives it."""
        publish.write_atomic(os.path.join(self.tree, "manifest.txt"), text)
        path = publish.statement_path(self.tree, text)
        if statement is None:
            if os.path.exists(path):
                os.unlink(path)
        else:
            publish.write_atomic(path, statement)

    def run_launcher(self, *extra):
        self.server.clear_log()
        code, _ = harness.run_launcher(self.prefix, self.install, self.server.url, extra=extra)
        return code

    def start_tree(self, name):
        self.tree = os.path.join(self.tmp, name)
        publish.publish(self.make_build(name + "-build", name.encode() * 1000), self.tree, "1", quiet=True,
                        sign_keys=[TEST_KEY], allow_test_key=True, **harness.PUBLISH_OPTIONS)
        self.server = nginx_server.NginxServer(self.tree, os.path.join(self.tmp, name + "-nginx"))
        self.server.start()
        self.addCleanup(self.server.stop)
        self.install = harness.Install(os.path.join(self.tmp, name + "-install"), launcher=SIGNED_LAUNCHER)
        with open(os.path.join(self.tree, "manifests", "1.txt"), "rb") as f:
            return f.read()

    def snapshot(self):
        return {p: self.install.read(p) for p in self.install.files() if p != "launcher.log"}

    def test_only_the_genuine_current_statement_is_taken(self):
        self.tree = os.path.join(self.tmp, "tree")
        key = signing.load_key(TEST_KEY)
        signing.keygen(os.path.join(self.tmp, "other.pem"))
        other = signing.load_key(os.path.join(self.tmp, "other.pem"))
        v1 = publish.publish(self.make_build("v1", b"one" * 1000), self.tree, "1", quiet=True, sign_keys=[TEST_KEY],
                             allow_test_key=True, **harness.PUBLISH_OPTIONS)
        self.server = nginx_server.NginxServer(self.tree, os.path.join(self.tmp, "nginx"))
        self.server.start()
        self.addCleanup(self.server.stop)
        self.install = harness.Install(os.path.join(self.tmp, "install"), launcher=SIGNED_LAUNCHER)

        # Accepted: installed, the statement fetched by the list's hash, its time kept.
        with open(os.path.join(self.tree, "manifest.txt"), "rb") as f:
            text1 = f.read()
        with open(publish.statement_path(self.tree, text1), "rb") as f:
            statement1 = f.read()
        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertEqual(self.install.read("data/a.pak"), b"one" * 1000)
        self.assertEqual({e.path: e.hash for e in v1}, self.install.state())
        asked = [r["path"].rsplit("/", 2)[-2:] for r in self.server.requests()]
        self.assertEqual(asked[:2], [["desktop-data", "manifest.txt"], ["s", hashlib.sha256(text1).hexdigest()]])
        accepted = signing.parse_statement(statement1)["signed"]
        self.assertEqual(self.install.read("data-signed.txt"), b"%d\n%s\n" % (accepted, hashlib.sha256(text1).hexdigest().encode()))

        archived = os.path.join(self.tree, "manifests", "1.txt")
        with open(archived, "rb") as f:
            text2 = f.read().replace(b"version\t1\n", b"version\t2\n") + b"stamp\tsecond\n"
        now = time.time()
        changed = text2.replace(b"version\t2", b"version\t3")
        rows = [
            ("none", text2, None, "no statement"),
            ("garbage", text2, os.urandom(300), "malformed"),
            ("another key", text2, signing.make_statement(text2, [other], now), "not the operator's"),
            ("another list", text2, statement1, "another list"),
            ("expired", text2, signing.make_statement(text2, [key], now - 3 * 86400, 86400), "expired"),
            ("replayed older", text2, signing.make_statement(text2, [key], accepted - 3600), "older than"),
            ("changed by one byte", changed, signing.make_statement(text2, [key], now), "another list"),
        ]
        for name, text, statement, reason in rows:
            with self.subTest(name):
                self.serve_list(text, statement)
                before = self.snapshot()
                self.assertEqual(self.run_launcher(), 2, self.install.log())
                log = self.install.log()
                self.assertIn("File list refused: ", log)
                self.assertIn(reason, log)
                self.assertIn(UNREADABLE, log)
                self.assertEqual(self.snapshot(), before, "no file changed")
                self.assertFalse([r for r in self.server.requests() if "/o/" in r["path"]], "no object fetched")

        # Signed by a key being retired and by the launcher's: taken, and the time moves on.
        self.serve_list(text2, signing.make_statement(text2, [other, key], accepted + 1))
        self.assertEqual(self.run_launcher(), 0, self.install.log())
        self.assertIn("Version 2", self.install.log())
        self.assertEqual(self.install.read("data-signed.txt"),
                         b"%d\n%s\n" % (accepted + 1, hashlib.sha256(text2).hexdigest().encode()))

    def test_time_moves_forward_by_the_clock_and_the_channel_is_checked(self):
        archived = self.start_tree("times")
        key = signing.load_key(TEST_KEY)
        now = int(time.time())
        day = signing.DAY
        lists = [archived + b"stamp\t%d\n" % i for i in range(6)]
        steps = [
            # (name, list, statement (None: the one served before), extra arguments, exit code, what the
            # log says, the time and list kept after)
            ("signed a month ahead: taken, its time never kept", lists[0],
             signing.make_statement(lists[0], [key], now + 30 * day, 40 * day), (), 0, "Version 1", None),
            ("then a list signed now is no replay", lists[1], signing.make_statement(lists[1], [key], now, day),
             (), 0, "Version 1", (now, lists[1])),
            ("another list signed in the same second", lists[2], signing.make_statement(lists[2], [key], now, day),
             (), 2, "older than", (now, lists[1])),
            ("the same list again, as after a restart", lists[1], None, (), 0, "Version 1", (now, lists[1])),
            ("a staging statement at the players' address", lists[3],
             signing.make_statement(lists[3], [key], now + 1, day, channel="staging"), (), 2, "another channel",
             (now, lists[1])),
            ("the same for a launcher told it is staging's", lists[3], None, ("--channel=staging",), 0, "Version 1",
             (now + 1, lists[3])),
            ("a production statement for a staging launcher", lists[4],
             signing.make_statement(lists[4], [key], now + 2, day), ("--channel=staging",), 2, "another channel",
             (now + 1, lists[3])),
        ]
        for name, text, statement, extra, code, said, kept in steps:
            with self.subTest(name):
                if statement is None:
                    publish.write_atomic(os.path.join(self.tree, "manifest.txt"), text)
                else:
                    self.serve_list(text, statement)
                self.assertEqual(self.run_launcher(*extra), code, self.install.log())
                self.assertIn(said, self.install.log())
                if kept is None:
                    self.assertNotIn("data-signed.txt", self.install.files())
                else:
                    self.assertEqual(self.install.read("data-signed.txt"),
                                     b"%d\n%s\n" % (kept[0], hashlib.sha256(kept[1]).hexdigest().encode()))

        # A fresh installation has no floor: a statement without "until" signed 400 days ago
        # is refused all the same, one of 80 days taken.
        for text, age, code, said in ((lists[4], 400, 2, "the statement has expired"), (lists[5], 80, 0, "Version 1")):
            with self.subTest(f"no until, {age} days old, fresh installation"):
                if self.install.exists("data-signed.txt"):
                    os.unlink(self.install.file("data-signed.txt"))
                self.serve_list(text, signing.make_statement(text, [key], now - age * day))
                self.assertEqual(self.run_launcher(), code, self.install.log())
                self.assertIn(said, self.install.log())

if __name__ == "__main__":
    unittest.main()
