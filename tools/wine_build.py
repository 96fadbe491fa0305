"""Which build of the launcher the tests, the demo, the campaign and the benchmark run, and
under which Wine loader: the one place that chooses both.

The product is the 32-bit build (build/), and every build makes it. Some machines' kernels
run 64-bit programs only: there no 32-bit program starts, Wine's 32-bit loader included, and
Debian's `wine` wrapper picks that loader whenever wine32 is installed. On such a machine the
same sources are built for 64-bit Windows (build64/) and run under the 64-bit loader.
TARSIN_BUILD=win32 or TARSIN_BUILD=win64 forces either.

  wine_build.py shell       the choice as shell assignments, with the reason
  wine_build.py loader DIR  the Wine loader for the build in DIR"""
import os
import shlex
import stat
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"


@dataclass(frozen=True)
class Build:
    name: str       # the CMake preset
    folder: str     # below the source tree
    loader: str
    bits: int

    @property
    def dir(self):
        return os.path.join(ROOT, self.folder)

    @property
    def publish_options(self):
        """What publishing this build's own launcher takes. The 64-bit build exists only so
        that tests run where 32-bit programs cannot: its launcher would never start on a
        player's machine, and the publishing tool refuses it unless told, here and only here."""
        return {"allow_64_bit_launcher": True} if self.bits == 64 else {}

    @property
    def publish_flags(self):
        return ["--allow-64-bit-launcher"] if self.bits == 64 else []


BUILDS = {b.name: b for b in (Build("win32", "build", WINE32, 32), Build("win64", "build64", WINE64, 64))}
PRODUCT = BUILDS["win32"]


def _tiny_i386_program():
    """A static 32-bit Linux program that only exits with status 32: whether it runs tells
    whether the kernel starts 32-bit programs at all, before any package is installed."""
    base, header = 0x08048000, 52 + 32
    code = bytes([0xBB, 32, 0, 0, 0,        # mov ebx, 32
                  0xB8, 1, 0, 0, 0,         # mov eax, 1 (exit)
                  0xCD, 0x80])              # int 0x80
    size = header + len(code)
    elf = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)                     # 32-bit, little-endian
    elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    elf += struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)  # one loadable R+X segment
    return elf + code


def _starts(command):
    """None when the command ran and exited 0 (or 32 for the tiny program), else why not."""
    try:
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        return e.strerror or str(e)
    except subprocess.TimeoutExpired:
        return "it did not end within 60 s"
    return None if result.returncode in (0, 32) else f"exit {result.returncode}"


def probe_32_bit(loader=WINE32):
    """None when 32-bit programs start here, else why they do not. Tried, not guessed: the
    tiny program, and Wine's 32-bit loader where it is installed already."""
    # Beside the sources rather than in /tmp, which some machines mount noexec.
    with tempfile.TemporaryDirectory(prefix=".probe-", dir=ROOT) as folder:
        program = os.path.join(folder, "i386")
        with open(program, "wb") as f:
            f.write(_tiny_i386_program())
        os.chmod(program, stat.S_IRWXU)
        why = _starts([program])
    if why:
        return f"the kernel does not start 32-bit programs ({why})"
    if os.path.exists(loader):
        why = _starts([loader, "--version"])
        if why:
            return f"Wine's 32-bit loader does not start ({loader}: {why})"
    return None


def choose(environ=os.environ, probe=probe_32_bit):
    """(Build, reason)."""
    forced = environ.get("TARSIN_BUILD", "")
    if forced:
        if forced not in BUILDS:
            raise SystemExit(f"TARSIN_BUILD={forced}: use one of {', '.join(BUILDS)}")
        return BUILDS[forced], f"TARSIN_BUILD={forced} forces it"
    why = probe()
    if why:
        return BUILDS["win64"], f"this machine runs 64-bit programs only: {why}"
    return BUILDS["win32"], "this machine runs 32-bit programs"


def of_folder(folder):
    """The build whose CMake tree is folder, by the kind its toolchain wrote there."""
    try:
        with open(os.path.join(folder, "tarsin-build")) as f:
            return BUILDS[f.read().strip()]
    except (OSError, KeyError):
        return PRODUCT


def main(argv):
    if argv[:1] == ["shell"]:
        build, reason = choose()
        for name, value in (("TARSIN_BUILD", build.name), ("TARSIN_BUILD_DIR", build.dir),
                            ("TARSIN_WINE", build.loader), ("TARSIN_BUILD_REASON", reason)):
            print(f"{name}={shlex.quote(value)}")
        return 0
    if argv[:1] == ["loader"] and len(argv) == 2:
        print(of_folder(argv[1]).loader)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
