#!/usr/bin/env python3
"""Writes the benchmark's game builds: the same bytes on every machine and every run.

  make_data.py SET OUT_DIR      SET is one of: large, many, tiny

  large  8 files of about 180 MiB each (1.5 GB), incompressible
  many   20,000 files of 4 to 64 KiB in nested folders (about 670 MiB)
  tiny   a few files of each kind, a few MiB, for the smoke run

OUT_DIR is replaced. A file "bench-set.txt" beside OUT_DIR records what was made,
so that the runner can tell a complete build of this generator version from a torn one.
"""
import os
import random
import shutil
import sys

GENERATOR_VERSION = "2"
CHUNK = 4 << 20


def large_files():
    # 1.5 GB; sizes off the MiB grid, so the last block of every file is a short one.
    for i in range(8):
        yield f"data/pak{i:02d}.bin", (180 << 20) + 4097 * i + 1


def many_files():
    rng = random.Random(20000)
    for i in range(20000):
        size = rng.randint(4 << 10, 64 << 10)
        top, mid = i // 1000, (i // 40) % 25
        # Every seventh file one level deeper, so the folder tree is not uniform.
        deeper = f"/x{i % 3}" if i % 7 == 0 else ""
        yield f"assets/g{top:02d}/m{mid:02d}{deeper}/f{i:05d}.dat", size


def tiny_files():
    yield "data/big.bin", (3 << 20) + 123
    yield "data/mid.bin", (1 << 20) + 1
    yield "empty.txt", 0
    rng = random.Random(60)
    for i in range(60):
        yield f"assets/t{i % 4}/s{i % 3}/f{i:03d}.dat", rng.randint(1, 20 << 10)


SETS = {"large": large_files, "many": many_files, "tiny": tiny_files}


def content_seed(set_name, path):
    return f"{set_name}/{path}/{GENERATOR_VERSION}"


def write_file(full, size, seed):
    rng = random.Random(seed)
    with open(full, "wb") as f:
        left = size
        while left:
            n = min(CHUNK, left)
            f.write(rng.randbytes(n))
            left -= n


def stamp_text(set_name):
    files = list(SETS[set_name]())
    return (f"generator {GENERATOR_VERSION}\nset {set_name}\nfiles {len(files)}\n"
            f"bytes {sum(s for _, s in files)}\n")


def make(set_name, out_dir):
    out_dir = os.path.abspath(out_dir)
    stamp = out_dir + ".bench-set.txt"
    if os.path.exists(stamp):
        os.unlink(stamp)
    if os.path.exists(out_dir):
        shutil.rmtree(out_dir)
    for path, size in SETS[set_name]():
        full = os.path.join(out_dir, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        write_file(full, size, content_seed(set_name, path))
    # Written last: its presence means the build is whole.
    with open(stamp, "w") as f:
        f.write(stamp_text(set_name))


def is_current(set_name, out_dir):
    try:
        with open(os.path.abspath(out_dir) + ".bench-set.txt") as f:
            return f.read() == stamp_text(set_name)
    except OSError:
        return False


def main(argv):
    if len(argv) != 2 or argv[0] not in SETS:
        print(__doc__, file=sys.stderr)
        return 2
    make(argv[0], argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
