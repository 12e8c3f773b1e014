"""The test command's usage errors (exit 2, one line), --run, -v and JUnit XML."""

from __future__ import annotations

import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any

import pytest

from conftest import run_cli, write_lines


@pytest.mark.parametrize(
    ("lines", "message"),
    [
        (["{"], "{t}:1: not valid JSON: the line ends inside a value (column 2)"),
        (["[1]"], "{t}:1: a line must be a JSON object"),
        ([{"type": "x"}], '{t}:1: an event before the first case line ({{"case": NAME}})'),
        ([{"case": ""}], "{t}:1: 'case' must be a non-empty string"),
        ([{"case": "a"}, {"case": "a"}], "{t}:2: case 'a' is defined twice"),
        ([{"case": "a"}, {"type": "x", "expect": "maybe"}], "{t}:2: expect 'verdict' must be one of allow, deny, audit, redact"),
        ([{"case": "a"}, {"type": "x", "expect": {"verdit": "deny"}}],
         "{t}:2: unknown expectation 'verdit' (known: verdict, reason, reason_matches, triggered_rules, actions, "
         "violations, constraint_violations)"),
        ([{"case": "a"}, {"type": "x", "ts": -1}], "{t}:2: 'ts' must be an integer number of milliseconds, 0 or more"),
        ([{"case": "a"}, {"type": "x", "fields": [1]}], "{t}:2: 'fields' must be an object"),
        ([{"case": "a"}, {"type": "x", "expect": {"reason_matches": "("}}],
         "{t}:2: expect 'reason_matches' is not a valid pattern (missing ), unterminated subpattern at position 0)"),
        ([{"case": "a"}, {"type": "x", "expect": {"actions": ["shout"]}}],
         "{t}:2: expect 'actions' must hold verbs among log, notify, escalate, block, tag"),
        ([{"case": "a"}, {"config": {"a": 1}, "expect": "deny"}], "{t}:2: an expectation needs an event ('type')"),
        ([{"case": "a"}, {"type": "x", "extra": 1}], "{t}:2: unknown key 'extra' in an event line"),
    ],
)
def test_bad_test_file(
    tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str], lines: list[Any], message: str
) -> None:
    tests = write_lines(tmp_path / "t.test.jsonl", lines)
    status, out, err = run_cli(capsys, "test", str(small_policy), str(tests))
    assert (status, out, err) == (2, "", f"korvanthel test: error: {message.format(t=tests)}\n")


def test_policy_with_errors_is_a_usage_error(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    policy = tmp_path / "bad.zelvo"
    policy.write_text('policy "p" severity low\nrule 1 { when event.a === 1 deny }\n')
    tests = write_lines(tmp_path / "t.test.jsonl", [{"case": "a"}, {"type": "x"}])
    status, out, err = run_cli(capsys, "test", str(policy), str(tests))
    assert status == 2 and out == ""
    assert err.startswith(f"korvanthel test: error: {policy} has errors:\n{policy}:2:")


def test_run_selects_cases_and_verbose_lists_them(
    tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    tests = write_lines(tmp_path / "t.test.jsonl", [
        {"case": "reads pass"}, {"type": "file_read", "fields": {"path": "/etc/a"}, "expect": "deny"},
        {"case": "reads fail"}, {"type": "file_read", "fields": {"path": "/srv/a"}, "expect": "deny"},
        {"case": "calls"}, {"type": "tool_call", "expect": "allow"},
    ])
    status, out, _ = run_cli(capsys, "test", str(small_policy), str(tests), "--run", "pass|calls", "-v")
    assert (status, out) == (0, "PASS: reads pass\nPASS: calls\n2/2 cases passed\n")
    status, out, err = run_cli(capsys, "test", str(small_policy), str(tests), "--run", "(")
    assert status == 2 and err.startswith("korvanthel test: error: --run '(': not a valid pattern")


def test_junit_xml(tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str]) -> None:
    tests = write_lines(tmp_path / "t.test.jsonl", [
        {"case": "ok"}, {"type": "file_read", "fields": {"path": "/etc/a"}, "expect": "deny"},
        {"case": "bad"}, {"type": "file_read", "fields": {"path": "/srv/a"}, "expect": "deny"},
    ])
    junit = tmp_path / "out.xml"
    status, out, _ = run_cli(capsys, "test", str(small_policy), str(tests), "--junit", str(junit))
    assert status == 1
    root = ET.parse(junit).getroot()
    assert (root.tag, root.get("tests"), root.get("failures")) == ("testsuites", "2", "1")
    suite = root.find("testsuite")
    assert suite is not None and suite.get("name") == str(tests)
    cases = suite.findall("testcase")
    assert [c.get("name") for c in cases] == ["ok", "bad"]
    assert cases[0].find("failure") is None
    failure = cases[1].find("failure")
    assert failure is not None
    assert failure.get("message") == f"{tests}:4: case 'bad', event 1 (file_read): verdict: expected deny, got allow"
    assert failure.text is not None and failure.text in out
