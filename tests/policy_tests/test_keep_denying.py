"""The keep-denying invariant forms: after a secret is read, every later
upload is denied (not only the first), through the engine, `korvanthel
replay` and `korvanthel test`; the report-only form denies the first and
then only reports. The printer gives each form back."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native

from conftest import run_cli, write_lines

HEADER = 'policy "guard" severity high\n\n'
KEEP_DENYING_UPLOADS = HEADER + """\
machine 1 no_exfil invariant secrets_stay_local never {
  after event.classification == "secret"
  deny every later event when event.tool == "upload"
}
"""
KEEP_DENYING_ALL = HEADER + """\
machine 1 no_exfil invariant secrets_stay_local never {
  after event.classification == "secret"
  deny every later event
}
"""
REPORT_ONLY = HEADER + """\
machine 1 no_exfil invariant secrets_stay_local never {
  state clean
  state holding
  state leaked violated
  violating leaked
  transition clean -> holding when event.classification == "secret"
  transition holding -> leaked when event.tool == "upload"
}
"""
TRACE: list[dict[str, Any]] = [
    {"type": "tool_call", "fields": {"tool": "upload"}, "ts": 0},
    {"type": "data_access", "fields": {"classification": "secret"}, "ts": 1},
    {"type": "tool_call", "fields": {"tool": "upload"}, "ts": 2},
    {"type": "tool_call", "fields": {"tool": "search"}, "ts": 3},
    {"type": "tool_call", "fields": {"tool": "upload"}, "ts": 4},
]
# (verdict, number of violations) of each event of TRACE.
EXPECTED = {
    "uploads": [("allow", 0), ("allow", 0), ("deny", 1), ("allow", 0), ("deny", 1)],
    "all": [("allow", 0), ("allow", 0), ("deny", 1), ("deny", 1), ("deny", 1)],
    "report-only": [("allow", 0), ("allow", 0), ("deny", 1), ("allow", 1), ("allow", 1)],
}
SOURCES = {"uploads": KEEP_DENYING_UPLOADS, "all": KEEP_DENYING_ALL, "report-only": REPORT_ONLY}


@pytest.mark.parametrize("form", list(SOURCES))
def test_engine_verdicts_for_each_form(form: str) -> None:
    engine = PolicyEngine.from_json(_native.compile_policy_json(SOURCES[form], "g.zelvo"))
    got = []
    for event in TRACE:
        result = engine.evaluate(event["type"], event["fields"])
        got.append((result["verdict"], len(result["violations"])))
    assert got == EXPECTED[form]


@pytest.mark.parametrize("form", list(SOURCES))
def test_printer_gives_each_form_back(form: str) -> None:
    compiled = _native.compile_policy_json(SOURCES[form], "g.zelvo")
    printed = _native.print_policy(compiled)
    assert printed == SOURCES[form]
    assert _native.compile_policy_json(printed, "g.zelvo") == compiled


def test_two_uploads_after_a_secret_are_denied_by_replay_and_test(
    capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    source = tmp_path / "guard.zelvo"
    source.write_text(KEEP_DENYING_UPLOADS)
    container = tmp_path / "guard.zelvoc"
    assert run_cli(capsys, "compile", str(source), "-o", str(container))[0] == 0

    events = write_lines(tmp_path / "trace.jsonl", TRACE)
    status, out, err = run_cli(capsys, "replay", str(container), str(events), "--no-progress")
    assert status == 0, err
    verdicts = [json.loads(line)["result"]["verdict"] for line in out.splitlines()]
    assert verdicts == [v for v, _ in EXPECTED["uploads"]]

    cases = write_lines(tmp_path / "guard.test.jsonl", [{"case": "every upload after a secret is denied"}] + [
        {**event, "expect": {"verdict": verdict, "violations": ["secrets_stay_local"] * count}}
        for event, (verdict, count) in zip(TRACE, EXPECTED["uploads"])
    ])
    status, out, err = run_cli(capsys, "test", str(source), str(cases))
    assert status == 0, out + err
