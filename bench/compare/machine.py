"""What the report says about the machine and the software that ran the benchmarks.

    python machine.py    prints describe() of this interpreter as one JSON line
"""

import datetime
import json
import os
import platform
from importlib import metadata


def cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def version_of(package):
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "not installed"


def describe():
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": len(os.sched_getaffinity(0)),
        "cpu": cpu_model(),
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "kernel": platform.release(),
        "load": [round(value, 2) for value in os.getloadavg()],
        "packages": {name: version_of(name) for name in ("tyvo", "APScheduler", "croniter", "uvloop")},
    }


if __name__ == "__main__":
    print(json.dumps(describe()))
