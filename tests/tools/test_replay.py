"""``korvanthel replay``: results, summary, expectations and exit status."""

from __future__ import annotations

import json
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools.replay.summary import format_table, percentile

from replay_support import T0
from tools_support import Run, cli, json_lines, policy_json, write_events

SESSION: list[dict[str, Any]] = [{**event, "ts": T0 + 1000 * i} for i, event in enumerate(list[dict[str, Any]]([
    {"type": "tool_call", "fields": {"tool": "search"}, "expect": "allow"},
    {"type": "tool_call", "fields": {"tool": "shell"}, "expect": "DENY"},
    {"type": "tool_call", "fields": {"tool": "fetch"}, "expect": "audit"},
    {"type": "burst"},
    {"type": "burst", "comment": "second one still inside the limit"},
    {"type": "burst", "expect": "deny"},
    {"type": "data", "fields": {"action": "read_secret"}},
    {"type": "data", "fields": {"action": "send"}, "expect": "deny"},
]))]


def section(report: str, title: str) -> list[str]:
    """The lines under one titled part of the summary, up to the blank line."""
    lines = report.splitlines()
    start = lines.index(title) + 1
    end = lines.index("", start) if "" in lines[start:] else len(lines)
    return lines[start:end]


def test_replay_with_met_expectations(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    events = write_events(tmp_path / "session.jsonl", SESSION)
    run = cli("replay", policy_json, events, "--no-progress")
    assert run.status == 0, run.err

    records = json_lines(run.out)
    assert [r["line"] for r in records] == list(range(1, 9))
    assert [r["result"]["verdict"] for r in records] == [
        "allow", "deny", "audit", "allow", "allow", "deny", "allow", "deny",
    ]
    assert records[1] == {
        "line": 2, "session": None, "ts": T0 + 1000, "type": "tool_call", "expect": "deny", "match": True,
        "result": {**records[1]["result"], "reason": "no shell", "triggered_rules": [7, 9]},
    }
    assert "expect" not in records[3]
    assert records[5]["result"]["constraint_violations"] == [
        {"kind": "RateLimit", "target": "burst", "limit": 2, "current": 3, "window_ms": 60000}
    ]
    assert records[7]["result"]["reason"] == "Invariant violation: no_send_after_secret (no-exfil)"

    report = run.err
    assert report.startswith("Replay of 8 events against policy 'tools-test'\n")
    assert section(report, "Verdicts") == [
        "  verdict  events  share",
        "  allow         4  50.0%",
        "  deny          3  37.5%",
        "  audit         1  12.5%",
        "  redact        0   0.0%",
    ]
    assert section(report, "Most-fired rules") == [
        "  rule  fired  of events",
        "     9      8     100.0%",
        "     7      1      12.5%",
        "     8      1      12.5%",
    ]
    assert section(report, "Constraint violations") == [
        "  kind       target  limit  window_ms  events",
        "  RateLimit  burst       2      60000       1",
    ]
    assert section(report, "Invariant violations") == [
        "  proof     invariant             kind   events",
        "  no-exfil  no_send_after_secret  Never       1",
    ]
    latency = section(report, "Latency (eval_time_us)")
    assert latency[0].split() == ["p50", "p90", "p99", "max", "mean"]
    assert report.endswith("Expectations: 5 checked, 0 failed\n")


def test_failing_expectation_sets_exit_status_and_is_listed(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    events = write_events(tmp_path / "session.jsonl", [
        {"type": "tool_call", "fields": {"tool": "shell"}, "expect": "allow"},
        {"type": "tool_call", "fields": {"tool": "fetch"}, "expect": "audit"},
        {"type": "tool_call", "fields": {"tool": "search"}, "expect": "deny"},
    ])
    out = tmp_path / "results.jsonl"
    run = cli("replay", policy_json, events, "-o", out)

    assert run.status == 1
    assert [r["match"] for r in json_lines(out.read_text())] == [False, True, False]
    # With results in a file, the summary is the command's standard output.
    assert run.err == ""
    assert section(run.out, "Expectations: 3 checked, 2 failed") == [
        "  line  type       expected  actual  reason",
        "     1  tool_call  allow     deny    'no shell'",
        "     3  tool_call  deny      allow   -",
    ]


def test_context_and_config_are_stored_before_the_first_event(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    events = write_events(tmp_path / "e.jsonl", [{"type": "ctx_check", "expect": "deny"}])
    assert cli("replay", policy_json, events, "--context", 'mode="strict"').status == 0
    assert cli("replay", policy_json, events, "--context", 'mode="lenient"').status == 1


def test_replay_reads_a_packed_container(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    container = tmp_path / "p.zelvoc"
    assert cli("pack", policy_json, "-o", container).status == 0
    events = write_events(tmp_path / "e.jsonl", [{"type": "tool_call", "fields": {"tool": "shell"}, "expect": "deny"}])
    assert cli("replay", container, events).status == 0


BAD_LINES = ["{not json}", "[1, 2]", '{"fields": {}}', '{"type": 3}', '{"type": "x", "fields": [1]}',
             '{"type": "x", "ts": "yesterday"}', '{"type": "x", "ts": -5}']


@pytest.mark.parametrize("line", BAD_LINES)
def test_bad_line_is_counted_and_named_and_the_run_goes_on_unless_strict(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path, line: str
) -> None:
    events = tmp_path / "e.jsonl"
    events.write_text('{"type": "tool_call", "ts": 1}\n\n' + line + '\n{"type": "burst", "ts": 2}\n', encoding="utf-8")
    run = cli("replay", policy_json, events)
    assert run.status == 0, run.err
    assert [r["line"] for r in json_lines(run.out)] == [1, 4]
    bad = section(run.err, "Bad lines: 1 skipped")
    assert bad[0].split() == ["line", "problem"]
    assert bad[1].split()[0] == "3"
    # With --strict the run stops at the bad line, naming it.
    run = cli("replay", policy_json, events, "--strict", "-o", tmp_path / "r.jsonl")
    assert run.status == 2
    assert run.err.startswith("korvanthel replay: error: ")
    assert "line 3" in run.err


def test_event_deeper_than_the_engine_converts_is_a_bad_line(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    deep: Any = "leaf"
    for _ in range(250):
        deep = [deep]
    events = write_events(tmp_path / "e.jsonl", [{"type": "x", "fields": {"deep": deep}}, {"type": "y"}])
    run = cli("replay", policy_json, events)
    assert run.status == 0
    assert [r["line"] for r in json_lines(run.out)] == [2]
    assert section(run.err, "Bad lines: 1 skipped")[1].split()[0] == "1"
    assert cli("replay", policy_json, events, "--strict").status == 2


def test_unloadable_policy_is_an_error(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = tmp_path / "p.json"
    policy.write_text("{}", encoding="utf-8")
    events = write_events(tmp_path / "e.jsonl", [{"type": "x"}])
    run = cli("replay", policy, events)
    assert run.status == 2
    assert run.err == f"korvanthel replay: error: {policy}: Invalid policy JSON: missing field `name` at line 1 column 2\n"


@pytest.mark.parametrize(("flag", "shown"), [("--progress", True), ("--no-progress", False), (None, False)])
def test_progress_bar_only_on_request_or_terminal(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path, flag: str | None, shown: bool
) -> None:
    events = write_events(tmp_path / "e.jsonl", [{"type": "x"}] * 3)
    out = tmp_path / "r.jsonl"
    run = cli("replay", policy_json, events, "-o", out, *([flag] if flag else []))
    assert run.status == 0
    assert ("replay: " in run.err) is shown


def test_help_explains_event_time() -> None:
    help_text = subprocess.run(
        [sys.executable, "-m", "korvanthel_tools", "replay", "--help"],
        capture_output=True, text=True, check=True,
    ).stdout
    flat = " ".join(help_text.split())
    assert 'each event is evaluated at its own "ts"' in flat
    assert "wall clock" not in flat
    for option in ("--session-key", "--sort", "--strict", "--against", "--dask", "--context", "--config", "--top"):
        assert option in flat


@pytest.mark.parametrize(
    ("values", "p", "expected"),
    [([5], 50, 5), ([5], 99, 5), ([1, 2, 3, 4], 50, 2), ([1, 2, 3, 4], 90, 4),
     (list(range(1, 101)), 99, 99), (list(range(1, 101)), 50, 50), ([1, 2], 0, 1)],
)
def test_nearest_rank_percentile(values: list[int], p: float, expected: int) -> None:
    assert percentile(values, p) == expected


def test_table_aligns_numbers_right_and_text_left() -> None:
    assert format_table(("name", "n"), [("a", "10"), ("long", "2")]) == [
        "  name   n",
        "  a     10",
        "  long   2",
    ]


def test_summary_counts_events_evaluated_from_python(policy_json: Path) -> None:
    from _korvanthel_core import PolicyEngine

    from korvanthel_tools.replay.events import parse_event
    from korvanthel_tools.replay.summary import ReplaySummary

    engine = PolicyEngine.from_json(policy_json.read_text())
    summary = ReplaySummary()
    for number, event in enumerate(SESSION, start=1):
        parsed = parse_event(number, json.dumps({k: v for k, v in event.items() if k != "ts"}))
        summary.add(parsed, engine.evaluate(parsed.event_type, parsed.fields))
    assert (summary.events, summary.expectations, summary.mismatches) == (8, 5, [])
    assert summary.verdicts == {"allow": 4, "deny": 3, "audit": 1}
