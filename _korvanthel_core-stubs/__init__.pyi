"""Type information for the native module ``_korvanthel_core``.

The module is an extension written in C++; this stub-only package (PEP 561)
gives type checkers its exact surface. The dictionaries that ``evaluate``
returns are described as TypedDicts: they exist only for type checking
(``typing.type_check_only``), at run time the values are plain ``dict``s.
Import them under ``if TYPE_CHECKING:``.
"""

from typing import Any, Final, Literal, TypedDict, final, type_check_only

__all__ = ["PolicyEngine", "__version__"]

__version__: Final[str]

# The literal types below are private because they are not attributes of the
# module; spell them out (or use EvalResult's fields) where you need them.
_Verdict = Literal["allow", "deny", "audit", "redact"]

_ActionVerb = Literal["Log", "Notify", "Escalate", "Block", "Tag"]
_TemporalKind = Literal["Always", "Eventually", "Never", "Until", "Next"]
_ConstraintKind = Literal["RateLimit", "Quota"]

@type_check_only
class Action(TypedDict):
    """One action requested by a rule that fired."""

    verb: _ActionVerb
    args: dict[str, Any]
    """Evaluated arguments by name; values are None, bool, int, float, str,
    list or dict (durations arrive as int milliseconds). Key order is not
    specified."""

@type_check_only
class Violation(TypedDict):
    """A temporal invariant that a state machine monitor found violated."""

    proof: str
    invariant: str
    kind: _TemporalKind
    message: str

@type_check_only
class ConstraintViolation(TypedDict):
    """A rate limit or quota exceeded by the event being evaluated."""

    kind: _ConstraintKind
    target: str
    limit: int
    current: int
    window_ms: int

@type_check_only
class EvalResult(TypedDict):
    """The dictionary returned by ``PolicyEngine.evaluate``.

    All seven keys are always present, in this order.
    """

    verdict: _Verdict
    reason: str | None
    triggered_rules: list[int]
    eval_time_us: int
    actions: list[Action]
    violations: list[Violation]
    constraint_violations: list[ConstraintViolation]

@final
class PolicyEngine:
    """The Korvanthel policy engine.

    Instances are made only by the factories ``from_file``, ``from_bytes``
    and ``from_json``; calling the class raises ``TypeError``. Every member
    but ``policy_name`` takes the object's engine lock.
    """

    @staticmethod
    def from_file(path: str) -> PolicyEngine:
        """Load a policy engine from a compiled .zelvoc file.

        Raises FileNotFoundError ("Policy file not found: ...") when the path
        has no readable metadata, RuntimeError ("Failed to load policy: ...")
        when the container or its policy cannot be loaded.
        """

    @staticmethod
    def from_bytes(data: bytes) -> PolicyEngine:
        """Load a policy engine from raw .zelvoc bytes.

        Raises RuntimeError ("Failed to parse policy bytes: ...").
        """

    @staticmethod
    def from_json(json_str: str) -> PolicyEngine:
        """Load a policy engine from a JSON string (debug format).

        Raises ValueError ("Invalid policy JSON: ...").
        """

    def evaluate(self, event_type: str, fields: dict[str, Any] | None = None) -> EvalResult:
        """Evaluate an event against the policy.

        Field values may be any object: None, bool, int, float, str, list and
        dict convert structurally (dict keys must be str, else TypeError);
        anything else is taken as its str() text.
        """

    def set_context(self, key: str, value: object) -> None:
        """Set a persistent context value."""

    def set_config(self, key: str, value: object) -> None:
        """Set a policy configuration value."""

    @property
    def policy_name(self) -> str:
        """Get the policy name."""

    @property
    def event_count(self) -> int:
        """Get the total number of events processed."""

    def reset(self) -> None:
        """Reset the engine state (state machines, counters)."""

    def status(self) -> str:
        """Get engine status summary."""
