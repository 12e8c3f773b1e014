"""The HTTP/1.1 protocol the relay listens with: the web server's
llhttp-based protocol (``httptools``), with the request line and headers
of each request bounded by ``MAX_HEAD`` bytes; a request over it gets
``400`` and its connection is closed. Without ``httptools`` the pure-Python
protocol is used, with the same bound.

Counting costs one addition per header; parsing is in C.

Writes to a connection are coalesced: what the application writes in one
turn of the event loop (an answer's headers and its body, say) leaves in
one send, at the end of that turn. On loopback a send costs far more than
the Python around it (the receiver's network stack runs in the sender's
system call), so this halves the answer's cost.
"""

from __future__ import annotations

import asyncio
from typing import Any

MAX_HEAD = 64 * 1024


class HeadTooLarge(Exception):
    """A request's line and headers exceed ``MAX_HEAD`` bytes."""


def protocol_options() -> dict[str, Any]:
    """The ``uvicorn.Config`` options that select the protocol and its bound."""
    try:
        from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
    except ImportError:
        return {"http": "h11", "h11_max_incomplete_event_size": MAX_HEAD}

    class BoundedHttpToolsProtocol(HttpToolsProtocol):
        head_size = 0

        def connection_made(self, transport: asyncio.BaseTransport) -> None:
            super().connection_made(CoalescingTransport(transport))  # type: ignore[arg-type]

        def on_message_begin(self) -> None:
            self.head_size = 0
            super().on_message_begin()

        def on_url(self, url: bytes) -> None:
            self._count(len(url))
            super().on_url(url)

        def on_header(self, name: bytes, value: bytes) -> None:
            self._count(len(name) + len(value) + 4)
            super().on_header(name, value)

        def _count(self, size: int) -> None:
            self.head_size += size
            if self.head_size > MAX_HEAD:
                # Raised inside a parser callback, this reaches the
                # protocol as a parser error: 400, connection closed.
                raise HeadTooLarge(f"request head larger than {MAX_HEAD} bytes")

    return {"http": BoundedHttpToolsProtocol}


class CoalescingTransport:
    """A transport whose writes within one turn of the event loop go out
    as one write at its end; everything else is the wrapped transport's."""

    def __init__(self, transport: asyncio.BaseTransport) -> None:
        self._transport = transport
        self._pending: list[bytes] = []
        self._loop = asyncio.get_running_loop()

    def write(self, data: bytes) -> None:
        """Queue ``data``; it goes out with the turn's other writes in one send."""
        if not self._pending:
            self._loop.call_soon(self.flush)
        self._pending.append(data)

    def writelines(self, lines: Any) -> None:
        """Queue each of ``lines``, as ``write`` does."""
        for data in lines:
            self.write(data)

    def flush(self) -> None:
        """Send what this turn queued, in one write to the socket."""
        if self._pending:
            data = b"".join(self._pending)
            self._pending.clear()
            if not self._transport.is_closing():
                self._transport.write(data)  # type: ignore[attr-defined]

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        """The wrapped transport's, but for ``socket`` and ``sockname``:
        unknown. The web server then reads the client's address from
        ``peername`` and leaves the request's ``server`` address unset (the
        relay does not use it): on libuv's loop each such read makes a
        socket object, and this saves two of three per connection."""
        if name in ("socket", "sockname"):
            return default
        return self._transport.get_extra_info(name, default)

    def get_write_buffer_size(self) -> int:
        """Bytes queued here plus those the socket's transport still holds."""
        buffered: int = self._transport.get_write_buffer_size()  # type: ignore[attr-defined]
        return sum(map(len, self._pending)) + buffered

    def close(self) -> None:
        """Send what is queued, then close the connection."""
        self.flush()
        self._transport.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)
