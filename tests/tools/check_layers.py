#!/usr/bin/env python3
"""The shape of the tools, from their #include lines:

- no circle: no file (a header and its source count as one) reaches itself
  through the files it includes;
- velto's floors, lowest first: core/, print/, the commands at the top of
  velto/ (main, table, stream and their command line), monitor/ (the
  command that adds HTTP). A file includes its own floor and those below:
  the core knows no terminal and no HTTP, and only the monitor knows
  cpp-httplib;
- nothing outside velto (the analysis, the shared text, velto-caster)
  includes any of velto's files.

    check_layers.py TOOLS_DIR
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# Where a quoted include is looked for, after the including file's folder.
SEARCH = ["velto", "analysis", "common"]
# velto's floors, lowest first: a file may include its own floor and those below.
FLOORS = ["core", "print", "", "monitor"]


def unit_of(path):
    return os.path.splitext(path)[0]


def floor_of(path):
    """velto/core/run.cpp -> "core"; velto/stream.cpp -> "" (the commands)."""
    parts = path.split("/")
    if parts[0] != "velto":
        return None
    return parts[1] if len(parts) > 2 else ""


def includes(tools, path):
    with open(os.path.join(tools, path), encoding="utf-8") as source:
        text = source.read()
    for name in INCLUDE.findall(text):
        for folder in [os.path.dirname(path)] + SEARCH:
            candidate = os.path.normpath(os.path.join(folder, name))
            if os.path.isfile(os.path.join(tools, candidate)):
                yield candidate
                break
        else:
            yield None


def circles(graph):
    """The strongly connected parts of more than one unit (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(unit):
        index[unit] = low[unit] = len(index)
        stack.append(unit)
        on_stack.add(unit)
        for after in sorted(graph.get(unit, ())):
            if after not in index:
                visit(after)
                low[unit] = min(low[unit], low[after])
            elif after in on_stack:
                low[unit] = min(low[unit], index[after])
        if low[unit] == index[unit]:
            part = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                part.append(member)
                if member == unit:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    for unit in sorted(graph):
        if unit not in index:
            visit(unit)
    return found


def main():
    tools = sys.argv[1]
    files = []
    for folder, _, names in os.walk(tools):
        for name in names:
            if name.endswith((".h", ".cpp")):
                files.append(os.path.relpath(os.path.join(folder, name), tools))
    problems = []
    graph = {}
    edges = 0
    for path in sorted(files):
        for target in includes(tools, path):
            if target is None:
                continue  # the library's public header, or outside the tools
            edges += 1
            if unit_of(target) != unit_of(path):
                graph.setdefault(unit_of(path), set()).add(unit_of(target))
            home, there = floor_of(path), floor_of(target)
            if home is None and there is not None:
                problems.append("%s includes %s: only velto knows velto" % (path, target))
            elif home is not None and there is not None and FLOORS.index(there) > FLOORS.index(home):
                problems.append("%s (%s) includes %s from a floor above it (%s)"
                                % (path, home or "the commands", target, there or "the commands"))
    for part in circles(graph):
        problems.append("include circle: " + " -> ".join(part))
    for problem in problems:
        print("FAIL " + problem)
    print("%d files, %d includes between them, %d problem(s)" % (len(files), edges, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
