"""The policies of the guard tests, written in the engine's JSON form."""

from __future__ import annotations

import json
from typing import Any

SECRET_MARK = "SECRET"
SOURCE_HASH = 424242


def ref(*path: str) -> dict[str, Any]:
    return {"Ref": {"root": "Event", "fields": list(path)}}


def text(value: str) -> dict[str, Any]:
    return {"Literal": {"String": value}}


def eq(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "Eq", "left": left, "right": right}}


def both(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "And", "left": left, "right": right}}


def either(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "Or", "left": left, "right": right}}


def negate(operand: dict[str, Any]) -> dict[str, Any]:
    return {"Unary": {"op": "Not", "operand": operand}}


def predicate(kind: str, subject: dict[str, Any], argument: dict[str, Any]) -> dict[str, Any]:
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


def tool_is(name: str) -> dict[str, Any]:
    return eq(ref("tool"), text(name))


# Results carry is_error (true or false); calls do not.
IS_RESULT = either(eq(ref("is_error"), {"Literal": {"Bool": True}}), eq(ref("is_error"), {"Literal": {"Bool": False}}))
IS_CALL = negate(IS_RESULT)


def rule(rule_id: int, event: str, condition: dict[str, Any], verdict: str, message: str,
         actions: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    return {
        "id": rule_id,
        "on_events": [event],
        "condition": condition,
        "verdicts": [{"verdict": verdict, "message": text(message)}],
        "actions": actions or [],
    }


def guard_policy(*, rate_limit: int | None = None, name: str = "mcp-test-guard") -> dict[str, Any]:
    """No shell; no reading under /etc; plain-HTTP uploads audited; results
    that show a password redacted; tokens in call arguments redacted; no
    upload after a result that carried a secret; optionally at most
    ``rate_limit`` tool calls a minute."""
    uploads_after_secret = both(IS_CALL, tool_is("upload"))
    return {
        "name": name,
        "severity": "High",
        "scopes": ["mcp"],
        "rules": [
            rule(1, "tool_call", tool_is("shell"), "Deny", "shell access is not allowed",
                 [{"verb": "Notify", "args": [["channel", text("security")]]}]),
            rule(2, "tool_call", both(tool_is("read_file"), predicate("StartsWith", ref("arguments", "path"), text("/etc/"))),
                 "Deny", "system files are off limits"),
            rule(3, "tool_call", both(tool_is("upload"), predicate("StartsWith", ref("arguments", "url"), text("http://"))),
                 "Audit", "unencrypted upload"),
            rule(4, "tool_result", predicate("Contains", ref("text"), text("PASSWORD=")),
                 "Redact", "credentials in tool output"),
            rule(5, "tool_call", ref("arguments", "token"), "Redact", "tokens are not passed to tools",
                 [{"verb": "Tag", "args": [["redact", {"List": [text("token"), text("/headers/authorization")]}]]}]),
        ],
        "constraints": (
            [{"kind": "RateLimit", "target": "tool_call", "limit": rate_limit, "window_millis": 60_000}]
            if rate_limit is not None else []
        ),
        "state_machines": [{
            "id": 1,
            "name": "secret_exfiltration",
            "invariant_name": "no_upload_after_secret",
            "kind": "Never",
            "states": [
                {"id": 0, "label": "clean", "kind": "Active"},
                {"id": 1, "label": "tainted", "kind": "Active"},
                {"id": 2, "label": "exfiltrating", "kind": "Active"},
            ],
            "transitions": [
                {"from": 0, "to": 1, "guard": {"Predicate": predicate("Contains", ref("text"), text(SECRET_MARK))}},
                {"from": 1, "to": 2, "guard": {"Predicate": uploads_after_secret}},
                {"from": 2, "to": 2, "guard": {"Predicate": uploads_after_secret}},
                {"from": 2, "to": 1, "guard": "Always"},
            ],
            "initial_state": 0,
            "accepting_states": [],
            "violating_states": [2],
        }],
        "metadata": {"annotations": [["suite", "mcp"]], "source_hash": SOURCE_HASH, "compiler_version": "hand-written"},
    }


def guard_policy_json(**options: Any) -> str:
    return json.dumps(guard_policy(**options))
