"""Turns the rounds collected by run_all.py into bench/results.md: medians over rounds, ratios
measured within the same run, and the targets they are held against, for every configuration
(interpreter x event loop) side by side."""

import json
import statistics

CPU_LABELS = {"tyvo@0ms": "tyvo, zero interval", "asyncio@0ms": "plain asyncio loop, `sleep(0)`",
              "tyvo@1ms": "tyvo, 1 ms", "asyncio@1ms": "plain asyncio loop, 1 ms",
              "apscheduler@1ms": "APScheduler 3, 1 ms"}
NAMES = {"tyvo": "tyvo", "asyncio": "plain asyncio loop", "apscheduler": "APScheduler 3"}
CRON_PATTERNS = ("*/15 * * * *", "0 0 L * *", "0 0 * * 5#2", "30 */15 * * * *")
RSS_LIMIT = 1536  # bytes per job: below the plain loop's one task per job
IDLE_LIMIT = 0.05  # percent of one core: what still reads 0.0 at one decimal


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


def at_most(value, limit):
    return None if value is None else value <= limit


def option(arguments, name):
    return arguments[arguments.index(name) + 1] if name in arguments else None


class Report:
    def __init__(self, run):
        self.run = run
        self.settings = run["settings"]
        self.results = {tuple(json.loads(key)): value for key, value in run["results"].items()}
        self.configs = run["configs"]
        self.targets = {}  # target text -> {config label: (measured, ok)}, in the order first met
        self.problems = []

    def runs(self, scope, case, variant, loop=None):
        runs = self.results.get((scope, *case), {}).get(variant, [])
        for run in runs:
            if "error" in run:
                self.problems.append("%s %s / %s: %s" % (scope, "/".join(map(str, case)), variant, run["error"]))
            elif loop and run.get("loop") != loop:
                self.problems.append("%s %s / %s: ran on %s, not %s" % (
                    scope, "/".join(map(str, case)), variant, run.get("loop"), loop))
        return [run for run in runs if "error" not in run]

    def target(self, config, text, measured, ok):
        self.targets.setdefault(text, {})[config["label"]] = (measured, ok)

    def lateness(self, config):
        label, loop = config["label"], config["loop"]
        lines = ["### Lateness: N jobs on a 1 s interval, about %s s" % option(self.settings["lateness_args"], "--seconds"),
                 "",
                 "| jobs | contestant | runs measured | p50 ms | p99 ms | max ms | p99 per round ms | CPU s |",
                 "|---:|---|---:|---:|---:|---:|---|---:|"]
        p50, p99 = {}, {}
        for jobs in self.settings["lateness_jobs"]:
            for name in ("tyvo", "asyncio", "apscheduler"):
                runs = self.runs(label, ("lateness", jobs), name, loop)
                p50[jobs, name], p99[jobs, name] = median_of(runs, "p50_ms"), median_of(runs, "p99_ms")
                lines.append("| {:,} | {} | {} | {} | {} | {} | {} | {} |".format(
                    jobs, NAMES[name], number(median_of(runs, "runs_measured"), 0), number(p50[jobs, name], 2),
                    number(p99[jobs, name], 2), number(median_of(runs, "max_ms"), 2),
                    ", ".join(number(run["p99_ms"], 1) for run in runs), number(median_of(runs, "cpu_s"), 2)))
        lines.append("")
        for jobs in self.settings["lateness_jobs"]:
            p99_loop = ratio(p99[jobs, "tyvo"], p99[jobs, "asyncio"])
            p50_loop = ratio(p50[jobs, "tyvo"], p50[jobs, "asyncio"])
            p99_aps = ratio(p99[jobs, "tyvo"], p99[jobs, "apscheduler"])
            lines.append("- N = {:,}: tyvo / plain loop: p99 {}, p50 {}; tyvo p99 / APScheduler p99 = {}".format(
                jobs, number(p99_loop, 2), number(p50_loop, 2), number(p99_aps, 3)))
            self.target(config, "lateness p99 at N = {:,}: tyvo / plain loop at most 1".format(jobs),
                        number(p99_loop, 2), at_most(p99_loop, 1))
            self.target(config, "lateness p50 at N = {:,}: tyvo / plain loop at most 1".format(jobs),
                        number(p50_loop, 2), at_most(p50_loop, 1))
        biggest = max(self.settings["lateness_jobs"])
        p99_aps = ratio(p99[biggest, "tyvo"], p99[biggest, "apscheduler"])
        self.target(config, "lateness p99 at N = {:,}: tyvo / APScheduler at most 0.1 (earlier target)".format(biggest),
                    number(p99_aps, 3), at_most(p99_aps, 0.1))
        return lines

    def cpu(self, config):
        label, loop = config["label"], config["loop"]
        arguments = self.settings["cpu_args"]
        lines = ["### CPU per run: 100 jobs, smallest practical interval (%s s warm-up, %s s measured)" % (
                 option(arguments, "--warmup"), option(arguments, "--seconds")), "",
                 "| contestant | runs per s | CPU ms per 1,000 runs | CPU % of one core |", "|---|---:|---:|---:|"]
        per_run = {}
        for variant, text in CPU_LABELS.items():
            runs = self.runs(label, ("cpu_per_run",), variant, loop)
            per_run[variant] = median_of(runs, "cpu_ms_per_1000_runs")
            lines.append("| %s | %s | %s | %s |" % (text, number(median_of(runs, "runs_per_s"), 0),
                                                   number(per_run[variant], 2), number(median_of(runs, "cpu_percent"), 0)))
        back_to_back = ratio(per_run["tyvo@0ms"], per_run["asyncio@0ms"])
        at_1ms = ratio(per_run["tyvo@1ms"], per_run["asyncio@1ms"])
        against_aps = ratio(per_run["tyvo@1ms"], per_run["apscheduler@1ms"])
        lines += ["", "- CPU per run, tyvo / plain loop: back to back %s, at 1 ms %s; tyvo / APScheduler at 1 ms %s" % (
            number(back_to_back, 2), number(at_1ms, 2), number(against_aps, 2))]
        self.target(config, "CPU per run back to back: tyvo / plain loop at most 3", number(back_to_back, 2),
                    at_most(back_to_back, 3))
        self.target(config, "CPU per run at 1 ms: tyvo / APScheduler at most 1 (earlier target)", number(against_aps, 2),
                    at_most(against_aps, 1))
        return lines

    def scale(self, config):
        label, loop = config["label"], config["loop"]
        arguments = self.settings["scale_args"]
        small, big = min(self.settings["scale_jobs"]), max(self.settings["scale_jobs"])
        lines = ["### Scale: N jobs on an hourly interval (idle window %s s, starting %s s after the last first run)" % (
                 option(arguments, "--idle"), option(arguments, "--settle")), "",
                 "| jobs | contestant | schedule all s | start to all first runs s | RSS per job B | idle CPU % "
                 "| shutdown s |", "|---:|---|---:|---:|---:|---:|---:|"]
        medians = {}
        for jobs in self.settings["scale_jobs"]:
            for name in ("tyvo", "asyncio", "apscheduler"):
                runs = self.runs(label, ("scale", jobs), name, loop)
                row = {field: median_of(runs, field) for field in
                       ("schedule_s", "first_runs_s", "rss_per_job_bytes", "idle_cpu_pct", "shutdown_s")}
                medians[jobs, name] = row
                lines.append("| {:,} | {} | {} | {} | {} | {} | {} |".format(
                    jobs, NAMES[name], number(row["schedule_s"], 3), number(row["first_runs_s"], 3),
                    number(row["rss_per_job_bytes"], 0), number(row["idle_cpu_pct"], 3), number(row["shutdown_s"], 3)))
        tyvo, tyvo_small = medians[big, "tyvo"], medians[small, "tyvo"]
        aps_small = medians[small, "apscheduler"]["rss_per_job_bytes"]
        self.target(config, "RSS per job at N = {:,} at most {:,} B".format(big, RSS_LIMIT),
                    "%s B" % number(tyvo["rss_per_job_bytes"], 0), at_most(tyvo["rss_per_job_bytes"], RSS_LIMIT))
        below_aps = None
        if tyvo_small["rss_per_job_bytes"] is not None and aps_small is not None:
            below_aps = tyvo_small["rss_per_job_bytes"] < aps_small
        self.target(config, "RSS per job at N = {:,} below APScheduler's".format(small),
                    "%s B vs %s B" % (number(tyvo_small["rss_per_job_bytes"], 0), number(aps_small, 0)), below_aps)
        self.target(config, "N = {:,}: every first run within 1.5 s of start".format(big),
                    "%s s" % number(tyvo["first_runs_s"], 2), at_most(tyvo["first_runs_s"], 1.5))
        self.target(config, "N = {:,}: scheduling all within 1.5 s".format(big),
                    "%s s" % number(tyvo["schedule_s"], 2), at_most(tyvo["schedule_s"], 1.5))
        idle = tyvo["idle_cpu_pct"]
        self.target(config, "N = {:,}: idle CPU 0.0 % (of one core, at one decimal: below {} %)".format(big, IDLE_LIMIT),
                    "%s %%" % number(idle, 3), None if idle is None else idle < IDLE_LIMIT)
        return lines

    def cron(self, version):
        """tyvo's native engine against this interpreter's Python engines."""
        lines = ["### Cron: next occurrence on CPython %s" % version, "",
                 "| pattern | tyvo next ns | tyvo parse+next ns | croniter next ns | croniter parse+next ns | "
                 "APScheduler next ns | APScheduler parse+next ns | croniter / tyvo (next) | croniter / tyvo "
                 "(parse+next) |", "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        native_runs = self.runs("native", ("cron",), "native")
        python_runs = self.runs(version, ("cron",), "python")
        worst = None
        mappings = []
        for pattern in CRON_PATTERNS:
            def native(field):
                values = [run["patterns"][pattern][field] for run in native_runs if run["patterns"].get(pattern)]
                return statistics.median(values) if values else None

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
        for config in self.configs:
            if config["version"] == version:
                self.target(config, "cron next occurrence at least 50x faster than croniter",
                            "worst pattern %sx" % number(worst, 0), None if worst is None else worst >= 50)
        return lines, mappings

    def cron_sections(self):
        lines = ["## Cron: next occurrence", "",
                 "Commands: tyvo's native benchmark `%s/bench/native_cron` (Release; median of batch averages, "
                 "starts spread over 2024-2030) and `python bench/compare/cron_next.py` on each interpreter (same "
                 "starts; median of %s batches of 20 calls). \"next\" = pattern already parsed; \"parse+next\" = "
                 "parse, then next (tyvo's job task does this at every fire time). The search does not depend on "
                 "the event loop, so it is timed once per interpreter." % (
                     self.run["native_build"], option(self.settings["cron_args"], "--samples") or 300), ""]
        mappings = []
        for version in dict.fromkeys(config["version"] for config in self.configs):
            section, mappings = self.cron(version)
            lines += section + [""]
        lines += ["How each pattern was written for the peers (every one of the four is expressible in both; "
                  "APScheduler numbers weekdays from Monday = 0, so weekdays are given by name):", ""] + mappings
        native_runs = self.runs("native", ("cron",), "native")
        if native_runs:
            agreement = native_runs[0]["agreement"]
            lines += ["", "tyvo's engine (through its `cron-next` tool) and croniter agree on %d of %d next "
                      "occurrences checked%s." % (agreement["compared"] - agreement["problem_count"],
                                                  agreement["compared"],
                                                  "" if not agreement["problems"] else ": " + "; ".join(agreement["problems"]))]
        return lines

    def config_title(self, config):
        described = self.run["interpreters"].get(config["version"], {})
        packages = described.get("packages", {})
        loop = "stock asyncio loop" if config["loop"] == "asyncio" else "uvloop %s" % packages.get("uvloop", "?")
        return "%s, %s" % (described.get("python", "Python " + config["version"]), loop)

    def summary(self):
        labels = [config["label"] for config in self.configs]
        lines = ["| target | %s |" % " | ".join(self.config_title(config) for config in self.configs),
                 "|---|" + "---|" * len(labels)]
        for text, cells in self.targets.items():
            row = []
            for label in labels:
                measured, ok = cells.get(label, ("n/a", None))
                row.append("n/a" if ok is None else "%s %s" % (verdict(ok), measured))
            lines.append("| %s | %s |" % (text, " | ".join(row)))
        return lines

    def versions(self):
        lines = []
        for version, described in self.run["interpreters"].items():
            if "error" in described:
                lines.append("- Python %s: could not describe (%s)" % (version, described["error"]))
                continue
            packages = described["packages"]
            lines.append("- %s: tyvo %s%s; APScheduler %s; croniter %s; uvloop %s" % (
                described["python"], packages["tyvo"], " (%s)" % self.run["source"] if self.run["source"] else "",
                packages["APScheduler"], packages["croniter"], packages["uvloop"]))
        return lines

    def render(self):
        run, machine = self.run, self.run["machine"]
        details = []
        for config in self.configs:
            details += ["## %s" % self.config_title(config), ""]
            details += self.lateness(config) + [""] + self.cpu(config) + [""] + self.scale(config) + [""]
        details += self.cron_sections()
        settings = self.settings
        header = [
            "# tyvo beside APScheduler 3 and a plain asyncio loop", "",
        ]
        if run.get("quick"):
            header += ["**QUICK run: one short round with small N, to check the tooling. These are not figures "
                       "to quote.**", ""]
        header += [
            "Generated by `%s` (%d s, %s). Every figure is the median over %d round(s) (the %s-job scale case: %d), "
            "each run in a fresh process; within each round the configurations run one after the other, "
            "contestants are interleaved within each case, and both orders are rotated from round to round. "
            "Ratios compare medians from this one run." % (
                run["command"], run["duration_s"], "%d min %02d s" % divmod(run["duration_s"], 60), run["rounds"],
                "{:,}".format(max(settings["scale_jobs"])), run["rounds_100k"]), "",
            "- Date: %s" % machine["date"],
            "- Machine: %d CPUs (`nproc`), %s, Linux %s; load average %s at the start, %s at the end "
            "(a shared box: other builds may run alongside)" % (
                machine["nproc"], machine["cpu"], machine["kernel"], " / ".join(map(str, machine["load"])),
                " / ".join(map(str, run["load_after"]))),
        ] + self.versions() + [
            "- Workloads: `python bench/compare/lateness.py CONTESTANT N %s`, `cpu_per_run.py CONTESTANT "
            "INTERVAL_MS %s`, `scale.py CONTESTANT N %s`, each with `--loop asyncio|uvloop`; uvloop is installed "
            "as the loop factory of `asyncio.Runner`, so all three contestants run on it." % (
                " ".join(settings["lateness_args"]), " ".join(settings["cpu_args"]), " ".join(settings["scale_args"])),
            "", "## Targets", "",
            "Each cell: verdict and the measured figure (a ratio unless a unit is given).", ""]
        header += self.summary() + [""]
        if self.problems:
            header += ["Runs that failed:", ""] + ["- " + problem for problem in self.problems] + [""]
        notes = ["", "## How the contestants were set up", "",
                 "- tyvo: `Scheduler.schedule(handler, Trigger.Interval(...), args=(i,))` for every job, then "
                 "`start()` as a separate task; its first run is immediate and its interval counts from the end of "
                 "the previous run. The `tyvo` logger is set to ERROR, so the WARN line each job logs at shutdown "
                 "is dropped inside tyvo.",
                 "- Plain asyncio loop: one task per job, `while True: await work(i); await asyncio.sleep(interval)`; "
                 "back to back that is `await asyncio.sleep(0)`.",
                 "- APScheduler 3: `AsyncIOScheduler` with an `IntervalTrigger`, jobs added before `start()` with "
                 "`next_run_time=now` so that the first run is immediate too; `misfire_grace_time=None` so that "
                 "no late run is silently dropped. For lateness `coalesce=False` (every fire time runs and is "
                 "measured against that fire time, taken from the scheduler's submission event); for CPU per run "
                 "its default `coalesce=True` (one run per submission). Its loggers are silenced. It cannot run "
                 "at a zero interval, so it has only the 1 ms row.",
                 "- Lateness is measured against each contestant's own promise: one interval after the previous "
                 "run's end for tyvo and the plain loop, the fire time for APScheduler. The first run of each job "
                 "is excluded.",
                 "- Scale: APScheduler's `add_job` before `start()` only queues the job; it is stored at "
                 "`start()`, so that cost lands in its \"start to all first runs\" column. The plain loop's "
                 "\"schedule\" is creating the tasks and its shutdown is cancelling and gathering them; "
                 "APScheduler's shutdown is `shutdown(wait=False)` until its state is stopped. Idle CPU is the "
                 "process's CPU time over the idle window as a percentage of one core.",
                 "", "Where tyvo's time and memory go: `bash bench/compare/profile_tyvo.sh cpu|pipeline|memory|gil` "
                 "(perf, uprobes and massif on the same workloads)."]
        return "\n".join(header + details + notes) + "\n"


def render(run):
    return Report(run).render()
