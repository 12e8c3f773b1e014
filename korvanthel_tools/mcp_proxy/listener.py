"""The HTTP/1.1 protocol the relay listens with: the web server's
llhttp-based protocol (``httptools``), with the request line and headers
of each request bounded by ``MAX_HEAD`` bytes; a request over it gets
``400`` and its connection is closed. Without ``httptools`` the pure-Python
protocol is used, with the same bound.

Counting costs one addition per header; parsing is in C.
"""

from __future__ import annotations

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

    class BoundedHttpToolsProtocol(HttpToolsProtocol):  # type: ignore[misc]
        head_size = 0

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
