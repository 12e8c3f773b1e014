"""The ``Guard``: a policy enforced on tool calls and results.

``Guard`` is what an integration holds: a policy, the engines that keep its
state (one per session, or one shared; see ``engines``), and optionally a
decision log, telemetry and shadow mode. It maps a call or a result to an
event (``mapping``), evaluates it with the session's engine, logs and
records the outcome, and returns a ``Decision`` that says what to do:

    guard = Guard.from_path("guard.zelvoc", decision_log=DecisionLog("-"))
    decision = guard.check_call("upload", {"url": url}, session=session_id)
    if decision.blocked:
        return error_result(decision.error_text())
    if decision.redacts:
        arguments = decision.redacted_arguments()

Failing closed: an event the engine cannot take (a value nested deeper than
the engine accepts, a poisoned engine) is a ``deny`` whose ``error`` says
why, not an exception.
"""

from __future__ import annotations

import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from korvanthel_tools.guarding.decision import Decision
from korvanthel_tools.guarding.decision_log import DecisionLog
from korvanthel_tools.guarding.engines import DEFAULT_IDLE_SECONDS, DEFAULT_MAX_ENGINES, EngineStore
from korvanthel_tools.guarding.mapping import TOOL_CALL, TOOL_RESULT, tool_call_fields, tool_result_fields
from korvanthel_tools.guarding.policy_source import PolicySource
from korvanthel_tools.guarding.telemetry import Telemetry

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult, PolicyEngine


class Guard:
    """A policy enforced on tool calls and results, with its state.

    Thread-safe: calls from several threads (or tasks) are serialised per
    engine by the engine's own lock.
    """

    def __init__(
        self,
        policy: PolicySource,
        *,
        shared_state: bool = False,
        max_sessions: int = DEFAULT_MAX_ENGINES,
        idle_seconds: float | None = DEFAULT_IDLE_SECONDS,
        decision_log: DecisionLog | None = None,
        telemetry: Telemetry | None = None,
        shadow: bool = False,
        engines: EngineStore | None = None,
    ) -> None:
        """``engines``, when given, is used instead of a store made from
        ``policy`` with ``shared_state``, ``max_sessions`` and
        ``idle_seconds``."""
        self.policy = policy
        self.engines = engines if engines is not None else EngineStore(
            policy.new_engine, shared=shared_state, max_engines=max_sessions, idle_seconds=idle_seconds
        )
        self.decision_log = decision_log
        self.telemetry = telemetry if telemetry is not None and telemetry.enabled else None
        self.shadow = shadow

    @classmethod
    def from_path(cls, path: str, **options: Any) -> Guard:
        """A guard for the ``.zelvoc`` container or policy JSON at ``path``;
        raises ``PolicyLoadError``. ``options`` are those of the constructor."""
        return cls(PolicySource.from_path(path), **options)

    @classmethod
    def from_bytes(cls, data: bytes, **options: Any) -> Guard:
        """A guard for a container's bytes or policy JSON encoded as UTF-8;
        raises ``PolicyLoadError``. ``options`` are those of the constructor."""
        return cls(PolicySource.from_bytes(data), **options)

    @classmethod
    def from_json(cls, text: str, **options: Any) -> Guard:
        """A guard for policy JSON text; raises ``PolicyLoadError``.
        ``options`` are those of the constructor."""
        return cls(PolicySource.from_json(text), **options)

    @classmethod
    def from_engine(cls, engine: PolicyEngine, **options: Any) -> Guard:
        """A guard that evaluates every event, whatever its session, with
        ``engine`` itself: the state is that one engine's, shared as with
        ``shared_state=True``. The policy's source hash is not known to
        an engine, so decisions carry none. ``options`` are those of the
        constructor but the engine store's."""
        source = PolicySource(data=b"", is_container=False, name=engine.policy_name, source_hash=None,
                              origin="<engine>")
        return cls(source, engines=EngineStore(lambda: engine, shared=True), **options)

    @property
    def policy_name(self) -> str:
        """The name the policy gives itself, as decisions carry it."""
        return self.policy.name

    @property
    def source_hash(self) -> int | None:
        """The hash of the policy's source as its metadata records it; None
        when the guard was made from an engine."""
        return self.policy.source_hash

    def check_call(
        self, tool: str, arguments: Mapping[str, Any] | None, *, session: str | None = None, **ids: Any
    ) -> Decision:
        """Evaluate a ``tool_call`` event (``ids``: ``server``, ``client``,
        any other identifier) with the session's engine."""
        fields = tool_call_fields(tool, arguments, session=session, **ids)
        return self.check(TOOL_CALL, fields, session=session)

    def check_result(
        self,
        tool: str,
        text: str,
        is_error: bool,
        arguments: Mapping[str, Any] | None,
        *,
        session: str | None = None,
        **ids: Any,
    ) -> Decision:
        """Evaluate a ``tool_result`` event with the session's engine."""
        fields = tool_result_fields(tool, text=text, is_error=is_error, arguments=arguments, session=session, **ids)
        return self.check(TOOL_RESULT, fields, session=session)

    def check(self, event_type: str, fields: dict[str, Any], *, session: str | None = None) -> Decision:
        """Evaluate any event with the session's engine, then log and record it."""
        start = time.time_ns()
        error: str | None = None
        try:
            result: EvalResult = self.engines.get(session).evaluate(event_type, fields)
        except (Exception, _internal_fault()) as exc:  # fail closed, never raise into the host
            error = f"the guard could not evaluate this event: {type(exc).__name__}: {exc}"
            result = {
                "verdict": "deny", "reason": error, "triggered_rules": [], "eval_time_us": 0,
                "actions": [], "violations": [], "constraint_violations": [],
            }
        end = time.time_ns()
        decision = Decision(
            verdict=result["verdict"],
            reason=result["reason"],
            triggered_rules=result["triggered_rules"],
            actions=result["actions"],
            violations=result["violations"],
            constraint_violations=result["constraint_violations"],
            eval_time_us=result["eval_time_us"],
            event_type=event_type,
            fields=fields,
            session=session,
            policy_name=self.policy.name,
            source_hash=self.policy.source_hash,
            shadow=self.shadow,
            error=error,
        )
        if self.decision_log is not None:
            self.decision_log.write(decision)
        if self.telemetry is not None:
            self.telemetry.record(decision, start, end)
        return decision

    def end_session(self, session: str | None) -> None:
        """Forget a session's state (its engine); a later event of the same
        session starts over."""
        self.engines.drop(session)

    def close(self) -> int:
        """Flush and close the decision log; returns its lost lines."""
        return self.decision_log.close() if self.decision_log is not None else 0


def _internal_fault() -> type[BaseException]:
    import _korvanthel_core

    fault = getattr(_korvanthel_core, "InternalFault", None)
    return fault if isinstance(fault, type) and issubclass(fault, BaseException) else Exception
