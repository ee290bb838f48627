#!/usr/bin/env python3
"""The release bundles as an administrator gets them: each holds exactly the
files it should, SHA256SUMS agrees with every one of them, the DLL's version
resource, clonesim's --version and the "library" field of a trace the
bundled library records all show the build's version, and each bundle,
unpacked into a fresh folder, runs the commands of its own README: the
Windows one under wine, with the DLL beside clonesim.exe found by default;
the Linux one natively. A second packing (--again) must give the same files
with the same sums.

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
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

PROGRAMS = {
    "windows": ["kxpdm_clone_userexit_v30.dll", "clonesim.exe", "site-program.exe", "clonesim-answer.exe",
                "clonesim-forward.exe"],
    "linux": ["libkxpdm_clone_userexit_v30.so", "clonesim", "del", "site-program"],
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
    return set(PROGRAMS[kind]) | {"README.txt", "SHA256SUMS"} | set(listed)


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


def readme_commands(folder, program):
    """The README's command lines that start the bundled clonesim, in order."""
    command = re.compile(r"  " + re.escape(program) + r" (--version|run|replay|sweep|scenario|check-map)\b")
    return [line.strip() for line in (folder / "README.txt").read_text().splitlines() if command.match(line)]


def run_readme(folder, kind, command_prefix, version):
    """Runs each clonesim command of the README in the bundle's folder and
    checks what the README says each gives."""
    program = "clonesim.exe" if kind == "windows" else "./clonesim"
    commands = readme_commands(folder, program)
    needed = ["--version", "run examples", "run --record traces", "replay traces"]
    problems = [f"README.txt has no '{program} {what}' command" for what in needed
                if not any(c.startswith(f"{program} {what}") for c in commands)]
    expected_report = (folder / "examples" / "import_mapped.expected.txt").read_bytes()
    for command in commands:
        arguments = command.split()[1:]
        result = subprocess.run([*command_prefix, *arguments], cwd=folder, capture_output=True)
        label = f"{kind}: README's '{command}'"
        out = result.stdout.decode("latin-1")
        if result.returncode != 0:
            problems.append(f"{label}: exit {result.returncode}:\n{out[-2000:]}{result.stderr.decode(errors='replace')}")
            continue
        if arguments == ["--version"]:
            shown = re.match(r"clonesim (\S+) ", out)
            if not shown or shown.group(1) != version:
                problems.append(f"{label}: shows {out.strip()!r}, not version {version}")
        elif arguments[0] == "run" and "--record" not in arguments and "import_mapped.json" in arguments[-1]:
            if result.stdout != expected_report:
                problems.append(f"{label}: the report is not examples/import_mapped.expected.txt:\n{out[-1500:]}")
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
            if f"against {library}" not in out or "1 session" not in out.replace("1 sessions", ""):
                problems.append(f"{label}: not one session replayed against the bundled {library}:\n{out[-1500:]}")
            if "--html" in arguments and not (folder / arguments[arguments.index("--html") + 1]).is_file():
                problems.append(f"{label}: no HTML page written")
    print(f"bundles: {kind}: ran the README's {len(commands)} clonesim commands from a fresh folder")
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
            prefix = [str(wine_run), str(folder / "clonesim.exe")]
        else:
            prefix = [str(folder / "clonesim")]
            checked = subprocess.run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=folder, capture_output=True)
            if checked.returncode != 0:
                problems.append(f"{archive.name}: README's 'sha256sum -c --quiet SHA256SUMS' fails")
        problems += run_readme(folder, kind, prefix, version)
        return problems


def same_as_again(dist, again, names):
    problems = []
    for name in names:
        listings = []
        for folder in (dist, again):
            archive = folder / name
            if archive.suffix == ".zip":
                with zipfile.ZipFile(archive) as z:
                    listings.append([(i.filename, i.CRC) for i in z.infolist()])
            else:
                with tarfile.open(archive) as t:
                    listings.append([(m.name, m.size, m.mode) for m in t.getmembers()])
        if listings[0] != listings[1]:
            problems.append(f"{name}: a second packing gives other files")
    return problems


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
    problems = selftest()
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
