"""Aggregating replay results into the summary report."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from korvanthel_tools.events import VERDICTS, ReplayEvent

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult

LATENCY_PERCENTILES = (50, 90, 99)


@dataclass(frozen=True)
class Mismatch:
    """An event whose verdict differs from the one its line expected."""

    line: int
    event_type: str
    expected: str
    actual: str
    reason: str | None


@dataclass
class ReplaySummary:
    """Counts gathered over one replay; ``add`` each result in order."""

    verdicts: Counter[str] = field(default_factory=Counter)
    rules: Counter[int] = field(default_factory=Counter)
    # (kind, target, limit, window_ms) -> events that exceeded it
    constraints: Counter[tuple[str, str, int, int]] = field(default_factory=Counter)
    # (proof, invariant, kind) -> events that reported it
    invariants: Counter[tuple[str, str, str]] = field(default_factory=Counter)
    latencies_us: list[int] = field(default_factory=list)
    expectations: int = 0
    mismatches: list[Mismatch] = field(default_factory=list)

    @property
    def events(self) -> int:
        return len(self.latencies_us)

    def add(self, event: ReplayEvent, result: EvalResult) -> Mismatch | None:
        """Count one result; returns the mismatch when its expectation failed."""
        verdict = result["verdict"]
        self.verdicts[verdict] += 1
        self.rules.update(result["triggered_rules"])
        for cv in result["constraint_violations"]:
            self.constraints[(cv["kind"], cv["target"], cv["limit"], cv["window_ms"])] += 1
        for v in result["violations"]:
            self.invariants[(v["proof"], v["invariant"], v["kind"])] += 1
        self.latencies_us.append(result["eval_time_us"])
        if event.expect is None:
            return None
        self.expectations += 1
        if event.expect == verdict:
            return None
        mismatch = Mismatch(event.line, event.event_type, event.expect, verdict, result["reason"])
        self.mismatches.append(mismatch)
        return mismatch

    def render(self, *, policy_name: str, top_rules: int = 10) -> str:
        """The report as text: one titled table per aspect, ending with a
        line feed."""
        n = self.events
        out = [f"Replay of {n} event{'' if n == 1 else 's'} against policy {policy_name!r}", ""]

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
        if n:
            ordered = sorted(self.latencies_us)
            headers = tuple(f"p{p}" for p in LATENCY_PERCENTILES) + ("max", "mean")
            row = tuple(str(percentile(ordered, p)) for p in LATENCY_PERCENTILES)
            row += (str(ordered[-1]), f"{sum(ordered) / n:.1f}")
            out += format_table(headers, [row])
        else:
            out.append("  (no events)")

        out += ["", f"Expectations: {self.expectations} checked, {len(self.mismatches)} failed"]
        if self.mismatches:
            out += format_table(
                ("line", "type", "expected", "actual", "reason"),
                [
                    (str(m.line), m.event_type, m.expected, m.actual, "-" if m.reason is None else repr(m.reason))
                    for m in self.mismatches
                ],
            )
        return "\n".join(out) + "\n"


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
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
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
