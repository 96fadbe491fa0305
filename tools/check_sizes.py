#!/usr/bin/env python3
"""Reports product .cpp files over 200 lines and functions over 60 lines.

  check_sizes.py [--max-file N] [--max-function N]

A function is counted from the first line of its head to its closing brace. Exit code 1 when any is over.
"""
import argparse
import glob
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FOLDERS = ("support", "status", "formats", "transfer", "update", "app")
STRING = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')


def functions(lines):
    """(first line, length) of every function body opened outside any block but a
    namespace: from the line its head starts to its closing brace."""
    blocks = []  # per open brace: "namespace", "other", or the line a function's head started
    head = None
    for number, raw in enumerate(lines, 1):
        line = STRING.sub('""', raw.split("//")[0])
        outside = all(b == "namespace" for b in blocks)
        if outside and head is None and line.strip() and not line.lstrip().startswith(("#", "}")):
            head = number
        for ch in line:
            if ch == "{":
                opener = lines[head - 1] if head else line
                if not all(b == "namespace" for b in blocks):
                    blocks.append("other")
                elif re.match(r"\s*namespace\b", opener):
                    blocks.append("namespace")
                elif re.match(r"\s*(struct|class|enum|union|extern)\b", opener) or "=" in opener.split("(")[0]:
                    blocks.append("other")
                else:
                    blocks.append(head or number)
                head = None
            elif ch == "}" and blocks:
                opened = blocks.pop()
                if isinstance(opened, int):
                    yield lines[opened - 1].strip(), number - opened + 1
        if all(b == "namespace" for b in blocks) and line.rstrip().endswith((";", "}")):
            head = None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-file", type=int, default=200)
    parser.add_argument("--max-function", type=int, default=60)
    args = parser.parse_args()
    over = 0
    for path in sorted(p for folder in FOLDERS for p in glob.glob(os.path.join(ROOT, folder, "*.cpp"))):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        name = os.path.relpath(path, ROOT)
        if len(lines) > args.max_file:
            print(f"{name}: {len(lines)} lines")
            over += 1
        for head, length in functions(lines):
            if length > args.max_function:
                print(f"{name}: {length} lines: {head}")
                over += 1
    return 1 if over else 0


if __name__ == "__main__":
    raise SystemExit(main())
