"""Tests of the operator's tool as an operator meets it: refusals that keep players' files,
mistakes and interruptions that end in a message, status, promote and the JSON summaries."""
import errno
import json
import os
import signal
import subprocess
import sys
import time
import unittest
from unittest import mock

from publish_test import LAUNCHER, ROOT, Tree, make_tree, run_cli, sha
import publish

TOOL = os.path.join(ROOT, "tools", "publish.py")


def run(*args, env=None):
    done = subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, **(env or {})))
    return done.returncode, done.stdout, done.stderr


def temporaries(folder):
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if n.startswith(".tmp-")]


class Refusals(Tree):
    def test_links_outside_the_build_are_refused_and_links_inside_publish_their_target(self):
        secret = os.path.join(self.tmp.name, "secret.env")
        make_tree(self.tmp.name, {"secret.env": b"KEY=1"})
        make_tree(self.build, {"TarsinLauncher.exe": LAUNCHER, "data/real.dat": b"real"})
        os.symlink(secret, os.path.join(self.build, "data", "leak.dat"))
        code, err = run_cli("publish", self.build, self.out, "--version", "1")
        self.assertEqual(code, 1)
        self.assertIn(f'data/leak.dat: is a symbolic link to "{secret}", outside the build', err)
        os.unlink(os.path.join(self.build, "data", "leak.dat"))
        os.symlink("real.dat", os.path.join(self.build, "data", "same.dat"))
        self.publish("1")
        self.assertIn(f"f\t{sha(b'real')}\t4\t\tdata/same.dat\n".encode(), self.manifest())

    def test_a_build_without_a_kept_file_is_refused_unless_named(self):
        self.publish("1", ["settings/*.cfg"], {"TarsinLauncher.exe": LAUNCHER, "settings/user.cfg": b"v=1"})
        os.unlink(os.path.join(self.build, "settings", "user.cfg"))
        for args in ([], ["--dry-run"]):
            code, err = run_cli("publish", self.build, self.out, "--version", "2", *args)
            self.assertEqual(code, 1, args)
            self.assertIn("settings/user.cfg: kept by version 1 and missing from this build: every player's copy "
                          "would be deleted", err)
        code, err = run_cli("publish", self.build, self.out, "--version", "2", "--drop-kept", "settings/*")
        self.assertEqual(code, 0, err)
        self.assertIn('kept files dropped (--drop-kept): "settings/user.cfg"', err)

    def test_a_first_version_without_the_launcher_warns_also_in_the_dry_run(self):
        make_tree(self.build, {"game.exe": b"g"})
        for args in (["--dry-run"], []):
            code, err = run_cli("publish", self.build, self.out, "--version", "1", *args)
            self.assertEqual(code, 0, err)
            self.assertIn("TarsinLauncher.exe: not in this first version: players' launchers could never update", err)


class Mistakes(Tree):
    def assert_message(self, code, err, *expected):
        self.assertNotEqual(code, 0, err)
        self.assertNotIn("Traceback", err)
        self.assertLessEqual(len(err.strip().splitlines()), 2, err)
        for text in expected:
            self.assertIn(text, err)

    def test_every_command_on_a_missing_tree_or_without_rclone(self):
        missing = os.path.join(self.tmp.name, "nowhere")
        no_rclone = {"PATH": os.path.dirname(sys.executable)}
        cases = [(("rollback", missing, "1"), None), (("rollback", missing, "1", "--dry-run"), None),
                 (("prune", missing), None), (("upload", missing, "r:x"), None), (("verify", missing), None),
                 (("status", missing), None), (("promote", missing, self.out), None),
                 (("upload", self.out, self.tmp.name + "/remote"), no_rclone),
                 (("status", self.out, "--remote", self.tmp.name + "/remote"), no_rclone)]
        self.publish("1", files={"TarsinLauncher.exe": LAUNCHER})
        for args, env in cases:
            with self.subTest(args):
                code, _, err = run(*args, env=env)
                self.assert_message(code, err, f"{args[0]}: error: ")

    def test_a_full_disk_or_a_tree_not_writable_is_one_line(self):
        make_tree(self.build, {"TarsinLauncher.exe": LAUNCHER, "a.dat": b"a"})
        for failure, expected in [(OSError(errno.ENOSPC, "No space left on device", "o/x"), "the disk is full"),
                                  (PermissionError(errno.EACCES, "Permission denied", "o/x"), "as the user who owns")]:
            with self.subTest(expected), mock.patch.object(os, "replace", side_effect=failure):
                code, err = run_cli("publish", self.build, self.out, "--version", "1")
            self.assert_message(code, err, expected)
            self.assertEqual(temporaries(self.out), [])
            self.assertFalse(os.path.exists(os.path.join(self.out, "manifest.txt")))

    def test_an_interrupted_publish_stops_at_once_and_leaves_nothing(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(number):
                out = os.path.join(self.tmp.name, f"out{number}")
                for i in range(4):  # sparse: large to hash, nothing on the disk
                    with open(os.path.join(self.build, f"big{i}.dat"), "wb") as f:
                        f.truncate(1 << 30)
                child = subprocess.Popen([sys.executable, TOOL, "publish", self.build, out, "--version", "1"],
                                         stderr=subprocess.PIPE, text=True)
                deadline = time.monotonic() + 60
                while not temporaries(out) and time.monotonic() < deadline and child.poll() is None:
                    time.sleep(0.01)
                child.send_signal(number)
                stopped = time.monotonic()
                err = child.communicate(timeout=60)[1]
                self.assertLess(time.monotonic() - stopped, 2.5, "stops within a moment")
                self.assertEqual(child.returncode, 130, err)
                self.assert_message(child.returncode, err, "publish: interrupted: nothing was published")
                self.assertEqual(temporaries(out), [])
                self.assertFalse(os.path.exists(os.path.join(out, "manifest.txt")))

    def test_old_temporaries_are_reported_and_pruned(self):
        self.publish("1", files={"TarsinLauncher.exe": LAUNCHER})
        stale = [os.path.join(self.out, ".tmp-list"), os.path.join(self.out, "o", ".tmp-object")]
        young = os.path.join(self.out, "o", ".tmp-young")
        for path in stale + [young]:
            make_tree(os.path.dirname(path), {os.path.basename(path): b"x" * 100})
        past = time.time() - 2 * publish.STALE_TEMP_SECONDS
        for path in stale:
            os.utime(path, (past, past))
        for args in (["publish", self.build, self.out, "--version", "2", "--dry-run"], ["prune", self.out, "--dry-run"]):
            code, err = run_cli(*args)
            self.assertEqual(code, 0, err)
            self.assertIn("2 temporary files older than an hour", err)
        self.assertEqual(sorted(temporaries(self.out)), sorted(stale + [young]))
        self.assertEqual(run_cli("prune", self.out)[0], 0)
        self.assertEqual(temporaries(self.out), [young])


class Operating(Tree):
    def test_rollback_dry_run_says_what_players_get_and_writes_nothing(self):
        self.publish("1", files={"TarsinLauncher.exe": LAUNCHER, "a.dat": b"one"})
        self.publish("2", files={"TarsinLauncher.exe": LAUNCHER + b"\0", "a.dat": b"two", "b.dat": b"b"})
        served, retired = self.manifest(), os.listdir(os.path.join(self.out, "retired"))
        code, err = run_cli("rollback", self.out, "1", "--dry-run")
        self.assertEqual(code, 0, err)
        self.assertEqual((self.manifest(), os.listdir(os.path.join(self.out, "retired"))), (served, retired))
        for line in ("would serve version 1 again: 2 files", "for players of version 2: 0 files added, 2 changed, "
                     "1 removed", 'launcher: "TarsinLauncher.exe" changed'):
            self.assertIn(line, err)

    def test_status_and_json_and_a_remote_out_of_step(self):
        remote = os.path.join(self.tmp.name, "remote")
        self.publish("1", files={"TarsinLauncher.exe": LAUNCHER})
        code, out, err = run("publish", self.build, self.out, "--version", "2", "--json")
        self.assertEqual(code, 0, err)
        self.assertEqual(json.loads(out)["players"], {"from_version": "1", "added": [], "changed": [],
                                                      "removed": []})
        self.assertEqual(run("upload", self.out, remote, "--quiet")[0], 0)
        code, out, _ = run("status", self.out, "--remote", remote, "--json")
        state = json.loads(out)
        self.assertEqual((code, state["live"]["version"], [k["version"] for k in state["kept"]], state["in_step"]),
                         (0, "2", ["1", "2"], True))
        self.assertEqual([r["version"] for r in state["retired"]], ["1"])
        make_tree(self.build, {"new.dat": b"n"})
        self.publish("3")
        code, out, err = run("status", self.out, "--remote", remote)
        self.assertEqual(code, 1)
        self.assertIn("list differs", err)
        code, out, _ = run("verify", self.out, "--json")
        self.assertEqual((code, json.loads(out)["ok"]), (0, True))

    def test_promote_serves_exactly_the_tested_list(self):
        staging = os.path.join(self.tmp.name, "staging")
        self.publish("1", ["*.cfg"], {"TarsinLauncher.exe": LAUNCHER, "user.cfg": b"v"})
        self.assertEqual(run_cli("promote", self.out, staging, "--quiet")[0], 0)
        make_tree(self.build, {"a.dat": b"new"})
        self.assertEqual(run_cli("publish", self.build, staging, "--version", "2", "--quiet")[0], 0)
        live = self.manifest()
        code, err = run_cli("promote", staging, self.out, "--dry-run")
        self.assertEqual((code, self.manifest()), (0, live), err)
        self.assertIn("for players of version 1: 1 files added, 0 changed, 0 removed", err)
        self.assertEqual(run_cli("promote", staging, self.out)[0], 0)
        with open(os.path.join(staging, "manifest.txt"), "rb") as f:
            self.assertEqual(self.manifest(), f.read())
        linked = os.stat(os.path.join(self.out, "o", sha(b"new")))
        self.assertEqual(linked.st_ino, os.stat(os.path.join(staging, "o", sha(b"new"))).st_ino)
        self.assertEqual(publish.verify(self.out, quiet=True), [])
        self.assertIn("served there already", run_cli("promote", staging, self.out)[1])


if __name__ == "__main__":
    unittest.main()
