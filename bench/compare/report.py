"""Turns the rounds collected by run_all.py into bench/results.md: medians over rounds, ratios
measured within the same run, and the targets they are held against."""

import json
import statistics

CPU_LABELS = {"tyvo@0ms": "tyvo, zero interval", "tyvo@1ms": "tyvo, 1 ms", "asyncio@1ms": "plain asyncio loop, 1 ms",
              "apscheduler@1ms": "APScheduler 3, 1 ms"}
NAMES = {"tyvo": "tyvo", "asyncio": "plain asyncio loop", "apscheduler": "APScheduler 3"}


def median_of(runs, field):
    values = [run[field] for run in runs if run.get(field) is not None]
    return statistics.median(values) if values else None


def ratio(numerator, denominator):
    if numerator is None or not denominator:
        return None
    return numerator / denominator


def number(value, digits=1):
    if value is None:
        return "n/a"
    if isinstance(value, float) and abs(value) >= 100:
        return "{:,.0f}".format(value)
    return "{:,.{}f}".format(value, digits)


def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "**missed**")


def errors_of(runs):
    return [run["error"] for run in runs if "error" in run]


class Report:
    def __init__(self, run):
        self.run = run
        self.results = {tuple(json.loads(key)): value for key, value in run["results"].items()}
        self.targets = []
        self.problems = []

    def runs(self, case, variant):
        runs = self.results.get(case, {}).get(variant, [])
        for error in errors_of(runs):
            self.problems.append("%s / %s: %s" % ("/".join(map(str, case)), variant, error))
        return [run for run in runs if "error" not in run]

    def target(self, text, measured, ok):
        self.targets.append("| %s | %s | %s |" % (text, measured, verdict(ok)))

    def lateness(self):
        lines = ["## Lateness: N jobs on a 1 s interval, about 6 s", "",
                 "Command: `python bench/compare/lateness.py CONTESTANT N` (one process per run).", "",
                 "| jobs | contestant | runs measured | p50 ms | p99 ms | max ms | p99 per round ms | CPU s |",
                 "|---:|---|---:|---:|---:|---:|---|---:|"]
        p99 = {}
        for jobs in (100, 1_000, 10_000):
            for name in ("tyvo", "asyncio", "apscheduler"):
                runs = self.runs(("lateness", jobs), name)
                p99[jobs, name] = median_of(runs, "p99_ms")
                lines.append("| {:,} | {} | {} | {} | {} | {} | {} | {} |".format(
                    jobs, NAMES[name], number(median_of(runs, "runs_measured"), 0), number(median_of(runs, "p50_ms"), 2),
                    number(p99[jobs, name], 2), number(median_of(runs, "max_ms"), 2),
                    ", ".join(number(run["p99_ms"], 1) for run in runs), number(median_of(runs, "cpu_s"), 2)))
        lines.append("")
        for jobs in (100, 1_000, 10_000):
            against_loop = ratio(p99[jobs, "tyvo"], p99[jobs, "asyncio"])
            against_aps = ratio(p99[jobs, "tyvo"], p99[jobs, "apscheduler"])
            lines.append("- N = {:,}: tyvo p99 / plain loop p99 = {}; tyvo p99 / APScheduler p99 = {}".format(
                jobs, number(against_loop, 2), number(against_aps, 3)))
            self.target("lateness p99 at N = {:,} no worse than the plain loop".format(jobs),
                        "ratio %s" % number(against_loop, 2), None if against_loop is None else against_loop <= 1)
        against_aps = ratio(p99[10_000, "tyvo"], p99[10_000, "apscheduler"])
        self.target("lateness p99 at N = 10,000 at most 1/10 of APScheduler's", "ratio %s" % number(against_aps, 3),
                    None if against_aps is None else against_aps <= 0.1)
        return lines

    def cpu(self):
        lines = ["## CPU per run: 100 jobs, smallest practical interval", "",
                 "Command: `python bench/compare/cpu_per_run.py CONTESTANT INTERVAL_MS` "
                 "(1 s warm-up, then 3 s measured; process CPU of all threads).", "",
                 "| contestant | runs per s | CPU ms per 1,000 runs | CPU % of one core |", "|---|---:|---:|---:|"]
        per_run = {}
        for variant, label in CPU_LABELS.items():
            runs = self.runs(("cpu_per_run",), variant)
            per_run[variant] = median_of(runs, "cpu_ms_per_1000_runs")
            lines.append("| %s | %s | %s | %s |" % (label, number(median_of(runs, "runs_per_s"), 0),
                                                   number(per_run[variant], 2), number(median_of(runs, "cpu_percent"), 0)))
        against_aps = ratio(per_run["tyvo@1ms"], per_run["apscheduler@1ms"])
        lines += ["", "- tyvo (1 ms) / APScheduler (1 ms), CPU per run: %s; tyvo (1 ms) / plain loop: %s" % (
            number(against_aps, 2), number(ratio(per_run["tyvo@1ms"], per_run["asyncio@1ms"]), 2))]
        self.target("CPU per run at 1 ms at most APScheduler's", "ratio %s" % number(against_aps, 2),
                    None if against_aps is None else against_aps <= 1)
        return lines

    def scale(self):
        lines = ["## Scale: N jobs on an hourly interval", "",
                 "Command: `python bench/compare/scale.py CONTESTANT N` (idle window 5 s, starting 1 s after the "
                 "last first run).", "",
                 "| jobs | contestant | schedule all s | start to all first runs s | RSS per job B | idle CPU % "
                 "| shutdown s |", "|---:|---|---:|---:|---:|---:|---:|"]
        medians = {}
        for jobs in (10_000, 100_000):
            for name in ("tyvo", "asyncio", "apscheduler"):
                runs = self.runs(("scale", jobs), name)
                row = {field: median_of(runs, field) for field in
                       ("schedule_s", "first_runs_s", "rss_per_job_bytes", "idle_cpu_pct", "shutdown_s")}
                medians[jobs, name] = row
                lines.append("| {:,} | {} | {} | {} | {} | {} | {} |".format(
                    jobs, NAMES[name], number(row["schedule_s"], 3), number(row["first_runs_s"], 3),
                    number(row["rss_per_job_bytes"], 0), number(row["idle_cpu_pct"], 3), number(row["shutdown_s"], 3)))
        tyvo = medians[100_000, "tyvo"]
        self.target("100,000 jobs: every first run within 1.5 s of start", "%s s" % number(tyvo["first_runs_s"], 2),
                    None if tyvo["first_runs_s"] is None else tyvo["first_runs_s"] <= 1.5)
        self.target("100,000 jobs: scheduling all within 1.5 s", "%s s" % number(tyvo["schedule_s"], 2),
                    None if tyvo["schedule_s"] is None else tyvo["schedule_s"] <= 1.5)
        self.target("100,000 jobs: at most 1.5 KiB RSS per job", "%s B" % number(tyvo["rss_per_job_bytes"], 0),
                    None if tyvo["rss_per_job_bytes"] is None else tyvo["rss_per_job_bytes"] <= 1536)
        self.target("100,000 jobs: 0.0 % CPU while idle", "%s %%" % number(tyvo["idle_cpu_pct"], 3),
                    None if tyvo["idle_cpu_pct"] is None else round(tyvo["idle_cpu_pct"], 1) == 0.0)
        return lines

    def cron(self):
        lines = ["## Cron: next occurrence", "",
                 "Commands: tyvo's native benchmark `build/bench-native/bench/native_cron` (Release; median of "
                 "batch averages, starts spread over 2024-2030) and `python bench/compare/cron_next.py` (same "
                 "starts; median of 300 batches of 20 calls). \"next\" = pattern already parsed; \"parse+next\" = "
                 "parse, then next (tyvo's job task does this at every fire time).", "",
                 "| pattern | tyvo next ns | tyvo parse+next ns | croniter next ns | croniter parse+next ns | "
                 "APScheduler next ns | APScheduler parse+next ns | croniter / tyvo (next) | croniter / tyvo "
                 "(parse+next) |", "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        native_runs = self.runs(("cron",), "native")
        python_runs = self.runs(("cron",), "python")
        worst = None
        mappings = []
        for pattern in ("*/15 * * * *", "0 0 L * *", "0 0 * * 5#2", "30 */15 * * * *"):
            def native(field):
                return statistics.median([run["patterns"][pattern][field] for run in native_runs
                                          if run["patterns"].get(pattern)] or [None]) if native_runs else None

            def python(library, field):
                values = [run["patterns"][pattern][library][field] for run in python_runs]
                return statistics.median(values) if values else None

            tyvo_next, tyvo_parse = native("next_ns"), native("parse_next_ns")
            speedup = ratio(python("croniter", "next_ns"), tyvo_next)
            worst = speedup if worst is None or (speedup is not None and speedup < worst) else worst
            lines.append("| `%s` | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                pattern, number(tyvo_next), number(tyvo_parse), number(python("croniter", "next_ns")),
                number(python("croniter", "parse_next_ns")), number(python("apscheduler", "next_ns")),
                number(python("apscheduler", "parse_next_ns")), number(speedup, 0),
                number(ratio(python("croniter", "parse_next_ns"), tyvo_parse), 0)))
            if python_runs:
                entry = python_runs[0]["patterns"][pattern]
                mappings.append("- `%s`: croniter `%s`%s; APScheduler `%s`%s" % (
                    pattern, entry["croniter"]["expression"],
                    " with second_at_beginning=True" if pattern.count(" ") == 5 else "",
                    entry["apscheduler"]["expression"],
                    "" if entry["disagreement"] is None else " (**%s**)" % entry["disagreement"]))
        lines += ["", "How each pattern was written for the peers (every one of the four is expressible in both; "
                  "APScheduler numbers weekdays from Monday = 0, so weekdays are given by name):", ""] + mappings
        if native_runs:
            agreement = native_runs[0]["agreement"]
            lines += ["", "tyvo's engine (through its `cron-next` tool) and croniter agree on %d of %d next "
                      "occurrences checked%s." % (agreement["compared"] - agreement["problem_count"],
                                                  agreement["compared"],
                                                  "" if not agreement["problems"] else ": " + "; ".join(agreement["problems"]))]
        self.target("cron next occurrence at least 50x faster than croniter", "worst pattern %sx" % number(worst, 0),
                    None if worst is None else worst >= 50)
        return lines

    def render(self):
        run, machine = self.run, self.run["machine"]
        sections = self.lateness() + [""] + self.cpu() + [""] + self.scale() + [""] + self.cron()
        header = [
            "# tyvo beside APScheduler 3 and a plain asyncio loop", "",
            "Generated by `%s` (%d s). Every figure is the median over %d rounds (the 100,000-job scale case: %d), "
            "each run in a fresh process; contestants are interleaved within each round and the order is rotated "
            "from round to round. Ratios compare medians from this one run." % (
                run["command"], run["duration_s"], run["rounds"], run["rounds_100k"]), "",
            "- Date: %s" % machine["date"],
            "- Machine: %d CPUs (`nproc`), %s, Linux %s; load average %s at the start, %s at the end "
            "(a shared box: other builds may run alongside)" % (
                machine["nproc"], machine["cpu"], machine["kernel"], " / ".join(map(str, machine["load"])),
                " / ".join(map(str, run["load_after"]))),
            "- Python: %s; tyvo %s%s; APScheduler %s; croniter %s" % (
                machine["python"], machine["packages"]["tyvo"], " (%s)" % run["source"] if run["source"] else "",
                machine["packages"]["APScheduler"], machine["packages"]["croniter"]),
            "", "## Targets", "", "| target | measured | |", "|---|---|---|"] + self.targets + [""]
        if self.problems:
            header += ["Runs that failed:", ""] + ["- " + problem for problem in self.problems] + [""]
        notes = ["", "## How the contestants were set up", "",
                 "- tyvo: `Scheduler.schedule(handler, Trigger.Interval(...), args=(i,))` for every job, then "
                 "`start()` as a separate task; its first run is immediate and its interval counts from the end of "
                 "the previous run. The `tyvo` logger is set to ERROR, so the WARN line each job logs at shutdown "
                 "is dropped inside tyvo.",
                 "- Plain asyncio loop: one task per job, `while True: await work(i); await asyncio.sleep(interval)`.",
                 "- APScheduler 3: `AsyncIOScheduler` with an `IntervalTrigger`, jobs added before `start()` with "
                 "`next_run_time=now` so that the first run is immediate too; `misfire_grace_time=None` so that "
                 "no late run is silently dropped. For lateness `coalesce=False` (every fire time runs and is "
                 "measured against that fire time, taken from the scheduler's submission event); for CPU per run "
                 "its default `coalesce=True` (one run per submission). Its loggers are silenced.",
                 "- Lateness is measured against each contestant's own promise: one interval after the previous "
                 "run's end for tyvo and the plain loop, the fire time for APScheduler. The first run of each job "
                 "is excluded.",
                 "- Scale: APScheduler's `add_job` before `start()` only queues the job; it is stored at "
                 "`start()`, so that cost lands in its \"start to all first runs\" column. The plain loop's "
                 "\"schedule\" is creating the tasks and its shutdown is cancelling and gathering them; "
                 "APScheduler's shutdown is `shutdown(wait=False)` until its state is stopped.",
                 "", "Where tyvo's time and memory go: `bash bench/compare/profile_tyvo.sh cpu|pipeline|memory` "
                 "(perf, uprobes and massif on the same workloads)."]
        return "\n".join(header + sections + notes) + "\n"


def render(run):
    return Report(run).render()
