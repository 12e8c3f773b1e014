"""Policies and traces for the tests of the native replay."""

from __future__ import annotations

import json
from typing import Any

from korvanthel_tools import policy_json as pj
from korvanthel_tools.policy_json import Json

T0 = 1_714_564_800_000  # 2024-05-01T12:00:00Z
SECOND = 1000
MINUTE = 60 * SECOND
HOUR = 60 * MINUTE


def ref(*path: str, root: str = "Event") -> Json:
    return pj.ref(root, *path)


def eq(left: Json, value: str) -> Json:
    return pj.binary("Eq", left, pj.text(value))


def machine(name: str, states: list[tuple[str, str]], transitions: list[Json], violating: list[int],
            deadline: int | None = None, kind: str = "Never") -> Json:
    return pj.state_machine(1, name, name + "_holds", kind,
                            [pj.state(i, label, k) for i, (label, k) in enumerate(states)], transitions,
                            violating_states=violating, deadline_millis=deadline)


def policy(rules: list[Json] | None = None, constraints: list[Json] | None = None,
           machines: list[Json] | None = None) -> str:
    return pj.dumps(pj.policy("replay-tests", rules or [], constraints or [], machines or []))


# Ten tool calls a minute.
RATE_LIMITED = policy(constraints=[pj.rate_limit("tool_call", 10, MINUTE)])

# Approval expected within 30 minutes of a session's start.
DEADLINE = policy(machines=[machine(
    "approval", [("waiting", "Active"), ("approved", "Satisfied"), ("expired", "Violated")],
    [pj.transition(0, 2, pj.timeout()),
     pj.transition(0, 1, pj.when(eq(ref("tool"), "approve")))],
    violating=[2], deadline=30 * MINUTE, kind="Eventually")])

# Uploading after reading a secret violates the invariant; shell is denied
# and every fired rule logs the tool and the stored owner.
GUARD = policy(
    rules=[pj.rule(1, ["tool_call"], eq(ref("tool"), "shell"), [pj.verdict("Deny", "no shell")],
                   [pj.action("Log", tool=ref("tool"), owner=ref("owner", root="Context"))]),
           pj.rule(2, [], eq(ref("mode", root="Policy"), "audit"), [pj.verdict("Audit")])],
    machines=[machine("no_exfiltration", [("clean", "Active"), ("holding", "Active"), ("leaked", "Violated")],
                      [pj.transition(0, 1, pj.when(eq(ref("tool"), "read_secret"))),
                       pj.transition(1, 2, pj.when(eq(ref("tool"), "upload")))],
                      violating=[2])])

# Echoes the field "v" as an action argument.
ECHO = policy(rules=[pj.rule(7, actions=[pj.action("Tag", v=ref("v"))])])


def trace(*events: dict[str, Any]) -> bytes:
    return b"".join(json.dumps(e).encode() + b"\n" for e in events)


def records(results: bytes) -> list[dict[str, Any]]:
    return [json.loads(line) for line in results.decode().splitlines()]
