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

import os
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from korvanthel_tools.guarding.decision import Decision
from korvanthel_tools.guarding.decision_log import DecisionLog
from korvanthel_tools.guarding.engines import DEFAULT_IDLE_SECONDS, DEFAULT_MAX_ENGINES, EngineStore
from korvanthel_tools.guarding.mapping import TOOL_CALL, TOOL_RESULT, tool_call_fields, tool_result_fields
from korvanthel_tools.guarding.policy_source import PolicyLoadError, PolicySource
from korvanthel_tools.guarding.state_store import (
    EngineValues,
    MemoryStateStore,
    OnLostState,
    OnUnavailable,
    StateScope,
    StateStore,
    new_replayer,
    now_ms,
)
from korvanthel_tools.guarding.telemetry import Telemetry

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult, PolicyEngine


class Guard:
    """A policy enforced on tool calls and results, with its state.

    Where the state lives (``state_store``): ``state`` is ``"memory"`` (the
    default: this process), a Redis URL (``"redis://127.0.0.1:6379/0"``: a
    fleet of guards shares it exactly) or a ``StateStore``; ``state_scope``
    says which events share a state (``"session"``, ``"global"``,
    ``"field:/user"``; ``shared_state=True`` is ``"global"``);
    ``on_lost_state`` (``"deny"`` or ``"fresh"``) what an event meets whose
    state was dropped or lost; ``state_unavailable`` (``"deny"`` or
    ``"local"``) what happens when Redis does not answer within
    ``state_timeout`` seconds.

    Thread-safe: calls from several threads (or tasks) are serialised per
    state by its engine's own lock.
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
        state: str | StateStore | None = None,
        state_scope: str | None = None,
        on_lost_state: OnLostState = "deny",
        state_unavailable: OnUnavailable = "deny",
        state_timeout: float | None = None,
        verify_key: str | os.PathLike[str] | None = None,
        signature: bytes | str | None = None,
        context: Mapping[str, Any] | None = None,
        config: Mapping[str, Any] | None = None,
    ) -> None:
        """``engines``, when given, is used instead of a state store: its
        engines evaluate every event at the time they see it. With
        ``verify_key`` (an Ed25519 public key's PEM file) the policy is
        refused (``PolicyLoadError``) unless ``signature`` (the signature
        file's content or path; default the policy's path with ``.sig``
        appended) signs its bytes; see ``korvanthel_tools.signing``.
        ``context`` and ``config`` are stored in every engine the guard makes
        (a policy reads them as ``context.KEY`` and ``config.KEY``); values
        the engine refuses raise ``PolicyLoadError`` here, once."""
        if verify_key is not None:
            _verify(policy, verify_key, signature)
        self.policy = policy
        self.state: StateStore | None = None
        if engines is not None:
            if state is not None or state_scope is not None or context or config:
                raise ValueError("state, state_scope, context and config need a policy: a guard given its engines keeps their state")
            self.engines: Any = engines
            self._finish(decision_log, telemetry, shadow)
            return
        if isinstance(state, str) or state is None:
            self.state = make_state_store(
                policy, state or "memory", scope=state_scope or ("global" if shared_state else "session"),
                max_sessions=max_sessions, idle_seconds=idle_seconds, on_lost_state=on_lost_state,
                state_unavailable=state_unavailable, timeout=state_timeout,
                values=_checked_values(policy, context, config),
            )
        elif context or config:
            raise ValueError("context and config apply to a store the guard makes; a StateStore given has its own")
        elif state_scope is not None:
            raise ValueError("state_scope applies to a store the guard makes; a StateStore given has its own scope")
        else:
            self.state = state
        self.engines = self.state
        self._finish(decision_log, telemetry, shadow)

    def _finish(self, decision_log: DecisionLog | None, telemetry: Telemetry | None, shadow: bool) -> None:
        self.decision_log = decision_log
        self.telemetry = telemetry if telemetry is not None and telemetry.enabled else None
        self.shadow = shadow

    @classmethod
    def from_path(cls, path: str, **options: Any) -> Guard:
        """A guard for the policy at ``path`` (a ``.zelvo`` source, a
        ``.zelvoc`` container or policy JSON, told apart by content); raises
        ``PolicyLoadError`` (``PolicySourceError`` with the compiler's
        diagnostics for a source that does not compile). ``options`` are
        those of the constructor."""
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
        context, config = options.pop("context", None), options.pop("config", None)
        try:
            for key, value in (context or {}).items():
                engine.set_context(key, value)
            for key, value in (config or {}).items():
                engine.set_config(key, value)
        except (TypeError, ValueError) as exc:
            raise PolicyLoadError(f"context or config refused: {exc}") from None
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

    def check(
        self, event_type: str, fields: dict[str, Any], *, session: str | None = None, ts_ms: int | None = None
    ) -> Decision:
        """Evaluate any event with the state its scope gives it (the
        session's, by default) at ``ts_ms`` (default: now), then log and
        record it."""
        telemetry = self.telemetry
        start = time.time_ns() if telemetry is not None else 0  # the clock is read for telemetry only
        error: str | None = None
        extra: dict[str, Any] = {}
        try:
            if self.state is not None:
                key = self.state.scope.key_of(fields, session)
                outcome = self.state.decide(key, now_ms() if ts_ms is None else ts_ms, event_type, fields)
                result: EvalResult = outcome.result  # type: ignore[assignment]
                error = outcome.error
                if outcome.note:
                    extra["state"] = outcome.note
            else:
                result = self.engines.get(session).evaluate(event_type, fields)
        except (Exception, _internal_fault()) as exc:  # fail closed, never raise into the host
            error = f"the guard could not evaluate this event: {type(exc).__name__}: {exc}"
            result = {
                "verdict": "deny", "reason": error, "triggered_rules": [], "eval_time_us": 0,
                "actions": [], "violations": [], "constraint_violations": [],
            }
        end = time.time_ns() if telemetry is not None else 0
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
            extra=extra,
        )
        if self.decision_log is not None:
            self.decision_log.write(decision)
        if telemetry is not None:
            telemetry.record(decision, start, end)
        return decision

    def end_session(self, session: str | None) -> None:
        """Forget a session's state (its engine); a later event of the same
        session starts over. With another scope than ``session`` the shared
        state is kept."""
        if self.state is None:
            self.engines.drop(session)
        elif self.state.scope.kind == "session":
            self.state.end(self.state.scope.key_of({}, session))

    def close(self) -> int:
        """Flush and close the decision log and the state store; returns the
        log's lost lines."""
        if self.state is not None:
            self.state.close()
        return self.decision_log.close() if self.decision_log is not None else 0


def make_state_store(
    policy: PolicySource,
    location: str,
    *,
    scope: str = "session",
    max_sessions: int = DEFAULT_MAX_ENGINES,
    idle_seconds: float | None = DEFAULT_IDLE_SECONDS,
    on_lost_state: OnLostState = "deny",
    state_unavailable: OnUnavailable = "deny",
    timeout: float | None = None,
    values: EngineValues | None = None,
) -> StateStore:
    """The store ``location`` names: ``memory``, or a Redis URL (``redis://``,
    ``rediss://``, ``unix://``). ValueError for anything else."""
    parsed_scope = StateScope.parse(scope)
    if location == "memory":
        return MemoryStateStore(
            policy, scope=parsed_scope, max_keys=max_sessions,
            idle_ms=None if idle_seconds is None else int(idle_seconds * 1000), on_lost_state=on_lost_state,
            values=values,
        )
    if location.startswith(("redis://", "rediss://", "unix://")):
        from korvanthel_tools.guarding.redis_store import DEFAULT_TIMEOUT, RedisStateStore

        return RedisStateStore(
            policy, location, scope=parsed_scope, timeout=DEFAULT_TIMEOUT if timeout is None else timeout,
            on_lost_state=on_lost_state, state_unavailable=state_unavailable, max_replicas=max_sessions,
            values=values,
        )
    raise ValueError(f"state store {location!r}: expected memory or a redis:// URL")


def _checked_values(
    policy: PolicySource, context: Mapping[str, Any] | None, config: Mapping[str, Any] | None
) -> EngineValues | None:
    """The values every engine of the guard holds, tried once on an engine of
    the policy so that a value the engine refuses fails here."""
    if not context and not config:
        return None
    values = EngineValues(dict(context or {}), dict(config or {}))
    try:
        new_replayer(policy, values)
    except (TypeError, ValueError) as exc:
        raise PolicyLoadError(f"context or config refused: {exc}") from None
    return values


def _verify(policy: PolicySource, key: str | os.PathLike[str], signature: bytes | str | None) -> None:
    from korvanthel_tools.signing import SignatureError, verify_policy

    try:
        verify_policy(policy.data, policy.origin, key, signature)
    except SignatureError as exc:
        raise PolicyLoadError(str(exc)) from None


def _internal_fault() -> type[BaseException]:
    import _korvanthel_core

    fault = getattr(_korvanthel_core, "InternalFault", None)
    return fault if isinstance(fault, type) and issubclass(fault, BaseException) else Exception
