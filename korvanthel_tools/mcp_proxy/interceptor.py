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

Failing closed, whatever the client sends:

- a ``tools/call`` is decided in every form: a request, a notification (no
  id: a denied one is dropped, an allowed one forwarded, a redacted one
  forwarded redacted), an item of a batch;
- a request's id must be a string or an integer (as MCP requires) and must
  not be the id of a request still in flight: otherwise the request is
  answered with ``-32600`` and not forwarded, so no later message can take
  over a call's result;
- a cancelled call stays tracked (apart from the calls in flight) until its
  result comes, so its result is still decided;
- from the server, only requests, notifications and responses that answer
  a request in flight pass; a response that answers none (an unknown id, a
  call forgotten after ``MAX_PENDING``) is withheld and replaced by an
  error with its id, and anything that is neither (a message with both a
  method and a result, say) is dropped;
- a ``tools/call`` answered with a JSON-RPC error is decided too, the
  error's message as the result's text.

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
from korvanthel_tools.guarding.decision_log import log_context
from korvanthel_tools.mcp_proxy.messages import (
    INTERNAL_ERROR,
    INVALID_PARAMS,
    INVALID_REQUEST,
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
"""Requests in flight (and cancelled calls) remembered per session; beyond
it the oldest is forgotten, and its result, should it come, is withheld."""

INVALID_ID = "Invalid Request: a request id must be a string or an integer"
UNMATCHED = "the proxy withheld a response that answers no request in flight"

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

    def __init__(
        self, guard: Guard, server: ServerIdentity, *, session: str | None, max_pending: int = MAX_PENDING
    ) -> None:
        self.guard = guard
        self.server = server
        self.session = session
        self.client: str | None = None
        self.pending: dict[tuple[str, str], PendingCall] = {}
        self.cancelled: dict[tuple[str, str], PendingCall] = {}
        self.max_pending = max_pending

    def from_client(self, message: dict[str, Any]) -> ClientOutcome:
        """Inspect one message from the client."""
        method = message.get("method")
        if method == "tools/call" and "id" not in message:
            return self._call_notification(message)
        if not is_request(message):
            if method == "notifications/cancelled":
                self._cancel(message.get("params"))
            return ClientOutcome(message)
        request_id = message["id"]
        if not valid_id(request_id):
            return ClientOutcome(None, error_response(None, INVALID_REQUEST, INVALID_ID))
        key = id_key(request_id)
        if key in self.pending or key in self.cancelled:
            return ClientOutcome(None, error_response(
                request_id, INVALID_REQUEST, "Invalid Request: this id is used by a request still in flight"))
        method = str(method)
        if method == "initialize" or self.client is None:
            self.client = client_name_of(message) or self.client
        if method != "tools/call":
            self._remember(PendingCall(request_id, method))
            return ClientOutcome(message)
        call = _call_of(message)
        if call is None:
            # Not evaluable, so not forwarded either.
            return ClientOutcome(None, error_response(request_id, INVALID_PARAMS, INVALID_CALL_PARAMS))
        tool, arguments = call
        modern = is_modern(message)
        decision = self.guard.check_call(tool, arguments, session=self.session, **self._ids())
        _report(decision)
        if decision.blocked:
            return ClientOutcome(None, tool_error_result(request_id, decision.error_text(), modern=modern))
        self._remember(PendingCall(request_id, method, tool, arguments, modern))
        if decision.redacts:
            return ClientOutcome(_with_arguments(message, decision.redacted_arguments()), changed=True)
        return ClientOutcome(message)

    def _call_notification(self, message: dict[str, Any]) -> ClientOutcome:
        """A ``tools/call`` without an id: decided like a request; nothing
        can be answered, so a denied or unevaluable one is dropped."""
        call = _call_of(message)
        if call is None:
            logger.warning("dropped a tools/call notification whose params cannot be evaluated")
            return ClientOutcome(None, changed=True)
        decision = self.guard.check_call(call[0], call[1], session=self.session, **self._ids())
        _report(decision)
        if decision.blocked:
            return ClientOutcome(None, changed=True)
        if decision.redacts:
            return ClientOutcome(_with_arguments(message, decision.redacted_arguments()), changed=True)
        return ClientOutcome(message)

    def _cancel(self, params: Any) -> None:
        """The client gave up on a request: it is no longer in flight, but
        its result may still come and is decided like any other."""
        if isinstance(params, dict) and "requestId" in params and valid_id(params["requestId"]):
            key = id_key(params["requestId"])
            call = self.pending.pop(key, None)
            if call is not None:
                self.cancelled[key] = call
                _bound(self.cancelled, self.max_pending)

    def from_server(self, message: dict[str, Any]) -> dict[str, Any] | None:
        """Inspect one message from the server: None to relay it as it is,
        or the message to send in its place (``DROP`` to send nothing)."""
        has_method = "method" in message
        answers = "result" in message or "error" in message
        if has_method and not answers:
            return None  # the server's own request or notification
        if has_method or "id" not in message or not answers or ("result" in message and "error" in message):
            logger.warning("dropped a message from the server that is neither a request nor a response")
            return DROP
        request_id = message["id"]
        key = id_key(request_id) if valid_id(request_id) else None
        call = None if key is None else (self.pending.pop(key, None) or self.cancelled.pop(key, None))
        if call is None:
            logger.warning("withheld a response from the server that answers no request in flight (id %s)",
                           _short_id(request_id))
            return error_response(request_id if key is not None else None, INTERNAL_ERROR, UNMATCHED)
        result = message.get("result")
        if not self.server.announced:
            self.server.learn(server_name_of(result))
        if call.tool is None:
            return None
        if "error" in message:
            return self._decide_error(message, call)
        if not isinstance(result, dict):
            return error_response(request_id, INTERNAL_ERROR, "the MCP server's tools/call result is not an object")
        if result.get("resultType", "complete") != "complete" and "content" not in result \
                and "structuredContent" not in result:
            return None  # the tool has not finished (input required); its retry is a new call
        content = result.get("content")
        text = join_text(content) if isinstance(content, list) else ""
        decision = self.guard.check_result(
            call.tool, text, bool(result.get("isError", False)), call.arguments, session=self.session, **self._ids()
        )
        _report(decision)
        if decision.blocked:
            return tool_error_result(request_id, decision.error_text(), modern=call.modern)
        if decision.redacts:
            return dict(message, result=redacted_result(result, decision.placeholder()))
        return None

    def _decide_error(self, message: dict[str, Any], call: PendingCall) -> dict[str, Any] | None:
        """A tools/call answered with a JSON-RPC error: its message is the
        result's text."""
        error = message["error"]
        if not isinstance(error, dict):
            return error_response(message["id"], INTERNAL_ERROR, "the MCP server answered with a malformed error")
        assert call.tool is not None
        text = str(error.get("message", ""))
        decision = self.guard.check_result(call.tool, text, True, call.arguments, session=self.session, **self._ids())
        _report(decision)
        if decision.blocked:
            return tool_error_result(message["id"], decision.error_text(), modern=call.modern)
        if decision.redacts:
            code = error.get("code")
            return error_response(message["id"], code if isinstance(code, int) else INTERNAL_ERROR, decision.placeholder())
        return None

    def is_pending(self, request_id: Any) -> bool:
        """Whether a request with this id was forwarded and awaits its result."""
        return valid_id(request_id) and id_key(request_id) in self.pending

    def forget(self, message: dict[str, Any]) -> None:
        """Stop tracking a request that was not forwarded after all."""
        if is_request(message) and valid_id(message["id"]):
            self.pending.pop(id_key(message["id"]), None)

    def abandon(self, reason: str) -> list[dict[str, Any]]:
        """Error responses for every request in flight (the server is gone)."""
        replies = [error_response(call.request_id, INTERNAL_ERROR, reason) for call in self.pending.values()]
        self.pending.clear()
        self.cancelled.clear()
        return replies

    def _remember(self, call: PendingCall) -> None:
        self.pending[id_key(call.request_id)] = call
        _bound(self.pending, self.max_pending)

    def _ids(self) -> dict[str, Any]:
        return {"server": self.server.name, "client": self.client}


DROP: dict[str, Any] = {}
"""Returned by ``Interceptor.from_server`` for a message to drop."""


def valid_id(request_id: Any) -> bool:
    """An id MCP allows on a request: a string or an integer (not a bool)."""
    return isinstance(request_id, str) or (isinstance(request_id, int) and not isinstance(request_id, bool))


def _call_of(message: dict[str, Any]) -> tuple[str, dict[str, Any]] | None:
    """(tool, arguments) of a tools/call, or None when they are malformed."""
    params = message.get("params")
    if not isinstance(params, dict) or not isinstance(params.get("name"), str):
        return None
    arguments = params.get("arguments", {})
    if arguments is None:
        arguments = {}
    if not isinstance(arguments, dict):
        return None
    return str(params["name"]), arguments


def _with_arguments(message: dict[str, Any], arguments: dict[str, Any]) -> dict[str, Any]:
    changed = dict(message)
    changed["params"] = dict(message["params"], arguments=arguments)
    return changed


def _bound(calls: dict[tuple[str, str], PendingCall], limit: int) -> None:
    while len(calls) > limit:
        del calls[next(iter(calls))]


def _short_id(request_id: Any) -> str:
    text = repr(request_id)
    return text if len(text) <= 60 else text[:60] + "..."


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
    context = log_context.get()
    client = f" (client {context['client_address']})" if context and context.get("client_address") else ""
    logger.log(level, "%s %s %s%s%s: %s", decision.verdict, decision.event_type, tool, mode, client,
               decision.error_text() if decision.verdict == "deny" else decision.reason or "-")
