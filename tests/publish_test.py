"""Tests of tools/publish.py: the file list, the objects, refusals and warnings,
verify, prune and rollback."""
import contextlib
import hashlib
import io
import os
import sys
import tempfile
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import publish  # noqa: E402


def sha(data):
    return hashlib.sha256(data).hexdigest()


def make_tree(root, files):
    for path, data in files.items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


def run_cli(*args):
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        code = publish.main(list(args))
    return code, err.getvalue()


class Tree(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.build = os.path.join(self.tmp.name, "build")
        self.out = os.path.join(self.tmp.name, "out")
        os.makedirs(self.build)

    def tearDown(self):
        self.tmp.cleanup()

    def publish(self, version="1.0", keep=(), files=None):
        if files is not None:
            make_tree(self.build, files)
        with contextlib.redirect_stderr(io.StringIO()) as err:
            publish.publish(self.build, self.out, version, keep)
        return err.getvalue()

    def manifest(self):
        with open(os.path.join(self.out, "manifest.txt"), "rb") as f:
            return f.read()

    def objects(self):
        folder = os.path.join(self.out, "o")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class PublishWritesTheFileList(Tree):
    FILES = {
        "ruvok.exe": b"MZ game",
        "TarsinLauncher.exe": b"MZ launcher",
        "data/a.pak": b"A" * 3000,
        "data/copy.pak": b"A" * 3000,
        "data/sub/z.bin": b"",
        "Data0.bin": b"upper",
        "config/user.cfg": b"volume=3",
        "config/defaults.cfg": b"volume=5",
        "readme.txt": "ünïcode".encode(),
        "ğame/ş.txt": b"turkish",
    }

    def test_lines_hashes_sizes_flags_and_order(self):
        self.publish("2.3.1", keep=["user.cfg", "data/sub/*"], files=self.FILES)
        text = self.manifest()
        self.assertTrue(text.endswith(b"\n"))
        lines = text.decode().split("\n")[:-1]
        self.assertEqual(lines[:2], ["KXUPDATE 1", "version\t2.3.1"])
        rows = [line.split("\t") for line in lines[2:]]
        paths = [r[4] for r in rows]
        # The launcher first, then the paths in byte order of their UTF-8.
        self.assertEqual(paths[0], "TarsinLauncher.exe")
        self.assertEqual(paths[1:], sorted(paths[1:], key=lambda p: p.encode()))
        self.assertEqual(set(paths), set(self.FILES))
        for kind, h, size, flags, path in rows:
            data = self.FILES[path]
            self.assertEqual((kind, h, size), ("f", sha(data), str(len(data))), path)
            expected = "k" if path in ("config/user.cfg", "data/sub/z.bin") else ""
            self.assertEqual(flags, expected, path)

    def test_one_object_per_distinct_content(self):
        self.publish(files=self.FILES)
        distinct = {sha(d): d for d in self.FILES.values()}
        self.assertEqual(self.objects(), sorted(distinct))
        for h, data in distinct.items():
            with open(os.path.join(self.out, "o", h), "rb") as f:
                self.assertEqual(f.read(), data)
            mode = os.stat(os.path.join(self.out, "o", h)).st_mode & 0o444
            self.assertEqual(mode, 0o444, "objects must be readable by the web server")

    def test_the_same_build_gives_the_same_bytes(self):
        self.publish(files=self.FILES)
        first = self.manifest()
        os.unlink(os.path.join(self.out, "manifest.txt"))
        self.publish()
        self.assertEqual(self.manifest(), first)

    def test_the_launcher_parses_what_is_written(self):
        self.publish(files=self.FILES)
        version, entries = publish.parse_manifest(self.manifest())
        self.assertEqual(version, "1.0")
        self.assertEqual(len(entries), len(self.FILES))


class PublishRefuses(Tree):
    # Names a Linux build can hold but the launcher or the file list cannot.
    CASES = [
        ("dotdot in a name", "a..b.dat", 'contains ".."'),
        ("dotdot as a folder", "..data/x.dat", 'contains ".."'),
        ("a colon", "save:1.dat", 'contains ":"'),
        ("a backslash", "dir\\file.dat", 'contains "\\"'),
        ("a TAB", "tab\there.dat", "TAB"),
        ("a line feed", "line\nfeed.dat", "line feed"),
        ("a carriage return", "cr\r", "carriage return"),
        ("the launcher's log", "launcher.log", "keeps for itself"),
        ("the state file", "DATA-STATE.TXT", "keeps for itself"),
        ("a partial download name", "data/x.pak.part", "partial download"),
        ("the launcher's old executable", "TarsinLauncher.exe.old", "previous executable"),
    ]

    def test_each_name_is_refused_and_nothing_is_written(self):
        for name, path, reason in self.CASES:
            with self.subTest(name):
                build = os.path.join(self.tmp.name, name.replace(" ", "_"))
                make_tree(build, {"ok.dat": b"fine", "data/x.pak": b"x", "TarsinLauncher.exe": b"MZ"})
                make_tree(build, {path: b"bad"})
                out = os.path.join(self.tmp.name, "out-" + name.replace(" ", "_"))
                code, err = run_cli("publish", build, out, "--version", "1")
                self.assertEqual(code, 1)
                self.assertIn(publish.shown(path.split("/")[-1]), err)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(os.path.join(out, "manifest.txt")))
                self.assertFalse(os.path.exists(os.path.join(out, "o")))

    def test_a_name_that_is_not_utf8(self):
        make_tree(self.build, {"ok.dat": b"1"})
        with open(os.path.join(os.fsencode(self.build), b"caf\xe9.dat"), "wb") as f:
            f.write(b"latin-1 name")
        code, err = run_cli("publish", self.build, self.out, "--version", "1")
        self.assertEqual(code, 1)
        self.assertIn("caf", err)
        self.assertIn("UTF-8", err)

    def test_bad_versions_empty_builds_and_a_tree_inside_the_build(self):
        make_tree(self.build, {"a.dat": b"1"})
        empty = os.path.join(self.tmp.name, "empty")
        os.makedirs(empty)
        for args in (["--version", "1\t2"], ["--version", "1\n"], ["--version", ""]):
            self.assertEqual(run_cli("publish", self.build, self.out, *args)[0], 1, args)
        self.assertEqual(run_cli("publish", empty, self.out, "--version", "1")[0], 1)
        inside = os.path.join(self.build, "served")
        self.assertEqual(run_cli("publish", self.build, inside, "--version", "1")[0], 1)
        self.assertFalse(os.path.exists(os.path.join(self.out, "manifest.txt")))


    def test_a_file_list_too_long_for_the_launcher(self):
        make_tree(self.build, {f"file{i:03d}.dat": b"x" for i in range(10)})
        one_line = len(publish.format_manifest("1", [publish.Entry("0" * 64, 1, "", "file000.dat")]))
        with mock.patch.object(publish, "MANIFEST_LIMIT", one_line * 5):
            code, err = run_cli("publish", self.build, self.out, "--version", "1")
        self.assertEqual(code, 1)
        self.assertIn("at most", err)
        self.assertFalse(os.path.exists(self.out), "refused before anything is written")


class PublishWarns(Tree):
    CASES = [
        ("a device name", {"CON": b"1"}, "CON", "reserved device name"),
        ("a device name with an extension", {"data/nul.txt": b"1"}, "nul.txt", "reserved device name"),
        ("a numbered port", {"lpt3.dat": b"1"}, "lpt3.dat", "reserved device name"),
        ("a trailing dot", {"file.": b"1"}, "file.", "dot or a space"),
        ("a trailing space", {"dir /a.dat": b"1"}, "dir ", "dot or a space"),
        ("a question mark", {"what?.dat": b"1"}, "what?.dat", "does not allow"),
        ("a case-only collision", {"Map.dat": b"1", "map.dat": b"2"}, "letter case", "Map.dat"),
        ("a file against a folder", {"maps": b"1", "Maps/a.dat": b"2"}, "maps", "as the folder"),
        ("a long path", {"d/" + "x" * 210: b"1"}, "x" * 210, "path limit"),
    ]

    def test_each_warning_names_the_file_and_the_build_is_published(self):
        for name, files, shown, reason in self.CASES:
            with self.subTest(name):
                build = os.path.join(self.tmp.name, name.replace(" ", "_"))
                make_tree(build, files)
                out = os.path.join(self.tmp.name, "out-" + name.replace(" ", "_"))
                code, err = run_cli("publish", build, out, "--version", "1")
                self.assertEqual(code, 0, err)
                warning = [line for line in err.splitlines() if "warning" in line]
                self.assertTrue(any(shown in line and reason in line for line in warning), err)
                self.assertEqual(len(publish.read_manifest_file(os.path.join(out, "manifest.txt"))[1]),
                                 len(files))

    def test_ordinary_names_give_no_warning_and_unused_keep_patterns_do(self):
        err = self.publish(keep=["*.ini"], files={"Console.exe": b"1", "cone.d/x": b"2", "a.b.c": b"3"})
        self.assertEqual([line for line in err.splitlines() if "warning" in line],
                         ['publish: warning: --keep "*.ini" matches no file'])


class Republish(Tree):
    def test_unchanged_objects_stay_and_only_new_content_is_written(self):
        self.publish("1", files={"same.dat": b"s" * 5000, "changes.dat": b"old", "gone.dat": b"g"})
        same = os.path.join(self.out, "o", sha(b"s" * 5000))
        before = os.stat(same)
        os.unlink(os.path.join(self.build, "gone.dat"))
        make_tree(self.build, {"changes.dat": b"new!!"})
        with mock.patch.object(publish, "_copy_hashing", wraps=publish._copy_hashing) as reads:
            self.publish("2")
        after = os.stat(same)
        self.assertEqual((before.st_ino, before.st_mtime_ns), (after.st_ino, after.st_mtime_ns))
        self.assertEqual(reads.call_count, 2, "one read of each file")
        _, entries = publish.parse_manifest(self.manifest())
        self.assertEqual({e.path: e.hash for e in entries},
                         {"same.dat": sha(b"s" * 5000), "changes.dat": sha(b"new!!")})
        # The old objects stay for the archived list until prune.
        self.assertIn(sha(b"old"), self.objects())
        self.assertTrue(os.path.exists(os.path.join(self.out, "manifests", "1.txt")))

    def test_a_changed_file_of_the_same_size_gets_its_new_object(self):
        self.publish("1", files={"a.dat": b"1111"})
        make_tree(self.build, {"a.dat": b"2222"})
        self.publish("2")
        with open(os.path.join(self.out, "o", sha(b"2222")), "rb") as f:
            self.assertEqual(f.read(), b"2222")
        self.assertEqual(publish.verify(self.out, quiet=True), [])


class Atomicity(Tree):
    def test_the_file_list_is_replaced_after_every_object(self):
        make_tree(self.build, {f"f{i}.dat": bytes([i]) * (i + 1) for i in range(20)})
        renames = []
        real = os.replace

        def record(src, dst):
            renames.append(os.path.basename(dst))
            real(src, dst)

        with mock.patch.object(publish.os, "replace", record):
            self.publish()
        self.assertEqual(renames[-1], "manifest.txt")
        self.assertEqual(len([r for r in renames if publish.HEX64.match(r)]), 20)
        self.assertNotIn("manifest.txt", renames[:-1])

    def test_a_failed_publish_leaves_the_served_tree_as_it_was(self):
        self.publish("1", files={f"f{i}.dat": b"v1-%d" % i for i in range(10)})
        served = self.manifest()
        make_tree(self.build, {f"f{i}.dat": b"v2-%d-" % i for i in range(10)})
        real = publish._copy_hashing
        calls = []

        def failing(source, sink, progress, buffer):
            calls.append(source)
            if len(calls) == 5:
                if sink is not None:
                    sink.write(b"half")
                raise OSError("disk full")
            return real(source, sink, progress, buffer)

        with mock.patch.object(publish, "_copy_hashing", failing), \
                contextlib.redirect_stderr(io.StringIO()):
            with self.assertRaises(OSError):
                publish.publish(self.build, self.out, "2")
        self.assertEqual(self.manifest(), served)
        self.assertEqual([n for n in self.objects() if not publish.HEX64.match(n)], [])
        self.assertEqual(publish.verify(self.out, quiet=True), [])


class Verify(Tree):
    def damage(self, how):
        h = sha(b"payload" * 100)
        path = os.path.join(self.out, "o", h)
        if how == "missing":
            os.unlink(path)
        elif how == "truncated":
            with open(path, "r+b") as f:
                f.truncate(10)
        elif how == "flipped":
            with open(path, "r+b") as f:
                f.seek(3)
                f.write(b"X")
        elif how == "upper-case hash":
            with open(os.path.join(self.out, "manifest.txt"), "rb") as f:
                text = f.read()
            with open(os.path.join(self.out, "manifest.txt"), "wb") as f:
                f.write(text.replace(h.encode(), h.upper().encode()))
        return h

    def test_each_damage_is_found(self):
        cases = [("missing", "missing"), ("truncated", "10 bytes instead of 700"),
                 ("flipped", "SHA-256 is"), ("upper-case hash", "lower-case hexadecimal")]
        for how, expected in cases:
            with self.subTest(how):
                self.tearDown()
                self.setUp()
                self.publish(files={"p.dat": b"payload" * 100, "q.dat": b"other"})
                self.assertEqual(publish.verify(self.out, quiet=True), [])
                self.damage(how)
                problems = publish.verify(self.out, quiet=True)
                self.assertTrue(problems)
                self.assertTrue(any(expected in p for p in problems), problems)
                self.assertEqual(run_cli("verify", self.out, "--quiet")[0], 1)

    def test_a_tree_without_a_file_list(self):
        os.makedirs(self.out)
        self.assertEqual(publish.verify(self.out, quiet=True), ["manifest.txt: missing"])


class PruneAndRollback(Tree):
    def test_prune_keeps_what_any_kept_list_names(self):
        self.publish("1", files={"a.dat": b"one", "b.dat": b"bee"})
        make_tree(self.build, {"a.dat": b"two"})
        self.publish("2")
        stray = os.path.join(self.out, "o", "0" * 64)
        open(stray, "wb").close()
        self.assertEqual(publish.prune(self.out, quiet=True), (1, 0))
        self.assertEqual(self.objects(), sorted([sha(b"one"), sha(b"two"), sha(b"bee")]))
        os.unlink(os.path.join(self.out, "manifests", "1.txt"))
        self.assertEqual(publish.prune(self.out, dry_run=True, quiet=True), (1, 3))
        self.assertIn(sha(b"one"), self.objects())
        self.assertEqual(publish.prune(self.out, quiet=True), (1, 3))
        self.assertEqual(self.objects(), sorted([sha(b"two"), sha(b"bee")]))

    def test_prune_refuses_when_a_list_cannot_be_read(self):
        self.publish("1", files={"a.dat": b"one"})
        with open(os.path.join(self.out, "manifests", "broken.txt"), "wb") as f:
            f.write(b"not a file list\n")
        code, err = run_cli("prune", self.out)
        self.assertEqual(code, 1)
        self.assertIn("broken.txt", err)
        self.assertEqual(self.objects(), [sha(b"one")])

    def test_prune_removes_only_stale_temporary_objects(self):
        self.publish("1", files={"a.dat": b"one"})
        young = os.path.join(self.out, "o", publish.TEMP_PREFIX + "young")
        old = os.path.join(self.out, "o", publish.TEMP_PREFIX + "old")
        for p in (young, old):
            open(p, "wb").close()
        past = time.time() - 2 * publish.STALE_TEMP_SECONDS
        os.utime(old, (past, past))
        publish.prune(self.out, quiet=True)
        self.assertTrue(os.path.exists(young))
        self.assertFalse(os.path.exists(old))

    def test_rollback_serves_the_archived_list_again(self):
        self.publish("1.0", files={"a.dat": b"one"})
        first = self.manifest()
        make_tree(self.build, {"a.dat": b"two"})
        self.publish("1.1")
        self.assertEqual(run_cli("rollback", self.out, "1.0", "--quiet")[0], 0)
        self.assertEqual(self.manifest(), first)
        os.unlink(os.path.join(self.out, "manifests", "1.1.txt"))
        publish.prune(self.out, quiet=True)
        code, err = run_cli("rollback", self.out, "1.1")
        self.assertEqual(code, 1)
        self.assertIn("no archived file list", err)
        self.assertEqual(self.manifest(), first)

    def test_rollback_refuses_when_objects_are_gone(self):
        self.publish("1.0", files={"a.dat": b"one"})
        make_tree(self.build, {"a.dat": b"two"})
        self.publish("1.1")
        os.unlink(os.path.join(self.out, "o", sha(b"one")))
        code, err = run_cli("rollback", self.out, "1.0")
        self.assertEqual(code, 1)
        self.assertIn("a.dat", err)
        self.assertIn(b"1.1", self.manifest())

    def test_one_command_at_a_time_per_tree(self):
        self.publish("1", files={"a.dat": b"one"})
        with publish.Lock(self.out):
            code, err = run_cli("prune", self.out)
        self.assertEqual(code, 1)
        self.assertIn("another publish", err)


class ParseManifest(unittest.TestCase):
    def test_the_launchers_line_rules(self):
        h = "a" * 64
        good = [
            (b"KXUPDATE 1\r\nf\t%s\t5\t\tx\r\n" % h.encode(), ("", 1)),
            (b"KXUPDATE 1\nversion\t1\nversion\t2\textra\nF\tignored\n\nf\t%s\t0\tk\ta/b" % h.encode(), ("2", 1)),
        ]
        for text, (version, count) in good:
            v, entries = publish.parse_manifest(text)
            self.assertEqual((v, len(entries)), (version, count), text)
        bad = [b"", b"KXUPDATE 1\n", b"\xef\xbb\xbfKXUPDATE 1\nf\t%s\t1\t\tx\n" % h.encode(),
               b"KXUPDATE 1 \nf\t%s\t1\t\tx\n" % h.encode(), b"KXUPDATE 1\nf\t%s\t1\t\tx\t\n" % h.encode(),
               b"KXUPDATE 1\nf\t%s\t1\t\t/x\n" % h.encode(), b"KXUPDATE 1\nf\tabc\t1\t\tx\n",
               b"KXUPDATE 1\nf\t%s\t-1\t\tx\n" % h.encode()]
        for text in bad:
            with self.assertRaises(publish.Refused, msg=text):
                publish.parse_manifest(text)


if __name__ == "__main__":
    unittest.main()
