#!/usr/bin/env python3
"""Checks the product's include graph: every folder includes only from the folders under it
(app > update > transfer > formats, status > support; formats and status from support alone),
and the modules of one folder (a header and its .cpp) include each other without a cycle.

  check_includes.py

Prints every include that goes upward or sideways and every cycle; exit code 1 when any.
"""
import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
# What each folder may include besides itself.
BELOW = {
    "support": set(),
    "status": {"support"},
    "formats": {"support"},
    "transfer": {"status", "formats", "support"},
    "update": {"transfer", "status", "formats", "support"},
    "app": {"update", "transfer", "status", "formats", "support"},
}
# Cycles tolerated while a change is under way, each a set of modules of one folder. A cycle
# not listed fails the check, and so does a listed one that no longer stands, so that the list
# only shrinks. None stands today.
ALLOWED_CYCLES = []
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def includes(root):
    """{(folder, module): {(folder, module) included}} and [(file, include)] going up."""
    graph, wrong = {}, []
    for folder in BELOW:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if not name.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(root, folder, name), encoding="utf-8") as f:
                text = f.read()
            node = (folder, os.path.splitext(name)[0])
            edges = graph.setdefault(node, set())
            for target in INCLUDE.findall(text):
                parts = target.split("/")
                if len(parts) != 2 or parts[0] not in BELOW:
                    continue  # a header of the system or of the build's own
                if parts[0] != folder and parts[0] not in BELOW[folder]:
                    wrong.append((f"{folder}/{name}", target))
                elif parts[0] == folder and os.path.splitext(parts[1])[0] != node[1]:
                    edges.add((folder, os.path.splitext(parts[1])[0]))
    return graph, wrong


def cycles(graph):
    """The strongly connected groups of more than one module (Tarjan), as (folder, modules)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in graph.get(node, ()):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = set()
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.add(member)
                if member == node:
                    break
            if len(group) > 1:
                found.append((node[0], frozenset(m for _, m in group)))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def problems(root=ROOT, allowed=ALLOWED_CYCLES):
    graph, wrong = includes(root)
    lines = [f"{name}: includes {target}, which its folder may not" for name, target in wrong]
    standing = cycles(graph)
    for folder, group in standing:
        if (folder, group) not in allowed:
            lines.append(f"{folder}/: include cycle between {', '.join(sorted(group))}")
    for folder, group in allowed:
        if (folder, group) not in standing:
            lines.append(f"{folder}/: the allowed cycle {', '.join(sorted(group))} is gone: "
                         "take it off ALLOWED_CYCLES")
    return lines


def main():
    lines = problems()
    for line in lines:
        print(line)
    return 1 if lines else 0


if __name__ == "__main__":
    sys.exit(main())
