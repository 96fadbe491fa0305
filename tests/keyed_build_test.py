"""The configure line "publish.py keygen" prints, run exactly as printed in a copy of the
sources: it configures, and the launcher it builds carries the key where publish.py reads
it. Keys that are not 128 lower-case hex digits, or not a point of the curve, are refused."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
from publishing.pe_check import launcher_list_key  # noqa: E402

BUILD = os.environ.get("TARSIN_BUILD_DIR", os.path.join(ROOT, "build"))


class KeyedBuild(unittest.TestCase):
    def setUp(self):
        work = tempfile.mkdtemp(prefix="keyed-build-", dir=BUILD)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        self.src = os.path.join(work, "src")
        shutil.copytree(ROOT, self.src, ignore=shutil.ignore_patterns("build*", ".git", "__pycache__"))
        self.env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")

    def run_line(self, line):
        return subprocess.run(line, shell=True, cwd=self.src, env=self.env, capture_output=True, text=True)

    def test_the_printed_line_builds_a_launcher_that_carries_the_key(self):
        key = os.path.join(self.src, "..", "list.pem")
        made = subprocess.run([sys.executable, "tools/publish.py", "keygen", key], cwd=self.src, capture_output=True,
                              text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        public = made.stdout.strip()
        printed = [line.strip() for line in made.stderr.splitlines() if line.strip().startswith("cmake ")]
        self.assertEqual(printed, [f"cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY={public}"])
        configured = self.run_line(printed[0])
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)
        built = self.run_line("cmake --build --preset win32 --target TarsinLauncher")
        self.assertEqual(built.returncode, 0, built.stdout[-3000:] + built.stderr)
        with open(os.path.join(self.src, "build", "TarsinLauncher.exe"), "rb") as f:
            self.assertEqual(launcher_list_key(f.read()), public)

        y = int(public[64:], 16)
        refused = [
            (public[:64] + f"{y ^ 1:064x}", "not a point of the P-256 curve"),
            (public[:64] + f"{(2**256 - 2**224 + 2**192 + 2**96 - 1):064x}", "not a point of the P-256 curve"),
            (public.upper(), "128 lower-case hex digits"),
            (public[:-1], "128 lower-case hex digits"),
            (public + "0", "128 lower-case hex digits"),
        ]
        for bad, why in refused:
            with self.subTest(why=why, key=bad[-8:]):
                result = self.run_line(f"cmake --preset win32 -DTARSIN_LIST_PUBLIC_KEY={bad}")
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(why, result.stderr)


if __name__ == "__main__":
    unittest.main()
