#!/usr/bin/env python3
"""Holds clonesim to its rooms (tools/clonesim/CMakeLists.txt lists them in
the order data flows): its top folder holds main.cpp and the build file only
(and documents), every folder below is a room, a room includes only itself
and the rooms before it, no header of clonesim includes itself through
others, and only the platform room knows the operating system: no other
room includes a system's own header (those for starting and waiting for
processes among them) or asks which system it is built for. Lists every
breach; exit status 1 when there is one.

    scripts/check_rooms.py [ROOT]
"""
import pathlib
import re
import sys

from include_graph import circles, includes as included_names

CLONESIM = "tools/clonesim"
TOP_FILES = {"main.cpp", "CMakeLists.txt"}
# The one room that knows the operating system, so that another system's way
# goes in beside the POSIX one without touching its callers.
PLATFORM_ROOM = "platform"
PROCESS_HEADERS = {"spawn.h", "sys/wait.h", "windows.h", "processthreadsapi.h"}
SYSTEM_HEADERS = re.compile(r'#\s*include\s*[<"](unistd|dlfcn|windows|io|fcntl|process|direct|shellapi|signal)\.h[>"]'
                            r'|#\s*include\s*[<"]sys/')
SYSTEM_TESTS = re.compile(r"#\s*(if|ifdef|ifndef|elif)\b[^\n]*\b(_WIN32|_WIN64|__MINGW\w*|__linux__|__unix__|__APPLE__|_MSC_VER)\b")


def rooms_in_order(build_file):
    found = re.search(r"set\(KX_CLONESIM_ROOMS\s+([^)]*)\)", build_file.read_text())
    return found.group(1).split() if found else []


def includes(path, base, rooms):
    """The clonesim files a source includes, as paths below `base`."""
    names = []
    for name, _ in included_names(path):
        room = name.split("/")[0]
        if room in rooms and (base / name).is_file():
            names.append(name)
    return names


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    base = root / CLONESIM
    rooms = rooms_in_order(base / "CMakeLists.txt")
    problems = []
    if not rooms:
        problems.append(f"{CLONESIM}/CMakeLists.txt: no KX_CLONESIM_ROOMS")
    for entry in sorted(base.iterdir()):
        if entry.is_dir() and entry.name not in rooms:
            problems.append(f"{CLONESIM}/{entry.name}: a folder that is no room of KX_CLONESIM_ROOMS")
        elif entry.is_file() and entry.name not in TOP_FILES and entry.suffix != ".md":
            problems.append(f"{CLONESIM}/{entry.name}: only main.cpp and the build file belong at the top")

    graph = {}
    for rank, room in enumerate(rooms):
        for path in sorted((base / room).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            name = f"{room}/{path.name}"
            if room != PLATFORM_ROOM:
                for header, _ in included_names(path):
                    if header.lower() in PROCESS_HEADERS:
                        problems.append(f"{CLONESIM}/{name}: includes <{header}>, which only {PLATFORM_ROOM}/ may")
            graph[name] = includes(path, base, rooms)
            for included in graph[name]:
                if rooms.index(included.split("/")[0]) > rank:
                    problems.append(f"{CLONESIM}/{name}: includes {included} of a later room")
    for path in sorted(base.rglob("*")):
        rel = path.relative_to(base)
        if path.suffix not in (".h", ".cpp") or rel.parts[0] == PLATFORM_ROOM:
            continue
        text = path.read_text(errors="replace")
        if SYSTEM_HEADERS.search(text) or SYSTEM_TESTS.search(text):
            problems.append(f"{CLONESIM}/{rel}: knows the operating system; only the {PLATFORM_ROOM} room may")
    for circle in circles(graph):
        problems.append(f"{CLONESIM}: include circle " + " -> ".join(circle))

    for p in problems:
        print(p)
    print(f"{len(problems)} breaches of the rooms", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
