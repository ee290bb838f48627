#!/usr/bin/env python3
"""Each layout check fails on the breaches it is there to catch, in every
spelling that still compiles, and passes on the tree as it is. Every row
plants one breach in a fresh copy of the checked files.

    scripts/test_layout_checks.py [ROOT]
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
SCRIPTS = ROOT / "scripts"
CHECKED = ["clone_exits", "host_sim", "tools", "tests", "bench"]


def append(rel, text):
    return lambda tree: (tree / rel).open("a").write("\n" + text + "\n")


def write(rel, text):
    def plant(tree):
        (tree / rel).parent.mkdir(parents=True, exist_ok=True)
        (tree / rel).write_text(text)
    return plant


def remove(rel):
    return lambda tree: (tree / rel).unlink()


def replace(rel, old, new):
    def plant(tree):
        text = (tree / rel).read_text()
        assert old in text, f"{rel} no longer holds {old!r}: the row needs mending"
        (tree / rel).write_text(text.replace(old, new))
    return plant


ROWS = [
    ("check_floors.py", "a floor above, by a path from the top", append("clone_exits/pdm/pdm_requests.h", '#include "session/session_state.h"')),
    ("check_floors.py", "a floor above, by a path from beside", append("clone_exits/pdm/pdm_requests.h", '#include "../session/session_state.h"')),
    ("check_floors.py", "a floor above, in angle brackets", append("clone_exits/pdm/pdm_requests.h", "#include <session/session_state.h>")),
    ("check_floors.py", "a floor above, through ..", append("clone_exits/pdm/pdm_requests.h", '#include "platform/../trace/recorder.h"')),
    ("check_floors.py", "a floor above, from an .inl file", write("clone_exits/pdm/inline.inl", '#include "entry/callbacks.h"\n')),
    ("check_floors.py", "a source at the library's top", write("clone_exits/loose.cpp", "int loose;\n")),
    ("check_floors.py", "a folder on no floor", write("clone_exits/util/util.h", '#include "host/host_api.h"\n')),
    ("check_rooms.py", "a circle inside a room", lambda tree: (append("tools/clonesim/run/collect.h", '#include "run/session.h"')(tree),
                                                                  append("tools/clonesim/run/session.h", '#include "run/collect.h"')(tree))),
    ("check_rooms.py", "a later room, in angle brackets", append("tools/clonesim/texts/texts.h", "#include <report/verdict.h>")),
    ("check_rooms.py", "a process started outside the platform room", append("tools/clonesim/batch/batch.cpp", "#include <spawn.h>")),
    ("check_rooms.py", "a system header outside the platform room", append("tools/clonesim/run/session.cpp", "#include <unistd.h>")),
    ("check_rooms.py", "a test for the system outside the platform room", append("tools/clonesim/report/verdict.cpp", "#if defined(_WIN32)\n#endif")),
    ("check_names.py", "the settings header gone", remove("clone_exits/session/settings.h")),
    ("check_names.py", "the settings header reshaped", replace("clone_exits/session/settings.h", "constexpr char", "constexpr const char*")),
    ("check_names.py", "the codes header gone", remove("clone_exits/host/host_codes.h")),
    ("check_names.py", "a part state compared from the left", append("host_sim/sim_host.cpp", "static bool loaded(int part_state) { return 4 == part_state; }")),
    ("check_names.py", "a part state in a member", append("host_sim/sim_host.cpp", "static bool loaded(int part_state_) { return part_state_ == 1; }")),
    ("check_names.py", "a setting name with its value", append("host_sim/sim_host.cpp", 'static const char* dir = "KXPDM_TRACE_DIR=/tmp";')),
]


def copy_tree(target):
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "--cached", "--others", "--exclude-standard", *CHECKED],
                            capture_output=True, text=True, check=True).stdout.split("\n")
    for rel in filter(None, listed):
        source = ROOT / rel
        if source.is_file():
            (target / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / rel)


def run(script, tree):
    return subprocess.run([sys.executable, str(SCRIPTS / script), str(tree)], capture_output=True, text=True)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        pristine = pathlib.Path(scratch) / "pristine"
        copy_tree(pristine)
        for script in sorted({row[0] for row in ROWS}):
            result = run(script, pristine)
            if result.returncode != 0:
                failures.append(f"{script} fails on the tree as it is:\n{result.stdout}{result.stderr}")
        for number, (script, breach, plant) in enumerate(ROWS):
            tree = pathlib.Path(scratch) / f"row{number}"
            shutil.copytree(pristine, tree)
            plant(tree)
            result = run(script, tree)
            if result.returncode != 1 or not result.stdout.strip():
                failures.append(f"{script} missed {breach} (exit {result.returncode}):\n{result.stdout}{result.stderr}")
            shutil.rmtree(tree)
    for failure in failures:
        print(failure)
    print(f"{len(ROWS) - len(failures)} of {len(ROWS)} planted breaches caught", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
