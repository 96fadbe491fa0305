#!/usr/bin/env python3
"""The README's list of every file against the tree, docs/testing.md's table of entries
against the tests CMake registers, and the include check against trees made to break it."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import check_includes  # noqa: E402

FOLDERS = ("app", "update", "transfer", "status", "formats", "support", "resources", "cmake", "tools",
           "tools/publishing")


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def listed_files():
    """The README's "Every file" block, braces expanded: {path: line}."""
    block = re.search(r"### Every file\n.*?```text\n(.*?)```", read("README.md"), re.S).group(1)
    listed = {}
    for line in block.splitlines():
        path = line.split()[0]
        brace = re.fullmatch(r"(.*)\{(.*)\}", path)
        for one in ([brace.group(1) + s for s in brace.group(2).split(",")] if brace else [path]):
            listed[one] = line
    return listed


class EveryFileListed(unittest.TestCase):
    def test_the_list_and_the_tree_agree_both_ways(self):
        listed = listed_files()
        missing = [p for p in listed if not os.path.exists(os.path.join(ROOT, p.rstrip("/")))]
        self.assertEqual(missing, [], "listed in the README but not in the tree")
        unlisted = []
        for folder in FOLDERS:
            for name in sorted(os.listdir(os.path.join(ROOT, folder))):
                path = f"{folder}/{name}"
                if name == "__pycache__" or path in FOLDERS:
                    continue
                if os.path.isdir(os.path.join(ROOT, path)):
                    path += "/"
                if path not in listed:
                    unlisted.append(path)
        self.assertEqual(unlisted, [], "in the tree but not in the README's list")


class TestingGuideNamesEveryEntry(unittest.TestCase):
    def test_the_table_names_exactly_the_registered_tests(self):
        build = os.environ.get("TARSIN_BUILD_DIR")
        if not build or not os.path.exists(os.path.join(build, "CTestTestfile.cmake")):
            self.skipTest("no configured build (TARSIN_BUILD_DIR)")
        out = subprocess.run(["ctest", "--test-dir", build, "-N"], capture_output=True, text=True, check=True).stdout
        registered = set(re.findall(r"Test +#\d+: (\S+)", out))
        self.assertGreater(len(registered), 40)
        guide = read("docs/testing.md")
        table = guide[guide.index("| Area | Entries |"):guide.index("## The two builds")]
        rows = [line for line in table.splitlines() if line.startswith("|")][2:]
        named = set(re.findall(r"`([a-z0-9_]+)`", " ".join(rows)))
        self.assertEqual(sorted(registered - named), [], "registered but not in docs/testing.md's table")
        self.assertEqual(sorted(named - registered), [], "in docs/testing.md's table but not registered")


class IncludeCheck(unittest.TestCase):
    def tree(self, files):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        for folder in check_includes.BELOW:
            os.makedirs(os.path.join(root, folder))
        for path, text in files.items():
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        return root

    def test_finds_what_goes_up_or_sideways_and_cycles(self):
        cases = [
            ({"update/a.h": '#include "transfer/b.h"\n#include <windows.h>\n'}, []),
            ({"transfer/a.cpp": '#include "update/run.h"\n'},
             ["transfer/a.cpp: includes update/run.h, which its folder may not"]),
            ({"status/a.h": '#include "formats/lines.h"\n'},
             ["status/a.h: includes formats/lines.h, which its folder may not"]),
            ({"update/a.h": '#include "update/b.h"\n', "update/b.cpp": '#include "update/a.h"\n'},
             ["update/: include cycle between a, b"]),
            ({"update/a.h": '#include "update/b.h"\n', "update/b.h": "", "update/b.cpp": '#include "update/b.h"\n'},
             []),
        ]
        for files, expected in cases:
            with self.subTest(files=files):
                self.assertEqual(check_includes.problems(self.tree(files), allowed=[]), expected)

    def test_an_allowed_cycle_passes_and_one_gone_must_leave_the_list(self):
        cycle = {"update/a.h": '#include "update/b.h"\n', "update/b.cpp": '#include "update/a.h"\n'}
        allowed = [("update", frozenset({"a", "b"}))]
        self.assertEqual(check_includes.problems(self.tree(cycle), allowed=allowed), [])
        self.assertEqual(check_includes.problems(self.tree({}), allowed=allowed),
                         ["update/: the allowed cycle a, b is gone: take it off ALLOWED_CYCLES"])


class EndingsPostedByTheRunAlone(unittest.TestCase):
    """A run's end (ReportFailure, a final status, the relaunch) is posted by update/run.cpp
    alone, and transfer/ words no failure for the player: it says what befell a download."""

    def test_no_other_product_file_posts_an_ending_or_words_a_failure(self):
        ending = re.compile(r"\b(ReportFailure|PostRelaunch)\s*\(|PostStatus\([^;]*UiMode::(Ready|Failed|FailedCanPlay)\b")
        words = re.compile(r"\bText::(?!TimeLeft\b)\w+")  # the time left is progress, not a failure
        found = []
        for folder in ("app", "update", "transfer", "formats", "support"):
            for name in sorted(os.listdir(os.path.join(ROOT, folder))):
                path = f"{folder}/{name}"
                if not name.endswith((".h", ".cpp")) or path == "update/run.cpp":
                    continue
                if ending.search(read(path)):
                    found.append(f"{path}: posts an ending")
                if folder == "transfer" and words.search(read(path)):
                    found.append(f"{path}: words a failure")
        self.assertEqual(found, [])


if __name__ == "__main__":
    unittest.main()
