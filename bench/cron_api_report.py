"""Turns the JSON lines of bench/cron_api.py into bench/cron-api-results.md.

    python bench/cron_api_report.py RESULTS_DIR COMMAND VERSION...
"""

import json
import os
import platform
import subprocess
import sys
from pathlib import Path

# croniter-rs is not installed here; the figure its authors' users see, as quoted when this
# benchmark was set up, stands in for it.
CRONITER_RS_NS = 1700


def load(directory, version, engine):
    return json.loads((Path(directory) / f"{version}-{engine}.json").read_text())


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    load = open("/proc/loadavg").read().split()[0]
    return f"{cpu}, {os.cpu_count()} cores (load average {load} when reported), {platform.system()} {platform.release()}"


def micro(ns):
    return f"{ns / 1000:.2f} µs" if ns >= 1000 else f"{ns:.0f} ns"


def main(directory, command, *versions):
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    lines = ["# tyvo_cron beside croniter and cronsim", "",
             f"Reproduce with `{command}`. Commit {commit}; {machine()}.",
             "Per call, median over 400 batches of 50 calls, starts spread over 2024-2030 (aware, UTC; the",
             "zoned pattern's starts in Europe/Berlin, and croniter and cronsim get the plain pattern with",
             "those starts). `next`: the first occurrence strictly after a given start, the pattern parsed",
             "once (cronsim takes its start only when built, so its figure includes the parse). `iterate`:",
             "each further occurrence of one iterator. The factors compare `next`; croniter-rs is not",
             f"installed here and stands in with the {CRONITER_RS_NS / 1000} µs per call quoted for it.", ""]
    for version in versions:
        ours, croniter, cronsim = (load(directory, version, e) for e in ("tyvo_cron", "croniter", "cronsim"))
        lines += [f"## CPython {ours['python']} (croniter {croniter['version']}, cronsim {cronsim['version']})", "",
                  "| pattern | tyvo_cron next / iterate | croniter next / iterate | cronsim next / iterate "
                  "| x croniter | x cronsim | x croniter-rs |",
                  "|---|---|---|---|---|---|---|"]
        for pattern, figures in ours["patterns"].items():
            theirs = croniter["patterns"][pattern], cronsim["patterns"][pattern]
            for other in theirs:
                assert other["first"] == figures["first"], f"the engines disagree on {pattern}"
            mine = figures["next_ns"]
            lines.append(
                f"| `{pattern}` | {micro(mine)} / {micro(figures['iterate_ns'])} "
                f"| {micro(theirs[0]['next_ns'])} / {micro(theirs[0]['iterate_ns'])} "
                f"| {micro(theirs[1]['next_ns'])} / {micro(theirs[1]['iterate_ns'])} "
                f"| {theirs[0]['next_ns'] / mine:.0f} | {theirs[1]['next_ns'] / mine:.0f} | {CRONITER_RS_NS / mine:.1f} |")
        lines.append("")
    lines.append("Every engine gave the same first three occurrences for every pattern (checked by the report).")
    print("\n".join(lines))


if __name__ == "__main__":
    main(*sys.argv[1:])
