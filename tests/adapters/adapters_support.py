"""The policy the adapter tests enforce, and helpers shared by them.

Not a conftest.py: other suites run in the same pytest process have their
own, and two modules named ``conftest`` would shadow each other."""

from __future__ import annotations

import json
from typing import Any

from korvanthel_tools.guarding import Guard


def ref(*path: str) -> dict[str, Any]:
    return {"Ref": {"root": "Event", "fields": list(path)}}


def text(value: str) -> dict[str, Any]:
    return {"Literal": {"String": value}}


def equals(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "Eq", "left": left, "right": right}}


def contains(subject: dict[str, Any], needle: str) -> dict[str, Any]:
    return {"Predicate": {"kind": "Contains", "subject": subject, "argument": text(needle)}}


def both(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "And", "left": left, "right": right}}


def tool_is(name: str) -> dict[str, Any]:
    return equals(ref("tool"), text(name))


def rule(rule_id: int, event: str, condition: dict[str, Any], verdict: str, message: str,
         actions: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    return {"id": rule_id, "on_events": [event], "condition": condition,
            "verdicts": [{"verdict": verdict, "message": text(message)}], "actions": actions or []}


RM_REASON = "recursive deletes are not allowed"
FETCH_REASON = "fetches are audited"
LEAK_REASON = "credentials in tool output"
LOGIN_REASON = "passwords stay out of tool calls"
EXFIL_INVARIANT = "no_upload_after_secret"  # named in the reason of its violation

# shell with "rm -rf" is denied; fetch is audited; a read_file result that
# mentions a password is redacted; login's password argument is redacted;
# a result carrying SECRET taints the session, and an upload after that
# violates an invariant.
POLICY: dict[str, Any] = {
    "name": "adapters-test",
    "severity": "High",
    "scopes": ["agent"],
    "rules": [
        rule(1, "tool_call", both(tool_is("shell"), contains(ref("arguments", "command"), "rm -rf")), "Deny", RM_REASON),
        rule(2, "tool_call", tool_is("fetch"), "Audit", FETCH_REASON),
        rule(3, "tool_result", both(tool_is("read_file"), contains(ref("text"), "password")), "Redact", LEAK_REASON),
        rule(4, "tool_call", tool_is("login"), "Redact", LOGIN_REASON,
             [{"verb": "Tag", "args": [["redact", text("password")]]}]),
    ],
    "constraints": [],
    "state_machines": [{
        "id": 1, "name": "exfiltration", "invariant_name": "no_upload_after_secret", "kind": "Never",
        "states": [
            {"id": 0, "label": "clean", "kind": "Active"},
            {"id": 1, "label": "tainted", "kind": "Active"},
            {"id": 2, "label": "leaked", "kind": "Violated"},
        ],
        "transitions": [
            {"from": 0, "to": 1, "guard": {"Predicate": contains(ref("text"), "SECRET")}},
            {"from": 1, "to": 2, "guard": {"Predicate": tool_is("upload")}},
        ],
        "initial_state": 0, "accepting_states": [], "violating_states": [2],
    }],
    "metadata": {"annotations": [], "source_hash": 21, "compiler_version": "test"},
}

POLICY_JSON = json.dumps(POLICY)


def make_guard(**options: Any) -> Guard:
    return Guard.from_json(POLICY_JSON, **options)
