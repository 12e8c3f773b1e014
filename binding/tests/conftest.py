"""Shared helpers for the module's tests.

Policies are written as Python dicts in the JSON form the engine decodes
(built with korvanthel_tools.policy_json, re-exported here for the test
modules) and loaded with from_json, so each test states exactly the policy
it relies on.
"""

import json

import pytest

import _korvanthel_core
from korvanthel_tools.policy_json import action, binary, lit, policy, ref, rule, text, verdict  # noqa: F401

HAS_TEST_HOOKS = hasattr(_korvanthel_core, "_test_fault_event_type")

# The fault-injection hook is compiled only into the sanitizer build's module.
needs_test_hooks = pytest.mark.skipif(
    not HAS_TEST_HOOKS,
    reason="runs only in the sanitizer build (scripts/test_sanitizers.sh), whose module has the "
    "fault-injection hook (ZELVO_TEST_HOOKS=ON)",
)


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
