"""Explanations of one decision: what every rule, window and monitor of a
policy would do with one event, through ``_native.explain_events``.

A policy is given as a path: ``.zelvo`` source (the explanation then
carries source spans and excerpts), a ``.zelvoc`` container, or policy
JSON text.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from korvanthel_tools import _native
from korvanthel_tools.guarding.policy_loader import PolicyForm, policy_form
from korvanthel_tools.loading import ToolError, decode_text, read_bytes

Explanation = dict[str, Any]


@dataclass(frozen=True)
class PolicyInput:
    """A policy as ``_native.explain_events`` takes it."""

    path: str
    data: str | bytes
    source: str | None  # the source text, when the policy is source

    def line_of(self, span: dict[str, int] | None) -> str:
        """`` (line N)`` of a span, or nothing without a source."""
        return f" (line {span['line']})" if span is not None and self.source is not None else ""

    def excerpt(self, span: dict[str, int] | None) -> str | None:
        """The source line a span starts on, stripped."""
        if span is None or self.source is None:
            return None
        lines = self.source.splitlines()
        line = span["line"] - 1
        return lines[line].strip() if 0 <= line < len(lines) else None


def read_policy(path: str) -> PolicyInput:
    """Reads a policy file; its form is told by content, as everywhere
    (``guarding.policy_loader.policy_form``)."""
    data = read_bytes(path)
    form = policy_form(data)
    if form is PolicyForm.CONTAINER:
        return PolicyInput(path, data, None)
    text = decode_text(path, data)
    return PolicyInput(path, text, text if form is PolicyForm.SOURCE else None)


def run_steps(policy: PolicyInput, steps: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """``_native.explain_events`` with the load errors as ToolError."""
    try:
        return list(_native.explain_events(policy.data, steps, filename=policy.path))
    except _native.CompileError as exc:
        raise ToolError(f"{policy.path} has errors:\n{exc}") from None
    except (ValueError, RuntimeError) as exc:
        raise ToolError(f"{policy.path}: {exc}") from None


def explain_event(
    policy: PolicyInput,
    event_type: str,
    fields: dict[str, Any] | None = None,
    *,
    ts: int = 0,
    context: dict[str, Any] | None = None,
    config: dict[str, Any] | None = None,
) -> Explanation:
    """The explanation of one event on a fresh engine holding `context`
    and `config`."""
    step: dict[str, Any] = {"type": event_type, "fields": fields, "ts": ts, "context": context, "config": config}
    return dict(run_steps(policy, [step])[0]["explanation"])


# --- rendering -------------------------------------------------------------


# How many visited elements of a quantifier or count an explanation lists
# (the native tracer's limit, kMaxElements).
ELEMENT_LIMIT = 10


def json_text(value: Any) -> str:
    """A value as compact JSON with sorted keys, as explanations show values."""
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str)


def render_value(node: dict[str, Any]) -> str:
    """A node's value as JSON text; inside a quantifier's body, where the
    value exists only per element, the bound name it depends on."""
    if not node["evaluated"]:
        return "(per element, listed above)"
    return json_text(node["value"])


def render_elements(node: dict[str, Any], indent: str) -> list[str]:
    """For a quantifier or count: each visited element and the body's value
    for it, up to ELEMENT_LIMIT, then how many more were visited."""
    if not node.get("evaluated") or node.get("binds") is None:
        return []
    name = node["binds"] or "local(0)"
    elements = node.get("elements", [])
    lines = [f"{indent}{name} = {json_text(e['element'])}: {json_text(e['body'])}" for e in elements]
    more = node.get("visited", 0) - len(elements)
    if more > 0:
        lines.append(f"{indent}... and {more} more element{'s' * (more != 1)}")
    if not node.get("visited", 0):
        lines.append(f"{indent}(no element visited)")
    return lines


def lower(name: str) -> str:
    """A name from the explanation (``Deny``, ``Log``) as the command line prints it."""
    return name.lower()


def render_nodes(nodes: list[dict[str, Any]], indent: str, *, decisive_only: bool) -> list[str]:
    """One line per sub-expression, `text = value`, indented by depth."""
    lines = []
    for node in nodes:
        if decisive_only and not node["decisive"]:
            continue
        value = render_value(node)
        if decisive_only and value == node["text"]:
            continue  # a literal: its value is its text
        lines.append(f"{indent}{'  ' * node['depth']}{node['text']} = {value}")
        lines.extend(render_elements(node, f"{indent}{'  ' * (node['depth'] + 1)}for "))
    return lines


def rule_name(policy: PolicyInput, rule: dict[str, Any]) -> str:
    """``rule ID`` followed by its source line when the policy is source."""
    return f"rule {rule['id']}{policy.line_of(rule['span'])}"


def render_rule(policy: PolicyInput, rule: dict[str, Any], *, all_nodes: bool) -> list[str]:
    """The lines of one rule: whether it was selected, its condition and
    whether it fired, the sub-expressions (the deciding ones unless
    ``all_nodes``), its verdicts (adopted or not) and actions."""
    head = f"  {rule_name(policy, rule)}: "
    if not rule["selected"]:
        return [head + "not selected (its event types do not include this one)"]
    if not rule["has_condition"]:
        head += "no condition"
    else:
        head += f"condition {str(rule['condition']).lower()}"
    if not rule["fired"]:
        return [head + ", not fired", *render_nodes(rule["nodes"], "      ", decisive_only=not all_nodes)]
    lines = [head + ", fired", *render_nodes(rule["nodes"], "      ", decisive_only=not all_nodes)]
    for verdict in rule["verdicts"]:
        text = lower(verdict["verdict"])
        if verdict["adopted"]:
            text += " adopted" + (f": {verdict['message']!r}" if verdict["message"] is not None else "")
        else:
            text += " not adopted (a verdict other than allow already stands)"
        lines.append(f"      verdict {text}")
    if rule["actions"]:
        lines.append("      actions: " + ", ".join(lower(a) for a in rule["actions"]))
    return lines


def render_window(policy: PolicyInput, window: dict[str, Any]) -> str:
    """The line of one rate limit or quota: whether it counts the event, its
    count and whether the limit is exceeded."""
    kind = "rate_limit" if window["kind"] == "RateLimit" else "quota"
    head = f"  {kind} {window['target']} {window['limit']} per {window['window_ms']}ms{policy.line_of(window['span'])}: "
    if window["superseded"]:
        return head + "replaced by a later constraint on the same target"
    if not window["counts_event"]:
        return head + f"does not count this event ({window['count']} in the window)"
    state = "exceeded" if window["exceeded"] else "within the limit"
    return head + f"{window['count']} events in the window with this one, {state}"


def render_machine(policy: PolicyInput, machine: dict[str, Any]) -> list[str]:
    """The lines of one state machine: its state, the guards of its
    transitions and their deciding values, and the transition taken, if any."""
    state = machine["state_label"] if machine["state_label"] is not None else f"#{machine['state']}"
    head = f"  machine {machine['id']} {machine['name']}{policy.line_of(machine['span'])}: in {state}"
    if machine["terminal"]:
        rest = ", a terminal state" + (" that is violating (reported again)" if machine["resting_violation"] else "")
        return [head + rest]
    lines = [head + (", deadline reached" if machine["deadline_reached"] else "")]
    for guard in machine["guards"]:
        lines.append(f"      transition {guard['transition']} ({guard['kind']}): {'passes' if guard['passed'] else 'fails'}")
        lines.extend(render_nodes(guard["nodes"], "        ", decisive_only=True))
    if machine["taken"] is None:
        lines.append("      no transition taken: stays")
    else:
        to = machine["to_label"] if machine["to_label"] is not None else f"#{machine['to_state']}"
        tail = ", a violating state" if machine["enters_violating"] else ""
        lines.append(f"      takes transition {machine['taken']}{policy.line_of(machine['taken_span'])} to {to}{tail}")
    return lines


def why_text(x: Explanation) -> str:
    """Why the final verdict stands, from the adoptions."""
    result = x["result"]
    verdict = lower(result["verdict"])
    adoptions = x["adoptions"]
    if not adoptions:
        return f"no rule, constraint or monitor adopted a verdict, so {verdict} stands"
    def source(a: dict[str, Any]) -> str:
        if a["source"] == "constraint":
            return f"constraint {a['position']}"
        return f"{a['source']} {a['id']}"
    deciding = [a for a in adoptions if lower(a["verdict"]) == verdict]
    if verdict == "allow":
        text = "allow stands: no rule, constraint or monitor adopted another verdict"
    else:
        why = "deny dominates" if verdict == "deny" else "the first verdict other than allow stands"
        text = f"{verdict} from {source(deciding[0] if deciding else adoptions[-1])} ({why})"
    with_reason = [a for a in adoptions if a["reason"] is not None]
    if with_reason:
        text += f"; reason from {source(with_reason[-1])} (the last message adopted)"
    return text


def render_explanation(policy: PolicyInput, x: Explanation, *, all_nodes: bool = False) -> str:
    """The text ``korvanthel explain`` prints: the event, the verdict and why
    it stands, then every rule, constraint and machine in policy order."""
    result = x["result"]
    lines = [
        f"event {x['event_type']} at {x['ts']} ms",
        f"verdict: {lower(result['verdict'])}" + (f" ({result['reason']})" if result["reason"] is not None else ""),
        f"why: {why_text(x)}",
        "rules:",
    ]
    for rule in x["rules"]:
        lines.extend(render_rule(policy, rule, all_nodes=all_nodes))
    if x["windows"]:
        lines.append("constraints:")
        lines.extend(render_window(policy, w) for w in x["windows"])
    if x["machines"]:
        lines.append("machines:")
        for machine in x["machines"]:
            lines.extend(render_machine(policy, machine))
    return "\n".join(lines) + "\n"


def why_not_lines(policy: PolicyInput, x: Explanation, expected_verdict: str | None) -> list[str]:
    """For a wrong verdict: which rules would have had to fire for the
    expected verdict and the sub-expression values that kept each from
    firing; or which steps produced the verdict that was not expected."""
    lines: list[str] = []
    if expected_verdict is not None and expected_verdict != lower(x["result"]["verdict"]):
        candidates = [
            r for r in x["rules"] if not r["fired"] and r["selected"]
        ]
        wanted = []
        for rule in candidates:
            verdicts = {lower(v) for v in rule["declared_verdicts"]}
            if expected_verdict in verdicts:
                wanted.append(rule)
        for rule in wanted:
            lines.append(f"{rule_name(policy, rule)} would have had to fire; its condition was false:")
            lines.extend(render_nodes(rule["nodes"], "  ", decisive_only=True))
        if not wanted and expected_verdict != "allow":
            lines.append(f"no selected rule gives {expected_verdict} to this event")
    lines.append(f"why: {why_text(x)}")
    return lines

