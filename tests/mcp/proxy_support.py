"""Starting the proxy and the tool server as real processes for the tests."""

from __future__ import annotations

import json
import os
import queue
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

from mcp.client.stdio import StdioServerParameters

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
SERVER = str(HERE / "tool_server.py")
TIMEOUT = 30.0


def environment(record: Path) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    env["TOOL_SERVER_RECORD"] = str(record)
    return env


def proxy_argv(policy: Path, *options: str, server: list[str] | None = None) -> list[str]:
    argv = [sys.executable, "-m", "korvanthel_tools", "mcp-proxy", "--policy", str(policy), *options]
    if server is not None:
        argv += ["--", *server]
    return argv


def stdio_server() -> list[str]:
    return [sys.executable, SERVER, "stdio"]


def proxied(policy: Path, record: Path, *options: str) -> StdioServerParameters:
    """Parameters that make the SDK client start the proxy over the tool server."""
    argv = proxy_argv(policy, *options, server=stdio_server())
    return StdioServerParameters(command=argv[0], args=argv[1:], env=environment(record))


def direct(record: Path) -> StdioServerParameters:
    argv = stdio_server()
    return StdioServerParameters(command=argv[0], args=argv[1:], env=environment(record))


def recorded(record: Path) -> list[dict[str, Any]]:
    if not record.exists():
        return []
    return [json.loads(line) for line in record.read_text().splitlines()]


def wait_for(predicate: Any, what: str, timeout: float = TIMEOUT) -> Any:
    """Wait until ``predicate()`` is truthy, checking the thing itself;
    fail after ``timeout``."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


def process_gone(pid: int) -> bool:
    """True when ``pid`` no longer runs (absent, or a zombie nobody reaps)."""
    try:
        status = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return True
    return status.rsplit(")", 1)[1].split()[0] == "Z"


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


class RawClient:
    """Drives a proxy over stdio with raw lines, as a client would."""

    def __init__(self, argv: list[str], env: dict[str, str]) -> None:
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
        )
        self.lines: queue.Queue[bytes] = queue.Queue()
        self.rest: list[bytes] = []
        self.errors: list[bytes] = []
        self.readers = [
            threading.Thread(target=self._read_lines, daemon=True),
            threading.Thread(target=self._read_errors, daemon=True),
        ]
        for reader in self.readers:
            reader.start()

    def _read_lines(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(b"")

    def _read_errors(self) -> None:
        assert self.process.stderr is not None
        self.errors.extend(self.process.stderr)

    @property
    def stdin(self) -> IO[bytes]:
        assert self.process.stdin is not None
        return self.process.stdin

    def send_line(self, line: bytes) -> None:
        self.stdin.write(line + b"\n")
        self.stdin.flush()

    def send(self, message: dict[str, Any]) -> None:
        self.send_line(json.dumps(message).encode())

    def receive(self, timeout: float = TIMEOUT) -> dict[str, Any]:
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("timed out waiting for a message from the proxy") from None
        assert line, "the proxy closed its output"
        message: dict[str, Any] = json.loads(line)
        return message

    def request(self, request_id: int, method: str, params: dict[str, Any] | None = None) -> dict[str, Any]:
        message: dict[str, Any] = {"jsonrpc": "2.0", "id": request_id, "method": method}
        if params is not None:
            message["params"] = params
        self.send(message)
        return self.receive()

    def initialize(self) -> dict[str, Any]:
        reply = self.request(0, "initialize", {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "raw-test", "version": "1"},
        })
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        return reply

    def finish(self, timeout: float = TIMEOUT) -> tuple[int, str, str]:
        """Close the proxy's input, wait for it to exit; (status, rest of
        output, standard error)."""
        self.stdin.close()
        status = self.process.wait(timeout=timeout)
        for reader in self.readers:
            reader.join(timeout=timeout)
        out = []
        while not self.lines.empty():
            out.append(self.lines.get())
        return status, b"".join(out).decode(), b"".join(self.errors).decode()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=TIMEOUT)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream is not None and not stream.closed:
                try:
                    stream.close()
                except OSError:
                    pass


@contextmanager
def raw_proxy(policy: Path, record: Path, *options: str) -> Iterator[RawClient]:
    client = RawClient(proxy_argv(policy, *options, server=stdio_server()), environment(record))
    try:
        yield client
    finally:
        client.kill()


def _wait_until_accepting(port: int, process: subprocess.Popen[bytes]) -> None:
    def accepting() -> bool:
        assert process.poll() is None, "the server exited before listening"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    wait_for(accepting, f"a listener on port {port}")


@contextmanager
def http_tool_server(record: Path, server: str = SERVER) -> Iterator[str]:
    """The tool server (or the test server ``server``, a script path) over
    Streamable HTTP on a loopback port; its URL."""
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, server, "http", str(port)], env=environment(record),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    try:
        _wait_until_accepting(port, process)
        yield f"http://127.0.0.1:{port}/mcp"
    finally:
        process.terminate()
        process.wait(timeout=TIMEOUT)


class HttpProxyProcess:
    def __init__(self, process: subprocess.Popen[bytes], url: str, errors: list[bytes]) -> None:
        self.process = process
        self.url = url
        self.errors = errors


@contextmanager
def http_proxy(
    policy: Path, upstream: str, record: Path, *options: str, listen: str = "127.0.0.1:0"
) -> Iterator[HttpProxyProcess]:
    """The proxy listening on a free loopback port in front of ``upstream``."""
    process = subprocess.Popen(
        proxy_argv(policy, *options, "--listen", listen, "--upstream", upstream),
        env=environment(record), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    announced: queue.Queue[str] = queue.Queue()
    errors: list[bytes] = []

    def read_errors() -> None:
        assert process.stderr is not None
        for line in process.stderr:
            errors.append(line)
            if b"listening on http" in line:
                announced.put(line.decode().split("listening on ")[1].split(",")[0])
        announced.put("")

    reader = threading.Thread(target=read_errors, daemon=True)
    reader.start()
    try:
        try:
            address = announced.get(timeout=TIMEOUT)
        except queue.Empty:
            raise AssertionError("the proxy did not start listening") from None
        assert address, b"".join(errors).decode()
        yield HttpProxyProcess(process, f"{address}/mcp", errors)
    finally:
        if process.poll() is None:
            process.terminate()
        process.wait(timeout=TIMEOUT)
        reader.join(timeout=TIMEOUT)
        assert process.stdout is not None and process.stderr is not None
        process.stdout.close()
        process.stderr.close()
