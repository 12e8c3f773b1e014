"""Reading a JSON-lines file of events for replay.

Each non-blank line is one JSON object:

    {"type": "tool_call", "fields": {"tool": "shell"}, "expect": "deny"}

``type`` (a string) is required; ``fields`` (an object) defaults to no
fields; ``expect`` (one of allow, deny, audit, redact, any letter case) is
the verdict the author expects; ``comment`` (any value) is ignored. Any
other key is an error, so a misspelt ``expect`` cannot silently disable a
check. The whole file is read and checked before anything is evaluated, so
a bad line leaves the engine untouched and writes no result.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Final

VERDICTS: Final = ("allow", "deny", "audit", "redact")
_KEYS: Final = frozenset({"type", "fields", "expect", "comment"})


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


def parse_event(line_number: int, text: str) -> ReplayEvent:
    """Parse one line; raises EventFileError naming the line on any problem."""
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as exc:
        raise EventFileError(line_number, f"not valid JSON: {exc.msg} (column {exc.colno})") from None
    except RecursionError:
        raise EventFileError(line_number, "not valid JSON: nested too deeply") from None
    if not isinstance(obj, dict):
        raise EventFileError(line_number, f"expected a JSON object, found {_json_kind(obj)}")
    unknown = sorted(set(obj) - _KEYS)
    if unknown:
        raise EventFileError(
            line_number,
            f"unknown key {unknown[0]!r} (allowed: type, fields, expect, comment)",
        )
    event_type = obj.get("type")
    if not isinstance(event_type, str):
        what = "missing" if "type" not in obj else f"a {_json_kind(event_type)}, not a string"
        raise EventFileError(line_number, f'"type" is {what}')
    fields = obj.get("fields", {})
    if fields is None:
        fields = {}
    if not isinstance(fields, dict):
        raise EventFileError(line_number, f'"fields" must be an object, found {_json_kind(fields)}')
    expect = obj.get("expect")
    if expect is not None:
        if not isinstance(expect, str) or expect.lower() not in VERDICTS:
            raise EventFileError(
                line_number,
                f'"expect" must be one of {", ".join(VERDICTS)}, found {json.dumps(expect)}',
            )
        expect = expect.lower()
    return ReplayEvent(line_number, event_type, fields, expect)


def read_events(lines: Iterable[str]) -> list[ReplayEvent]:
    """Parse every non-blank line; the first bad line raises EventFileError."""
    events = []
    for number, text in enumerate(lines, start=1):
        if text.strip():
            events.append(parse_event(number, text))
    return events


def _json_kind(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    return "object"
