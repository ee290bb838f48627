#!/usr/bin/env python3
"""Generates clonesim import and export scenarios of a chosen size, runs each
through clonesim and prints the time per part and the peak memory.

    bench/clonesim_scale.py                       # 1000 5000 20000 parts
    bench/clonesim_scale.py --parts 1000 20000 --clonesim build/tools/clonesim/clonesim
    bench/clonesim_scale.py --write-only /tmp/scale --parts 5000

The import maps each part's item ID, revision, name and description through
the site's mapping file, with publishing and native file names on; the export
exports as many existing items, each with a design log. Nothing here asserts a
time: the figures are for reading (docs/clonesim.md keeps the last ones).
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

MAPPING = "DB_PART_NO = NO\nDB_PART_REV = REV\nDB_PART_NAME = TITLE\nDB_PART_DESC = DESC\n"


def import_scenario(n):
    parts = []
    for i in range(1, n + 1):
        parts.append({
            "name": "/data/incoming/p%06d.prt" % i,
            "attributes": [["NO", "P%06d" % i], ["REV", "A"], ["TITLE", "Part %d" % i],
                           ["DESC", "Generated part %d of %d" % (i, n)]],
        })
    return {
        "description": "%d generated parts imported with the mapping file" % n,
        "operation": "import",
        "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "scale.map"},
        "defaults": {"item_type": "Part"},
        "parts": parts,
        "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": "1",
                                  "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME": "1"}},
    }


def export_scenario(n):
    parts, items = [], []
    for i in range(1, n + 1):
        item = "E%06d" % i
        parts.append({"name": "@DB/%s/A" % item, "attributes": [["DB_PART_TYPE", "Part"]]})
        items.append({"item_id": item, "name": "Exported %d" % i, "description": "Generated item %d" % i,
                      "revisions": [{"rev_id": "A", "native_file": "e%06d.prt" % i,
                                     "design_log": [["EWO", "W-%04d" % (i % 10000)]]}]})
    return {
        "description": "%d generated items exported with their design logs" % n,
        "operation": "export",
        "defaults": {"action": 3, "naming": 4, "directory": "/export/scale"},
        "parts": parts,
        "server": {"items": items},
    }


def write(directory, kind, n):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "scale.map"), "w") as f:
        f.write(MAPPING)
    path = os.path.join(directory, "%s_%d.json" % (kind, n))
    with open(path, "w") as f:
        json.dump(import_scenario(n) if kind == "import" else export_scenario(n), f)
    return path


def run_one(clonesim, scenario):
    """Runs clonesim once, in a process of its own so that the peak memory of
    the children is that of this run, and prints the figures as JSON."""
    start = time.monotonic()
    result = subprocess.run([clonesim, "run", "--findings-only", scenario],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    verdict = [line.strip() for line in result.stdout.splitlines() if line.startswith("  verdict")]
    print(json.dumps({"status": result.returncode, "error": result.stderr, "wall": wall,
                      "cpu": usage.ru_utime + usage.ru_stime, "peak_kib": usage.ru_maxrss,
                      "verdict": verdict[0] if verdict else ""}))


def measure(clonesim, scenario):
    """CPU seconds (user + system), wall seconds, peak resident KiB and verdict of one run."""
    out = subprocess.run([sys.executable, __file__, "--run-one", clonesim, scenario],
                         stdout=subprocess.PIPE, check=True, text=True).stdout
    figures = json.loads(out)
    if figures["status"] not in (0, 1):
        sys.exit("clonesim failed on %s: %s" % (scenario, figures["error"]))
    return figures["cpu"], figures["wall"], figures["peak_kib"], figures["verdict"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parts", type=int, nargs="+", default=[1000, 5000, 20000])
    parser.add_argument("--kinds", nargs="+", default=["import", "export"], choices=["import", "export"])
    parser.add_argument("--clonesim", default=os.path.join("build", "tools", "clonesim", "clonesim"))
    parser.add_argument("--write-only", metavar="DIR", help="only write the scenarios into DIR")
    parser.add_argument("--run-one", nargs=2, metavar=("CLONESIM", "SCENARIO"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_one:
        run_one(*args.run_one)
        return

    if args.write_only:
        for kind in args.kinds:
            for n in args.parts:
                print(write(args.write_only, kind, n))
        return
    directory = tempfile.mkdtemp(prefix="clonesim-scale-")
    print("%-7s %7s %8s %8s %12s %9s  %s" % ("kind", "parts", "CPU s", "wall s", "CPU ms/part", "peak MiB",
                                             "verdict"))
    for kind in args.kinds:
        for n in args.parts:
            scenario = write(directory, kind, n)
            cpu, wall, peak, verdict = measure(args.clonesim, scenario)
            print("%-7s %7d %8.2f %8.2f %12.3f %9.1f  %s" % (kind, n, cpu, wall, 1000 * cpu / n, peak / 1024,
                                                            verdict), flush=True)
            os.remove(scenario)
    os.remove(os.path.join(directory, "scale.map"))
    os.rmdir(directory)


if __name__ == "__main__":
    main()
