"""The stdio relay: the proxy speaks MCP on its own standard input and
output and runs the server as its child.

Framing is one JSON-RPC message per line in both directions. Lines the
proxy does not change are written as they were read. The server inherits
the proxy's environment and its standard error (so the server's logs and
the proxy's land in the same place); nothing but protocol messages ever
goes to standard output.

Lifetime:

- the client closes the proxy's standard input: the server's input is
  closed, the server gets ``grace`` seconds to exit, then SIGTERM, then
  SIGKILL; the proxy exits 0;
- the server exits (or closes its output): every request in flight is
  answered with a JSON-RPC error naming the exit status, a message goes to
  standard error, and the proxy exits 1;
- SIGTERM or SIGINT: the server is stopped as above and the proxy exits.

Malformed input never stops the relay: a line from the client that is not
JSON-RPC is answered with a parse error (id null) and not forwarded; a line
from the server that is not JSON-RPC is dropped with a warning. A line
longer than ``max_line`` bytes is treated the same way.

State scope: one stdio connection is one session, so every call shares
one engine either way; ``--shared-state`` changes nothing here.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import signal
import sys
import uuid
from collections.abc import Sequence
from typing import Any

from korvanthel_tools.guarding import Guard
from korvanthel_tools.mcp_proxy.interceptor import Interceptor, ServerIdentity
from korvanthel_tools.mcp_proxy.messages import decode, encode, error_response

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
    ) -> None:
        self.guard = guard
        self.command = list(command)
        self.max_line = max_line
        self.grace = grace
        self.interceptor = Interceptor(
            guard, ServerIdentity(" ".join(self.command)), session=f"stdio-{uuid.uuid4().hex[:12]}"
        )
        self._out: asyncio.StreamWriter | None = None

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
        except OSError as exc:
            logger.error("cannot start the MCP server %r: %s", self.command[0], exc.strerror or exc)
            return EXIT_SERVER_GONE
        client_in = asyncio.StreamReader(limit=self.max_line)
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(client_in), sys.stdin.buffer)
        transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin, sys.stdout.buffer)
        self._out = asyncio.StreamWriter(transport, protocol, None, loop)

        stop = asyncio.Event()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        upstream = asyncio.create_task(self._client_to_server(client_in, process))
        downstream = asyncio.create_task(self._server_to_client(process))
        stopped = asyncio.create_task(stop.wait())
        done, _ = await asyncio.wait({upstream, downstream, stopped}, return_when=asyncio.FIRST_COMPLETED)
        status = EXIT_OK
        if upstream in done and downstream not in done:
            # The client is done; answers still on their way are relayed
            # while the server winds down.
            await _stop(process, self.grace)
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(asyncio.shield(downstream), self.grace)
        elif downstream in done:
            # The server closed its output: it exited or is about to.
            code = await _wait(process, self.grace)
            reason = f"the MCP server exited with status {_describe(code)}"
            for reply in self.interceptor.abandon(f"{reason} before answering"):
                await self._send(reply)
            logger.error("%s; stopping", reason)
            status = EXIT_SERVER_GONE
        for task in (upstream, downstream, stopped):
            task.cancel()
        await _stop(process, self.grace)
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(signum)
        with contextlib.suppress(ConnectionError, OSError):
            await self._out.drain()
        return status

    async def _client_to_server(self, client_in: asyncio.StreamReader, process: asyncio.subprocess.Process) -> None:
        lines = _Lines(client_in)
        server_in = process.stdin
        assert server_in is not None
        while True:
            line, too_long = await lines.read()
            if line is None:
                break
            if too_long:
                await self._send(error_response(None, -32700, f"Parse error: message longer than {self.max_line} bytes"))
                continue
            if not line.strip():
                continue
            frame = decode(line)
            if frame.error is not None:
                await self._send(error_response(None, frame.error_code, frame.error))
                continue
            forward: list[dict[str, Any]] = []
            changed = frame.batch
            for message in frame.messages:
                outcome = self.interceptor.from_client(message)
                if outcome.reply is not None:
                    await self._send(outcome.reply)
                if outcome.forward is not None:
                    forward.append(outcome.forward)
                changed = changed or outcome.changed or outcome.forward is None
            try:
                if not changed:
                    server_in.write(line + b"\n")
                else:
                    for message in forward:  # a batch goes on as single messages
                        server_in.write(encode(message) + b"\n")
                await server_in.drain()
            except (ConnectionError, OSError):
                # The server is gone; the other direction reports it.
                await asyncio.Event().wait()
        # The client is done: let the server see the end of its input.
        with contextlib.suppress(ConnectionError, OSError):
            server_in.close()

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
            frame = decode(line)
            if frame.error is not None:
                logger.warning("dropped a line from the server that is not JSON-RPC: %s", _preview(line))
                continue
            replaced = [self.interceptor.from_server(message) for message in frame.messages]
            if all(item is None for item in replaced):
                await self._write(line)
            elif frame.batch:
                await self._write(encode([new or old for new, old in zip(replaced, frame.messages)]))  # type: ignore[arg-type]
            else:
                await self._send(replaced[0])  # type: ignore[arg-type]

    async def _send(self, message: dict[str, Any]) -> None:
        await self._write(encode(message))

    async def _write(self, line: bytes) -> None:
        assert self._out is not None
        try:
            self._out.write(line + b"\n")
            await self._out.drain()
        except (ConnectionError, OSError):
            pass  # the client went away; reading its input ends the relay


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
    return asyncio.run(StdioProxy(guard, command, **options).run())


