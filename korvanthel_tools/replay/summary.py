"""Aggregating replay results into the summary report."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from korvanthel_tools.replay.events import VERDICTS, ReplayEvent

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult

LATENCY_PERCENTILES = (50, 90, 99)
BAD_LINES_SHOWN = 20


@dataclass(frozen=True)
class Mismatch:
    """An event whose verdict differs from the one its line expected."""

    line: int
    event_type: str
    expected: str
    actual: str
    reason: str | None
    file: str | None = None
    order: int = 0  # place in the whole trace, for merging parts in input order

    def where(self) -> str:
        """``file:line``, or the line alone when the trace came from one file."""
        return str(self.line) if self.file is None else f"{self.file}:{self.line}"


@dataclass(frozen=True)
class BadLine:
    """An input line that is not an event: skipped, counted and named."""

    line: int
    message: str
    file: str | None = None
    order: int = 0  # place in the whole trace, for merging parts in input order

    def where(self) -> str:
        """``file:line``, or the line alone when the trace came from one file."""
        return str(self.line) if self.file is None else f"{self.file}:{self.line}"


@dataclass
class ReplaySummary:
    """Counts gathered over one replay; ``add`` each result record, or
    ``merge`` the summaries of parts of one trace."""

    verdicts: Counter[str] = field(default_factory=Counter)
    rules: Counter[int] = field(default_factory=Counter)
    # (kind, target, limit, window_ms) -> events that exceeded it
    constraints: Counter[tuple[str, str, int, int]] = field(default_factory=Counter)
    # (proof, invariant, kind) -> events that reported it
    invariants: Counter[tuple[str, str, str]] = field(default_factory=Counter)
    # eval_time_us -> events that took it
    latency_us: Counter[int] = field(default_factory=Counter)
    events: int = 0
    sessions: int | None = None
    expectations: int = 0
    mismatches: list[Mismatch] = field(default_factory=list)
    bad_lines: list[BadLine] = field(default_factory=list)

    def add(self, event: ReplayEvent, result: EvalResult) -> Mismatch | None:
        """Count the result of one event evaluated from Python; returns the
        mismatch when its expectation failed."""
        record: dict[str, Any] = {"line": event.line, "type": event.event_type, "result": result}
        if event.expect is not None:
            record["expect"] = event.expect
        return self.add_record(record, order=event.line)

    def add_record(self, record: Mapping[str, Any], file: str | None = None, order: int = 0) -> Mismatch | None:
        """Count one result record (``{"line", "type", "result", "expect"?}``);
        returns the mismatch when its expectation failed."""
        result = record["result"]
        verdict = result["verdict"]
        self.events += 1
        self.verdicts[verdict] += 1
        self.rules.update(result["triggered_rules"])
        for cv in result["constraint_violations"]:
            self.constraints[(cv["kind"], cv["target"], cv["limit"], cv["window_ms"])] += 1
        for v in result["violations"]:
            self.invariants[(v["proof"], v["invariant"], v["kind"])] += 1
        self.latency_us[result["eval_time_us"]] += 1
        expect = record.get("expect")
        if expect is None:
            return None
        self.expectations += 1
        if expect == verdict:
            return None
        mismatch = Mismatch(record["line"], record.get("type", ""), expect, verdict, result["reason"], file, order)
        self.mismatches.append(mismatch)
        return mismatch

    def merge(self, other: ReplaySummary) -> None:
        """Add another part's counts; mismatches and bad lines are kept in
        input order (file, then line)."""
        self.verdicts.update(other.verdicts)
        self.rules.update(other.rules)
        self.constraints.update(other.constraints)
        self.invariants.update(other.invariants)
        self.latency_us.update(other.latency_us)
        self.events += other.events
        if other.sessions is not None:
            self.sessions = (self.sessions or 0) + other.sessions
        self.expectations += other.expectations
        self.mismatches = sorted(self.mismatches + other.mismatches, key=lambda m: m.order)
        self.bad_lines = sorted(self.bad_lines + other.bad_lines, key=lambda b: b.order)

    def render(self, *, policy_name: str, top_rules: int = 10, source_hash: int | None = None) -> str:
        """The report as text: one titled table per aspect, ending with a
        line feed."""
        n = self.events
        in_sessions = "" if self.sessions is None else f" in {self.sessions} session{'' if self.sessions == 1 else 's'}"
        out = [f"Replay of {n} event{'' if n == 1 else 's'}{in_sessions} against policy {policy_name!r}"]
        if source_hash:
            out.append(f"Policy source hash: {source_hash}")
        out.append("")

        out.append("Verdicts")
        out += format_table(
            ("verdict", "events", "share"),
            [(v, str(self.verdicts[v]), _share(self.verdicts[v], n)) for v in VERDICTS],
        )

        out += ["", "Most-fired rules"]
        fired = sorted(self.rules.items(), key=lambda item: (-item[1], item[0]))
        if fired:
            rows = [(str(rule), str(count), _share(count, n)) for rule, count in fired[:top_rules]]
            out += format_table(("rule", "fired", "of events"), rows)
            if len(fired) > top_rules:
                out.append(f"  ... and {len(fired) - top_rules} more rules")
        else:
            out.append("  (no rule fired)")

        out += ["", "Constraint violations"]
        if self.constraints:
            out += format_table(
                ("kind", "target", "limit", "window_ms", "events"),
                [(k, t, str(lim), str(w), str(c)) for (k, t, lim, w), c in sorted(self.constraints.items())],
            )
        else:
            out.append("  (none)")

        out += ["", "Invariant violations"]
        if self.invariants:
            out += format_table(
                ("proof", "invariant", "kind", "events"),
                [(p, i, k, str(c)) for (p, i, k), c in sorted(self.invariants.items())],
            )
        else:
            out.append("  (none)")

        out += ["", "Latency (eval_time_us)"]
        if n and self.latency_us:
            total = sum(self.latency_us.values())
            headers = tuple(f"p{p}" for p in LATENCY_PERCENTILES) + ("max", "mean")
            row = tuple(str(histogram_percentile(self.latency_us, p)) for p in LATENCY_PERCENTILES)
            mean = sum(v * c for v, c in self.latency_us.items()) / total
            row += (str(max(self.latency_us)), f"{mean:.1f}")
            out += format_table(headers, [row])
        else:
            out.append("  (no events)")

        out += ["", f"Expectations: {self.expectations} checked, {len(self.mismatches)} failed"]
        if self.mismatches:
            out += format_table(
                ("line", "type", "expected", "actual", "reason"),
                [
                    (m.where(), m.event_type, m.expected, m.actual, "-" if m.reason is None else repr(m.reason))
                    for m in self.mismatches
                ],
            )
        if self.bad_lines:
            out += ["", *render_bad_lines(self.bad_lines)]
        return "\n".join(out) + "\n"


def render_bad_lines(bad_lines: Sequence[BadLine]) -> list[str]:
    """The titled table of the first lines that are not events."""
    out = [f"Bad lines: {len(bad_lines)} skipped"]
    shown = bad_lines[:BAD_LINES_SHOWN]
    out += format_table(("line", "problem"), [(b.where(), b.message) for b in shown])
    if len(bad_lines) > len(shown):
        out.append(f"  ... and {len(bad_lines) - len(shown)} more")
    return out


def histogram_percentile(counts: Mapping[int, int], p: float) -> int:
    """Nearest-rank percentile of the values a histogram counts (value ->
    how many times it occurred); the same as ``percentile`` of the values."""
    total = sum(counts.values())
    if total <= 0:
        raise ValueError("percentile of no values")
    rank = min(max(1, math.ceil(p / 100 * total)), total)
    seen = 0
    for value in sorted(counts):
        seen += counts[value]
        if seen >= rank:
            return value
    raise AssertionError("unreachable: the counts add up to total")


def percentile(ordered: Sequence[int], p: float) -> int:
    """Nearest-rank percentile of an ascending, non-empty sequence: the
    smallest value with at least p percent of the values at or below it."""
    if not ordered:
        raise ValueError("percentile of no values")
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def format_table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    """Indented columns; a column whose cells all read as numbers is right-
    aligned, others left-aligned."""
    widths = [max([len(h), *(len(r[i]) for r in rows)]) for i, h in enumerate(headers)]
    numeric = [bool(rows) and all(_is_number(r[i]) for r in rows) for i in range(len(headers))]

    def line(cells: Sequence[str]) -> str:
        parts = [c.rjust(w) if num else c.ljust(w) for c, w, num in zip(cells, widths, numeric)]
        return ("  " + "  ".join(parts)).rstrip()

    return [line(headers)] + [line(r) for r in rows]


def _share(count: int, total: int) -> str:
    return f"{100 * count / total:.1f}%" if total else "-"


def _is_number(cell: str) -> bool:
    try:
        float(cell.rstrip("%"))
    except ValueError:
        return False
    return True
