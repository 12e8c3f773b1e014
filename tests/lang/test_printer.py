"""The printer's exact text for each construct: parentheses only where
precedence and associativity need them, the forms of names, fields, calls
and bound names, and the layout of decision trees and items. Each printed
text also compiles back to the expression it came from."""

from __future__ import annotations

import json
from typing import Any

import pytest

from korvanthel_tools import _native
from korvanthel_tools.policy_json import (
    binary as bin_,
    boolean,
    call,
    event,
    integer,
    items,
    method,
    number,
    policy,
    quantifier,
    ref,
    rule,
    text,
    unary as un,
)
from lang_support import canonical

HEAD = 'policy "p" severity high\n\nrule 1 {\n'


def lit(value: bool | int | float | str) -> dict[str, Any]:
    if isinstance(value, bool):
        return boolean(value)
    if isinstance(value, int):
        return integer(value)
    if isinstance(value, float):
        return number(value)
    return text(value)


def quant(kind: str, coll: Any, param: str, body: Any) -> dict[str, Any]:
    return quantifier(kind, coll, body, param=param)


def policy_with(condition: Any) -> str:
    doc = policy("p", [rule(1, condition=condition)], compiler_version="zelvo-compiler 0.1.0")
    return json.dumps(doc)


A, B, C = event("a"), event("b"), event("c")
X = ref({"Local": 0})

CASES: list[tuple[str, Any, str]] = [
    ("left-assoc chain bare", bin_("Sub", bin_("Sub", A, B), C), "event.a - event.b - event.c"),
    ("right operand parenthesised", bin_("Sub", A, bin_("Sub", B, C)), "event.a - (event.b - event.c)"),
    ("or right-nested", bin_("Or", A, bin_("Or", B, C)), "event.a or (event.b or event.c)"),
    ("implies right-assoc", bin_("Implies", A, bin_("Implies", B, C)), "event.a implies event.b implies event.c"),
    ("implies left parenthesised", bin_("Implies", bin_("Implies", A, B), C), "(event.a implies event.b) implies event.c"),
    ("and binds tighter than or", bin_("Or", bin_("And", A, B), C), "event.a and event.b or event.c"),
    ("or under and", bin_("And", bin_("Or", A, B), C), "(event.a or event.b) and event.c"),
    ("comparisons do not chain", bin_("Eq", bin_("Lt", A, B), C), "(event.a < event.b) == event.c"),
    ("not over comparison", un("Not", bin_("Eq", A, B)), "not (event.a == event.b)"),
    ("not over in", un("Not", bin_("In", A, B)), "not (event.a in event.b)"),
    ("not over sum", un("Not", bin_("Add", A, B)), "not event.a + event.b"),
    ("not as comparison operand", bin_("Eq", un("Not", A), B), "(not event.a) == event.b"),
    ("not over and", un("Not", bin_("And", A, B)), "not (event.a and event.b)"),
    ("mul under add", bin_("Add", A, bin_("Mul", B, C)), "event.a + event.b * event.c"),
    ("add under mul", bin_("Mul", bin_("Add", A, B), C), "(event.a + event.b) * event.c"),
    ("neg of a number", un("Neg", lit(5)), "-(5)"),
    ("neg of a negative number", un("Neg", lit(-5)), "--5"),
    ("neg of a duration", un("Neg", {"Literal": {"Duration": {"value": 5, "unit": "Minutes"}}}), "-(5m)"),
    ("neg of a sum", un("Neg", bin_("Add", A, B)), "-(event.a + event.b)"),
    ("minus a negative literal", bin_("Sub", A, lit(-5)), "event.a - -5"),
    ("in a list", bin_("In", A, {"List": [lit("x"), lit(1.5)]}), 'event.a in ["x", 1.5]'),
    ("float forms", {"List": [lit(2.0), lit(-0.0), lit(1e21), lit(0.1)]}, "[2.0, -0.0, 1e+21, 0.1]"),
    ("int extremes", {"List": [lit(-(2**63)), lit(2**63 - 1)]}, "[-9223372036854775808, 9223372036854775807]"),
    ("string escapes", lit('q"b\\t`\n\t\r\x01\x7fé'), '"q\\"b\\\\t`\\n\\t\\r\\u{1}\\u{7f}é"'),
    ("regex misread", {"Literal": {"Regex": "^a\\.b"}}, 'verbatim"^a\\\\.b"'),
    ("regex", {"Literal": {"Regex": "/tmp/.*"}}, 'pattern"/tmp/.*"'),
    ("fields that are no words", ref("Context", "x-y", "in", "_", ""), 'context["x-y"].in["_"][""]'),
    ("config root", ref("Policy"), "config"),
    ("local outside a binder", ref({"Local": 3}, "k"), "local(3).k"),
    ("bound name", quant("Any", A, "h", bin_("Eq", X, B)), "event.a.any(h, h == event.b)"),
    ("keyword param is a string", quant("All", A, "in", X), 'event.a.all("in", local(0))'),
    ("local with fields is no bound name", quant("None", A, "h", ref({"Local": 0}, "k")), "event.a.none(h, local(0).k)"),
    ("count forms", {"List": [
        {"Count": {"collection": A, "param": None, "filter": None}},
        {"Count": {"collection": A, "param": "x", "filter": None}},
        {"Count": {"collection": A, "param": None, "filter": X}},
        {"Count": {"collection": A, "param": "x", "filter": X}},
    ]}, "[event.a.count(), event.a.count(x), event.a.count(_, local(0)), event.a.count(x, x)]"),
    ("predicates", {"List": [
        {"Predicate": {"kind": k, "subject": A, "argument": lit("s")}} for k in ("Contains", "Matches", "StartsWith", "EndsWith")
    ]}, '[event.a.contains("s"), event.a.matches("s"), event.a.starts_with("s"), event.a.ends_with("s")]'),
    ("predicate subject parenthesised", {"Predicate": {"kind": "Contains", "subject": bin_("Add", A, B), "argument": C}},
     "(event.a + event.b).contains(event.c)"),
    ("negative literal as object", method(lit(-5), "len"), "-5.len()"),
    ("built-in method", method(A, "split", lit(",")), 'event.a.split(",")'),
    ("method named like a predicate", method(A, "contains", B), "event.a.`contains`(event.b)"),
    ("field read on a value", method(call("len", A), "name"), "len(event.a).name"),
    ("field read on a path is raw", method(A, "name"), "event.a.`name`()"),
    ("field read that is no word", method({"List": []}, "a b"), '[]["a b"]'),
    ("built-in function", call("min", A, B), "min(event.a, event.b)"),
    ("unknown function is raw", call("startswith", A), "`startswith`(event.a)"),
    ("built-in with wrong arity is raw", call("len"), "`len`()"),
    ("decide", {"DecisionTree": {"VerdictLeaf": {"verdict": "Deny", "message": lit("m")}}}, 'decide { deny "m" }'),
]


@pytest.mark.parametrize("condition,expected", [(c, e) for _, c, e in CASES], ids=[n for n, _, _ in CASES])
def test_expression_text(condition: Any, expected: str) -> None:
    text = policy_with(condition)
    source = _native.print_policy(text)
    assert source == HEAD + f"  when {expected}\n}}\n"
    assert _native.compile_policy_json(source) == canonical(text)


def test_decision_tree_layout() -> None:
    tree = {"DecisionTree": {"Switch": {
        "subject": A,
        "cases": [
            {"test": {"Literal": {"Int": -1}}, "body": {"VerdictLeaf": {"verdict": "Audit", "message": None}}},
            {"test": {"Constructor": "T"}, "body": {"Switch": {"subject": B, "cases": [], "default": {"Leaf": lit(1)}}}},
            {"test": {"Guard": C}, "body": {"Leaf": {"DecisionTree": {"Switch": {"subject": A, "cases": [], "default": None}}}}},
            {"test": {"Constructor": "a b"}, "body": {"Leaf": bin_("Add", {"DecisionTree": {"Switch": {"subject": A, "cases": [], "default": None}}}, lit(1))}},
        ],
        "default": {"Leaf": lit("other")},
    }}}
    text = policy_with(tree)
    source = _native.print_policy(text)
    assert source == HEAD + (
        "  when match event.a {\n"
        "    case -1 => audit\n"
        "    case is T => match event.b {\n"
        "      else => 1\n"
        "    }\n"
        "    case if event.c => (match event.a {})\n"
        '    case is "a b" => (match event.a {} + 1)\n'
        '    else => "other"\n'
        "  }\n"
        "}\n"
    )
    assert _native.compile_policy_json(source) == canonical(text)


def test_items_layout() -> None:
    text = json.dumps({
        "name": "my policy", "severity": "Low", "scopes": ["a", "b"],
        "rules": [{"id": 2, "on_events": ["tool_call", "x.y"], "condition": None,
                   "verdicts": [{"verdict": "Deny"}, {"verdict": "Audit", "message": lit("m")}],
                   "actions": [{"verb": "Tag", "args": [["in", lit(1)], ["x-y", lit(2)], ["_", lit(3)]]}, {"verb": "Block", "args": []}],
                   "severity": "Info"}],
        "constraints": [{"kind": "Quota", "target": "data", "limit": 5, "window_millis": 7200000},
                        {"kind": "RateLimit", "target": "t", "limit": 1, "window_millis": 1500}],
        "state_machines": [{
            "id": 9, "name": "m", "invariant_name": "inv", "kind": "Until",
            "states": [{"id": 0, "label": "a", "kind": "Active"}, {"id": 7, "label": "b", "kind": "Satisfied"},
                       {"id": 2, "label": "b", "kind": "Violated"}],
            "transitions": [{"from": 0, "to": 1, "guard": {"Predicate": A}}, {"from": 1, "to": 2, "guard": {"NegatedPredicate": B}},
                            {"from": 2, "to": 9, "guard": "Timeout"}, {"from": 0, "to": 0, "guard": "Always"}],
            "initial_state": 2, "accepting_states": [1], "violating_states": [2, 5], "deadline_millis": 0,
        }],
        "metadata": {"annotations": [["k", "v"]], "source_hash": 12, "compiler_version": "1.0"},
    })
    assert _native.print_policy(text) == (
        'policy "my policy" severity low\n'
        'scopes "a", "b"\n'
        'annotation "k" = "v"\n'
        'compiler_version "1.0"\n'
        "source_hash 12\n"
        "\n"
        'rule 2 on tool_call, "x.y" {\n'
        "  severity info\n"
        "  deny\n"
        '  audit "m"\n'
        '  tag(in: 1, "x-y": 2, "_": 3)\n'
        "  block()\n"
        "}\n"
        "\n"
        "quota data 5 per 2h\n"
        "\n"
        "rate_limit t 1 per 1500ms\n"
        "\n"
        "machine 9 m invariant inv until {\n"
        "  state a\n"
        "  state b satisfied id 7\n"
        "  state b violated\n"
        "  initial 2\n"
        "  accepting 1\n"
        "  violating 2, 5\n"
        "  deadline 0ms\n"
        "  transition a -> 1 when event.a\n"
        "  transition 1 -> 2 unless event.b\n"
        "  transition 2 -> 9 on timeout\n"
        "  transition a -> a\n"
        "}\n"
    )
    assert _native.compile_policy_json(_native.print_policy(text)) == canonical(text)
