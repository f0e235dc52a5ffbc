"""Private Redis and PostgreSQL servers on free loopback ports, in temporary directories.

Both come from Debian's packages. PostgreSQL refuses to run as root, so as root (CI) its files
belong to, and its programs run as, the `postgres` user that the package creates."""

import glob
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(ready, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not come up within {timeout} s")
        time.sleep(0.05)


class RedisServer:
    kind = "redis"

    def __init__(self):
        self.directory = Path(tempfile.mkdtemp(prefix="tyvo-redis-"))
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.process = None

    def start(self):
        # No persistence: a restarted server has forgotten every claim, the harder case.
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir", str(self.directory),
             "--save", "", "--appendonly", "no", "--logfile", str(self.directory / "redis.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self._answers, "redis-server")

    def _answers(self):
        if self.process.poll() is not None:
            raise RuntimeError(f"redis-server exited with {self.process.returncode}")
        return self.command("PING") == "+PONG"

    def command(self, *words):
        """Sends one command and returns the first reply line, or None if nobody answers."""
        request = f"*{len(words)}\r\n" + "".join(f"${len(w.encode())}\r\n{w}\r\n" for w in words)
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as connection:
                connection.sendall(request.encode())
                return connection.makefile("rb").readline().decode().rstrip("\r\n")
        except OSError:
            return None

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=30)
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.directory, ignore_errors=True)


class PostgresServer:
    kind = "postgres"

    def __init__(self):
        self.bin = postgres_bin()
        self.directory = Path(tempfile.mkdtemp(prefix="tyvo-postgres-"))
        self.data = self.directory / "data"
        self.port = free_port()
        self.url = f"postgresql://postgres@127.0.0.1:{self.port}/postgres"
        self.as_owner = []
        if os.geteuid() == 0:
            shutil.chown(self.directory, "postgres", "postgres")
            self.as_owner = ["runuser", "-u", "postgres", "--"]
        self._run("initdb", "-D", str(self.data), "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-sync")
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.write(f"port = {self.port}\nlisten_addresses = '127.0.0.1'\nunix_socket_directories = ''\n"
                       "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n")

    def _run(self, program, *arguments):
        subprocess.run([*self.as_owner, os.path.join(self.bin, program), *arguments], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)

    def start(self):
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.directory / "postgres.log"), "-w", "-t", "60", "start")

    def stop(self):
        if (self.data / "postmaster.pid").exists():
            self._run("pg_ctl", "-D", str(self.data), "-m", "immediate", "-w", "-t", "60", "stop")

    def remove(self):
        self.stop()
        shutil.rmtree(self.directory, ignore_errors=True)


def postgres_bin():
    """Debian keeps the server programs per major version, off PATH."""
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"), key=lambda p: int(p.split("/")[4]))
    if candidates:
        return os.path.dirname(candidates[-1])
    found = shutil.which("pg_ctl")
    if found is None:
        raise RuntimeError("PostgreSQL's server programs are missing (Debian: apt-get install postgresql)")
    return os.path.dirname(found)


SERVERS = {"redis": RedisServer, "postgres": PostgresServer}
