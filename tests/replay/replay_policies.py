"""Policies and traces for the tests of the native replay."""

from __future__ import annotations

import json
from typing import Any

T0 = 1_714_564_800_000  # 2024-05-01T12:00:00Z
SECOND = 1000
MINUTE = 60 * SECOND
HOUR = 60 * MINUTE


def ref(*path: str, root: str = "Event") -> dict[str, Any]:
    return {"Ref": {"root": root, "fields": list(path)}}


def eq(left: dict[str, Any], text: str) -> dict[str, Any]:
    return {"Binary": {"op": "Eq", "left": left, "right": {"Literal": {"String": text}}}}


def machine(name: str, states: list[tuple[str, str]], transitions: list[dict[str, Any]], violating: list[int],
            deadline: int | None = None, kind: str = "Never") -> dict[str, Any]:
    return {"id": 1, "name": name, "invariant_name": name + "_holds", "kind": kind,
            "states": [{"id": i, "label": label, "kind": k} for i, (label, k) in enumerate(states)],
            "transitions": transitions, "initial_state": 0, "accepting_states": [],
            "violating_states": violating, "deadline_millis": deadline}


def policy(rules: list[dict[str, Any]] | None = None, constraints: list[dict[str, Any]] | None = None,
           machines: list[dict[str, Any]] | None = None) -> str:
    return json.dumps({
        "name": "replay-tests", "severity": "High", "scopes": [], "rules": rules or [],
        "constraints": constraints or [], "state_machines": machines or [],
        "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "test"},
    })


# Ten tool calls a minute.
RATE_LIMITED = policy(constraints=[{"kind": "RateLimit", "target": "tool_call", "limit": 10, "window_millis": MINUTE}])

# Approval expected within 30 minutes of a session's start.
DEADLINE = policy(machines=[machine(
    "approval", [("waiting", "Active"), ("approved", "Satisfied"), ("expired", "Violated")],
    [{"from": 0, "to": 2, "guard": "Timeout"},
     {"from": 0, "to": 1, "guard": {"Predicate": eq(ref("tool"), "approve")}}],
    violating=[2], deadline=30 * MINUTE, kind="Eventually")])

# Uploading after reading a secret violates the invariant; shell is denied
# and every fired rule logs the tool and the stored owner.
GUARD = policy(
    rules=[{"id": 1, "on_events": ["tool_call"], "condition": eq(ref("tool"), "shell"),
            "verdicts": [{"verdict": "Deny", "message": {"Literal": {"String": "no shell"}}}],
            "actions": [{"verb": "Log", "args": [["tool", ref("tool")], ["owner", ref("owner", root="Context")]]}]},
           {"id": 2, "on_events": [], "condition": eq(ref("mode", root="Policy"), "audit"),
            "verdicts": [{"verdict": "Audit"}], "actions": []}],
    machines=[machine("no_exfiltration", [("clean", "Active"), ("holding", "Active"), ("leaked", "Violated")],
                      [{"from": 0, "to": 1, "guard": {"Predicate": eq(ref("tool"), "read_secret")}},
                       {"from": 1, "to": 2, "guard": {"Predicate": eq(ref("tool"), "upload")}}],
                      violating=[2])])

# Echoes the field "v" as an action argument.
ECHO = policy(rules=[{"id": 7, "on_events": [], "verdicts": [],
                      "actions": [{"verb": "Tag", "args": [["v", ref("v")]]}]}])


def trace(*events: dict[str, Any]) -> bytes:
    return b"".join(json.dumps(e).encode() + b"\n" for e in events)


def records(results: bytes) -> list[dict[str, Any]]:
    return [json.loads(line) for line in results.decode().splitlines()]
