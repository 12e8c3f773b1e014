"""Shared fixtures for the tools and example tests: a small policy that
exercises every part of the replay summary, and a runner for the CLI.

Test modules import the fixtures from here by name. This is deliberately not
a conftest.py: the module suite's conftest is imported as ``conftest`` too,
and two of them in one pytest run would shadow each other."""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools.cli import main

# The guarded-tools example lives with the other examples, outside any package.
EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))


def ref(*path: str) -> dict[str, Any]:
    return {"Ref": {"root": "Event", "fields": list(path)}}


def text(value: str) -> dict[str, Any]:
    return {"Literal": {"String": value}}


def equals(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "Eq", "left": left, "right": right}}


# shell is denied (rule 7), fetch audited (rule 8), every event tagged
# (rule 9), a "strict" context denies ctx_check events (rule 10); more than
# two "burst" events a minute exceed a rate limit; reading a secret and then
# sending violates an invariant.
POLICY: dict[str, Any] = {
    "name": "tools-test",
    "severity": "Medium",
    "scopes": [],
    "rules": [
        {"id": 7, "on_events": ["tool_call"], "condition": equals(ref("tool"), text("shell")),
         "verdicts": [{"verdict": "Deny", "message": text("no shell")}], "actions": []},
        {"id": 8, "on_events": ["tool_call"], "condition": equals(ref("tool"), text("fetch")),
         "verdicts": [{"verdict": "Audit", "message": text("fetch audited")}], "actions": []},
        {"id": 9, "on_events": [], "verdicts": [],
         "actions": [{"verb": "Tag", "args": [["seen", {"Literal": {"Bool": True}}]]}]},
        {"id": 10, "on_events": ["ctx_check"],
         "condition": equals({"Ref": {"root": "Context", "fields": ["mode"]}}, text("strict")),
         "verdicts": [{"verdict": "Deny", "message": text("strict mode")}], "actions": []},
    ],
    "constraints": [{"kind": "RateLimit", "target": "burst", "limit": 2, "window_millis": 60000}],
    "state_machines": [{
        "id": 1, "name": "no-exfil", "invariant_name": "no_send_after_secret", "kind": "Never",
        "states": [
            {"id": 0, "label": "clean", "kind": "Active"},
            {"id": 1, "label": "tainted", "kind": "Active"},
            {"id": 2, "label": "leaked", "kind": "Violated"},
        ],
        "transitions": [
            {"from": 0, "to": 1, "guard": {"Predicate": equals(ref("action"), text("read_secret"))}},
            {"from": 1, "to": 2, "guard": {"Predicate": equals(ref("action"), text("send"))}},
        ],
        "initial_state": 0, "accepting_states": [], "violating_states": [2],
    }],
    "metadata": {"annotations": [["owner", "tests"]], "source_hash": 7, "compiler_version": "test"},
}


@pytest.fixture
def policy_json(tmp_path: Path) -> Path:
    path = tmp_path / "policy.json"
    path.write_text(json.dumps(POLICY, indent=2), encoding="utf-8")
    return path


@dataclass
class Run:
    status: int
    out: str
    err: str


@pytest.fixture
def cli(capsys: pytest.CaptureFixture[str]) -> Callable[..., Run]:
    """Run ``korvanthel`` in-process with the given arguments."""

    def run(*args: str | Path) -> Run:
        status = main([str(a) for a in args])
        captured = capsys.readouterr()
        return Run(status, captured.out, captured.err)

    return run


def write_events(path: Path, events: list[dict[str, Any]]) -> Path:
    path.write_text("".join(json.dumps(e) + "\n" for e in events), encoding="utf-8")
    return path
