"""Real faults of a store: a server whose processes are stopped (SIGSTOP), and a loopback proxy
that can start dropping every byte in both directions while keeping its connections open, as a
network that silently loses packets does."""

import contextlib
import os
import signal
import socket
import threading
from pathlib import Path

from servers import free_port


def server_pids(server):
    if server.kind == "redis":
        return [server.process.pid]
    postmaster = int((server.data / "postmaster.pid").read_text().split()[0])
    children = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == postmaster:
            children.append(int(stat.parent.name))
    return [postmaster, *children]


@contextlib.contextmanager
def stopped(server):
    """Stops every process of `server` (its backends too) until the block ends."""
    pids = server_pids(server)
    for pid in pids:
        os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGCONT)


class Proxy:
    """Forwards 127.0.0.1:<port> to the server's port until drop() is called."""

    def __init__(self, server):
        self.target = server.port
        self.port = free_port()
        self.url = server.url.replace(f":{server.port}/", f":{self.port}/")
        self.dropping = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", self.port))
        self._sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def drop(self):
        self.dropping.set()

    def pass_again(self):
        self.dropping.clear()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            self._sockets += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    def _pump(self, source, sink):
        with contextlib.suppress(OSError):
            while data := source.recv(65536):
                if not self.dropping.is_set():
                    sink.sendall(data)
        with contextlib.suppress(OSError):
            sink.shutdown(socket.SHUT_WR)

    def close(self):
        self._listener.close()
        for each in self._sockets:
            with contextlib.suppress(OSError):
                each.close()
