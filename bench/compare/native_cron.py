"""tyvo's cron engine measured natively: runs the native_cron benchmark and reads its table, and
checks with the cron-next tool that the engine's answers match croniter's on the same starts.

    python native_cron.py BUILD_DIR

BUILD_DIR is a native build configured with -DTYVO_BENCH=ON (Release), in which the targets
native_cron and cron-next have been built. Prints one JSON line.
"""

import argparse
import os
import re
import subprocess
from datetime import datetime, timezone

from measure import emit

# e.g.  next_after           "*/15 * * * *"        median      16.5 ns   p99      17.3 ns   max ...
LINE = re.compile(r'^(next_after|parse \+ next_after)\s+"(.*?)"\s+median\s+([\d.]+) ns\s+p99\s+([\d.]+) ns')


def read_table(output):
    """Only the everyday section is wanted: the nasty one repeats the figure names."""
    timings = {}
    section = None
    for line in output.splitlines():
        if not line.startswith((" ", "next", "parse")):
            section = line.strip()
            continue
        match = LINE.match(line)
        if match and section == "everyday patterns":
            what, pattern, median, p99 = match.groups()
            key = "next_ns" if what == "next_after" else "parse_next_ns"
            timings.setdefault(pattern, {})[key] = float(median)
            timings[pattern][key.replace("_ns", "_p99_ns")] = float(p99)
    return timings


def cross_check(build_dir, patterns):
    """Asks cron-next and croniter for the next occurrence after the benchmark's starts."""
    from cron_next import PATTERNS, starts
    from croniter import croniter

    tool = os.path.join(build_dir, "cron-next")
    start_times = starts()[:200]
    requests = []
    for pattern in patterns:
        for start in start_times:
            requests.append("%s\t1\t%s" % (start.strftime("%Y-%m-%dT%H:%M:%SZ"), pattern))
    answers = subprocess.run([tool, "--batch", "--last"], input="\n".join(requests) + "\n",
                             capture_output=True, text=True, check=True).stdout.splitlines()
    problems = []
    index = 0
    for pattern in patterns:
        expression, options = PATTERNS[pattern][0]
        for start in start_times:
            answer = answers[index].split()
            index += 1
            expected = croniter(expression, start, **options).get_next(datetime)
            got = (datetime.strptime(answer[1], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)
                   if answer[0] == "ok" else None)
            if got != expected:
                problems.append("%s after %s: tyvo %s, croniter %s" % (pattern, start, answers[index - 1], expected))
    return {"compared": index, "problems": problems[:5], "problem_count": len(problems)}


def measure(build_dir):
    output = subprocess.run([os.path.join(build_dir, "bench", "native_cron")], capture_output=True,
                            text=True, check=True).stdout
    timings = read_table(output)
    from cron_next import PATTERNS

    return {"workload": "cron_native", "patterns": {p: timings.get(p) for p in PATTERNS},
            "agreement": cross_check(build_dir, list(PATTERNS))}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    emit(measure(parser.parse_args().build_dir))


if __name__ == "__main__":
    main()
