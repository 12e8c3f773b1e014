"""Agent middleware for LangChain's ``create_agent``.

    agent = create_agent(model, tools=[shell, read_file],
                         middleware=[PolicyMiddleware("guard.zelvoc")])

``PolicyMiddleware.wrap_tool_call`` (and ``awrap_tool_call`` in async runs)
evaluates every tool call before the tool runs and its result before the
model sees it, with the events of the MCP proxy:

- ``tool_call``: ``tool`` (the call's name), ``arguments`` (its ``args``),
  ``call_id``, ``run``, ``conversation`` (the LangGraph ``thread_id``) where
  known, and ``session`` (the engine's key, see below);
- ``tool_result``: the same fields plus ``text`` (the text of the
  ``ToolMessage``'s content, see ``korvanthel_tools.adapters.content``)
  and ``is_error`` (its ``status == "error"``).

Verdicts:

- ``deny`` on a call: the tool is not run; the model receives a
  ``ToolMessage`` with ``status="error"`` whose content is the policy's
  reason (and any violations). On a result: the same message replaces the
  tool's. With ``on_deny="raise"``, ``PolicyDenied`` is raised instead.
- ``redact`` on a call: the arguments the policy names (``Tag`` actions
  with ``redact``; every argument when none is named) are replaced by
  ``[redacted: REASON]`` before the tool runs, as the MCP proxy does. On a
  result: the content is replaced by that placeholder.
- ``audit``: the call and its result pass; the decision is logged (logger
  ``korvanthel.guard``), written to the guard's decision log and telemetry.
- A tool that returns a ``Command`` is judged by the text of the
  ``ToolMessage`` s in its update; when that is denied or redacted, the
  ``Command`` (and the state update it carries) is replaced by the message.

State: the engine for an event is chosen by ``scope``:

- ``"thread"`` (default): one engine per LangGraph ``thread_id`` (the
  conversation a checkpointer keeps), so monitors follow a conversation
  across invocations; invocations without a thread get one engine per run,
  dropped when the run ends;
- ``"run"``: one engine per invocation of the agent (``invoke``,
  ``stream``, ...): the middleware gives each run an identifier before the
  agent starts and drops the run's engine when the agent ends;
- ``"process"``: one engine for everything this middleware sees;
- a function of the ``ToolCallRequest`` returning the key (a string, or
  None for the process-wide engine).

In async runs the checks run in the event loop: an evaluation takes about a
microsecond and never waits for I/O, so the loop is held no longer than one
evaluation; the engine of a new key is made (the policy loaded) in a worker
thread.
"""

from __future__ import annotations

import logging
import uuid
from collections.abc import Awaitable, Callable, Mapping
from typing import Annotated, Any, Literal, NotRequired

try:
    from langchain.agents.middleware import AgentMiddleware, AgentState, ToolCallRequest
    from langchain.agents.middleware.types import PrivateStateAttr
    from langchain_core.messages import ToolMessage
    from langgraph.channels.untracked_value import UntrackedValue
    from langgraph.runtime import Runtime
    from langgraph.types import Command
except ImportError as exc:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "korvanthel_tools.adapters.langchain needs LangChain: pip install 'korvanthel[langchain]'"
    ) from exc

from korvanthel_tools.adapters.content import content_text
from korvanthel_tools.adapters.denied import PolicyDenied
from korvanthel_tools.adapters.loop import engine_ready
from korvanthel_tools.adapters.options import check_option
from korvanthel_tools.adapters.policy import PolicyLike, as_guard
from korvanthel_tools.adapters.reporting import LOGGER, report
from korvanthel_tools.guarding import Decision, Guard
from korvanthel_tools.guarding.mapping import TEXT_SEPARATOR

__all__ = ["RUN_KEY", "GuardState", "PolicyMiddleware", "thread_id"]

Scope = Literal["thread", "run", "process"]
KeyFunction = Callable[[ToolCallRequest], "str | None"]
OnDeny = Literal["message", "raise"]
ToolOutcome = ToolMessage | Command[Any]

RUN_KEY = "korvanthel_run"
"""The state key under which the middleware keeps the current run's
identifier (private to the agent, not checkpointed)."""


class GuardState(AgentState[Any]):
    """The agent state with the run identifier of ``PolicyMiddleware``."""

    korvanthel_run: NotRequired[Annotated[str, UntrackedValue, PrivateStateAttr]]


class PolicyMiddleware(AgentMiddleware[GuardState, Any, Any]):
    """Enforces one policy on every tool call of an agent (see the module).

    ``policy`` is a ``Guard``, a ``PolicyEngine`` or the path of a policy;
    ``guard_options`` (``decision_log``, ``telemetry``, ``shadow``, ``context``,
    ``config``, ...) are passed to the ``Guard`` made for a path or an engine;
    the policy is checked against the events this adapter sends
    (docs/events.md), ``allow_unknown_fields=True`` skips that check.
    """

    state_schema = GuardState

    def __init__(
        self,
        policy: PolicyLike,
        *,
        scope: Scope | KeyFunction = "thread",
        on_deny: OnDeny = "message",
        log: logging.Logger = LOGGER,
        name: str = "PolicyMiddleware",
        **guard_options: Any,
    ) -> None:
        super().__init__()
        check_option("on_deny", on_deny, ("message", "raise"))
        check_option("scope", scope, ("thread", "run", "process"), function=True)
        self.guard: Guard = as_guard(policy, integration="langchain", **guard_options)
        self.scope = scope
        self.on_deny: OnDeny = on_deny
        self.log = log
        self._name = name

    @property
    def name(self) -> str:
        """The middleware's name in the agent; give each of two policies in
        one agent its own (``create_agent`` refuses repeated names)."""
        return self._name

    # A new identifier for every run; the run's engine goes when it ends.

    def before_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        """Give the run its identifier (the engine key of scope ``run``) before the agent starts."""
        return {RUN_KEY: uuid.uuid4().hex}

    async def abefore_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        """``before_agent`` in async runs."""
        return self.before_agent(state, runtime)

    def after_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        """Drop the engine of the run that ended (scope ``run``, or ``thread``
        in a run without a thread)."""
        run = state.get(RUN_KEY)
        # The run's own engine (scope "run", or "thread" in a run without a
        # thread) is of no use once the run is over.
        if self.scope in ("run", "thread") and isinstance(run, str):
            self.guard.end_session(run)
        return None

    async def aafter_agent(self, state: GuardState, runtime: Runtime[Any]) -> dict[str, Any] | None:
        """``after_agent`` in async runs."""
        return self.after_agent(state, runtime)

    # The checks.

    def wrap_tool_call(
        self, request: ToolCallRequest, handler: Callable[[ToolCallRequest], ToolOutcome]
    ) -> ToolOutcome:
        """Evaluate the call, run the tool only when it is not denied (with
        redacted arguments where the policy says so), then evaluate its
        result; a denied call or result is answered with an error
        ``ToolMessage`` or raises ``PolicyDenied``."""
        key = self.key(request)
        checked = self._before(request, key)
        if isinstance(checked, ToolMessage):
            return checked
        return self._after(checked, key, handler(checked))

    async def awrap_tool_call(
        self, request: ToolCallRequest, handler: Callable[[ToolCallRequest], Awaitable[ToolOutcome]]
    ) -> ToolOutcome:
        """``wrap_tool_call`` in async runs; a new key's engine is made in a worker thread first."""
        key = self.key(request)
        await engine_ready(self.guard, key)
        checked = self._before(request, key)
        if isinstance(checked, ToolMessage):
            return checked
        return self._after(checked, key, await handler(checked))

    def key(self, request: ToolCallRequest) -> str | None:
        """The engine key of a call, by ``scope``."""
        if callable(self.scope):
            return self.scope(request)
        if self.scope == "process":
            return None
        if self.scope == "thread":
            thread = thread_id(request.runtime)
            if thread is not None:
                return thread
        return _run_id(request)

    def _ids(self, request: ToolCallRequest) -> dict[str, Any]:
        return {"call_id": request.tool_call.get("id"), "run": _run_id(request), "conversation": thread_id(request.runtime)}

    def _before(self, request: ToolCallRequest, key: str | None) -> ToolCallRequest | ToolMessage:
        """The request to run (with redacted arguments where the policy
        says so), or the message that answers a denied call."""
        call = request.tool_call
        decision = self.guard.check_call(call["name"], call["args"], session=key, **self._ids(request))
        report(decision, self.log)
        if decision.blocked:
            return self._denied(decision, request)
        if decision.redacts:
            return request.override(tool_call={**call, "args": decision.redacted_arguments()})
        return request

    def _after(self, request: ToolCallRequest, key: str | None, outcome: ToolOutcome) -> ToolOutcome:
        messages = _tool_messages(outcome)
        call = request.tool_call
        text = TEXT_SEPARATOR.join(content_text(message.content) for message in messages)
        is_error = any(message.status == "error" for message in messages)
        decision = self.guard.check_result(
            call["name"], text, is_error, call["args"], session=key, **self._ids(request)
        )
        report(decision, self.log)
        if decision.blocked:
            return self._denied(decision, request)
        if decision.redacts:
            placeholder = decision.placeholder()
            if isinstance(outcome, ToolMessage):
                return outcome.model_copy(update={"content": placeholder, "artifact": None})
            return ToolMessage(content=placeholder, tool_call_id=call["id"] or "", name=call["name"])
        return outcome

    def _denied(self, decision: Decision, request: ToolCallRequest) -> ToolMessage:
        if self.on_deny == "raise":
            raise PolicyDenied(decision)
        call = request.tool_call
        return ToolMessage(content=decision.error_text(), tool_call_id=call["id"] or "", name=call["name"], status="error")


def thread_id(runtime: Any) -> str | None:
    """The LangGraph ``thread_id`` of a tool's runtime (``ToolRuntime``), if
    the run has one."""
    config = getattr(runtime, "config", None)
    configurable = config.get("configurable") if isinstance(config, Mapping) else None
    value = configurable.get("thread_id") if isinstance(configurable, Mapping) else None
    return str(value) if value is not None else None


def _run_id(request: ToolCallRequest) -> str | None:
    state = request.state
    value = state.get(RUN_KEY) if isinstance(state, Mapping) else getattr(state, RUN_KEY, None)
    return value if isinstance(value, str) else None


def _tool_messages(outcome: ToolOutcome) -> list[ToolMessage]:
    if isinstance(outcome, ToolMessage):
        return [outcome]
    update = outcome.update
    messages = update.get("messages") if isinstance(update, Mapping) else None
    if not isinstance(messages, list):
        return []
    return [message for message in messages if isinstance(message, ToolMessage)]
