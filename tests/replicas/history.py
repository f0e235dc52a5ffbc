"""Reads the runs that replicas recorded and checks them against the guarantees of once().

No overlap is proven by order alone: a run's start is written after its claim was won and its
end before the claim is given up, under one file lock, so overlapping runs of a key would show
as two starts without an end between them, whatever the machine's load. The spacing of starts
uses times, but only in the safe direction: the store took claim i after "fired" of run i, and
claim i+1 no earlier than hold after that, so "at" of run i+1 >= "fired" of run i + hold. Noise
only widens that gap. The store runs on this host, so its clock is the one time.time() reads."""

import json

# Redis gives the claim time in whole milliseconds.
ROUNDING = 0.005


def read(path):
    with open(path) as recorded:
        return [json.loads(line) for line in recorded if line.strip()]


def check(events, holds):
    """`holds`: key -> hold in seconds. Raises AssertionError on the first violation.

    Fencing tokens grow with every start of a key. A key claimed per fire time has no spacing
    by its hold; its fire times grow strictly instead, so none runs twice."""
    going = {}  # key -> pid of the run in progress
    last_start = {}
    for number, event in enumerate(events):
        kind, key, pid = event["event"], event.get("key"), event["pid"]
        if kind == "start":
            assert key not in going, (
                f"record {number}: {pid} started {key} while the run of {going[key]} was going")
            previous = last_start.get(key)
            if previous is not None:
                assert event["fence"] > previous["fence"], (
                    f"record {number}: {pid} started {key} with fencing token {event['fence']}, "
                    f"after {previous['pid']} had {previous['fence']}")
            if previous is not None and event.get("fire_time") is not None:
                assert event["fire_time"] > previous["fire_time"], (
                    f"record {number}: {pid} ran {key} for fire time {event['fire_time']} after "
                    f"{previous['pid']} had run it for {previous['fire_time']}")
            elif previous is not None:
                gap = event["at"] - previous["fired"]
                assert gap >= holds[key] - ROUNDING, (
                    f"record {number}: {pid} started {key} {gap:.3f} s after {previous['pid']} "
                    f"fired it, within its hold of {holds[key]} s")
            going[key], last_start[key] = pid, event
        elif kind == "end":
            assert going.get(key) == pid, f"record {number}: {pid} ended {key}, which it was not running"
            del going[key]
        elif kind == "kill":
            going = {k: p for k, p in going.items() if p != event["victim"]}
    assert not going, f"runs never ended: {going}"


def starts(events, key, after=float("-inf"), pids=None):
    return [e for e in events if e["event"] == "start" and e["key"] == key and e["fired"] > after
            and (pids is None or e["pid"] in pids)]


def open_runs(events):
    """key -> pid for the runs started and not yet ended at the end of `events`."""
    going = {}
    for event in events:
        if event["event"] == "start":
            going[event["key"]] = event["pid"]
        elif event["event"] == "end":
            going.pop(event["key"], None)
    return going
