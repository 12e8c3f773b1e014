"""Host values to engine values and back, and the result dictionary.

Conversions are observed through the echo policy: a field, context value
or configuration value comes back as an action argument, so every case
checks the reading that value_from_host chose and what value_to_host made
of it."""

import decimal
import enum
import gc
import os
import math
import weakref

import pytest

import _korvanthel_core
from conftest import (
    action,
    echo,
    echo_args,
    lit,
    load,
    needs_test_hooks,
    policy,
    ref,
    rule,
    text,
    verdict,
)
from host_values import BAD_VALUES, DEPTH_MSG, SneakyDict, SneakyList, SneakyStr, host_object, nested_dicts, nested_lists


class Color(enum.IntEnum):
    RED = 7


# (input, expected output); the output's type is checked too.
ROUND_TRIPS = [
    (None, None),
    (True, True),
    (False, False),
    (1, 1),
    (-(2**63), -(2**63)),
    (2**63 - 1, 2**63 - 1),
    (2**63, float(2**63)),  # beyond 64 bits: the nearest double
    (-(2**63) - 1, float(-(2**63) - 1)),
    (2**1024, str(2**1024)),  # beyond a double: its digits
    (1.0, 1.0),
    (-0.0, -0.0),
    (math.inf, math.inf),
    (Color.RED, 7),  # int subclass
    (host_object(__index__=42), 42),
    (host_object(__float__=2.5), 2.5),
    (decimal.Decimal("1.5"), 1.5),  # __float__ and no __index__
    (host_object(__index__=ValueError("no index"), __float__=ValueError("no float"), __str__="broken"), "broken"),
    ("text", "text"),
    ("\u00e9\u4e2d\U0001f600", "\u00e9\u4e2d\U0001f600"),
    (SneakyStr("stored"), "stored"),  # the stored text, not __str__
    ("a\ud800b", "a\ufffd\ufffd\ufffdb"),  # a lone surrogate: three replacement characters
    ((1, 2), "(1, 2)"),
    (frozenset(), "frozenset()"),
    (b"ab", "b'ab'"),
    (bytearray(b"a"), "bytearray(b'a')"),
    (host_object(__str__="user:1"), "user:1"),
    ([1, "a", None, [2.5]], [1, "a", None, [2.5]]),
    (SneakyList([1, 2]), [1, 2]),
    ({"a": {"b": [True]}}, {"a": {"b": [True]}}),
    (SneakyDict(x=1), {"x": 1}),
    ([], []),
    ({}, {}),
]


@pytest.mark.parametrize("value,expected", ROUND_TRIPS, ids=[repr(c[0])[:40] for c in ROUND_TRIPS])
def test_field_round_trip(echo_engine, value, expected):
    got = echo(echo_engine, value)
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1, got) == math.copysign(1, expected)


def test_nan_passes_through(echo_engine):
    assert math.isnan(echo(echo_engine, math.nan))


def test_numpy_booleans_are_bools(echo_engine):
    np = pytest.importorskip("numpy")
    assert echo(echo_engine, np.True_) is True
    assert echo(echo_engine, np.False_) is False
    assert echo(echo_engine, np.int64(5)) == 5  # through __index__


@pytest.mark.parametrize("target", ["set_context", "set_config"])
def test_setter_values_use_the_same_conversion(echo_engine, target):
    getattr(echo_engine, target)("k", (1, [True, 2**63]))
    args = echo_args(echo_engine)
    stored = args["context" if target == "set_context" else "config"]
    assert stored == "(1, [True, 9223372036854775808])"


def test_set_context_none_stores_null():
    engine = load(policy(rules=[rule(1, condition={"Binary": {"op": "In", "left": text("k"),
                                                                "right": ref("Context")}})]))
    assert engine.evaluate("e")["triggered_rules"] == []
    engine.set_context("k", None)
    assert engine.evaluate("e")["triggered_rules"] == [1]


def test_later_equal_key_replaces_earlier(echo_engine):
    class Key(str):
        pass

    assert echo(echo_engine, {"a": 1, Key("a"): 2}) == {"a": 2}


class ByIdentity(str):
    """A key equal only to itself: a dict may hold two of the same text."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


def reinserted():
    """{"a": x, "b": 1} where converting x removes "a" and adds it again
    behind "b" (the size stays the same): the walk meets "a" twice."""
    value = {}

    class Reinsert:
        def __str__(self):
            del value["a"]
            value["a"] = 2
            return "first"

    value["a"] = Reinsert()
    value["b"] = 1
    return value


@pytest.mark.parametrize(
    "make",
    [
        lambda: {ByIdentity("a"): 1, ByIdentity("a"): 2},
        lambda: {"a": 1, ByIdentity("a"): 2},
        lambda: {ByIdentity("a"): 1, "a": 2},
        reinserted,
        lambda: {**{f"k{i}": i for i in range(20)}, "a": 2},  # looked up through the hash index
    ],
    ids=["two-subclass-keys", "str-then-subclass", "subclass-then-str", "reinserted-during-walk", "many-keys"],
)
@pytest.mark.parametrize("top_level", [False, True])
def test_one_entry_per_key_text(make, top_level):
    # The lookup finds the one entry: the later value replaced the earlier.
    path = ("a",) if top_level else ("v", "a")
    engine = load(policy(rules=[rule(1, on_events=["e"], actions=[action("Log", a=ref("Event", *path))])]))
    fields = make() if top_level else {"v": make()}
    assert engine.evaluate("e", fields)["actions"][0]["args"] == {"a": 2}


class Attributes:
    def __init__(self):
        self.v = {"x": 1}
        self.w = [2]


def with_holes():
    d = {f"gone{i}": i for i in range(6)}
    d["v"] = {"x": 1}
    d["w"] = [2]
    for i in range(6):
        del d[f"gone{i}"]
    return d


def reinserted_key():
    d = {"v": 0, "w": [2]}
    del d["v"]
    d["v"] = {"x": 1}
    return d


@pytest.mark.parametrize(
    "make",
    [lambda: vars(Attributes()), with_holes, reinserted_key, lambda: {"v": with_holes()["v"], "w": [2]}],
    ids=["instance-attributes", "removed-entries", "removed-and-added", "nested"],
)
def test_every_table_layout_reads_alike(echo_engine, make):
    # Dicts whose tables hold removed entries, or share their keys with a
    # class's instances, give the same event as a dict built from scratch.
    fields = make()
    expected = echo_engine.evaluate("whole", {"v": {"x": 1}, "w": [2]})["actions"][0]["args"]["event"]
    event = echo_engine.evaluate("whole", fields)["actions"][0]["args"]["event"]
    del expected["timestamp"], event["timestamp"]
    assert event == expected


def layout_results():
    """Results of the echo and full policies over dicts of every table
    layout, without their times, and whether each result and action dict is
    tracked by the cyclic collector."""
    from conftest import ECHO_POLICY

    echo_engine, full = load(ECHO_POLICY), load(FULL_POLICY)
    makers = [lambda: vars(Attributes()), with_holes, reinserted_key, lambda: {f"k{i}": i for i in range(20)}]
    results = [echo_engine.evaluate("whole", make()) for make in makers]
    results += [full.evaluate("tool_call"), full.evaluate("tool_call", {"v": with_holes()})]
    out = []
    for result in results:
        result.pop("eval_time_us")
        for act in result["actions"]:
            act["args"].get("event", {}).pop("timestamp", None)
        tracked = gc.is_tracked(result) and all(gc.is_tracked(a) for a in result["actions"])
        out.append([result, list(result), tracked])
    return out


@needs_test_hooks
def test_dicts_walked_through_the_c_api_alike():
    # KORVANTHEL_PUBLIC_DICT_API=1 walks every dict with PyDict_Next instead
    # of reading its table in place: the same results, and the same dicts
    # tracked by the cyclic collector.
    import json
    import os
    import subprocess
    import sys

    here = os.path.dirname(os.path.abspath(__file__))
    script = f"import json, sys; sys.path.insert(0, {here!r}); import test_conversion as t; " \
             "print(json.dumps([t._korvanthel_core._test_dicts_in_place, t.layout_results()]))"
    env = {**os.environ, "KORVANTHEL_PUBLIC_DICT_API": "1"}
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [False, json.loads(json.dumps(layout_results()))]


def dicts_in_place_with(value):
    """Whether a fresh process walks dicts in place, with the switch set to
    `value` (None: unset)."""
    import subprocess
    import sys

    env = {k: v for k, v in os.environ.items() if k != "KORVANTHEL_PUBLIC_DICT_API"}
    if value is not None:
        env["KORVANTHEL_PUBLIC_DICT_API"] = value
    done = subprocess.run([sys.executable, "-c", "import _korvanthel_core as m; print(m._test_dicts_in_place)"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return {"True": True, "False": False}[done.stdout.strip()]


@needs_test_hooks
def test_public_dict_switch_values():
    # Any value but "0" or nothing asks for the public path. Unset, a build
    # for CPython 3.11 (this one: the suite runs on 3.11) reads in place.
    import sys

    assert dicts_in_place_with(None) is (sys.version_info[:2] == (3, 11))
    assert [dicts_in_place_with(v) for v in ("1", "yes", "0", "")] == [False, False] + [dicts_in_place_with(None)] * 2


# --- failures -------------------------------------------------------------

@pytest.mark.parametrize("make,error,message", BAD_VALUES)
@pytest.mark.parametrize("via", ["field", "context"])
def test_conversion_failures(echo_engine, make, error, message, via):
    echo_engine.set_context("k", "before")
    value = make()
    with pytest.raises(error) as info:
        if via == "field":
            echo_engine.evaluate("echo", {"v": value})
        else:
            echo_engine.set_context("k", value)
    if message is not None:
        assert str(info.value) == message
    assert echo_engine.event_count == 0
    assert echo_args(echo_engine)["context"] == "before"


def test_top_level_field_key_must_be_str(echo_engine):
    with pytest.raises(TypeError) as info:
        echo_engine.evaluate("echo", {1: "a"})
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"
    assert echo_engine.event_count == 0


@pytest.mark.parametrize("nest", [nested_lists, nested_dicts])
def test_nesting_limit(echo_engine, nest):
    assert echo_engine.evaluate("echo", {"v": nest(200)})["verdict"] == "allow"
    with pytest.raises(RecursionError) as info:
        echo_engine.evaluate("echo", {"v": nest(201)})
    assert str(info.value) == DEPTH_MSG
    with pytest.raises(RecursionError):
        echo_engine.set_config("k", nest(100_000))
    assert echo_engine.event_count == 1


def test_shared_values_are_not_cycles(echo_engine):
    shared = [1]
    assert echo(echo_engine, [shared, shared]) == [[1], [1]]  # shared, not cyclic


def test_list_shrinking_during_conversion(echo_engine):
    items = []

    class Shrinker:
        def __str__(self):
            items.clear()
            return "s"

    items.extend([Shrinker(), 1, 2])
    assert echo(echo_engine, items) == ["s"]


def test_host_code_dropping_the_last_reference_to_read_items(echo_engine):
    # Plain items are read without taking a reference of their own; host
    # code run later in the same walk may free them. What was read stays.
    first, last = "x" * 40 + "first", "y" * 40 + "last"
    items = []
    fields = {}

    class Dropper:
        def __str__(self):
            items[0] = None
            items[2] = "later"
            fields["a"] = "replaced"
            return "d"

    items.extend([first, Dropper(), last])
    first = last = None  # the list and the dict hold the only references
    fields["a"] = "z" * 40 + "kept"
    fields["b"] = items
    assert echo(echo_engine, fields) == {"a": "z" * 40 + "kept", "b": ["x" * 40 + "first", "d", "later"]}


def test_failed_numeric_readings_do_not_leak_errors(echo_engine):
    class Explodes:
        def __index__(self):
            raise KeyboardInterrupt  # discarded like any failed reading

        def __str__(self):
            return "e"

    assert echo(echo_engine, Explodes()) == "e"


# --- result dictionary --------------------------------------------------

RESULT_KEYS = [
    "verdict",
    "reason",
    "triggered_rules",
    "eval_time_us",
    "actions",
    "violations",
    "constraint_violations",
]

FULL_POLICY = policy(
    name="full",
    rules=[
        rule(
            7,
            on_events=["tool_call"],
            verdicts=[verdict("Audit", text("audited"))],
            actions=[action("Tag", label=text("x"), wait=lit("Duration", {"value": 2, "unit": "Seconds"}))],
        )
    ],
    constraints=[{"kind": "RateLimit", "target": "tool_call", "limit": 0, "window_millis": 1000}],
    state_machines=[
        {
            "id": 1,
            "name": "proof",
            "invariant_name": "never_twice",
            "kind": "Never",
            "states": [{"id": 0, "label": "watching", "kind": "Active"}, {"id": 1, "label": "broken", "kind": "Violated"}],
            "transitions": [{"from": 0, "to": 1, "guard": "Always"}],
            "initial_state": 0,
            "accepting_states": [],
            "violating_states": [1],
        }
    ],
)


def test_result_with_every_part():
    result = load(FULL_POLICY).evaluate("tool_call", {})
    assert list(result) == RESULT_KEYS
    assert type(result["eval_time_us"]) is int and result["eval_time_us"] >= 0
    del result["eval_time_us"]
    assert result == {
        "verdict": "deny",
        "reason": "RateLimit exceeded: 1 events in 1000ms window (limit: 0)",
        "triggered_rules": [7],
        "actions": [{"verb": "Tag", "args": {"label": "x", "wait": 2000}}],
        "violations": [
            {
                "proof": "proof",
                "invariant": "never_twice",
                "kind": "Never",
                "message": "Invariant `never_twice` in proof `proof` violated by event `tool_call`",
            }
        ],
        "constraint_violations": [
            {"kind": "RateLimit", "target": "tool_call", "limit": 0, "current": 1, "window_ms": 1000}
        ],
    }
    action_dict = result["actions"][0]
    assert list(action_dict) == ["verb", "args"]
    assert list(result["violations"][0]) == ["proof", "invariant", "kind", "message"]
    assert list(result["constraint_violations"][0]) == ["kind", "target", "limit", "current", "window_ms"]


def test_empty_result():
    result = load(policy()).evaluate("anything")
    assert list(result) == RESULT_KEYS
    del result["eval_time_us"]
    assert result == {
        "verdict": "allow",
        "reason": None,
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [],
    }


@pytest.mark.parametrize("name", ["Allow", "Deny", "Audit", "Redact"])
def test_verdicts_in_lower_case(name):
    engine = load(policy(rules=[rule(1, verdicts=[verdict(name)])]))
    assert engine.evaluate("e")["verdict"] == name.lower()


def test_results_are_fresh_objects():
    engine = load(FULL_POLICY)
    first = engine.evaluate("tool_call")
    first["actions"][0]["args"]["label"] = "changed"
    assert engine.evaluate("tool_call")["actions"][0]["args"]["label"] == "x"


def test_action_dicts_are_plain_independent_dicts():
    # Action dicts are filled in place from a shared template too.
    engine = load(FULL_POLICY)
    first, second = (engine.evaluate("tool_call")["actions"][0] for _ in range(2))
    assert type(first) is dict and gc.is_tracked(first) and first is not second
    assert list(first) == ["verb", "args"] and first == second
    first["verb"] = "changed"
    del first["args"]
    first["more"] = [1]
    assert first == {"verb": "changed", "more": [1]}
    assert engine.evaluate("tool_call")["actions"][0] == second == {"verb": "Tag", "args": {"label": "x", "wait": 2000}}


@pytest.mark.parametrize("name", ["Allow", "Deny", "Audit", "Redact"])
def test_results_are_plain_independent_dicts(name):
    # Results are filled in place from shared templates: each must be a
    # dict of its own, tracked by the cyclic collector (it holds lists),
    # that behaves like any other dict when changed.
    engine = load(policy(rules=[rule(1, verdicts=[verdict(name)])]))
    first, second = engine.evaluate("e"), engine.evaluate("e")
    assert type(first) is dict and gc.is_tracked(first)
    assert first is not second
    assert {**first, "eval_time_us": 0} == {**second, "eval_time_us": 0}
    for key in RESULT_KEYS:
        assert first[key] is not second[key] or type(first[key]) is not list
    first["verdict"] = "changed"
    first["triggered_rules"].append(99)
    del first["reason"]
    first["extra"] = 1
    assert list(first) == [k for k in RESULT_KEYS if k != "reason"] + ["extra"]
    assert second["verdict"] == name.lower() and second["triggered_rules"] == [1] and second["reason"] is None
    third = engine.evaluate("e")
    assert list(third) == RESULT_KEYS and third["verdict"] == name.lower()
    # A cycle through a result is collected: the collector sees its lists.
    class Marker:
        pass

    cycle, marker = engine.evaluate("e"), Marker()
    cycle["actions"].append(marker)
    marker.back = cycle
    gone = weakref.ref(marker)
    del cycle, marker
    gc.collect()
    assert gone() is None


def test_event_timestamp_is_wall_clock_ms(echo_engine):
    import time

    before = int(time.time() * 1000)
    event = echo_engine.evaluate("whole", {"a": 1})["actions"][0]["args"]["event"]
    after = int(time.time() * 1000)
    assert event["type"] == "whole" and event["a"] == 1
    assert before <= event["timestamp"] <= after
