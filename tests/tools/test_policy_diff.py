"""Comparing two policies on one trace: grouping, counts, examples, exit status."""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvanthel_tools.replay.policy_diff import Change, DiffError, PolicyDiff, diff_result_lines, diff_results

from replay_support import POLICY, T0, stricter, write_policy
from tools_support import Run, cli, json_lines, policy_json, write_events

VERDICT = st.sampled_from(["allow", "deny", "audit", "redact"])
RULES = st.lists(st.integers(1, 6), unique=True, max_size=4).map(sorted)


def record(line: int, verdict: str, rules: list[int], session: str | None = None) -> dict[str, Any]:
    return {"line": line, "session": session, "ts": T0 + line, "type": "tool_call",
            "result": {"verdict": verdict, "reason": None, "triggered_rules": rules}}


@pytest.mark.parametrize(
    ("before", "after", "change"),
    [
        (("allow", [1]), ("allow", [1]), None),
        (("allow", []), ("deny", [2]), Change("allow", "deny", (), (2,))),
        (("deny", [2, 3]), ("deny", [3, 4]), Change("deny", "deny", (2,), (4,))),
        (("audit", [1]), ("allow", [1]), Change("audit", "allow", (), ())),
    ],
)
def test_a_pair_is_classified_by_verdict_and_rule_changes(
    before: tuple[str, list[int]], after: tuple[str, list[int]], change: Change | None
) -> None:
    diff = PolicyDiff()
    assert diff.add(record(1, *before), record(1, *after)) == change
    assert diff.events == 1 and diff.differing == (0 if change is None else 1)


@pytest.mark.parametrize(
    ("change", "label"),
    [
        (Change("allow", "deny", (), (2,)), "allow -> deny, rules +2"),
        (Change("deny", "deny", (2, 5), (4,)), "deny (same verdict), rules -2 -5 +4"),
        (Change("audit", "allow", (), ()), "audit -> allow"),
    ],
)
def test_change_labels(change: Change, label: str) -> None:
    assert change.label() == label


def test_groups_count_and_keep_the_first_examples_in_order() -> None:
    before = [record(i, "allow", [1]) for i in range(1, 21)]
    after = [record(i, "deny" if i % 2 else "allow", [1, 2] if i % 2 else [1]) for i in range(1, 21)]
    after[19] = record(20, "audit", [1])
    changed: list[tuple[int, dict[str, Any]]] = []
    diff = diff_results(before, after, on_change=lambda o, r: changed.append((o, r)), examples_per_change=3)
    groups = diff.ordered_groups()
    assert [(g.change.label(), g.count) for g in groups] == [("allow -> deny, rules +2", 10), ("allow -> audit", 1)]
    assert [e.line for e in groups[0].examples] == [1, 3, 5]
    assert [o for o, _ in changed] == [1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 20]
    assert changed[0][1]["change"] == "allow -> deny, rules +2"
    assert diff.verdict_changes() == {("allow", "deny"): 10, ("allow", "audit"): 1}
    text = diff.render(before_name="old", after_name="new")
    assert "11 events differ (55.0%), in 2 changes" in text
    assert "allow -> deny, rules +2: 10 events" in text
    assert "  ... and 7 more" in text


def test_examples_are_named_by_file_when_located() -> None:
    before = [record(1, "allow", []), record(2, "allow", []), record(3, "allow", [])]
    after = [record(1, "deny", []), record(2, "allow", []), record(3, "deny", [])]

    def locate(n: int) -> tuple[str | None, int]:
        return ("a.jsonl", n) if n < 3 else ("b.jsonl", n - 2)

    diff = diff_results(before, after, locate=locate)
    assert [e.where() for e in diff.ordered_groups()[0].examples] == ["a.jsonl:1", "b.jsonl:1"]


@pytest.mark.parametrize(
    ("before", "after", "problem"),
    [
        ([record(1, "allow", [])], [], "the second replay ends before line 1"),
        ([], [record(1, "allow", [])], "the first replay ends before the second"),
        ([record(1, "allow", [])], [record(2, "allow", [])], "out of step"),
    ],
)
def test_streams_that_do_not_pair_are_refused(
    before: list[dict[str, Any]], after: list[dict[str, Any]], problem: str
) -> None:
    with pytest.raises(DiffError, match=problem):
        diff_results(before, after)


@settings(max_examples=60, deadline=None)
@given(
    pairs=st.lists(st.tuples(VERDICT, RULES, VERDICT, RULES), max_size=40),
    cuts=st.lists(st.integers(0, 40), max_size=4),
)
def test_merging_parts_equals_diffing_the_whole(
    pairs: list[tuple[str, list[int], str, list[int]]], cuts: list[int]
) -> None:
    before = [record(i + 1, vb, rb) for i, (vb, rb, _, _) in enumerate(pairs)]
    after = [record(i + 1, va, ra) for i, (_, _, va, ra) in enumerate(pairs)]
    whole = diff_results(before, after, examples_per_change=2)
    bounds = sorted({0, len(pairs) // 2, len(pairs), *(min(c, len(pairs)) for c in cuts)})
    merged = PolicyDiff(examples_per_change=2)
    for lo, hi in reversed(list(zip(bounds, bounds[1:]))):  # parts in any order
        merged.merge(diff_results(before[lo:hi], after[lo:hi], examples_per_change=2))
    assert merged.events == whole.events == len(pairs)
    assert {c: (g.count, g.examples) for c, g in merged.groups.items()} == {
        c: (g.count, g.examples) for c, g in whole.groups.items()
    }
    differing = sum(1 for vb, rb, va, ra in pairs if vb != va or set(rb) != set(ra))
    assert whole.differing == differing


def lines(records: list[dict[str, Any]]) -> bytes:
    return b"".join(json.dumps(r).encode() + b"\n" for r in records)


def outcome(diff_of: Callable[[], PolicyDiff]) -> Any:
    try:
        diff = diff_of()
    except DiffError as exc:
        return str(exc)
    return diff.events, {c: (g.count, g.examples) for c, g in diff.groups.items()}


# Rule lists with repeats, reasons that spell the keys the pairing looks
# for, streams of different lengths and out of step: the native pairing
# decodes fewer lines and must reach the same diff (or the same error).
@settings(max_examples=80, deadline=None)
@given(
    pairs=st.lists(st.tuples(VERDICT, st.lists(st.integers(1, 4), max_size=3), VERDICT,
                             st.lists(st.integers(1, 4), max_size=3), st.booleans()), max_size=30),
    extra=st.integers(-2, 2),
    skew=st.integers(0, 31),
)
def test_pairing_result_lines_natively_equals_diffing_the_records(
    pairs: list[tuple[str, list[int], str, list[int], bool]], extra: int, skew: int
) -> None:
    before, after = [], []
    for i, (vb, rb, va, ra, tricky) in enumerate(pairs):
        b, a = record(i + 1, vb, rb), record(i + 1 + (i == skew), va, ra)
        if tricky:
            b["result"]["reason"] = '"result": {"verdict": "deny", "triggered_rules": [9]}'
            b["session"] = '"triggered_rules": ['
        before.append(b)
        after.append(a)
    if extra > 0:
        before += [record(len(pairs) + k + 1, "allow", []) for k in range(extra)]
    elif extra < 0:
        after += [record(len(pairs) + k + 1, "allow", []) for k in range(-extra)]
    expected = outcome(lambda: diff_results(before, after, examples_per_change=2))
    assert outcome(lambda: diff_result_lines(lines(before), lines(after), examples_per_change=2)) == expected


# --- the command -----------------------------------------------------------

TRACE = [
    {"type": "tool_call", "fields": {"tool": "fetch"}, "ts": T0, "session": "a"},
    {"type": "tool_call", "fields": {"tool": "shell"}, "ts": T0 + 1, "session": "b"},
    {"type": "tool_call", "fields": {"tool": "fetch"}, "ts": T0 + 2, "session": "b"},
    {"type": "tool_call", "fields": {"tool": "search"}, "ts": T0 + 3, "session": "a"},
]


def test_against_reports_differences_and_exits_1(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    other = write_policy(tmp_path / "other.json", stricter(POLICY))
    events = write_events(tmp_path / "e.jsonl", TRACE)
    run = cli("replay", policy_json, events, "--session-key", "session", "--against", other)
    assert run.status == 1, run.err
    changed = json_lines(run.out)
    assert [(r["line"], r["change"]) for r in changed] == [
        (1, "audit -> deny, rules -9"), (2, "deny (same verdict), rules -9"),
        (3, "audit -> deny, rules -9"), (4, "allow (same verdict), rules -9"),
    ]
    assert changed[0]["before"]["verdict"] == "audit" and changed[0]["after"]["verdict"] == "deny"
    report = run.err
    assert report.startswith("Diff of 4 events: policy 'tools-test' -> policy 'stricter'\n")
    assert "audit -> deny, rules -9: 2 events" in report
    assert "  audit   deny        2" in report


def test_against_itself_agrees_and_exits_0(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    events = write_events(tmp_path / "e.jsonl", TRACE)
    out = tmp_path / "diff.jsonl"
    run = cli("replay", policy_json, events, "--session-key", "session", "--against", policy_json, "-o", out)
    assert run.status == 0, run.out
    assert out.read_text() == ""
    assert run.out.startswith("Diff of 4 events: ")
    assert "  0 events differ" in run.out


def test_against_reports_bad_lines(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    other = write_policy(tmp_path / "other.json", stricter(POLICY))
    events = tmp_path / "e.jsonl"
    events.write_text("".join(json.dumps(e) + "\n" for e in TRACE[:2]) + "{oops\n", encoding="utf-8")
    run = cli("replay", policy_json, events, "--session-key", "session", "--against", other)
    assert run.status == 1
    assert run.err.split("Bad lines: 1 skipped\n")[1].splitlines()[1].split()[0] == "3"


def test_against_names_lines_by_file(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    other = write_policy(tmp_path / "other.json", stricter(POLICY))
    first = write_events(tmp_path / "one.jsonl", TRACE[:2])
    second = write_events(tmp_path / "two.jsonl", TRACE[2:])
    run = cli("replay", policy_json, first, second, "--session-key", "session", "--against", other,
              "--examples", "1")
    assert run.status == 1
    assert [(r["file"], r["line"]) for r in json_lines(run.out)] == [
        (str(first), 1), (str(first), 2), (str(second), 1), (str(second), 2),
    ]
    assert f"  {first}:1 " in run.err and "  ... and 1 more" in run.err
