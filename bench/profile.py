#!/usr/bin/env python3
"""Where a Windows program's CPU time goes under Wine, from perf samples.

  profile.py [--top 25] [--out FILE] -- wine PROGRAM.exe ARGS...

perf sees Wine's PE modules as plain file mappings and the program's own image as
anonymous code, so it names neither function. This runs the command under
`perf record`, then gives every sample a module (perf's), and a function when the
module is the program (from its own symbol table, i686-w64-mingw32-nm) or a Wine
DLL (from its export table, i686-w64-mingw32-objdump). The environment (WINEPREFIX,
DISPLAY...) is the caller's.
"""
import argparse
import bisect
import collections
import os
import re
import subprocess
import sys
import tempfile


class Symbols:
    def __init__(self, starts_and_names):
        self.items = sorted(starts_and_names)
        self.starts = [s for s, _ in self.items]

    def name(self, address):
        i = bisect.bisect_right(self.starts, address) - 1
        return self.items[i][1] if i >= 0 else None


def exe_symbols(exe):
    out = subprocess.run(["i686-w64-mingw32-nm", "-C", "--defined-only", exe], stdout=subprocess.PIPE,
                         text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tT":
            found.append((int(parts[0], 16), parts[2]))
    return Symbols(found)


def dll_symbols(dll):
    """The functions of a Wine DLL at their addresses: Wine loads its builtin DLLs at
    their preferred base, where the disassembler places them."""
    out = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", dll], stdout=subprocess.PIPE,
                         text=True).stdout
    return Symbols((int(m.group(1), 16), m.group(2)) for m in re.finditer(r"^([0-9a-f]+) <([^>]+)>:", out, re.M))


def short(name, width=110):
    name = re.sub(r"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string",
                  name)
    name = re.sub(r"std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >",
                  "std::wstring", name)
    return name if len(name) <= width else name[:width - 3] + "..."


def profile(command, exe, top, frequency=999):
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "perf.data")
        run = subprocess.run(["perf", "record", "-q", "-F", str(frequency), "-o", data, "--", *command])
        script = subprocess.run(["perf", "script", "-i", data, "-F", "comm,ip,sym,dso"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True).stdout
    program = os.path.basename(exe)[:15]
    modules = collections.Counter()
    functions = collections.Counter()
    resolvers = {}
    own = exe_symbols(exe) if exe else None
    total = 0
    for line in script.splitlines():
        parts = line.split()
        if len(parts) < 3:
            continue
        comm, ip, dso = parts[0], int(parts[1], 16), parts[-1].strip("()")
        perf_name = " ".join(parts[2:-1])
        if not program.startswith(comm[:15]) and not comm.startswith(program[:15]):
            continue
        total += 1
        if dso.startswith("/tmp/perf-"):
            module = os.path.basename(exe)
            name = own.name(ip) if own else None
        else:
            module = os.path.basename(dso)
            name = perf_name if perf_name and perf_name != "[unknown]" else None
            if dso.endswith(".dll"):
                if dso not in resolvers:
                    resolvers[dso] = dll_symbols(dso)
                name = resolvers[dso].name(ip)
        modules[module] += 1
        if name:
            functions[f"{module}!{short(name)}"] += 1
    lines = [f"{total} samples at {frequency} Hz in {program} (exit {run.returncode})", "",
             "| Module | Share |", "|---|---:|"]
    lines += [f"| {m} | {100 * n / total:.1f} % |" for m, n in modules.most_common(12)]
    lines += ["", "| Function | Share |", "|---|---:|"]
    lines += [f"| `{f}` | {100 * n / total:.1f} % |" for f, n in functions.most_common(top)]
    return "\n".join(lines) + "\n", run.returncode


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--out")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    exe = next((c for c in command if c.lower().endswith(".exe")), None)
    if not command or not exe:
        parser.error("give the command: -- wine PROGRAM.exe ARGS...")
    text, code = profile(command, exe, args.top)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    print(text)
    return code


if __name__ == "__main__":
    sys.exit(main())
