"""korvanthel explain and _native.explain_events: the readable text, the
JSON form, usage errors, and agreement with the engine over random
events (hypothesis)."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native

from conftest import SMALL_POLICY, run_cli


def test_explain_text(small_policy: Path, capsys: pytest.CaptureFixture[str]) -> None:
    event = json.dumps({"type": "file_read", "fields": {"path": "/srv/x", "size": 500}, "ts": 7})
    status, out, _ = run_cli(capsys, "explain", str(small_policy), "--event", event)
    assert status == 0
    assert out.splitlines() == [
        "event file_read at 7 ms",
        "verdict: audit (big read)",
        "why: audit from rule 8 (the first verdict other than allow stands); reason from rule 8 "
        "(the last message adopted)",
        "rules:",
        "  rule 7 (line 3): condition false, not fired",
        '      event.path.starts_with("/etc/") = false',
        '        event.path = "/srv/x"',
        "  rule 8 (line 9): condition true, fired",
        "      event.size > 100 = true",
        "        event.size = 500",
        "      verdict audit adopted: 'big read'",
        "  rule 9 (line 14): not selected (its event types do not include this one)",
        "constraints:",
        "  rate_limit file_read 2 per 1000ms (line 18): 1 events in the window with this one, within the limit",
        "machines:",
        "  machine 1 watch (line 20): in idle",
        "      transition 0 (Predicate): fails",
        '        event.path == "/etc/shadow" = false',
        '          event.path = "/srv/x"',
        "      no transition taken: stays",
    ]


def test_explain_json_with_context_and_config(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    policy = tmp_path / "p.zelvo"
    policy.write_text('policy "p" severity low\nrule 1 { when context.user == config.admin deny "admin" }\n')
    status, out, _ = run_cli(
        capsys, "explain", str(policy), "--event", '{"type": "x"}',
        "--context", 'user="root"', "--config", 'admin="root"', "--json",
    )
    assert status == 0
    x = json.loads(out)
    assert x["result"]["reason"] == "admin"
    rule = x["rules"][0]
    assert [(n["text"], n["value"], n["decisive"]) for n in rule["nodes"]] == [
        ("context.user == config.admin", True, True), ("context.user", "root", True), ("config.admin", "root", True),
    ]
    assert rule["nodes"][1]["span"] == {"line": 2, "column": 15, "end_line": 2, "end_column": 27,
                                        "offset": 38, "length": 12}


def test_explain_compiled_policy_has_no_spans(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    container = tmp_path / "p.zelvoc"
    container.write_bytes(_native.compile_policy(SMALL_POLICY))
    status, out, _ = run_cli(capsys, "explain", str(container), "--event", '{"type": "tool_call"}')
    assert status == 0
    assert "  rule 9: no condition, fired" in out.splitlines()


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--event", "{"], "--event: not JSON (Expecting property name enclosed in double quotes)"),
        (["--event", "[]"], '--event: expected an object with a string "type"'),
        (["--event", '{"type": "x", "fields": 1}'], '--event: "fields" must be an object'),
        (["--event", '{"type": "x", "ts": 1.5}'], '--event: "ts" must be an integer number of milliseconds, 0 or more'),
        (["--event", '{"type": "x"}', "--context", "novalue"], "--context 'novalue': expected KEY=JSON"),
    ],
)
def test_explain_usage_errors(
    small_policy: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    status, out, err = run_cli(capsys, "explain", str(small_policy), *argv)
    assert (status, out, err) == (2, "", f"korvanthel explain: error: {message}\n")


def test_explain_events_rejects_bad_steps() -> None:
    with pytest.raises(ValueError, match=r"^step 1: a step must be a dict$"):
        _native.explain_events(SMALL_POLICY, [{"type": "a"}, 3])  # type: ignore[list-item]
    with pytest.raises(ValueError, match=r"^step 0: 'ts' must be an int \(milliseconds\)$"):
        _native.explain_events(SMALL_POLICY, [{"type": "a", "ts": "1"}])
    with pytest.raises(_native.CompileError):
        _native.explain_events("policy", [])


events = st.fixed_dictionaries(
    {
        "type": st.sampled_from(["file_read", "tool_call", "other"]),
        "fields": st.fixed_dictionaries(
            {},
            optional={
                "path": st.sampled_from(["/etc/shadow", "/etc/hosts", "/srv/a", ""]),
                "size": st.one_of(st.integers(-5, 300), st.none(), st.text(max_size=3)),
            },
        ),
        "dt": st.integers(0, 700),
    }
)


@settings(max_examples=60, deadline=None)
@given(st.lists(events, min_size=1, max_size=12))
def test_explanation_agrees_with_the_engine(seq: list[dict[str, Any]]) -> None:
    steps = []
    ts = 0
    for e in seq:
        ts += e["dt"]
        steps.append({"type": e["type"], "fields": e["fields"], "ts": ts})
    ran = _native.explain_events(SMALL_POLICY, steps)
    core = PolicyEngine.from_json(_native.compile_policy_json(SMALL_POLICY))
    for step, record in zip(steps, ran):
        result, x = record["result"], record["explanation"]
        expected = dict(result, eval_time_us=0)
        assert dict(x["result"], eval_time_us=0) == expected
        fired = [r["id"] for r in x["rules"] if r["fired"]]
        assert fired == result["triggered_rules"]
        # The core module (wall-clock windows) agrees on the rules; without
        # rate-limit pressure on this type, on the verdict too.
        got = core.evaluate(step["type"], step["fields"])
        assert got["triggered_rules"] == result["triggered_rules"]
        if not result["constraint_violations"] and not got["constraint_violations"]:
            assert (got["verdict"], got["reason"]) == (result["verdict"], result["reason"])


def test_replayer_explain_at_explains_the_current_state_and_changes_nothing() -> None:
    replayer = getattr(_native, "Replayer")(_native.compile_policy_json(SMALL_POLICY))
    shadow = {"path": "/etc/shadow", "size": 1}
    before = replayer.explain_at(5, "file_read", shadow)  # no engine yet: one built for the occasion
    assert (before["windows"][0]["count"], replayer.event_count) == (1, 0)
    replayer.evaluate_at(0, "file_read", {"path": "/srv/a"})
    replayer.evaluate_at(10, "file_read", {"path": "/srv/b"})
    for _ in range(2):
        x = replayer.explain_at(20, "file_read", shadow)
        assert (x["windows"][0]["count"], x["windows"][0]["exceeded"]) == (3, True)
        assert (x["machines"][0]["taken"], x["machines"][0]["enters_violating"]) == (0, True)
    assert replayer.event_count == 2
    assert x["result"] == dict(replayer.evaluate_at(20, "file_read", shadow), eval_time_us=0)
