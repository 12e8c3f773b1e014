"""Thread stress: many threads on one engine and on separate engines, with
the interpreter switching threads as often as it can. No crash, no deadlock
(every join has a timeout), no lost or invented events, no cross-talk
between the stores of different threads."""

import sys
import threading

import pytest

import _korvanthel_core
from conftest import action, load, policy, ref, rule

PolicyEngine = _korvanthel_core.PolicyEngine
THREADS = 8
ROUNDS = 300
JOIN_TIMEOUT = 120.0

# Rule 1 returns the whole context and configuration and the event's "n";
# rule 2 fires for "t0"... events; a rate limit makes the window work too.
STRESS_POLICY = policy(
    name="stress",
    rules=[
        rule(1, on_events=["probe"], actions=[action("Log", context=ref("Context"), config=ref("Policy"),
                                                     n=ref("Event", "n"))]),
        rule(2, actions=[action("Tag", n=ref("Event", "n"))]),
    ],
    constraints=[{"kind": "RateLimit", "target": "probe", "limit": 5, "window_millis": 60_000}],
)


@pytest.fixture(autouse=True)
def frequent_switches():
    """Make the interpreter hand the GIL over as often as possible."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(targets):
    """Runs each callable in its own thread; re-raises the first failure;
    fails on any thread still alive after the timeout (a deadlock)."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrapper(target):
        try:
            start.wait()
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=wrapper, args=(t,), daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    alive = [t.name for t in threads if t.is_alive()]
    assert not alive, f"threads still running (deadlock?): {alive}"
    if errors:
        raise errors[0]


def test_shared_engine_counts_exactly_and_keeps_stores_apart():
    engine = load(STRESS_POLICY)

    def worker(index):
        def body():
            key = f"t{index}"
            for n in range(ROUNDS):
                engine.set_context(key, n)
                engine.set_config(key, [index, n])
                result = engine.evaluate("probe", {"n": n, "who": key})
                args = result["actions"][0]["args"]
                # Only this thread writes its key: it must read back its own latest value.
                assert args["context"][key] == n
                assert args["config"][key] == [index, n]
                assert args["n"] == n
                assert result["triggered_rules"] == [1, 2]
                if n % 25 == 0:
                    assert engine.status().startswith("Policy: stress (High)\n")
                    assert engine.event_count >= n + 1
                    assert repr(engine).startswith("<PolicyEngine policy='stress' events=")
                    with pytest.raises(TypeError):
                        engine.evaluate("probe", {"n": {1: 2}})
                    with pytest.raises(TypeError):
                        engine.set_context(key, {2: 3})

        return body

    run_threads([worker(i) for i in range(THREADS)])
    assert engine.event_count == THREADS * ROUNDS
    context = engine.evaluate("probe", {"n": -1})["actions"][0]["args"]["context"]
    assert context == {f"t{i}": ROUNDS - 1 for i in range(THREADS)}


def test_shared_engine_with_resets_under_a_host_lock():
    """Resets interleave with evaluations. The host lock makes "evaluate then
    count" and "reset then zero" atomic, so the count is checkable exactly;
    the engine's own lock is what the calls actually contend on."""
    engine = load(STRESS_POLICY)
    host_lock = threading.Lock()
    counted = [0]

    def worker(index):
        def body():
            for n in range(ROUNDS):
                if (n + index) % 40 == 0:
                    with host_lock:
                        engine.reset()
                        counted[0] = 0
                        assert engine.event_count == 0
                else:
                    with host_lock:
                        engine.evaluate("other", {"n": n})
                        counted[0] += 1
                        assert engine.event_count == counted[0]
                # Outside the host lock: calls that race with everything above.
                engine.set_context(f"t{index}", n)
                engine.status()
                assert engine.policy_name == "stress"

        return body

    run_threads([worker(i) for i in range(THREADS)])
    assert engine.event_count == counted[0]


def test_racing_resets_never_corrupt_the_count():
    """Without any host lock: the count seen is never negative or above the
    number of evaluations made, and a final reset brings it to 0."""
    engine = load(STRESS_POLICY)
    total = THREADS * ROUNDS

    def worker(index):
        def body():
            for n in range(ROUNDS):
                engine.evaluate("probe" if n % 2 else "other", {"n": n})
                if n % 50 == index:
                    engine.reset()
                assert 0 <= engine.event_count <= total

        return body

    run_threads([worker(i) for i in range(THREADS)])
    engine.reset()
    assert engine.event_count == 0
    assert engine.status().endswith("Events processed: 0\n")


def test_separate_engines_share_nothing():
    engines = [load(STRESS_POLICY) for _ in range(THREADS)]

    def worker(index):
        def body():
            engine = engines[index]
            for n in range(ROUNDS):
                engine.set_context("me", index)
                result = engine.evaluate("probe", {"n": n})
                assert result["actions"][0]["args"]["context"] == {"me": index}
                assert engine.event_count == n + 1

        return body

    run_threads([worker(i) for i in range(THREADS)])
    assert [e.event_count for e in engines] == [ROUNDS] * THREADS


def test_engines_made_and_dropped_from_many_threads():
    """Creation and destruction race with use; the class keeps exactly the
    references it had (each instance holds one on its heap type)."""
    import json

    text = json.dumps(STRESS_POLICY)
    baseline = sys.getrefcount(PolicyEngine)
    keep = load(STRESS_POLICY)

    def worker(index):
        def body():
            for n in range(ROUNDS // 3):
                engine = PolicyEngine.from_json(text)
                engine.evaluate("probe", {"n": n})
                keep.evaluate("other")
                assert engine.event_count == 1
                del engine

        return body

    run_threads([worker(i) for i in range(THREADS)])
    assert keep.event_count == THREADS * (ROUNDS // 3)
    del keep
    assert sys.getrefcount(PolicyEngine) == baseline
