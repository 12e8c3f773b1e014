"""``korvanthel replay`` in event time: windows and deadlines see the events'
own ``ts``, sessions are kept apart, traces span several files."""

from __future__ import annotations

from collections.abc import Callable
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

import pytest

from replay_support import HOUR, MINUTE, T0, deadline_policy, rate_limited_policy, write_policy
from tools_support import Run, cli, json_lines, policy_json, write_events

from korvanthel_tools import policy_json as pj


def without_sessions(path: Path, tmp_path: Path) -> Path:
    """The same trace with no session key (a replay without --session-key
    refuses lines that carry one)."""
    events = [{k: v for k, v in event.items() if k != "session"} for event in json_lines(path.read_text())]
    return write_events(tmp_path / "one-session.jsonl", events)


def test_a_line_without_the_session_key_is_a_bad_line(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    events = write_events(tmp_path / "e.jsonl", [{"type": "x", "ts": T0, "session": "a"}, {"type": "x", "ts": T0}])
    run = cli("replay", policy_json, events, "--session-key", "session")
    assert [r["line"] for r in json_lines(run.out)] == [1]
    assert run.err.split("Bad lines: 1 skipped\n")[1].splitlines()[1].split()[0] == "2"


def limited(results: list[dict[str, Any]]) -> list[int]:
    """Lines of the events that exceeded a rate limit."""
    return [r["line"] for r in results if r["result"]["constraint_violations"]]


@pytest.mark.parametrize(
    ("spacing_ms", "expected"),
    [
        (1, [11]),                   # all within a second
        (5_900, [11]),               # the 11th at 59 s of the 1st: still inside the window
        (6 * MINUTE, []),            # spread over an hour
        (HOUR // 10, []),
    ],
)
def test_rate_limit_sees_the_events_own_times(
    cli: Callable[..., Run], tmp_path: Path, spacing_ms: int, expected: list[int]
) -> None:
    policy = write_policy(tmp_path / "p.json", rate_limited_policy(limit=10, window_ms=MINUTE))
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "tool_call", "fields": {"tool": "search"}, "ts": T0 + i * spacing_ms} for i in range(11)
    ])
    run = cli("replay", policy, events)
    assert run.status == 0, run.err
    results = json_lines(run.out)
    assert limited(results) == expected
    assert [r["ts"] for r in results] == [T0 + i * spacing_ms for i in range(11)]
    if expected:
        assert results[10]["result"]["verdict"] == "deny"
        assert results[10]["result"]["constraint_violations"][0]["current"] == 11


@pytest.mark.parametrize(("gap_ms", "late"), [(HOUR, True), (30 * MINUTE, True), (30 * MINUTE - 1, False), (1000, False)])
def test_deadline_passes_between_events_by_their_times(
    cli: Callable[..., Run], tmp_path: Path, gap_ms: int, late: bool
) -> None:
    policy = write_policy(tmp_path / "p.json", deadline_policy(deadline_ms=30 * MINUTE))
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "step", "ts": T0}, {"type": "step", "ts": T0 + gap_ms},
    ])
    results = json_lines(cli("replay", policy, events).out)
    assert results[0]["result"]["violations"] == []
    assert bool(results[1]["result"]["violations"]) is late


def test_each_session_starts_its_deadline_at_its_own_first_event(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = write_policy(tmp_path / "p.json", deadline_policy(deadline_ms=30 * MINUTE))
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "step", "ts": T0, "session": "early"},
        {"type": "step", "ts": T0 + 40 * MINUTE, "session": "late"},   # starts "late" here
        {"type": "step", "ts": T0 + 41 * MINUTE, "session": "early"},  # 41 min into "early"
        {"type": "step", "ts": T0 + 41 * MINUTE, "session": "late"},   # 1 min into "late"
    ])
    results = json_lines(cli("replay", policy, events, "--session-key", "session").out)
    assert [bool(r["result"]["violations"]) for r in results] == [False, False, True, False]
    assert [r["session"] for r in results] == ["early", "late", "early", "late"]


def test_interleaved_sessions_each_see_only_their_own_state_machine(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "data", "fields": {"action": "read_secret"}, "ts": T0, "session": "a"},
        {"type": "data", "fields": {"action": "send"}, "ts": T0 + 1, "session": "b"},
        {"type": "data", "fields": {"action": "send"}, "ts": T0 + 2, "session": "a"},
    ])
    apart = json_lines(cli("replay", policy_json, events, "--session-key", "session").out)
    assert [bool(r["result"]["violations"]) for r in apart] == [False, False, True]
    # One engine for the whole trace: "b"'s send follows "a"'s read.
    together = json_lines(cli("replay", policy_json, without_sessions(events, tmp_path)).out)
    assert [bool(r["result"]["violations"]) for r in together] == [False, True, True]


def test_sessions_have_their_own_rate_limit_windows(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = write_policy(tmp_path / "p.json", rate_limited_policy(limit=10))
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "tool_call", "ts": T0 + i, "session": f"s{i % 2}"} for i in range(22)
    ])
    assert limited(json_lines(cli("replay", policy, events, "--session-key", "session").out)) == [21, 22]
    assert limited(json_lines(cli("replay", policy, without_sessions(events, tmp_path)).out)) == list(range(11, 23))


def test_rfc3339_and_milliseconds_are_the_same_time(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = write_policy(tmp_path / "p.json", rate_limited_policy(limit=1))
    stamp = datetime.fromtimestamp(T0 / 1000, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "tool_call", "ts": stamp}, {"type": "tool_call", "ts": T0 + MINUTE - 1},
    ])
    results = json_lines(cli("replay", policy, events).out)
    assert [r["ts"] for r in results] == [T0, T0 + MINUTE - 1]
    assert limited(results) == [2]


def test_time_going_backwards_is_an_error_unless_sorted(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = write_policy(tmp_path / "p.json", rate_limited_policy(limit=2))
    events = write_events(tmp_path / "e.jsonl", [
        {"type": "tool_call", "ts": T0 + 5000, "session": "a"},
        {"type": "tool_call", "ts": T0, "session": "b"},          # another session: fine
        {"type": "tool_call", "ts": T0 + 3000, "session": "a"},   # back in "a"
        {"type": "tool_call", "ts": T0 + 4000, "session": "a"},
    ])
    refused = cli("replay", policy, events, "--session-key", "session")
    assert refused.status == 2
    assert "line 3" in refused.err
    sorted_run = cli("replay", policy, events, "--session-key", "session", "--sort")
    assert sorted_run.status == 0, sorted_run.err
    results = json_lines(sorted_run.out)
    # Results stay in input order; "a" was replayed as 3000, 4000, 5000.
    assert [r["line"] for r in results] == [1, 2, 3, 4]
    assert limited(results) == [1]


def test_a_session_spread_over_files_is_replayed_as_one(cli: Callable[..., Run], tmp_path: Path) -> None:
    policy = write_policy(tmp_path / "p.json", rate_limited_policy(limit=3))
    first = write_events(tmp_path / "first.jsonl", [{"type": "tool_call", "ts": T0 + i, "session": "a"} for i in range(2)])
    second = write_events(tmp_path / "second.jsonl", [
        {"type": "tool_call", "ts": T0 + 10, "session": "b"},
        {"type": "tool_call", "ts": T0 + 11, "session": "a"},
        {"type": "tool_call", "ts": T0 + 12, "session": "a"},
    ])
    run = cli("replay", policy, first, second, "--session-key", "session", "-o", tmp_path / "r.jsonl")
    assert run.status == 0, run.err
    results = json_lines((tmp_path / "r.jsonl").read_text())
    assert [(r["file"], r["line"]) for r in results] == [
        (str(first), 1), (str(first), 2), (str(second), 1), (str(second), 2), (str(second), 3),
    ]
    assert [bool(r["result"]["constraint_violations"]) for r in results] == [False, False, False, False, True]
    assert run.out.startswith("Replay of 5 events in 2 sessions against policy 'rate'\n")


def test_bad_lines_in_several_files_are_named_by_file(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    first = tmp_path / "first.jsonl"
    first.write_text('{"type": "x", "ts": 1}\nnope\n', encoding="utf-8")
    second = tmp_path / "second.jsonl"
    second.write_text('\n{"ts": 3}\n{"type": "y", "ts": 4}', encoding="utf-8")  # no final line feed
    run = cli("replay", policy_json, first, second)
    assert run.status == 0, run.err
    assert [(r["file"], r["line"]) for r in json_lines(run.out)] == [(str(first), 1), (str(second), 3)]
    rows = [line.split()[0] for line in run.err.split("Bad lines: 2 skipped\n")[1].splitlines()[1:]]
    assert rows == [f"{first}:2", f"{second}:2"]
    strict = cli("replay", policy_json, first, second, "--strict")
    assert strict.status == 2 and f"{first}:2" in strict.err


@pytest.mark.parametrize("store", ["--context", "--config"])
def test_stored_values_reach_every_session(cli: Callable[..., Run], tmp_path: Path, store: str) -> None:
    root = "Context" if store == "--context" else "Policy"
    policy = {
        **rate_limited_policy(), "constraints": [],
        "rules": [pj.rule(1, condition=pj.binary("Eq", pj.ref(root, "mode"), pj.text("strict")),
                          verdicts=[pj.verdict("Deny")])],
    }
    path = write_policy(tmp_path / "p.json", policy)
    events = write_events(tmp_path / "e.jsonl", [{"type": "x", "ts": T0, "session": s} for s in "abc"])
    strict = json_lines(cli("replay", path, events, "--session-key", "session", store, 'mode="strict"').out)
    assert [r["result"]["verdict"] for r in strict] == ["deny"] * 3
    lenient = json_lines(cli("replay", path, events, "--session-key", "session").out)
    assert [r["result"]["verdict"] for r in lenient] == ["allow"] * 3


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--context", "novalue"], "--context 'novalue': expected KEY=JSON"),
        (["--config", "k={x"], "value is not JSON"),
        (["--top", "-1"], "--top must not be negative"),
        (["--dask", "local:0"], "expected local:N"),
    ],
)
def test_bad_options_are_errors(
    cli: Callable[..., Run], policy_json: Path, tmp_path: Path, args: list[str], message: str
) -> None:
    events = write_events(tmp_path / "e.jsonl", [{"type": "x", "ts": T0}])
    run = cli("replay", policy_json, events, *args)
    assert run.status == 2
    assert message in run.err
