"""Leaks: resident memory stays flat over long runs of successful and of
failing calls, and every object handed to a member has exactly the
reference count it had before, whether the call succeeded or raised."""

import gc
import json
import os
import sys

import pytest

import _korvanthel_core
from conftest import ECHO_POLICY, action, load, lit, policy, ref, rule
from host_values import host_object, nested_lists, self_list
from korvanthel_tools.container import encode_container

PolicyEngine = _korvanthel_core.PolicyEngine
PAGE = os.sysconf("SC_PAGE_SIZE")
TOLERANCE = 1 << 20  # 1 MiB of resident memory over the whole measured run
BLOCK_TOLERANCE = 50  # live interpreter memory blocks: a leak of one object per call shows as RUNS
WARMUP = 1_000
RUNS = 10_000


def under_asan():
    """ASan keeps freed memory in quarantine, so resident size grows by design."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


needs_plain_allocator = pytest.mark.skipif(
    not os.path.exists("/proc/self/statm") or under_asan(),
    reason="resident size is only meaningful with the plain allocator on Linux",
)


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def assert_flat(call):
    """Resident memory (native leaks) and the interpreter's count of live
    memory blocks (leaked host objects, counted exactly) do not grow."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    rss, blocks = resident(), sys.getallocatedblocks()
    for _ in range(RUNS):
        call()
    gc.collect()
    assert resident() - rss < TOLERANCE
    assert sys.getallocatedblocks() - blocks < BLOCK_TOLERANCE


def swallow(call):
    def run():
        try:
            call()
        except BaseException:  # noqa: BLE001 - the failure is the point
            pass

    return run


LONG = "a text long enough to live on the heap rather than inline " * 2
FIELDS = {"v": {"list": [1, 2.5, None, True, LONG, {"deep": [LONG] * 3}], "big": 2**70, "tuple": (1, 2)}}
WINDOWED = policy(
    name="windowed",
    rules=[rule(1, actions=[action("Log", all=ref("Event"), ctx=ref("Context"), text=lit("String", LONG))])],
    constraints=[{"kind": "RateLimit", "target": "tick", "limit": 1, "window_millis": 1}],
    state_machines=[{
        "id": 1, "name": "m", "invariant_name": "i", "kind": "Always",
        "states": [{"id": 0, "label": "a", "kind": "Active"}, {"id": 1, "label": "b", "kind": "Violated"}],
        "transitions": [{"from": 0, "to": 1, "guard": "Always"}],
        "initial_state": 0, "accepting_states": [], "violating_states": [1], "deadline_millis": None,
    }],
)


BAD_JSON = json.dumps(ECHO_POLICY).replace('"High"', '"high"')
BAD_BYTES = encode_container(BAD_JSON.encode())


def succeeding_calls():
    engine = load(WINDOWED)
    engine.set_context("k", {"x": [LONG]})
    return {
        "evaluate": lambda: engine.evaluate("tick", FIELDS),
        "set-context": lambda: engine.set_context("k", FIELDS),
        "set-config": lambda: engine.set_config(LONG, [LONG, 1]),
        "status-repr-count": lambda: (engine.status(), repr(engine), engine.event_count, engine.policy_name),
        "reset": lambda: (engine.evaluate("tick"), engine.reset()),
        "from-json": lambda: PolicyEngine.from_json(json.dumps(WINDOWED)).evaluate("tick"),
    }


def failing_calls():
    engine = load(ECHO_POLICY)
    return {
        "key-type": lambda: engine.evaluate("echo", {"v": 1, 2: 3}),
        "nested-key-type": lambda: engine.set_context("k", [{"a": {5: 1}}]),
        "str-raises": lambda: engine.evaluate("echo", {"v": [1, host_object(__str__=LookupError("no text " * 20))]}),
        "too-deep": lambda: engine.set_config("k", nested_lists(300)),
        "cyclic": lambda: engine.evaluate("echo", {"v": self_list()}),
        "surrogate-key": lambda: engine.evaluate("echo", {"\ud800": 1}),
        "bad-json": lambda: PolicyEngine.from_json(BAD_JSON),
        "bad-bytes": lambda: PolicyEngine.from_bytes(BAD_BYTES),
        "missing-file": lambda: PolicyEngine.from_file("/nonexistent/" + LONG),
        "arg-type": lambda: engine.evaluate(LONG, [1, 2]),
        "unknown-keyword": lambda: engine.set_context(key="k", value=1, extra=LONG),
        "too-many-args": lambda: engine.evaluate("a", None, None),
        "missing-args": lambda: engine.set_config(),
    }


@needs_plain_allocator
@pytest.mark.parametrize("name", list(succeeding_calls()))
def test_memory_flat_over_successful_calls(name):
    assert_flat(succeeding_calls()[name])


@needs_plain_allocator
@pytest.mark.parametrize("name", list(failing_calls()))
def test_memory_flat_over_failing_calls(name):
    assert_flat(swallow(failing_calls()[name]))


def refcount_cases():
    """(name, objects to watch, call) triples; each call gets fresh objects
    that nothing else refers to."""
    engine = load(ECHO_POLICY)
    key = "".join(["ke", "y"])  # not interned
    event_type = "".join(["ec", "ho"])
    thing, raising = host_object(__str__="thing"), host_object(__str__=LookupError("no"))
    big, real = 2**80, 1.25
    inner_list, inner_dict = [thing, big, real], {"a": thing}
    fields = {"v": inner_list, "w": inner_dict}
    bad_fields = {"v": inner_list, "w": {7: thing}}
    text = json.dumps(ECHO_POLICY)
    data = encode_container(text.encode())
    bad_text = BAD_JSON[:]
    return [
        ("evaluate", [event_type, fields, inner_list, inner_dict, thing, big, real],
         lambda: engine.evaluate(event_type, fields)),
        ("evaluate-keywords", [event_type, fields, thing], lambda: engine.evaluate(fields=fields, event_type=event_type)),
        ("evaluate-bad-key", [event_type, bad_fields, inner_list, thing], lambda: engine.evaluate(event_type, bad_fields)),
        ("evaluate-str-raises", [raising, inner_list], lambda: engine.evaluate("echo", {"v": inner_list, "r": raising})),
        ("set-context", [key, fields, inner_list, thing, big], lambda: engine.set_context(key, fields)),
        ("set-config-bad", [key, bad_fields, thing], lambda: engine.set_config(key, bad_fields)),
        ("set-context-raises", [key, raising], lambda: engine.set_context(key, [raising])),
        ("from-json", [text], lambda: PolicyEngine.from_json(text)),
        ("from-json-bad", [bad_text], lambda: PolicyEngine.from_json(bad_text)),
        ("from-bytes", [data], lambda: PolicyEngine.from_bytes(data)),
        ("from-bytes-bad", [data], lambda: PolicyEngine.from_bytes(data[:20])),
        ("from-file-missing", [key], lambda: PolicyEngine.from_file(key)),
        ("wrong-arg-type", [fields, key], lambda: engine.evaluate(fields, key)),
        ("unexpected-keyword", [key, thing], lambda: engine.set_context(key=key, value=thing, other=thing)),
        ("class", [PolicyEngine], lambda: PolicyEngine.from_json(text)),
    ]


@pytest.mark.parametrize("index", range(len(refcount_cases())), ids=[c[0] for c in refcount_cases()])
def test_reference_counts_unchanged(index):
    _, watched, call = refcount_cases()[index]
    run = swallow(call)
    run()  # first call: caches (e.g. a str's UTF-8 form) are filled here
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(50):
        run()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_results_are_owned_only_by_the_caller():
    engine = load(ECHO_POLICY)
    result = engine.evaluate("echo", {"v": [LONG]})
    args = result["actions"][0]["args"]
    # Counted outside the asserts, whose rewriting keeps extra references.
    counts = [sys.getrefcount(result), sys.getrefcount(result["actions"]), sys.getrefcount(args["field"])]
    # The name (or the containing object) and getrefcount's argument; no other owner.
    assert counts == [2, 2, 2]
