"""Running the cases of test files: each on a fresh engine in event time
(``_native.explain_events``), every expectation compared, and a failure
that carries the explanation of its event."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

from korvanthel_tools.explain import Explanation, PolicyInput, run_steps, why_not_lines
from korvanthel_tools.policy_tests.test_file import Case, Expectation


@dataclass
class Failure:
    """One event of a case whose result missed an expectation: what differed
    and the explanation of why."""

    case: Case
    step_line: int
    event_index: int          # 1-based among the case's events
    event_type: str
    differences: list[str]
    explanation: list[str]

    def header(self) -> str:
        """``path:line: case NAME, event N (TYPE)``, naming the failing step."""
        return (f"{self.case.path}:{self.step_line}: case {self.case.name!r}, "
                f"event {self.event_index} ({self.event_type})")

    def render(self) -> str:
        """The failure as printed: one ``FAIL`` line per difference, then the
        explanation indented."""
        lines = [f"FAIL {self.header()}: {d}" for d in self.differences]
        lines.extend("    " + line for line in self.explanation)
        return "\n".join(lines) + "\n"


@dataclass
class CaseResult:
    """The outcome of one case: its failures and every event's explanation and result."""

    case: Case
    failures: list[Failure] = field(default_factory=list)
    # (explanation, result) of every event, in order, for coverage.
    events: list[dict[str, Any]] = field(default_factory=list)

    @property
    def passed(self) -> bool:
        """True when every expectation of every event held."""
        return not self.failures


def _text(value: str | None) -> str:
    return "null" if value is None else json.dumps(value, ensure_ascii=False)


def _names(items: list[str]) -> str:
    return "[" + ", ".join(items) + "]"


def differences(expect: Expectation, result: dict[str, Any]) -> list[str]:
    """What differs between an expectation and a result dict, one text per
    expectation that does not hold, in a fixed order."""
    out = []
    verdict = str(result["verdict"]).lower()
    if expect.verdict is not None and expect.verdict != verdict:
        out.append(f"verdict: expected {expect.verdict}, got {verdict}")
    reason = result["reason"]
    if expect.reason is not None and expect.reason != reason:
        out.append(f"reason: expected {_text(expect.reason)}, got {_text(reason)}")
    if expect.reason_matches is not None and (reason is None or not expect.reason_matches.search(reason)):
        out.append(f"reason: expected to match /{expect.reason_matches.pattern}/, got {_text(reason)}")
    rules = list(result["triggered_rules"])
    if expect.triggered_rules is not None and expect.triggered_rules != rules:
        out.append(f"triggered rules: expected {expect.triggered_rules}, got {rules}")
    verbs = [str(a["verb"]).lower() for a in result["actions"]]
    if expect.actions is not None and expect.actions != verbs:
        out.append(f"actions: expected {_names(expect.actions)}, got {_names(verbs)}")
    invariants = [str(v["invariant"]) for v in result["violations"]]
    if expect.violations is not None and expect.violations != invariants:
        out.append(f"violations: expected {_names(expect.violations)}, got {_names(invariants)}")
    targets = [str(c["target"]) for c in result["constraint_violations"]]
    if expect.constraint_violations is not None and expect.constraint_violations != targets:
        out.append(f"constraint violations: expected {_names(expect.constraint_violations)}, got {_names(targets)}")
    return out


def run_case(policy: PolicyInput, case: Case) -> CaseResult:
    """Run a case's steps on a fresh engine in event time and compare every
    event with its expectation."""
    outcome = CaseResult(case)
    steps = case.native_steps()
    ran = run_steps(policy, steps)
    event_steps = [s for s in case.steps if s.event_type is not None]
    for number, (step, record) in enumerate(zip(event_steps, ran), start=1):
        result = record["result"]
        explanation: Explanation = record["explanation"]
        outcome.events.append(record)
        diffs = differences(step.expect, result)
        if diffs:
            outcome.failures.append(
                Failure(case, step.line, number, str(step.event_type), diffs,
                        why_not_lines(policy, explanation, step.expect.verdict))
            )
    return outcome


def select(cases: list[Case], pattern: str | None) -> list[Case]:
    """The cases whose name the pattern finds (a regular expression,
    searched), all without one."""
    if pattern is None:
        return cases
    found = re.compile(pattern)
    return [c for c in cases if found.search(c.name)]
