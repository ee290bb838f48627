#!/usr/bin/env python3
"""The release bundles as an administrator gets them: each holds exactly the
files it should, SHA256SUMS agrees with every one of them, the DLL's version
resource, clonesim's --version and the "library" field of a trace the
bundled library records all show the build's version, VERSION.txt and the
README name the commit packed, and each bundle, unpacked into a fresh folder
outside the build tree, runs its own README's lines as written (the Windows
one through wine's cmd, the Linux one through sh; the lines CI cannot run
are listed as skipped). The Linux programs need nothing from the build or
source tree, and without its site-program the bundle cannot rehearse the
example that runs one; under wine every example gives its expected report.
The docs name no file of the project the bundle lacks, but in the folders a
doc marks as the source tree's. A second packing (--again) must give the
same bytes, and package.sh refuses a tree with uncommitted changes.

    check_bundles.py --source DIR --dist DIR [--again DIR]

WINEPREFIX and the rest of wine's environment come from the caller
(scripts/test.sh's Windows stage).
"""
import argparse
import hashlib
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "windows"))
from clonesim_under_wine import EXAMPLES, WINDOWS_FORMS, normalised  # noqa: E402

PROGRAMS = {
    "windows": ["kxpdm_clone_userexit_v30.dll", "clonesim.exe", "site-program.exe", "clonesim-answer.exe",
                "clonesim-forward.exe"],
    "linux": ["libkxpdm_clone_userexit_v30.so", "clonesim", "libhost_sim.so", "del", "site-program"],
}
# What a Windows machine with only the host on it has.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll", "psapi.dll",
               "shell32.dll", "ws2_32.dll"}
RT_VERSION = 16


# --- the version resource of a PE file -------------------------------------

def version_resource(data):
    """(file version, product version, {string: value}) of a PE file's
    VS_VERSIONINFO; the versions as 4-tuples from VS_FIXEDFILEINFO."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    if not resource_rva:
        raise ValueError("no resource directory")
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    base = offset(resource_rva)

    def first_entry(directory, wanted=None):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            if wanted is None or (not name & 0x80000000 and name == wanted):
                return target
        raise ValueError(f"no resource of type {wanted}")

    level = first_entry(0, RT_VERSION)
    for _ in range(2):  # name, then language
        level = first_entry(level & 0x7FFFFFFF)
    data_rva, size = struct.unpack_from("<II", data, base + level)
    return read_version_info(data[offset(data_rva):offset(data_rva) + size])


def align(n):
    return (n + 3) & ~3


def version_nodes(block, start, end):
    """(key, value bytes, children start, node end, is text) of each node in
    block[start:end]."""
    while start < end:
        length, value_length, kind = struct.unpack_from("<HHH", block, start)
        if length == 0:
            return
        key_end = start + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[start + 6:key_end].decode("utf-16-le")
        value_start = align(key_end + 2)
        value_size = value_length * 2 if kind == 1 else value_length
        yield key, block[value_start:value_start + value_size], align(value_start + value_size), start + length, kind == 1
        start = align(start + length)


def read_version_info(block):
    (key, fixed, children, end, _), = list(version_nodes(block, 0, len(block)))[:1]
    if key != "VS_VERSION_INFO":
        raise ValueError(f"version resource named {key!r}")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    strings = {}
    for key, _, table_start, table_end, _ in version_nodes(block, children, end):
        if key != "StringFileInfo":
            continue
        for _, _, string_start, string_end, _ in version_nodes(block, table_start, table_end):
            for name, value, _, _, _ in version_nodes(block, string_start, string_end):
                strings[name] = value.decode("utf-16-le").rstrip("\0")
    quad = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return quad(file_ms, file_ls), quad(product_ms, product_ls), strings


# --- the bundles -------------------------------------------------------------

def build_version(build):
    cache = (build / "CMakeCache.txt").read_text()
    found = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.+)$", cache, re.M)
    if not found:
        raise SystemExit(f"{build}: no CMAKE_PROJECT_VERSION in CMakeCache.txt")
    return found.group(1)


def unpack(archive, into):
    if archive.suffix == ".zip":
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                z.extract(info, into)
                mode = info.external_attr >> 16
                if mode:
                    os.chmod(into / info.filename, mode & 0o777)
    else:
        with tarfile.open(archive) as t:
            try:
                t.extractall(into, filter="data")
            except TypeError:  # a Python without extraction filters
                t.extractall(into)


def expected_files(source, kind):
    listed = subprocess.run(["git", "ls-files", "docs", "examples"], cwd=source, capture_output=True,
                            text=True, check=True).stdout.split()
    return set(PROGRAMS[kind]) | {"README.txt", "VERSION.txt", "SHA256SUMS"} | set(listed)


def files_in(folder):
    return {p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file()}


def sums_problems(folder):
    problems, listed = [], {}
    for n, line in enumerate((folder / "SHA256SUMS").read_text().splitlines(), 1):
        found = re.fullmatch(r"([0-9a-f]{64})  (.+)", line)
        if not found:
            problems.append(f"SHA256SUMS line {n} is not '<sha256>  <file>': {line!r}")
            continue
        if found.group(2) in listed:
            problems.append(f"SHA256SUMS names {found.group(2)} twice")
        listed[found.group(2)] = found.group(1)
    files = files_in(folder) - {"SHA256SUMS"}
    if set(listed) != files:
        problems.append(f"SHA256SUMS lacks {sorted(files - set(listed))}, names absent {sorted(set(listed) - files)}")
    for name in sorted(files & set(listed)):
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != listed[name]:
            problems.append(f"SHA256SUMS: {name} has another SHA-256")
    return problems


# The README's lines that CI cannot run as written, and why: they unpack or
# install elsewhere (the check unpacks into its own folder), need PowerShell,
# change a desk's environment or reach another machine.
SKIPPED = [
    (re.compile(r"(tar|cd) "), "unpacks or moves into the install folder; the check unpacks itself"),
    (re.compile(r"mkdir (-p )?(/|[A-Z]:\\)"), "makes a folder outside the bundle"),
    (re.compile(r"Get-Content "), "PowerShell"),
    (re.compile(r"(setx|export) "), "sets a desk's environment"),
    (re.compile(r"(copy \\\\|scp )"), "copies from another machine; the bundle's own trace stands in"),
]
COMMAND = re.compile(r"  (\./clonesim|clonesim\.exe|sha256sum|mkdir|tar|cd|Get-Content|setx|export|copy|scp) \S")
# The exit status of each example that has an expected report.
EXIT_STATUS = {**EXAMPLES, **WINDOWS_FORMS}


def exit_status_of(scenario):
    """The exit status an example's report comes with: examples/NAME.json
    or its Windows form."""
    name = scenario.replace("\\", "/").removeprefix("examples/").removesuffix(".json").removesuffix(".windows")
    return EXIT_STATUS[name]


def readme_lines(folder):
    """The README's command lines, in order, as written."""
    return [line.strip() for line in (folder / "README.txt").read_text().splitlines() if COMMAND.match(line)]


def stand_in_copy(folder, line):
    """A copy from a desk's machine, done with the trace the README's
    recording left, into the folder the line copies to."""
    target = folder / line.split()[-1].replace("\\", "/")
    target.mkdir(parents=True, exist_ok=True)
    for trace in (folder / "traces").glob("kxpdm-trace-*.jsonl"):
        shutil.copy(trace, target)


def run_readme(folder, kind, shell, version):
    """Runs each line of the README as written, from the bundle's folder, in
    the system's own command interpreter, and checks what the README says
    each gives; the lines CI cannot run are listed as skipped."""
    program = "clonesim.exe" if kind == "windows" else "./clonesim"
    lines = readme_lines(folder)
    needed = ["--version", "run examples", "run --record traces", "replay traces"]
    problems = [f"README.txt has no '{program} {what}' line" for what in needed
                if not any(c.startswith(f"{program} {what}") for c in lines)]
    ran = 0
    for line in lines:
        skipped = next((why for pattern, why in SKIPPED if pattern.match(line)), None)
        if skipped:
            print(f"bundles: {kind}: skipped README line '{line}': {skipped}")
            if "stands in" in skipped:
                stand_in_copy(folder, line)
            continue
        ran += 1
        result = subprocess.run([*shell, line], cwd=folder, capture_output=True)
        label = f"{kind}: README's '{line}'"
        out = result.stdout.decode("latin-1")
        arguments = line.split()[1:]
        rehearsal = line.startswith(program) and arguments[0] == "run" and "--record" not in arguments
        status = exit_status_of(arguments[-1]) if rehearsal else 0
        if result.returncode != status:
            problems.append(f"{label}: exit {result.returncode}, expected {status}:\n{out[-2000:]}"
                            f"{result.stderr.decode(errors='replace')}")
            continue
        if not line.startswith(program):
            continue
        if arguments == ["--version"]:
            shown = re.match(r"clonesim (\S+) ", out)
            if not shown or shown.group(1) != version:
                problems.append(f"{label}: shows {out.strip()!r}, not version {version}")
        elif arguments[0] == "run" and "--record" not in arguments:
            expected = (folder / arguments[-1].replace("\\", "/")).with_suffix(".expected.txt")
            if normalised(out) != expected.read_text(encoding="latin-1"):
                problems.append(f"{label}: the report is not {expected.relative_to(folder)}:\n{out[-1500:]}")
        elif arguments[0] == "run":
            traces = sorted((folder / "traces").glob("kxpdm-trace-*.jsonl"))
            if len(traces) != 1:
                problems.append(f"{label}: {len(traces)} traces in traces, expected 1")
                continue
            header = json.loads(traces[0].read_text(encoding="latin-1").splitlines()[0])
            if header.get("library") != f"kxpdm_clone_userexit_v30 {version}" or header.get("platform") != kind:
                problems.append(f"{label}: the trace's header says library {header.get('library')!r} "
                                f"on {header.get('platform')!r}, not kxpdm_clone_userexit_v30 {version} on {kind}")
        elif arguments[0] == "replay":
            library = PROGRAMS[kind][0]
            folders = [a for a in arguments[1:] if not a.startswith("--") and not a.endswith(".html")]
            sessions = f"{len(folders)} session" + ("s" if len(folders) > 1 else "")
            if f"against {library}" not in out or not re.search(rf"\b{sessions}\b", out):
                problems.append(f"{label}: not {sessions} replayed against the bundled {library}:\n{out[-1500:]}")
            if "--html" in arguments and not (folder / arguments[arguments.index("--html") + 1]).is_file():
                problems.append(f"{label}: no HTML page written")
    print(f"bundles: {kind}: ran {ran} of the README's {len(lines)} command lines from a fresh folder")
    return problems


def run_examples(folder, shell):
    """Every example with an expected report gives it, in its Windows form
    where it has one, from the unpacked bundle under wine."""
    problems, count, pairs = [], 0, set()
    for expected in (folder / "examples").rglob("*.expected.txt"):
        name = expected.with_name(expected.name[:-len(".expected.txt")].removesuffix(".windows"))
        windows = name.with_name(name.name + ".windows.json")
        form = windows if windows.is_file() else name.with_name(name.name + ".json")
        pairs.add((form, form.with_suffix(".expected.txt")))
    for scenario, expected in sorted(pairs):
        relative = str(scenario.relative_to(folder)).replace("/", "\\")
        result = subprocess.run([*shell, f"clonesim.exe run {relative}"], cwd=folder, capture_output=True)
        count += 1
        status = exit_status_of(str(scenario.relative_to(folder)))
        if result.returncode != status or normalised(result.stdout.decode("latin-1")) != expected.read_text(
                encoding="latin-1"):
            problems.append(f"windows: 'clonesim.exe run {relative}' does not give "
                            f"{expected.relative_to(folder)} with exit {status} (exit {result.returncode}):\n"
                            f"{result.stdout.decode('latin-1')[-1500:]}{result.stderr.decode(errors='replace')}")
    print(f"bundles: windows: ran the {count} examples that have an expected report")
    return problems


def elf_problems(folder, source):
    """Each Linux program and library must run from the bundle alone: a run
    path only through $ORIGIN, and every library it needs found, none of
    them in the build or the source tree."""
    problems = []
    for name in PROGRAMS["linux"]:
        path = folder / name
        if not path.is_file() or path.read_bytes()[:4] != b"\x7fELF":
            continue
        dynamic = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
        for entry in re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", dynamic):
            outside = [d for d in entry.split(":") if d != "$ORIGIN"]
            if outside:
                problems.append(f"{name}: run path {entry!r} reaches beyond its own folder")
        linked = subprocess.run(["ldd", str(path)], capture_output=True, text=True).stdout
        for line in linked.splitlines():
            if "not found" in line or str(source) in line:
                problems.append(f"{name}: needs {line.strip()}")
    return problems


def without_site_program(folder):
    """A copy of the bundle without its site-program must fail the example
    that runs one: nothing may stand in for it from a developer's tree."""
    with tempfile.TemporaryDirectory(prefix="bare-linux-") as bare:
        copy = pathlib.Path(bare) / folder.name
        shutil.copytree(folder, copy, symlinks=True)
        (copy / "site-program").unlink()
        result = subprocess.run([str(copy / "clonesim"), "run", "examples/import_refused.json"], cwd=copy,
                                capture_output=True)
        if result.stdout == (copy / "examples" / "import_refused.expected.txt").read_bytes():
            return ["linux: without site-program the bundle still rehearses examples/import_refused.json"]
    return []


def commit_problems(folder, source):
    """VERSION.txt and the README's first line name the commit packed."""
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=source, capture_output=True, text=True,
                          check=True).stdout.strip()
    version_text = (folder / "VERSION.txt").read_text() if (folder / "VERSION.txt").is_file() else ""
    found = re.search(r"^commit ([0-9a-f]{40})(\+dirty)?$", version_text, re.M)
    problems = []
    if not found or found.group(1) != head:
        problems.append(f"VERSION.txt names commit {found.group(1) if found else None}, not {head}")
    elif f"(commit {found.group(1)}{found.group(2) or ''})" not in (folder / "README.txt").read_text().splitlines()[0]:
        problems.append("README.txt's first line does not name the commit of VERSION.txt")
    return problems


DOC_PATH = re.compile(r"`(?:[^`\s]+ )?([\w.\-]+(?:/[\w.\-*]+)+/?)[`\s:]|\]\(([^)#:\s]+)\)")


def doc_path_problems(folder, source):
    """Each path of the project a bundled doc names is in the bundle, unless
    the doc marks its folder as the source tree's
    (<!-- source tree: tests/ ... -->). Only paths that begin with one of the
    project's own top folders count, so a scenario's "site/x.sh" does not."""
    tracked = subprocess.run(["git", "ls-files"], cwd=source, capture_output=True, text=True, check=True).stdout
    roots = {line.split("/")[0] for line in tracked.splitlines()} | {"build", "build-win"}
    problems = []
    for doc in sorted((folder / "docs").glob("*.md")):
        text = doc.read_text()
        elsewhere = [p for marker in re.findall(r"<!-- source tree: ([^>]*)-->", text) for p in marker.split()]
        for n, line in enumerate(text.splitlines(), 1):
            for quoted, linked in DOC_PATH.findall(line):
                named = quoted or linked
                if linked:
                    target = (doc.parent / linked).resolve()
                    if not target.exists():
                        problems.append(f"docs/{doc.name}:{n} links to {linked}, which the bundle lacks")
                    continue
                if named.split("/")[0] not in roots or any(named.startswith(p) for p in elsewhere):
                    continue
                if not any(folder.glob(named.rstrip("/"))):
                    problems.append(f"docs/{doc.name}:{n} names {named}, which the bundle lacks")
    return problems


def imported_dlls(objdump, path):
    dump = subprocess.run([objdump, "-p", str(path)], capture_output=True, text=True, check=True).stdout
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}


def check_bundle(archive, kind, version, source, wine_run, objdump):
    with tempfile.TemporaryDirectory(prefix=f"fresh-{kind}-") as fresh:
        fresh = pathlib.Path(fresh)
        unpack(archive, fresh)
        top = [p.name for p in fresh.iterdir()]
        folder_name = f"kxpdm-clone-{version}-{kind}"
        if top != [folder_name]:
            return [f"{archive.name}: holds {top} at its top, not the one folder {folder_name}"]
        folder = fresh / folder_name
        files = files_in(folder)
        expected = expected_files(source, kind)
        problems = []
        if files != expected:
            problems.append(f"{archive.name}: missing {sorted(expected - files)}, not expected {sorted(files - expected)}")
        problems += [f"{archive.name}: {p}" for p in sums_problems(folder)]
        if kind == "linux":
            for program in PROGRAMS[kind][1:]:
                if not os.access(folder / program, os.X_OK):
                    problems.append(f"{archive.name}: {program} is not executable")
        if version not in (folder / "README.txt").read_text():
            problems.append(f"{archive.name}: README.txt does not name version {version}")
        if kind == "windows":
            for program in (p for p in PROGRAMS[kind] if (folder / p).is_file()):
                foreign = imported_dlls(objdump, folder / program) - SYSTEM_DLLS
                foreign = {name for name in foreign if not name.startswith("api-ms-win-")}
                if foreign:
                    problems.append(f"{archive.name}: {program} needs {sorted(foreign)}, which are not beside it")
            try:
                file_version, product_version, strings = version_resource((folder / PROGRAMS[kind][0]).read_bytes())
            except (OSError, ValueError, struct.error) as e:
                file_version = product_version = strings = None
                problems.append(f"{archive.name}: the DLL's version resource cannot be read: {e}")
            numbers = tuple(int(n) for n in version.split(".")) + (0,) * (4 - len(version.split(".")))
            if strings is None:
                pass
            elif file_version != numbers or product_version != numbers:
                problems.append(f"{archive.name}: the DLL's fixed version is {file_version}/{product_version}, "
                                f"not {numbers}")
            for name in ("FileVersion", "ProductVersion"):
                if strings is not None and strings.get(name) != version:
                    problems.append(f"{archive.name}: the DLL's {name} is {strings.get(name)!r}, not {version!r}")
            shell = [str(wine_run), "cmd", "/c"]
            problems += run_examples(folder, shell)
        else:
            shell = ["sh", "-c"]
            checked = subprocess.run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=folder, capture_output=True)
            if checked.returncode != 0:
                problems.append(f"{archive.name}: README's 'sha256sum -c --quiet SHA256SUMS' fails")
            problems += [f"{archive.name}: {p}" for p in elf_problems(folder, source)]
            problems += without_site_program(folder)
        problems += [f"{archive.name}: {p}" for p in commit_problems(folder, source)]
        problems += [f"{archive.name}: {p}" for p in doc_path_problems(folder, source)]
        problems += run_readme(folder, kind, shell, version)
        return problems


def same_as_again(dist, again, names):
    problems = []
    for name in names:
        if (dist / name).read_bytes() != (again / name).read_bytes():
            problems.append(f"{name}: a second packing gives other bytes")
    return problems


def dirty_tree_refused(source):
    """package.sh in a clone with an uncommitted edit refuses to pack,
    before it builds anything."""
    with tempfile.TemporaryDirectory(prefix="dirty-") as clone:
        subprocess.run(["git", "clone", "--quiet", "--shared", str(source), clone], check=True)
        with open(pathlib.Path(clone) / "packaging" / "README-linux.txt", "a") as readme:
            readme.write("an edit not committed\n")
        result = subprocess.run(["bash", "scripts/package.sh"], cwd=clone, capture_output=True, text=True)
        if result.returncode == 0 or "uncommitted" not in result.stderr:
            return [f"package.sh packs a tree with uncommitted changes (exit {result.returncode}): {result.stderr}"]
    return []


def selftest():
    """The resource reader against a hand-made VS_VERSIONINFO block, so a
    reader that read nothing cannot pass."""
    def node(key, value, children=b"", text=False):
        head_key = key.encode("utf-16-le") + b"\0\0"
        body = bytearray(6 + len(head_key))
        body += b"\0" * (align(len(body)) - len(body)) + value
        body += b"\0" * (align(len(body)) - len(body)) + children
        struct.pack_into("<HHH", body, 0, len(body), len(value) // 2 if text else len(value), 1 if text else 0)
        body[6:6 + len(head_key)] = head_key
        return bytes(body) + b"\0" * (align(len(body)) - len(body))
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x00030001, 0x00020004, 0x00030001, 0x00020004, 0, 0, 0, 0, 0, 0, 0)
    string = node("FileVersion", "3.1.2\0".encode("utf-16-le"), text=True)
    info = node("VS_VERSION_INFO", fixed, node("StringFileInfo", b"", node("040904B0", b"", string)))
    got = read_version_info(info)
    expected = ((3, 1, 2, 4), (3, 1, 2, 4), {"FileVersion": "3.1.2"})
    return [] if got == expected else [f"the version reader read {got}, expected {expected}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--dist", type=pathlib.Path, required=True)
    parser.add_argument("--again", type=pathlib.Path, help="a second packing's dist folder, to compare")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    args = parser.parse_args()
    source = args.source.resolve()
    version = build_version(source / "build")
    problems = selftest() + dirty_tree_refused(source)
    if build_version(source / "build-win") != version:
        problems.append(f"build-win is version {build_version(source / 'build-win')}, build {version}")
    names = {"windows": f"kxpdm-clone-{version}-windows.zip", "linux": f"kxpdm-clone-{version}-linux.tar.gz"}
    present = sorted(p.name for p in args.dist.iterdir() if p.is_file())
    if present != sorted(names.values()):
        problems.append(f"{args.dist} holds {present}, expected {sorted(names.values())}")
    for kind, name in names.items():
        if (args.dist / name).is_file():
            problems += check_bundle(args.dist / name, kind, version, source, source / "scripts" / "wine-run",
                                     args.objdump)
    if args.again:
        problems += same_as_again(args.dist, args.again, names.values())
    for problem in problems:
        print("bundles:", problem)
    print(f"bundles: version {version}, {len(names)} bundles checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
