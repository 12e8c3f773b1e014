"""The outcome of one guarded event: a ``Decision`` holds the engine's
result, what the event was about, and what the guard does with it
(block, redact, or let it through; nothing in shadow mode). ``Guard``
(``guard``) makes them.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

from korvanthel_tools.guarding.redaction import placeholder, redact_arguments, tagged_arguments

if TYPE_CHECKING:
    from _korvanthel_core import Action, ConstraintViolation, Violation

Verdict = Literal["allow", "deny", "audit", "redact"]

DECISION_TYPES = {"allow": "allow", "deny": "deny", "redact": "modify", "audit": "audit"}
"""Engine verdict -> decision type (``gen_ai.security.decision.type`` in
telemetry): a redaction modifies what passes."""


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
