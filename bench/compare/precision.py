"""Firing precision, focused: how late cron and interval jobs start, and what it costs, for one or
more builds of tyvo side by side (each in its own interpreter or venv) against the plain loop.

Rounds alternate between the builds, so a busy neighbour on a shared machine weighs on all of
them alike; each figure is the median of the rounds, and the spread (min-max) is shown with it.

    python precision.py --config NAME=PYTHON [--config NAME=PYTHON ...] [--rounds 3]
                        [--loop asyncio|uvloop] [--with-scale] [--with-memory] [--only TEXT ...]

Workloads (see each script): cron_lateness.py at 100 and 1,000 jobs (tyvo and the plain loop),
lateness.py (1-second interval jobs) at 100 and 1,000, cpu_per_run.py at a 1 ms interval, with
--with-memory memory.py at 100,000 hourly jobs (memory per job, tyvo and the plain loop), and with
--with-scale scale.py at 100,000 jobs (first runs, idle CPU). --only keeps the workloads whose
label contains one of the texts given. Prints a markdown table.

PYTHON may be preceded by environment settings for that configuration, as in a shell:
`--config "nogrid=TYVO_SOMETHING=0 venv/bin/python"`.
"""

import argparse
import json
import os
import statistics
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))

# (row label, script and arguments, result fields shown, contestant)
WORKLOADS = [
    ("cron 100 jobs", ["cron_lateness.py", "{who}", "100"], ("p50_ms", "p99_ms"), ("tyvo", "asyncio")),
    ("cron 1,000 jobs", ["cron_lateness.py", "{who}", "1000"], ("p50_ms", "p99_ms"), ("tyvo", "asyncio")),
    ("interval 100 jobs", ["lateness.py", "{who}", "100"], ("p50_ms", "p99_ms"), ("tyvo", "asyncio")),
    ("interval 1,000 jobs", ["lateness.py", "{who}", "1000"], ("p50_ms", "p99_ms"), ("tyvo", "asyncio")),
    ("CPU per 1,000 runs at 1 ms", ["cpu_per_run.py", "{who}", "1"], ("cpu_ms_per_1000_runs",), ("tyvo", "asyncio")),
]
SCALE = ("100,000 jobs", ["scale.py", "{who}", "100000"], ("first_runs_s", "idle_cpu_pct"), ("tyvo",))
MEMORY = ("memory, 100,000 hourly jobs", ["memory.py", "{who}", "100000"],
          ("rss_per_job_bytes", "malloc_per_job_bytes"), ("tyvo", "asyncio"))


def run_once(python, command, loop):
    *settings, interpreter = python.split()
    environment = dict(os.environ, **dict(setting.split("=", 1) for setting in settings))
    finished = subprocess.run([interpreter, *command, "--loop", loop], cwd=HERE, capture_output=True, text=True,
                              timeout=600, env=environment)
    if finished.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(command), finished.stderr[-2000:]))
    return json.loads(finished.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config", action="append", required=True, help="NAME=PYTHON")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--loop", default="asyncio")
    parser.add_argument("--with-scale", action="store_true")
    parser.add_argument("--with-memory", action="store_true")
    parser.add_argument("--only", nargs="+", help="keep only workloads whose label contains one of these")
    options = parser.parse_args()
    configs = [entry.split("=", 1) for entry in options.config]
    workloads = WORKLOADS + ([MEMORY] if options.with_memory else []) + ([SCALE] if options.with_scale else [])
    if options.only:
        workloads = [workload for workload in workloads if any(text in workload[0] for text in options.only)]
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg(), flush=True)

    # results[(label, contestant, config or None, field)] = [values per round]
    results = {}
    for round_index in range(options.rounds):
        for label, command, fields, contestants in workloads:
            for who in contestants:
                # The plain loop does not depend on the build: measured with the first config only.
                for name, python in (configs if who == "tyvo" else configs[:1]):
                    if label == SCALE[0] and round_index > 0:
                        continue  # one round of the big one is enough, and it takes a while
                    outcome = run_once(python, [part.format(who=who) for part in command], options.loop)
                    for field in fields:
                        key = (label, who, name if who == "tyvo" else None, field)
                        results.setdefault(key, []).append(outcome[field])
                    print("round %d %s %s %s: %s (load %.2f)" % (
                        round_index + 1, label, who, name if who == "tyvo" else "",
                        {f: outcome[f] for f in fields}, os.getloadavg()[0]), flush=True)

    columns = ["tyvo %s" % name for name, _ in configs] + ["plain loop"]
    print()
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())
    print("| workload (%s loop) | %s |" % (options.loop, " | ".join(columns)))
    print("|---|%s" % ("---:|" * len(columns)))
    for label, _command, fields, contestants in workloads:
        for field in fields:
            cells = []
            for name, _ in configs:
                cells.append(summary(results.get((label, "tyvo", name, field))))
            cells.append(summary(results.get((label, "asyncio", None, field))) if "asyncio" in contestants else "")
            print("| %s, %s | %s |" % (label, field, " | ".join(cells)))


def summary(values):
    if not values or any(value is None for value in values):
        return "n/a"
    middle = statistics.median(values)
    shown = lambda value: "{:,.0f}".format(value) if abs(value) >= 100 else "%.3g" % value
    if len(values) == 1:
        return shown(middle)
    return "%s (%s-%s)" % (shown(middle), shown(min(values)), shown(max(values)))


if __name__ == "__main__":
    main()
