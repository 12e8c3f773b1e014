"""The HTTP/1.1 server the relay listens with: an ``asyncio.Protocol`` on
llhttp (``httptools``) that runs an ASGI application, one task per request.

What a connection costs: the parser, one protocol object and its entry in
the server's set. What a request costs: the scope, the task, and one send
for a whole answer (its head leaves with the first piece of its body: on
loopback a send costs far more than the Python around it, since the
receiver's network stack runs in the sender's system call).

Contract:

- HTTP/1.1 keep-alive (HTTP/1.0 on request), pipelined requests answered
  in order; a connection idle for ``KEEP_ALIVE`` seconds is closed (also
  one that sent part of a head and then nothing).
- A request line and headers over ``MAX_HEAD`` bytes, a malformed request
  or an upgrade request get ``400`` and the connection is closed; a warning
  is logged, no traceback. Bodies stream to the application (chunked ones
  unchunked); reading pauses while more than ``BUFFERED`` bytes wait for
  it. Body bounds are the application's (it answers ``413``).
- ``Expect: 100-continue`` is answered when the application first reads.
- A client that goes away is seen by the application as
  ``http.disconnect`` (and through ``DISCONNECT_HOOK``); later sends are
  dropped.
- An answer's head leaves with its first ``http.response.body`` message
  (an empty one with ``more_body`` sends it alone).
- Answers without ``Content-Length`` are sent chunked (none for ``HEAD``,
  ``1xx``, ``204``, ``304``); a ``Date`` is added when the answer has none.
  An answer sent before its request body was read whole, or holding
  ``Connection: close``, closes the connection.
- An application error before its answer started gets ``500`` (logged
  with its traceback); after, the connection is closed.
- ``Server.shutdown``: stop accepting, close idle connections, let
  requests in flight finish for up to ``grace`` seconds, then close the rest.
"""

from __future__ import annotations

import asyncio
import logging
import ssl
import time
from collections import deque
from collections.abc import Callable
from email.utils import formatdate
from http import HTTPStatus
from typing import Any
from urllib.parse import unquote

import httptools
from starlette.types import ASGIApp, Message

logger = logging.getLogger("korvanthel.mcp_proxy")

MAX_HEAD = 64 * 1024
KEEP_ALIVE = 5.0
BUFFERED = 256 * 1024

STATUS_LINES = {status.value: f"HTTP/1.1 {status.value} {status.phrase}\r\n".encode() for status in HTTPStatus}
NO_BODY = frozenset({204, 304})
BAD_REQUEST = (b"HTTP/1.1 400 Bad Request\r\ncontent-type: text/plain; charset=utf-8\r\n"
               b"connection: close\r\ncontent-length: 20\r\n\r\nInvalid HTTP request")
SERVER_ERROR = (b"HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain; charset=utf-8\r\n"
                b"connection: close\r\ncontent-length: 21\r\n\r\nInternal Server Error")
DISCONNECT: Message = {"type": "http.disconnect"}
ASGI_VERSION = {"version": "3.0", "spec_version": "2.3"}
DISCONNECT_HOOK = "korvanthel.request"
"""The scope key of the request's exchange: an application that sets its
``on_disconnect`` (a callable, or None) is called when the client goes
away, without a task waiting on ``receive``. The exchange also offers the
ASGI messages' work without the messages: ``take_body`` (a body already
read whole), ``start`` and ``body`` (what ``send`` does, not a coroutine)."""


class HeadTooLarge(Exception):
    """A request's line and headers exceed ``MAX_HEAD`` bytes."""


class _Clock:
    """The ``Date`` header's value, formatted at most once a second."""

    second = -1
    value = b""

    @classmethod
    def date(cls) -> bytes:
        now = int(time.time())
        if now != cls.second:
            cls.second, cls.value = now, formatdate(now, usegmt=True).encode("ascii")
        return cls.value


class _Request:
    """One request's exchange: the body as it arrives (``receive``) and the
    answer as the application sends it (``send``)."""

    __slots__ = ("conn", "scope", "chunks", "buffered", "complete", "waiter", "started", "finished",
                 "chunked", "head_only", "close_after", "expect_continue", "task", "ended", "http10", "on_disconnect", "head")

    def __init__(self, conn: Connection, scope: dict[str, Any], expect_continue: bool) -> None:
        self.conn = conn
        self.scope = scope
        self.chunks: list[bytes] = []
        self.buffered = 0
        self.complete = False
        self.waiter: asyncio.Future[None] | None = None
        self.started = self.finished = self.chunked = False
        self.head_only = scope["method"] == "HEAD"
        self.close_after = not conn.parser.should_keep_alive()
        self.http10 = scope["http_version"] == "1.0"
        self.expect_continue = expect_continue
        self.task: asyncio.Task[None] | None = None
        self.ended = False  # the body's end was handed over: then only a disconnect comes
        self.on_disconnect: Callable[[], None] | None = None
        self.head = b""

    def wake(self) -> None:
        waiter = self.waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def receive(self) -> Message:
        conn = self.conn
        while True:
            if conn.lost:
                return DISCONNECT
            if self.chunks or (self.complete and not self.ended):
                body = b"".join(self.chunks) if len(self.chunks) != 1 else self.chunks[0]
                self.chunks.clear()
                self.buffered = 0
                self.ended = self.complete
                conn.resume()
                return {"type": "http.request", "body": body, "more_body": not self.complete}
            if self.expect_continue:
                self.expect_continue = False
                conn.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.waiter = conn.loop.create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None

    def take_body(self) -> bytes | None:
        """The whole body, when it has arrived whole and none of it was
        taken yet (as one ``http.request`` message would give it); else
        None, and ``receive`` gives it as it comes."""
        if not self.complete or self.ended or self.expect_continue or self.conn.lost:
            return None
        chunks = self.chunks
        body = b"".join(chunks) if len(chunks) != 1 else chunks[0]
        chunks.clear()
        self.buffered = 0
        self.ended = True
        self.conn.resume()
        return body

    async def send(self, message: Message) -> None:
        if self.conn.lost or self.finished:
            return
        kind = message["type"]
        if kind == "http.response.start":
            self.start(message["status"], message.get("headers", ()))
            return
        if kind != "http.response.body":
            raise RuntimeError(f"unexpected ASGI message {kind!r}")
        paused = self.body(message.get("body", b""), message.get("more_body", False))
        if paused is not None:
            await paused

    def start(self, status: int, headers: Any) -> None:
        """What an ``http.response.start`` message does: the answer's head,
        kept to leave with its first piece of body."""
        if self.conn.lost or self.finished:
            return
        if self.started:
            raise RuntimeError("the answer has started already")
        self.started = True
        self.head = self._head(status, headers)

    def body(self, body: bytes, more: bool) -> asyncio.Future[None] | None:
        """What an ``http.response.body`` message does; the future to wait
        for before the next piece, while the client reads too slowly."""
        conn = self.conn
        if conn.lost or self.finished:
            return None
        if not self.started:
            raise RuntimeError("unexpected ASGI message 'http.response.body'")
        # The head leaves with the first piece of the body, in one send.
        out, self.head = self.head, b""
        if self.chunked:
            if body:
                out += b"%x\r\n%b\r\n" % (len(body), body)
            if not more:
                out += b"0\r\n\r\n"
        elif body and not self.head_only:
            out += body
        if out:
            conn.write(out)
        if more:
            return conn.write_paused
        self.finished = True
        if not self.complete:
            self.close_after = True  # the rest of the body cannot be skipped safely
        conn.request_done(self)
        return None

    def _head(self, status: int, headers: Any) -> bytes:
        line = STATUS_LINES.get(status) or f"HTTP/1.1 {status} \r\n".encode()
        parts = [line]
        length = dated = False
        for name, value in headers:
            lower = name.lower()
            if lower == b"content-length":
                length = True
            elif lower == b"date":
                dated = True
            elif lower == b"connection" and b"close" in value.lower():
                self.close_after = True
            elif lower == b"transfer-encoding":
                continue  # the framing is this server's
            parts += (name, b": ", value, b"\r\n")
        if not dated:
            parts += (b"date: ", _Clock.date(), b"\r\n")
        if not length and status >= 200 and status not in NO_BODY and not self.head_only:
            if self.http10:
                self.close_after = True  # no chunks in HTTP/1.0: the end of the connection ends the body
            else:
                self.chunked = True
                parts.append(b"transfer-encoding: chunked\r\n")
        if self.close_after or self.conn.server.closing:
            self.close_after = True
            parts.append(b"connection: close\r\n")
        parts.append(b"\r\n")
        return b"".join(parts)


class Connection(asyncio.Protocol):
    """One client connection: its parser, the request being read, and those
    waiting for the one being answered."""

    def __init__(self, server: Server) -> None:
        self.server = server
        self.loop = server.loop
        self.parser = httptools.HttpRequestParser(self)
        self.transport: asyncio.Transport = None  # type: ignore[assignment]
        self.client: tuple[str, int] | None = None
        self.scheme = server.scheme
        self.lost = False
        self.reading_paused = False
        self.write_paused: asyncio.Future[None] | None = None
        self.current: _Request | None = None
        self.reading: _Request | None = None
        self.queue: deque[_Request] = deque()
        self.url = b""
        self.headers: list[tuple[bytes, bytes]] = []
        self.head_size = 0
        self.expect = False
        self.last_read = self.loop.time()

    # asyncio.Protocol
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        """Note the transport and the client's address."""
        self.transport = transport  # type: ignore[assignment]
        peer = transport.get_extra_info("peername")
        self.client = (peer[0], peer[1]) if isinstance(peer, tuple) else None
        self.server.connections.add(self)

    def data_received(self, data: bytes) -> None:
        """Parse ``data``; a malformed or oversized head gets ``400`` and the connection closes."""
        self.last_read = self.loop.time()
        try:
            self.parser.feed_data(data)
        except (httptools.HttpParserError, httptools.HttpParserUpgrade) as exc:
            logger.warning("Invalid HTTP request received: %s", exc)
            if self.current is None:
                self.transport.write(BAD_REQUEST)
            self.queue.clear()
            self.reading = None
            self.transport.close()

    def connection_lost(self, exc: Exception | None) -> None:
        """Tell the requests still open that the client went away."""
        self.lost = True
        self.server.connections.discard(self)
        for request in (self.current, self.reading, *self.queue):
            if request is not None:
                request.wake()
                if request.on_disconnect is not None:
                    request.on_disconnect()
        if self.write_paused is not None and not self.write_paused.done():
            self.write_paused.set_result(None)

    def pause_writing(self) -> None:
        """The socket's buffer is full: streamed answers wait."""
        if self.write_paused is None:
            self.write_paused = self.loop.create_future()

    def resume_writing(self) -> None:
        """The socket's buffer drained: streamed answers go on."""
        paused, self.write_paused = self.write_paused, None
        if paused is not None and not paused.done():
            paused.set_result(None)

    # parser callbacks
    def on_message_begin(self) -> None:
        """A new request head begins."""
        self.url = b""
        self.headers = []
        self.head_size = 0
        self.expect = False

    def on_url(self, url: bytes) -> None:
        """A piece of the request target, counted against ``MAX_HEAD``."""
        self.url += url
        self._count(len(url))

    def on_header(self, name: bytes, value: bytes) -> None:
        """One header, counted against ``MAX_HEAD``; names kept in lower case."""
        size = self.head_size = self.head_size + len(name) + len(value) + 4
        if size > MAX_HEAD:
            raise HeadTooLarge(f"request head larger than {MAX_HEAD} bytes")
        name = name.lower()
        if name == b"expect" and value.lower() == b"100-continue":
            self.expect = True
        self.headers.append((name, value))

    def _count(self, size: int) -> None:
        self.head_size += size
        if self.head_size > MAX_HEAD:
            # Raised inside a parser callback, this reaches data_received
            # as a parser error: 400, connection closed.
            raise HeadTooLarge(f"request head larger than {MAX_HEAD} bytes")

    def on_headers_complete(self) -> None:
        """The head is whole: its request starts, or waits behind the one being answered."""
        if self.parser.should_upgrade():
            raise ValueError("upgrade requests are not served")  # 400, as a parser error
        raw_path, _, query = self.url.partition(b"?")
        path = raw_path.decode("latin-1")
        scope: dict[str, Any] = {
            "type": "http", "asgi": ASGI_VERSION,
            "http_version": self.parser.get_http_version(), "method": self.parser.get_method().decode("ascii"),
            "scheme": self.scheme, "path": unquote(path) if "%" in path else path, "raw_path": raw_path,
            "query_string": query, "root_path": "", "headers": self.headers, "client": self.client,
            "server": None,
        }
        request = self.reading = _Request(self, scope, self.expect)
        scope[DISCONNECT_HOOK] = request
        if self.current is None:
            self._start(request)
        else:
            self.queue.append(request)
            self.pause()  # one pipelined request at a time is enough

    def on_body(self, body: bytes) -> None:
        """A piece of the body, for the request being read."""
        request = self.reading
        if request is not None:
            request.chunks.append(body)
            request.buffered += len(body)
            if request.buffered > BUFFERED:
                self.pause()
            request.wake()

    def on_message_complete(self) -> None:
        """The request being read is whole."""
        request, self.reading = self.reading, None
        if request is not None:
            request.complete = True
            request.wake()

    # the requests' side
    def _start(self, request: _Request) -> None:
        self.current = request
        request.task = self.loop.create_task(self._run(request))

    async def _run(self, request: _Request) -> None:
        try:
            await self.server.app(request.scope, request.receive, request.send)
        except BaseException as exc:
            if not isinstance(exc, Exception):
                self.close()
                raise
            logger.exception("error while answering a request")
            if not request.started and not self.lost:
                self.write(SERVER_ERROR)
            self.close()
            return
        if not request.finished and not self.lost:
            if not request.started:
                self.write(SERVER_ERROR)
            self.close()

    def request_done(self, request: _Request) -> None:
        """The answer to ``request`` was sent whole: next request, or idle."""
        self.current = None
        if request.close_after or self.server.closing:
            self.close()
            return
        self.last_read = self.loop.time()
        if self.queue:
            self._start(self.queue.popleft())
        if not self.queue:
            self.resume()

    def write(self, data: bytes) -> None:
        """Send ``data``, unless the connection is closing."""
        if not self.transport.is_closing():
            self.transport.write(data)

    def close(self) -> None:
        """Close once what was written is sent."""
        self.transport.close()

    def pause(self) -> None:
        """Stop reading from the client."""
        if not self.reading_paused and not self.lost:
            self.reading_paused = True
            self.transport.pause_reading()

    def resume(self) -> None:
        """Read from the client again, unless requests are still queued."""
        if self.reading_paused and not self.lost and not self.queue:
            self.reading_paused = False
            self.transport.resume_reading()

    def idle_since(self) -> float | None:
        """When this connection last read or answered, if no request is being answered."""
        return None if self.current is not None else self.last_read


class Server:
    """The listening socket, its connections and their shutdown."""

    def __init__(self, app: ASGIApp, *, tls: ssl.SSLContext | None = None) -> None:
        self.app = app
        self.tls = tls
        self.scheme = "https" if tls is not None else "http"
        self.loop = asyncio.get_running_loop()
        self.connections: set[Connection] = set()
        self.closing = False
        self._listening: asyncio.AbstractServer | None = None
        self._sweeper: asyncio.TimerHandle | None = None

    async def start(self, sock: Any) -> None:
        """Accept connections on the bound, listening ``sock``."""
        self._listening = await self.loop.create_server(lambda: Connection(self), sock=sock, ssl=self.tls,
                                                        backlog=128)
        self._sweep()

    def _sweep(self) -> None:
        deadline = self.loop.time() - KEEP_ALIVE
        for conn in list(self.connections):
            since = conn.idle_since()
            if since is not None and since < deadline:
                conn.close()
        self._sweeper = self.loop.call_later(1.0, self._sweep)

    async def shutdown(self, grace: float) -> None:
        """Stop accepting; close idle connections at once and the others
        once their answer is sent, or after ``grace`` seconds."""
        self.closing = True
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self._listening is not None:
            self._listening.close()
        tasks = []
        for conn in list(self.connections):
            if conn.current is None:
                conn.close()
            elif conn.current.task is not None:
                tasks.append(conn.current.task)
        if tasks:
            _, late = await asyncio.wait(tasks, timeout=grace)
            for task in late:
                task.cancel()
        for conn in list(self.connections):
            conn.close()
        if self._listening is not None:
            await self._listening.wait_closed()


def tls_context(cert: str, key: str) -> ssl.SSLContext:
    """A server context for ``cert`` (PEM chain) and ``key``; OSError
    (``ssl.SSLError``) when they cannot be used."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context
