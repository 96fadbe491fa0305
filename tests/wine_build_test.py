"""Tests of tools/wine_build.py: which build runs the tests, and under which Wine loader."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import wine_build  # noqa: E402


class Choice(unittest.TestCase):
    def test_the_probe_decides_unless_the_variable_forces_a_build(self):
        refused = lambda: "the kernel does not start 32-bit programs (Exec format error)"  # noqa: E731
        cases = [({}, lambda: None, "win32", "runs 32-bit programs"),
                 ({}, refused, "win64", "64-bit programs only: the kernel does not start"),
                 ({"TARSIN_BUILD": "win64"}, lambda: None, "win64", "TARSIN_BUILD=win64 forces it"),
                 ({"TARSIN_BUILD": "win32"}, refused, "win32", "TARSIN_BUILD=win32 forces it")]
        for environ, probe, name, why in cases:
            with self.subTest(environ=environ, name=name):
                build, reason = wine_build.choose(environ, probe)
                self.assertEqual(build.name, name)
                self.assertIn(why, reason)
        with self.assertRaises(SystemExit):
            wine_build.choose({"TARSIN_BUILD": "win16"}, lambda: None)

    def test_each_build_runs_under_its_own_loader_and_only_the_64_bit_one_relaxes_publishing(self):
        self.assertEqual((wine_build.BUILDS["win32"].loader, wine_build.BUILDS["win64"].loader),
                         ("/usr/lib/wine/wine", "/usr/lib/wine/wine64"))
        self.assertEqual(wine_build.PRODUCT.publish_options, {})
        self.assertEqual(wine_build.BUILDS["win64"].publish_options, {"allow_64_bit_launcher": True})
        with tempfile.TemporaryDirectory() as folder:
            self.assertIs(wine_build.of_folder(folder), wine_build.PRODUCT)
            with open(os.path.join(folder, "tarsin-build"), "w") as f:
                f.write("win64\n")
            self.assertIs(wine_build.of_folder(folder), wine_build.BUILDS["win64"])

    def test_the_probe_tells_a_program_that_starts_from_one_that_cannot(self):
        # Whatever this machine is, the real probe answers, and a loader that is no program fails it.
        answer = wine_build.probe_32_bit()
        self.assertTrue(answer is None or "32-bit" in answer, answer)
        if answer is None:
            with tempfile.NamedTemporaryFile(suffix="-loader") as fake:
                os.chmod(fake.name, 0o700)
                self.assertIn("loader does not start", wine_build.probe_32_bit(loader=fake.name))


if __name__ == "__main__":
    unittest.main()
