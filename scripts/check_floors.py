#!/usr/bin/env python3
"""Lists includes that break the library's floors.

The library's folders stand on floors; a folder may include from its own
floor and the floors below, never from a floor above, and no two folders
may include each other, directly or round a circle. The floors, lowest
first, are written down here and nowhere else:

    platform, host    the roads to the operating system and to the host
    pdm               the PDM requests and the text utilities of their replies
    session           the session's state, its framing and the messages
    import, export, completion
                      the site's rules
    trace             the session recorder
    entry             the entry points that drive the session and the recorder

Run: check_floors.py CHECKOUT. Prints one line per finding; exit status 1
when there is any.
"""
import pathlib
import sys

from include_graph import circles, quoted_includes

FLOORS = [
    ("platform", "host"),
    ("pdm",),
    ("session",),
    ("import", "export", "completion"),
    ("trace",),
    ("entry",),
]
FLOOR_OF = {folder: level for level, folders in enumerate(FLOORS) for folder in folders}


def edges(library):
    """(from folder, to folder, file) for every include between folders."""
    found = []
    for path in sorted(library.rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.parent == library:
            continue
        source = path.relative_to(library).parts[0]
        for name in quoted_includes(path):
            target = name.split("/")[0] if "/" in name else source
            if target != source:
                found.append((source, target, path.relative_to(library.parent).as_posix()))
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    library = root / "clone_exits"
    problems = []
    graph = {}
    for source, target, file in edges(library):
        graph.setdefault(source, set()).add(target)
        for folder in (source, target):
            if folder not in FLOOR_OF:
                problems.append(f"{file}: folder {folder}/ stands on no floor")
        if source in FLOOR_OF and target in FLOOR_OF and FLOOR_OF[source] < FLOOR_OF[target]:
            problems.append(f"{file}: {source}/ includes {target}/, a floor above it")
    for circle in circles(graph):
        problems.append("circle: " + " -> ".join(f"{folder}/" for folder in circle))
    for problem in sorted(set(problems)):
        print(problem)
    if not problems:
        print(f"floors: {len(graph)} folders, no include from a floor above and no circle")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
