"""Coverage of a policy by the events of test cases, from their
explanations: rules fired, conditions seen true and false, state-machine
transitions taken, constraints exceeded."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from korvanthel_tools.explain import PolicyInput


@dataclass
class RuleCoverage:
    """What the cases did with one rule: how many events fired it and whether
    its condition was seen true and false; ``line`` is its source line when
    the policy is source."""

    position: int
    id: int
    line: int | None
    has_condition: bool
    fired: int = 0
    seen_true: bool = False
    seen_false: bool = False


@dataclass
class TransitionCoverage:
    """One transition: named by its states and source line, how often it
    was taken, and what its guard (when it has an expression) was seen to be."""

    name: str  # "clean -> holding_secrets", or positions when a label is missing
    line: int | None
    guard: str  # "Predicate", "NegatedPredicate", "Timeout" or "Always"
    seen_true: bool = False
    seen_false: bool = False


@dataclass
class Coverage:
    """Coverage gathered over the events of a run, one explanation at a time;
    the figures are (covered, total) pairs."""

    rules: list[RuleCoverage] = field(default_factory=list)
    # (machine id, machine name, transition position) -> times taken
    transitions: dict[tuple[int, str, int], int] = field(default_factory=dict)
    # the same keys -> what the transition is and what its guard was seen to be
    edges: dict[tuple[int, str, int], TransitionCoverage] = field(default_factory=dict)
    # (constraint position, target) -> times exceeded
    constraints: dict[tuple[int, str], int] = field(default_factory=dict)

    def add(self, policy: PolicyInput, explanation: dict[str, Any]) -> None:
        """Count one event's explanation; the first one also lists the
        policy's rules, transitions and constraints."""
        if not self.rules:
            for rule in explanation["rules"]:
                span = rule["span"]
                line = span["line"] if span is not None and policy.source is not None else None
                self.rules.append(RuleCoverage(rule["position"], rule["id"], line, rule["has_condition"]))
            for machine in explanation["machines"]:
                for t in range(machine["transitions"]):
                    self.transitions.setdefault((machine["id"], machine["name"], t), 0)
                for t, edge in enumerate(machine.get("edges", [])):
                    name = f"{edge['from'] if edge['from'] is not None else '#?'} -> " \
                           f"{edge['to'] if edge['to'] is not None else '#?'}"
                    span = edge["span"]
                    line = span["line"] if span is not None and policy.source is not None else None
                    self.edges[(machine["id"], machine["name"], t)] = TransitionCoverage(name, line, edge["guard"])
            for window in explanation["windows"]:
                if not window["superseded"]:
                    self.constraints.setdefault((window["position"], window["target"]), 0)
        for rule, cov in zip(explanation["rules"], self.rules):
            if rule["fired"]:
                cov.fired += 1
            if rule["condition"] is True:
                cov.seen_true = True
            elif rule["condition"] is False:
                cov.seen_false = True
        for machine in explanation["machines"]:
            for guard in machine["guards"]:
                edge = self.edges.get((machine["id"], machine["name"], guard["transition"]))
                if edge is not None and guard["kind"] in ("Predicate", "NegatedPredicate"):
                    if guard["passed"]:
                        edge.seen_true = True
                    else:
                        edge.seen_false = True
            if machine["taken"] is not None:
                key = (machine["id"], machine["name"], machine["taken"])
                self.transitions[key] = self.transitions.get(key, 0) + 1
        for window in explanation["windows"]:
            if window["exceeded"]:
                target = (window["position"], window["target"])
                self.constraints[target] = self.constraints.get(target, 0) + 1

    # --- figures ---

    def rules_fired(self) -> tuple[int, int]:
        """(rules fired by some event, rules)."""
        return sum(1 for r in self.rules if r.fired), len(self.rules)

    def conditions_both(self) -> tuple[int, int]:
        """(rules whose condition was seen both true and false, rules with a condition)."""
        with_condition = [r for r in self.rules if r.has_condition]
        return sum(1 for r in with_condition if r.seen_true and r.seen_false), len(with_condition)

    def transitions_taken(self) -> tuple[int, int]:
        """(transitions taken at least once, transitions)."""
        return sum(1 for n in self.transitions.values() if n), len(self.transitions)

    def guards_both(self) -> tuple[int, int]:
        """(guards seen both true and false, transitions with a guard)."""
        with_guard = [e for e in self.edges.values() if e.guard in ("Predicate", "NegatedPredicate")]
        return sum(1 for e in with_guard if e.seen_true and e.seen_false), len(with_guard)

    def constraints_exceeded(self) -> tuple[int, int]:
        """(constraints exceeded at least once, constraints in force)."""
        return sum(1 for n in self.constraints.values() if n), len(self.constraints)

    def rule_percent(self) -> float:
        """The percentage of rules fired, which ``--threshold`` checks; 100
        for a policy without rules."""
        done, total = self.rules_fired()
        return 100.0 if total == 0 else 100.0 * done / total


def percent(done: int, total: int) -> str:
    """``done`` of ``total`` as a percentage with one decimal; 100.0% of nothing."""
    return "100.0%" if total == 0 else f"{100.0 * done / total:.1f}%"


def guard_text(edge: TransitionCoverage) -> str:
    """How a transition's guard reads in the coverage report."""
    if edge.guard == "Always":
        return "no guard"
    if edge.guard == "Timeout":
        return "on timeout"
    seen = [w for w, flag in (("true", edge.seen_true), ("false", edge.seen_false)) if flag]
    return "guard seen " + (" and ".join(seen) if seen else "never")


def render_coverage(policy: PolicyInput, cov: Coverage) -> str:
    """The coverage report ``korvanthel test --coverage`` prints: every rule,
    transition and constraint with its counts, then the four totals."""
    lines = ["coverage:"]
    for r in cov.rules:
        where = f" (line {r.line})" if r.line is not None else ""
        if r.has_condition:
            seen = [w for w, flag in (("true", r.seen_true), ("false", r.seen_false)) if flag]
            cond = "condition seen " + (" and ".join(seen) if seen else "never")
        else:
            cond = "no condition"
        mark = "fired" if r.fired else "NEVER FIRED"
        lines.append(f"  rule {r.id}{where}: {mark} ({r.fired} events), {cond}")
    for (mid, name, t), n in sorted(cov.transitions.items()):
        taken = f"taken {n} times" if n else "NEVER TAKEN"
        edge = cov.edges.get((mid, name, t))
        if edge is None:
            lines.append(f"  machine {mid} {name} transition {t}: {taken}")
            continue
        where = f" (line {edge.line})" if edge.line is not None else ""
        lines.append(f"  machine {mid} {name} transition {t} {edge.name}{where}: {taken}, {guard_text(edge)}")
    for (pos, target), n in sorted(cov.constraints.items()):
        lines.append(f"  constraint {pos} ({target}): " + (f"exceeded {n} times" if n else "never exceeded"))
    rows = (
        ("rules fired", cov.rules_fired()),
        ("conditions true and false", cov.conditions_both()),
        ("transitions taken", cov.transitions_taken()),
        ("guards true and false", cov.guards_both()),
        ("constraints exceeded", cov.constraints_exceeded()),
    )
    for label, (done, total) in rows:
        lines.append(f"  {label}: {done}/{total} ({percent(done, total)})")
    return "\n".join(lines) + "\n"
