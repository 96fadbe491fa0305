#!/usr/bin/env python3
"""Saves PNG screenshots of the launcher window, for the README and for review:

  launcher-en.png      English, 96 dpi, while a download is under way
  launcher-tr.png      Turkish, 96 dpi, the game up to date
  launcher-144dpi.png  English, 144 dpi, a failed run with the game present (Retry and Play)

  tools/screenshots.py [BUILD_DIR [OUT_DIR]]      (defaults: build, docs)

Needs the built launcher and its test programs (cmake --build BUILD_DIR), Xvfb, Wine, nginx
and ImageMagick's import. It runs on an X display, a Wine prefix
(BUILD_DIR/wineprefix-screenshots) and an nginx of its own and stops them. With Wine's own fonts installed
(Debian's fonts-wine), the caption that Wine draws is included; without them its buttons
lack their symbols, and only the client area is saved.
"""
import os
import random
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
OUT = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs"))
os.environ["TARSIN_BUILD_DIR"] = BUILD

import nginx_server  # noqa: E402
import publish  # noqa: E402
import wine_harness as harness  # noqa: E402

WORK = os.path.join(BUILD, "screenshots")
WINE_FONTS = "/usr/share/wine/fonts/marlett.ttf"


class SlowServer(nginx_server.NginxServer):
    """nginx sending each answer at 1 MiB/s, so that a picture catches the download under way."""

    def _write_config(self):
        super()._write_config()
        with open(self.config) as f:
            text = f.read()
        if "http {" not in text:
            raise RuntimeError("the nginx configuration has no http block to slow down")
        with open(self.config, "w") as f:
            f.write(text.replace("http {", "http {\n    limit_rate 1m;", 1))


def capture(window, name, whole_frame):
    state = window.dump()
    if whole_frame:
        r = state["frame"]
        box = (r["width"], r["height"], r["x"], r["y"])
    else:
        box = (state["client"]["width"], state["client"]["height"], state["clientOnScreen"]["x"],
               state["clientOnScreen"]["y"])
    path = os.path.join(OUT, name)
    subprocess.run(["import", "-display", window.install.prefix.display, "-window", "root", "-crop",
                    "%dx%d+%d+%d" % box, "+repage", path], check=True, timeout=60)
    print(path)


def shoot(prefix, name, url, turkish=False, stand_ins=()):
    install = harness.Install(os.path.join(WORK, name), prefix=prefix, language="tr" if turkish else "en",
                              clean=True)
    for program in stand_ins:
        install.add_stand_in(program)
    install.start("--url=" + url)
    return install, harness.Window(install)


def main():
    os.makedirs(OUT, exist_ok=True)
    shutil.rmtree(WORK, ignore_errors=True)
    game = os.path.join(WORK, "game")
    os.makedirs(os.path.join(game, "data"))
    shutil.copyfile(harness.STAND_IN, os.path.join(game, "ruvok.exe"))
    with open(os.path.join(game, "data", "world.pak"), "wb") as f:
        f.write(random.Random(3).randbytes(6 * 1024 * 1024))
    publish.publish(game, os.path.join(WORK, "tree"), "1.4.2", quiet=True, **harness.PUBLISH_OPTIONS)

    display = harness.Display(own=True)  # nothing else on the picture
    server = SlowServer(os.path.join(WORK, "tree"), os.path.join(WORK, "nginx"))
    prefix = harness.WinePrefix(os.path.join(BUILD, "wineprefix-screenshots"), display.start())
    try:
        url = server.start()
        missing = f"http://127.0.0.1:{server.port}/nothing-published-here/"
        prefix.create()
        whole_frame = os.path.exists(WINE_FONTS)

        def registry(key, name, kind, value):
            prefix.registry(key, name, kind, value)
            prefix.wait()

        registry("HKCU\\Software\\Wine\\X11 Driver", "Decorated", "REG_SZ", "N" if whole_frame else "Y")
        registry("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", "96")
        install, window = shoot(prefix, "shot-en", url)
        window.wait("status.text~Downloading", "detail.text~MB/s")
        for _ in range(100):  # until the bar shows a good part of the download
            if int(window.dump()["flat"]["progress.pos"]) >= 400:
                break
        capture(window, "launcher-en.png", whole_frame)
        window.wait("status.text=" + harness.ENGLISH["ready"], timeout_ms=60000)
        window.close()
        install.wait()

        install, window = shoot(prefix, "shot-tr", url, turkish=True, stand_ins=["ruvok.exe"])
        window.wait("status.text=" + harness.TURKISH["ready"], "settings.enabled=0", timeout_ms=60000)
        capture(window, "launcher-tr.png", whole_frame)
        window.close()
        install.wait()

        registry("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", "144")
        install, window = shoot(prefix, "shot-144", missing, stand_ins=["ruvok.exe", "config.exe"])
        window.wait("retry.visible=1", "settings.enabled=1")
        capture(window, "launcher-144dpi.png", whole_frame)
        window.close()
        install.wait()
    finally:
        harness.end_all()
        server.stop()
        prefix.kill()
        display.stop()


if __name__ == "__main__":
    main()
