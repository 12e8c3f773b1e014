"""The stdio relay: the proxy speaks MCP on its own standard input and
output and runs the server as its child.

Framing is one JSON-RPC message per line in both directions. Lines the
proxy does not change are written as they were read. The server inherits
the proxy's environment and its standard error (so the server's logs and
the proxy's land in the same place); nothing but protocol messages ever
goes to standard output.

Every message from the client is decoded and written to the server as the
proxy read it (so the server parses exactly what the guard judged); the
server's messages are relayed byte for byte unless the guard changes them
(see ``interceptor`` for what is decided and what is withheld).

Standard streams: pipes and sockets are read and written without blocking;
anything else (a regular file, a terminal, ``/dev/null``) is read by a
thread and written directly. A standard stream that is closed when the
proxy starts is opened on ``/dev/null`` first (``prepare_standard_streams``),
so that nothing the proxy opens later takes its place: a closed input is an
empty one.

Lifetime:

- the client closes the proxy's standard input (or it is empty, or it
  ends): the requests still in flight are answered first (the proxy waits
  at most ``grace`` seconds for them, so a file of requests gets all its
  answers), then the server's input is closed, the server gets ``grace`` seconds
  to exit, then SIGTERM, then SIGKILL; the proxy exits 0 (even when the
  server exits at the same moment);
- the server exits (or closes its output): every request in flight is
  answered with a JSON-RPC error naming the exit status, a message goes to
  standard error, and the proxy exits 1;
- SIGTERM or SIGINT: the server is stopped as above and the proxy exits 0;
- the server exits before it reads anything, or cannot be started: 1.

Whatever ends the session, the server child is stopped before the proxy
exits, and nothing is printed but log lines.

Malformed input never stops the relay: a line from the client that is not
JSON-RPC is answered with a parse error (id null) and not forwarded; a line
from the server that is not JSON-RPC is dropped with a warning. A line
longer than ``max_line`` bytes is treated the same way.

State scope: one stdio connection is one session, so every call shares
one engine either way; ``--shared-state`` changes nothing here.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import logging
import os
import signal
import stat
import sys
import threading
import uuid
from collections.abc import Sequence
from typing import Any

from korvanthel_tools.guarding import Guard
from korvanthel_tools.mcp_proxy.interceptor import DROP, Interceptor, ServerIdentity
from korvanthel_tools.mcp_proxy.messages import PARSE_ERROR, decode, encode, error_response

logger = logging.getLogger("korvanthel.mcp_proxy")

DEFAULT_MAX_LINE = 64 * 1024 * 1024
DEFAULT_GRACE = 5.0

EXIT_OK = 0
EXIT_SERVER_GONE = 1


class _Lines:
    """Reads lines of at most ``limit`` bytes; a longer line is skipped
    whole and reported as ``None``-with-error by ``read``."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self.reader = reader

    async def read(self) -> tuple[bytes | None, bool]:
        """(line without its line feed, too_long); (None, False) at the end."""
        try:
            line = await self.reader.readuntil(b"\n")
            return line[:-1], False
        except asyncio.IncompleteReadError as exc:
            return (exc.partial or None), False
        except asyncio.LimitOverrunError as exc:
            await self.reader.readexactly(exc.consumed)
            while True:
                try:
                    await self.reader.readuntil(b"\n")
                    return b"", True
                except asyncio.LimitOverrunError as more:
                    await self.reader.readexactly(more.consumed)
                except asyncio.IncompleteReadError:
                    return b"", True


class _ThreadLines:
    """The same lines as ``_Lines``, read by a thread with blocking reads
    from a descriptor that cannot be polled (a regular file, a terminal,
    ``/dev/null``). At most ``QUEUED`` lines wait for the relay."""

    QUEUED = 64

    def __init__(self, fd: int, limit: int, loop: asyncio.AbstractEventLoop) -> None:
        self.queue: asyncio.Queue[tuple[bytes | None, bool]] = asyncio.Queue(self.QUEUED)
        self.fd = fd
        self.limit = limit
        self.loop = loop
        threading.Thread(target=self._pump, name="korvanthel-stdin", daemon=True).start()

    async def read(self) -> tuple[bytes | None, bool]:
        return await self.queue.get()

    def _put(self, item: tuple[bytes | None, bool]) -> bool:
        try:
            asyncio.run_coroutine_threadsafe(self.queue.put(item), self.loop).result()
            return True
        except (RuntimeError, asyncio.CancelledError, concurrent.futures.CancelledError):
            return False  # the relay is over

    def _pump(self) -> None:
        buffer = bytearray()
        skipping = False
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            start = len(buffer)
            buffer += chunk
            at = buffer.find(b"\n", start)
            while at >= 0:
                line = bytes(buffer[:at])
                del buffer[:at + 1]
                item = (b"", True) if skipping or len(line) > self.limit else (line, False)
                skipping = False
                if not self._put(item):
                    return
                at = buffer.find(b"\n")
            if len(buffer) > self.limit:
                buffer.clear()
                skipping = True
        if skipping:
            self._put((b"", True))
        elif buffer:
            self._put((bytes(buffer), False))
        self._put((None, False))


class _Output:
    """The proxy's standard output: a pipe or socket through the event
    loop (waiting while the client reads slowly), anything else written
    directly."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.writer: asyncio.StreamWriter | None = None
        self.broken = False

    async def open(self, loop: asyncio.AbstractEventLoop) -> None:
        if _pollable(self.fd):
            pipe = os.fdopen(self.fd, "wb", buffering=0, closefd=False)
            transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin, pipe)
            self.writer = asyncio.StreamWriter(transport, protocol, None, loop)

    async def write(self, data: bytes) -> None:
        if self.broken:
            return
        try:
            if self.writer is not None:
                self.writer.write(data)
                await self.writer.drain()
                return
            view = memoryview(data)
            while view:
                view = view[os.write(self.fd, view):]
        except (ConnectionError, OSError, RuntimeError):
            self.broken = True  # the client went away; reading its input ends the relay

    async def close(self) -> None:
        if self.writer is not None:
            with contextlib.suppress(ConnectionError, OSError, RuntimeError):
                await self.writer.drain()
            self.writer.close()


def _pollable(fd: int) -> bool:
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


def prepare_standard_streams() -> None:
    """Open ``/dev/null`` on each of the descriptors 0, 1 and 2 that is
    closed. Call it first, before anything opens a file or a pipe."""
    for fd, flags in ((0, os.O_RDONLY), (1, os.O_WRONLY), (2, os.O_WRONLY)):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, flags)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    # Python leaves the objects of streams closed at its start as None.
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)  # noqa: SIM115
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)  # noqa: SIM115


async def _open_input(fd: int, limit: int, loop: asyncio.AbstractEventLoop) -> _Lines | _ThreadLines:
    if _pollable(fd):
        reader = asyncio.StreamReader(limit=limit)
        pipe = os.fdopen(fd, "rb", buffering=0, closefd=False)
        with contextlib.suppress(OSError, ValueError):
            await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), pipe)
            return _Lines(reader)
    return _ThreadLines(fd, limit, loop)


def client_line(interceptor: Interceptor, line: bytes) -> tuple[list[bytes], list[bytes]]:
    """One line from the client: (lines for the server, lines for the
    client), each without its line feed. What goes to the server is what
    was decided, re-encoded."""
    frame = decode(line)
    if frame.error is not None:
        return [], [encode(error_response(None, frame.error_code, frame.error))]
    to_server: list[bytes] = []
    to_client: list[bytes] = []
    for message in frame.messages:  # a batch goes on as single messages
        outcome = interceptor.from_client(message)
        if outcome.reply is not None:
            to_client.append(encode(outcome.reply))
        if outcome.forward is not None:
            try:
                to_server.append(encode(outcome.forward))
            except (ValueError, RecursionError):
                interceptor.forget(outcome.forward)
                to_client.append(encode(error_response(None, PARSE_ERROR, "Parse error: cannot be re-encoded")))
    return to_server, to_client


def server_line(interceptor: Interceptor, line: bytes) -> bytes | None:
    """One line from the server: the line for the client (without its line
    feed), or None when nothing goes on."""
    frame = decode(line)
    if frame.error is not None:
        logger.warning("dropped a line from the server that is not JSON-RPC: %s", _preview(line))
        return None
    replaced = [interceptor.from_server(message) for message in frame.messages]
    if all(item is None for item in replaced):
        return line
    kept = [old if new is None else new for new, old in zip(replaced, frame.messages) if new is not DROP]
    if not kept:
        return None
    return encode(kept if frame.batch else kept[0])


class StdioProxy:
    """A guard between an MCP client on this process's standard input and
    output and a server started as a child process, relaying one JSON-RPC
    message per line in each direction."""

    def __init__(
        self,
        guard: Guard,
        command: Sequence[str],
        *,
        max_line: int = DEFAULT_MAX_LINE,
        grace: float = DEFAULT_GRACE,
        input_fd: int = 0,
        output_fd: int = 1,
    ) -> None:
        self.guard = guard
        self.command = list(command)
        self.max_line = max_line
        self.grace = grace
        self.interceptor = Interceptor(
            guard, ServerIdentity(" ".join(self.command)), session=f"stdio-{uuid.uuid4().hex[:12]}"
        )
        self.input_fd = input_fd
        self.output_fd = output_fd
        self._out: _Output | None = None
        self._answered = asyncio.Event()

    async def run(self) -> int:
        """Start the server and relay until the client closes its input, the
        server exits or a SIGINT or SIGTERM arrives; the server is stopped and
        calls still unanswered get an error. 0, or 1 when the server went away
        first or could not be started."""
        loop = asyncio.get_running_loop()
        try:
            process = await asyncio.create_subprocess_exec(
                *self.command, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, limit=self.max_line
            )
        except (OSError, ValueError) as exc:
            logger.error("cannot start the MCP server %r: %s", self.command[0], getattr(exc, "strerror", None) or exc)
            return EXIT_SERVER_GONE
        stop = asyncio.Event()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        try:
            return await self._relay(process, stop)
        finally:
            await _stop(process, self.grace)
            for signum in (signal.SIGTERM, signal.SIGINT):
                loop.remove_signal_handler(signum)
            if self._out is not None:
                await self._out.close()

    async def _relay(self, process: asyncio.subprocess.Process, stop: asyncio.Event) -> int:
        loop = asyncio.get_running_loop()
        client_in = await _open_input(self.input_fd, self.max_line, loop)
        self._out = _Output(self.output_fd)
        await self._out.open(loop)
        upstream = asyncio.create_task(self._client_to_server(client_in, process))
        downstream = asyncio.create_task(self._server_to_client(process))
        stopped = asyncio.create_task(stop.wait())
        tasks = (upstream, downstream, stopped)
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
            status = EXIT_OK
            if upstream in done or stopped in done:
                # The client is done; answers still on their way are relayed
                # while the server winds down.
                await _stop(process, self.grace)
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(asyncio.shield(downstream), self.grace)
            else:
                # The server closed its output: it exited or is about to.
                code = await _wait(process, self.grace)
                reason = f"the MCP server exited with status {_describe(code)}"
                for reply in self.interceptor.abandon(f"{reason} before answering"):
                    await self._send(reply)
                logger.error("%s; stopping", reason)
                status = EXIT_SERVER_GONE
            for task in tasks:
                if task.done() and not task.cancelled() and task.exception() is not None:
                    exc = task.exception()
                    logger.error("the relay failed: %s: %s", type(exc).__name__, exc)
                    status = EXIT_SERVER_GONE
            return status
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

    async def _client_to_server(self, lines: _Lines | _ThreadLines, process: asyncio.subprocess.Process) -> None:
        server_in = process.stdin
        assert server_in is not None
        while True:
            line, too_long = await lines.read()
            if line is None:
                break
            if too_long:
                await self._send(error_response(None, PARSE_ERROR, f"Parse error: message longer than {self.max_line} bytes"))
                continue
            if not line.strip():
                continue
            to_server, to_client = client_line(self.interceptor, line)
            for reply in to_client:
                await self._write(reply)
            try:
                for message in to_server:
                    server_in.write(message + b"\n")
                await server_in.drain()
            except (ConnectionError, OSError):
                # The server is gone; the other direction reports it.
                await asyncio.Event().wait()
        # The client is done: the answers it is still owed come first, then
        # the server sees the end of its input.
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._settled(), self.grace)
        with contextlib.suppress(ConnectionError, OSError):
            server_in.close()

    async def _settled(self) -> None:
        while self.interceptor.pending:
            self._answered.clear()
            await self._answered.wait()

    async def _server_to_client(self, process: asyncio.subprocess.Process) -> None:
        assert process.stdout is not None
        lines = _Lines(process.stdout)
        while True:
            line, too_long = await lines.read()
            if line is None:
                return
            if too_long:
                logger.warning("dropped a message from the server longer than %d bytes", self.max_line)
                continue
            if not line.strip():
                continue
            out = server_line(self.interceptor, line)
            if out is not None:
                await self._write(out)
            self._answered.set()

    async def _send(self, message: dict[str, Any]) -> None:
        await self._write(encode(message))

    async def _write(self, line: bytes) -> None:
        assert self._out is not None
        await self._out.write(line + b"\n")


async def _wait(process: asyncio.subprocess.Process, timeout: float) -> int | None:
    try:
        return await asyncio.wait_for(process.wait(), timeout)
    except asyncio.TimeoutError:
        return None


async def _stop(process: asyncio.subprocess.Process, grace: float) -> None:
    """Close the server's input, then TERM, then KILL, each after ``grace``."""
    if process.returncode is not None:
        return
    if process.stdin is not None:
        with contextlib.suppress(ConnectionError, OSError):
            process.stdin.close()
    if await _wait(process, grace) is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        process.terminate()
    if await _wait(process, grace) is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        process.kill()
    await process.wait()


def _describe(code: int | None) -> str:
    if code is None:
        return "unknown (still running after closing its output)"
    if code < 0:
        try:
            return f"{code} (killed by {signal.Signals(-code).name})"
        except ValueError:
            return str(code)
    return str(code)


def _preview(line: bytes, limit: int = 120) -> str:
    text = line[:limit].decode("utf-8", "replace")
    return repr(text + ("..." if len(line) > limit else ""))


def run_stdio(guard: Guard, command: Sequence[str], **options: Any) -> int:
    """Run the stdio proxy until the client or the server ends; the exit status."""
    prepare_standard_streams()
    return asyncio.run(StdioProxy(guard, command, **options).run())


