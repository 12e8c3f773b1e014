"""Server-sent events, as far as the HTTP relay needs them: splitting a
byte stream into events the way a client's parser does, and writing an
event back after its data changed.

Lines end in CRLF, LF or CR and an event ends at a blank line, as the
event-stream format says; each event's ``raw`` is its lines joined by LF
(so a stream written with LF only passes byte for byte). The relay sends
the client ``raw``, the very event it judged, so no difference between
this parser and the client's can carry an event past the guard. An event
left unterminated when the stream ends is discarded, as clients do.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

_LINE_END = re.compile(rb"\r\n|\r|\n")


@dataclass
class Event:
    """One server-sent event: its bytes as received and its data."""

    raw: bytes
    """The event's bytes as received, with its terminating blank line."""
    data: str | None
    """The joined ``data:`` lines; None when the event has none."""

    def with_data(self, data: str) -> bytes:
        """The event with its data replaced; other fields (id, event,
        retry) kept in order."""
        lines: list[bytes] = []
        wrote = False
        for line in _lines(self.raw):
            if line == b"":
                continue
            if line.startswith(b"data:") or line == b"data":
                if not wrote:
                    lines.extend(b"data: " + part.encode("utf-8") for part in data.split("\n"))
                    wrote = True
                continue
            lines.append(line)
        return b"\n".join(lines) + b"\n\n"


class Splitter:
    """Feed bytes, get complete events. Holds at most one incomplete event
    (``max_event`` bytes, else ``feed`` raises ValueError)."""

    def __init__(self, max_event: int) -> None:
        self._buffer = b""
        self._lines: list[bytes] = []
        self._size = 0
        self._max = max_event

    _fast = True
    """Whether a buffer without CR is split with ``bytes.split`` (the
    usual case: the same lines as the general scan, at a fraction of its cost)."""

    def feed(self, chunk: bytes) -> list[Event]:
        """Add ``chunk`` and return the events it completes, in order;
        ValueError when the incomplete event grows beyond ``max_event`` bytes."""
        buffer = self._buffer + chunk
        events: list[Event] = []
        if self._fast and b"\r" not in buffer:
            lines = buffer.split(b"\n")
            self._buffer = lines.pop()
            for line in lines:
                self._line(line, events)
        else:
            position = 0
            for match in _LINE_END.finditer(buffer):
                if match.end() == len(buffer) and match.group() == b"\r":
                    break  # perhaps the first half of a CRLF
                self._line(buffer[position:match.start()], events)
                position = match.end()
            self._buffer = buffer[position:]
        if self._size + len(self._buffer) > self._max:
            raise ValueError(f"an event longer than {self._max} bytes")
        return events

    def _line(self, line: bytes, events: list[Event]) -> None:
        if line:
            self._lines.append(line)
            self._size += len(line) + 1
        elif self._lines:
            raw = b"\n".join(self._lines) + b"\n\n"
            events.append(Event(raw, _data_of(raw)))
            self._lines = []
            self._size = 0

    def rest(self) -> bytes:
        """What is left when the stream ends (an unterminated event, which
        is not relayed)."""
        lines = self._lines + ([self._buffer] if self._buffer else [])
        self._buffer, self._lines, self._size = b"", [], 0
        return b"\n".join(lines)


def _lines(raw: bytes) -> list[bytes]:
    return raw.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")


def _data_of(raw: bytes) -> str | None:
    parts = []
    for line in _lines(raw):
        if line.startswith(b"data:"):
            value = line[5:]
            parts.append(value[1:] if value.startswith(b" ") else value)
        elif line == b"data":
            parts.append(b"")
    if not parts:
        return None
    return b"\n".join(parts).decode("utf-8", "replace")
