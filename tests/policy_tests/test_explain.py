"""korvanthel explain and _native.explain_events: the readable text, the
JSON form, usage errors, and agreement with the engine over random
events (hypothesis)."""

from __future__ import annotations

import argparse
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
        (["--event", "{"], "--event: not valid JSON: the line ends inside a value (column 2)"),
        (["--event", "[]"], '--event: expected an object with a string "type"'),
        (["--event", '{"type": "x", "fields": 1}'], '--event: "fields" must be an object'),
        (["--event", '{"type": "x", "ts": 1.5}'], '--event: "ts" must be an integer number of milliseconds, 0 or more'),
        (["--event", '{"type": "x"}', "--context", "novalue"], "--context 'novalue': expected KEY=JSON"),
        (["--event", '{"type": "a"}', "--event", '{"type": "b"}'],
         "--event given 2 times: give one event, or explain an event after its history with --trace FILE --at N"),
        (["--trace", "t.jsonl"], "--trace needs --at N, the line to explain"),
        (["--event", '{"type": "a"}', "--at", "2"], "--at and --session-key need --trace FILE"),
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


RATE_POLICY = """\
policy "rate" severity low

rule 1 on tool_call {
  when event.items.any(x, x > 3)
  audit "big item"
}

rate_limit tool_call 10 per 1m
"""


def test_explain_at_a_line_of_a_trace_sees_the_window_the_earlier_lines_left(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    policy = tmp_path / "rate.zelvo"
    policy.write_text(RATE_POLICY)
    lines = [{"type": "tool_call", "fields": {"items": [1]}, "ts": 1000 * i, "session": "a"} for i in range(11)]
    lines.insert(5, {"type": "tool_call", "fields": {"items": [9]}, "ts": 4500, "session": "b"})
    trace = tmp_path / "trace.jsonl"
    trace.write_text("".join(json.dumps(line) + "\n" for line in lines))

    status, out, err = run_cli(capsys, "explain", str(policy), "--trace", str(trace), "--at", "12")
    assert status == 0, err
    assert out.splitlines()[:3] == [
        f"history: 11 earlier events of the trace replayed (from {trace} lines 1-11)",
        "event tool_call at 10000 ms",
        "verdict: deny (RateLimit exceeded: 12 events in 60000ms window (limit: 10))",
    ]

    status, out, err = run_cli(capsys, "explain", str(policy), "--trace", str(trace), "--at", "12",
                               "--session-key", "session")
    assert status == 0, err
    text = out.splitlines()
    assert text[0] == f"history: 10 earlier events of this session replayed (from {trace} lines 1-11)"
    assert text[2].startswith("verdict: deny")
    assert "  rate_limit tool_call 10 per 60000ms (line 8): 11 events in the window with this one, exceeded" in text

    status, out, err = run_cli(capsys, "explain", str(policy), "--trace", str(trace), "--at", "6", "--json",
                               "--session-key", "session")
    x = json.loads(out)
    assert (x["history_lines"], x["result"]["verdict"]) == ([], "audit")


def test_quantifier_bodies_show_the_bound_name_and_each_element(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    policy = tmp_path / "rate.zelvo"
    policy.write_text(RATE_POLICY)
    event = json.dumps({"type": "tool_call", "fields": {"items": [1, 2, 7, 8]}})
    status, out, _ = run_cli(capsys, "explain", str(policy), "--event", event, "--all")
    assert status == 0
    assert "      event.items.any(x, x > 3) = true\n        for x = 1: false\n        for x = 2: false\n" \
           "        for x = 7: true\n" in out
    assert "x > 3 = (per element, listed above)" in out and "local(0)" not in out

    event = json.dumps({"type": "tool_call", "fields": {"items": list(range(25))}})
    x = json.loads(run_cli(capsys, "explain", str(policy), "--event", event, "--json")[1])
    node = x["rules"][0]["nodes"][0]
    assert (node["binds"], node["visited"], len(node["elements"])) == ("x", 5, 5)
    assert node["elements"][4] == {"element": 4, "body": True}
    policy.write_text(RATE_POLICY.replace("event.items.any(x, x > 3)", "event.items.count(y, y > 3) > 0"))
    out = run_cli(capsys, "explain", str(policy), "--event", event)[1]
    assert "for y = 9: true\n" in out and "... and 15 more elements" in out


@pytest.mark.parametrize(
    "lines,at,message",
    [
        ([{"type": "a", "ts": 5}, {"type": "a", "ts": 4}], 2, "{t}:2: earlier than line 1 in its session (events are replayed in event time)"),
        ([{"type": "a"}, "{"], 2, "{t}:2: not valid JSON: the line ends inside a value (column 2)"),
        ([{"type": "a"}], 2, "{t}:2: no event on this line"),
        ([{"type": "a"}], 0, "--at: line numbers start at 1, got 0"),
        ([{"fields": {}}], 1, '{t}:1: expected an object with a string "type"'),
    ],
)
def test_explain_trace_errors(small_policy: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                              lines: list[Any], at: int, message: str) -> None:
    trace = tmp_path / "t.jsonl"
    trace.write_text("".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines))
    status, out, err = run_cli(capsys, "explain", str(small_policy), "--trace", str(trace), "--at", str(at))
    assert (status, err) == (2, f"korvanthel explain: error: {message.format(t=trace)}\n")


def test_help_lists_only_options_that_exist() -> None:
    """Every --option named in a command's help is one of that command's
    options (or the program's), for every command."""
    import re

    from korvanthel_tools.commands.cli import build_parser

    parser = build_parser()
    top = {o for action in parser._actions for o in action.option_strings}
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    assert commands.choices
    for name, sub in commands.choices.items():
        known = top | {o for action in sub._actions for o in action.option_strings}
        mentioned = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*[a-z]", sub.format_help()))
        assert mentioned <= known, f"korvanthel {name} --help names {sorted(mentioned - known)}"


def test_explain_the_eleventh_call_of_a_minute_on_the_example(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    example = Path(__file__).resolve().parents[2] / "examples" / "guard_policy.zelvo"
    trace = tmp_path / "calls.jsonl"
    trace.write_text("".join(json.dumps({"type": "tool_call", "fields": {"tool": "search"}, "ts": 5000 * i}) + "\n"
                             for i in range(11)))
    status, out, err = run_cli(capsys, "explain", str(example), "--trace", str(trace), "--at", "11")
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0] == f"history: 10 earlier events of the trace replayed (from {trace} lines 1-10)"
    assert lines[2] == "verdict: deny (RateLimit exceeded: 11 events in 60000ms window (limit: 10))"
    assert any(line.startswith("  rate_limit tool_call 10 per 60000ms (line ")
               and line.endswith("): 11 events in the window with this one, exceeded") for line in lines)
