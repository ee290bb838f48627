#!/usr/bin/env python3
"""clonesim.exe end to end under wine, against the Windows DLL: the examples'
reports equal their expected reports, the guide's sessions report what the
Linux build reports, a host-fault sweep holds every invariant, and a folder
of traces replays each in a clonesim.exe child of its own; scenario texts
reach the DLL in the ANSI code page and come back in UTF-8. Reports
may differ from the Linux ones in their path separators and nothing else:
temporary folders are named <tmp> and an escaped "\\" inside a path under
one is taken as "/"; any other difference fails.

    clonesim_under_wine.py examples|guide|sweep|replay|site_programs|code_page CLONESIM_EXE DLL SOURCE_DIR [LINUX_CLONESIM]
"""
import json
import pathlib
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile

TEMP_FOLDER = re.compile(r'[^\s"]*clonesim-[A-Za-z0-9]{6}')
# A path under a temporary folder as a report writes it, its separators
# escaped; a "\\" anywhere else is the session's own text.
TEMP_PATH = re.compile(r'<tmp>(?:\\\\[^\s"\\]+)+')

EXAMPLES = {"import_mapped": 0, "clone": 0, "export_design_log": 0, "export_tool_refused": 1, "edit": 0}
# Scenarios whose site program is named in the scenario and shown in the
# report: their Windows forms (NAME.windows.json, naming the .cmd beside the
# sh script) have expected reports of their own, and must come to what the
# sh form comes to on Linux. The item ID check needs none: the library names
# "$PDM_ROOT/bin/perl", and each system starts its own form of it.
WINDOWS_FORMS = {"import_refused": 1, "guide/site_program_missing": 1}


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


def rule_of(report):
    """What a session came to, without the texts that name the site program:
    the verdict, the findings' kinds, the parts, the server's requests and
    database."""
    return {"exit": report["exit_status"], "verdict": report["verdict"]["text"],
            "findings": [(f["severity"], f["kind"], f["part"]) for f in report["findings"]],
            "parts": report["parts"], "requests": report["requests"], "database": report["pdm_database"]}


def check_windows_forms(wine, dll, source, linux, folder):
    problems = []
    for name, status in WINDOWS_FORMS.items():
        if pathlib.PurePosixPath(name).parent != pathlib.PurePosixPath(folder):
            continue
        form = f"examples/{name}.windows.json"
        result = run([*wine, "run", windows_path(form), "--library", dll], source)
        if result.returncode != status:
            problems.append(f"{name}.windows: exit {result.returncode}, expected {status}: "
                            f"{result.stderr.decode(errors='replace')}")
        expected = (source / "examples" / f"{name}.windows.expected.txt").read_text()
        problems += differences(f"{name}.windows", normalised(result.stdout.decode("latin-1")), expected)
        # The same rule as the sh form rehearses on Linux.
        windows = run([*wine, "run", "--json", windows_path(form), "--library", dll], source)
        on_linux = run([linux, "run", "--json", f"examples/{name}.json"], source)
        try:
            got, wanted = rule_of(json.loads(windows.stdout)), rule_of(json.loads(on_linux.stdout))
        except (json.JSONDecodeError, KeyError) as e:
            problems.append(f"{name}.windows: no JSON report to compare: {e}")
            continue
        for key in wanted:
            if got[key] != wanted[key]:
                problems.append(f"{name}.windows: {key} differs from the sh form's on Linux:\n"
                                f"  got      {got[key]}\n  expected {wanted[key]}")
    return problems


def check_examples(wine, dll, source, linux):
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
    problems += check_windows_forms(wine, dll, source, linux, ".")
    result = run([*wine, "run", "--json", "examples/import_mapped.json", "--library", dll], source)
    expected = json.loads((source / "examples" / "import_mapped.expected.json").read_text())
    try:
        if json.loads(normalised(result.stdout.decode("latin-1"))) != expected:
            problems.append("import_mapped --json: the JSON report differs from the expected one")
    except json.JSONDecodeError as e:
        problems.append(f"import_mapped --json: no JSON report: {e}")
    return problems, len(EXAMPLES) + 2


def check_guide(wine, dll, source, linux):
    problems = []
    # A scenario with a Windows form is played in that form, against its
    # own expected report (check_windows_forms).
    scenarios = sorted(p.stem for p in (source / "examples" / "guide").glob("*.json") if "." not in p.stem)
    played = 0
    problems += check_windows_forms(wine, dll, source, linux, "guide")
    for name in scenarios:
        played += 1
        if f"guide/{name}" in WINDOWS_FORMS:
            continue
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


def check_site_programs(wine, dll, source, linux):
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
    problems += check_hostile_names(wine, dll, source, linux)
    return problems, (len(SITE_PROGRAM_PARTS) + len(MISSING_SITE_PROGRAMS) + len(DEVICE_FILES)
                      + 2 * len(HOSTILE_NAMES))


# Part names the site's own programs must come to the same end with in both
# forms, the sh one on Linux and the .cmd one here: cmd's operators, its
# escapes and separators, a trailing dot or space (which Windows' file names
# drop), and a letter outside ASCII. "%1.prt" is left out: wine's own cmd
# crashes on it, whoever quotes it.
HOSTILE_NAMES = ["good.prt", "a & echo INJECTED.prt", "x >out.prt", "a|b.prt", "a<b.prt", "a^b.prt",
                 "a%b.prt", "a(b).prt", "a!b!.prt", "a'b.prt", ";x.prt", "a=b,c.prt", "two words.prt",
                 "good.prt.", "good.prt ", "good.txt", "\u00e9t\u00e9.prt"]


def site_lines(report):
    """What a session came to by the site's programs: the exit status, the
    verdict, the parts' fates and item IDs, and the site programs' own lines
    (not the library's, which name the program)."""
    return (report["exit_status"], report["verdict"]["text"].replace("sh site/check_part_file.sh", "<check>")
            .replace("site\\check_part_file.cmd", "<check>"),
            [(p["name"], p["fate"], p.get("item_id")) for p in report["parts"]],
            [line for line in report["standard_output"] if not line.startswith(("sh ", "site"))])


def play_both(wine, dll, linux, folder, scene, windows_env):
    """The scene in its sh form by the Linux build and in its .cmd form by
    clonesim.exe, each in a fresh folder: the two reports and the files
    either run left behind."""
    reports = []
    for system, env in (("linux", scene["env"]), ("windows", windows_env)):
        desk = folder / system
        shutil.rmtree(desk, ignore_errors=True)
        shutil.copytree(folder / "site", desk / "site")
        (desk / "scene.json").write_text(json.dumps({**scene, "env": env}, ensure_ascii=False), encoding="utf-8")
        before = sorted(p.name for p in desk.rglob("*"))
        command = [linux, "run", "--json", "scene.json"] if system == "linux" else \
            [*wine, "run", "--json", "scene.json", "--library", dll]
        result = run(command, desk)
        try:
            reports.append(json.loads(result.stdout))
        except json.JSONDecodeError:
            reports.append({"exit_status": result.returncode, "error": result.stderr.decode(errors="replace")})
        left = sorted(p.name for p in desk.rglob("*"))
        reports[-1]["new files"] = [name for name in left if name not in before]
    return reports


def check_hostile_names(wine, dll, source, linux):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        shutil.copytree(source / "examples" / "site", folder / "site")
        shutil.copytree(source / "examples" / "guide" / "pdm", folder / "site" / "pdm")
        (folder / "site" / "site.map").write_text("DB_PART_NO = DRAWING_NO\n")

        def compare(label, scene, windows_env):
            on_linux, windows = play_both(wine, dll, linux, folder, scene, windows_env)
            try:
                got, wanted = site_lines(windows), site_lines(on_linux)
                # cmd's echo writes in the console's OEM code page (437 under
                # wine), which the host shows as ANSI: "\u00e9" comes out as
                # the 1252 letter of its 437 byte. That, and nothing else.
                wanted = (*wanted[:3], [line.encode("cp437").decode("cp1252") for line in wanted[3]])
                # wine's cmd loses an argument holding "%" when it expands
                # it (%~nx1 comes out empty): the refusal's line names no part.
                if "%" in label:
                    wanted = (*wanted[:3], [line.replace("a%b.prt", "") for line in wanted[3]])
            except KeyError:
                return [f"{label}: no report: on Linux exit {on_linux['exit_status']} {on_linux.get('error', '')}, "
                        f"clonesim.exe exit {windows['exit_status']} {windows.get('error', '')}"]
            found = [] if got == wanted else [f"{label}: differs from the sh form on Linux:\n"
                                              f"  got      {got}\n  expected {wanted}"]
            new = windows["new files"] + on_linux["new files"]
            return found + ([f"{label}: left new files {new}"] if new else [])

        # The naming rule: a refused part ends the session, so one each.
        for name in HOSTILE_NAMES:
            scene = {"operation": "import", "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "sh site/check_part_file.sh"},
                     "defaults": {"item_type": "Part"}, "parts": [{"name": f"/in/{name}"}]}
            problems += compare(f"naming rule, {name!r}", scene,
                                {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "site\\check_part_file.cmd"})
        # The item ID check through the stand-in perl: only "approved" parts
        # get the mapped item ID; all in one session.
        env = {"KXPDM_PFM_ITEMID_PROPERTY": "1", "KXPDM_IMPORT_ATTR_MAP_FILE": "site/site.map"}
        parts = [{"name": f"/in/{prefix}{name}", "attributes": [["DRAWING_NO", f"M-{n}{prefix[:1]}"]]}
                 for n, name in enumerate(HOSTILE_NAMES) for prefix in ("approved", "x")]
        scene = {"operation": "import", "env": {**env, "PDM_ROOT": str(folder / "linux" / "site" / "pdm")},
                 "defaults": {"item_type": "Part"}, "parts": parts}
        problems += compare("item ID check", scene,
                            {**env, "PDM_ROOT": windows_path("Z:" + str(folder / "windows" / "site" / "pdm"))})
    return problems


# The guide's missing site program, the Windows way: cmd cannot find the
# program (its own exit status 9009), or the script file named is not there.
MISSING_SITE_PROGRAMS = ["no_such_check_program", "site\\no_such_check.cmd"]


def run_in_own_temp(wine, dll, folder, arguments, temp_name="temp"):
    """Runs clonesim.exe in `folder` with a temporary folder of its own; the
    result and what the run left there."""
    temp = folder / temp_name
    temp.mkdir(parents=True, exist_ok=True)
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


# A part of a German desk: its name, its map file's name and its PDM name
# hold letters the ANSI code page (1252 under wine) has and UTF-8 writes in
# two bytes each.
DESK_SCENE = {
    "description": "Import of M\u00fcller's housing", "operation": "import",
    "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "M\u00fcller.map", "KXPDM_PFM_ITEMID_PROPERTY": "1"},
    "files": [{"path": "M\u00fcller.map", "content": "DB_PART_NO = ZEICHNUNG\nDB_PART_NAME = BENENNUNG\n"}],
    "defaults": {"item_type": "Part"},
    "parts": [{"name": "/in/M\u00fcller.prt",
               "attributes": [["ZEICHNUNG", "M-1"], ["BENENNUNG", "Geh\u00e4use M\u00fcller"]]}]}
# What the report must show of it, in UTF-8.
DESK_SHOWN = ["  /in/M\u00fcller.prt",
              "  PDM_ROOT is not set: item ID check not run for file [/in/M\u00fcller.prt]",
              '  named 000001/A: "Geh\u00e4use M\u00fcller", "000001"']
# Texts 1252 has no place for, where they stand in the scenario, and what
# the refusal must say: the text (its first 60 characters at most) and the
# character it has no place for, a combining mark too.
NOT_IN_THE_CODE_PAGE = [
    ("parts[0].name", ["parts", 0, "name"], "/in/\u03a9.prt", ["/in/\u03a9.prt", "U+03A9"]),
    ("parts[0].attributes[0][1]", ["parts", 0, "attributes", 0, 1], "\u56f3\u9762-1", ["\u56f3\u9762-1", "U+56F3"]),
    ("parts[0].name", ["parts", 0, "name"], "/in/Jose\u0301.prt", ["U+0301"]),
    ("files[0].content", ["files", 0, "content"], "DB_PART_NO = ZEICHNUNG\n" * 20 + "\u03a9",
     ["DB_PART_NO = ZEICHNUNG", "U+03A9"]),
]


def report_json(result, label, problems):
    try:
        return json.loads(result.stdout)
    except json.JSONDecodeError:
        problems.append(f"{label}: exit {result.returncode}, no JSON report: {result.stderr.decode(errors='replace')}")
        return None


def check_code_page(wine, dll, source, linux):
    """Scenario texts reach the DLL in the ANSI code page and come back in
    UTF-8; a text the code page cannot hold is refused before the session."""
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "traces").mkdir()
        (folder / "scene.json").write_text(json.dumps(DESK_SCENE), encoding="utf-8")
        result = run([*wine, "run", "scene.json", "--record", "traces", "--db", "items.db", "--library", dll],
                     folder)
        report = result.stdout.decode("utf-8", errors="replace")
        if result.returncode != 0:
            problems.append(f"M\u00fcller: exit {result.returncode}: {result.stderr.decode(errors='replace')}")
        for line in DESK_SHOWN:
            if line not in report.splitlines():
                problems.append(f"M\u00fcller: the report has no line {line!r}:\n{report}")
        reference = run([linux, "run", "scene.json"], folder)
        problems += differences("M\u00fcller", normalised(report.split("trace: ")[0]),
                                normalised(reference.stdout.decode("utf-8", errors="replace")))
        # What the DLL gave the server and the trace: the ANSI bytes.
        with sqlite3.connect(folder / "items.db") as db:
            names = [row[0] for row in db.execute("SELECT CAST(name AS BLOB) FROM items")]
        if "Geh\u00e4use M\u00fcller".encode("cp1252") not in names:
            problems.append(f"M\u00fcller: the server's names are {names}, not the name in the ANSI code page")
        traces = sorted((folder / "traces").glob("kxpdm-trace-*.jsonl"))
        if len(traces) != 1:
            return problems + [f"M\u00fcller: {len(traces)} traces recorded"], 1
        if '{"bytes":"/in/M\u00fcller.prt"}' not in traces[0].read_text(encoding="utf-8").replace(" ", ""):
            problems.append("M\u00fcller: the trace does not hold the part name as the ANSI bytes the DLL got")

        # Replayed, and played again from the scenario the trace gives, it
        # comes to the same.
        trace = "traces\\" + traces[0].name
        replayed = run([*wine, "replay", trace, "--library", dll], folder)
        if replayed.returncode != 0 or b"same outcome as recorded" not in replayed.stdout:
            problems.append(f"M\u00fcller: replay: exit {replayed.returncode}:\n"
                            f"{replayed.stdout.decode('latin-1')}{replayed.stderr.decode(errors='replace')}")
        # A change that makes a difference: the part's name in the replay's
        # lines as run shows it, in UTF-8, in the text and the JSON reports.
        changed = [*wine, "replay", trace, "--set", "KXPDM_IMPORT_ATTR_MAP_FILE=none.map", "--library", dll]
        for form in ([], ["--json"]):
            shown = run(changed + form, folder).stdout.decode("utf-8", errors="replace")
            if "/in/M\u00fcller.prt" not in shown or "\\xfc" in shown or "\U0010fffc" in shown.lower():
                problems.append(f"M\u00fcller: replay {form} with a change does not show the name in UTF-8:\n{shown}")
        on_linux = run([linux, "replay", str(traces[0])], folder)
        if on_linux.returncode != 0 or b"same outcome as recorded" not in on_linux.stdout:
            problems.append(f"M\u00fcller: replayed by the Linux build: exit {on_linux.returncode}:\n"
                            f"{on_linux.stdout.decode('latin-1')}{on_linux.stderr.decode(errors='replace')}")
        written = run([*wine, "scenario", "--from-trace", trace, "-o", "again.json"], folder)
        again = run([*wine, "run", "--json", "again.json", "--library", dll], folder)
        first = run([*wine, "run", "--json", "scene.json", "--library", dll], folder)
        got, wanted = report_json(again, "again.json", problems), report_json(first, "scene.json", problems)
        if written.returncode != 0:
            problems.append(f"M\u00fcller: scenario --from-trace: exit {written.returncode}")
        elif got and wanted:
            for key in ("parts", "requests", "pdm_database", "standard_output", "exit_status"):
                if got[key] != wanted[key]:
                    problems.append(f"M\u00fcller: the scenario from the trace gives other {key}:\n"
                                    f"  got      {got[key]}\n  expected {wanted[key]}")

        for where, path, text, shown in NOT_IN_THE_CODE_PAGE:
            scene = json.loads(json.dumps(DESK_SCENE))
            holder = scene
            for step in path[:-1]:
                holder = holder[step]
            holder[path[-1]] = text
            (folder / "refused.json").write_text(json.dumps(scene, ensure_ascii=False), encoding="utf-8")
            # Refused before anything runs: nothing on standard output, which
            # wine-run takes for a start that failed and may try again.
            result = run([*wine, "run", "refused.json", "--library", dll], folder)
            errors = result.stderr.decode("utf-8", errors="replace")
            if (result.returncode != 2 or f"{where}: " not in errors or result.stdout
                    or any(part not in errors for part in shown) or (len(text) > 60 and text[:61].replace("\n", "\\n") in errors)):
                problems.append(f"{text[:80]!r}: exit {result.returncode}, expected 2 naming {where} "
                                f"and {shown}: {errors}")

        # The scenario's folder, put in its texts, in a folder 1252 has no
        # place for: refused, not given to the library as "O".
        omega = folder / "\u03a9"
        omega.mkdir()
        scene = json.loads(json.dumps(DESK_SCENE))
        scene["env"]["KXPDM_IMPORT_ATTR_MAP_FILE"] = "${SCENARIO_DIR}/M\u00fcller.map"
        (omega / "scene.json").write_text(json.dumps(scene), encoding="utf-8")
        result = run([*wine, "run", "scene.json", "--library", dll], omega)
        errors = result.stderr.decode("utf-8", errors="replace")
        if result.returncode != 2 or "${SCENARIO_DIR}" not in errors or "U+03A9" not in errors:
            problems.append(f"a scenario in the folder \u03a9: exit {result.returncode}, expected 2 naming it: {errors}")
    problems += check_user_temp(wine, dll, source) + check_map_texts(wine, dll)
    return problems, len(DESK_SHOWN) + 5 + len(NOT_IN_THE_CODE_PAGE) + len(USER_TEMP) + 3


def check_map_texts(wine, dll):
    """A mapping file's texts are the host's: shown in UTF-8, and one saved in
    UTF-8 (which the host reads as 1252) said so rather than silently not
    matched."""
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "ansi.map").write_bytes("DB_PART_NO = ZEICHNUNG\nDB_PART_REV = \u00c4NDERUNG\n".encode("cp1252"))
        result = run([*wine, "check-map", "ansi.map"], folder)
        shown = result.stdout.decode("utf-8", errors="replace")
        if "\u00c4NDERUNG" not in shown or "\\x" in shown:
            problems.append(f"check-map of a 1252 map: not shown in UTF-8:\n{shown}")
        (folder / "utf8.map").write_text("DB_PART_NO = ZEICHNUNG\nDB_PART_NAME = BENENNUNG_\u00c4\n", encoding="utf-8")
        scene = json.loads(json.dumps(DESK_SCENE))
        scene["env"]["KXPDM_IMPORT_ATTR_MAP_FILE"] = "utf8.map"
        del scene["files"]
        (folder / "scene.json").write_text(json.dumps(scene), encoding="utf-8")
        report = report_json(run([*wine, "run", "--json", "scene.json", "--library", dll], folder), "utf8.map", problems)
        said = [f["text"] for f in (report or {}).get("findings", []) if f["kind"] == "mapping_file_encoding"]
        if said != ["mapping file utf8.map is saved as UTF-8; the host reads it in Windows-1252"]:
            problems.append(f"a map saved in UTF-8: findings {(report or {}).get('findings')}")

        # A name longer than the server keeps, counted in the bytes the DLL
        # gave it, one per letter in 1252.
        scene = json.loads(json.dumps(DESK_SCENE))
        scene["parts"][0]["attributes"][1][1] = "\u00fc" * 40
        (folder / "long.json").write_text(json.dumps(scene), encoding="utf-8")
        report = report_json(run([*wine, "run", "--json", "long.json", "--library", dll], folder), "long", problems)
        said = [f["text"][:41] for f in (report or {}).get("findings", []) if f["kind"] == "stored_cut"]
        if said != ["PDM name stored cut at 32 of its 40 bytes"]:
            problems.append(f"a long name: stored_cut findings {said}")
    return problems


# A user's temporary folder under a name outside ASCII: one the code page
# holds serves the server's mapping files as any other; one it cannot hold
# is refused before the session, naming the folder.
USER_TEMP = [("Jos\u00e9", 0), ("\u03a9mega", 2)]


def check_user_temp(wine, dll, source):
    problems = []
    example = windows_path("Z:" + str(source / "examples" / "export_design_log.json"))
    for user, status in USER_TEMP:
        with tempfile.TemporaryDirectory() as folder:
            result, _ = run_in_own_temp(wine, dll, pathlib.Path(folder), ["run", example],
                                        temp_name=f"{user}/Temp")
            text = result.stdout.decode("utf-8", errors="replace") + result.stderr.decode("utf-8", errors="replace")
            if result.returncode != status or "Error Opening Mapping File" in text:
                problems.append(f"TEMP under {user}: exit {result.returncode}, expected {status}:\n{text}")
            # The mapping file's path, shown in UTF-8 once, not twice over.
            if status == 0 and (user not in text or user.encode("utf-8").decode("latin-1") in text):
                problems.append(f"TEMP under {user}: the mapping file's path is not shown as it is:\n{text}")
            if status == 2 and user not in text:
                problems.append(f"TEMP under {user}: the refusal does not name the folder:\n{text}")
    return problems


def main():
    what, exe, dll, source = sys.argv[1:5]
    source = pathlib.Path(source)
    wine = [str(source / "scripts" / "wine-run"), exe]
    if what == "examples":
        problems, count = check_examples(wine, dll, source, sys.argv[5])
        problems += check_library_beside(exe, dll, source)
    elif what == "guide":
        problems, count = check_guide(wine, dll, source, sys.argv[5])
    elif what == "sweep":
        problems, count = check_sweep(wine, dll, source)
    elif what == "replay":
        problems, count = check_replay(wine, dll, source, sys.argv[5])
    elif what == "code_page":
        problems, count = check_code_page(wine, dll, source, sys.argv[5])
    elif what == "site_programs":
        problems, count = check_site_programs(wine, dll, source, sys.argv[5])
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
