"""Replaying a trace in event time through the native replayer.

Each event is evaluated at its own ``ts``; with a session key every
session has its own engine, made at the time of its session's first event.
The whole trace is read, parsed and evaluated in C++
(``korvanthel_tools._native.replay_lines``), which also names each line by
its file when it is given the trace's files; this module chooses the
options and turns the replayer's summary into a ``ReplaySummary``.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from korvanthel_tools.container import starts_with_magic
from korvanthel_tools.loading import ToolError
from korvanthel_tools.replay.summary import BadLine, Mismatch, ReplaySummary

Locate = Callable[[int], tuple[str | None, int]]

_LINE_IN_MESSAGE = re.compile(r"\bline (\d+)")


@dataclass(frozen=True)
class ReplayOptions:
    """How a trace is replayed; the same for every session and every worker."""

    session_key: str | None = None
    sort: bool = False
    strict: bool = False
    context: Mapping[str, Any] = field(default_factory=dict)
    config: Mapping[str, Any] = field(default_factory=dict)

    def native_kwargs(self) -> dict[str, Any]:
        """The options as ``_native.replay_lines`` takes them; context and
        config as dicts of their values."""
        return {
            "session_key": self.session_key,
            "sort": self.sort,
            "strict": self.strict,
            "context": dict(self.context) if self.context else None,
            "config": dict(self.config) if self.config else None,
        }


@dataclass
class NativeRun:
    """What one call of the native replayer gave back."""

    results: bytes | None
    summary: Mapping[str, Any]
    # With against and examples: the differing events grouped by change
    # (see policy_diff.diff_from_changes) and their records as JSON lines.
    changes: list[Any] | None = None
    records: bytes | None = None


def policy_argument(policy: bytes) -> bytes | str:
    """A container's bytes as they are; anything else is policy JSON text."""
    if starts_with_magic(policy):
        return policy
    try:
        return policy.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ToolError(f"policy is not UTF-8 text (byte {exc.start}: {exc.reason})") from None


def replay_native(
    policy: bytes,
    data: bytes,
    options: ReplayOptions,
    *,
    line_numbers: Sequence[int] | None = None,
    out: str | None = None,
    locate: Locate | None = None,
    files: Sequence[tuple[str, int]] | None = None,
    against: bytes | None = None,
    examples: int | None = None,
) -> NativeRun:
    """Replay JSON lines through the native replayer.

    A refused line under ``strict``, time going backwards in a session
    without ``sort``, or a policy the engine refuses raises ToolError.
    ``files`` ((name, first line) of each file the trace was joined from)
    has the replayer name every line by its file and its line there, in
    results, summary and errors; ``locate`` instead renames the lines of an
    error afterwards (for lines numbered by the caller). With ``against``
    (a second policy) each line is read once and evaluated by both, and the
    results hold only the events they decide differently, as two lines each
    (see ``policy_diff.diff_pair_lines``); with ``examples`` too, the
    replayer also groups them by change, keeping that many examples of each
    (``NativeRun.changes`` and ``records``).
    """
    from korvanthel_tools import _native

    try:
        raw = _native.replay_lines(
            policy_argument(policy), data, line_numbers=line_numbers, out=out, files=files,
            against=None if against is None else policy_argument(against),
            examples=None if against is None else examples, **options.native_kwargs()
        )
    except (ValueError, RuntimeError, OSError) as exc:
        line, problem = getattr(exc, "line", None), getattr(exc, "problem", None)
        if locate is not None and isinstance(line, int) and isinstance(problem, str):
            file, number = _where(line, locate)
            where = f"line {number}" if file is None else f"{file}:{number}"
            raise ToolError(f"{where}: {name_lines(problem, locate, every=True)}") from None
        raise ToolError(str(exc)) from None
    results = raw.get("results")
    records = raw.get("records")
    return NativeRun(results if isinstance(results, bytes) else None, raw["summary"], raw.get("changes"),
                     records if isinstance(records, bytes) else None)


def name_lines(message: str, locate: Locate | None, *, every: bool = False) -> str:
    """Rewrite the first 'line N' of a message (every one with ``every``) as
    'FILE:LINE' when lines are numbered through several files."""
    if locate is None:
        return message

    def sub(match: re.Match[str]) -> str:
        file, line = locate(int(match.group(1)))
        return f"line {line}" if file is None else f"{file}:{line}"

    return _LINE_IN_MESSAGE.sub(sub, message, count=0 if every else 1)


def summary_from_native(
    raw: Mapping[str, Any], locate: Locate | None = None, *, sessions: bool = False
) -> ReplaySummary:
    """The native replayer's summary as a ReplaySummary; the count of
    sessions is kept when ``sessions`` (a replay with a session key)."""
    summary = ReplaySummary()
    summary.events = int(raw.get("events", 0))
    if sessions and raw.get("sessions") is not None:
        summary.sessions = int(raw["sessions"])
    for verdict, count in dict(raw.get("verdicts", {})).items():
        summary.verdicts[str(verdict)] += int(count)
    for rule, count in _pairs(raw.get("rules", {})):
        summary.rules[int(rule)] += int(count)
    for item in raw.get("constraint_violations", []):
        key = (str(item["kind"]), str(item["target"]), int(item["limit"]), int(item["window_ms"]))
        summary.constraints[key] += int(item.get("events", item.get("count", 1)))
    for item in raw.get("violations", []):
        key3 = (str(item["proof"]), str(item["invariant"]), str(item["kind"]))
        summary.invariants[key3] += int(item.get("events", item.get("count", 1)))
    for value, count in _pairs(raw.get("latency_us", {})):
        summary.latency_us[int(value)] += int(count)
    summary.expectations = int(raw.get("expectations", 0))
    for item in raw.get("mismatches", []):
        file, line, number = _named(item, locate)
        summary.mismatches.append(Mismatch(
            line, str(item.get("type", "")), str(item["expected"]), str(item["actual"]),
            item.get("reason"), file, number,
        ))
    summary.bad_lines = bad_lines_from_native(raw, locate)
    return summary


def bad_lines_from_native(raw: Mapping[str, Any], locate: Locate | None = None) -> list[BadLine]:
    """The replayer's bad lines, named by file and line when ``locate`` is given."""
    bad: list[BadLine] = []
    for item in raw.get("bad_lines", []):
        file, line, number = _named(item, locate)
        bad.append(BadLine(line, str(item["message"]), file, number))
    return bad


def _named(item: Mapping[str, Any], locate: Locate | None) -> tuple[str | None, int, int]:
    """(file, line, number through the trace) of a summary item, named by
    the replayer itself (its "file" and "order") or through ``locate``."""
    if "file" in item:
        return str(item["file"]), int(item["line"]), int(item["order"])
    number = int(item["line"])
    file, line = _where(number, locate)
    return file, line, number


def relabel_line(raw: bytes, file: str | None, line: int) -> bytes:
    """A result line, as the replayer wrote it, renamed by its line in its
    own file (and the file, when the trace came from several). Only the
    leading ``"line"`` entry is rewritten; the rest of the text is kept."""
    comma = raw.find(b",")
    if not raw.startswith(b'{"line":') or comma < 0:
        record = relabel_record(json.loads(raw), file, line)
        return json.dumps(record, ensure_ascii=False).encode("utf-8")
    head = b'{"line": %d' % line
    if file is not None:
        head += b', "file": ' + json.dumps(file, ensure_ascii=False).encode("utf-8")
    return head + raw[comma:]


def relabel_record(record: dict[str, Any], file: str | None, line: int) -> dict[str, Any]:
    """A result record named by its line in its own file (and the file, when
    the trace came from several)."""
    if file is None:
        record["line"] = line
        return record
    rest = {k: v for k, v in record.items() if k != "line"}
    return {"line": line, "file": file, **rest}


def _where(number: int, locate: Locate | None) -> tuple[str | None, int]:
    return (None, number) if locate is None else locate(number)


def _pairs(value: Any) -> list[tuple[Any, Any]]:
    """Counts given as a mapping or as a list of [key, count] pairs."""
    if isinstance(value, Mapping):
        return list(value.items())
    return [(k, c) for k, c in value]
