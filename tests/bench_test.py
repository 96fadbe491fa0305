"""Tests of the benchmark's own logic (bench/): the data sets, the tree a cut download
leaves, the probes of the no-op proof, the memory fit and the README update. The
whole benchmark runs in the smoke test (bench_smoke)."""
import hashlib
import os
import sys
import tempfile
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "bench"), os.path.join(HERE, "..", "tools")]
import make_data  # noqa: E402
import publish  # noqa: E402
import run  # noqa: E402


def sha(data):
    return hashlib.sha256(data).hexdigest()


def install(tree, files):
    """A complete tree of the given contents, with its entries in path order."""
    entries = []
    for path, data in sorted(files.items(), key=lambda item: item[0].encode()):
        full = os.path.join(tree, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        entries.append(publish.Entry(sha(data), len(data), "", path))
    with open(os.path.join(tree, run.STATE), "wb") as f:
        f.write(run.state_text(entries))
    return entries


class DataSets(unittest.TestCase):
    def test_sets_have_the_promised_shape(self):
        large = list(make_data.large_files())
        many = list(make_data.many_files())
        self.assertEqual(len(large), 8)
        self.assertAlmostEqual(sum(s for _, s in large) / 1e9, 1.5, delta=0.05)
        self.assertTrue(all(s % (1 << 20) for _, s in large), "every file ends in a short block")
        self.assertEqual(len(many), 20000)
        self.assertTrue(all(4096 <= s <= 65536 for _, s in many))
        self.assertEqual(len({p for p, _ in many}), 20000)
        self.assertGreater(len({p.rsplit("/", 1)[0] for p, _ in many}), 100, "nested folders")
        for paths in ([p for p, _ in large], [p for p, _ in many], [p for p, _ in make_data.tiny_files()]):
            self.assertTrue(all(make_data_path_ok(p) for p in paths))

    def test_builds_are_the_same_bytes_every_time_and_not_compressible(self):
        with tempfile.TemporaryDirectory() as tmp:
            digests = []
            for name in ("a", "b"):
                make_data.make("tiny", os.path.join(tmp, name))
                with open(os.path.join(tmp, name, "data", "big.bin"), "rb") as f:
                    data = f.read()
                digests.append(sha(data))
                self.assertTrue(make_data.is_current("tiny", os.path.join(tmp, name)))
            self.assertEqual(digests[0], digests[1])
            import zlib
            self.assertGreater(len(zlib.compress(data[:1 << 20])), 0.99 * (1 << 20))
            self.assertFalse(make_data.is_current("many", os.path.join(tmp, "a")))

    def test_a_torn_build_is_not_current(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "b")
            make_data.make("tiny", out)
            with open(out + ".bench-set.txt", "a") as f:
                f.write("x")
            self.assertFalse(make_data.is_current("tiny", out))


def make_data_path_ok(path):
    return path and not path.startswith("/") and ".." not in path and ":" not in path and "\\" not in path


class Cut(unittest.TestCase):
    def test_the_cut_keeps_the_first_half_installed_and_half_of_the_middle_file(self):
        files = {"a/1.bin": b"1" * 100, "a/2.bin": b"2" * 300, "b/3.bin": b"3" * 400, "c/4.bin": b"4" * 200}
        with tempfile.TemporaryDirectory() as tree:
            entries = install(tree, files)
            left, cut = run.make_cut(tree, entries)
            # The middle byte (500 of 1000) lies in b/3.bin, which starts at 400.
            self.assertEqual(cut.path, "b/3.bin")
            self.assertEqual(left, 600)
            with open(os.path.join(tree, "b", "3.bin.part"), "rb") as f:
                self.assertEqual(f.read(), b"3" * 200)
            self.assertFalse(os.path.exists(os.path.join(tree, "b", "3.bin")))
            self.assertFalse(os.path.exists(os.path.join(tree, "c", "4.bin")))
            with open(os.path.join(tree, run.STATE), "rb") as f:
                self.assertEqual(f.read(), run.state_text(entries[:2]))
            problems = run.tree_problems(tree, entries)
            self.assertIn("b/3.bin: missing", problems)
            self.assertIn("c/4.bin: missing", problems)
            self.assertIn("b/3.bin.part left behind", problems)

    def test_a_complete_tree_has_no_problems_and_a_wrong_one_has(self):
        with tempfile.TemporaryDirectory() as tree:
            entries = install(tree, {"x/a": b"abc", "y": b"defg"})
            self.assertEqual(run.tree_problems(tree, entries, contents=True), [])
            with open(os.path.join(tree, "y"), "wb") as f:
                f.write(b"DEFG")
            self.assertEqual(run.tree_problems(tree, entries, contents=True), ["y: wrong content"])
            os.unlink(os.path.join(tree, run.STATE))
            self.assertIn(f"2 files without their record in {run.STATE}", run.tree_problems(tree, entries))


class Probes(unittest.TestCase):
    def test_reads_move_aged_access_times_and_attribute_queries_do_not(self):
        with tempfile.TemporaryDirectory() as tree:
            entries = install(tree, {"a": b"a" * 10, "b/c": b"c" * 10})
            paths = run.files_of(tree, entries)
            run.age_atimes(paths)
            for p in paths:
                os.stat(p)
            self.assertEqual(run.read_since_aged(paths), 0)
            with open(paths[1], "rb") as f:
                f.read()
            self.assertEqual(run.read_since_aged(paths), 1)

    def test_traced_opens_count_files_only_and_only_successful_opens(self):
        with tempfile.TemporaryDirectory() as tree:
            entries = install(tree, {"d/a.bin": b"1", "b.bin": b"2"})
            a, b = run.files_of(tree, entries)
            trace = os.path.join(tree, "t.trace")
            with open(trace, "w") as f:
                f.write(f'12 openat(AT_FDCWD, "{a}", O_RDONLY|O_LARGEFILE) = 5\n'
                        f'12 openat(AT_FDCWD, "{os.path.dirname(a)}", O_RDONLY|O_DIRECTORY) = 6\n'
                        f'12 openat(AT_FDCWD, "{b}", O_RDONLY) = -1 ENOENT (No such file or directory)\n'
                        f'13 open("{b}", O_RDWR|O_CREAT, 0666) = 7\n'
                        f'12 openat(AT_FDCWD, "{tree}/{run.STATE}", O_RDONLY) = 8\n')
            self.assertEqual(run.traced_opens([trace, trace + ".missing"], tree, entries), 2)


class Report(unittest.TestCase):
    def test_linear_fit_finds_slope_and_base(self):
        base, slope, worst = run.linear_fit([(0, 100.0), (10, 200.0), (20, 300.0)])
        self.assertAlmostEqual(base, 100.0)
        self.assertAlmostEqual(slope, 10.0)
        self.assertAlmostEqual(worst, 0.0)
        _, _, worst = run.linear_fit([(0, 0.0), (10, 0.0), (20, 100.0)])
        self.assertGreater(worst, 10)

    def test_readme_gets_the_report_between_its_markers_only(self):
        with tempfile.TemporaryDirectory() as tmp:
            readme = os.path.join(tmp, "README.md")
            with open(readme, "w") as f:
                f.write(f"intro\n{run.README_BEGIN}\nold\n{run.README_END}\nafter\n")
            run.update_readme(readme, "# Title\n\n| table |\n")
            run.update_readme(readme, "# Title\n\n## Part\n| newer |\n")
            with open(readme) as f:
                text = f.read()
            self.assertEqual(text, f"intro\n{run.README_BEGIN}\n### Part\n| newer |\n{run.README_END}\nafter\n")
            with open(readme, "w") as f:
                f.write("no markers\n")
            run.update_readme(readme, "# Title\n\n| table |\n")
            with open(readme) as f:
                self.assertEqual(f.read(), "no markers\n")

    def test_a_subset_view_lists_the_first_files_and_the_state_text_sorts_by_bytes(self):
        entries = [publish.Entry(c * 64, i, "", p) for i, (c, p) in enumerate([("a", "A/x"), ("b", "a/b"), ("c", "a0")])]
        with tempfile.TemporaryDirectory() as work:
            data = run.DataSet("tiny", work)
            data.version, data.entries = "v", entries
            os.makedirs(os.path.join(data.www, "o"))
            view, listed = data.subset_view(2)
            with open(os.path.join(view, "manifest.txt"), "rb") as f:
                version, served = publish.parse_manifest(f.read())
            self.assertEqual((version, served, listed), ("v", entries[:2], entries[:2]))
            self.assertEqual([e.size for e in served], [0, 1])
            self.assertEqual(os.path.realpath(os.path.join(view, "o")), os.path.realpath(os.path.join(data.www, "o")))
        self.assertEqual(run.state_text(reversed(entries)),
                         f"{'a' * 64}\tA/x\n{'b' * 64}\ta/b\n{'c' * 64}\ta0\n".encode())
    def test_the_build_without_flushes_sits_between_and_splits_the_gap(self):
        b = types.SimpleNamespace(args=types.SimpleNamespace(runs=3), kind=types.SimpleNamespace(loader="-", bits=32),
                                  trees="/disk", variants=[(run.NO_FLUSH, "x.exe")], figures={}, problems=[],
                                  proofs=[], memory=[], phases={})
        for program, walls in (("ceiling", [50, 40, 60]), (run.NO_FLUSH, [52, 70, 55]), ("launcher", [63, 80, 61]),
                               ("curl", [3])):
            b.figures[("many", "install", program)] = run.Figure(
                "many", "install", program, [run.Run(0, w, 30 * run.MIB) for w in walls], 100 * run.MIB, 10)
        text = run.Report(b).markdown()
        rows = [line.split(" | ")[2:4] + [line.split(" | ")[-1]] for line in text.splitlines()
                if line.startswith("| many | first install | ") and line.count("|") == 11]
        self.assertEqual(rows, [["launcher", "63.00", "1.26 |"], [run.NO_FLUSH, "55.00", "1.10 |"],
                                ["ceiling", "50.00", " |"], ["curl", "3.00", " |"]])
        self.assertIn("| many | first install | 13.00 | 8.00 | 5.00 |", text)


if __name__ == "__main__":
    unittest.main()
