#!/usr/bin/env python3
"""clonesim.exe end to end under wine, against the Windows DLL: the examples'
reports equal their expected reports, the guide's sessions report what the
Linux build reports, a host-fault sweep holds every invariant, and a folder
of traces replays each in a clonesim.exe child of its own. Reports
may differ from the Linux ones in their path separators and nothing else:
temporary folders are named <tmp> and an escaped "\\" inside a path under
one is taken as "/"; any other difference fails.

    clonesim_under_wine.py examples|guide|sweep|replay|site_programs CLONESIM_EXE DLL SOURCE_DIR [LINUX_CLONESIM]
"""
import json
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

TEMP_FOLDER = re.compile(r'[^\s"]*clonesim-[A-Za-z0-9]{6}')
# A path under a temporary folder as a report writes it, its separators
# escaped; a "\\" anywhere else is the session's own text.
TEMP_PATH = re.compile(r'<tmp>(?:\\\\[^\s"\\]+)+')

EXAMPLES = {"import_mapped": 0, "clone": 0, "export_design_log": 0, "export_tool_refused": 1, "edit": 0}
# Their site programs are shell scripts, which Windows cannot start.
NEEDS_A_SHELL = {"import_refused", "guide/item_id_check", "guide/site_program_missing"}


def normalised(report):
    return TEMP_PATH.sub(lambda path: path.group(0).replace("\\\\", "/"), TEMP_FOLDER.sub("<tmp>", report))


# What normalised() may and may not change.
NORMALISED = [
    (r'reply "C:\\users\\me\\Temp\\clonesim-Ab12Cd\\export_1.map"', 'reply "<tmp>/export_1.map"'),
    (r'reply "<tmp>\\a\\b.map"', 'reply "<tmp>/a/b.map"'),
    (r'attribute "a\\b"', r'attribute "a\\b"'),
    (r'part /in/x\\y.prt', r'part /in/x\\y.prt'),
]


def normalising_problems():
    return [f"normalised({given!r}) is {normalised(given)!r}, expected {expected!r}"
            for given, expected in NORMALISED if normalised(given) != expected]


def windows_path(path):
    return str(path).replace("/", "\\")


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True)


def differences(label, got, expected):
    if got == expected:
        return []
    got_lines, expected_lines = got.splitlines(), expected.splitlines()
    for n, (a, b) in enumerate(zip(got_lines, expected_lines), 1):
        if a != b:
            return [f"{label}: line {n} differs:\n  got      {a}\n  expected {b}"]
    return [f"{label}: {len(got_lines)} lines, expected {len(expected_lines)}"]


def check_examples(wine, dll, source):
    problems = []
    for name, status in EXAMPLES.items():
        # Scenario paths as a Windows user types them.
        result = run([*wine, "run", f"examples\\{name}.json", "--library", dll], source)
        if result.returncode != status:
            problems.append(f"{name}: exit {result.returncode}, expected {status}: {result.stderr.decode(errors='replace')}")
        if result.stderr:
            problems.append(f"{name}: standard error: {result.stderr.decode(errors='replace')}")
        expected = (source / "examples" / f"{name}.expected.txt").read_text()
        problems += differences(name, normalised(result.stdout.decode("latin-1")), expected)
    result = run([*wine, "run", "--json", "examples/import_mapped.json", "--library", dll], source)
    expected = json.loads((source / "examples" / "import_mapped.expected.json").read_text())
    try:
        if json.loads(normalised(result.stdout.decode("latin-1"))) != expected:
            problems.append("import_mapped --json: the JSON report differs from the expected one")
    except json.JSONDecodeError as e:
        problems.append(f"import_mapped --json: no JSON report: {e}")
    return problems, len(EXAMPLES) + 1


def check_guide(wine, dll, source, linux):
    problems = []
    scenarios = sorted(p.stem for p in (source / "examples" / "guide").glob("*.json"))
    played = 0
    for name in scenarios:
        if f"guide/{name}" in NEEDS_A_SHELL:
            continue
        played += 1
        windows = run([*wine, "run", windows_path(f"examples/guide/{name}.json"), "--library", dll], source)
        reference = run([linux, "run", f"examples/guide/{name}.json"], source)
        if windows.returncode != reference.returncode:
            problems.append(f"guide/{name}: exit {windows.returncode}, on Linux {reference.returncode}")
        problems += differences(f"guide/{name}", normalised(windows.stdout.decode("latin-1")),
                                normalised(reference.stdout.decode("latin-1")))
    if played < 10:
        problems.append(f"only {played} guide scenarios played")
    return problems, played


def check_sweep(wine, dll, source):
    result = run([*wine, "sweep", "examples\\clone.json", "--library", dll], source)
    text = result.stdout.decode("latin-1")
    problems = []
    if result.returncode != 0 or "result: every invariant held" not in text:
        problems.append(f"sweep of clone.json: exit {result.returncode}\n{text}{result.stderr.decode(errors='replace')}")
    faulted = re.search(r"sessions played: \d+ \((\d+) with a fault", text)
    if not faulted or int(faulted.group(1)) == 0:
        problems.append("sweep of clone.json: no session was played with a fault")
    return problems, 1


def outcomes(stdout):
    """The lines of a folder replay, by trace file name: (shown, outcome)."""
    found = {}
    for line in stdout.decode("latin-1").splitlines():
        shown, sep, outcome = line.partition(": ")
        name = re.split(r"[\\/]", shown)[-1]
        if sep and name.startswith("kxpdm-trace-"):
            found[name] = (shown, outcome)
    return found


def check_replay(wine, dll, source, linux):
    """Two recorded sessions, one cut short and one that is no trace, in a
    folder whose path holds spaces and "&" (which cmd would take as a second
    command): the children get their arguments whole and each trace has its
    line, as the Linux build gives them."""
    problems = []
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="clonesim-folder-replay-"))
    try:
        folder = scratch / "site traces & more" / "desk 1"
        folder.mkdir(parents=True)
        typed = "Z:" + windows_path(folder)
        for name in ("clone", "import_mapped"):
            result = run([*wine, "run", f"examples\\{name}.json", "--record", typed, "--library", dll], source)
            if result.returncode != 0:
                problems.append(f"recording {name}: exit {result.returncode}: {result.stderr.decode(errors='replace')}")
        recorded = sorted(folder.glob("kxpdm-trace-*.jsonl"))
        if len(recorded) != 2:
            return problems + [f"{len(recorded)} traces recorded, expected 2"], 1
        (folder / "kxpdm-trace-cut.jsonl").write_bytes(recorded[0].read_bytes()[:3000])
        (folder / "kxpdm-trace-unreadable.jsonl").write_bytes(b"not a trace\n")
        expected = {recorded[0].name: "same", recorded[1].name: "same",
                    "kxpdm-trace-cut.jsonl": "same, as far as the partial trace goes",
                    "kxpdm-trace-unreadable.jsonl": "cannot be read: "}

        windows = run([*wine, "replay", "--jobs", "2", typed, "--library", dll], source)
        on_linux = run([linux, "replay", "--jobs", "2", str(folder)], source)
        if windows.returncode != 2 or on_linux.returncode != 2:
            problems.append(f"folder replay: exit {windows.returncode}, on Linux {on_linux.returncode}, expected 2:\n"
                            f"{windows.stdout.decode('latin-1')}{windows.stderr.decode(errors='replace')}")
        lines, linux_lines = outcomes(windows.stdout), outcomes(on_linux.stdout)
        for name, outcome in expected.items():
            shown, got = lines.get(name, ("", "no line"))
            if not got.startswith(outcome) or got != linux_lines.get(name, ("", "no line"))[1]:
                problems.append(f"{name}: \"{got}\", on Linux \"{linux_lines.get(name, ('', 'no line'))[1]}\"")
            if shown and shown != f"{typed}\\{name}":
                problems.append(f"{name}: shown as {shown}")
        if len(lines) != len(expected):
            problems.append(f"folder replay: {len(lines)} lines for {len(expected)} traces")

        # The good ones alone, with a change whose value holds what the C
        # runtime's parser takes apart unless it is quoted just so.
        good = [*wine, "replay", "--jobs", "2", "--set", 'CLONESIM_PROBE=say "hi" & \\', "--library", dll]
        result = run(good + ["Z:" + windows_path(trace) for trace in recorded], source)
        if result.returncode != 0 or len(outcomes(result.stdout)) != 2:
            problems.append(f"the two good traces: exit {result.returncode}, expected 0:\n"
                            f"{result.stdout.decode('latin-1')}{result.stderr.decode(errors='replace')}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return problems, len(expected) + 1


def check_library_beside(exe, dll, source):
    """clonesim.exe copied to a desk of its own loads the DLL beside it by
    default; the desk's name is not ASCII, as a user's folder may be."""
    with tempfile.TemporaryDirectory(prefix="desk\u00e9") as desk:
        desk = pathlib.Path(desk)
        for built in pathlib.Path(exe).parent.iterdir():
            if built.suffix.lower() in (".exe", ".dll"):
                shutil.copy2(built, desk / built.name)
        copied = [str(source / "scripts" / "wine-run"), str(desk / pathlib.Path(exe).name)]
        result = run([*copied, "run", "--help"], source)
        shown = [line for line in result.stdout.decode("latin-1").splitlines() if "--library" in line]
        if not shown or desk.name.encode("cp1252").decode("latin-1") not in shown[0] or "kxpdm_clone_userexit_v30.dll" not in shown[0]:
            return [f"the default --library is not the DLL beside the copied clonesim.exe: {shown}"]
        for given in ([], ["--library", windows_path("Z:" + str(desk / pathlib.Path(dll).name))]):
            result = run([*copied, "run", "examples\\import_mapped.json", *given], source)
            if result.returncode != 0:
                return [f"the copied clonesim.exe with {given}: exit {result.returncode}: "
                        f"{result.stderr.decode(errors='replace')}"]
    return []


# Part names cmd would read as operators, and what a .cmd site program and
# the item ID check's perl.cmd must get for each: the library's quoting
# whole, as at the desk.
SITE_PROGRAM_PARTS = [
    ("/in/plain.prt", '["/in/plain.prt"]'),
    ("/in/x&echo.INJECTED-ECHO.prt", '["/in/x&echo.INJECTED-ECHO.prt"]'),
    ("/in/a^b.prt", '["/in/a^b.prt"]'),
]


def check_site_programs(wine, dll, source):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        got = folder / "got.txt"
        (folder / "site").mkdir()
        (folder / "pdm" / "bin").mkdir(parents=True)
        (folder / "pdm" / "bin" / "kxpdm_check_pfm.pl").write_text("")
        (folder / "site" / "check.cmd").write_text(f'@echo check [%*]>>"{windows_path("Z:" + str(got))}"\r\n')
        (folder / "pdm" / "bin" / "perl.cmd").write_text(
            f'@echo perl [%2]>>"{windows_path("Z:" + str(got))}"\r\n@exit /b 0\r\n')
        # The check runs for a part whose item ID the map gives.
        (folder / "site.map").write_text("DB_PART_NO = DRAWING_NO\n")
        scene = {"operation": "import",
                 "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "site\\check.cmd", "KXPDM_PFM_ITEMID_PROPERTY": "1",
                         "KXPDM_IMPORT_ATTR_MAP_FILE": "site.map", "PDM_ROOT": windows_path("Z:" + str(folder / "pdm"))},
                 "defaults": {"item_type": "Part"},
                 "parts": [{"name": name, "attributes": [["DRAWING_NO", f"M-{n}"]]}
                           for n, (name, _) in enumerate(SITE_PROGRAM_PARTS)]}
        (folder / "scene.json").write_text(json.dumps(scene))
        result = run([*wine, "run", "scene.json", "--library", dll], folder)
        text = result.stdout.decode("latin-1")
        lines = got.read_text(encoding="latin-1").splitlines() if got.exists() else []
        for name, shown in SITE_PROGRAM_PARTS:
            for program in ("check", "perl"):
                if f"{program} {shown}" not in lines:
                    problems.append(f"{name}: {program} did not get {shown}; it got {lines}")
        if "INJECTED-ECHO" in [line.strip() for line in text.splitlines()] or len(lines) != 2 * len(SITE_PROGRAM_PARTS):
            problems.append(f"a part name ran a command of its own:\n{text}")
    problems += check_missing_site_programs(wine, dll) + check_device_files(wine, dll)
    return problems, len(SITE_PROGRAM_PARTS) + len(MISSING_SITE_PROGRAMS) + len(DEVICE_FILES)


# The guide's missing site program, the Windows way: cmd cannot find the
# program (its own exit status 9009), or the script file named is not there.
MISSING_SITE_PROGRAMS = ["no_such_check_program", "site\\no_such_check.cmd"]


def run_in_own_temp(wine, dll, folder, arguments):
    """Runs clonesim.exe in `folder` with a temporary folder of its own; the
    result and what the run left there."""
    temp = folder / "temp"
    temp.mkdir(exist_ok=True)
    # wine sets TEMP and TMP of its own for a program it starts; cmd hands
    # its own on.
    line = (f"set TEMP={windows_path('Z:' + str(temp))}&& set TMP={windows_path('Z:' + str(temp))}&& "
            f"{windows_path('Z:' + wine[1])} {' '.join(arguments)} --library {dll}")
    result = run([wine[0], "cmd", "/c", line], folder)
    return result, sorted(p.name for p in temp.iterdir())


# Files a scenario names as one of Windows' devices: refused, naming the
# file, and the run leaves no folder or capture file in the temporary folder.
DEVICE_FILES = ["C:\\maps\\NUL.map", "con", "lpt1.txt.map"]


def check_device_files(wine, dll):
    problems = []
    for name in DEVICE_FILES:
        with tempfile.TemporaryDirectory() as folder:
            folder = pathlib.Path(folder)
            scene = {"operation": "import", "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": name},
                     "files": [{"path": name, "content": "DB_PART_NO=A\n"}],
                     "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]}
            (folder / "scene.json").write_text(json.dumps(scene))
            # A refusal writes nothing on standard output, which wine-run
            # takes for a start that failed and tries again; its last try
            # may then fail to start: the row is played again.
            for _ in range(3):
                result, left = run_in_own_temp(wine, dll, folder, ["run", "scene.json"])
                errors = result.stderr.decode("latin-1")
                if result.returncode == 2:
                    break
            if result.returncode != 2 or name not in errors:
                problems.append(f"{name}: exit {result.returncode}, expected 2 naming the file: {errors}")
            if left:
                problems.append(f"{name}: left in the temporary folder: {left}")
    return problems


def check_missing_site_programs(wine, dll):
    problems = []
    for program in MISSING_SITE_PROGRAMS:
        with tempfile.TemporaryDirectory() as folder:
            folder = pathlib.Path(folder)
            scene = {"operation": "import", "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": program},
                     "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]}
            (folder / "scene.json").write_text(json.dumps(scene))
            result, left = run_in_own_temp(wine, dll, folder, ["run", "--json", "scene.json"])
            if "site_program_not_run" not in result.stdout.decode("latin-1"):
                problems.append(f"{program}: no site_program_not_run finding:\n{result.stdout.decode('latin-1')}")
            if left:
                problems.append(f"{program}: left in the temporary folder: {left}")
    return problems


def main():
    what, exe, dll, source = sys.argv[1:5]
    source = pathlib.Path(source)
    wine = [str(source / "scripts" / "wine-run"), exe]
    if what == "examples":
        problems, count = check_examples(wine, dll, source)
        problems += check_library_beside(exe, dll, source)
    elif what == "guide":
        problems, count = check_guide(wine, dll, source, sys.argv[5])
    elif what == "sweep":
        problems, count = check_sweep(wine, dll, source)
    elif what == "replay":
        problems, count = check_replay(wine, dll, source, sys.argv[5])
    elif what == "site_programs":
        problems, count = check_site_programs(wine, dll, source)
    else:
        print(f"unknown check {what}", file=sys.stderr)
        return 2
    problems += normalising_problems()
    for problem in problems:
        print(problem)
    print(f"clonesim.exe {what}: {count} checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
