#!/usr/bin/env python3
"""The project's files as a graph of who includes whom, a file's header and source as one.

Fails (status 1) on a circle of files, or on a file that includes one of a layer above its own;
prints the layers' graph either way. Usage: scripts/include-layers.py [SOURCE_DIR]
"""

import collections
import os
import re
import sys

# From the bottom up: each may include only its own and those before it. The window and the
# command line are both on top; the window's main reads its command line with the other's parser.
LAYERS = ["platform", "listing", "messages", "thumbnails", "media", "page", "watch", "cli", "app"]
INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)"')


def graph(root):
    headers, sources = {}, []
    for layer in LAYERS:
        for name in sorted(os.listdir(os.path.join(root, layer))):
            if name.endswith(".h"):
                headers[name] = layer + "/" + name[:-2]
            if name.endswith((".h", ".cpp")):
                sources.append(layer + "/" + name)
    edges = collections.defaultdict(set)
    for path in sources:
        node = os.path.splitext(path)[0]
        edges[node]
        with open(os.path.join(root, path), encoding="utf-8") as f:
            for line in f:
                found = INCLUDE.match(line)
                target = found and headers.get(os.path.basename(found.group(1)))
                if target and target != node:
                    edges[node].add(target)
    return edges


def circles(edges):
    """The strongly connected parts of more than one file (Tarjan's)."""
    index, low, stack, on, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(edges[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            part = []
            while True:
                w = stack.pop()
                on.discard(w)
                part.append(w)
                if w == v:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    sys.setrecursionlimit(10000)
    for v in sorted(edges):
        if v not in index:
            visit(v)
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))
    edges = graph(root)
    layer = lambda node: LAYERS.index(node.split("/")[0])
    failed = False
    for part in circles(edges):
        print("circle: " + " -> ".join(part))
        failed = True
    between = collections.Counter()
    for source, targets in sorted(edges.items()):
        for target in sorted(targets):
            if layer(target) > layer(source):
                print("upward: %s includes %s" % (source, target))
                failed = True
            if layer(target) != layer(source):
                between[(source.split("/")[0], target.split("/")[0])] += 1
    for (source, target), count in sorted(between.items(), key=lambda e: (layer(e[0][0]),
                                                                          layer(e[0][1]))):
        print("%-10s -> %-10s %3d" % (source, target, count))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
