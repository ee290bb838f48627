#!/usr/bin/env python3
"""Replays a folder of recorded import sessions with `clonesim replay`, once
with each number of jobs, and prints the wall and CPU time of each run (CPU
of clonesim and all its children, user + system).

    bench/replay_folder_bench.py                     # 1000 traces of 100 parts, 1 and 2 jobs
    bench/replay_folder_bench.py --traces 200 --parts 1000 --jobs 1 2 4
    bench/replay_folder_bench.py --clonesim build-rel/tools/clonesim/clonesim

One 100-part import (the mapping file, publishing and native file names on,
as bench/clonesim_scale.py makes it) is recorded once, and the folder holds
that trace under as many names (hard links): every trace is a whole session
replayed by a clonesim child of its own, so the figures are those of as many
sessions. Nothing here asserts a time; the exit status is 1 only when the
replay does not find every session the same, which would make the figures
those of another run.
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clonesim_scale import write  # noqa: E402  (the same generated import)


def run_one(command):
    """Runs one command in this process's only child, so that the CPU time of
    its children is that command's, and prints the figures as JSON."""
    start = time.monotonic()
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(json.dumps({"status": result.returncode, "wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
                      "tail": result.stdout[-400:] + result.stderr[-400:]}))


def measure(command):
    out = subprocess.run([sys.executable, __file__, "--run-one", json.dumps(command)],
                         stdout=subprocess.PIPE, check=True, text=True).stdout
    return json.loads(out)


def record(clonesim, directory, parts):
    scenario = write(directory, "import", parts)
    recording = os.path.join(directory, "recording")
    subprocess.run([clonesim, "run", "--findings-only", "--record", recording, scenario],
                   stdout=subprocess.DEVNULL, check=True)
    (trace,) = os.listdir(recording)
    return os.path.join(recording, trace)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--parts", type=int, default=100)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--clonesim", default=os.path.join("build", "tools", "clonesim", "clonesim"))
    parser.add_argument("--run-one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_one:
        run_one(json.loads(args.run_one))
        return 0

    clonesim = os.path.abspath(args.clonesim)
    directory = tempfile.mkdtemp(prefix="clonesim-replay-folder-")
    try:
        trace = record(clonesim, directory, args.parts)
        folder = os.path.join(directory, "traces")
        os.mkdir(folder)
        for i in range(args.traces):
            os.link(trace, os.path.join(folder, "kxpdm-trace-20261208-120000-%d-1.jsonl" % (1000 + i)))
        print("%d traces of a %d-part import (%d bytes each), on %d cores" %
              (args.traces, args.parts, os.path.getsize(trace), os.cpu_count() or 0))
        alone = measure([clonesim, "replay", trace])
        print("one trace replayed alone: wall %.3f s, CPU %.3f s" % (alone["wall"], alone["cpu"]))
        print("%5s %9s %9s %13s %13s" % ("jobs", "wall s", "CPU s", "wall ms/trace", "CPU ms/trace"))
        worst = 0
        for jobs in args.jobs:
            figures = measure([clonesim, "replay", "--jobs", str(jobs), folder])
            if figures["status"] != 0:
                print("the replay with %d jobs ended with exit status %d:\n%s" % (jobs, figures["status"], figures["tail"]))
                worst = 1
            print("%5d %9.2f %9.2f %13.2f %13.2f" % (jobs, figures["wall"], figures["cpu"],
                                                      1000 * figures["wall"] / args.traces,
                                                      1000 * figures["cpu"] / args.traces), flush=True)
        return worst
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
