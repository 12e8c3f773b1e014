"""Engine calls through the binding: what a failed call leaves behind, the
poisoned lock, and one engine used from many threads."""

import threading

import pytest

import _korvanthel_core
from conftest import ECHO_POLICY, HAS_TEST_HOOKS, echo_args, load, needs_test_hooks, policy, rule


def test_evaluate_spellings_are_equivalent(echo_engine):
    shapes = [
        echo_engine.evaluate("whole"),
        echo_engine.evaluate("whole", None),
        echo_engine.evaluate("whole", {}),
        echo_engine.evaluate(event_type="whole", fields=None),
        echo_engine.evaluate("whole", fields={}),
    ]
    events = [r["actions"][0]["args"]["event"] for r in shapes]
    assert all(sorted(e) == ["timestamp", "type"] and e["type"] == "whole" for e in events)
    assert echo_engine.event_count == len(shapes)


def test_keywords_bind_like_positions(echo_engine):
    assert echo_args(echo_engine, {"v": 1}) == {"field": 1, "context": None, "config": None}
    result = echo_engine.evaluate(fields={"v": 2}, event_type="echo")
    assert result["actions"][0]["args"]["field"] == 2


def test_counting_repr_and_reset(echo_engine):
    for expected in (1, 2, 3):
        echo_engine.evaluate("x")
        assert echo_engine.event_count == expected
        assert repr(echo_engine) == f"<PolicyEngine policy='echo' events={expected}>"
    assert echo_engine.status().endswith("Events processed: 3\n")
    echo_engine.set_context("k", "kept")
    assert echo_engine.reset() is None
    assert echo_engine.event_count == 0
    assert echo_engine.policy_name == "echo"
    assert echo_args(echo_engine)["context"] == "kept"


def test_policy_name_inserted_verbatim():
    engine = load(policy(name="it's <odd>"))
    assert repr(engine) == "<PolicyEngine policy='it's <odd>' events=0>"


def test_setters_replace_and_stay_apart(echo_engine):
    assert echo_engine.set_context("k", 1) is None
    assert echo_engine.set_config("k", "c") is None
    echo_engine.set_context("k", 2)
    assert echo_args(echo_engine) == {"field": None, "context": 2, "config": "c"}


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.evaluate("echo", {"a": 1, 2: 3}),
        lambda e: e.evaluate("echo", []),
        lambda e: e.evaluate(5),
        lambda e: e.set_context("k", {1: 2}),
        lambda e: e.set_config("k", [{"x": {3: 4}}]),
        lambda e: e.set_context(k=1),
    ],
    ids=["bad-field-key", "fields-list", "event-type-int", "context-key", "config-nested-key", "bad-keyword"],
)
def test_failed_call_changes_nothing(echo_engine, call):
    echo_engine.set_context("k", "ctx")
    echo_engine.set_config("k", "cfg")
    echo_engine.evaluate("x")
    with pytest.raises(TypeError):
        call(echo_engine)
    assert echo_engine.event_count == 1
    assert echo_args(echo_engine) == {"field": None, "context": "ctx", "config": "cfg"}


def test_distinct_engines_share_nothing():
    a, b = load(ECHO_POLICY), load(ECHO_POLICY)
    a.set_context("k", "a")
    a.evaluate("x")
    assert b.event_count == 0
    assert echo_args(b)["context"] is None


def test_threads_calling_one_engine():
    engine = load(policy(rules=[rule(1, on_events=["tick"])]))
    threads, per_thread = 8, 500
    barrier = threading.Barrier(threads)
    failures = []

    def work(n):
        barrier.wait()
        for i in range(per_thread):
            result = engine.evaluate("tick", {"thread": n, "i": i})
            if result["triggered_rules"] != [1]:
                failures.append(result)
            if i % 100 == 0:
                engine.set_context(f"t{n}", i)
                engine.status()

    pool = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert failures == []
    assert engine.event_count == threads * per_thread


# --- the poisoned lock (needs the fault hook of a test build) ------------

POISONED_CALLS = [
    ("evaluate", lambda e: e.evaluate("x")),
    ("evaluate-fields", lambda e: e.evaluate("x", {"a": 1})),
    ("set_context", lambda e: e.set_context("k", 1)),
    ("set_config", lambda e: e.set_config("k", 1)),
    ("reset", lambda e: e.reset()),
    ("status", lambda e: e.status()),
    ("event_count", lambda e: e.event_count),
    ("repr", repr),
]


@pytest.fixture
def poisoned():
    engine = load(ECHO_POLICY)
    engine.evaluate("x")
    with pytest.raises(BaseException) as info:
        engine.evaluate(_korvanthel_core._test_fault_event_type)
    assert str(info.value) == "injected test fault"
    assert type(info.value).__bases__ == (BaseException,)
    assert not isinstance(info.value, Exception)
    return engine


@needs_test_hooks
@pytest.mark.parametrize("call", [c[1] for c in POISONED_CALLS], ids=[c[0] for c in POISONED_CALLS])
def test_poisoned_engine_refuses_every_member(poisoned, call):
    for _ in range(2):  # and keeps refusing: the state is never cleared
        with pytest.raises(RuntimeError) as info:
            call(poisoned)
        assert str(info.value) == "Engine lock poisoned"


@needs_test_hooks
def test_poisoned_engine_still_names_its_policy(poisoned):
    assert poisoned.policy_name == "echo"


@needs_test_hooks
def test_poisoning_is_per_object(poisoned):
    other = load(ECHO_POLICY)
    other.evaluate("x")
    assert other.event_count == 1


@needs_test_hooks
def test_failures_before_the_lock_do_not_hide_poisoning(poisoned):
    # Binding and conversion come first and keep their own errors.
    with pytest.raises(TypeError):
        poisoned.evaluate("x", {1: 2})
    with pytest.raises(RuntimeError):
        poisoned.evaluate("x", {"a": 2})


def test_release_build_has_no_hook_attribute():
    if HAS_TEST_HOOKS:
        pytest.skip("test build")
    assert not [name for name in dir(_korvanthel_core) if "test" in name]
