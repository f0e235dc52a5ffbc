"""Several real replica processes with the same jobs against one real store: a cron job every
second and an interval job whose runs outlast their hold. See history.py for how the records
prove that no run overlapped another and none started twice within a hold."""

import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import history
from conftest import wait_until_vouched

REPLICA = Path(__file__).with_name("replica.py")


# The tick job keeps the hold window on purpose; once() warns about that once per replica.
HOLD_WINDOW_ON_CRON = "its runs fall on whole seconds"


def jobs():
    tag = uuid.uuid4().hex[:8]
    return [
        {"id": "tick", "key": f"tick-{tag}", "cron": "* * * * * *", "hold": 0.5, "duration": 0.05},
        # Runs of 2 s under a hold of 1.2 s: only renewal keeps the other replicas out.
        {"id": "long", "key": f"long-{tag}", "interval": 0.2, "hold": 1.2, "duration": 2.0},
    ]


class Replicas:
    def __init__(self, server, directory, jobs, count):
        self.jobs = {job["id"]: job for job in jobs}
        self.holds = {job["key"]: job["hold"] for job in jobs}
        self.record = directory / "runs.jsonl"
        self.record.touch()
        self.server, self.directory, self.all_jobs = server, directory, jobs
        self.processes = {}
        self.logs = {}
        for _ in range(count):
            self.spawn()
        for pid in self.processes:
            self.wait_ready(pid)

    def spawn(self, jobs=None, prefix=()):
        """Starts one more replica, with `jobs` (default: all), its command behind `prefix`."""
        log = self.directory / f"replica-{len(self.logs)}.log"
        with log.open("w") as stderr:
            process = subprocess.Popen(
                [*prefix, sys.executable, str(REPLICA), self.server.kind, self.server.url, str(self.record),
                 json.dumps(jobs or self.all_jobs)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr, text=True)
        self.processes[process.pid], self.logs[process.pid] = process, log
        return process.pid

    def wait_ready(self, pid):
        """Waits until the replica has started its scheduler (and can take SIGTERM)."""
        self.wait_ready_of(self.processes[pid])

    def wait_ready_of(self, process):
        if not getattr(process, "ready", False):
            assert process.stdout.readline().strip() == "ready", self.report()
            process.ready = True

    def key(self, job_id):
        return self.jobs[job_id]["key"]

    def note(self, **event):
        with self.record.open("a") as shared:
            fcntl.flock(shared, fcntl.LOCK_EX)
            shared.write(json.dumps({**event, "pid": os.getpid(), "at": time.time()}) + "\n")

    def kill_running(self, job_id, timeout=20.0):
        """SIGKILLs the replica that is running `job_id`, mid-run. The kill is recorded under
        the file lock, which is held until the victim is dead: nothing it did comes after."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.record.open("a+") as shared:
                fcntl.flock(shared, fcntl.LOCK_EX)
                shared.seek(0)
                going = history.open_runs([json.loads(line) for line in shared if line.strip()])
                victim = going.get(self.key(job_id))
                if victim is not None:
                    shared.write(json.dumps({"event": "kill", "victim": victim, "pid": os.getpid(),
                                             "at": time.time()}) + "\n")
                    shared.flush()
                    os.kill(victim, signal.SIGKILL)
                    killed = self.processes.pop(victim)
                    killed.wait(timeout=30)
                    killed.stdout.close()
                    return victim
            time.sleep(0.05)
        for process in self.processes.values():
            process.send_signal(signal.SIGUSR1)  # each writes its threads' stacks to its log
        time.sleep(0.5)
        recorded = self.record.read_text().splitlines()
        raise AssertionError(f"no replica was running {job_id}; the record's last lines (of {len(recorded)}):\n"
                             + "\n".join(recorded[-20:]) + f"\n{self.report()}")

    def stop(self):
        for process in self.processes.values():
            self.wait_ready_of(process)
            process.send_signal(signal.SIGTERM)
        codes = {pid: process.wait(timeout=60) for pid, process in self.processes.items()}
        for process in self.processes.values():
            process.stdout.close()
        assert all(code == 0 for code in codes.values()), f"exit codes {codes}\n{self.report()}"
        return history.read(self.record)

    def log(self, pid):
        return self.logs[pid].read_text()

    def report(self):
        return "\n".join(f"--- replica {pid}:\n{log.read_text()}" for pid, log in self.logs.items())

    def assert_clean_logs(self, allowed=()):
        """Nothing on standard error but tyvo's shutdown notices and the `allowed` lines."""
        # asyncio's notices of slow steps appear when the tests run in development mode.
        allowed = ("Shutting down", "is now shutdown", "asyncio WARNING Executing <", *allowed)
        for pid, log in self.logs.items():
            # A record starts with the replica's pid; the lines after it (a store's multi-line
            # error, say) belong to it.
            records = re.split(rf"\n(?={pid} )", log.read_text().rstrip("\n"))
            for record in filter(None, records):
                assert any(text in record.splitlines()[0] for text in allowed), \
                    f"replica {pid} logged: {record}\n{self.report()}"


def test_replicas_run_each_job_once_and_survive_one_killed_mid_run(server, tmp_path):
    replicas = Replicas(server, tmp_path, jobs(), count=3)
    time.sleep(4)
    victim = replicas.kill_running("long")
    time.sleep(5)
    events = replicas.stop()

    history.check(events, replicas.holds)
    kill = next(number for number, e in enumerate(events) if e["event"] == "kill")
    before, after = events[:kill], events[kill + 1:]
    tick, long = replicas.key("tick"), replicas.key("long")
    assert history.starts(before, tick) and history.starts(before, long), events
    # The survivors carry on with both jobs (the killed claim lapses within its hold).
    assert victim not in {e["pid"] for e in after}
    assert len(history.starts(after, tick)) >= 3 and history.starts(after, long), events
    # Replicas that lost the cron race just return; nothing is logged on a healthy store.
    replicas.assert_clean_logs(allowed=(HOLD_WINDOW_ON_CRON,))


def test_store_outage_skips_runs_and_they_resume_when_it_is_back(server, tmp_path):
    replicas = Replicas(server, tmp_path, jobs(), count=2)
    time.sleep(3)
    server.stop()
    replicas.note(event="outage")
    stopped_at = time.time()
    # Longer than a run lasts, so the run whose claim is lost has ended before the store returns.
    time.sleep(3.5)
    back_at = time.time()
    replicas.note(event="back")
    server.start()
    time.sleep(5)
    events = replicas.stop()

    history.check(events, replicas.holds)
    tick, long = replicas.key("tick"), replicas.key("long")
    assert not [e for e in events if e["event"] == "start" and stopped_at < e["fired"] and e["at"] < back_at], \
        "a run started while the store was down"
    assert history.starts(events, tick, after=back_at) and history.starts(events, long, after=back_at), events
    logs = "".join(replicas.log(pid) for pid in replicas.processes)
    assert "tyvo ERROR Failed to execute job tick" in logs, replicas.report()
    # A long run going when the store went away could neither renew nor cut back its claim.
    outage = next(number for number, e in enumerate(events) if e["event"] == "outage")
    going = history.open_runs(events[:outage]).get(long)
    if going is not None:
        assert f"claim on {long}" in replicas.log(going), replicas.report()
    replicas.assert_clean_logs(allowed=(HOLD_WINDOW_ON_CRON, "Failed to execute job", f"claim on {long}", f"claim on {tick}"))


def test_twenty_replicas_share_one_postgres_under_its_default_connection_limit(postgres_server, tmp_path):
    import asyncio

    import asyncpg

    async def ask(query):
        connection = await asyncpg.connect(postgres_server.url)
        try:
            return await connection.fetchval(query)
        finally:
            await connection.close()

    assert asyncio.run(ask("SHOW max_connections")) == "100"
    # A table made by the replicas themselves vouches for no fire time in its first second, which
    # twenty replicas starting on a loaded machine may well ask for.
    wait_until_vouched(postgres_server)
    tag = uuid.uuid4().hex[:8]
    # Runs longer than a third of their hold: each one renews, on the renewal connection.
    jobs = [{"id": f"job-{n}", "key": f"job-{n}-{tag}", "interval": 0.1, "hold": 3.0, "duration": 1.2}
            for n in range(4)]
    jobs.append({"id": "tick", "key": f"tick-{tag}", "cron": "* * * * * *", "per_fire_time": True,
                 "hold": 2.0, "duration": 0.05})
    replicas = Replicas(postgres_server, tmp_path, jobs, count=20)
    peak = 0
    until = time.monotonic() + 6
    while time.monotonic() < until:
        peak = max(peak, asyncio.run(ask("SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'")))
        time.sleep(0.2)
    events = replicas.stop()

    history.check(events, replicas.holds)
    for job in jobs:
        assert len(history.starts(events, job["key"])) >= 2, (job["id"], events)
    # At most 3 pooled connections and 1 for renewals per replica (2 while a renewal waits on a
    # locked row, which nobody does here), and this test's own.
    assert peak <= 20 * 4 + 1
    # 20 replicas on 2 cores: a tick's cut-back may come after the next second, which is then
    # missed everywhere, and said so.
    replicas.assert_clean_logs(allowed=(HOLD_WINDOW_ON_CRON, "the key's previous run still holds its claim",
                                        "ran on no replica"))
