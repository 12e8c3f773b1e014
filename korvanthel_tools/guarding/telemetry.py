"""OpenTelemetry for guard decisions: a span and two metrics per decision.

Optional: with the extra ``korvanthel[otel]`` (``opentelemetry-api``)
installed, ``Telemetry.create()`` records into the global tracer and meter
providers (configure them as usual, e.g. with the SDK or
``opentelemetry-instrument``); without it, it returns a recorder that does
nothing. Nothing from OpenTelemetry is imported until ``create()`` runs.

Per decision:

- one span ``apply_guardrail korvanthel tool_call``, a child of the span
  current when the decision was made, covering the evaluation, with the
  GenAI security attributes:

      gen_ai.operation.name          "apply_guardrail"
      gen_ai.guardian.name           "korvanthel"
      gen_ai.security.target.type    "tool_call" (calls and their results)
      gen_ai.security.decision.type  "allow" | "deny" | "modify" | "audit"
      gen_ai.security.decision.reason  low-cardinality: see ``reason_code``
      gen_ai.security.policy.name    the policy's name
      gen_ai.security.policy.version the policy's source hash, when known
      gen_ai.conversation.id         the session, when there is one
      gen_ai.tool.name               the tool
      korvanthel.event.type          "tool_call" | "tool_result"
      korvanthel.verdict             the engine's verdict
      korvanthel.shadow              true when nothing was enforced
      korvanthel.rules               the fired rules' ids

  The decision's free-text reason (which may carry data) is not recorded.
- ``korvanthel.guard.decisions`` (counter), by decision type, verdict and
  event type;
- ``korvanthel.guard.decision.duration`` (histogram, seconds), the time
  the guard took for the decision, by decision type.

Cost: while no provider is configured (neither given to ``create()`` nor
set globally), ``record`` compares the decision's end stamp with the time
the next look-up is due and returns: no clock reading of its own, no
span, no attribute dictionaries. The global providers are looked up again
once a decision ends ``RECHECK_SECONDS`` or more after the last look-up
(or before it: a wall clock set back makes the look-up due at once), so a
provider set globally after the recorder was made records the decisions
from then on (from the first decision at most that long later).
"""

from __future__ import annotations

import importlib.util
from typing import Any

from korvanthel_tools.guarding.decision import DECISION_TYPES, Decision

GUARDIAN_NAME = "korvanthel"
OPERATION_NAME = "apply_guardrail"
TARGET_TYPE = "tool_call"
SPAN_NAME = f"{OPERATION_NAME} {GUARDIAN_NAME} {TARGET_TYPE}"
INSTRUMENTATION_SCOPE = "korvanthel.guarding"
RECHECK_SECONDS = 1.0
_RECHECK_NS = int(RECHECK_SECONDS * 1e9)


def reason_code(decision: Decision) -> str:
    """A low-cardinality reason: ``invariant_violation``, ``rate_limit``,
    ``quota``, ``evaluation_error``, ``policy_rule`` (a rule fired) or
    ``no_rule``."""
    if decision.error is not None:
        return "evaluation_error"
    if decision.violations:
        return "invariant_violation"
    for violation in decision.constraint_violations:
        return "quota" if violation.get("kind") == "Quota" else "rate_limit"
    return "policy_rule" if decision.triggered_rules else "no_rule"


class Telemetry:
    """Records decisions; this base class records nothing."""

    enabled = False

    @staticmethod
    def create(*, tracer_provider: Any = None, meter_provider: Any = None) -> Telemetry:
        """A recorder into the given OpenTelemetry providers (default: the
        global ones), or a no-op recorder when ``opentelemetry-api`` is not
        installed."""
        if importlib.util.find_spec("opentelemetry") is None:
            return Telemetry()
        try:
            return _OtelTelemetry(tracer_provider, meter_provider)
        except ImportError:
            return Telemetry()

    def record(self, decision: Decision, start_ns: int, end_ns: int) -> None:
        """Record one decision made between the two ``time.time_ns()`` stamps."""


class _OtelTelemetry(Telemetry):
    enabled = True

    def __init__(self, tracer_provider: Any, meter_provider: Any) -> None:
        from opentelemetry import metrics, trace

        self._trace: Any = trace
        self._metrics: Any = metrics
        # Recording is on for good once a provider exists: a global one
        # cannot be replaced once set.
        self._on = tracer_provider is not None or meter_provider is not None
        # The last look-up's stamp and the stamp from which the next is due
        # (both ``time.time_ns()``): the first decision looks up.
        self._checked_ns = 0
        self._due_ns = 0
        self._unset_tracers = (trace.ProxyTracerProvider, trace.NoOpTracerProvider)
        self._tracer: Any = trace.get_tracer(INSTRUMENTATION_SCOPE, tracer_provider=tracer_provider)
        meter = metrics.get_meter(INSTRUMENTATION_SCOPE, meter_provider=meter_provider)
        self._decisions: Any = meter.create_counter(
            "korvanthel.guard.decisions", unit="{decision}", description="Guard decisions, by decision type and verdict"
        )
        self._duration: Any = meter.create_histogram(
            "korvanthel.guard.decision.duration", unit="s", description="Time the guard took for one decision"
        )

    def _look_up(self, now_ns: int) -> bool:
        """Whether a provider is configured now: until one is, every span
        and metric would be dropped by the API's no-op implementations.
        Once one is, recording stays on."""
        self._checked_ns = now_ns
        self._due_ns = now_ns + _RECHECK_NS
        self._on = not (
            isinstance(self._trace.get_tracer_provider(), self._unset_tracers)
            and _unset_meter_provider(self._metrics.get_meter_provider(), self._metrics)
        )
        return self._on

    def record(self, decision: Decision, start_ns: int, end_ns: int) -> None:
        if not self._on and (self._checked_ns <= end_ns < self._due_ns or not self._look_up(end_ns)):
            return
        decision_type = DECISION_TYPES.get(decision.verdict, decision.verdict)
        attributes: dict[str, Any] = {
            "gen_ai.operation.name": OPERATION_NAME,
            "gen_ai.guardian.name": GUARDIAN_NAME,
            "gen_ai.security.target.type": TARGET_TYPE,
            "gen_ai.security.decision.type": decision_type,
            "gen_ai.security.decision.reason": reason_code(decision),
            "gen_ai.security.policy.name": decision.policy_name,
            "korvanthel.event.type": decision.event_type,
            "korvanthel.verdict": decision.verdict,
            "korvanthel.shadow": decision.shadow,
            "korvanthel.rules": list(decision.triggered_rules),
        }
        if decision.source_hash is not None:
            attributes["gen_ai.security.policy.version"] = str(decision.source_hash)
        if decision.session is not None:
            attributes["gen_ai.conversation.id"] = decision.session
        tool = decision.fields.get("tool")
        if isinstance(tool, str):
            attributes["gen_ai.tool.name"] = tool
        state = decision.extra.get("state")
        if isinstance(state, dict):
            attributes["korvanthel.state.store"] = str(state.get("store"))
            attributes["korvanthel.state.mode"] = str(state.get("mode"))
        span = self._tracer.start_span(
            SPAN_NAME, kind=self._trace.SpanKind.INTERNAL, attributes=attributes, start_time=start_ns
        )
        span.end(end_time=end_ns)
        metric_attributes = {
            "gen_ai.security.decision.type": decision_type,
            "korvanthel.verdict": decision.verdict,
            "korvanthel.event.type": decision.event_type,
        }
        self._decisions.add(1, metric_attributes)
        self._duration.record((end_ns - start_ns) / 1e9, {"gen_ai.security.decision.type": decision_type})


def _unset_meter_provider(provider: Any, metrics: Any) -> bool:
    """Whether ``provider`` is the API's stand-in (no global provider set
    yet) or its no-op provider."""
    return isinstance(provider, metrics.NoOpMeterProvider) or type(provider).__name__ == "_ProxyMeterProvider"
