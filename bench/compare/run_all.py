"""Runs every comparative workload, interleaving the contestants over several rounds, each run in
a fresh process, and writes the medians and ratios to a Markdown report.

    python run_all.py --native-build DIR [--rounds 3] [--rounds-100k 3] [--out ../results.md]

Run it with the interpreter that has tyvo, APScheduler 3 and croniter installed; every
measurement runs in a child process of that same interpreter.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import machine
import report

HERE = os.path.dirname(os.path.abspath(__file__))
LATENESS_JOBS = (100, 1_000, 10_000)
SCALE_JOBS = (10_000, 100_000)
CPU_VARIANTS = (("tyvo", "0"), ("tyvo", "1"), ("asyncio", "1"), ("apscheduler", "1"))
CONTESTANTS = ("tyvo", "asyncio", "apscheduler")


def cases(native_build):
    """(case key, variant key, command) triples of one round, grouped by case."""
    for jobs in LATENESS_JOBS:
        yield ("lateness", jobs), [(name, ["lateness.py", name, str(jobs)]) for name in CONTESTANTS]
    yield ("cpu_per_run",), [("%s@%sms" % (name, interval), ["cpu_per_run.py", name, interval])
                             for name, interval in CPU_VARIANTS]
    for jobs in SCALE_JOBS:
        yield ("scale", jobs), [(name, ["scale.py", name, str(jobs)]) for name in CONTESTANTS]
    yield ("cron",), [("python", ["cron_next.py"]), ("native", ["native_cron.py", native_build])]


def run_child(command, timeout):
    began = time.monotonic()
    try:
        finished = subprocess.run([sys.executable, *command], cwd=HERE, capture_output=True, text=True,
                                  timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": "timed out after %d s" % timeout}
    lines = finished.stdout.strip().splitlines()
    if finished.returncode != 0 or not lines:
        return {"error": "exit %d: %s" % (finished.returncode, finished.stderr.strip()[-600:])}
    result = json.loads(lines[-1])
    result["wall_s"] = round(time.monotonic() - began, 2)
    return result


def rotated(items, by):
    by %= len(items)
    return items[by:] + items[:by]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True, help="native build dir with native_cron and cron-next")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rounds-100k", type=int, default=None, help="rounds for the 100,000-job scale case")
    parser.add_argument("--out", default=os.path.join(HERE, "..", "results.md"))
    parser.add_argument("--raw", default=None, help="also write every run's raw result here (JSON)")
    parser.add_argument("--command", default="bash bench/run_compare.sh", help="command shown in the report")
    parser.add_argument("--source", default="", help="what tyvo was built from, shown in the report")
    parser.add_argument("--timeout", type=int, default=180, help="seconds allowed for one child run")
    options = parser.parse_args()
    rounds_100k = options.rounds if options.rounds_100k is None else options.rounds_100k

    before = machine.describe()
    began = time.monotonic()
    results = {}
    for round_index in range(options.rounds):
        for case, variants in cases(os.path.abspath(options.native_build)):
            if case == ("scale", 100_000) and round_index >= rounds_100k:
                continue
            # Rotate who goes first, so that no contestant always meets the same neighbour's wake.
            for variant, command in rotated(variants, round_index):
                print("round %d  %-22s %-18s" % (round_index + 1, "/".join(map(str, case)), variant),
                      end="", file=sys.stderr, flush=True)
                result = run_child(command, options.timeout)
                print("  %s" % (result.get("error") or "%.1f s" % result["wall_s"]), file=sys.stderr, flush=True)
                results.setdefault(json.dumps(case), {}).setdefault(variant, []).append(result)
    after = machine.describe()

    run = {
        "machine": before,
        "load_after": after["load"],
        "duration_s": round(time.monotonic() - began),
        "rounds": options.rounds,
        "rounds_100k": rounds_100k,
        "command": options.command,
        "source": options.source,
        "results": results,
    }
    if options.raw:
        os.makedirs(os.path.dirname(os.path.abspath(options.raw)), exist_ok=True)
        with open(options.raw, "w") as raw:
            json.dump(run, raw, indent=1)
    with open(options.out, "w") as out:
        out.write(report.render(run))
    print("wrote %s in %d s" % (os.path.relpath(options.out), run["duration_s"]), file=sys.stderr)


if __name__ == "__main__":
    main()
