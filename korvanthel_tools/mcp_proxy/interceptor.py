"""The guard between an MCP client and an MCP server, message by message.

Transport-independent: the stdio and HTTP relays hand every message from
either side to one ``Interceptor`` per MCP session and act on what it
returns. It

- evaluates each ``tools/call`` request as a ``tool_call`` event before the
  server sees it: ``deny`` answers the client itself with a tool result
  (``isError: true``, the reason as its text) and the call is not
  forwarded; ``redact`` forwards the call with the named arguments
  replaced (see ``korvanthel_tools.guarding.redaction``); ``audit`` and
  ``allow`` forward it unchanged;
- evaluates each result of a forwarded call as a ``tool_result`` event
  before the client sees it: ``deny`` replaces it by an error result with
  the reason, ``redact`` replaces every text block by one placeholder block
  and every string inside ``structuredContent`` by the placeholder (its
  shape kept, so clients that check it against the tool's output schema
  still accept it), and drops non-text blocks;
- learns the server's and the client's names from ``initialize`` and
  ``server/discover``;
- remembers the requests in flight, so that when the server goes away each
  one can be answered with an error.

Everything else passes unchanged. A ``tools/call`` whose params are not
an object with a string ``name`` and an object (or no) ``arguments`` cannot
be evaluated: the proxy answers it with a protocol error (``-32602``) and
does not forward it. In shadow mode decisions are logged and nothing is changed.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from korvanthel_tools.guarding import Decision, Guard, join_text
from korvanthel_tools.mcp_proxy.messages import (
    INTERNAL_ERROR,
    INVALID_PARAMS,
    client_name_of,
    error_response,
    id_key,
    is_modern,
    is_request,
    is_response,
    server_name_of,
    tool_error_result,
)

logger = logging.getLogger("korvanthel.mcp_proxy")

MAX_PENDING = 10_000
"""Requests in flight remembered per session; beyond it the oldest is forgotten."""

INVALID_CALL_PARAMS = "Invalid params: tools/call needs params.name (a string) and params.arguments (an object)"


@dataclass
class PendingCall:
    """A request forwarded to the server and not answered yet."""

    request_id: Any
    method: str
    tool: str | None = None
    arguments: dict[str, Any] | None = None
    modern: bool = False


@dataclass
class ClientOutcome:
    """What to do with a message from the client: forward ``forward`` to
    the server (the message, or a changed copy) and/or send ``reply`` back."""

    forward: dict[str, Any] | None
    reply: dict[str, Any] | None = None
    changed: bool = False


class ServerIdentity:
    """The upstream's name, shared by the sessions of one proxy: the name
    the server gave at initialisation, else ``fallback`` (its command or URL)."""

    def __init__(self, fallback: str) -> None:
        self.name = fallback
        self.announced = False

    def learn(self, name: str | None) -> None:
        """Take the name the server announced at initialisation; an empty or
        missing name keeps the current one."""
        if name:
            self.name = name
            self.announced = True


class Interceptor:
    """One MCP session's view of the traffic. Not thread-safe: a relay
    calls it from one event loop."""

    def __init__(self, guard: Guard, server: ServerIdentity, *, session: str | None) -> None:
        self.guard = guard
        self.server = server
        self.session = session
        self.client: str | None = None
        self.pending: dict[tuple[str, str], PendingCall] = {}

    def from_client(self, message: dict[str, Any]) -> ClientOutcome:
        """Inspect one message from the client."""
        if not is_request(message):
            if message.get("method") == "notifications/cancelled":
                params = message.get("params")
                if isinstance(params, dict) and "requestId" in params:
                    self.pending.pop(id_key(params["requestId"]), None)
            return ClientOutcome(message)
        method = str(message["method"])
        request_id = message["id"]
        if method == "initialize" or self.client is None:
            self.client = client_name_of(message) or self.client
        if method != "tools/call":
            self._remember(PendingCall(request_id, method))
            return ClientOutcome(message)
        params = message.get("params")
        arguments = params.get("arguments", {}) if isinstance(params, dict) else None
        if arguments is None and isinstance(params, dict):
            arguments = {}
        if not isinstance(params, dict) or not isinstance(params.get("name"), str) or not isinstance(arguments, dict):
            # Not evaluable, so not forwarded either.
            return ClientOutcome(None, error_response(request_id, INVALID_PARAMS, INVALID_CALL_PARAMS))
        tool = str(params["name"])
        modern = is_modern(message)
        decision = self.guard.check_call(tool, arguments, session=self.session, **self._ids())
        _report(decision)
        if decision.blocked:
            return ClientOutcome(None, tool_error_result(request_id, decision.error_text(), modern=modern))
        self._remember(PendingCall(request_id, method, tool, arguments, modern))
        if decision.redacts:
            changed = dict(message)
            changed["params"] = dict(params, arguments=decision.redacted_arguments())
            return ClientOutcome(changed, changed=True)
        return ClientOutcome(message)

    def from_server(self, message: dict[str, Any]) -> dict[str, Any] | None:
        """Inspect one message from the server: None to relay it as it is,
        or the message to send in its place."""
        if not is_response(message):
            return None
        call = self.pending.pop(id_key(message["id"]), None)
        if call is None:
            return None
        result = message.get("result")
        if not self.server.announced:
            self.server.learn(server_name_of(result))
        if call.tool is None or not isinstance(result, dict) or "error" in message:
            return None
        if result.get("resultType", "complete") != "complete":
            return None  # the tool has not finished (input required); its retry is a new call
        content = result.get("content")
        text = join_text(content) if isinstance(content, list) else ""
        decision = self.guard.check_result(
            call.tool, text, bool(result.get("isError", False)), call.arguments, session=self.session, **self._ids()
        )
        _report(decision)
        if decision.blocked:
            return tool_error_result(message["id"], decision.error_text(), modern=call.modern)
        if decision.redacts:
            return dict(message, result=redacted_result(result, decision.placeholder()))
        return None

    def abandon(self, reason: str) -> list[dict[str, Any]]:
        """Error responses for every request in flight (the server is gone)."""
        replies = [error_response(call.request_id, INTERNAL_ERROR, reason) for call in self.pending.values()]
        self.pending.clear()
        return replies

    def _remember(self, call: PendingCall) -> None:
        self.pending[id_key(call.request_id)] = call
        if len(self.pending) > MAX_PENDING:
            del self.pending[next(iter(self.pending))]

    def _ids(self) -> dict[str, Any]:
        return {"server": self.server.name, "client": self.client}


def redacted_result(result: Mapping[str, Any], placeholder: str) -> dict[str, Any]:
    """A tool result with its content replaced by the placeholder."""
    redacted = dict(result)
    redacted["content"] = [{"type": "text", "text": placeholder}]
    if "structuredContent" in redacted:
        redacted["structuredContent"] = _replace_strings(redacted["structuredContent"], placeholder)
    return redacted


def _replace_strings(value: Any, placeholder: str, depth: int = 0) -> Any:
    if depth > 100:
        return None
    if isinstance(value, str):
        return placeholder
    if isinstance(value, dict):
        return {key: _replace_strings(item, placeholder, depth + 1) for key, item in value.items()}
    if isinstance(value, list):
        return [_replace_strings(item, placeholder, depth + 1) for item in value]
    return value


def _report(decision: Decision) -> None:
    if decision.verdict == "allow":
        return
    tool = decision.fields.get("tool")
    mode = " (shadow: not enforced)" if decision.shadow else ""
    level = logging.WARNING if decision.verdict in ("deny", "audit") else logging.INFO
    logger.log(level, "%s %s %s%s: %s", decision.verdict, decision.event_type, tool, mode,
               decision.error_text() if decision.verdict == "deny" else decision.reason or "-")
