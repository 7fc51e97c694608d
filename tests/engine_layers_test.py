#!/usr/bin/env python3
"""The engine's folders depend one way, and no header includes itself round.

    engine_layers_test.py ROOT          check; exit 1 naming every bad include
    engine_layers_test.py ROOT --dot    print the include graph (Graphviz)

files/ (names, reading, text tokens) and model/ (the model as loaded and the
geometry done to it) stand on nothing but the shared headers at the engine's
top; formats/ (the readers) and render/ (drawing) stand on those two; render/
never reaches a reader, and nothing reaches up into formats/ or render/.
"""
import os
import re
import sys

ALLOWED = {
    "": {""},
    "files": {"", "files"},
    "model": {"", "model"},
    "formats": {"", "files", "model", "formats"},
    "render": {"", "model", "render"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"control/engine/([^"]+)"', re.M)


def layer(path):
    """The top folder under control/engine ('' for the shared headers)."""
    parts = path.split("/")
    return parts[0] if len(parts) > 1 else ""


def include_graph(engine):
    graph = {}
    for folder, _, names in os.walk(engine):
        for name in names:
            if not name.endswith((".h", ".cpp")):
                continue
            full = os.path.join(folder, name)
            source = os.path.relpath(full, engine).replace(os.sep, "/")
            with open(full, encoding="utf-8") as text:
                graph[source] = INCLUDE.findall(text.read())
    return graph


def problems(graph):
    found = []
    for source, targets in sorted(graph.items()):
        if layer(source) not in ALLOWED:
            found.append(f"{source}: folder {layer(source)!r} has no place in the layers")
            continue
        for target in targets:
            if target not in graph:
                found.append(f"{source}: includes {target}, which does not exist")
            elif layer(target) not in ALLOWED[layer(source)]:
                found.append(f"{source}: includes {target} ({layer(source) or 'engine'} may not use "
                             f"{layer(target) or 'engine'})")
    # A cycle through headers: depth-first search with the path on a stack.
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in graph.get(node, []):
            if state.get(target) == "open":
                found.append("include cycle: " + " -> ".join(path[path.index(target):] + [target]))
            elif target in graph and target not in state:
                visit(target, path + [target])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    return found


def dot(graph):
    lines = ["digraph engine {", "  rankdir=BT; node [shape=box, fontsize=10];"]
    folders = {}
    for node in graph:
        folders.setdefault(os.path.dirname(node), []).append(node)
    for number, (folder, nodes) in enumerate(sorted(folders.items())):
        lines.append(f'  subgraph cluster_{number} {{ label="{folder or "engine"}/";')
        lines.extend(f'    "{node}";' for node in sorted(nodes))
        lines.append("  }")
    for source, targets in sorted(graph.items()):
        lines.extend(f'  "{source}" -> "{target}";' for target in targets if target in graph)
    lines.append("}")
    return "\n".join(lines)


def main():
    engine = os.path.join(sys.argv[1], "control", "engine")
    graph = include_graph(engine)
    if "--dot" in sys.argv[2:]:
        print(dot(graph))
        return 0
    found = problems(graph)
    for line in found:
        print(line)
    print(f"{len(graph)} files, {sum(map(len, graph.values()))} engine includes, {len(found)} problems")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
