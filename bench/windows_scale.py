#!/usr/bin/env python3
"""The sessions of clonesim_scale.py played by clonesim.exe under wine
against the Windows DLL and by the Linux clonesim against the shared
library, side by side: an import of 1,000 and 10,000 parts and an export of
1,000 parts (on Windows each part's export log file is deleted by "del"
through cmd, on Linux by the stand-in through sh). Prints the wall time per
part, and the start-up of an empty command, which each run includes once.
Nothing here asserts a figure: they are for reading (README.md keeps the
last ones).

    bench/windows_scale.py        # after scripts/test.sh, or both builds
    bench/windows_scale.py --runs 3 --sessions import:1000 export:1000

Wine runs in build-win's own prefix, with one wineserver kept for the whole
run and stopped at its end, as in scripts/test.sh.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clonesim_scale  # noqa: E402

SOURCE = pathlib.Path(__file__).resolve().parent.parent


def timed(argv, cwd):
    start = time.monotonic()
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace")
    wall = time.monotonic() - start
    if result.returncode not in (0, 1):
        sys.exit("failed (exit %d): %s\n%s" % (result.returncode, " ".join(argv), result.stderr[-2000:]))
    verdict = [line.strip() for line in result.stdout.splitlines() if line.startswith("  verdict")]
    return wall, verdict[0] if verdict else ""


def best(argv, cwd, runs):
    """The shortest of the runs' wall times (the least disturbed on a shared
    machine), with the verdict."""
    figures = [timed(argv, cwd) for _ in range(runs)]
    return min(w for w, _ in figures), figures[0][1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sessions", nargs="+", default=["import:1000", "import:10000", "export:1000"])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--clonesim", default=str(SOURCE / "build" / "tools" / "clonesim" / "clonesim"))
    parser.add_argument("--windows-bin", default=str(SOURCE / "build-win" / "bin"))
    args = parser.parse_args()

    os.environ.setdefault("WINEPREFIX", str(SOURCE / "build-win" / "wineprefix"))
    for name, value in (("WINEARCH", "win64"), ("WINEDEBUG", "-all"), ("WINEDLLOVERRIDES", "mscoree,mshtml="),
                        ("LC_ALL", "C.UTF-8")):
        os.environ.setdefault(name, value)
    bin_dir = pathlib.Path(args.windows_bin)
    wine = [str(SOURCE / "scripts" / "wine-run"), str(bin_dir / "clonesim.exe")]
    dll = ["--library", str(bin_dir / "kxpdm_clone_userexit_v30.dll")]
    server = subprocess.Popen(["wineserver", "-p"])
    server.wait()
    subprocess.run(["wine", "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        with tempfile.TemporaryDirectory(prefix="clonesim-windows-scale-") as directory:
            start_linux = best([args.clonesim, "--version"], directory, args.runs)[0]
            start_wine = best([*wine, "--version"], directory, args.runs)[0]
            print("start-up (an empty command): Linux %.3f s, under wine %.3f s" % (start_linux, start_wine))
            print("%-7s %7s %14s %14s %14s %8s  %s" % ("kind", "parts", "Linux ms/part", "wine ms/part",
                                                     "wine - start", "ratio", "verdict (wine)"))
            for session in args.sessions:
                kind, n = session.split(":")
                n = int(n)
                scenario = clonesim_scale.write(directory, kind, n)
                linux = best([args.clonesim, "run", "--findings-only", scenario], directory, args.runs)
                windows = best([*wine, "run", "--findings-only", scenario, *dll], directory, args.runs)
                print("%-7s %7d %14.3f %14.3f %14.3f %8.1f  %s" % (
                    kind, n, 1000 * linux[0] / n, 1000 * windows[0] / n, 1000 * (windows[0] - start_wine) / n,
                    windows[0] / linux[0], windows[1]), flush=True)
                if linux[1] != windows[1]:
                    print("  the verdicts differ; Linux: %s" % linux[1])
                os.remove(scenario)
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
