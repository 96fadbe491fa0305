#!/usr/bin/env python3
"""Reports product .cpp files over 200 lines, the publishing tool's modules over 400, and
functions over 60 lines.

  check_sizes.py [--max-file N] [--max-tool-file N] [--max-function N]

A C++ function is counted from the first line of its head to its closing brace, a Python one
from its "def" line to its last line. Exit code 1 when any is over.
"""
import argparse
import ast
import glob
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FOLDERS = ("support", "status", "formats", "transfer", "update", "app")
TOOL = ("tools/publish.py", "tools/signing.py", "tools/publishing/*.py")
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


def python_functions(text):
    """(head, length) of every function and method, nested ones included."""
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield f"def {node.name}", node.end_lineno - node.lineno + 1


def measure(paths, max_file, max_function, functions_of):
    """Prints every file and function over its limit; returns how many."""
    over = 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        name = os.path.relpath(path, ROOT)
        if len(text.splitlines()) > max_file:
            print(f"{name}: {len(text.splitlines())} lines")
            over += 1
        for head, length in functions_of(text):
            if length > max_function:
                print(f"{name}: {length} lines: {head}")
                over += 1
    return over


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-file", type=int, default=200)
    parser.add_argument("--max-tool-file", type=int, default=400)
    parser.add_argument("--max-function", type=int, default=60)
    args = parser.parse_args()
    cpp = sorted(p for folder in FOLDERS for p in glob.glob(os.path.join(ROOT, folder, "*.cpp")))
    tool = sorted(p for pattern in TOOL for p in glob.glob(os.path.join(ROOT, pattern)))
    over = measure(cpp, args.max_file, args.max_function, lambda text: functions(text.splitlines()))
    over += measure(tool, args.max_tool_file, args.max_function, python_functions)
    return 1 if over else 0


if __name__ == "__main__":
    raise SystemExit(main())
