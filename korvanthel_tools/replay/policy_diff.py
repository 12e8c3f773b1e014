"""Comparing two policies' results on the same trace, event by event.

Both replays cover the same events in the same order (bad lines are
skipped by both), so the results are paired by position; each pair is
checked to name the same event. An event differs when its verdict or the
set of rules that fired differs. Differences are grouped by their change:
the verdict before and after, the rules that stopped firing and the rules
that started; each group keeps its count and its first few examples.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Final

from korvanthel_tools.replay.summary import BadLine, format_table, render_bad_lines

EXAMPLES_PER_CHANGE: Final = 5


class DiffError(ValueError):
    """The two result streams do not describe the same events."""


@dataclass(frozen=True, order=True)
class Change:
    """How one event's outcome changed from the first policy to the second."""

    before: str
    after: str
    stopped: tuple[int, ...]  # rules that fired only under the first policy
    started: tuple[int, ...]  # rules that fired only under the second

    @property
    def verdict_changed(self) -> bool:
        """True when the verdict differs (not only the rules that fired)."""
        return self.before != self.after

    def label(self) -> str:
        """The change as the report prints it: ``deny -> allow, rules -3 +5``."""
        verdicts = f"{self.before} -> {self.after}" if self.verdict_changed else f"{self.before} (same verdict)"
        rules = [f"-{r}" for r in self.stopped] + [f"+{r}" for r in self.started]
        return verdicts + (f", rules {' '.join(rules)}" if rules else "")


@dataclass(frozen=True)
class Example:
    """One differing event: where it came from and what each policy said."""

    line: int
    file: str | None
    session: Any
    event_type: str
    before_rules: tuple[int, ...]
    after_rules: tuple[int, ...]
    before_reason: str | None
    after_reason: str | None
    order: int = 0  # place in the whole trace, for merging parts in input order

    def where(self) -> str:
        """``file:line``, or ``line N`` when the trace came from one file."""
        return f"{self.file}:{self.line}" if self.file is not None else f"line {self.line}"


@dataclass
class ChangeGroup:
    """The events with one and the same change: how many, and the first few as examples."""

    change: Change
    count: int = 0
    examples: list[Example] = field(default_factory=list)


@dataclass
class PolicyDiff:
    """The differences between two replays of one trace."""

    events: int = 0
    groups: dict[Change, ChangeGroup] = field(default_factory=dict)
    examples_per_change: int = EXAMPLES_PER_CHANGE
    # lines of the trace that are not events (skipped by both replays)
    bad_lines: list[BadLine] = field(default_factory=list)

    @property
    def differing(self) -> int:
        """How many events differ."""
        return sum(g.count for g in self.groups.values())

    @property
    def agree(self) -> bool:
        """True when the policies decided every event alike."""
        return not self.groups

    def ordered_groups(self) -> list[ChangeGroup]:
        """Largest group first; ties in a fixed order of their changes."""
        return sorted(self.groups.values(), key=lambda g: (-g.count, g.change))

    def verdict_changes(self) -> dict[tuple[str, str], int]:
        """Events per verdict change, rule-only changes left out."""
        counts: dict[tuple[str, str], int] = {}
        for group in self.groups.values():
            if group.change.verdict_changed:
                key = (group.change.before, group.change.after)
                counts[key] = counts.get(key, 0) + group.count
        return counts

    def merge(self, other: PolicyDiff) -> None:
        """Add the differences found in another part of the same trace;
        each change keeps its first examples in input order."""
        self.events += other.events
        self.bad_lines = sorted(self.bad_lines + other.bad_lines, key=lambda b: b.order)
        for change, theirs in other.groups.items():
            group = self.groups.get(change)
            if group is None:
                group = self.groups[change] = ChangeGroup(change)
            group.count += theirs.count
            group.examples = sorted(group.examples + theirs.examples, key=lambda e: e.order)[
                : self.examples_per_change
            ]

    def add(self, before: dict[str, Any], after: dict[str, Any], file: str | None = None,
            order: int | None = None) -> Change | None:
        """Pair one result record of each replay; returns the change, if any."""
        if before.get("line") != after.get("line"):
            raise DiffError(
                f"the replays are out of step: line {before.get('line')} against line {after.get('line')}"
            )
        self.events += 1
        b, a = before["result"], after["result"]
        b_rules, a_rules = b["triggered_rules"], a["triggered_rules"]
        if b["verdict"] == a["verdict"] and b_rules == a_rules:
            return None
        b_set, a_set = set(b_rules), set(a_rules)
        change = Change(
            b["verdict"], a["verdict"],
            tuple(sorted(b_set - a_set)), tuple(sorted(a_set - b_set)),
        )
        if change.stopped == change.started == () and not change.verdict_changed:
            # Same rules in another order cannot happen (policy order), but a
            # rule id listed twice could; treat the lists as sets.
            return None
        group = self.groups.get(change)
        if group is None:
            group = self.groups[change] = ChangeGroup(change)
        group.count += 1
        if len(group.examples) < self.examples_per_change:
            group.examples.append(Example(
                before["line"], file, before.get("session"), before.get("type", ""),
                tuple(b_rules), tuple(a_rules), b.get("reason"), a.get("reason"),
                before["line"] if order is None else order,
            ))
        return change

    def render(self, *, before_name: str, after_name: str) -> str:
        """The report as text, ending with a line feed."""
        n, d = self.events, self.differing
        out = [
            f"Diff of {n} event{'' if n == 1 else 's'}: policy {before_name!r} -> policy {after_name!r}",
            f"  {d} event{'' if d == 1 else 's'} differ"
            + (f" ({100 * d / n:.1f}%), in {len(self.groups)} change{'' if len(self.groups) == 1 else 's'}" if d else ""),
        ]
        verdicts = self.verdict_changes()
        if verdicts:
            out += ["", "Verdict changes"]
            out += format_table(
                ("before", "after", "events"),
                [(b, a, str(c)) for (b, a), c in sorted(verdicts.items(), key=lambda kv: (-kv[1], kv[0]))],
            )
        for group in self.ordered_groups():
            out += ["", f"{group.change.label()}: {group.count} event{'' if group.count == 1 else 's'}"]
            rows = [
                (
                    e.where(), "-" if e.session is None else str(e.session), e.event_type,
                    _rules(e.before_rules), _rules(e.after_rules),
                    "-" if e.after_reason is None else repr(e.after_reason),
                )
                for e in group.examples
            ]
            out += format_table(("event", "session", "type", "rules before", "rules after", "reason after"), rows)
            if group.count > len(group.examples):
                out.append(f"  ... and {group.count - len(group.examples)} more")
        if self.bad_lines:
            out += ["", *render_bad_lines(self.bad_lines)]
        return "\n".join(out) + "\n"

    def difference_record(self, before: dict[str, Any], after: dict[str, Any], change: Change,
                          file: str | None = None) -> dict[str, Any]:
        """One JSON-lines record for a differing event."""
        record: dict[str, Any] = {"line": before["line"]}
        if file is not None:
            record["file"] = file
        record.update({
            "session": before.get("session"), "ts": before.get("ts"), "type": before.get("type"),
            "change": change.label(), "before": before["result"], "after": after["result"],
        })
        return record


def diff_results(
    before: Iterable[dict[str, Any]],
    after: Iterable[dict[str, Any]],
    *,
    locate: Callable[[int], tuple[str | None, int]] | None = None,
    orders: Sequence[int] | None = None,
    on_change: Callable[[int, dict[str, Any]], None] | None = None,
    examples_per_change: int = EXAMPLES_PER_CHANGE,
) -> PolicyDiff:
    """Pair two result streams and gather their differences.

    ``locate`` maps a record's ``line`` (numbered through the whole trace)
    to (file, line) when the trace was read from several files; without it
    a record's own ``file`` key names its file. ``orders`` gives each
    pair's place in the trace when the lines do not (by default, the line).
    ``on_change`` receives the place and a record of each differing event,
    in the streams' order.
    """
    diff = PolicyDiff(examples_per_change=examples_per_change)
    b_iter, a_iter = iter(before), iter(after)
    for index, b in enumerate(b_iter):
        a = next(a_iter, None)
        if a is None:
            raise DiffError(f"the second replay ends before line {b.get('line')}")
        order = int(b["line"]) if orders is None else orders[index]
        if locate is not None:
            file, line = locate(b["line"])
            if a.get("line") != b["line"]:
                raise DiffError(
                    f"the replays are out of step: line {b.get('line')} against line {a.get('line')}"
                )
            b = {**b, "line": line}
            a = {**a, "line": line}
        else:
            file = b.get("file")
        change = diff.add(b, a, file, order)
        if change is not None and on_change is not None:
            on_change(order, diff.difference_record(b, a, change, file))
    if next(a_iter, None) is not None:
        raise DiffError("the first replay ends before the second")
    return diff


def diff_result_lines(
    before: bytes,
    after: bytes,
    *,
    locate: Callable[[int], tuple[str | None, int]] | None = None,
    on_change: Callable[[int, dict[str, Any]], None] | None = None,
    examples_per_change: int = EXAMPLES_PER_CHANGE,
) -> PolicyDiff:
    """diff_results over two replays' result lines (JSON lines as the
    native replay writes them), decoding only the pairs that may differ.

    The pairing is native: pairs whose line numbers, verdicts and rule lists
    are the same bytes agree without being decoded; the others (and, when
    the streams' lengths differ, the first line past the shorter) are
    decoded and judged exactly as diff_results judges them, with the same
    errors.
    """
    from korvanthel_tools._native import pair_result_lines

    n_before, n_after, reported, extra = pair_result_lines(before, after)
    diff = diff_results(
        (json.loads(b) for _, b, _ in reported),
        (json.loads(a) for _, _, a in reported),
        locate=locate, on_change=on_change, examples_per_change=examples_per_change,
    )
    diff.events = min(n_before, n_after)
    if n_before > n_after:
        line = json.loads(extra).get("line") if extra is not None else n_after + 1
        raise DiffError(f"the second replay ends before line {line}")
    if n_after > n_before:
        raise DiffError("the first replay ends before the second")
    return diff


def diff_pair_lines(
    pairs: bytes,
    events: int,
    *,
    on_change: Callable[[int, dict[str, Any]], None] | None = None,
    examples_per_change: int = EXAMPLES_PER_CHANGE,
) -> PolicyDiff:
    """diff_results over what a replay against a second policy wrote: for
    each event the policies decided differently, its result line under the
    first and then under the second. ``events`` is how many were compared."""
    lines = pairs.splitlines()
    if len(lines) % 2:
        raise DiffError("the paired results end inside a pair")
    diff = diff_results(
        (json.loads(b) for b in lines[0::2]), (json.loads(a) for a in lines[1::2]),
        on_change=on_change, examples_per_change=examples_per_change,
    )
    diff.events = events
    return diff


def diff_from_changes(
    changes: Iterable[Sequence[Any]], events: int, *, examples_per_change: int = EXAMPLES_PER_CHANGE
) -> PolicyDiff:
    """The PolicyDiff of a replay against a second policy that grouped the
    differences itself: ``changes`` holds, for each change, (before, after,
    stopped, started, count, examples), each example (line, file, session,
    type, before_rules, after_rules, before_reason, after_reason, order), as
    ``_native.replay_lines(..., against=, examples=)`` returns them.
    ``events`` is how many were compared."""
    diff = PolicyDiff(events=events, examples_per_change=examples_per_change)
    for before, after, stopped, started, count, examples in changes:
        change = Change(before, after, tuple(stopped), tuple(started))
        diff.groups[change] = ChangeGroup(change, count, [Example(*example) for example in examples])
    return diff


def _rules(rules: Sequence[int]) -> str:
    return ",".join(str(r) for r in rules) if rules else "-"


def iter_records(results: bytes, loads: Callable[[bytes], Any]) -> Iterator[dict[str, Any]]:
    """Parse result JSON lines one by one."""
    start = 0
    while start < len(results):
        end = results.find(b"\n", start)
        if end < 0:
            end = len(results)
        if end > start:
            record = loads(results[start:end])
            yield record
        start = end + 1
