"""Shared helpers for the module's tests: small builders for policy JSON.

Policies are written as Python dicts in the JSON form the engine decodes and
loaded with from_json, so each test states exactly the policy it relies on.
"""

import json

import pytest

import _korvanthel_core

HAS_TEST_HOOKS = hasattr(_korvanthel_core, "_test_fault_event_type")

needs_test_hooks = pytest.mark.skipif(
    not HAS_TEST_HOOKS, reason="module built without ZELVO_TEST_HOOKS (fault injection)"
)


def lit(kind, value):
    return {"Literal": {kind: value}}


def text(value):
    return lit("String", value)


def ref(root, *fields):
    return {"Ref": {"root": root, "fields": list(fields)}}


def binary(op, left, right):
    return {"Binary": {"op": op, "left": left, "right": right}}


def rule(rule_id, on_events=(), condition=None, verdicts=(), actions=()):
    out = {"id": rule_id, "on_events": list(on_events), "verdicts": list(verdicts), "actions": list(actions)}
    if condition is not None:
        out["condition"] = condition
    return out


def verdict(name, message=None):
    return {"verdict": name, "message": message}


def action(verb, **args):
    return {"verb": verb, "args": [[name, expr] for name, expr in args.items()]}


def policy(name="test", rules=(), constraints=(), state_machines=()):
    return {
        "name": name,
        "severity": "High",
        "scopes": [],
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(state_machines),
        "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "test"},
    }


def load(doc):
    return _korvanthel_core.PolicyEngine.from_json(json.dumps(doc))


# An engine whose one rule, for events of type "echo", requests a Log action
# whose arguments are the event's field "v", the context value "k" and the
# configuration value "k": what the binding converted comes straight back.
ECHO_POLICY = policy(
    name="echo",
    rules=[
        rule(
            1,
            on_events=["echo"],
            actions=[action("Log", field=ref("Event", "v"), context=ref("Context", "k"), config=ref("Policy", "k"))],
        ),
        rule(2, on_events=["whole"], actions=[action("Log", event=ref("Event"))]),
    ],
)


@pytest.fixture
def echo_engine():
    return load(ECHO_POLICY)


def echo_args(engine, fields=None):
    """The converted arguments of the echo rule for one evaluation."""
    result = engine.evaluate("echo", fields if fields is not None else {})
    return result["actions"][0]["args"]


def echo(engine, value):
    """The host object that `value` becomes after a round trip as a field."""
    return echo_args(engine, {"v": value})["field"]
