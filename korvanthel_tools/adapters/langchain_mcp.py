"""A tool interceptor for tools loaded through ``langchain-mcp-adapters``.

    client = MultiServerMCPClient(servers, tool_interceptors=[PolicyInterceptor("guard.zelvoc")])
    tools = await client.get_tools()

Every call of an MCP tool is evaluated before it reaches the server, and its
``CallToolResult`` before it is converted for the model, with the events of
the MCP proxy: ``tool_call`` with ``tool``, ``arguments``, ``server`` (the
server's name in the client's configuration), ``call_id`` and
``conversation`` (the LangGraph ``thread_id``) where known, and
``session``; ``tool_result`` with the same fields plus ``text`` (the
result's text blocks joined by a line feed) and ``is_error``
(``isError``).

Verdicts act as in the proxy: ``deny`` on a call answers with an error
result (``isError``) whose text is the reason, and the server never sees
the call; on a result, the error result replaces it. The adapter turns an
error result into a ``ToolMessage`` with ``status="error"``, so the model
reads the reason. ``redact`` replaces the arguments the policy names
before the call (see ``korvanthel_tools.guarding.redaction``), or the
result's content with ``[redacted: REASON]``. ``audit`` passes and reports.

Use either this interceptor or ``PolicyMiddleware`` for a given tool, not
both, or each call is evaluated twice. The interceptor guards MCP tools
wherever they are used (in an agent or called directly) and knows the
server; the middleware guards every tool of one agent.

State: ``scope`` is ``"thread"`` (default: one engine per LangGraph
``thread_id``; calls outside a thread share the process-wide engine),
``"process"``, or a function of the ``MCPToolCallRequest`` returning the
key. An interceptor sees one tool call, not the agent's run; for one
engine per run, give it the ``Guard`` of a ``PolicyMiddleware`` with
``scope="run"`` instead, or key it yourself.

The interceptor is a coroutine run in the event loop; it holds the loop no
longer than one evaluation per check, and makes the engine of a new key
(loading the policy) in a worker thread.
"""

from __future__ import annotations

import logging
from collections.abc import Awaitable, Callable
from typing import Any, Literal

try:
    from langchain_core.messages import ToolMessage
    from langchain_mcp_adapters.interceptors import MCPToolCallRequest, MCPToolCallResult
    from langgraph.types import Command
    from mcp.types import CallToolResult, TextContent
except ImportError as exc:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "korvanthel_tools.adapters.langchain_mcp needs langchain-mcp-adapters: "
        "pip install 'korvanthel[langchain-mcp]'"
    ) from exc

from korvanthel_tools.adapters.content import content_text
from korvanthel_tools.adapters.denied import PolicyDenied
from korvanthel_tools.adapters.langchain import thread_id
from korvanthel_tools.adapters.loop import engine_ready
from korvanthel_tools.adapters.options import check_option
from korvanthel_tools.adapters.policy import PolicyLike, as_guard
from korvanthel_tools.adapters.reporting import LOGGER, report
from korvanthel_tools.guarding import Decision, Guard, join_text
from korvanthel_tools.guarding.mapping import TEXT_SEPARATOR

__all__ = ["PolicyInterceptor"]

Scope = Literal["thread", "process"]
KeyFunction = Callable[[MCPToolCallRequest], "str | None"]
OnDeny = Literal["message", "raise"]
Handler = Callable[[MCPToolCallRequest], Awaitable[MCPToolCallResult]]


class PolicyInterceptor:
    """Enforces one policy on the calls of MCP tools (see the module).

    ``policy`` is a ``Guard``, a ``PolicyEngine`` or the path of a policy;
    ``guard_options`` (``context``, ``config``, ...) are passed to the
    ``Guard`` made for a path or an engine; the policy is checked against
    the events this interceptor sends (docs/events.md),
    ``allow_unknown_fields=True`` skips that check. With ``on_deny="raise"``, a denied call or result raises
    ``PolicyDenied`` instead of answering with an error result.
    """

    def __init__(
        self,
        policy: PolicyLike,
        *,
        scope: Scope | KeyFunction = "thread",
        on_deny: OnDeny = "message",
        log: logging.Logger = LOGGER,
        **guard_options: Any,
    ) -> None:
        check_option("on_deny", on_deny, ("message", "raise"))
        check_option("scope", scope, ("thread", "process"), function=True)
        self.guard: Guard = as_guard(policy, integration="langchain", **guard_options)
        self.scope = scope
        self.on_deny: OnDeny = on_deny
        self.log = log

    def key(self, request: MCPToolCallRequest) -> str | None:
        """The engine key of a call, by ``scope``."""
        if callable(self.scope):
            return self.scope(request)
        return thread_id(request.runtime) if self.scope == "thread" else None

    async def __call__(self, request: MCPToolCallRequest, handler: Handler) -> MCPToolCallResult:
        key = self.key(request)
        await engine_ready(self.guard, key)
        ids = {
            "server": request.server_name,
            "call_id": getattr(request.runtime, "tool_call_id", None),
            "conversation": thread_id(request.runtime),
        }
        decision = self.guard.check_call(request.name, request.args, session=key, **ids)
        report(decision, self.log)
        if decision.blocked:
            return self._denied(decision)
        if decision.redacts:
            request = request.override(args=decision.redacted_arguments())
        result = await handler(request)
        text, is_error = _result_text(result)
        decision = self.guard.check_result(request.name, text, is_error, request.args, session=key, **ids)
        report(decision, self.log)
        if decision.blocked:
            return self._denied(decision)
        if decision.redacts:
            return CallToolResult(content=[TextContent(type="text", text=decision.placeholder())], isError=is_error)
        return result

    def _denied(self, decision: Decision) -> CallToolResult:
        if self.on_deny == "raise":
            raise PolicyDenied(decision)
        return CallToolResult(content=[TextContent(type="text", text=decision.error_text())], isError=True)


def _result_text(result: MCPToolCallResult) -> tuple[str, bool]:
    """``text`` and ``is_error`` of what the next handler returned: an MCP
    result, or a message or command an inner interceptor made."""
    if isinstance(result, CallToolResult):
        return join_text(block.model_dump() for block in result.content), bool(result.isError)
    if isinstance(result, ToolMessage):
        return content_text(result.content), result.status == "error"
    if isinstance(result, Command):
        update = result.update
        messages = update.get("messages", []) if isinstance(update, dict) else []
        tool_messages = [message for message in messages if isinstance(message, ToolMessage)]
        return (
            TEXT_SEPARATOR.join(content_text(message.content) for message in tool_messages),
            any(message.status == "error" for message in tool_messages),
        )
    return content_text(result), False
