"""A case that fails in each way prints exactly what differed and the
explanation of the failing event; exit status 1."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

from conftest import run_cli, write_lines

CASES = [
    pytest.param(
        {"type": "file_read", "fields": {"path": "/srv/x", "size": 1}, "expect": "deny"},
        [
            "FAIL {t}:2: case 'c', event 1 (file_read): verdict: expected deny, got allow",
            "    rule 7 (line 3) would have had to fire; its condition was false:",
            '      event.path.starts_with("/etc/") = false',
            '        event.path = "/srv/x"',
            "    why: no rule, constraint or monitor adopted a verdict, so allow stands",
        ],
        id="wrong-verdict",
    ),
    pytest.param(
        {"type": "file_read", "fields": {"path": "/etc/hosts", "size": 1},
         "expect": {"verdict": "deny", "reason": "system file"}},
        [
            'FAIL {t}:2: case \'c\', event 1 (file_read): reason: expected "system file", got "system file: /etc/hosts"',
            "    why: deny from rule 7 (deny dominates); reason from rule 7 (the last message adopted)",
        ],
        id="wrong-reason",
    ),
    pytest.param(
        {"type": "file_read", "fields": {"path": "/etc/hosts", "size": 1},
         "expect": {"reason_matches": "^other"}},
        [
            "FAIL {t}:2: case 'c', event 1 (file_read): reason: expected to match /^other/, "
            'got "system file: /etc/hosts"',
            "    why: deny from rule 7 (deny dominates); reason from rule 7 (the last message adopted)",
        ],
        id="reason-pattern",
    ),
    pytest.param(
        {"type": "file_read", "fields": {"path": "/etc/passwd", "size": 1}, "expect": {"violations": ["no_shadow"]}},
        [
            "FAIL {t}:2: case 'c', event 1 (file_read): violations: expected [no_shadow], got []",
            "    why: deny from rule 7 (deny dominates); reason from rule 7 (the last message adopted)",
        ],
        id="missing-violation",
    ),
    pytest.param(
        {"type": "file_read", "fields": {"path": "/srv/y", "size": 500},
         "expect": {"verdict": "audit", "triggered_rules": [7, 8], "actions": ["log"]}},
        [
            "FAIL {t}:2: case 'c', event 1 (file_read): triggered rules: expected [7, 8], got [8]",
            "FAIL {t}:2: case 'c', event 1 (file_read): actions: expected [log], got []",
            "    why: audit from rule 8 (the first verdict other than allow stands); reason from rule 8 "
            "(the last message adopted)",
        ],
        id="rules-and-actions",
    ),
    pytest.param(
        {"type": "tool_call", "fields": {}, "expect": {"verdict": "deny"}},
        [
            "FAIL {t}:2: case 'c', event 1 (tool_call): verdict: expected deny, got allow",
            "    no selected rule gives deny to this event",
            "    why: no rule, constraint or monitor adopted a verdict, so allow stands",
        ],
        id="no-rule-could",
    ),
]


@pytest.mark.parametrize(("event", "expected"), CASES)
def test_failure_text(
    tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str], event: dict[str, Any], expected: list[str]
) -> None:
    tests = write_lines(tmp_path / "t.test.jsonl", [{"case": "c"}, event])
    status, out, _ = run_cli(capsys, "test", str(small_policy), str(tests))
    assert status == 1
    want = [line.format(t=tests) for line in expected] + ["0/1 cases passed, 1 failed"]
    assert out.splitlines() == want


def test_constraint_violation_and_event_time(
    tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # Two reads a second: the third within the second is denied, one a
    # second later is not (the window follows the events' own ts).
    read = {"type": "file_read", "fields": {"path": "/srv/a", "size": 1}}
    tests = write_lines(tmp_path / "t.test.jsonl", [
        {"case": "window"},
        {**read, "ts": 0}, {**read, "ts": 500},
        {**read, "ts": 999, "expect": {"verdict": "deny", "constraint_violations": ["file_read"],
                                       "reason": "RateLimit exceeded: 3 events in 1000ms window (limit: 2)"}},
        {**read, "ts": 2500, "expect": {"verdict": "allow", "constraint_violations": []}},
        {"case": "fresh engine per case"},
        {**read, "ts": 999, "expect": {"verdict": "allow"}},
    ])
    status, out, _ = run_cli(capsys, "test", str(small_policy), str(tests))
    assert (status, out) == (0, "2/2 cases passed\n")


def test_context_and_config_before_an_event(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    policy = tmp_path / "p.zelvo"
    policy.write_text('policy "p" severity low\nrule 1 { when context.user == config.admin deny "admin" }\n')
    tests = write_lines(tmp_path / "t.test.jsonl", [
        {"case": "c", "config": {"admin": "root"}},
        {"type": "x", "expect": "allow"},
        {"context": {"user": "root"}},
        {"type": "x", "expect": "deny"},
        {"type": "x", "context": {"user": "bob"}, "expect": "allow"},
    ])
    status, out, _ = run_cli(capsys, "test", str(policy), str(tests))
    assert (status, out) == (0, "1/1 cases passed\n")
