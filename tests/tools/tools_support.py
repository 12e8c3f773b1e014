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

from korvanthel_tools.commands.cli import main
from korvanthel_tools.policy_json import (
    action,
    binary,
    boolean,
    context,
    event,
    policy,
    rate_limit,
    rule,
    state,
    state_machine,
    text,
    transition,
    verdict,
    when,
)

# The guarded-tools example lives with the other examples, outside any package.
EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))


def _action_is(name: str) -> dict[str, Any]:
    return when(binary("Eq", event("action"), text(name)))


# shell is denied (rule 7), fetch audited (rule 8), every event tagged
# (rule 9), a "strict" context denies ctx_check events (rule 10); more than
# two "burst" events a minute exceed a rate limit; reading a secret and then
# sending violates an invariant.
POLICY: dict[str, Any] = policy(
    "tools-test",
    rules=[
        rule(7, ["tool_call"], binary("Eq", event("tool"), text("shell")), [verdict("Deny", "no shell")]),
        rule(8, ["tool_call"], binary("Eq", event("tool"), text("fetch")), [verdict("Audit", "fetch audited")]),
        rule(9, actions=[action("Tag", seen=boolean(True))]),
        rule(10, ["ctx_check"], binary("Eq", context("mode"), text("strict")), [verdict("Deny", "strict mode")]),
    ],
    constraints=[rate_limit("burst", 2, 60000)],
    state_machines=[state_machine(
        1, "no-exfil", "no_send_after_secret", "Never",
        [state(0, "clean"), state(1, "tainted"), state(2, "leaked", "Violated")],
        [transition(0, 1, _action_is("read_secret")), transition(1, 2, _action_is("send"))],
        violating_states=[2],
    )],
    severity="Medium",
    annotations={"owner": "tests"},
    source_hash=7,
)


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


def json_lines(text: str) -> list[dict[str, Any]]:
    """The records of JSON-lines text (what ``replay`` writes), one per line."""
    return [json.loads(line) for line in text.splitlines()]


def write_events(path: Path, events: list[dict[str, Any]]) -> Path:
    path.write_text("".join(json.dumps(e) + "\n" for e in events), encoding="utf-8")
    return path
