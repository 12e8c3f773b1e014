"""korvanthel_tools._native.Replayer: one engine at the caller's times,
giving what PolicyEngine.evaluate gives."""

from __future__ import annotations

import json
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native
from replay_policies import DEADLINE, GUARD, HOUR, MINUTE, RATE_LIMITED, SECOND, T0

EVENTS: list[tuple[str, dict[str, Any] | None]] = [
    ("tool_call", {"tool": "shell"}),
    ("tool_call", {"tool": "read_secret", "n": 2**70, "f": 1.5, "t": (1, 2), "none": None}),
    ("message", None),
    ("tool_call", {"tool": "upload", "deep": {"a": [1, None, True, {"b": "c"}]}}),
    ("tool_call", {"tool": "shell"}),
]


def without_time(result: dict[str, Any]) -> dict[str, Any]:
    return {**result, "eval_time_us": 0}


def test_results_equal_policy_engine_evaluate_field_by_field() -> None:
    engine = PolicyEngine.from_json(GUARD)
    replayer = _native.Replayer(GUARD)
    for target in (engine, replayer):
        target.set_context("owner", {"name": "alice", "teams": ["a", "b"]})
        target.set_config("mode", "audit")
    for i, (event_type, fields) in enumerate(EVENTS):
        want = engine.evaluate(event_type, fields)
        got = replayer.evaluate_at(T0 + i, event_type, fields)
        assert list(got) == list(want)  # the same keys in the same order
        assert without_time(got) == without_time(want)
    assert replayer.event_count == engine.event_count == len(EVENTS)
    assert replayer.status() == engine.status()
    assert replayer.policy_name == engine.policy_name


@pytest.mark.parametrize(("fields", "error"), [
    ({1: "x"}, TypeError),
    ({"a": {"b": {2: 3}}}, TypeError),
    ("not a dict", TypeError),
])
def test_refused_fields_raise_as_evaluate_does_and_change_nothing(fields: Any, error: type[Exception]) -> None:
    engine = PolicyEngine.from_json(GUARD)
    replayer = _native.Replayer(GUARD)
    with pytest.raises(error) as from_engine:
        engine.evaluate("tool_call", fields)
    with pytest.raises(error) as from_replayer:
        replayer.evaluate_at(T0, "tool_call", fields)
    if isinstance(fields, dict):
        assert str(from_replayer.value) == str(from_engine.value)
    assert replayer.event_count == 0


def test_deep_values_raise_recursion_error() -> None:
    deep: Any = 1
    for _ in range(300):
        deep = [deep]
    with pytest.raises(RecursionError):
        _native.Replayer(GUARD).evaluate_at(T0, "tool_call", {"deep": deep})


@pytest.mark.parametrize(("gap", "limited"), [(5 * SECOND, True), (6 * MINUTE, False)])
def test_windows_see_the_given_times(gap: int, limited: bool) -> None:
    replayer = _native.Replayer(RATE_LIMITED)
    results = [replayer.evaluate_at(T0 + i * gap, "tool_call") for i in range(11)]
    assert not any(r["constraint_violations"] for r in results[:10])
    assert bool(results[10]["constraint_violations"]) == limited


def test_engine_starts_at_first_event_and_reset_restarts_the_deadline() -> None:
    replayer = _native.Replayer(DEADLINE)
    assert replayer.evaluate_at(T0, "tool_call", {"tool": "search"})["violations"] == []
    assert replayer.evaluate_at(T0 + HOUR, "tool_call", {"tool": "search"})["violations"] != []
    replayer.reset(T0 + 2 * HOUR)
    assert replayer.event_count == 0
    assert replayer.evaluate_at(T0 + 2 * HOUR + MINUTE, "tool_call", {"tool": "approve"})["violations"] == []
    # Built by reset: the deadline counts from the reset's time.
    late = _native.Replayer(DEADLINE)
    late.reset(T0)
    assert late.evaluate_at(T0 + HOUR, "tool_call", {"tool": "approve"})["violations"] != []


def test_values_stored_before_the_first_event_reach_the_engine() -> None:
    replayer = _native.Replayer(GUARD)
    replayer.set_context("owner", "alice")
    replayer.set_config("mode", "audit")
    result = replayer.evaluate_at(T0, "tool_call", {"tool": "shell"})
    assert result["actions"] == [{"verb": "Log", "args": {"tool": "shell", "owner": "alice"}}]
    assert result["triggered_rules"] == [1, 2]


@pytest.mark.parametrize(("args", "error", "text"), [
    ((-1, "x"), ValueError, "ts_ms -1 is not a whole number of milliseconds from 0 to 9223372036854775807"),
    (("soon", "x"), TypeError, "argument 'ts_ms': expected int, got 'str'"),
    ((0, 5), TypeError, "argument 'event_type': 'int' object cannot be converted to 'PyString'"),
])
def test_bad_arguments(args: tuple[Any, ...], error: type[Exception], text: str) -> None:
    with pytest.raises(error) as refused:
        _native.Replayer(GUARD).evaluate_at(*args)
    assert str(refused.value) == text


def test_policies_load_as_the_engine_loads_them() -> None:
    with pytest.raises(ValueError, match=r"^Invalid policy JSON: "):
        _native.Replayer("{}")
    with pytest.raises(RuntimeError, match=r"^Failed to parse policy bytes: "):
        _native.Replayer(b"nope")
    assert repr(_native.Replayer(GUARD)) == "<Replayer policy='replay-tests' events=0>"


field_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=10,
)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["tool_call", "message"]),
                          st.dictionaries(st.sampled_from(["tool", "owner", "x"]), field_values, max_size=3)),
                max_size=8))
def test_any_events_give_what_evaluate_gives(events: list[tuple[str, dict[str, Any]]]) -> None:
    engine = PolicyEngine.from_json(GUARD)
    replayer = _native.Replayer(GUARD)
    for i, (event_type, fields) in enumerate(events):
        want = without_time(engine.evaluate(event_type, fields))
        got = without_time(replayer.evaluate_at(T0 + i, event_type, fields))
        assert json.dumps(got, sort_keys=True) == json.dumps(want, sort_keys=True)
