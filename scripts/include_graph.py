"""The one reader of quoted includes and the one circle finder that the
layout checks (check_floors.py for the library, check_rooms.py for clonesim)
share, so that both read an include and a circle the same way."""
import re

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def quoted_includes(path):
    """The names a source includes with quotes, in the order written."""
    return INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace"))


def circles(graph):
    """Circles of a graph {node: [node, ...]}, each as the list of nodes
    around it with its first node again at the end. A depth-first walk
    reports the circle closed by each edge back into the open path, so every
    graph with a circle yields at least one, in time linear in its edges."""
    found, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                found.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found
