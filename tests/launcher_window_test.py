#!/usr/bin/env python3
"""The launcher window as a person sees and uses it, under Xvfb and Wine, read and pressed
through tests/window_probe.cpp while the launcher talks to the test server."""
import os
import random
import time
import unittest

from launcher_harness import WORK, game, harness, set_up_module, sha256
from wine_harness import (ENGLISH, PLAY, RETRY, SETTINGS, TURKISH, VK_RETURN, Window, control, rect,
                          windows_path)

# The probe reads the window off the screen: other tests' launcher windows, centred in the
# same place, must not cover it.
DISPLAY = harness.Display(own=True)
SERVER = MAIN = DPI144 = None

WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX = 0x00C00000, 0x00080000, 0x00020000
WS_THICKFRAME, WS_MAXIMIZEBOX = 0x00040000, 0x00010000

LAYOUTS = {
    96: {"client": (520, 200),
         "title": (16, 16, 488, 30), "status": (16, 52, 488, 36), "progress": (16, 92, 488, 18),
         "detail": (16, 116, 488, 20), "settings": (16, 154, 110, 30), "retry": (276, 154, 110, 30),
         "play": (394, 154, 110, 30)},
    144: {"client": (780, 300),
          "title": (24, 24, 732, 45), "status": (24, 78, 732, 54), "progress": (24, 138, 732, 27),
          "detail": (24, 174, 732, 30), "settings": (24, 231, 165, 45), "retry": (414, 231, 165, 45),
          "play": (591, 231, 165, 45)},
}
# Cap height of "Tarsin" in a bold face of 20 pixels per em at 96 dpi, 30 at 144.
TITLE_INK_HEIGHT = {96: range(12, 18), 144: range(18, 26)}


def setUpModule():
    global SERVER, MAIN, DPI144
    SERVER, MAIN, DPI144 = set_up_module(DISPLAY, "www-window")


class LauncherCase(unittest.TestCase):
    def launch(self, name, site, *, prefix=None, turkish=False, ruvok=False, config=False, args=()):
        install = harness.Install(os.path.join(WORK, name), prefix=prefix or MAIN, language="tr" if turkish else "en",
                                  clean=True)
        if ruvok:
            install.add_stand_in("ruvok.exe")
        if config:
            install.add_stand_in("config.exe")
        install.start("--url=" + site.url, *args)
        self.addCleanup(install.end)
        return install, Window(install)

    def assertMode(self, state, play_enabled, retry_shown):
        self.assertEqual(control(state, "play")["enabled"], play_enabled)
        self.assertEqual(control(state, "retry")["visible"], retry_shown)
        self.assertTrue(control(state, "play")["visible"])
        if play_enabled:
            # Play takes the focus with the status (window_test checks that exactly); an
            # activation that the X server delivers later gives DefWindowProc's focus to
            # the window itself, where Enter still means Play (IDOK).
            self.assertIn(state["focus"], ("play", "window"))
        else:
            self.assertNotEqual(state["focus"], "play")

    def assertStaysOpen(self, install, window, seconds=1.0):
        time.sleep(seconds)
        self.assertIsNone(install.process.poll(), "the launcher ended")
        return window.dump()


class Layout(LauncherCase):
    def check_layout(self, dpi, prefix):
        site = SERVER.site("layout-%d" % dpi)
        site.publish([("ruvok.exe", game())], version="1.0")
        install, window = self.launch("layout-%d" % dpi, site, prefix=prefix)
        state = window.wait("status.text=" + ENGLISH["ready"], "play.enabled=1")
        expected = LAYOUTS[dpi]

        self.assertEqual(state["dpi"], dpi)
        self.assertEqual(state["title"], "Tarsin")
        self.assertEqual((state["client"]["width"], state["client"]["height"]), expected["client"])
        frame, screen = state["frame"], state["screen"]
        self.assertEqual(frame["x"], (screen["width"] - frame["width"]) // 2)
        self.assertEqual(frame["y"], (screen["height"] - frame["height"]) // 2)
        style = state["style"]
        self.assertEqual(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)
        self.assertEqual(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0, "resizable or maximisable")

        controls = [(c["name"], c["class"].lower(), c["id"], c["text"]) for c in state["controls"]]
        self.assertEqual(controls, [
            ("title", "static", 0, "Tarsin"), ("status", "static", 0, ENGLISH["ready"]),
            ("progress", "msctls_progress32", 0, ""), ("detail", "static", 0, "Version 1.0"),
            ("settings", "button", SETTINGS, "Settings"), ("retry", "button", RETRY, "Retry"),
            ("play", "button", PLAY, "Play")])
        for name in ("title", "status", "progress", "detail", "settings", "retry", "play"):
            self.assertEqual(rect(state, name), expected[name], name)

        # The ink is read off the screen, which can lag a repaint behind the texts just
        # set (seen under load: the previous status still half drawn); look again briefly.
        for _ in range(10):
            if control(state, "status")["ink"]["height"] < control(state, "title")["ink"]["height"]:
                break
            time.sleep(0.3)
            state = window.wait("status.text=" + ENGLISH["ready"], "play.enabled=1")
        title_ink = control(state, "title")["ink"]
        self.assertIn(title_ink["height"], TITLE_INK_HEIGHT[dpi], title_ink)
        self.assertLess(control(state, "status")["ink"]["height"], title_ink["height"])
        progress = control(state, "progress")
        self.assertEqual((progress["min"], progress["max"], progress["pos"], progress["marquee"]), (0, 1000, 1000, False))
        self.assertGreater(progress["fill"], 950)
        return state

    def test_the_96_dpi_layout(self):
        self.check_layout(96, MAIN)

    def test_the_144_dpi_layout_is_780_by_300_with_a_30_pixel_title(self):
        self.check_layout(144, DPI144)


class Languages(LauncherCase):
    def test_every_text_in_both_languages(self):
        ready = SERVER.site("lang-ready")
        ready.publish([("ruvok.exe", game())], version="7")
        failing = SERVER.site("lang-fail")  # nothing published: a 404
        for texts, turkish in ((ENGLISH, False), (TURKISH, True)):
            with self.subTest(turkish=turkish):
                install, window = self.launch("lang-ready", ready, turkish=turkish)
                state = window.wait("status.text=" + texts["ready"])
                self.assertEqual(state["flat"]["detail.text"], texts["version"] % "7")
                self.assertEqual([control(state, n)["text"] for n in ("title", "settings", "retry", "play")],
                                 ["Tarsin", texts["settings"], texts["retry"], texts["play"]])
                self.assertEqual(state["title"], "Tarsin")
                window.close()
                install.wait(20)

                install, window = self.launch("lang-fail", failing, turkish=turkish)
                state = window.wait("status.text=" + texts["unreachable"], "retry.visible=1")
                self.assertEqual(control(state, "retry")["text"], texts["retry"])
                window.close()
                install.wait(20)


class Modes(LauncherCase):
    def test_busy_connecting_then_downloading_then_ready(self):
        big = random.Random(7).randbytes(1536 * 1024)
        site = SERVER.site("busy")
        site.publish([("ruvok.exe", game()), ("data/big.pak", big)], version="2")
        site.fault("manifest.txt", "slow", 3000, count=1)
        site.fault("o/" + sha256(big), "slow", 150, count=1)
        install, window = self.launch("busy", site, ruvok=True, config=True)

        state = window.wait("status.text=" + ENGLISH["connecting"], "progress.marquee=1")
        self.assertMode(state, play_enabled=False, retry_shown=False)
        self.assertEqual(state["flat"]["detail.text"], "")
        self.assertFalse(control(state, "settings")["enabled"], "Settings during a run")
        # Neither a disabled Play nor a Retry during a run does anything.
        window.command(PLAY)
        window.command(RETRY)

        state = window.wait("status.text~Downloading", "progress.marquee=0")
        self.assertMode(state, play_enabled=False, retry_shown=False)
        self.assertFalse(control(state, "settings")["enabled"])
        self.assertIn(" MB", state["flat"]["detail.text"])
        self.assertLess(control(state, "progress")["pos"], 1000)

        state = window.wait("status.text=" + ENGLISH["ready"])
        self.assertMode(state, play_enabled=True, retry_shown=False)
        # The run has ended, so Settings is offered whatever order the last status took.
        state = window.wait("settings.enabled=1", timeout_ms=5000)
        self.assertIsNone(install.ran("ruvok.exe"))
        self.assertEqual(len(site.requests("manifest.txt")), 1)
        self.assertEqual(install.read("data/big.pak"), big)

    def test_ready_enter_starts_the_game_and_closes(self):
        site = SERVER.site("ready")
        site.publish([("ruvok.exe", game()), ("config.exe", game())], version="3")
        install, window = self.launch("ready", site)
        state = window.wait("status.text=" + ENGLISH["ready"], "settings.enabled=1")
        self.assertMode(state, play_enabled=True, retry_shown=False)
        window.key(VK_RETURN)
        self.assertEqual(install.wait(20), 0)
        self.assertEqual(install.ran("ruvok.exe"), {"cwd": windows_path(install.path), "args": []})
        self.assertIsNone(install.ran("config.exe"))

    def test_failed_offers_retry_only_and_enter_does_nothing(self):
        site = SERVER.site("failed")  # a 404 until published below
        install, window = self.launch("failed", site)
        state = window.wait("status.text=" + ENGLISH["unreachable"])
        self.assertMode(state, play_enabled=False, retry_shown=True)
        self.assertFalse(control(state, "settings")["enabled"], "Settings without config.exe")
        progress = control(state, "progress")
        # An empty bar, not the marquee's last frame.
        self.assertEqual((progress["pos"], progress["marquee"], progress["fill"]), (0, False, 0))
        window.key(VK_RETURN)
        state = self.assertStaysOpen(install, window)
        self.assertEqual(state["flat"]["status.text"], ENGLISH["unreachable"])

        # Retry after the server has the files: a new run that ends up to date.
        site.publish([("ruvok.exe", game())], version="5")
        window.click(RETRY)
        state = window.wait("status.text=" + ENGLISH["ready"])
        self.assertMode(state, play_enabled=True, retry_shown=False)
        self.assertEqual(state["flat"]["detail.text"], "Version 5")
        self.assertFalse(control(state, "settings")["enabled"], "Settings without config.exe")
        self.assertEqual(len(site.requests("manifest.txt")), 2)

    def test_retry_in_a_window_started_to_repair_repairs_again(self):
        site = SERVER.site("repair-retry")  # a 404 until published below
        content = b"level data " * 1000
        install = harness.Install(os.path.join(WORK, "repair-retry"), prefix=MAIN, language="en", clean=True)
        install.write("data.pak", content.upper())
        install.write("data-state.txt", harness.format_state({"data.pak": sha256(content)}))
        install.start("--url=" + site.url, "--repair")
        self.addCleanup(install.end)
        window = Window(install)
        window.wait("status.text=" + ENGLISH["unreachable"])
        site.publish([("data.pak", content)], version="6")
        window.click(RETRY)
        window.wait("status.text=" + ENGLISH["ready"])
        self.assertEqual(install.read("data.pak"), content)

    def test_failed_can_play_shows_retry_beside_play_and_runs_settings_and_the_game(self):
        site = SERVER.site("can-play")  # a 404
        install, window = self.launch("can-play", site, ruvok=True, config=True)
        state = window.wait("status.text=" + ENGLISH["unreachable"], "settings.enabled=1")
        self.assertMode(state, play_enabled=True, retry_shown=True)
        retry, play = rect(state, "retry"), rect(state, "play")
        self.assertEqual(retry[1], play[1])
        self.assertLess(retry[0] + retry[2], play[0])

        window.click(SETTINGS)
        deadline = time.monotonic() + 10
        while install.ran("config.exe") is None and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(install.ran("config.exe"), {"cwd": windows_path(install.path), "args": []})
        self.assertStaysOpen(install, window)

        window.command(1)  # IDOK, which Enter sends when no button has the focus, is Play too
        self.assertEqual(install.wait(20), 0)
        self.assertEqual(install.ran("ruvok.exe"), {"cwd": windows_path(install.path), "args": []})

    def test_play_with_the_game_gone_leaves_the_window_open(self):
        site = SERVER.site("no-game")
        site.publish([("data/only.dat", b"no game here")], version="1")
        install, window = self.launch("no-game", site)
        window.wait("status.text=" + ENGLISH["ready"], "play.enabled=1")
        window.click(PLAY)
        state = window.wait("dialogs=1", timeout_ms=10000)  # the shell's own error message
        self.assertNotEqual(state["dialogs"][0]["text"], "")
        window.dismiss()
        state = window.wait("dialogs=0", timeout_ms=10000)
        self.assertIsNone(install.process.poll())
        self.assertEqual(state["flat"]["status.text"], ENGLISH["ready"])
        window.close()
        self.assertEqual(install.wait(20), 0)


class Closing(LauncherCase):
    def test_closing_during_a_download_ends_promptly_and_the_next_run_resumes(self):
        big = random.Random(11).randbytes(3 * 1024 * 1024)
        site = SERVER.site("close")
        site.publish([("ruvok.exe", game()), ("data/huge.pak", big)], version="9")
        object_suffix = "o/" + sha256(big)
        site.fault(object_suffix, "slow", 200, count=1)
        install, window = self.launch("close", site)
        window.wait("status.text~Downloading", "progress.marquee=0")
        time.sleep(0.5)
        window.close()
        started = time.monotonic()
        self.assertTrue(window.gone(5000), "the window stayed")
        self.assertEqual(install.wait(20), 0)
        closing = time.monotonic() - started
        self.assertTrue(install.exists("data/huge.pak.part"))
        part = install.read("data/huge.pak.part")
        self.assertLess(len(part), len(big))
        self.assertEqual(part, big[:len(part)])
        self.assertFalse(install.exists("data/huge.pak"))

        # A worker held inside a slow transfer is not waited for beyond a short grace.
        site.fault(object_suffix, "slow", 20000, count=1)
        install.start("--url=" + site.url)
        window.wait("status.text~Downloading")
        time.sleep(0.5)
        window.close()
        started = time.monotonic()
        self.assertEqual(install.wait(30), 0)
        blocked = time.monotonic() - started
        self.assertLess(blocked, closing + 6.0, "closing took %.1f s, %.1f s with a blocked worker" % (closing, blocked))

        site.clear_faults()
        self.assertEqual(install.run("--url=" + site.url, "--exit-when-done"), 0)
        self.assertEqual(install.read("data/huge.pak"), big)
        ranges = [h for r in site.requests(object_suffix) for h in r[1:] if h.lower().startswith("range: bytes=")]
        self.assertTrue(ranges, "no download resumed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
