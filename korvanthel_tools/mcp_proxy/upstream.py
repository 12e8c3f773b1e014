"""The HTTP relay's client for its upstream: persistent HTTP/1.1
connections to one MCP server, the answer parsed by llhttp (``httptools``).

Per call it costs one write (request line, headers and body coalesced),
the parser's callbacks for what comes back, and no objects beyond the
answer's header list and its body chunks. A connection whose answer was
read to the end goes back to the pool (at most ``max_idle`` kept);
anything else (an answer abandoned part way, a parse error, ``Connection:
close``) closes it. A request sent on a pooled connection that the server
had closed meanwhile (no byte of an answer came) is sent once more on a
new connection, as browsers do.

Bounds: an answer's status line and headers at most ``MAX_HEAD`` bytes;
the body is handed on chunk by chunk (the caller bounds it), and reading
pauses while more than ``BUFFERED`` bytes wait for the caller. Timeouts:
``connect_timeout`` to connect, ``read_timeout`` between two reads.
Errors are ``UpstreamError`` (``UpstreamTimeout`` for the timeouts).
"""

from __future__ import annotations

import asyncio
import ssl
from collections import deque
from collections.abc import AsyncIterator
from urllib.parse import urlsplit

import httptools

MAX_HEAD = 64 * 1024
BUFFERED = 256 * 1024


class UpstreamError(Exception):
    """The upstream could not be reached, or broke off or garbled its answer."""


class ConnectError(UpstreamError):
    """No connection to the upstream could be made."""


class UpstreamTimeout(UpstreamError):
    """The upstream took longer than a timeout; ``connect`` says which."""

    def __init__(self, text: str, *, connect: bool) -> None:
        super().__init__(text)
        self.connect = connect


class _Connection(asyncio.Protocol):
    """One connection and the parser of the answer it is reading."""

    def __init__(self, loop: asyncio.AbstractEventLoop, read_timeout: float) -> None:
        self.loop = loop
        self.read_timeout = read_timeout
        self.transport: asyncio.Transport | None = None
        self.parser = httptools.HttpResponseParser(self)
        self.headers: list[tuple[str, str]] = []
        self.head_size = 0
        self.status = 0
        self.head_done = False
        self.keep_alive = False
        self.interim = False
        self.complete = False
        self.received = False
        self.chunks: deque[bytes] = deque()
        self.buffered = 0
        self.paused = False
        self.error: Exception | None = None
        self.closed = False
        self.waiter: asyncio.Future[None] | None = None
        self.deadline = 0.0
        self.timer: asyncio.TimerHandle | None = None

    # asyncio.Protocol
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self.received = True
        try:
            self.parser.feed_data(data)
        except httptools.HttpParserUpgrade:
            self._fail(UpstreamError("the MCP server switched protocols"))
        except (httptools.HttpParserError, UpstreamError) as exc:
            self._fail(exc if isinstance(exc, UpstreamError) else UpstreamError(f"malformed answer: {exc}"))
        if self.buffered > BUFFERED and not self.paused and self.transport is not None:
            self.paused = True
            self.transport.pause_reading()

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if not self.complete and self.error is None:
            self.error = UpstreamError("the MCP server closed the connection" + (f": {exc}" if exc else ""))
        self._wake()

    # parser callbacks
    def on_header(self, name: bytes, value: bytes) -> None:
        self.head_size += len(name) + len(value) + 4
        if self.head_size > MAX_HEAD:
            raise UpstreamError(f"the MCP server's headers are larger than {MAX_HEAD} bytes")
        self.headers.append((name.decode("latin-1").lower(), value.decode("latin-1")))

    def on_headers_complete(self) -> None:
        self.status = self.parser.get_status_code()
        if 100 <= self.status < 200 and self.status != 101:
            self.interim = True  # informational (103 Early Hints, say): the answer follows
            self.headers = []
            self.head_size = 0
            return
        self.keep_alive = self.parser.should_keep_alive()  # reset once the message completes
        self.head_done = True
        self._wake()

    def on_body(self, body: bytes) -> None:
        self.chunks.append(body)
        self.buffered += len(body)
        self._wake()

    def on_message_complete(self) -> None:
        if self.interim:
            self.interim = False
            return
        self.complete = True
        self._wake()

    # the caller's side
    def start(self, head_and_body: bytes) -> None:
        self.headers = []
        self.head_size = 0
        self.head_done = self.complete = self.received = False
        self.chunks.clear()
        self.buffered = 0
        assert self.transport is not None
        self.transport.write(head_and_body)

    def _fail(self, exc: Exception) -> None:
        if self.error is None:
            self.error = exc
        self.close()
        self._wake()

    def _wake(self) -> None:
        waiter = self.waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def wait(self) -> None:
        """Until the parser or the connection has news; TimeoutError
        after ``read_timeout`` without any. One timer serves every wait of
        the connection: it is armed when none is, and re-armed for the
        latest deadline when it fires early."""
        loop = self.loop
        waiter = self.waiter = loop.create_future()
        self.deadline = loop.time() + self.read_timeout
        if self.timer is None:
            self.timer = loop.call_at(self.deadline, self._expire)
        try:
            await waiter
        finally:
            self.waiter = None

    def _expire(self) -> None:
        self.timer = None
        waiter = self.waiter
        if waiter is None or waiter.done() or self.closed:
            return  # nobody waits: the next wait arms a timer again
        if self.loop.time() >= self.deadline:
            waiter.set_exception(TimeoutError())
        else:
            self.timer = self.loop.call_at(self.deadline, self._expire)

    def take(self) -> bytes | None:
        """The next body chunk, or None when none is buffered."""
        if not self.chunks:
            return None
        chunk = self.chunks.popleft()
        self.buffered -= len(chunk)
        if self.paused and self.buffered <= BUFFERED // 2 and self.transport is not None:
            self.paused = False
            self.transport.resume_reading()
        return chunk

    def reusable(self) -> bool:
        return self.complete and not self.closed and self.error is None and self.keep_alive

    def close(self) -> None:
        if self.transport is not None and not self.closed:
            self.closed = True
            self.transport.close()


class UpstreamResponse:
    """An answer whose status and headers have come; the body streams from
    ``chunks()``. ``aclose()`` must be called (it pools or closes the connection)."""

    def __init__(self, pool: Upstream, connection: _Connection) -> None:
        self._pool = pool
        self._connection = connection
        self.status_code = connection.status
        self.headers = connection.headers
        """(lower-case name, value) in the order received."""

    def header(self, name: str) -> str | None:
        """The first value of the header ``name`` (lower case), or None."""
        for key, value in self.headers:
            if key == name:
                return value
        return None

    async def chunks(self) -> AsyncIterator[bytes]:
        """The body's bytes as they come (chunked encoding undone, content
        encoding kept)."""
        while True:
            chunk = self.take()
            if chunk is not None:
                yield chunk
            elif self.finished():
                return
            else:
                await self.wait()

    def take(self) -> bytes | None:
        """The next chunk of the body already received, or None."""
        return self._connection.take()

    def finished(self) -> bool:
        """Whether the whole body was received (``take`` may still hold
        some); raises the ``UpstreamError`` that ended it otherwise."""
        connection = self._connection
        if connection.complete:
            return True
        if connection.error is not None:
            if connection.closed and _reads_to_close(self):
                return True  # a body delimited by the end of the connection
            raise connection.error
        return False

    async def wait(self) -> None:
        """Until more of the body (or its end) comes; UpstreamTimeout after
        ``read_timeout``."""
        try:
            await self._connection.wait()
        except TimeoutError:
            self._connection.close()
            raise UpstreamTimeout("read timeout", connect=False) from None

    def abort(self) -> None:
        """Stop reading: close the connection (a ``wait`` ends with an error)."""
        connection = self._connection
        if connection is not None:
            connection._fail(UpstreamError("the client went away"))

    async def aclose(self) -> None:
        """Finish with the answer: its connection goes back to the pool when
        it was read to the end and keep-alive holds, and is closed otherwise."""
        connection, self._connection = self._connection, None  # type: ignore[assignment]
        if connection is not None:
            self._pool._release(connection)


def _reads_to_close(response: UpstreamResponse) -> bool:
    return response.header("content-length") is None and "chunked" not in (
        response.header("transfer-encoding") or "").lower()


class Upstream:
    """A pool of connections to ``url``; ``send`` a request, get its answer's head."""

    def __init__(self, url: str, *, connect_timeout: float, read_timeout: float, max_idle: int = 64) -> None:
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"--upstream {url!r}: expected an http:// or https:// URL")
        self.host = parts.hostname
        self.port = parts.port or (443 if parts.scheme == "https" else 80)
        self.ssl: ssl.SSLContext | None = ssl.create_default_context() if parts.scheme == "https" else None
        self.target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        default = (parts.scheme == "https" and self.port == 443) or (parts.scheme == "http" and self.port == 80)
        host = f"[{self.host}]" if ":" in self.host else self.host
        self.host_header = host if default else f"{host}:{self.port}"
        self.connect_timeout = connect_timeout
        self.read_timeout = read_timeout
        self.max_idle = max_idle
        self._idle: list[_Connection] = []
        self._closed = False

    def _head(self, method: str, headers: list[tuple[str, str]], body: bytes) -> bytes:
        lines = [f"{method} {self.target} HTTP/1.1\r\nhost: {self.host_header}\r\n"]
        for name, value in headers:
            if "\n" in value or "\r" in value or "\n" in name or "\r" in name or ":" in name:
                raise UpstreamError("a header holds a line break")
            lines.append(f"{name}: {value}\r\n")
        if body or method in ("POST", "PUT", "PATCH"):
            lines.append(f"content-length: {len(body)}\r\n")
        lines.append("\r\n")
        return "".join(lines).encode("latin-1", "replace") + body

    async def send(self, method: str, headers: list[tuple[str, str]], body: bytes) -> UpstreamResponse:
        """Send the request and wait for its answer's status and headers."""
        data = self._head(method, headers, body)
        while self._idle:
            connection = self._idle.pop()
            if connection.closed:
                continue
            try:
                return await self._exchange(connection, data, method)
            except UpstreamTimeout:
                raise
            except UpstreamError:
                if connection.received:
                    raise
                # Closed by the server while idle: try a new connection.
        return await self._exchange(await self._connect(), data, method)

    async def _connect(self) -> _Connection:
        loop = asyncio.get_running_loop()
        try:
            _, connection = await asyncio.wait_for(
                loop.create_connection(lambda: _Connection(loop, self.read_timeout), self.host, self.port,
                                       ssl=self.ssl),
                self.connect_timeout)
        except TimeoutError:
            raise UpstreamTimeout("connect timeout", connect=True) from None
        except OSError as exc:
            raise ConnectError(str(exc.strerror or exc)) from None
        return connection

    async def _exchange(self, connection: _Connection, data: bytes, method: str) -> UpstreamResponse:
        connection.start(data)
        while not connection.head_done:
            if connection.error is not None:
                connection.close()
                raise connection.error
            try:
                await connection.wait()
            except TimeoutError:
                connection.close()
                raise UpstreamTimeout("read timeout", connect=False) from None
        if method == "HEAD":
            # No body follows, whatever the headers say; the parser cannot
            # know, so the connection is not reused.
            connection.complete = True
            connection.keep_alive = False
        return UpstreamResponse(self, connection)

    def _release(self, connection: _Connection) -> None:
        if not self._closed and connection.reusable() and len(self._idle) < self.max_idle:
            self._idle.append(connection)
        else:
            connection.close()

    async def aclose(self) -> None:
        """Close every pooled connection."""
        self._closed = True
        for connection in self._idle:
            connection.close()
        self._idle.clear()
