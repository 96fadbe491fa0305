#!/usr/bin/env python3
"""Writes a sample game build for the demo and the tests, byte for byte the same
on every run: a few dozen files in folders, stand-ins for the game and its
configuration tool, and the launcher itself.

  sample_game.py OUT_DIR --launcher EXE --stand-in EXE [--megabytes N] [--update]

--update writes the next build instead: one file changed, one removed, and a new
launcher build (the same program with bytes appended, so it still runs).
"""
import argparse
import hashlib
import os
import shutil
import sys

BLOCK = 1 << 20
# Shares of the total size; the maps and small files take the rest.
LARGE = [("data/world.pak", 30), ("data/textures/terrain.tex", 15), ("data/textures/characters.tex", 12),
         ("data/sound/music.bank", 12), ("data/sound/effects.bank", 6), ("data/video/intro.bik", 10)]
MAPS = [f"data/maps/map{i:02d}.dat" for i in range(1, 17)]
SHADERS = [f"shaders/{n}.fx" for n in ("water", "sky", "terrain", "skin", "bloom", "shadow")]
CHANGED = "data/maps/map07.dat"
REMOVED = "data/sound/old.bank"
KEPT = "settings/user.cfg"
LAUNCHER = "TarsinLauncher.exe"

_POOL = hashlib.shake_256(b"tarsin sample game").digest(2 * BLOCK)


def content(name, size):
    """Incompressible-looking bytes, different for every name, quick to make."""
    seed = hashlib.sha256(name.encode()).digest()
    out = bytearray()
    i = 0
    while len(out) < size:
        mark = hashlib.sha256(seed + i.to_bytes(8, "little")).digest()
        start = int.from_bytes(mark[:4], "little") % BLOCK
        out += mark + _POOL[start:start + BLOCK - len(mark)]
        i += 1
    return bytes(out[:size])


def files(megabytes, update):
    total = megabytes * BLOCK
    made = {}
    for path, share in LARGE:
        made[path] = lambda p=path, n=total * share // 100: content(p, n)
    map_size = total * 13 // 100 // len(MAPS)
    for path in MAPS:
        version = "2" if update and path == CHANGED else "1"
        made[path] = lambda p=path, v=version: content(p + v, map_size)
    for path in SHADERS:
        made[path] = lambda p=path: f"// {p}\n".encode() * 200
    made["locale/en.txt"] = lambda: "title=Tarsin\nplay=Play\n".encode()
    made["locale/tr.txt"] = lambda: "title=Tarsin\nplay=Oyna\n".encode()
    made["settings/defaults.cfg"] = lambda: b"volume=80\nfullscreen=1\n"
    made[KEPT] = lambda: b"volume=80\n"
    made["readme.txt"] = lambda: b"Tarsin sample build for the launcher demo.\n"
    if not update:
        made[REMOVED] = lambda: content(REMOVED, 64 * 1024)
    return made


def make_game(out_dir, launcher, stand_in, megabytes=300, update=False):
    """Writes the build; returns the relative paths written."""
    if os.path.exists(out_dir):
        shutil.rmtree(out_dir)
    written = []
    for path, make in files(megabytes, update).items():
        full = os.path.join(out_dir, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(make())
        written.append(path)
    for name in ("ruvok.exe", "config.exe"):
        shutil.copyfile(stand_in, os.path.join(out_dir, name))
        written.append(name)
    target = os.path.join(out_dir, LAUNCHER)
    shutil.copyfile(launcher, target)
    if update:
        # The loader ignores bytes after the last section: a different file that runs the same.
        with open(target, "ab") as f:
            f.write(content("new launcher build", 64 * 1024))
    written.append(LAUNCHER)
    return sorted(written)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="sample_game.py", description=__doc__.split("\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--stand-in", required=True)
    parser.add_argument("--megabytes", type=int, default=300)
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args(argv)
    written = make_game(args.out_dir, args.launcher, args.stand_in, args.megabytes, args.update)
    print(f"{len(written)} files in {args.out_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
