"""Events read from lines of a trace, one at a time, for replays driven
from Python.

A line is read exactly as the native replay reads it
(``_native.read_event_line``): ``type`` (a string) is required; ``fields``
(an object) defaults to no fields; ``ts`` is milliseconds since 1970 or an
RFC 3339 text; ``expect`` (one of allow, deny, audit, redact, any letter
case) is the verdict the author expects; ``comment`` (any value) is
ignored. Any other key is an error, so a misspelt ``expect`` cannot
silently disable a check.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Final

VERDICTS: Final = ("allow", "deny", "audit", "redact")


class EventFileError(ValueError):
    """A line of the events file is not a valid event."""

    def __init__(self, line: int, problem: str) -> None:
        super().__init__(f"line {line}: {problem}")
        self.line = line
        self.problem = problem


@dataclass(frozen=True)
class ReplayEvent:
    """One event to replay, with the line it came from (1-based)."""

    line: int
    event_type: str
    fields: dict[str, Any]
    expect: str | None
    ts: int | None = None


def parse_event(line_number: int, text: str | bytes) -> ReplayEvent:
    """Read one line; raises EventFileError naming the line on any problem."""
    from korvanthel_tools import _native

    try:
        event = _native.read_event_line(text)
    except _native.EventLineError as exc:
        raise EventFileError(line_number, exc.problem) from None
    return ReplayEvent(line_number, event["type"], event["fields"], event["expect"], event["ts"])


def read_events(lines: Iterable[str]) -> list[ReplayEvent]:
    """Read every non-blank line; the first bad line raises EventFileError."""
    return [parse_event(number, text) for number, text in enumerate(lines, start=1) if text.strip()]
