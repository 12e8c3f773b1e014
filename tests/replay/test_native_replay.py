"""korvanthel_tools._native: replay in event time, sessions, order, bad
lines, and the result lines' exact text."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native
from korvanthel_tools import policy_json as pj
from replay_policies import (DEADLINE, ECHO, GUARD, HOUR, MINUTE, RATE_LIMITED, SECOND, T0, records, trace)


def tool_calls(session: str, times: list[int], tool: str = "search") -> list[dict[str, Any]]:
    return [{"type": "tool_call", "session": session, "ts": t, "fields": {"tool": tool}} for t in times]


@pytest.mark.parametrize(("spacing", "limited"), [(5 * SECOND, [11]), (6 * MINUTE, []), (MINUTE // 10, [11])])
def test_rate_limit_counts_the_events_own_times(spacing: int, limited: list[int]) -> None:
    data = trace(*tool_calls("s", [T0 + i * spacing for i in range(11)]))
    out = records(_native.replay_lines(RATE_LIMITED, data, session_key="session")["results"])
    assert [r["line"] for r in out if r["result"]["constraint_violations"]] == limited
    if limited:
        assert out[10]["result"]["constraint_violations"] == [
            {"kind": "RateLimit", "target": "tool_call", "limit": 10, "current": 11, "window_ms": MINUTE}]
        assert out[10]["result"]["verdict"] == "deny"


def test_each_session_has_its_own_window() -> None:
    # 20 calls in 20 seconds, alternating between two sessions: 10 each.
    events = [e for i in range(10) for e in tool_calls("a", [T0 + 2 * i * SECOND]) + tool_calls("b", [T0 + (2 * i + 1) * SECOND])]
    out = records(_native.replay_lines(RATE_LIMITED, trace(*events), session_key="session")["results"])
    assert not any(r["result"]["constraint_violations"] for r in out)
    together = records(_native.replay_lines(RATE_LIMITED, trace(*[{k: v for k, v in e.items() if k != "session"}
                                                                    for e in events]))["results"])
    assert [r["line"] for r in together if r["result"]["constraint_violations"]] == list(range(11, 21))


@pytest.mark.parametrize(("gap", "violated"), [(HOUR, True), (30 * MINUTE, True), (30 * MINUTE - 1, False)])
def test_deadline_passes_between_events(gap: int, violated: bool) -> None:
    data = trace({"type": "tool_call", "ts": T0, "fields": {"tool": "search"}},
                 {"type": "tool_call", "ts": T0 + gap, "fields": {"tool": "approve"}})
    second = records(_native.replay_lines(DEADLINE, data)["results"])[1]["result"]
    assert bool(second["violations"]) == violated
    if violated:
        assert second["violations"][0]["proof"] == "approval"
        assert second["verdict"] == "deny"


def test_interleaved_sessions_see_only_their_own_state_machine() -> None:
    data = trace(*tool_calls("a", [T0], "read_secret"), *tool_calls("b", [T0 + 1], "upload"),
                 *tool_calls("b", [T0 + 2], "read_secret"), *tool_calls("a", [T0 + 3], "upload"),
                 *tool_calls("c", [T0 + 4], "upload"))
    run = _native.replay_lines(GUARD, data, session_key="session")
    out = records(run["results"])
    assert [(r["session"], bool(r["result"]["violations"])) for r in out] == [
        ("a", False), ("b", False), ("b", False), ("a", True), ("c", False)]
    assert run["summary"]["sessions"] == 3
    assert run["summary"]["violations"] == [
        {"proof": "no_exfiltration", "invariant": "no_exfiltration_holds", "kind": "Never", "events": 1}]


def test_time_going_backwards_names_the_line_unless_sorted() -> None:
    data = trace(*tool_calls("a", [T0 + 5000]), *tool_calls("b", [T0]), *tool_calls("a", [T0 + 3000]),
                 *tool_calls("a", [T0 + 4000]))
    with pytest.raises(_native.EventLineError) as refused:
        _native.replay_lines(RATE_LIMITED, data, session_key="session")
    assert refused.value.line == 3
    assert str(refused.value) == ('line 3: time goes backwards in session "a": ts 1714564803000 is before '
                                  '1714564805000 of line 1 (sort the replay to order each session by time)')
    run = _native.replay_lines(RATE_LIMITED, data, session_key="session", sort=True)
    out = records(run["results"])
    assert [(r["line"], r["ts"]) for r in out] == [(1, T0 + 5000), (2, T0), (3, T0 + 3000), (4, T0 + 4000)]


def test_sorting_orders_by_time_and_keeps_equal_times_in_trace_order() -> None:
    # Limit 1 per minute: of two calls at one time, the first in the trace passes.
    policy = json.loads(RATE_LIMITED)
    policy["constraints"] = [pj.rate_limit("tool_call", 1, 60000)]
    data = trace(*tool_calls("a", [T0 + 10]), *tool_calls("a", [T0], "first"), *tool_calls("a", [T0], "second"))
    out = records(_native.replay_lines(json.dumps(policy), data, session_key="session", sort=True)["results"])
    assert [bool(r["result"]["constraint_violations"]) for r in out] == [True, False, True]


BAD = [
    ("not json", "not valid JSON: expected true, false or null (column 1)"),
    ('{"fields": {}}', '"type" is missing'),
    ('{"type": "x", "ts": "noon"}',
     '"ts" "noon" is not an RFC 3339 time at or after 1970 (e.g. 2024-05-01T12:00:00Z)'),
    ('{"type": "x", "tss": 1}', 'unknown key "tss" (allowed: type, fields, ts, expect, comment)'),
    ('{"type": "x", "expect": "maybe"}', '"expect" must be one of allow, deny, audit, redact, found "maybe"'),
    ("[" * 300 + "]" * 300, "not valid JSON: nested too deeply (column 128)"),
]


def test_bad_lines_are_counted_with_their_numbers_and_skipped() -> None:
    data = b"\n".join([b'{"type": "a", "ts": 1}'] + [line.encode() for line, _ in BAD] + [b"", b'{"type": "b", "ts": 2}'])
    run = _native.replay_lines(GUARD, data)
    assert [r["line"] for r in records(run["results"])] == [1, len(BAD) + 3]
    assert run["summary"]["bad_lines"] == [{"line": i + 2, "message": m} for i, (_, m) in enumerate(BAD)]
    assert run["summary"]["events"] == 2


@pytest.mark.parametrize(("line", "message"), BAD)
def test_strict_stops_at_the_first_bad_line(line: str, message: str, tmp_path: Path) -> None:
    data = b'{"type": "a", "ts": 1}\n\n' + line.encode() + b'\n{"type": "b", "ts": 2}\n'
    for sort in (False, True):
        with pytest.raises(_native.EventLineError) as stopped:
            _native.replay_lines(GUARD, data, strict=True, sort=sort)
        assert (stopped.value.line, stopped.value.problem) == (3, message)
        assert isinstance(stopped.value, ValueError)


def test_results_equal_what_the_engine_returns_for_each_event() -> None:
    events = [("tool_call", {"tool": "shell"}), ("tool_call", {"tool": "read_secret"}), ("message", {"n": 1.5}),
              ("tool_call", {"tool": "upload", "deep": {"a": [1, None, True]}})]
    engine = PolicyEngine.from_json(GUARD)
    engine.set_context("owner", "alice")
    engine.set_config("mode", "audit")
    expected = [engine.evaluate(t, f) for t, f in events]
    data = trace(*[{"type": t, "fields": f, "ts": T0 + i} for i, (t, f) in enumerate(events)])
    run = _native.replay_lines(GUARD, data, context='{"owner": "alice"}', config='{"mode": "audit"}')
    got = [r["result"] for r in records(run["results"])]
    for want, have in zip(expected, got, strict=True):
        want["eval_time_us"] = have["eval_time_us"] = 0
        assert have == want
    summary = run["summary"]
    assert summary["verdicts"] == {"allow": 0, "deny": 2, "audit": 2, "redact": 0}
    assert summary["rules"] == {1: 1, 2: 4}
    assert sum(summary["latency_us"].values()) == 4


def test_expectations_and_mismatches() -> None:
    data = trace({"type": "tool_call", "fields": {"tool": "shell"}, "expect": "DENY"},
                 {"type": "tool_call", "fields": {"tool": "ls"}, "expect": "deny"})
    run = _native.replay_lines(GUARD, data, start_ms=T0)
    out = records(run["results"])
    assert [(r["expect"], r["match"], r["ts"]) for r in out] == [("deny", True, T0), ("deny", False, T0)]
    assert run["summary"]["expectations"] == 2
    assert run["summary"]["mismatches"] == [
        {"line": 2, "session": None, "type": "tool_call", "expected": "deny", "actual": "allow", "reason": None}]


def test_file_input_output_and_line_numbers(tmp_path: Path) -> None:
    data = trace(*tool_calls("a", [T0, T0 + 1]))
    events = tmp_path / "events.jsonl"
    events.write_bytes(data)
    in_memory = _native.replay_lines(GUARD, data, session_key="session")
    out = tmp_path / "results.jsonl"
    from_file = _native.replay_file(GUARD, str(events), session_key="session", out=str(out))
    assert from_file["results"] is None
    strip = lambda b: [{**r, "result": {**r["result"], "eval_time_us": 0}} for r in records(b)]  # noqa: E731
    assert strip(out.read_bytes()) == strip(in_memory["results"])
    numbered = _native.replay_lines(GUARD, data, session_key="session", line_numbers=[10, 20])
    assert [r["line"] for r in records(numbered["results"])] == [10, 20]
    with pytest.raises(ValueError, match="1 line numbers for 2 non-blank lines"):
        _native.replay_lines(GUARD, data, session_key="session", line_numbers=[1])
    with pytest.raises(FileNotFoundError):
        _native.replay_file(GUARD, str(tmp_path / "missing.jsonl"))
    empty = tmp_path / "empty.jsonl"
    empty.write_bytes(b"")
    assert _native.replay_file(GUARD, str(empty))["summary"]["events"] == 0


def test_named_files_name_results_summary_and_stops_and_context_may_be_a_dict() -> None:
    # Lines 1-2 come from a.jsonl, lines 3-5 from b.jsonl (its line 2 is bad).
    data = trace(*tool_calls("s", [T0 + 5]), {"type": "tool_call", "fields": {"tool": "shell"}, "expect": "allow"},
                 *tool_calls("s", [T0 + 7]), {"oops": 1}, *tool_calls("s", [T0 + 9]))
    files = [("a.jsonl", 1), ("b.jsonl", 3)]
    run = _native.replay_lines(GUARD, data, files=files, context={"owner": "alice"}, config={"mode": "audit"})
    assert [(r["file"], r["line"]) for r in records(run["results"])] == [
        ("a.jsonl", 1), ("a.jsonl", 2), ("b.jsonl", 1), ("b.jsonl", 3)]
    as_text = _native.replay_lines(GUARD, data, context='{"owner": "alice"}', config='{"mode": "audit"}')
    assert [r["result"]["verdict"] for r in records(run["results"])] == [
        r["result"]["verdict"] for r in records(as_text["results"])]
    summary = run["summary"]
    assert [(b["file"], b["line"], b["order"]) for b in summary["bad_lines"]] == [("b.jsonl", 2, 4)]
    assert [(m["file"], m["line"], m["order"]) for m in summary["mismatches"]] == [("a.jsonl", 2, 2)]
    with pytest.raises(_native.EventLineError) as stopped:
        _native.replay_lines(GUARD, data, files=files, strict=True)
    assert (str(stopped.value), stopped.value.file, stopped.value.line) == (
        'b.jsonl:2: unknown key "oops" (allowed: type, fields, ts, expect, comment)', "b.jsonl", 2)
    backwards = trace(*tool_calls("s", [T0 + 5, T0 + 1]))
    with pytest.raises(_native.EventLineError) as stopped:
        _native.replay_lines(GUARD, backwards, files=[("a.jsonl", 1), ("b.jsonl", 2)])
    assert str(stopped.value) == ("b.jsonl:1: time goes backwards: ts 1714564800001 is before 1714564800005 of "
                                  "a.jsonl:1 (sort the replay to order each session by time)")
    with pytest.raises(TypeError, match="argument .context.: .int. object cannot be converted to .PyString."):
        _native.replay_lines(GUARD, data, context={1: 2})


@pytest.mark.parametrize("sort", [False, True])
@pytest.mark.parametrize("other", [RATE_LIMITED, DEADLINE, ECHO])
def test_against_writes_exactly_the_pairs_two_replays_decide_differently(other: str, sort: bool) -> None:
    tools = ["search", "shell", "read_secret", "upload", "approve"]
    events = [{"type": "tool_call", "session": f"s{i % 3}", "ts": T0 + ((i * 7919) % 60 if sort else i) * 2 * SECOND,
               "fields": {"tool": tools[i % 5]}} for i in range(60)]
    data = trace(*events) + b'{"bad": 1}\n'
    kwargs: dict[str, Any] = {"session_key": "session", "sort": sort, "context": {"owner": "alice"}}
    strip = lambda b: [{**r, "result": {**r["result"], "eval_time_us": 0}} for r in records(b)]  # noqa: E731
    alone = _native.replay_lines(GUARD, data, **kwargs)
    before, after = strip(alone["results"]), strip(_native.replay_lines(other, data, **kwargs)["results"])
    run = _native.replay_lines(GUARD, data, against=other, **kwargs)
    paired = strip(run["results"])
    want = [(b, a) for b, a in zip(before, after, strict=True)
            if (b["result"]["verdict"], b["result"]["triggered_rules"]) != (a["result"]["verdict"], a["result"]["triggered_rules"])]
    assert want and list(zip(paired[0::2], paired[1::2], strict=True)) == want
    timing = ("latency_us", "eval_time_us")
    assert {k: v for k, v in run["summary"].items() if k not in timing} == {
        k: v for k, v in alone["summary"].items() if k not in timing}


@pytest.mark.parametrize(("kwargs", "error", "text"), [
    ({"session_key": "ts"}, ValueError, "session_key must name a key of its own, not 'ts'"),
    ({"context": "[1]"}, ValueError, "context must be a JSON object, found an array"),
    ({"config": '{"a": }'}, ValueError, "config: not valid JSON: expected a value (column 7)"),
    ({"line_numbers": [-1]}, ValueError, "line_numbers[0] is not a line number (an int from 0)"),
])
def test_bad_options_are_refused(kwargs: dict[str, Any], error: type[Exception], text: str) -> None:
    with pytest.raises(error) as refused:
        _native.replay_lines(GUARD, b'{"type": "x"}\n', **kwargs)
    assert str(refused.value) == text


def test_policies_load_as_the_engine_loads_them() -> None:
    with pytest.raises(ValueError, match=r"^Invalid policy JSON: "):
        _native.replay_lines("{}", b"")
    with pytest.raises(RuntimeError, match=r"^Failed to parse policy bytes: not a valid \.zelvoc file"):
        _native.replay_lines(b"\x00" * 16, b"")


@pytest.mark.parametrize(("ts", "ms"), [(0, 0), (T0, T0), ("2024-05-01T12:00:00Z", T0),
                                        ("2024-05-01T14:00:00.250+02:00", T0 + 250)])
def test_parse_ts(ts: int | str, ms: int) -> None:
    assert _native.parse_ts(ts) == ms


# JSON values as a trace carries them (no NaN: the reader is strict JSON).
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=12,
)


def host_value(value: Any) -> Any:
    """What the engine hands back for a value read from JSON."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int) and not -(2**63) <= value < 2**63:
        return float(value)
    if isinstance(value, list):
        return [host_value(v) for v in value]
    if isinstance(value, dict):
        return {k: host_value(v) for k, v in value.items()}
    return value


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_values_round_trip_and_lines_are_written_as_json_dumps_writes_them(value: Any) -> None:
    run = _native.replay_lines(ECHO, json.dumps({"type": "e", "fields": {"v": value}, "ts": 3}).encode())
    line = run["results"].decode().rstrip("\n")
    record = json.loads(line)
    got = record["result"]["actions"][0]["args"]["v"]
    want = host_value(value)
    assert got == want
    assert line == json.dumps(record, ensure_ascii=False)


event_lines = st.one_of(
    st.text(max_size=20).filter(lambda t: "\n" not in t and "\r" not in t and t.strip(" \t")),
    st.dictionaries(
        st.sampled_from(["type", "fields", "ts", "expect", "session", "comment", "when"]),
        st.one_of(json_values, st.sampled_from(["tool_call", "Deny", "2024-05-01T12:00:00Z", 2**63, -1, {"v": 1}])),
        max_size=5,
    ).map(json.dumps),
)


@settings(max_examples=300, deadline=None)
@given(event_lines)
def test_read_event_line_reads_a_line_as_the_replay_does(line: str) -> None:
    """The line reader refuses exactly the lines the replay refuses, in the
    same words, and reads the others into what the replay evaluates."""
    run = _native.replay_lines(ECHO, line.encode(), session_key="session")
    try:
        event = _native.read_event_line(line, session_key="session")
    except _native.EventLineError as refused:
        bad = run["summary"]["bad_lines"]
        assert [b["message"] for b in bad] == [refused.problem] and str(refused) == refused.problem
        return
    (record,) = records(run["results"])
    assert (record["type"], str(record["session"])) == (event["type"], str(event["session"]))
    assert event["ts"] is None or record["ts"] == event["ts"]
    assert record.get("expect") == event["expect"]
    assert event["fields"] == host_value(json.loads(line).get("fields") or {})
    assert _native.read_event_line(line.encode(), session_key="session") == event
