"""Server-sent events, as far as the HTTP relay needs them: splitting a
byte stream into events without changing any byte of those it passes on,
and writing an event back after its data changed."""

from __future__ import annotations

from dataclasses import dataclass


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
    """Feed bytes, get complete events. Holds at most one incomplete event."""

    def __init__(self, max_event: int) -> None:
        self._buffer = b""
        self._max = max_event

    def feed(self, chunk: bytes) -> list[Event]:
        """Add ``chunk`` and return the events it completes, in order;
        ValueError when the incomplete event grows beyond ``max_event`` bytes."""
        self._buffer += chunk
        events = []
        while True:
            end, width = _event_end(self._buffer)
            if end < 0:
                break
            raw, self._buffer = self._buffer[:end + width], self._buffer[end + width:]
            events.append(Event(raw, _data_of(raw)))
        if len(self._buffer) > self._max:
            raise ValueError(f"an event longer than {self._max} bytes")
        return events

    def rest(self) -> bytes:
        """What is left when the stream ends (an unterminated event)."""
        rest, self._buffer = self._buffer, b""
        return rest


def _event_end(buffer: bytes) -> tuple[int, int]:
    best, width = -1, 0
    for separator in (b"\n\n", b"\r\n\r\n", b"\r\r"):
        at = buffer.find(separator)
        if at >= 0 and (best < 0 or at < best):
            best, width = at, len(separator)
    return best, width


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
