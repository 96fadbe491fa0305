#!/usr/bin/env python3
"""Saves PNG screenshots of the launcher window, for the README and for review:

  launcher-en.png      English, 96 dpi, while a download is under way
  launcher-tr.png      Turkish, 96 dpi, the game up to date
  launcher-144dpi.png  English, 144 dpi, a failed run with the game present (Retry and Play)

  tools/screenshots.py [BUILD_DIR [OUT_DIR]]      (defaults: build, docs)

Needs the built launcher and its test programs (cmake --build BUILD_DIR), Xvfb, Wine and
ImageMagick's import. It runs on an X display and a Wine prefix of its own
(BUILD_DIR/wineprefix-screenshots) and stops both. With Wine's own fonts installed
(Debian's fonts-wine), the caption that Wine draws is included; without them its buttons
lack their symbols, and only the client area is saved.
"""
import os
import random
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
OUT = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs"))
os.environ["TARSIN_BUILD_DIR"] = BUILD
os.environ["TARSIN_SOURCE_DIR"] = ROOT
os.environ.pop("DISPLAY", None)  # a display of its own: nothing else on the picture
sys.path.insert(0, os.path.join(ROOT, "tests"))

from launcher_harness import (STANDIN, Display, Install, Prefix, ServerFixture, Window,  # noqa: E402
                              end_all, sha256)

PREFIX = Prefix(os.path.join(BUILD, "wineprefix-screenshots"))
WINE_FONTS = "/usr/share/wine/fonts/marlett.ttf"


def registry(key, name, kind, value):
    subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"], env=PREFIX.env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)
    PREFIX.wait_idle()


def capture(window, name, whole_frame):
    state = window.dump()
    if whole_frame:
        r = state["frame"]
        box = (r["width"], r["height"], r["x"], r["y"])
    else:
        box = (state["client"]["width"], state["client"]["height"], state["clientOnScreen"]["x"],
               state["clientOnScreen"]["y"])
    path = os.path.join(OUT, name)
    subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % box, "+repage", path], check=True,
                   timeout=60)
    print(path)


def main():
    os.makedirs(OUT, exist_ok=True)
    display = Display()
    display.ensure()
    server = ServerFixture("screenshots")
    try:
        PREFIX.ensure()
        whole_frame = os.path.exists(WINE_FONTS)
        registry("HKCU\\Software\\Wine\\X11 Driver", "Decorated", "REG_SZ", "N" if whole_frame else "Y")
        with open(STANDIN, "rb") as f:
            game = f.read()
        data = random.Random(3).randbytes(6 * 1024 * 1024)
        site = server.site("game")
        site.publish([("ruvok.exe", game), ("data/world.pak", data)], version="1.4.2")
        missing = server.site("unreachable")

        registry("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", "96")
        site.fault("o/" + sha256(data), "slow", 60, count=1)
        install = Install("shot-en", prefix=PREFIX)
        install.start("--url=" + site.url)
        window = Window(install)
        window.wait("status.text~Downloading", "detail.text~MB/s")
        for _ in range(100):  # until the bar shows a good part of the download
            if int(window.dump()["flat"]["progress.pos"]) >= 400:
                break
        capture(window, "launcher-en.png", whole_frame)
        window.wait("status.text=The game is up to date.", timeout_ms=60000)
        window.close()
        install.wait()

        install = Install("shot-tr", prefix=PREFIX, turkish=True)
        install.add_standin("ruvok.exe")
        install.start("--url=" + site.url)
        window = Window(install)
        window.wait("status.text=Oyun güncel.", "settings.enabled=0", timeout_ms=60000)
        capture(window, "launcher-tr.png", whole_frame)
        window.close()
        install.wait()

        registry("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", "144")
        install = Install("shot-144", prefix=PREFIX)
        install.add_standin("ruvok.exe")
        install.add_standin("config.exe")
        install.start("--url=" + missing.url)
        window = Window(install)
        window.wait("retry.visible=1", "settings.enabled=1")
        capture(window, "launcher-144dpi.png", whole_frame)
        window.close()
        install.wait()
    finally:
        end_all()
        server.stop()
        PREFIX.stop()
        display.stop()


if __name__ == "__main__":
    main()
