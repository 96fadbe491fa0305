"""Tests of tools/publish.py: the file list, the objects, refusals and warnings, the
launcher's executable, verify, prune, rollback and upload."""
import contextlib
import hashlib
import io
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import publish  # noqa: E402
from publishing import hashing as publish_hashing, publish_cmd, remote as publish_remote  # noqa: E402

import wine_build  # noqa: E402

# The product, whichever build this machine runs the tests on.
BUILT_LAUNCHER = os.path.join(wine_build.PRODUCT.dir, "TarsinLauncher.exe")
with open(os.path.join(ROOT, "resources", "launcher.manifest"), "rb") as _f:
    APP_MANIFEST = _f.read()


def sha(data):
    return hashlib.sha256(data).hexdigest()


def resource_section(resources, rva):
    """A resource tree of {type: {id or name: bytes}}, one language each, laid out at rva."""
    types = sorted(resources)
    order = {t: sorted(resources[t], key=lambda i: (isinstance(i, int), i)) for t in types}  # names first
    pairs = [(t, i) for t in types for i in order[t]]
    at, offset = {}, 16 + 8 * len(types)
    for t in types:
        at[t], offset = offset, offset + 16 + 8 * len(resources[t])
    for kind, size in (("lang", 24), ("entry", 16)):
        for p in pairs:
            at[kind, p], offset = offset, offset + size
    for p in pairs:
        at["blob", p], offset = offset, offset + len(resources[p[0]][p[1]])
    names = b""
    for p in pairs:
        if isinstance(p[1], str):
            at["name", p] = 1 << 31 | (offset + len(names))
            names += struct.pack("<H", len(p[1])) + p[1].encode("utf-16-le")

    def head(n, named=0):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, named, n - named)

    out = head(len(types)) + b"".join(struct.pack("<II", t, 1 << 31 | at[t]) for t in types)
    for t in types:
        out += head(len(order[t]), sum(isinstance(i, str) for i in order[t])) + b"".join(
            struct.pack("<II", at.get(("name", (t, i)), i), 1 << 31 | at["lang", (t, i)]) for i in order[t])
    out += b"".join(head(1) + struct.pack("<II", 1033, at["entry", p]) for p in pairs)
    out += b"".join(struct.pack("<IIII", rva + at["blob", p], len(resources[p[0]][p[1]]), 0, 0) for p in pairs)
    return out + b"".join(resources[t][i] for t, i in pairs) + names


ICON_GROUP = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHIH", 16, 16, 0, 0, 1, 32, 40, 1)


def pe_image(machine=0x14C, characteristics=0x0102, subsystem=2, manifest=APP_MANIFEST, icon=True, wide=False,
             imports=("KERNEL32.dll", "msvcrt.dll"), list_key=None):
    """A small Windows image holding only resources and an import table: the application
    manifest and icon 101 as the launcher carries them, unless told otherwise. wide: PE32+.
    list_key: the public key (hex) a launcher built with one carries."""
    resources = {24: {1: manifest}} if manifest is not None else {}
    if list_key:
        resources[10] = {"TARSIN_LIST_KEY": list_key.encode()}
    if icon:
        resources.update({14: {101: ICON_GROUP}, 3: {1: bytes(40)}})
    rsrc = resource_section(resources, 0x1000)
    rsrc += bytes(-len(rsrc) % 4)
    table = 0x1000 + len(rsrc)
    names, names_at = b"", table + 20 * (len(imports) + 1)
    descriptors = b""
    for dll in imports:
        descriptors += struct.pack("<IIIII", 0, 0, 0, names_at + len(names), 0)
        names += dll.encode() + b"\0"
    section = rsrc + descriptors + bytes(20) + names
    raw = section + bytes(-len(section) % 0x200)
    optional = (struct.pack("<H", 0x20B if wide else 0x10B) + bytes(66) + struct.pack("<H", subsystem)
                + bytes(38 if wide else 22) + struct.pack("<I", 16) + bytes(8)
                + struct.pack("<IIII", table, len(descriptors) + 20, 0x1000, len(rsrc)) + bytes(8 * 13))
    headers = (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
               + b"PE\0\0" + struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, len(optional), characteristics) + optional
               + struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), 0x1000, len(raw), 0x200, 0, 0, 0, 0, 0x40000040))
    return headers + bytes(0x200 - len(headers)) + raw


LAUNCHER = pe_image()


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
        "TarsinLauncher.exe": LAUNCHER,
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
        ("a control character", "bell\x07.dat", "control character"),
        ("the launcher's log", "launcher.log", "keeps for itself"),
        ("the state file", "DATA-STATE.TXT", "keeps for itself"),
        ("the state file with a trailing dot", "data-state.txt.", "keeps for itself"),
        ("a partial download name", "data/x.pak.part", "partial download"),
        ("the launcher's old executable", "TarsinLauncher.exe.old", "previous executable"),
        ("a name differing in letter case", "DATA/X.PAK", "one file on Windows with"),
        ("a name differing in a final dot", "ok.dat.", 'one file on Windows with "ok.dat"'),
        ("a file where a folder is", "Data", 'the folder "data" of "data/x.pak"'),
    ]

    def test_each_name_is_refused_and_nothing_is_written(self):
        for name, path, reason in self.CASES:
            with self.subTest(name):
                build = os.path.join(self.tmp.name, name.replace(" ", "_"))
                make_tree(build, {"ok.dat": b"fine", "data/x.pak": b"x", "TarsinLauncher.exe": LAUNCHER})
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
        with mock.patch.object(publish_cmd, "MANIFEST_LIMIT", one_line * 5):
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
        err = self.publish(keep=["*.ini"], files={"Console.exe": b"1", "cone.d/x": b"2", "a.b.c": b"3",
                                                  "TarsinLauncher.exe": LAUNCHER})
        self.assertEqual([line for line in err.splitlines() if "warning" in line],
                         ['publish: warning: --keep "*.ini" matches no file'])


class PublishComparesWithTheServedList(Tree):
    # (name, the served build, the new build, how many warnings, what they say)
    CASES = [
        ("a file becomes a folder", {"maps": b"1"}, {"Maps/a.dat": b"2"},
         1, ['maps: was a file in version 1 and is a folder now ("Maps/a.dat")']),
        ("a folder becomes a file", {"maps/a.dat": b"1", "maps/b.dat": b"2"}, {"Maps": b"3"},
         1, ['Maps: was a folder in version 1 ("maps/a.dat") and is a file now']),
        ("a file renamed in letter case", {"Map.dat": b"1"}, {"map.dat": b"1"},
         1, ['map.dat: renamed from "Map.dat" of version 1']),
        ("a final dot dropped", {"x.": b"1"}, {"x": b"2"}, 1, ['x: renamed from "x." of version 1']),
        ("a folder renamed in letter case", {"Maps/a.dat": b"1", "Maps/b.dat": b"2"},
         {"maps/a.dat": b"1", "maps/b.dat": b"2"}, 1, ['maps: the folder "Maps" of version 1 renamed', "its 2 files"]),
        ("ordinary changes", {"a.dat": b"1", "old/b.dat": b"2"}, {"a.dat": b"3", "new/b.dat": b"2"}, 0, []),
    ]

    def test_each_change_players_go_through_is_reported(self):
        for name, old, new, count, expected in self.CASES:
            with self.subTest(name):
                root = os.path.join(self.tmp.name, name.replace(" ", "_"))
                make_tree(os.path.join(root, "1"), old)
                make_tree(os.path.join(root, "2"), new)
                out = os.path.join(root, "out")
                self.assertEqual(run_cli("publish", os.path.join(root, "1"), out, "--version", "1")[0], 0)
                code, err = run_cli("publish", os.path.join(root, "2"), out, "--version", "2")
                self.assertEqual(code, 0, err)
                warnings = [line for line in err.splitlines() if "warning" in line]
                self.assertEqual(len(warnings), count, err)
                for text in expected:
                    self.assertIn(text, err)


class LauncherCheck(Tree):
    FOREIGN = [
        ("a 64-bit program", pe_image(machine=0x8664), "not for 32-bit x86"),
        ("a 64-bit image", pe_image(machine=0x8664, wide=True), "not for 32-bit x86"),
        ("a program needing a runtime DLL", pe_image(imports=("KERNEL32.dll", "libstdc++-6.dll")),
         "needs libstdc++-6.dll, which Windows does not ship"),
        ("a program loading DLLs at start that its folder could hold",
         pe_image(imports=("KERNEL32.dll", "WINHTTP.dll", "USER32.dll", "bcrypt.dll", "COMCTL32.DLL")),
         "loads WINHTTP.dll, bcrypt.dll, COMCTL32.DLL at its start, from its own folder"),
        ("a console program", pe_image(subsystem=3), "not a Windows GUI program"),
        ("a library", pe_image(characteristics=0x2102), "not an executable program"),
        ("no application manifest", pe_image(manifest=None), "no application manifest"),
        ("a manifest asking for an administrator",
         pe_image(manifest=APP_MANIFEST.replace(b"asInvoker", b"requireAdministrator")), '"asInvoker"'),
        ("a manifest without DPI awareness", pe_image(manifest=APP_MANIFEST.replace(b">true<", b">false<")),
         "DPI-aware"),
        ("a manifest without the common controls",
         pe_image(manifest=APP_MANIFEST.replace(b"Common-Controls", b"Other")), "common controls 6"),
        ("a manifest that is not XML", pe_image(manifest=b"<assembly"), "not XML"),
        ("no icon", pe_image(icon=False), "no icon"),
        ("a cut download", LAUNCHER[:0x300], "cut short"),
        ("headers only", b"MZ launcher", "cut short or damaged"),
        ("a shell script", b"#!/bin/sh\n", "not a Windows program"),
    ]

    def test_each_foreign_executable_is_refused_unless_allowed(self):
        for name, data, reason in self.FOREIGN:
            with self.subTest(name):
                build = os.path.join(self.tmp.name, name.replace(" ", "_"))
                make_tree(build, {"bin/Game Launcher.exe": data, "ruvok.exe": b"game"})
                out = os.path.join(self.tmp.name, "out-" + name.replace(" ", "_"))
                args = ("publish", build, out, "--version", "1", "--launcher", "bin/Game Launcher.exe")
                code, err = run_cli(*args)
                self.assertEqual(code, 1)
                self.assertIn("bin/Game Launcher.exe: would not start as the launcher", err)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(out), "refused before anything is written")
                code, err = run_cli(*args, "--allow-foreign-launcher")
                self.assertEqual(code, 0, err)
                self.assertIn("warning: bin/Game Launcher.exe: would not start as the launcher", err)

    def test_the_tests_64_bit_build_passes_only_when_asked_for_and_otherwise_sound(self):
        cases = [("a 64-bit launcher", pe_image(machine=0x8664, wide=True), True),
                 ("a 64-bit console program", pe_image(machine=0x8664, wide=True, subsystem=3), False),
                 ("a 64-bit launcher without icon", pe_image(machine=0x8664, wide=True, icon=False), False)]
        for name, data, accepted in cases:
            with self.subTest(name):
                make_tree(self.build, {"TarsinLauncher.exe": data})
                code, err = run_cli("publish", self.build, self.out, "--version", name, "--allow-64-bit-launcher")
                self.assertEqual(code, 0 if accepted else 1, err)
                self.assertEqual(run_cli("publish", self.build, self.out + "-strict", "--version", name)[0], 1)

    def test_real_launchers_pass_and_the_summary_names_them(self):
        if not os.path.exists(BUILT_LAUNCHER):
            if os.environ.get("CI") == "true":
                self.fail(f"{BUILT_LAUNCHER} is missing: every build makes the 32-bit launcher")
            self.skipTest(f"{BUILT_LAUNCHER} is not built")
        with open(BUILT_LAUNCHER, "rb") as f:
            built = f.read()
        cases = [("built", built, True), ("with bytes appended", built + b"x" * 5000, True),
                 ("cut in half", built[:len(built) // 2], False), ("crafted", LAUNCHER, True),
                 ("importing only known DLLs and API sets", pe_image(imports=(
                     "KERNEL32.dll", "USER32.dll", "gdi32.DLL", "SHELL32.dll", "msvcrt.dll", "WS2_32.dll",
                     "api-ms-win-core-synch-l1-2-0.dll")), True)]
        for name, data, starts in cases:
            with self.subTest(name):
                make_tree(self.build, {"TarsinLauncher.exe": data})
                code, err = run_cli("publish", self.build, self.out, "--version", name)
                self.assertEqual(code, 0 if starts else 1, err)
                if starts:
                    self.assertIn(f"launcher TarsinLauncher.exe: {len(data)} bytes, SHA-256 {sha(data)}", err)


class Republish(Tree):
    def test_unchanged_objects_stay_and_only_new_content_is_written(self):
        self.publish("1", files={"same.dat": b"s" * 5000, "changes.dat": b"old", "gone.dat": b"g"})
        same = os.path.join(self.out, "o", sha(b"s" * 5000))
        before = os.stat(same)
        os.unlink(os.path.join(self.build, "gone.dat"))
        make_tree(self.build, {"changes.dat": b"new!!"})
        with mock.patch.object(publish_hashing, "copy_hashing", wraps=publish_hashing.copy_hashing) as reads:
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

        with mock.patch.object(os, "replace", record):
            self.publish()
        self.assertEqual(renames[-1], "manifest.txt")
        self.assertEqual(len([r for r in renames if publish.HEX64.match(r)]), 20)
        self.assertNotIn("manifest.txt", renames[:-1])

    def test_a_failed_publish_leaves_the_served_tree_as_it_was(self):
        self.publish("1", files={f"f{i}.dat": b"v1-%d" % i for i in range(10)})
        served = self.manifest()
        make_tree(self.build, {f"f{i}.dat": b"v2-%d-" % i for i in range(10)})
        real = publish_hashing.copy_hashing
        calls = []

        def failing(source, sink, progress, buffer):
            calls.append(source)
            if len(calls) == 5:
                if sink is not None:
                    sink.write(b"half")
                raise OSError("disk full")
            return real(source, sink, progress, buffer)

        with mock.patch.object(publish_hashing, "copy_hashing", failing), \
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
                h = self.damage(how)
                problems = publish.verify(self.out, quiet=True)
                self.assertTrue(problems)
                self.assertTrue(any(expected in p for p in problems), problems)
                code, err = run_cli("verify", self.out, "--quiet")
                self.assertEqual(code, 1)
                if how != "upper-case hash":
                    self.assertIn(f'verify: o/{h}: ', err)
                    self.assertIn('needed by manifest.txt ("p.dat"), manifests/1.0.txt ("p.dat")', err)

    def test_a_tree_without_a_file_list(self):
        os.makedirs(self.out)
        self.assertEqual(publish.verify(self.out, quiet=True), ["manifest.txt: missing"])


class VerifyExisting(Tree):
    def test_a_damaged_object_is_written_again_only_when_asked(self):
        payload = b"payload" * 100
        # The second build has the file unchanged (only hashed) or under a new name (copied).
        for second in ({"p.dat": payload}, {"new/copy.dat": payload}):
            with self.subTest(next(iter(second))):
                self.tearDown()
                self.setUp()
                self.publish("1", files={"p.dat": payload, "q.dat": b"other"})
                obj = os.path.join(self.out, "o", sha(payload))
                with open(obj, "r+b") as f:
                    f.write(b"X")
                shutil.rmtree(self.build)
                make_tree(self.build, dict(second, **{"q.dat": b"other"}))
                self.publish("2")
                self.assertTrue(publish.verify(self.out, quiet=True), "reused by its size alone")
                code, err = run_cli("publish", self.build, self.out, "--version", "3", "--verify-existing")
                self.assertEqual(code, 0, err)
                self.assertIn(f"o/{sha(payload)} was damaged; written again from {next(iter(second))}", err)
                self.assertIn("re-hashed 2 reused objects: 1 damaged", err)
                with open(obj, "rb") as f:
                    self.assertEqual(f.read(), payload)
                self.assertEqual(publish.verify(self.out, quiet=True), [])


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
        self.assertEqual(publish.prune(self.out, dry_run=True, quiet=True, grace=0), (1, 3))
        self.assertIn(sha(b"one"), self.objects())
        self.assertEqual(publish.prune(self.out, quiet=True, grace=0), (1, 3))
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

    def test_rollback_refuses_when_objects_are_gone_or_damaged(self):
        for how, reason in (("gone", "missing"), ("damaged", "SHA-256 is")):
            with self.subTest(how):
                self.tearDown()
                self.setUp()
                self.publish("1.0", files={"a.dat": b"one"})
                make_tree(self.build, {"a.dat": b"two"})
                self.publish("1.1")
                obj = os.path.join(self.out, "o", sha(b"one"))
                os.unlink(obj)
                if how == "damaged":
                    with open(obj, "wb") as f:
                        f.write(b"One")
                code, err = run_cli("rollback", self.out, "1.0")
                self.assertEqual(code, 1)
                self.assertIn('"a.dat"', err)
                self.assertIn(reason, err)
                self.assertIn(b"1.1", self.manifest())

    def test_versions_that_share_an_archive_name(self):
        self.publish("1.0 beta", files={"a.dat": b"one"})
        first = self.manifest()
        make_tree(self.build, {"a.dat": b"two"})
        code, err = run_cli("publish", self.build, self.out, "--version", "1.0_beta")
        self.assertEqual(code, 1)
        self.assertIn('manifests/1.0_beta.txt: holds version "1.0 beta"', err)
        self.assertEqual(self.manifest(), first)
        self.assertNotIn(sha(b"two"), self.objects(), "refused before anything is written")
        # Other content under a published version is refused; the same content changes nothing.
        code, err = run_cli("publish", self.build, self.out, "--version", "1.0 beta")
        self.assertEqual((code, self.manifest()), (1, first))
        self.assertIn("version 1.0 beta is published already with other content (manifests/1.0_beta.txt)", err)
        make_tree(self.build, {"a.dat": b"one"})
        served = os.stat(os.path.join(self.out, "manifest.txt"))
        self.assertIn("nothing changed", self.publish("1.0 beta"))
        self.assertEqual(os.stat(os.path.join(self.out, "manifest.txt")).st_mtime_ns, served.st_mtime_ns)
        self.assertFalse(os.path.exists(os.path.join(self.out, "retired")))
        second = first
        # A tree archived before the check: the name alone must not pick the list.
        code, err = run_cli("rollback", self.out, "1.0_beta")
        self.assertEqual(code, 1)
        self.assertIn('holds version "1.0 beta", not "1.0_beta"', err)
        self.assertEqual(self.manifest(), second)

    def test_prune_keeps_the_objects_of_lists_retired_within_the_grace_period(self):
        # (hours since the list was retired, prune's arguments, whether its object stays)
        cases = [(0, [], True), (25, [], False), (25, ["--grace", "2d"], True),
                 (0.5, ["--grace", "20m"], False), (0.5, ["--grace", "1"], True), (0.5, ["--dry-run", "--grace", "0"], True)]
        old = b"old"
        old_list = publish.format_manifest("0.9", [publish.Entry(sha(old), len(old), "", "a.dat")])
        for hours, args, kept in cases:
            with self.subTest(hours=hours, args=args):
                self.tearDown()
                self.setUp()
                self.publish("1", files={"a.dat": b"current"})
                make_tree(os.path.join(self.out, "o"), {sha(old): old})
                publish.retire(self.out, old_list, now=time.time() - hours * 3600)
                code, err = run_cli("prune", self.out, *args)
                self.assertEqual(code, 0, err)
                self.assertEqual(sha(old) in self.objects(), kept, err)
                self.assertEqual("version 0.9, retired" in err, kept and "--dry-run" not in args, err)
                records = os.listdir(os.path.join(self.out, "retired"))
                self.assertEqual(len(records), 1 if kept else 0, "a record past the grace period goes too")

    def test_publish_and_rollback_retire_the_list_they_replace(self):
        self.publish("1", files={"a.dat": b"one"})
        make_tree(self.build, {"a.dat": b"two"})
        self.publish("2")
        self.assertEqual(run_cli("rollback", self.out, "1", "--quiet")[0], 0)
        make_tree(self.build, {"a.dat": b"three"})
        self.publish("3")
        # The operator drops the older archived lists and prunes at once: launchers that
        # fetched one of them a moment ago are still downloading its objects.
        for name in ("1.txt", "2.txt"):
            os.unlink(os.path.join(self.out, "manifests", name))
        code, err = run_cli("prune", self.out)
        self.assertEqual(code, 0)
        self.assertEqual(self.objects(), sorted([sha(b"one"), sha(b"two"), sha(b"three")]))
        self.assertIn("version 1, retired 0.0 h ago: 1 objects", err)
        self.assertIn("version 2, retired 0.0 h ago: 1 objects", err)

    def test_one_command_at_a_time_per_tree(self):
        self.publish("1", files={"a.dat": b"one"})
        with publish.Lock(self.out):
            code, err = run_cli("prune", self.out)
        self.assertEqual(code, 1)
        self.assertIn("another publish", err)


class Signing(Tree):
    """The operator's key, the statement written before the list, rollback, verify."""

    def setUp(self):
        super().setUp()
        self.key = os.path.join(self.tmp.name, "list.pem")
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(run_cli("keygen", self.key)[0], 0)
        self.public = publish.signing.public_hex(publish.signing.load_key(self.key).public_key())
        make_tree(self.build, {"a.dat": b"one"})

    def statement(self):
        with open(publish.statement_path(self.out, self.manifest()), "rb") as f:
            return publish.signing.parse_statement(f.read())

    def test_keygen_writes_an_owner_only_key_once_and_prints_its_public_half(self):
        with contextlib.redirect_stdout(io.StringIO()) as out:
            self.assertEqual(run_cli("keygen", os.path.join(self.tmp.name, "second.pem"))[0], 0)
        printed = out.getvalue().strip()
        self.assertRegex(printed, r"\A[0-9a-f]{128}\Z")
        self.assertEqual(printed, publish.signing.check_public_key(printed))
        self.assertEqual(os.stat(self.key).st_mode & 0o777, 0o600)
        with open(self.key, "rb") as f:
            before = f.read()
        code, err = run_cli("keygen", self.key)
        self.assertEqual(code, 1)
        self.assertIn("never overwritten", err)
        with open(self.key, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_publish_writes_the_statement_before_the_list(self):
        real = publish.serve

        def serve(out_dir, text):
            self.assertTrue(os.path.exists(publish.statement_path(out_dir, text)), "statement first")
            real(out_dir, text)

        with mock.patch.object(publish, "serve", serve), mock.patch.dict(os.environ, {"TARSIN_SIGN_KEY": self.key}):
            self.assertEqual(run_cli("publish", self.build, self.out, "--version", "1", "--valid-for", "2d",
                                     "--quiet")[0], 0)
        statement = self.statement()
        self.assertEqual(statement["list"], sha(self.manifest()))
        self.assertLessEqual(abs(statement["signed"] - time.time()), 5)
        self.assertEqual(statement["until"], statement["signed"] + 2 * 86400)
        self.assertEqual(publish.signing.signed_by(statement, [self.public]), [self.public])
        self.assertEqual(publish.parse_manifest(self.manifest())[0], "1")
        # An unsigned list in a signed tree would be refused by every launcher.
        make_tree(self.build, {"a.dat": b"two"})
        served = self.manifest()
        code, err = run_cli("publish", self.build, self.out, "--version", "2", "--quiet")
        self.assertEqual((code, self.manifest()), (1, served))
        self.assertIn("--sign-key", err)

    def test_rollback_signs_again_with_a_new_time_and_new_bytes(self):
        self.assertEqual(run_cli("publish", self.build, self.out, "--version", "1", "--sign-key", self.key,
                                 "--quiet")[0], 0)
        first, first_text = self.statement(), self.manifest()
        make_tree(self.build, {"a.dat": b"two"})
        with mock.patch.object(time, "time", return_value=time.time() + 100):
            publish.publish(self.build, self.out, "2", quiet=True, sign_keys=[self.key])
            self.assertEqual(run_cli("rollback", self.out, "1", "--quiet")[0], 1, "unsigned refused")
        with mock.patch.object(time, "time", return_value=time.time() + 200):
            self.assertEqual(run_cli("rollback", self.out, "1", "--sign-key", self.key, "--quiet")[0], 0)
        again = self.statement()
        self.assertNotEqual(self.manifest(), first_text, "a statement's name never gets other content")
        self.assertEqual(publish.parse_manifest(self.manifest()), publish.parse_manifest(first_text))
        self.assertGreaterEqual(again["signed"], first["signed"] + 200)
        self.assertEqual(publish.signing.signed_by(again, [self.public]), [self.public])
        self.assertEqual(publish.verify(self.out, quiet=True, public_keys=[self.public]), [])

    def test_verify_finds_each_missing_or_damaged_statement(self):
        other = os.path.join(self.tmp.name, "other.pem")
        publish.signing.keygen(other)
        cases = [("missing", None, "missing"), ("garbage", lambda s: b"x" + s, "not a statement"),
                 ("a byte changed", lambda s: s.replace(b"signed\t1", b"signed\t2"), "none of the given"),
                 ("another key", lambda s: publish.signing.make_statement(self.manifest(), [
                     publish.signing.load_key(other)], time.time()), "none of the given"),
                 ("expired", lambda s: publish.signing.make_statement(self.manifest(), [
                     publish.signing.load_key(self.key)], time.time() - 7200, 3600), "expired")]
        for name, damage, expected in cases:
            with self.subTest(name):
                shutil.rmtree(self.out, ignore_errors=True)
                publish.publish(self.build, self.out, "1", quiet=True, sign_keys=[self.key])
                path = publish.statement_path(self.out, self.manifest())
                with open(path, "rb") as f:
                    text = f.read()
                os.unlink(path)
                if damage:
                    make_tree(self.out, {os.path.relpath(path, self.out): damage(text)})
                    os.makedirs(os.path.join(self.out, "s", "x"))  # not a statement's name: ignored
                else:
                    make_tree(self.out, {"s/" + "0" * 64: text})
                code, err = run_cli("verify", self.out, "--public-key", self.public, "--quiet")
                self.assertEqual(code, 1)
                self.assertIn(expected, err)


class SigningGuards(Tree):
    """What signing refuses: a launcher that would take any list, a key that would be
    published, times that would lock players out; and the lifetime every statement gets."""

    def setUp(self):
        super().setUp()
        self.key = os.path.join(self.tmp.name, "list.pem")
        self.public = publish.signing.keygen(self.key)
        self.other = os.path.join(self.tmp.name, "other.pem")
        publish.signing.keygen(self.other)
        make_tree(self.build, {"a.dat": b"one"})

    def launcher(self, name):
        path = os.path.join(wine_build.PRODUCT.dir, *name.split("/"))
        if not os.path.exists(path):
            self.skipTest(f"{path} is not built")
        with open(path, "rb") as f:
            return f.read()

    def signed_publish(self, *extra, version="1"):
        return run_cli("publish", self.build, self.out, "--version", version, "--sign-key", self.key, "--quiet",
                       *extra)

    def statement(self):
        with open(publish.statement_path(self.out, self.manifest()), "rb") as f:
            return publish.signing.parse_statement(f.read())

    def test_only_a_launcher_that_checks_a_signing_key_is_signed(self):
        keyed = self.launcher("tests/TarsinLauncherSigned.exe")
        ours = keyed.replace(publish.signing.TEST_PUBLIC_KEY.encode(), self.public.encode())
        test_key = os.path.join(ROOT, "tests", "system", "list-test-key.pem")
        rows = [  # (launcher, key files, extra arguments, refusal or None)
            (self.launcher("TarsinLauncher.exe"), [self.key], [], "carries no public key"),
            (keyed, [test_key], [], "the tests' key"),
            (keyed, [test_key], ["--allow-test-key"], None),
            (ours, [self.other], [], "none of the keys given"),
            (ours, [self.other, self.key], [], None),
            (self.launcher("TarsinLauncher.exe"), [], [], None),
        ]
        for launcher, keys, extra, refusal in rows:
            with self.subTest(refusal=refusal, keys=len(keys), extra=extra):
                shutil.rmtree(self.out, ignore_errors=True)
                make_tree(self.build, {"TarsinLauncher.exe": launcher})
                args = [a for k in keys for a in ("--sign-key", k)] + extra
                code, err = run_cli("publish", self.build, self.out, "--version", "1", "--quiet", *args)
                self.assertEqual(code, 0 if refusal is None else 1, err)
                self.assertIn(refusal or "", err)
                self.assertEqual(os.path.exists(self.out), refusal is None, "nothing written when refused")
        # rollback, resign and promote check the launcher the list names, from its object.
        make_tree(self.build, {"TarsinLauncher.exe": self.launcher("TarsinLauncher.exe")})
        self.assertEqual(run_cli("publish", self.build, self.out, "--version", "2", "--quiet")[0], 0)
        live = os.path.join(self.tmp.name, "live")
        for command in (("rollback", self.out, "2"), ("resign", self.out), ("promote", self.out, live)):
            code, err = run_cli(*command, "--sign-key", self.key, "--quiet")
            self.assertEqual(code, 1, command)
            self.assertIn("carries no public key", err)

    def test_no_private_key_is_ever_published(self):
        with open(self.key, "rb") as f:
            pem = f.read()
        in_build, in_tree = os.path.join(self.build, "list.pem"), os.path.join(self.out, "k.pem")
        rows = [  # (build files, served tree files, --sign-key, the file named)
            ({"cfg/tls.key": b"junk\n" + pem.replace(b"BEGIN ", b"BEGIN EC ")}, {}, [], "cfg/tls.key"),
            ({"list.pem": pem}, {}, ["--sign-key", in_build], "list.pem"),
            ({}, {"k.pem": pem}, ["--sign-key", in_tree], "k.pem"),
        ]
        for files, served, extra, named in rows:
            with self.subTest(named):
                shutil.rmtree(self.build)
                shutil.rmtree(self.out, ignore_errors=True)
                make_tree(self.build, dict(files, **{"a.dat": b"one"}))
                make_tree(self.out, served)
                for dry in ([], ["--dry-run"]):
                    code, err = run_cli("publish", self.build, self.out, "--version", "1", "--quiet", *extra, *dry)
                    self.assertEqual(code, 1, err)
                    self.assertIn(named, err)
                    self.assertEqual(sorted(os.listdir(self.out)) if os.path.isdir(self.out) else [], list(served))

    def test_every_statement_expires_and_resign_renews_the_served_list(self):
        self.assertEqual(self.signed_publish()[0], 0)
        first, first_text = self.statement(), self.manifest()
        self.assertEqual(first["until"], first["signed"] + 30 * 86400, "30 days unless told")
        objects = self.objects()
        with self.assertRaises(SystemExit, msg="a validity over a year is refused"), \
                contextlib.redirect_stderr(io.StringIO()):
            run_cli("publish", self.build, self.out, "--version", "2", "--sign-key", self.key, "--valid-for", "400d")
        with mock.patch.object(time, "time", return_value=first["until"] - 3 * 86400):
            code, err = run_cli("verify", self.out, "--quiet")
            self.assertEqual(code, 0, err)
            self.assertIn("expires in 72.0 h", err)
            self.assertIn(f"publish.py resign {self.out}", err)
            self.assertEqual(run_cli("resign", self.out, "--sign-key", self.key, "--quiet")[0], 0)
            self.assertNotIn("expires", run_cli("verify", self.out, "--quiet")[1])
        again = self.statement()
        self.assertEqual(again["until"] - again["signed"], 30 * 86400)
        self.assertGreater(again["signed"], first["signed"])
        self.assertEqual(publish.parse_manifest(self.manifest()), publish.parse_manifest(first_text))
        self.assertEqual(self.manifest().count(b"stamp\t"), 1)
        self.assertEqual(self.objects(), objects)
        self.assertEqual(publish.verify(self.out, quiet=True, public_keys=[self.public]), [])
        # A statement of old without "until" expires for launchers 90 days after signing.
        old = publish.signing.make_statement(self.manifest(), [publish.signing.load_key(self.key)],
                                             time.time() - 91 * 86400)
        make_tree(self.out, {"s/" + sha(self.manifest()): old})
        code, err = run_cli("verify", self.out, "--quiet")
        self.assertEqual(code, 1)
        self.assertIn("expired 24.0 h ago", err)

    def test_only_verified_times_count_and_none_far_ahead(self):
        self.assertEqual(self.signed_publish()[0], 0)
        signed = self.statement()["signed"]
        key = publish.signing.load_key(self.key)
        stranger = publish.signing.load_key(self.other)
        planted = [publish.signing.make_statement(b"x", [stranger], 4102444800),  # 2100, another key
                   b"KXSIGNED 1\nlist\t" + b"0" * 64 + b"\nsigned\t" + b"9" * 19 + b"\nsig\t" + b"0" * 16 + b"\t"
                   + b"0" * 128 + b"\n", b"\xff" * 10]
        make_tree(self.out, {f"s/{i:064x}": p for i, p in enumerate(planted)})
        with mock.patch.object(time, "time", return_value=signed):
            self.assertEqual(self.signed_publish(version="2")[0], 0)
            self.assertEqual(self.statement()["signed"], signed + 1, "strictly after the newest, not planted ones")
            make_tree(self.out, {"s/" + "f" * 64: publish.signing.make_statement(b"y", [key], signed + 30 * 86400)})
            served = self.manifest()
            code, err = self.signed_publish(version="3")
            self.assertEqual(code, 1)
            self.assertIn("s/" + "f" * 64 + ": signed 720.0 h ahead", err)
            self.assertEqual(self.manifest(), served)

    def test_the_channel_is_kept_until_changed(self):
        rows = [(["--channel", "staging"], "staging"), ([], "staging"), (["--channel", "default"], ""), ([], "")]
        for version, (extra, channel) in enumerate(rows):
            with self.subTest(extra=extra):
                self.assertEqual(self.signed_publish(*extra, version=str(version))[0], 0)
                self.assertEqual(self.statement()["channel"], channel)
        with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
            self.signed_publish("--channel", "Staging!", version="9")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Upload(Tree):
    """Uploads to real rclone remotes that need no network: a local folder, and a folder
    served by rclone's own WebDAV server on 127.0.0.1."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory()
        config = os.path.join(cls.home.name, "rclone.conf")
        open(config, "w").close()
        cls.dav_root = os.path.join(cls.home.name, "dav")
        os.makedirs(cls.dav_root)
        port = free_port()
        cls.env = mock.patch.dict(os.environ, {
            "RCLONE_CONFIG": config, "RCLONE_CONFIG_TESTDAV_TYPE": "webdav",
            "RCLONE_CONFIG_TESTDAV_URL": f"http://127.0.0.1:{port}/", "RCLONE_CONFIG_TESTDAV_VENDOR": "other"})
        cls.env.start()
        cls.dav = subprocess.Popen(["rclone", "serve", "webdav", cls.dav_root, "--addr", f"127.0.0.1:{port}"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if cls.dav.poll() is not None or time.monotonic() > deadline:
                    cls.tearDownClass()
                    raise RuntimeError("rclone serve webdav did not start")
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.dav.terminate()
        try:
            cls.dav.wait(10)
        except subprocess.TimeoutExpired:
            cls.dav.kill()
            cls.dav.wait()
        cls.env.stop()
        cls.home.cleanup()

    def remotes(self):
        """(rclone's name of the remote, the folder where its files land)."""
        local = os.path.join(self.tmp.name, "local-remote")
        site = "site-" + os.path.basename(self.tmp.name)
        return [(local, local), (f"testdav:{site}", os.path.join(self.dav_root, site))]

    def upload(self, remote, *args):
        return run_cli("upload", self.out, remote, *args)

    def test_objects_then_the_archived_list_then_the_list(self):
        for remote, folder in self.remotes():
            with self.subTest(remote):
                self.tearDown()
                self.setUp()
                entries = publish.publish(self.build, self.out, "1.0", quiet=True) if make_tree(
                    self.build, {"a.dat": b"aaaa", "b/c.dat": b"cc" * 3000, "d.dat": b""}) is None else None
                calls = []
                real = publish.run_rclone

                def watched(args, quiet, show_progress=False):
                    # When anything touches the lists, every object is in place at the remote.
                    if args[0] != "lsf" and args[0] != "copy":
                        have = {n: os.path.getsize(os.path.join(folder, "o", n))
                                for n in os.listdir(os.path.join(folder, "o"))}
                        self.assertEqual(have, {e.hash: e.size for e in entries}, args)
                    calls.append((args[0], args[-1].rsplit("/", 1)[-1]))
                    return real(args, quiet, show_progress)

                with mock.patch.object(publish_remote, "run_rclone", watched):
                    code, err = self.upload(remote)
                self.assertEqual(code, 0, err)
                self.assertEqual([c for c in calls if c[0] != "lsf"],
                                 [("copy", "o"), ("copyto", "1.0.txt"), ("copyto", ".tmp-manifest.txt"),
                                  ("moveto", "manifest.txt")])
                for step in ("upload 1/3: 3 of 3 objects", "upload 2/3: manifests/1.0.txt",
                             "upload 3/3: manifest.txt (version 1.0)"):
                    self.assertIn(step, err)
                self.assertEqual(sorted(os.listdir(folder)), ["manifest.txt", "manifests", "o"])
                for name in ("manifest.txt", "manifests/1.0.txt", *(f"o/{e.hash}" for e in entries)):
                    with open(os.path.join(folder, name), "rb") as theirs, \
                            open(os.path.join(self.out, name), "rb") as ours:
                        self.assertEqual(theirs.read(), ours.read(), name)

    def test_only_missing_objects_go_and_every_new_list_replaces_the_old(self):
        for remote, folder in self.remotes():
            with self.subTest(remote):
                self.tearDown()
                self.setUp()
                self.publish("1", files={"a.dat": b"one", "b.dat": b"bee", "c.dat": b"sea"})
                self.assertEqual(self.upload(remote, "--quiet")[0], 0)
                kept = os.stat(os.path.join(folder, "o", sha(b"bee")))
                # An upload cut short earlier, made through the remote: a WebDAV server may not
                # see what changes behind its back.
                cut = os.path.join(self.tmp.name, "cut")
                make_tree(self.tmp.name, {"cut": b"s"})
                self.assertEqual(publish.run_rclone(["copyto", "--ignore-times", cut,
                                                     publish.remote_path(remote, "o/" + sha(b"sea"))], True)[0], 0)
                # The same sizes everywhere: the new list is as long as the old one.
                self.publish("2", files={"a.dat": b"two"})
                code, err = run_cli("upload", self.out, remote, "--dry-run")
                self.assertEqual(code, 0, err)
                self.assertIn("would upload", err)
                self.assertIn("2 of 3 objects", err)
                with open(os.path.join(folder, "manifest.txt"), "rb") as f:
                    self.assertIn(b"version\t1", f.read(), "a dry run changes nothing")
                self.assertEqual(self.upload(remote, "--quiet")[0], 0)
                with open(os.path.join(folder, "manifest.txt"), "rb") as f:
                    self.assertEqual(f.read(), self.manifest())
                again = os.stat(os.path.join(folder, "o", sha(b"bee")))
                self.assertEqual((kept.st_ino, kept.st_mtime_ns), (again.st_ino, again.st_mtime_ns))
                with open(os.path.join(folder, "o", sha(b"sea")), "rb") as f:
                    self.assertEqual(f.read(), b"sea")
                self.assertNotIn(".tmp-manifest.txt", os.listdir(folder))

    def test_a_signed_tree_sends_the_statement_after_the_objects_and_before_the_lists(self):
        remote, folder = self.remotes()[0]
        key = os.path.join(self.tmp.name, "list.pem")
        publish.signing.keygen(key)
        self.publish("1", files={"a.dat": b"one"})
        make_tree(self.build, {"a.dat": b"two"})
        publish.publish(self.build, self.out, "2", quiet=True, sign_keys=[key])
        calls = []
        real = publish.run_rclone

        def watched(args, quiet, show_progress=False):
            calls.append((args[0], args[-1].rsplit("/", 2)[-2:]))
            return real(args, quiet, show_progress)

        with mock.patch.object(publish_remote, "run_rclone", watched):
            self.assertEqual(self.upload(remote, "--quiet")[0], 0)
        name = sha(self.manifest())
        self.assertEqual([c for c in calls if c[0] != "lsf"],
                         [("copy", [folder.rsplit("/", 1)[-1], "o"]), ("copyto", ["s", ".tmp-" + name]),
                          ("moveto", ["s", name]), ("copyto", ["manifests", "2.txt"]),
                          ("copyto", [folder.rsplit("/", 1)[-1], ".tmp-manifest.txt"]),
                          ("moveto", [folder.rsplit("/", 1)[-1], "manifest.txt"])])
        with open(os.path.join(folder, "s", name), "rb") as theirs, \
                open(os.path.join(self.out, "s", name), "rb") as ours:
            self.assertEqual(theirs.read(), ours.read())
        os.unlink(os.path.join(self.out, "s", name))
        code, err = self.upload(remote)
        self.assertEqual(code, 1)
        self.assertIn("is missing; nothing uploaded", err)

    def test_refusals_leave_the_remote_alone(self):
        remote, folder = self.remotes()[0]
        self.publish("1", files={"a.dat": b"one", "b.dat": b"two"})
        self.assertEqual(self.upload(remote, "--quiet")[0], 0)
        self.publish("2", files={"a.dat": b"new"})
        served = os.listdir(os.path.join(folder, "o"))
        with mock.patch.dict(os.environ, {"PATH": self.tmp.name}):
            code, err = self.upload(remote)
        self.assertEqual(code, 1)
        self.assertIn("rclone is not installed", err)
        os.unlink(os.path.join(self.out, "o", sha(b"new")))
        code, err = self.upload(remote)
        self.assertEqual(code, 1)
        self.assertIn('lacks 1 objects of its own list (first: o/%s of "a.dat")' % sha(b"new"), err)
        self.assertEqual(os.listdir(os.path.join(folder, "o")), served)
        with open(os.path.join(folder, "manifest.txt"), "rb") as f:
            self.assertIn(b"version\t1", f.read())


class WithoutCryptography(Tree):
    def test_keygen_and_signing_name_what_is_missing(self):
        key = os.path.join(self.tmp.name, "k.pem")
        make_tree(self.build, {"a.dat": b"one"})
        hidden = dict.fromkeys([n for n in sys.modules if n.startswith("cryptography")] + ["cryptography"])
        with mock.patch.dict(sys.modules, hidden):
            for args in (("keygen", key), ("publish", self.build, self.out, "--version", "1", "--sign-key", key)):
                code, err = run_cli(*args)
                self.assertEqual(code, 1, args)
                self.assertIn("apt-get install python3-cryptography", err)
        self.assertFalse(os.path.exists(key))
        self.assertFalse(os.path.exists(self.out))


class OperatorSlips(Tree):
    """What an operator may forget between two publishes, and what players would pay."""

    def flags(self):
        return {e.path: e.flags for e in publish.parse_manifest(self.manifest())[1]}

    def test_kept_files_stay_kept_until_unkept_by_name(self):
        cases = [  # (arguments of the second publish, x's new spelling, its flags after, y's flags after)
            ([], "settings/x.cfg", "k", "k"), ([], "Settings/x.cfg", "k", "k"),
            (["--unkeep", "y.cfg"], "settings/x.cfg", "k", ""),
            (["--keep", "*.cfg", "--unkeep", "y.cfg"], "settings/x.cfg", None, None)]
        for args, x, x_flags, y_flags in cases:
            with self.subTest(args=args, path=x):
                self.tearDown()
                self.setUp()
                self.publish("1.0", ["settings/*.cfg"], {"settings/x.cfg": b"x", "settings/y.cfg": b"y"})
                shutil.rmtree(os.path.join(self.build, "settings"))
                make_tree(self.build, {x: b"x", "settings/y.cfg": b"y"})
                before = self.manifest()
                code, err = run_cli("publish", self.build, self.out, "--version", "1.2", *args)
                if x_flags is None:
                    self.assertEqual((code, self.manifest()), (1, before), err)
                    self.assertIn("both --keep and --unkeep", err)
                    continue
                self.assertEqual((code, self.flags()), (0, {x: x_flags, "settings/y.cfg": y_flags}), err)
                self.assertEqual("no longer kept" in err, y_flags == "", err)

    def test_a_build_without_the_served_launcher_is_refused_unless_said(self):
        self.publish("1.0", files={"TarsinLauncher.exe": LAUNCHER, "a.dat": b"a"})
        os.unlink(os.path.join(self.build, "TarsinLauncher.exe"))
        before = self.manifest()
        self.assertEqual((run_cli("publish", self.build, self.out, "--version", "1.1")[0], self.manifest()), (1, before))
        code, err = run_cli("publish", self.build, self.out, "--version", "1.1", "--drop-launcher")
        self.assertEqual((code, list(self.flags())), (0, ["a.dat"]), err)
        self.assertIn("launchers stop updating themselves", err)

    def test_a_dry_run_tells_what_players_get_and_writes_nothing(self):
        def snapshot():
            return {os.path.join(d, n): open(os.path.join(d, n), "rb").read() for d, _, ns in os.walk(self.out) for n in ns}

        make_tree(self.build, {"x": b"x"})
        self.assertEqual((run_cli("publish", self.build, self.out, "--version", "0", "--dry-run")[0],
                          os.path.exists(self.out)), (0, False))
        self.publish("1.0", ["*.cfg"], {"TarsinLauncher.exe": LAUNCHER, "a.cfg": b"a", "b.dat": b"b", "c.dat": b"c",
                                        "d.dat": b"d"})
        os.unlink(os.path.join(self.build, "c.dat"))
        make_tree(self.build, {"TarsinLauncher.exe": LAUNCHER + bytes(1), "b.dat": b"B", "e.cfg": b"e"})
        before = snapshot()
        code, err = run_cli("publish", self.build, self.out, "--version", "1.1", "--unkeep", "a.cfg", "--keep",
                            "d.dat", "--keep", "e.cfg", "--dry-run")
        self.assertEqual((code, snapshot()), (0, before), err)
        for line in ["would publish 1.1: 6 files", "3 new", "for players of version 1.0: 1 files added, 2 changed, "
                     "1 removed", 'added: "e.cfg"', 'changed: "TarsinLauncher.exe", "b.dat"',
                     'removed: "c.dat"', 'keep: "a.cfg" no longer kept', 'keep: "d.dat" kept from now on',
                     'keep: "e.cfg" added as kept', 'launcher: "TarsinLauncher.exe" changed',
                     f"launcher TarsinLauncher.exe: {len(LAUNCHER) + 1} bytes, SHA-256 {sha(LAUNCHER + bytes(1))}"]:
            self.assertIn(line, err)

    def test_upload_gives_lists_and_objects_their_cache_rules(self):
        self.publish("1.0", files={"a.dat": b"a"})
        calls, real = [], publish.run_rclone
        with mock.patch.object(publish_remote, "run_rclone", lambda a, q, p=False: calls.append(a) or real(a, q, p)):
            self.assertEqual(run_cli("upload", self.out, os.path.join(self.tmp.name, "remote"))[0], 0)
        rules = {"public, max-age=31536000, immutable": "objects", "no-cache": "list"}
        self.assertEqual([(a[0], [rules[h[15:]] for h in a if h.startswith("Cache-Control: ")]) for a in calls
                          if a[0] != "lsf"], [("copy", ["objects"]), ("copyto", ["list"]), ("copyto", ["list"]),
                                              ("moveto", ["list"])])


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
