"""The one reader of quoted includes and the one circle finder that the
layout checks (check_floors.py for the library, check_rooms.py for clonesim)
share, so that both read an include and a circle the same way."""
import re

INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)', re.MULTILINE)

# Every suffix a C or C++ source or header of ours may carry.
SOURCE_SUFFIXES = {".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp", ".c", ".cc", ".cpp", ".cxx"}


def includes(path):
    """(name, quoted) for each include of a source, in the order written:
    both forms, since a folder on the include path is reached by either."""
    text = path.read_text(encoding="utf-8", errors="replace")
    return [(quoted or angled, bool(quoted)) for quoted, angled in INCLUDE.findall(text)]


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
