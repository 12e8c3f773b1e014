"""The policies of the guard tests, written in the engine's JSON form."""

from __future__ import annotations

from typing import Any

from korvanthel_tools import policy_json as pj
from korvanthel_tools.policy_json import Json, binary, event, predicate, text

SECRET_MARK = "SECRET"
SOURCE_HASH = 424242


def eq(left: Json, right: Json) -> Json:
    return binary("Eq", left, right)


def both(left: Json, right: Json) -> Json:
    return binary("And", left, right)


def either(left: Json, right: Json) -> Json:
    return binary("Or", left, right)


def tool_is(name: str) -> Json:
    return eq(event("tool"), text(name))


# Results carry is_error (true or false); calls do not.
IS_RESULT = either(eq(event("is_error"), pj.boolean(True)), eq(event("is_error"), pj.boolean(False)))
IS_CALL = pj.unary("Not", IS_RESULT)


def rule(rule_id: int, on_event: str, condition: Json, verdict: str, message: str,
         actions: list[Json] | None = None) -> Json:
    return pj.rule(rule_id, [on_event], condition, [pj.verdict(verdict, message)], actions or [])


def guard_policy(*, rate_limit: int | None = None, name: str = "mcp-test-guard") -> Json:
    """No shell; no reading under /etc; plain-HTTP uploads audited; results
    that show a password redacted; tokens in call arguments redacted; no
    upload after a result that carried a secret; optionally at most
    ``rate_limit`` tool calls a minute."""
    uploads_after_secret = both(IS_CALL, tool_is("upload"))
    return pj.policy(
        name,
        rules=[
            rule(1, "tool_call", tool_is("shell"), "Deny", "shell access is not allowed",
                 [pj.action("Notify", channel=text("security"))]),
            rule(2, "tool_call", both(tool_is("read_file"), predicate("StartsWith", event("arguments", "path"), text("/etc/"))),
                 "Deny", "system files are off limits"),
            rule(3, "tool_call", both(tool_is("upload"), predicate("StartsWith", event("arguments", "url"), text("http://"))),
                 "Audit", "unencrypted upload"),
            rule(4, "tool_result", predicate("Contains", event("text"), text("PASSWORD=")),
                 "Redact", "credentials in tool output"),
            rule(5, "tool_call", event("arguments", "token"), "Redact", "tokens are not passed to tools",
                 [pj.action("Tag", redact=pj.items(text("token"), text("/headers/authorization")))]),
        ],
        constraints=[pj.rate_limit("tool_call", rate_limit, 60_000)] if rate_limit is not None else [],
        state_machines=[pj.state_machine(
            1, "secret_exfiltration", "no_upload_after_secret", "Never",
            [pj.state(0, "clean"), pj.state(1, "tainted"), pj.state(2, "exfiltrating")],
            [
                pj.transition(0, 1, pj.when(predicate("Contains", event("text"), text(SECRET_MARK)))),
                pj.transition(1, 2, pj.when(uploads_after_secret)),
                pj.transition(2, 2, pj.when(uploads_after_secret)),
                pj.transition(2, 1, pj.always()),
            ],
            violating_states=[2],
        )],
        scopes=["mcp"],
        annotations=[("suite", "mcp")],
        source_hash=SOURCE_HASH,
        compiler_version="hand-written",
    )


def guard_policy_json(**options: Any) -> str:
    return pj.dumps(guard_policy(**options))
