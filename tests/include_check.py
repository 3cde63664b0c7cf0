#!/usr/bin/env python3
"""The layers of src/ point only down.

A folder of src/ is a layer; a module is a header and its source (the
files of one folder sharing a name up to the first dot: "storage/lock.h"
and "storage/lock.cc" are the module storage/lock). A file may include files of
its own folder and of the folders below it, never above; and no two modules
of one folder may include each other, directly or round a longer loop.

    include_check.py SRC_DIR [--graph]

Prints the include graph (layers, then modules and their arrows) with
--graph, and every fault found; exits 1 when there is one.
"""
import os
import re
import sys

# Bottom to top.
LAYERS = ["base", "index", "storage", "search", "api"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def module_of(path):
    folder, name = path.split("/", 1)
    return folder + "/" + name.split(".", 1)[0]


def read_graph(src):
    edges = {}  # module -> {module: [file, ...]}
    modules = set()
    for folder in sorted(os.listdir(src)):
        base = os.path.join(src, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if not name.endswith((".h", ".cc")):
                continue
            rel = folder + "/" + name
            mod = module_of(rel)
            modules.add(mod)
            with open(os.path.join(base, name), encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if "/" not in target:
                    continue  # the public header, or a generated one
                to = module_of(target)
                if to != mod:
                    edges.setdefault(mod, {}).setdefault(to, []).append(rel)
    return modules, edges


def layer_of(module):
    folder = module.split("/", 1)[0]
    return LAYERS.index(folder) if folder in LAYERS else None


def cycles_within_layers(modules, edges):
    """Strongly connected sets of more than one module of one folder."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in edges.get(v, {}):
            if w.split("/")[0] != v.split("/")[0]:
                continue
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    sys.setrecursionlimit(10000)
    for m in sorted(modules):
        if m not in index:
            visit(m)
    return found


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    src = sys.argv[1]
    modules, edges = read_graph(src)
    faults = []
    for m in sorted(modules):
        if layer_of(m) is None:
            faults.append(f"{m}: folder '{m.split('/')[0]}' is not a layer ({', '.join(LAYERS)})")
    for m, targets in sorted(edges.items()):
        for t, files in sorted(targets.items()):
            a, b = layer_of(m), layer_of(t)
            if a is not None and b is not None and b > a:
                faults.append(f"{files[0]} includes {t}: {t.split('/')[0]} is above {m.split('/')[0]}")
    for group in cycles_within_layers(modules, edges):
        faults.append("modules that include each other: " + " -> ".join(group + group[:1]))

    if "--graph" in sys.argv:
        folders = {}
        for m, targets in edges.items():
            for t in targets:
                fa, fb = m.split("/")[0], t.split("/")[0]
                if fa != fb:
                    folders.setdefault(fa, set()).add(fb)
        order = LAYERS + sorted({m.split("/")[0] for m in modules} - set(LAYERS))
        print("layers:")
        for f in reversed(order):
            if any(m.startswith(f + "/") for m in modules):
                print(f"  {f} -> {', '.join(sorted(folders.get(f, ())) ) or '(nothing)'}")
        print("modules:")
        for m in sorted(modules, key=lambda m: (order.index(m.split('/')[0]), m)):
            print(f"  {m} -> {', '.join(sorted(edges.get(m, {}))) or '(nothing)'}")
    for f in faults:
        print("FAULT:", f)
    print(f"include check: {len(modules)} modules, "
          f"{sum(len(t) for t in edges.values())} arrows, {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
