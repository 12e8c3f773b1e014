"""Decisions about tool calls and results, and the ``Guard`` that makes them.

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
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

from korvanthel_tools.guarding.decision_log import DecisionLog
from korvanthel_tools.guarding.engines import DEFAULT_IDLE_SECONDS, DEFAULT_MAX_ENGINES, EngineStore
from korvanthel_tools.guarding.mapping import TOOL_CALL, TOOL_RESULT, tool_call_fields, tool_result_fields
from korvanthel_tools.guarding.policy_source import PolicyLoadError, PolicySource
from korvanthel_tools.guarding.redaction import placeholder, redact_arguments, tagged_arguments
from korvanthel_tools.guarding.telemetry import DECISION_TYPES, Telemetry

if TYPE_CHECKING:
    from _korvanthel_core import Action, ConstraintViolation, EvalResult, PolicyEngine, Violation

Verdict = Literal["allow", "deny", "audit", "redact"]


@dataclass(frozen=True)
class Decision:
    """The outcome of one event: the engine's result, what it was about,
    and what the guard does with it.

    ``verdict`` is the policy's verdict; in shadow mode nothing is
    enforced, so ``blocked`` and ``redacts`` are False and ``enforced`` is
    ``"allow"`` whatever the verdict.
    """

    verdict: Verdict
    reason: str | None
    triggered_rules: list[int]
    actions: list[Action]
    violations: list[Violation]
    constraint_violations: list[ConstraintViolation]
    eval_time_us: int
    event_type: str
    fields: dict[str, Any]
    session: str | None
    policy_name: str
    source_hash: int | None
    shadow: bool = False
    error: str | None = None
    extra: dict[str, Any] = field(default_factory=dict)

    @property
    def blocked(self) -> bool:
        """True when the call or result must not go on (``deny``, enforced)."""
        return self.verdict == "deny" and not self.shadow

    @property
    def redacts(self) -> bool:
        """True when content must be replaced (``redact``, enforced)."""
        return self.verdict == "redact" and not self.shadow

    @property
    def enforced(self) -> Verdict:
        """What the guard does: the verdict, or ``allow`` in shadow mode."""
        return "allow" if self.shadow else self.verdict

    @property
    def decision_type(self) -> str:
        """``allow``, ``deny``, ``modify`` (redact) or ``audit``."""
        return DECISION_TYPES[self.verdict]

    def error_text(self) -> str:
        """The text a denied caller (and so the model) receives, stating the
        reason once: the policy's reason, followed by the rate-limit, quota
        and invariant violations it does not already state. A reason that
        is the engine's own words for a rate limit or quota gives way to the
        violation's line, which also names the event type."""
        head = self.reason or f"denied by policy {self.policy_name!r}"
        details: list[str] = []
        for limit, text in zip(self.constraint_violations, _constraint_texts(self)):
            if self.reason == _engine_constraint_reason(limit):
                head = text
            else:
                details.append(text)
        for invariant in self.violations:
            if self.reason != f"Invariant violation: {invariant['invariant']} ({invariant['proof']})":
                details.append(invariant["message"])
        if self.error is not None and self.error not in head:
            details.insert(0, self.error)
        return f"{head} ({'; '.join(details)})" if details else head

    def placeholder(self) -> str:
        """The text that replaces redacted content."""
        return placeholder(self.reason)

    def redacted_arguments(self) -> dict[str, Any]:
        """The call's arguments with what the policy names replaced (see
        ``redaction``); the event's own arguments are not modified."""
        arguments = self.fields.get("arguments")
        if not isinstance(arguments, Mapping):
            return {}
        return redact_arguments(arguments, tagged_arguments(self.actions), self.reason)


def violation_texts(decision: Decision) -> list[str]:
    """One line of text per constraint and invariant violation."""
    return _constraint_texts(decision) + [invariant["message"] for invariant in decision.violations]


def _constraint_texts(decision: Decision) -> list[str]:
    texts = []
    for limit in decision.constraint_violations:
        what = "quota" if limit["kind"] == "Quota" else "rate limit"
        texts.append(
            f"{what} exceeded: {limit['current']} {limit['target']} events in "
            f"{limit['window_ms']} ms (limit {limit['limit']})"
        )
    return texts


def _engine_constraint_reason(limit: ConstraintViolation) -> str:
    """The reason the engine gives when only this limit denied the event."""
    return (f"{limit['kind']} exceeded: {limit['current']} events in {limit['window_ms']}ms window "
            f"(limit: {limit['limit']})")


def with_values(
    new_engine: Callable[[], PolicyEngine], context: Mapping[str, Any] | None, config: Mapping[str, Any] | None
) -> Callable[[], PolicyEngine]:
    """``new_engine`` storing ``context`` and ``config`` in each engine it
    makes; values the engine refuses raise ``PolicyLoadError`` here, once,
    rather than at the first event."""
    if not context and not config:
        return new_engine
    context_items, config_items = dict(context or {}), dict(config or {})

    def make() -> PolicyEngine:
        engine = new_engine()
        for key, value in context_items.items():
            engine.set_context(key, value)
        for key, value in config_items.items():
            engine.set_config(key, value)
        return engine

    try:
        make()
    except (TypeError, ValueError) as exc:
        raise PolicyLoadError(f"context or config refused: {exc}") from None
    return make


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
        context: Mapping[str, Any] | None = None,
        config: Mapping[str, Any] | None = None,
    ) -> None:
        """``engines``, when given, is used instead of a store made from
        ``policy`` with ``shared_state``, ``max_sessions`` and
        ``idle_seconds``. ``context`` and ``config`` are stored in every
        engine the guard makes (a policy reads them as ``context.KEY`` and
        ``config.KEY``)."""
        self.policy = policy
        factory = with_values(policy.new_engine, context, config)
        self.engines = engines if engines is not None else EngineStore(
            factory, shared=shared_state, max_engines=max_sessions, idle_seconds=idle_seconds
        )
        self.decision_log = decision_log
        self.telemetry = telemetry if telemetry is not None and telemetry.enabled else None
        self.shadow = shadow

    @classmethod
    def from_path(cls, path: str, **options: Any) -> Guard:
        """A guard for the policy at ``path`` (a ``.zelvo`` source, a
        ``.zelvoc`` container or policy JSON, told apart by content); raises
        ``PolicyLoadError`` (``PolicySourceError`` with the compiler's
        diagnostics for a source that does not compile). ``options`` are those of the constructor."""
        return cls(PolicySource.from_path(path), **options)

    @classmethod
    def from_bytes(cls, data: bytes, **options: Any) -> Guard:
        return cls(PolicySource.from_bytes(data), **options)

    @classmethod
    def from_json(cls, text: str, **options: Any) -> Guard:
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
        factory = with_values(lambda: engine, options.pop("context", None), options.pop("config", None))
        return cls(source, engines=EngineStore(factory, shared=True), **options)

    @property
    def policy_name(self) -> str:
        return self.policy.name

    @property
    def source_hash(self) -> int | None:
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
