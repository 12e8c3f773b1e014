"""Tool guardrails for the OpenAI Agents SDK.

``ToolGuardrails`` holds one ``Guard`` and makes a tool input guardrail and
a tool output guardrail from it; both see the same engines, so a result
can move a state machine that a later call runs into:

    guardrails = ToolGuardrails("guard.zelvoc")

    @function_tool(tool_input_guardrails=[guardrails.input],
                   tool_output_guardrails=[guardrails.output])
    def shell(command: str) -> str: ...

    agent = guard_agent(Agent(name="ops", tools=[shell, read_file]), "guard.zelvoc")

Events:

- before a function tool runs: ``tool_call`` with ``tool`` (the tool's
  name), ``arguments`` (the call's JSON arguments as an object; ``{}``
  when they are not a JSON object, with the text under ``raw_arguments``),
  ``agent`` (the agent's name), ``call_id``, ``run`` (the run's trace id),
  ``conversation`` (``RunConfig.group_id``) and ``server`` (for the tools
  of an MCP server: its name) where known, and
  ``session`` (the engine's key, see below);
- after it returned, before the model sees its output: ``tool_result``
  with the same fields plus ``text`` (the output's text, see
  ``korvanthel_tools.adapters.content``) and ``is_error`` (always false:
  the SDK does not tell output guardrails whether the output is the
  message of a failure).

Verdicts:

- ``deny`` on a call: the tool is not run and the model receives the
  policy's reason (``reject_content``); with ``on_deny="raise"`` the run
  stops with the SDK's ``ToolInputGuardrailTripwireTriggered`` instead.
  On a result: the model receives the reason instead of the output (or the
  run stops with ``ToolOutputGuardrailTripwireTriggered``).
- ``redact`` on a result: the model receives ``[redacted: REASON]``
  instead of the output. On a call: a guardrail cannot change a call's
  arguments, so the call is rejected like a ``deny`` (with the reason),
  never run with what the policy wanted hidden.
- ``audit``: the tool runs and its output passes; the decision is logged
  (logger ``korvanthel.guard``), written to the guard's decision log and
  telemetry, and returned as the guardrail's ``output_info`` (a
  ``Decision``), found in the run result's
  ``tool_input_guardrail_results`` / ``tool_output_guardrail_results``.
- In shadow mode (``shadow=True``) nothing is rejected.

State: the engine for an event is chosen by ``scope``:

- ``"conversation"`` (default): one engine per ``RunConfig.group_id``
  (the SDK's identifier linking the runs of one conversation); runs
  without one get one engine per run;
- ``"run"``: one engine per ``Runner.run``, identified by the run's trace
  id (``RunConfig.trace_id`` when given). With tracing disabled and no
  ``trace_id`` a run has no identifier: its events use the process-wide
  engine (logged once as a warning);
- ``"process"``: one engine for every run of this guard;
- a function of the ``ToolContext`` returning the key (a string, or None
  for the process-wide engine), e.g. ``lambda ctx: ctx.context.user_id``.

Guards run inside the SDK's event loop: an evaluation takes about a
microsecond and never waits for I/O (the decision log is written by its
own thread), so the loop is held no longer than one evaluation; the engine
of a new key is made (the policy loaded) in a worker thread.
"""

from __future__ import annotations

import copy
import functools
import json
import logging
from collections.abc import Callable
from typing import Any, Literal, TypeVar

try:
    from agents import (
        Agent,
        FunctionTool,
        ToolGuardrailFunctionOutput,
        ToolInputGuardrail,
        ToolInputGuardrailData,
        ToolOutputGuardrail,
        ToolOutputGuardrailData,
    )
    from agents.mcp import MCPServer
    from agents.tool_context import ToolContext
    from agents.tracing import get_current_trace
except ImportError as exc:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "korvanthel_tools.adapters.openai_agents needs the OpenAI Agents SDK: "
        "pip install 'korvanthel[openai-agents]'"
    ) from exc

from korvanthel_tools.adapters.content import content_text
from korvanthel_tools.adapters.loop import engine_ready
from korvanthel_tools.adapters.options import check_option
from korvanthel_tools.adapters.policy import PolicyLike, as_guard
from korvanthel_tools.adapters.reporting import LOGGER, report
from korvanthel_tools.guarding import Decision, Guard

__all__ = ["KeyFunction", "Scope", "ToolGuardrails", "guard_agent"]

Scope = Literal["conversation", "run", "process"]
KeyFunction = Callable[[ToolContext[Any]], "str | None"]
OnDeny = Literal["reject", "raise"]
TContext = TypeVar("TContext")

_NO_TRACE = "no-op"  # the trace id of the SDK's stand-in trace when tracing is off


class ToolGuardrails:
    """A tool input guardrail (``input``) and a tool output guardrail
    (``output``) that enforce one policy with one ``Guard``.

    ``policy`` is a ``Guard``, a ``PolicyEngine`` or the path of a policy;
    ``guard_options`` (``decision_log``, ``telemetry``, ``shadow``, ``context``,
    ``config``, ...) are passed to the ``Guard`` made for a path or an engine;
    the policy is checked against the events this adapter sends
    (docs/events.md), ``allow_unknown_fields=True`` skips that check.
    """

    def __init__(
        self,
        policy: PolicyLike,
        *,
        scope: Scope | KeyFunction = "conversation",
        on_deny: OnDeny = "reject",
        log: logging.Logger = LOGGER,
        **guard_options: Any,
    ) -> None:
        check_option("on_deny", on_deny, ("reject", "raise"))
        check_option("scope", scope, ("conversation", "run", "process"), function=True)
        self.guard: Guard = as_guard(policy, integration="openai-agents", **guard_options)
        self.scope = scope
        self.on_deny: OnDeny = on_deny
        self.log = log
        self._warned_no_run = False
        self.input: ToolInputGuardrail[Any] = ToolInputGuardrail(
            guardrail_function=self._check_call, name="korvanthel_tool_call"
        )
        self.output: ToolOutputGuardrail[Any] = ToolOutputGuardrail(
            guardrail_function=self._check_result, name="korvanthel_tool_result"
        )
        # The guardrails given to MCP servers, by server name: theirs add
        # the server's name to each event.
        self._server_guardrails: dict[str, tuple[ToolInputGuardrail[Any], ToolOutputGuardrail[Any]]] = {}

    def guard_tool(self, tool: FunctionTool) -> FunctionTool:
        """A copy of ``tool`` with both guardrails added after its own;
        ``tool`` itself is not changed. A tool that already has them is
        returned as it is."""
        inputs = list(tool.tool_input_guardrails or [])
        outputs = list(tool.tool_output_guardrails or [])
        if self.input in inputs and self.output in outputs:
            return tool
        guarded = copy.copy(tool)
        guarded.tool_input_guardrails = inputs if self.input in inputs else [*inputs, self.input]
        guarded.tool_output_guardrails = outputs if self.output in outputs else [*outputs, self.output]
        return guarded

    def guard_mcp_server(self, server: MCPServer) -> MCPServer:
        """Add both guardrails to every tool of ``server``, in place (a
        server is one connection, shared by every agent that lists it), and
        return it. Its events also carry ``server``: the server's name."""
        name = server.name
        pair = self._server_guardrails.get(name)
        if pair is None:
            pair = (
                ToolInputGuardrail(guardrail_function=functools.partial(self._check_call, server=name),
                                   name="korvanthel_tool_call"),
                ToolOutputGuardrail(guardrail_function=functools.partial(self._check_result, server=name),
                                    name="korvanthel_tool_result"),
            )
            self._server_guardrails[name] = pair
        inputs = list(server.tool_input_guardrails or [])
        outputs = list(server.tool_output_guardrails or [])
        server.tool_input_guardrails = inputs if pair[0] in inputs else [*inputs, pair[0]]
        server.tool_output_guardrails = outputs if pair[1] in outputs else [*outputs, pair[1]]
        return server

    def guard_agent(self, agent: Agent[TContext]) -> Agent[TContext]:
        """A clone of ``agent`` whose function tools carry both guardrails,
        as do the tools of its MCP servers (see ``guard_mcp_server``).

        Other tools (hosted tools such as web search, which the model's
        provider runs) take no tool guardrails and are kept as they are;
        so are handoffs: guard the agents they lead to as well."""
        tools = [self.guard_tool(tool) if isinstance(tool, FunctionTool) else tool for tool in agent.tools]
        for server in agent.mcp_servers:
            self.guard_mcp_server(server)
        return agent.clone(tools=tools)

    def key(self, context: ToolContext[Any]) -> str | None:
        """The engine key of a call, by ``scope``."""
        if callable(self.scope):
            return self.scope(context)
        if self.scope == "process":
            return None
        if self.scope == "conversation":
            group = _group_id(context)
            if group is not None:
                return group
        run = _run_id(context)
        if run is None and not self._warned_no_run:
            self._warned_no_run = True
            self.log.warning(
                "a run without a trace id (tracing disabled): its tool calls share the process-wide engine; "
                "set RunConfig.trace_id or RunConfig.group_id, or give a key function as scope"
            )
        return run

    async def _check_call(self, data: ToolInputGuardrailData, server: str | None = None) -> ToolGuardrailFunctionOutput:
        context = data.context
        arguments, ids = self._event(context, data.agent, server)
        key = self.key(context)
        await engine_ready(self.guard, key)
        decision = self.guard.check_call(context.tool_name, arguments, session=key, **ids)
        report(decision, self.log)
        if decision.blocked or decision.redacts:
            return self._reject(decision, decision.error_text())
        return ToolGuardrailFunctionOutput.allow(output_info=decision)

    async def _check_result(
        self, data: ToolOutputGuardrailData, server: str | None = None
    ) -> ToolGuardrailFunctionOutput:
        context = data.context
        arguments, ids = self._event(context, data.agent, server)
        key = self.key(context)
        await engine_ready(self.guard, key)
        decision = self.guard.check_result(
            context.tool_name, content_text(data.output), False, arguments, session=key, **ids
        )
        report(decision, self.log)
        if decision.blocked:
            return self._reject(decision, decision.error_text())
        if decision.redacts:
            return ToolGuardrailFunctionOutput.reject_content(decision.placeholder(), output_info=decision)
        return ToolGuardrailFunctionOutput.allow(output_info=decision)

    def _reject(self, decision: Decision, message: str) -> ToolGuardrailFunctionOutput:
        if self.on_deny == "raise":
            return ToolGuardrailFunctionOutput.raise_exception(output_info=decision)
        return ToolGuardrailFunctionOutput.reject_content(message, output_info=decision)

    def _event(
        self, context: ToolContext[Any], agent: Agent[Any], server: str | None
    ) -> tuple[dict[str, Any], dict[str, Any]]:
        """The call's arguments and the identifiers of an event."""
        ids: dict[str, Any] = {
            "server": server,
            "agent": agent.name,
            "call_id": context.tool_call_id,
            "run": _run_id(context),
            "conversation": _group_id(context),
        }
        raw = context.tool_arguments
        try:
            arguments = json.loads(raw) if raw else {}
        except (ValueError, RecursionError):
            arguments = None
        if not isinstance(arguments, dict):
            ids["raw_arguments"] = raw
            arguments = {}
        return arguments, ids


def guard_agent(
    agent: Agent[TContext],
    policy: PolicyLike,
    *,
    scope: Scope | KeyFunction = "conversation",
    on_deny: OnDeny = "reject",
    **guard_options: Any,
) -> Agent[TContext]:
    """A clone of ``agent`` whose function tools are guarded by ``policy``
    (see ``ToolGuardrails.guard_agent``)."""
    return ToolGuardrails(policy, scope=scope, on_deny=on_deny, **guard_options).guard_agent(agent)


def _run_id(context: ToolContext[Any]) -> str | None:
    trace = get_current_trace()
    trace_id = trace.trace_id if trace is not None else None
    if trace_id and trace_id != _NO_TRACE:
        return trace_id
    config = context.run_config
    return config.trace_id if config is not None and config.trace_id else None


def _group_id(context: ToolContext[Any]) -> str | None:
    config = context.run_config
    return config.group_id if config is not None and config.group_id else None
