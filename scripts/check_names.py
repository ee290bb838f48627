#!/usr/bin/env python3
"""Lists host codes, request codes, notification points, part states and
library texts written outside the one header that names them (clone_exits/
host/host_codes.h) and the messages module (clone_exits/session/messages.*),
and the names of the library's settings spelled outside clone_exits/session/
settings.h in the library, the simulated host, clonesim and the benchmarks.

One test pins every name and text to its literal value and is the only other
place allowed to spell them. Exit status 1 when anything is listed.

    scripts/check_names.py [ROOT] [--count]
"""
import pathlib
import re
import sys

CODE_DIRS = ["clone_exits", "host_sim", "tools", "tests", "bench"]
HEADER = "clone_exits/host/host_codes.h"
MESSAGES = ("clone_exits/session/messages.h", "clone_exits/session/messages.cpp")
SETTINGS = "clone_exits/session/settings.h"
PINNING_TEST = "tests/unit/names_and_texts_test.cpp"
SKIP_DIRS = ("tests/fuzz/corpus",)


def names_in_header(text):
    """name -> value of every constant the header defines."""
    values = {}
    for name, value in re.findall(r"\b(\w+)\s*=\s*(-?\d+)\s*[,;]", text):
        values[name] = int(value)
    return values


ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\"}


def literals(text):
    found = re.findall(r'"((?:[^"\\\n]|\\.)*)"', text)
    return [re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), lit) for lit in found]


def strip_comments(line):
    return re.sub(r"//.*", "", line)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    root = pathlib.Path(args[0] if args else pathlib.Path(__file__).resolve().parent.parent)
    # A check that found nothing to hold the code to would pass in silence:
    # a missing or reshaped header fails it instead.
    header = root / HEADER
    values = names_in_header(header.read_text()) if header.exists() else {}
    points = {v for n, v in values.items() if n.startswith("point_")}
    requests = {v for n, v in values.items() if n.startswith("request_") and 18 <= v <= 36}
    # Numbers of the host's own that mean nothing else in this code.
    distinctive = {-23: "text_end_of_file", 2004: "text_format", 9901: "request_text_too_long",
                   9902: "item_identity_too_long"}
    host_names = {n for n in values if not n.startswith(("point_", "class_"))}

    texts = set()
    for m in MESSAGES:
        path = root / m
        if path.exists():
            for lit in literals(path.read_text()):
                core = lit.strip(" \n")
                if len(core) >= 10 and " " in core:
                    texts.add(core)

    settings_file = root / SETTINGS
    setting_names = set(re.findall(r'constexpr char \w+\[\] = "([^"]+)"', settings_file.read_text())) \
        if settings_file.exists() else set()

    findings = []
    for what, found, where in (("no host code", values, HEADER), ("no text", texts, MESSAGES[1]),
                               ("no setting name", setting_names, SETTINGS)):
        if not found:
            findings.append(f"{where}: {what} read from it, so nothing could be checked against it")

    def flag(rel, number, line, why):
        findings.append(f"{rel}:{number}: {why}: {line.strip()[:120]}")

    point_words = re.compile(r"\bpoints?\s+(-?\d+)((?:\s*(?:,|and|or)\s*\d+)*)", re.I)
    request_words = re.compile(r"\brequests?\s+(\d+)((?:\s*(?:,|and|or)\s*\d+)*)", re.I)
    bare_point_call = re.compile(
        r"\b(?:clone_session_hook|load_naming_hook|handle_perform_notification|check_export_admission|notify|send|"
        r"register_ntfy_callback|remove_ntfy_callback|HOST_CLONE_register_ntfy_callback|"
        r"HOST_CLONE_remove_ntfy_callback)\(\s*(\d+)\s*,")
    bare_request_call = re.compile(r"\b(?:HOST_PDM_invoke_pdm_server|send_pdm_request)\(\s*(\d+)\s*,")
    compare = re.compile(r"\b(point|code|request_code|request)\s*[!=]=\s*(\d+)\b")
    case_label = re.compile(r"\bcase\s+(\d+)\s*:")
    point_list = re.compile(r"\bpoint\s*:\s*\{([\d,\s]+)\}")
    # A callback's registration written as {point, callback, ...}.
    point_in_braces = re.compile(
        r"\{\s*(\d+)\s*,\s*(?:kx::)?(?:clone_session_hook|load_naming_hook|handle_perform_notification|"
        r"check_export_admission)\b")
    part_state = re.compile(r"(?:\.state|\bpart_state\w*)\s*(?:=|==|!=)\s*([14])\b"
                            r"|\b[14]\s*[!=]=\s*(?:[\w.>-]*\.|[\w.>-]*->)?(?:state|part_state\w*)\b")
    redefinition = re.compile(r"\bconstexpr\s+(?:int|unsigned)\s+(\w+)\s*=\s*(-?\d+)")

    for top in CODE_DIRS:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".hpp") or not path.is_file():
                continue
            rel = path.relative_to(root).as_posix()
            if rel in (HEADER, PINNING_TEST, "clone_exits/host/host_api.h") or rel.startswith(SKIP_DIRS):
                continue
            in_messages = rel in MESSAGES
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                code = strip_comments(line)
                for m in point_words.finditer(line):
                    nums = [int(m.group(1))] + [int(x) for x in re.findall(r"\d+", m.group(2))]
                    if any(n in points for n in nums):
                        flag(rel, number, line, "notification point by number")
                for m in request_words.finditer(line):
                    nums = [int(m.group(1))] + [int(x) for x in re.findall(r"\d+", m.group(2))]
                    if any(n in requests for n in nums):
                        flag(rel, number, line, "request code by number")
                m = point_in_braces.search(code)
                if m and int(m.group(1)) in points:
                    flag(rel, number, line, "notification point by number")
                if part_state.search(code):
                    flag(rel, number, line, "part state by number")
                if not rel.startswith("tests/") and rel != SETTINGS and any(lit.split("=")[0] in setting_names for lit in literals(code)):
                    flag(rel, number, line, "setting name spelled outside the settings header")
                if bare_point_call.search(code):
                    flag(rel, number, line, "notification point by number")
                if bare_request_call.search(code):
                    flag(rel, number, line, "request code by number")
                for m in compare.finditer(code):
                    n = int(m.group(2))
                    if (m.group(1) == "point" and n in points) or (m.group(1) != "point" and n in requests):
                        flag(rel, number, line, "code compared by number")
                for m in case_label.finditer(code):
                    if int(m.group(1)) in requests or int(m.group(1)) in points - {0, 1, 2, 3}:
                        flag(rel, number, line, "case label by number")
                if point_list.search(code) and any(int(x) in points for x in re.findall(r"\d+", point_list.search(code).group(1))):
                    flag(rel, number, line, "notification points by number")
                for m in redefinition.finditer(code):
                    if m.group(1) in host_names or int(m.group(2)) in distinctive:
                        flag(rel, number, line, "host constant defined again")
                for value, name in distinctive.items():
                    if re.search(r"(?<![\w.])" + re.escape(str(value)) + r"(?![\w.])", code) and not redefinition.search(code):
                        flag(rel, number, line, f"{name} by number")
                if in_messages:
                    continue
                for lit in literals(code):
                    for t in texts:
                        if t in lit:
                            flag(rel, number, line, "library text typed again")
                            break
                if rel.startswith("clone_exits/") and re.search(
                        r'\b(?:show_error\([^,]*,\s*"[^"]|print\(\s*"|write_listing_window\(\s*"|listing_message\(\s*")',
                        code):
                    flag(rel, number, line, "library text outside the messages module")

    if "--count" in sys.argv:
        print(len(findings))
    else:
        for f in findings:
            print(f)
        print(f"{len(findings)} places", file=sys.stderr)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
