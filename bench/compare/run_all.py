"""Runs every comparative workload on every configuration (interpreter x event loop), interleaving
the contestants over several rounds, each run in a fresh process, and writes the medians and
ratios to a Markdown report.

    python run_all.py --native-build DIR --config 3.11:asyncio=PYTHON [--config ...]
                      [--rounds 3] [--rounds-100k 2] [--quick] [--out ../results.md]

A configuration is VERSION:LOOP=INTERPRETER, the interpreter being one that has tyvo, APScheduler 3,
croniter and uvloop installed; every measurement of that configuration runs in a child process of
it, on that loop. The cron search does not depend on the loop, so the Python engines are timed once
per interpreter and round, and tyvo's native engine once per round.
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
CONTESTANTS = ("tyvo", "asyncio", "apscheduler")
# Zero interval is "back to back": the plain loop's `await asyncio.sleep(0)` against tyvo's zero
# interval. The 1 ms rows keep APScheduler in the picture (it cannot run at zero).
CPU_VARIANTS = (("tyvo", "0"), ("asyncio", "0"), ("tyvo", "1"), ("asyncio", "1"), ("apscheduler", "1"))

# The default trims the single-configuration run of before (6 s idle windows, 1 s warm-ups, 3 s CPU
# windows) so that 2 interpreters x 2 loops x 3 rounds stay under half an hour on 2 cores.
FULL = {
    "lateness_jobs": [100, 1_000, 10_000], "lateness_args": ["--seconds", "6"],
    "cpu_args": ["--warmup", "0.5", "--seconds", "2"],
    # The idle window starts 2 s after the last first run: tyvo hands the heap that a burst of first
    # runs left full of holes back to the system a second after the burst, once (7-9 ms of CPU at
    # 100,000 jobs), which a window starting sooner counts as idle CPU.
    "scale_jobs": [10_000, 100_000], "scale_args": ["--idle", "3", "--settle", "2"],
    "cron_args": [],
}
# A check that every script runs on every configuration, in about 20 s per configuration.
QUICK = {
    "lateness_jobs": [100, 1_000], "lateness_args": ["--seconds", "2"],
    "cpu_args": ["--warmup", "0.2", "--seconds", "0.5"],
    "scale_jobs": [1_000, 10_000], "scale_args": ["--idle", "0.5", "--settle", "0.2"],
    "cron_args": ["--samples", "20"],
}


def config_cases(settings, loop):
    """(case key, [(variant key, script arguments)]) of one configuration in one round."""
    on_loop = ["--loop", loop]
    for jobs in settings["lateness_jobs"]:
        yield ("lateness", jobs), [(name, ["lateness.py", name, str(jobs), *settings["lateness_args"], *on_loop])
                                   for name in CONTESTANTS]
    yield ("cpu_per_run",), [("%s@%sms" % (name, interval),
                              ["cpu_per_run.py", name, interval, *settings["cpu_args"], *on_loop])
                             for name, interval in CPU_VARIANTS]
    for jobs in settings["scale_jobs"]:
        yield ("scale", jobs), [(name, ["scale.py", name, str(jobs), *settings["scale_args"], *on_loop])
                                for name in CONTESTANTS]


def run_child(python, command, timeout):
    began = time.monotonic()
    try:
        finished = subprocess.run([python, *command], cwd=HERE, capture_output=True, text=True, timeout=timeout)
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


def parse_config(text):
    label, _, python = text.partition("=")
    version, _, loop = label.partition(":")
    if not python or loop not in ("asyncio", "uvloop"):
        raise argparse.ArgumentTypeError("expected VERSION:asyncio|uvloop=INTERPRETER, got %r" % text)
    return {"label": label, "version": version, "loop": loop, "python": python}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True, help="native build dir with native_cron and cron-next")
    parser.add_argument("--config", type=parse_config, action="append", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rounds-100k", type=int, default=2, help="rounds for the largest scale case")
    parser.add_argument("--quick", action="store_true", help="one short round with small N, to check the tooling")
    parser.add_argument("--out", default=os.path.join(HERE, "..", "results.md"))
    parser.add_argument("--raw", default=None, help="also write every run's raw result here (JSON)")
    parser.add_argument("--command", default="bash bench/run_compare.sh", help="command shown in the report")
    parser.add_argument("--source", default="", help="what tyvo was built from, shown in the report")
    parser.add_argument("--timeout", type=int, default=180, help="seconds allowed for one child run")
    options = parser.parse_args()
    settings = dict(QUICK if options.quick else FULL)
    rounds = 1 if options.quick else options.rounds
    rounds_big = min(rounds, options.rounds_100k)
    biggest = ("scale", max(settings["scale_jobs"]))
    native_build = os.path.abspath(options.native_build)

    configs = options.config
    interpreters = {}  # version -> interpreter, the first configuration's; cron runs once per version
    for config in configs:
        interpreters.setdefault(config["version"], config["python"])
    described = {version: run_child(python, ["machine.py"], 60) for version, python in interpreters.items()}

    before = machine.describe()
    began = time.monotonic()
    results = {}

    def measure(scope, case, variants, python, round_index):
        # Rotate who goes first, so that no contestant always meets the same neighbour's wake.
        for variant, command in rotated(variants, round_index):
            print("round %d  %-13s %-16s %-16s" % (round_index + 1, scope, "/".join(map(str, case)), variant),
                  end="", file=sys.stderr, flush=True)
            result = run_child(python, command, options.timeout)
            print("  %s" % (result.get("error") or "%.1f s" % result["wall_s"]), file=sys.stderr, flush=True)
            results.setdefault(json.dumps([scope, *case]), {}).setdefault(variant, []).append(result)

    for round_index in range(rounds):
        for config in rotated(configs, round_index):
            for case, variants in config_cases(settings, config["loop"]):
                if case == biggest and round_index >= rounds_big:
                    continue
                measure(config["label"], case, variants, config["python"], round_index)
        for version, python in interpreters.items():
            measure(version, ("cron",), [("python", ["cron_next.py", *settings["cron_args"]])], python, round_index)
        measure("native", ("cron",), [("native", ["native_cron.py", native_build])], sys.executable, round_index)
    after = machine.describe()

    run = {
        "machine": before,
        "interpreters": described,
        "configs": [{key: config[key] for key in ("label", "version", "loop")} for config in configs],
        "settings": settings,
        "quick": options.quick,
        "load_after": after["load"],
        "duration_s": round(time.monotonic() - began),
        "rounds": rounds,
        "rounds_100k": rounds_big,
        "command": options.command,
        "source": options.source,
        "native_build": os.path.relpath(native_build, os.path.join(HERE, "..", "..")),
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
