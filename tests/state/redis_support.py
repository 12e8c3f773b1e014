"""A real redis-server for the tests, on a loopback port of its own, in a
directory of its own; every wait bounded."""

from __future__ import annotations

import shutil
import socket
import subprocess
import time
from pathlib import Path

TIMEOUT = 30.0


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


class RedisServer:
    """``redis-server`` on 127.0.0.1:``port`` with its files in ``directory``;
    ``appendonly`` keeps state across a restart (an append-only file,
    fsync on every write)."""

    def __init__(self, directory: Path, *, appendonly: bool = False) -> None:
        self.directory = directory
        self.port = free_port()
        self.appendonly = appendonly
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        binary = shutil.which("redis-server")
        assert binary, "redis-server is not installed (scripts/deps.sh installs it)"
        persistence = ["--appendonly", "yes", "--appendfsync", "always"] if self.appendonly else ["--appendonly", "no"]
        self.process = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", str(self.directory), "--save", "",
             *persistence, "--maxmemory-policy", "noeviction", "--daemonize", "no", "--protected-mode", "yes"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + TIMEOUT
        while not self._answers():
            assert self.process.poll() is None, "redis-server exited at start"
            assert time.monotonic() < deadline, "redis-server did not start in time"
            time.sleep(0.02)

    def stop(self) -> None:
        """Stops the server (SIGTERM: it writes its append-only file)."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=TIMEOUT)
        self.process = None

    def kill(self) -> None:
        """Kills the server (SIGKILL): only what its append-only file has
        synced survives."""
        if self.process is not None:
            self.process.kill()
            self.process.wait(timeout=TIMEOUT)
        self.process = None

    def _answers(self) -> bool:
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as sock:
                sock.sendall(b"PING\r\n")
                return sock.recv(16).startswith(b"+PONG")
        except OSError:
            return False
