#!/usr/bin/env python3
"""Records generated import sessions with `clonesim run --record`, replays
each trace with `clonesim replay` and prints, for the plain run, the recorded
run and the replay, the CPU time, the CPU time per part and the peak memory,
with the trace's bytes per part and the replay's CPU as a multiple of the
plain run's.

    bench/replay_scale.py                              # 1000 10000 20000 parts
    bench/replay_scale.py --parts 1000 --clonesim build/tools/clonesim/clonesim
    bench/replay_scale.py --parts 10000 --repeat 7     # the figures of 7 rounds

On a machine whose cores are shared, one run's CPU time can be a quarter off
the next one's. With --repeat N each size is measured in N rounds, each
round a plain run, a recorded run and a replay one after the other, and each
command's line gives its least CPU time (the run least disturbed; the peak
memory is that run's) and the median. "x plain" is then the least CPU time
against the plain run's least, which may come from another round; the
replay's line adds each round's replay against the same round's plain run,
as median and range.

The sessions are those of clonesim_scale.py. Nothing here asserts a figure:
they are for reading (README.md keeps the last ones).
"""
import argparse
import glob
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clonesim_scale  # noqa: E402


def run_one(argv):
    """Runs one command in a process of its own, so that the peak memory of
    the children is that command's, and prints the figures as JSON."""
    start = time.monotonic()
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    last = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    print(json.dumps({"status": result.returncode, "error": result.stderr, "wall": time.monotonic() - start,
                      "cpu": usage.ru_utime + usage.ru_stime, "peak_kib": usage.ru_maxrss, "last": last}))


def measure(argv):
    out = subprocess.run([sys.executable, __file__, "--run-one", json.dumps(argv)],
                         stdout=subprocess.PIPE, check=True, text=True).stdout
    figures = json.loads(out)
    if figures["status"] not in (0, 1):
        sys.exit("clonesim failed: %s: %s" % (" ".join(argv), figures["error"]))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parts", type=int, nargs="+", default=[1000, 10000, 20000])
    parser.add_argument("--clonesim", default=os.path.join("build", "tools", "clonesim", "clonesim"))
    parser.add_argument("--repeat", type=int, default=1, metavar="N",
                        help="rounds for each size (default 1); see above")
    parser.add_argument("--run-one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_one:
        run_one(json.loads(args.run_one))
        return

    if args.repeat < 1:
        sys.exit("--repeat takes 1 or more")
    directory = tempfile.mkdtemp(prefix="clonesim-replay-scale-")
    print("%7s %-8s %8s %8s %12s %9s %11s %10s  %s" % ("parts", "command", "CPU s", "median", "CPU ms/part",
                                                        "peak MiB", "bytes/part", "x plain", "verdict"))
    try:
        for n in args.parts:
            scenario = clonesim_scale.write(directory, "import", n)
            rounds = []
            for _ in range(args.repeat):
                traces = os.path.join(directory, "traces-%d" % n)
                plain = measure([args.clonesim, "run", "--findings-only", scenario])
                recorded = measure([args.clonesim, "run", "--findings-only", "--record", traces, scenario])
                trace = glob.glob(os.path.join(traces, "kxpdm-trace-*.jsonl"))
                if len(trace) != 1:
                    sys.exit("no single trace in %s" % traces)
                recorded["size"] = os.path.getsize(trace[0])
                replayed = measure([args.clonesim, "replay", trace[0]])
                shutil.rmtree(traces)
                rounds.append({"run": plain, "record": recorded, "replay": replayed})
            least_plain = min(r["run"]["cpu"] for r in rounds)
            for name in ("run", "record", "replay"):
                figures = min((r[name] for r in rounds), key=lambda f: f["cpu"])
                cpus = sorted(r[name]["cpu"] for r in rounds)
                per_part = "%.0f" % (figures["size"] / n) if name == "record" else ""
                last = figures["last"] if name == "replay" else ""
                if name == "replay" and len(rounds) > 1:
                    ratios = sorted(r["replay"]["cpu"] / r["run"]["cpu"] for r in rounds)
                    last += "; x plain by round: median %.2f, %.2f to %.2f" % (
                        statistics.median(ratios), ratios[0], ratios[-1])
                print("%7d %-8s %8.2f %8.2f %12.3f %9.1f %11s %10.2f  %s" % (
                    n, name, figures["cpu"], statistics.median(cpus), 1000 * figures["cpu"] / n,
                    figures["peak_kib"] / 1024, per_part, figures["cpu"] / least_plain, last), flush=True)
            os.remove(scenario)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
