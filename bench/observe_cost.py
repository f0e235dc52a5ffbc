"""What observing job runs costs: CPU per run of 100 do-nothing jobs run back to back, without
tyvo_observe ("none"), with it imported and nobody subscribed ("imported": the job-state
bookkeeping), with one subscriber that does nothing, with the Prometheus integration, with the
OpenTelemetry one (the SDK with a span processor that drops every span), with Sentry check-ins
(the SDK with a transport that drops the envelopes) and with healthchecks pings (to a server in
another process that answers 200).

    python bench/observe_cost.py [--rounds 3] [--seconds 3] [--jobs 100] [--loop asyncio|uvloop]
        [--modes none,imported,subscriber,prometheus,opentelemetry,sentry,healthchecks]
        [--python PYTHON ...]

Each measurement runs in a fresh process (modes interleaved, round after round); the table shows
medians. CPU is the whole process's (every thread: tyvo's workers run outside Python). Several
--python options compare interpreters or builds (say, one without tyvo_observe: mode "none" only).
"""

import argparse
import asyncio
import json
import statistics
import subprocess
import sys
import time
from datetime import timedelta

MODES = ("none", "imported", "subscriber", "prometheus", "opentelemetry", "sentry", "healthchecks")

PING_SERVER = """
import http.server, sys
class Answer(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"OK")
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answer)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


ping_server = None


def install(mode):
    if mode == "none":
        return None
    import tyvo_observe

    if mode == "imported":
        return None
    if mode == "subscriber":
        return tyvo_observe.subscribe(lambda event: None)
    if mode == "prometheus":
        from prometheus_client import CollectorRegistry

        return tyvo_observe.prometheus(CollectorRegistry())
    if mode == "opentelemetry":
        from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

        provider = TracerProvider()
        provider.add_span_processor(SpanProcessor())  # spans are made and ended, then dropped
        return tyvo_observe.opentelemetry(provider)
    if mode == "sentry":
        import sentry_sdk
        from sentry_sdk.transport import Transport

        class Drop(Transport):
            def capture_envelope(self, envelope):
                pass

        sentry_sdk.init(dsn="https://key@sentry.invalid/1", transport=Drop, default_integrations=False)
        return tyvo_observe.sentry_crons()
    if mode == "healthchecks":
        global ping_server
        server = ping_server = subprocess.Popen([sys.executable, "-c", PING_SERVER], stdout=subprocess.PIPE,
                                                stderr=subprocess.DEVNULL, text=True)
        port = int(server.stdout.readline())
        return tyvo_observe.healthchecks(f"http://127.0.0.1:{port}/ping-key")
    raise ValueError(mode)


async def measure(mode, jobs, warmup, seconds):
    import tyvo

    observer = install(mode)
    runs = 0

    async def work():
        nonlocal runs
        runs += 1

    scheduler = tyvo.Scheduler()
    for index in range(jobs):
        await scheduler.schedule(work, tyvo.Trigger.Interval(timedelta(0)), id=f"job-{index}")
    runner = asyncio.ensure_future(scheduler.start())
    await asyncio.sleep(warmup)
    runs_before, cpu_before, wall_before = runs, time.process_time(), time.monotonic()
    await asyncio.sleep(seconds)
    runs_after, cpu_after, wall_after = runs, time.process_time(), time.monotonic()
    await scheduler.shutdown()
    await runner
    if observer is not None:
        observer.close()
    measured = runs_after - runs_before
    if mode == "healthchecks":  # every ping goes out, or is dropped (more than 1,000 on their way)
        await observer.flush()
        ping_server.kill()
        ping_server.wait()
    return {"mode": mode, "runs_per_s": measured / (wall_after - wall_before),
            "cpu_us_per_run": (cpu_after - cpu_before) * 1e6 / measured}


def child(options):
    factory = None
    if options.loop == "uvloop":
        import uvloop

        factory = uvloop.new_event_loop
    with asyncio.Runner(loop_factory=factory) as runner:
        result = runner.run(measure(options.mode, options.jobs, options.warmup, options.seconds))
    print(json.dumps(result))


def parent(options):
    pythons = options.python or [sys.executable]
    modes = options.modes.split(",")
    results = {}
    for _ in range(options.rounds):
        for python in pythons:
            for mode in modes:
                command = [python, __file__, "--child", "--mode", mode, "--jobs", str(options.jobs),
                           "--warmup", str(options.warmup), "--seconds", str(options.seconds), "--loop", options.loop]
                done = subprocess.run(command, capture_output=True, text=True, timeout=300)
                if done.returncode != 0:  # a build without tyvo_observe measures "none" only
                    continue
                results.setdefault((python, mode), []).append(json.loads(done.stdout.splitlines()[-1]))
    print(f"{options.jobs} jobs back to back, {options.loop} loop, medians of {options.rounds} rounds of "
          f"{options.seconds:g} s")
    print("| python | mode | CPU per run, us | runs per s |")
    print("|---|---|---|---|")
    for (python, mode), rounds in results.items():
        cpu = statistics.median(r["cpu_us_per_run"] for r in rounds)
        rate = statistics.median(r["runs_per_s"] for r in rounds)
        print(f"| {python} | {mode} | {cpu:.2f} | {rate:,.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mode", choices=MODES, default="none", help=argparse.SUPPRESS)
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--python", action="append")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=100)
    parser.add_argument("--warmup", type=float, default=1.0)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    options = parser.parse_args()
    if options.child:
        child(options)
    else:
        parent(options)


if __name__ == "__main__":
    main()
