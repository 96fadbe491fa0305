#!/usr/bin/env python3
"""The launcher executable end to end, under Wine, against the test server: the command
line, the exit codes of "--exit-when-done", the files deleted at start, and the
replacement of the launcher by a published one."""
import os
import random
import shutil
import signal
import subprocess
import time
import unittest

from launcher_harness import WORK, game, harness, set_up_module, sha256
from wine_harness import ENGLISH, LAUNCHER, TURKISH, Window

DISPLAY = harness.Display()
SERVER = MAIN = DPI144 = None


def setUpModule():
    global SERVER, MAIN, DPI144
    SERVER, MAIN, DPI144 = set_up_module(DISPLAY, "www-launcher")


def fresh_install(name, prefix=None, turkish=False):
    return harness.Install(os.path.join(WORK, name), prefix=prefix or MAIN, language="tr" if turkish else "en",
                           clean=True)


def game_files(seed):
    rng = random.Random(seed)
    return [
        ("ruvok.exe", game()),
        ("data/levels.pak", rng.randbytes(700 * 1024)),
        ("data/ui/strings tr.txt", "Oyun güncel.\n".encode("utf-8")),
        ("empty.dat", b""),
    ]


class CommandLine(unittest.TestCase):
    def test_installs_a_published_tree_and_exits_0(self):
        site = SERVER.site("install")
        files = game_files(1)
        site.publish(files, version="2.5")
        install = fresh_install("install")
        self.assertEqual(install.run("--url=" + site.url, "--exit-when-done"), 0)
        for path, data in files:
            self.assertEqual(install.read(path), data, path)
        self.assertIn("The game is up to date. | Version 2.5\r\n", install.log())
        self.assertTrue(install.exists("data-state.txt"))

    def test_appends_the_slash_and_lets_the_last_url_win_case_sensitively(self):
        good, other = SERVER.site("cl-good"), SERVER.site("cl-other")
        good.publish(game_files(2)[:1], version="g")
        other.publish(game_files(2)[:1], version="o")
        cases = [
            ("slash appended", ["--url=" + good.url.rstrip("/")]),
            ("last wins", ["--url=" + other.url, "--url=" + good.url]),
            ("upper-case option ignored", ["--url=" + good.url, "--URL=" + other.url, "--Url=" + other.url]),
            ("unknown arguments ignored", ["/S", "--url=" + good.url, "--silent", "url=" + other.url]),
        ]
        for name, args in cases:
            with self.subTest(name):
                SERVER.clear("/")
                install = fresh_install("cl")
                self.assertEqual(install.run(*(args + ["--exit-when-done"])), 0)
                self.assertIn("Version g", install.log())
                self.assertEqual(len(good.requests("manifest.txt")), 1)
                self.assertEqual(other.requests(), [])

    def test_an_empty_url_gives_the_base_slash_and_a_failed_run(self):
        SERVER.clear("/")
        install = fresh_install("empty-url")
        self.assertEqual(install.run("--url=", "--exit-when-done"), 2)
        self.assertIn(ENGLISH["unreachable"], install.log())
        self.assertEqual(SERVER.requests("/"), "")

    def test_exit_when_done_must_be_the_whole_argument_in_its_own_case(self):
        site = SERVER.site("ewd")
        site.publish(game_files(3)[:1], version="1")
        install = fresh_install("ewd")
        install.start("--url=" + site.url, "--Exit-When-Done", "--exit-when-done=1", "--exit-when-donex", "-exit-when-done")
        try:
            window = Window(install)
            window.wait("status.text=" + ENGLISH["ready"])
            time.sleep(1.5)
            self.assertIsNone(install.process.poll(), "the launcher closed by itself")
            self.assertTrue(window.close())
            self.assertEqual(install.wait(20), 0)
        finally:
            install.end()


class ExitCodes(unittest.TestCase):
    def test_a_failed_run_exits_2_whether_or_not_the_game_can_be_played(self):
        site = SERVER.site("exit2")  # publishes nothing: the manifest is a 404
        for name, game_present in (("Failed", False), ("FailedCanPlay", True)):
            with self.subTest(name):
                install = fresh_install("exit2")
                if game_present:
                    install.add_stand_in("ruvok.exe")
                self.assertEqual(install.run("--url=" + site.url, "--exit-when-done"), 2)
                self.assertIn(ENGLISH["unreachable"] + "\r\n", install.log())
                self.assertIsNone(install.ran("ruvok.exe"))

    def test_the_old_launcher_and_the_old_log_are_deleted_at_start(self):
        site = SERVER.site("stale")
        site.publish(game_files(4)[:1], version="1")
        install = fresh_install("stale")
        install.write("TarsinLauncher.exe.old", b"the launcher before the last update")
        install.write("launcher.log", b"12:00:00 a line of an earlier start\r\n")
        self.assertEqual(install.run("--url=" + site.url, "--exit-when-done"), 0)
        self.assertFalse(install.exists("TarsinLauncher.exe.old"))
        self.assertNotIn("an earlier start", install.log())
        self.assertIn(ENGLISH["ready"], install.log())


class OneLauncherPerFolder(unittest.TestCase):
    """A slow object keeps the first launcher's run going well past the second's 5 s wait."""

    def slow_site(self, name, seed, requests=1):
        site = SERVER.site(name)
        files = game_files(seed)
        site.publish(files, version="1")
        site.fault("o/" + sha256(files[1][1]), "slow", 1000, requests)  # 700 KiB: 11 s
        return site, files

    def assertInstalledOnce(self, install, site, files):
        for path, data in files:
            self.assertEqual(install.read(path), data, path)
        self.assertEqual(len(site.requests("manifest.txt")), 1)
        self.assertEqual(len(site.requests("o/" + sha256(files[1][1]))), 1)
        self.assertEqual(install.log().count(ENGLISH["ready"]), 1, install.log())

    def test_two_launchers_started_together_install_once(self):
        site, files = self.slow_site("together", 7)
        install = fresh_install("together")
        first = install.start("--url=" + site.url, "--exit-when-done")
        second = install.start("--url=" + site.url, "--exit-when-done")
        self.assertEqual(sorted([first.wait(60), second.wait(60)]), [0, 2])
        self.assertInstalledOnce(install, site, files)

    def test_a_second_start_touches_no_file_and_shows_the_first_window(self):
        site, files = self.slow_site("second-start", 8)
        install = fresh_install("second-start")
        first = install.start("--url=" + site.url)
        try:
            window = Window(install)
            window.wait("status.text~Downloading")
            window.act("minimize")
            window.wait("iconic=1")
            install.write("TarsinLauncher.exe.old", b"left by a self-update")
            log = install.log()

            started = time.monotonic()
            self.assertEqual(install.run("--url=" + site.url, timeout=30), 0)
            self.assertGreaterEqual(time.monotonic() - started, 4.5, "it waited for the first to end")
            window.wait("iconic=0", "foreground=1", timeout_ms=5000)
            self.assertEqual(install.run("--url=" + site.url, "--exit-when-done", timeout=30), 2)

            self.assertEqual(install.read("TarsinLauncher.exe.old"), b"left by a self-update")
            self.assertTrue(install.log().startswith(log), "the first launcher's log was not deleted")
            window.wait("status.text=" + ENGLISH["ready"], timeout_ms=40000)
            self.assertTrue(window.close())
            self.assertEqual(first.wait(20), 0)
        finally:
            install.end()
        self.assertInstalledOnce(install, site, files)

    def test_a_second_launcher_reaching_the_folder_through_a_link_touches_no_file(self):
        site, files = self.slow_site("through-link", 11)
        install = fresh_install("through-link")
        link = os.path.join(WORK, "through-link-link")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(install.path, link)
        second = None
        try:
            first = install.start("--url=" + site.url, "--exit-when-done")
            self.assertTrue(harness.wait_until(lambda: " dosya, " in install.log(), 30), "the first is downloading")
            install.write("TarsinLauncher.exe.old", b"left by a self-update")
            log = install.log()
            second = MAIN.start(os.path.join(link, harness.LAUNCHER_NAME), "--url=" + site.url, "--exit-when-done",
                                language="en")
            self.assertEqual(second.wait(timeout=30), 2)
            self.assertEqual(install.read("TarsinLauncher.exe.old"), b"left by a self-update")
            self.assertTrue(install.log().startswith(log), "the first launcher's log was not deleted")
            self.assertEqual(first.wait(60), 0)
        finally:
            if second:
                harness.kill_group(second)
            install.end()
            os.remove(link)
        self.assertInstalledOnce(install, site, files)

    def test_two_folders_run_side_by_side(self):
        site, files = self.slow_site("side-by-side", 9, requests=2)
        installs = [fresh_install("side-a"), fresh_install("side-b")]
        for install in installs:
            install.start("--url=" + site.url, "--exit-when-done")
        self.assertEqual([install.wait(60) for install in installs], [0, 0])
        for install in installs:
            for path, data in files:
                self.assertEqual(install.read(path), data, path)


def contents(install):
    """Every file of the installation but the log, with its bytes."""
    return {path: install.read(path) for path in install.files() if path != "launcher.log"}


class DataSafety(unittest.TestCase):
    def run_launcher(self, install, site):
        return install.run("--url=" + site.url, "--exit-when-done")

    def test_a_file_list_cut_short_fails_and_changes_nothing(self):
        # Read as whole, the first half of the list would have every recorded file after
        # the cut deleted, the player's settings among them.
        site = SERVER.site("cut-list")
        files = game_files(7) + [("settings.cfg", b"volume=5\n")]
        site.publish(files, version="7", keep=("settings.cfg",))
        install = fresh_install("cut-list")
        self.assertEqual(self.run_launcher(install, site), 0)
        install.write("settings.cfg", b"volume=9\n")
        before = contents(install)
        with open(os.path.join(site.dir, "manifest.txt"), "rb") as f:
            listing = f.read()
        half = listing.rindex(b"\n", 0, len(listing) // 2) + 1
        self.assertGreaterEqual(listing[:half].count(b"\nf\t"), 1, "the cut list still parses")
        # A cut with the whole length announced, a chunked list cut before its last
        # chunk (Wine reads it as whole), and a chunked list, whose cut nothing shows.
        for mode, n in (("close_after", half), ("chunked_cut", half), ("chunked", 0)):
            with self.subTest(mode):
                site.fault("manifest.txt", mode, n, count=1)
                self.assertEqual(self.run_launcher(install, site), 2)
                self.assertTrue(install.log().endswith(ENGLISH["unreachable"] + "\r\n"), install.log())
                self.assertEqual(contents(install), before)

    def test_a_list_naming_the_launchers_old_file_is_refused(self):
        site = SERVER.site("old-name")
        site.publish(game_files(9)[:1] + [("tarsinlauncher.EXE.old", b"served bytes")], version="9")
        install = fresh_install("old-name")
        self.assertEqual(self.run_launcher(install, site), 2)
        self.assertIn(ENGLISH["unreadable"] + "\r\n", install.log())
        self.assertEqual(install.files(), {"TarsinLauncher.exe", "launcher.log"})

    def test_a_kill_right_after_a_move_leaves_no_record_of_the_old_content(self):
        rng = random.Random(10)
        old, new = rng.randbytes(600 * 1024), rng.randbytes(600 * 1024)
        others = game_files(10)[:2]
        site = SERVER.site("kill-after-move")
        site.publish(others + [("data/map.pak", old)], version="1")
        install = fresh_install("kill-after-move")
        self.assertEqual(self.run_launcher(install, site), 0)

        site.publish(others + [("data/map.pak", new)], version="2")
        site.fault("o/" + sha256(new), "slow", 40, count=1)  # the part lives long enough to be seen
        part = install.file("data/map.pak.part")
        install.start("--url=" + site.url, "--exit-when-done")
        try:
            deadline = time.monotonic() + 60
            while not os.path.exists(part) and time.monotonic() < deadline:
                time.sleep(0.005)
            pids = harness.launcher_processes(install)
            self.assertEqual(len(pids), 1, "the launcher is running and its part is there")
            while os.path.exists(part) and time.monotonic() < deadline:
                pass
            os.kill(pids[0], signal.SIGKILL)
            install.wait(30)
        finally:
            install.end()
        self.assertEqual(install.read("data/map.pak"), new, "killed after the move")
        # The old record was kept as the launcher's proof of the file, claiming no content.
        unproven = "unproven-content-of-a-file-the-launcher-installed".ljust(64, "-")
        self.assertIn(install.state().get("data/map.pak"), (unproven, sha256(new)))

        # The publisher goes back to the old content, of the same size.
        site.publish(others + [("data/map.pak", old)], version="3")
        self.assertEqual(self.run_launcher(install, site), 0)
        self.assertEqual(install.read("data/map.pak"), old)
        self.assertEqual(install.state()["data/map.pak"], sha256(old))


class Resources(unittest.TestCase):
    def test_the_executable_carries_its_manifest_and_icon(self):
        code, objects = Window(fresh_install("resources")).probe("resources")
        self.assertEqual(code, 0, objects)
        found = objects[0]
        self.assertEqual(found["icons"], [{"size": 48, "bits": 32}, {"size": 32, "bits": 32}, {"size": 16, "bits": 32}])
        self.assertTrue(found["loadIcon"])
        manifest = found["manifest"]
        for needed in ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                       '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>',
                       '>true</dpiAware>'):
            self.assertIn(needed, " ".join(manifest.split()), needed)


class SystemDllsOnly(unittest.TestCase):
    """A mod's "winhttp.dll" or "bcrypt.dll" in the game's folder never runs inside the
    launcher. Wine loads them from a file first, as Windows loads a DLL that is not a known
    DLL; each leaves "<name>.loaded" beside itself when loaded."""
    PLANTED = ("winhttp.dll", "bcrypt.dll")

    def test_dlls_dropped_in_the_game_folder_are_not_loaded(self):
        native = harness.WinePrefix(MAIN.path, MAIN.display, dll_overrides="winhttp,bcrypt=n,b")
        site = SERVER.site("planted")
        site.publish(game_files(12)[:1], version="1")
        elsewhere = fresh_install("planted-elsewhere")
        install = harness.Install(os.path.join(WORK, "planted"), prefix=native, language="en", clean=True)
        for name in self.PLANTED:
            for folder in (elsewhere, install):
                shutil.copyfile(os.path.join(harness.BUILD, "tests", "planted", name), folder.file(name))
            # They load where nothing keeps them out, so their absence below means something.
            native.run("rundll32.exe", harness.windows_path(elsewhere.file(name)) + ",Touch")
            self.assertTrue(elsewhere.exists(name + ".loaded"), name)
        try:
            code = install.run("--url=" + site.url, "--exit-when-done", timeout=30)
        except subprocess.TimeoutExpired:
            code = "no end"  # under Wine, a launcher bound to a planted DLL dies at its first call
        # The marker takes the name the DLL was loaded under ("WINHTTP.dll.loaded").
        self.assertEqual(sorted(f for f in install.files() if f.lower().endswith(".loaded")), [])
        self.assertEqual(code, 0)
        self.assertIn(ENGLISH["ready"], install.log())


class SelfUpdate(unittest.TestCase):
    # Its own prefix, so that "wineserver -w" waits for the relaunched launcher alone.
    def test_a_new_launcher_is_swapped_in_relaunched_and_finishes_the_run(self):
        with open(LAUNCHER, "rb") as f:
            new_launcher = f.read() + b"\0appended by the self-update test"
        rest = game_files(5)
        site = SERVER.site("self-update")
        site.publish([("TarsinLauncher.exe", new_launcher)] + rest, version="3.0")
        install = fresh_install("self-update", prefix=DPI144)
        self.assertEqual(install.run("--url=" + site.url, "--exit-when-done"), 0)
        DPI144.wait(timeout=90)

        self.assertEqual(install.read("TarsinLauncher.exe"), new_launcher)
        for path, data in rest:
            self.assertEqual(install.read(path), data, path)
        # The new process deleted the old log at its start and ended the run itself, so
        # it had the same "--url=" and "--exit-when-done".
        self.assertIn("The game is up to date. | Version 3.0", install.log())
        self.assertEqual(len(site.requests("manifest.txt")), 2)
        self.assertEqual(len(site.requests("o/" + sha256(new_launcher))), 1)
        self.assertFalse(Window(install).exists(), "a launcher window is still open")

    def test_a_published_launcher_that_cannot_start_asks_to_open_it_again(self):
        broken = b"this is not a Windows program\r\n" * 64
        site = SERVER.site("broken-launcher")
        site.publish([("TarsinLauncher.exe", broken)] + game_files(6)[:1], version="4")
        for texts, turkish in ((ENGLISH, False), (TURKISH, True)):
            with self.subTest(turkish=turkish):
                install = fresh_install("broken-launcher", turkish=turkish)
                # Without the mended ending this run would wait for ever.
                self.assertEqual(install.run("--url=" + site.url, "--exit-when-done", timeout=60), 2)
                self.assertIn(texts["relaunch_failed"] + "\r\n", install.log())
                self.assertEqual(install.read("TarsinLauncher.exe"), broken)
                with open(LAUNCHER, "rb") as f:
                    self.assertEqual(install.read("TarsinLauncher.exe.old"), f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
