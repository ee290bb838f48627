#!/usr/bin/env python3
"""The sessions of clonesim_scale.py played by clonesim.exe under wine
against the Windows DLL and by the Linux clonesim against the shared
library, side by side: an import of 1,000 and 10,000 parts and an export of
1,000 parts (on Windows each part's export log file is deleted by "del"
through cmd, on Linux by the stand-in through sh). Prints the wall time per
part, and the start-up of an empty command, which each run includes once,
taken beside each session's runs so that both see the same load. A run
whose exit status is not the session's (the first Linux run's, 0 or 1) is
no figure: the bench stops there. Nothing here asserts a figure: they are
for reading (README.md keeps the last ones).

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


def timed(argv, cwd, expected):
    """Wall time, verdict and exit status of one run; a run whose exit
    status is not one of expected stops the bench."""
    start = time.monotonic()
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace")
    wall = time.monotonic() - start
    if result.returncode not in expected:
        sys.exit("exit %d, expected %s: %s\n%s" % (result.returncode, " or ".join(map(str, sorted(expected))),
                                                   " ".join(argv), result.stderr[-2000:]))
    verdict = [line.strip() for line in result.stdout.splitlines() if line.startswith("  verdict")]
    return wall, verdict[0] if verdict else "", result.returncode


def best(argv, cwd, runs, expected):
    """The shortest of the runs' wall times (the least disturbed on a shared
    machine), with the verdict and the exit status."""
    figures = [timed(argv, cwd, expected) for _ in range(runs)]
    return min(w for w, _, _ in figures), figures[0][1], figures[0][2]


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
            print("%-7s %7s %14s %14s %14s %8s %9s  %s" % ("kind", "parts", "Linux ms/part", "wine ms/part",
                                                          "wine - start", "ratio", "start (s)", "verdict (wine)"))
            for session in args.sessions:
                kind, n = session.split(":")
                n = int(n)
                scenario = clonesim_scale.write(directory, kind, n)
                argv = ["run", "--findings-only", scenario]
                status = {timed([args.clonesim, *argv], directory, {0, 1})[2]}
                start_wine = best([*wine, "--version"], directory, args.runs, {0})[0]
                linux = best([args.clonesim, *argv], directory, args.runs, status)
                windows = best([*wine, *argv, *dll], directory, args.runs, status)
                print("%-7s %7d %14.3f %14.3f %14.3f %8.1f %9.3f  %s" % (
                    kind, n, 1000 * linux[0] / n, 1000 * windows[0] / n, 1000 * (windows[0] - start_wine) / n,
                    windows[0] / linux[0], start_wine, windows[1]), flush=True)
                if linux[1] != windows[1]:
                    print("  the verdicts differ; Linux: %s" % linux[1])
                os.remove(scenario)
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
