"""Builders of compiled policies in their JSON form, for generated
policies, tests, fuzz seeds, benchmarks and training runs: a public
interface, documented in the README under "The JSON form in brief".

Every function returns plain ``dict``/``list`` values shaped exactly as the
engine's JSON decoder reads them (the README's "The JSON form in brief"), so
a caller can still edit them by hand, and ``dumps`` turns a policy into the
text ``PolicyEngine.from_json`` takes. Nothing is validated here: a builder
writes what it is given, so tests may build policies the engine refuses.

Expressions::

    condition = binary("Eq", event("tool"), text("shell"))
    reason = binary("Add", text("blocked: "), event("args", "url"))

Policies::

    doc = policy("guard", rules=[
        rule(1, ["tool_call"], condition, [verdict("Deny", reason)], [action("Log", tool=event("tool"))]),
    ])
    engine = PolicyEngine.from_json(dumps(doc))

This module uses the standard library only and may be loaded by path from a
source tree before the package is installed (the profile-training run does).
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = [
    "Json",
    "action",
    "always",
    "binary",
    "boolean",
    "call",
    "config",
    "constraint",
    "context",
    "count",
    "decision",
    "dumps",
    "duration",
    "event",
    "integer",
    "items",
    "lit",
    "local",
    "method",
    "number",
    "policy",
    "predicate",
    "quantifier",
    "quota",
    "rate_limit",
    "ref",
    "regex",
    "rule",
    "state",
    "state_machine",
    "text",
    "timeout",
    "transition",
    "unary",
    "unless",
    "verdict",
    "when",
]

# A JSON object as the decoder reads it.
Json = dict[str, Any]

# --- Literals ----------------------------------------------------------------


def lit(kind: str, value: Any) -> Json:
    """A literal of the given kind: String, Int, Float, Bool, Duration, Regex."""
    return {"Literal": {kind: value}}


def text(value: str) -> Json:
    """A string literal."""
    return lit("String", value)


def integer(value: int) -> Json:
    """A 64-bit integer literal."""
    return lit("Int", value)


def number(value: float) -> Json:
    """A floating-point literal."""
    return lit("Float", value)


def boolean(value: bool) -> Json:
    """A boolean literal."""
    return lit("Bool", value)


def regex(pattern: str) -> Json:
    """A regular-expression literal: the pattern's text, as ``Matches``
    takes it."""
    return lit("Regex", pattern)


def duration(value: int, unit: str = "Milliseconds") -> Json:
    """A duration literal; unit is Milliseconds, Seconds, Minutes, Hours or Days."""
    return lit("Duration", {"value": value, "unit": unit})


# --- References ----------------------------------------------------------------


def ref(root: str | Json, *fields: str) -> Json:
    """A reference: root "Event", "Context", "Policy" or ``{"Local": n}``,
    then the keys to follow. No keys: the whole event or map."""
    return {"Ref": {"root": root, "fields": list(fields)}}


def event(*fields: str) -> Json:
    """A reference into the event's fields (no keys: the whole event)."""
    return ref("Event", *fields)


def context(*fields: str) -> Json:
    """A reference into the context values stored in the engine."""
    return ref("Context", *fields)


def config(*fields: str) -> Json:
    """A configuration value (the reference root ``Policy``)."""
    return ref("Policy", *fields)


def local(slot: int = 0) -> Json:
    """The element a quantifier or Count is looking at (slot 0)."""
    return ref({"Local": slot})


# --- Operators and calls --------------------------------------------------------


def binary(op: str, left: Json, right: Json) -> Json:
    """A binary operation; ``op`` is one of Add, Sub, Mul, Div, Mod, Eq, Neq,
    Lt, Le, Gt, Ge, And, Or, Implies, In."""
    return {"Binary": {"op": op, "left": left, "right": right}}


def unary(op: str, operand: Json) -> Json:
    """A unary operation: ``op`` is Not or Neg."""
    return {"Unary": {"op": op, "operand": operand}}


def predicate(kind: str, subject: Json, argument: Json) -> Json:
    """Contains, Matches, StartsWith or EndsWith."""
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


def quantifier(kind: str, collection: Json, body: Json, param: str = "x") -> Json:
    """Any or All elements of ``collection`` satisfy ``body`` (read the
    element with ``local()``)."""
    return {"Quantifier": {"kind": kind, "collection": collection, "param": param, "body": body}}


def count(collection: Json, filter: Json | None = None, param: str | None = "x") -> Json:
    """The number of elements of ``collection`` (that satisfy ``filter``)."""
    out: Json = {"collection": collection}
    if param is not None:
        out["param"] = param
    if filter is not None:
        out["filter"] = filter
    return {"Count": out}


def call(function: str, *args: Json) -> Json:
    """A call of a built-in function by name."""
    return {"Call": {"function": function, "args": list(args)}}


def method(obj: Json, name: str, *args: Json) -> Json:
    """A method call on the value of ``obj`` by the method's name
    (``len``, ``to_lower``, ``split``, ...)."""
    return {"MethodCall": {"object": obj, "method": name, "args": list(args)}}


def items(*exprs: Json) -> Json:
    """A list expression."""
    return {"List": list(exprs)}


def decision(node: Json) -> Json:
    """A decision tree whose root node is ``node`` (``{"Switch": ...}``,
    ``{"Leaf": expr}`` or ``{"VerdictLeaf": verdict}``)."""
    return {"DecisionTree": node}


# --- Rules -----------------------------------------------------------------------


def verdict(name: str, message: Json | str | None = None) -> Json:
    """Allow, Deny, Audit or Redact; a ``str`` message becomes a text literal."""
    out: Json = {"verdict": name}
    if message is not None:
        out["message"] = text(message) if isinstance(message, str) else message
    return out


def action(verb: str, /, **args: Json) -> Json:
    """Log, Notify, Escalate, Block or Tag, with named argument expressions."""
    return {"verb": verb, "args": [[name, expr] for name, expr in args.items()]}


def rule(rule_id: int, on_events: Iterable[str] = (), condition: Json | None = None,
         verdicts: Iterable[Json] = (), actions: Iterable[Json] = (), severity: str | None = None) -> Json:
    """A rule; no ``on_events`` applies it to every type, no ``condition``
    fires it always."""
    out: Json = {"id": rule_id, "on_events": list(on_events), "verdicts": list(verdicts), "actions": list(actions)}
    if condition is not None:
        out["condition"] = condition
    if severity is not None:
        out["severity"] = severity
    return out


# --- Constraints and state machines -----------------------------------------------


def constraint(kind: str, target: str, limit: int, window_millis: int) -> Json:
    """A rate limit or quota on ``target`` events: at most ``limit`` in a
    sliding window of ``window_millis``; ``kind`` is RateLimit or Quota."""
    return {"kind": kind, "target": target, "limit": limit, "window_millis": window_millis}


def rate_limit(target: str, limit: int, window_millis: int) -> Json:
    """``constraint`` of kind RateLimit."""
    return constraint("RateLimit", target, limit, window_millis)


def quota(target: str, limit: int, window_millis: int) -> Json:
    """``constraint`` of kind Quota."""
    return constraint("Quota", target, limit, window_millis)


def state(state_id: int, label: str, kind: str = "Active") -> Json:
    """A state; kind is Active, Satisfied or Violated."""
    return {"id": state_id, "label": label, "kind": kind}


def when(expr: Json) -> Json:
    """A transition guard that passes when ``expr`` is true of the event."""
    return {"Predicate": expr}


def unless(expr: Json) -> Json:
    """A transition guard that passes when ``expr`` is false of the event."""
    return {"NegatedPredicate": expr}


def timeout() -> str:
    """The transition guard taken when the machine's deadline passes."""
    return "Timeout"


def always() -> str:
    """The transition guard that passes on every event."""
    return "Always"


def transition(source: int, target: int, guard: Json | str) -> Json:
    """A transition between two state ids, taken when ``guard`` passes
    (``when``, ``unless``, ``timeout()`` or ``always()``)."""
    return {"from": source, "to": target, "guard": guard}


def state_machine(machine_id: int, name: str, invariant_name: str, kind: str, states: Iterable[Json],
                  transitions: Iterable[Json], *, initial_state: int = 0, accepting_states: Iterable[int] = (),
                  violating_states: Iterable[int] = (), deadline_millis: int | None = None) -> Json:
    """A monitor of one temporal invariant; kind is Always, Eventually,
    Never, Until or Next."""
    out: Json = {"id": machine_id, "name": name, "invariant_name": invariant_name, "kind": kind,
                 "states": list(states), "transitions": list(transitions), "initial_state": initial_state,
                 "accepting_states": list(accepting_states), "violating_states": list(violating_states)}
    if deadline_millis is not None:
        out["deadline_millis"] = deadline_millis
    return out


# --- Policies ----------------------------------------------------------------------


def policy(name: str = "test", rules: Iterable[Json] = (), constraints: Iterable[Json] = (),
           state_machines: Iterable[Json] = (), *, severity: str = "High", scopes: Iterable[str] = (),
           annotations: Mapping[str, str] | Iterable[tuple[str, str]] = (), source_hash: int = 0,
           compiler_version: str = "test") -> Json:
    """A whole ``CompiledPolicy`` with its seven fields in declared order."""
    pairs = annotations.items() if isinstance(annotations, Mapping) else annotations
    return {
        "name": name,
        "severity": severity,
        "scopes": list(scopes),
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(state_machines),
        "metadata": {"annotations": [[k, v] for k, v in pairs], "source_hash": source_hash,
                     "compiler_version": compiler_version},
    }


def dumps(doc: Any, *, indent: int | None = None) -> str:
    """The JSON text of ``doc``: compact, or indented by ``indent``."""
    if indent is not None:
        return json.dumps(doc, indent=indent)
    return json.dumps(doc, separators=(",", ":"))
