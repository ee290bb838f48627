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
import os
import pathlib
import sys

from include_graph import SOURCE_SUFFIXES, circles, includes

FLOORS = [
    ("platform", "host"),
    ("pdm",),
    ("session",),
    ("import", "export", "completion"),
    ("trace",),
    ("entry",),
]
FLOOR_OF = {folder: level for level, folders in enumerate(FLOORS) for folder in folders}


def included_file(library, path, name, quoted):
    """The include as a path below the library, or None when it leads
    elsewhere (the standard library, the tools). A quoted name is looked for
    beside the including file first, as the compiler does; either form is
    then looked for from the library's top, which is on the include path.
    ".." is resolved, so that no spelling slips past the floors."""
    places = [path.parent, library] if quoted else [library]
    found = []
    for place in places:
        resolved = pathlib.Path(os.path.normpath(place / name))
        try:
            below = resolved.relative_to(library)
        except ValueError:
            continue
        if resolved.exists():
            return below
        if len(below.parts) > 1 and (library / below.parts[0]).is_dir():
            found.append(below)
    return found[0] if found else None


def edges(library):
    """(from folder, to folder, file) for every include between folders;
    a source at the library's top is its own folder "(top)", on no floor."""
    found = []
    for path in sorted(library.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(library)
        source = relative.parts[0] if len(relative.parts) > 1 else "(top)"
        file = path.relative_to(library.parent).as_posix()
        if source == "(top)":
            found.append((source, source, file))
        for name, quoted in includes(path):
            target = included_file(library, path, name, quoted)
            if target is None:
                continue
            folder = target.parts[0] if len(target.parts) > 1 else "(top)"
            if folder != source:
                found.append((source, folder, file))
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    library = root / "clone_exits"
    problems = []
    graph = {}
    for source, target, file in edges(library):
        if target != source:
            graph.setdefault(source, set()).add(target)
        for folder in (source, target):
            if folder not in FLOOR_OF:
                where = "the library's top" if folder == "(top)" else f"folder {folder}/"
                problems.append(f"{file}: {where} stands on no floor")
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
