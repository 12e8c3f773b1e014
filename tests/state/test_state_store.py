"""The state stores in one process: Redis shared exactly by several
replicas (as by several processes), its failure modes, and the memory
store's choice of what to drop."""

from __future__ import annotations

import io
import json
import random
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools._native import Replayer
from korvanthel_tools.guarding import DecisionLog, Guard, PolicySource, Telemetry
from korvanthel_tools.guarding import redis_store
from korvanthel_tools.guarding.redis_store import RedisStateStore
from korvanthel_tools.guarding.state_store import StateScope
from policies import SECRET_MARK, guard_policy_json
from redis_support import RedisServer

T0 = 1_800_000_000_000
LIMITED = guard_policy_json(rate_limit=10)


def random_event(rng: random.Random, ts: int) -> tuple[int, str, dict[str, Any]]:
    if rng.random() < 0.3:
        text = SECRET_MARK if rng.random() < 0.2 else "fine"
        return ts, "tool_result", {"tool": "read_file", "text": text, "is_error": False, "arguments": {}}
    tool = rng.choice(["read_file", "upload", "shell"])
    return ts, "tool_call", {"tool": tool, "arguments": {"url": "https://x"}}


def one_engine(entries: list[bytes]) -> list[dict[str, Any]]:
    engine = Replayer(LIMITED)
    return [engine.evaluate_at(*json.loads(entry)) for entry in entries]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_replicas_sharing_a_key_give_exactly_one_engines_verdicts(
    seed: int, redis_server: RedisServer, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Small snapshots thresholds: the log is trimmed and late replicas start
    # from a saved state more than once.
    monkeypatch.setattr(redis_store, "SNAPSHOT_MIN_LOG_BYTES", 200)
    source = PolicySource.from_json(LIMITED)
    stores = [RedisStateStore(source, redis_server.url, scope=StateScope("global")) for _ in range(4)]
    rng = random.Random(seed)
    outcomes: list[tuple[int, dict[str, Any], bytes]] = []
    lock = threading.Lock()

    def run(store: RedisStateStore, worker: int) -> None:
        local = random.Random(seed * 100 + worker)
        for _ in range(60):
            ts, event_type, fields = random_event(local, T0 + local.randrange(0, 180_000))
            outcome = store.decide("global", ts, event_type, fields)
            entry = redis_store.encode_entry(ts, event_type, fields)
            with lock:
                outcomes.append((outcome.note["version"], outcome.result, entry))

    threads = [threading.Thread(target=run, args=(store, n)) for n, store in enumerate(stores[:3])]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
        assert not thread.is_alive()
    # A replica that joins late starts from the saved state and the log after it.
    late = stores[3]
    for _ in range(5):
        ts, event_type, fields = random_event(rng, T0 + 200_000)
        outcome = late.decide("global", ts, event_type, fields)
        outcomes.append((outcome.note["version"], outcome.result, redis_store.encode_entry(ts, event_type, fields)))
    assert sum(store.snapshots for store in stores) >= 1

    outcomes.sort(key=lambda item: item[0])
    assert [version for version, _, _ in outcomes] == list(range(1, len(outcomes) + 1))
    expected = one_engine([entry for _, _, entry in outcomes])
    for (version, result, _), want in zip(outcomes, expected):
        assert {**result, "eval_time_us": 0} == {**want, "eval_time_us": 0}, f"version {version}"
    assert any(result["verdict"] == "deny" for _, result, _ in outcomes)
    for store in stores:
        store.close()


def call(guard: Guard, ts: int, tool: str = "read_file") -> Any:
    return guard.check("tool_call", {"tool": tool, "arguments": {}}, ts_ms=ts)


def test_unreachable_redis_denies_in_time_and_decisions_resume(redis_server: RedisServer) -> None:
    sdk_trace = pytest.importorskip("opentelemetry.sdk.trace")
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    exporter = InMemorySpanExporter()
    tracer_provider = sdk_trace.TracerProvider()
    tracer_provider.add_span_processor(SimpleSpanProcessor(exporter))
    stream = io.StringIO()
    guard = Guard.from_json(LIMITED, state=redis_server.url, state_scope="global", state_timeout=0.5,
                            decision_log=DecisionLog("mem", stream=stream),
                            telemetry=Telemetry.create(tracer_provider=tracer_provider))
    for n in range(8):
        assert call(guard, T0 + n).verdict == "allow"
    redis_server.stop()
    started = time.monotonic()
    denied = call(guard, T0 + 8)
    assert time.monotonic() - started < 5  # bounded by the timeout, not a hang
    assert denied.verdict == "deny"
    assert f"the state store {redis_server.url} did not answer within 0.5 s" in (denied.reason or "")
    assert denied.extra["state"] == {"store": "redis", "mode": "unavailable"}
    span = dict(exporter.get_finished_spans()[-1].attributes or {})
    assert (span["korvanthel.state.store"], span["korvanthel.state.mode"]) == ("redis", "unavailable")
    # Back, with its append-only file: the count goes on from 8.
    redis_server.start()
    assert [call(guard, T0 + 9 + n).verdict for n in range(3)] == ["allow", "allow", "deny"]
    # A new guard (a restarted process) reads the same state.
    other = Guard.from_json(LIMITED, state=redis_server.url, state_scope="global")
    assert call(other, T0 + 20).verdict == "deny"
    assert call(other, T0 + 60_011).verdict == "allow"
    guard.close()
    other.close()
    states = [json.loads(line)["state"] for line in stream.getvalue().splitlines()]
    assert [state["mode"] for state in states] == ["shared"] * 8 + ["unavailable"] + ["shared"] * 3
    assert [state.get("version") for state in states if state["mode"] == "shared"] == [*range(1, 9), 9, 10, 11]


def test_local_fallback_then_rebuild_from_redis(redis_server: RedisServer) -> None:
    guard = Guard.from_json(LIMITED, state=redis_server.url, state_scope="global", state_unavailable="local")
    for n in range(9):
        call(guard, T0 + n)
    redis_server.stop()
    local = call(guard, T0 + 9)
    assert (local.verdict, local.extra["state"]["mode"]) == ("allow", "local")
    redis_server.start()
    # The locally decided call was never committed: Redis holds 9 calls.
    shared = call(guard, T0 + 10)
    assert (shared.verdict, shared.extra["state"]) == ("allow", {"store": "redis", "mode": "shared", "version": 10})
    assert call(guard, T0 + 11).verdict == "deny"
    guard.close()


@pytest.mark.parametrize("on_lost", ["deny", "fresh"])
def test_state_lost_by_redis_meets_on_lost_state(on_lost: str, tmp_path: Path) -> None:
    server = RedisServer(tmp_path, appendonly=False)
    server.start()
    try:
        guard = Guard.from_json(LIMITED, state=server.url, state_scope="global", on_lost_state=on_lost)
        assert [call(guard, T0 + n).verdict for n in range(10)] == ["allow"] * 10
        server.stop()
        server.start()  # no append-only file: the state is gone
        after = call(guard, T0 + 10)
        if on_lost == "deny":
            assert after.verdict == "deny" and "was lost by the state store" in (after.reason or "")
            # Every process denies the key now, a new one too.
            other = Guard.from_json(LIMITED, state=server.url, state_scope="global")
            assert call(other, T0 + 11).verdict == "deny"
            other.close()
        else:
            assert (after.verdict, after.extra["state"]["mode"]) == ("allow", "fresh")
        guard.close()
    finally:
        server.stop()


def test_memory_store_drops_what_no_longer_matters_first() -> None:
    guard = Guard.from_json(LIMITED, max_sessions=2, idle_seconds=None)
    upload = {"tool": "upload", "arguments": {"url": "https://x"}}
    secret = {"tool": "read_file", "text": SECRET_MARK, "is_error": False, "arguments": {}}
    assert guard.check("tool_call", upload, session="idle", ts_ms=T0).verdict == "allow"
    assert guard.check("tool_result", secret, session="holder", ts_ms=T0 + 1).verdict == "allow"
    # A minute later the idle session's window has aged out: it goes, not the holder.
    guard.check("tool_call", upload, session="third", ts_ms=T0 + 70_000)
    store = guard.state
    assert store is not None and (store.dropped_idle, store.dropped_live) == (1, 0)  # type: ignore[attr-defined]
    assert guard.check("tool_call", upload, session="holder", ts_ms=T0 + 70_001).verdict == "deny"
    # Every state now matters: the least recently used one ("third") is dropped, counted, remembered.
    guard.check("tool_result", secret, session="fourth", ts_ms=T0 + 70_002)
    assert store.dropped_live == 1  # type: ignore[attr-defined]
    back = guard.check("tool_call", upload, session="third", ts_ms=T0 + 70_003)
    assert back.verdict == "deny" and "was dropped to make room" in (back.reason or "")
    assert back.extra["state"]["mode"] == "lost"
    guard.end_session("third")  # a new session of that name starts over
    assert guard.check("tool_call", upload, session="third", ts_ms=T0 + 70_004).verdict == "allow"


def test_fresh_memory_store_starts_a_dropped_key_over() -> None:
    guard = Guard.from_json(LIMITED, max_sessions=1, idle_seconds=None, on_lost_state="fresh")
    secret = {"tool": "read_file", "text": SECRET_MARK, "is_error": False, "arguments": {}}
    guard.check("tool_result", secret, session="a", ts_ms=T0)
    guard.check("tool_result", secret, session="b", ts_ms=T0)
    again = guard.check("tool_call", {"tool": "upload", "arguments": {}}, session="a", ts_ms=T0)
    assert (again.verdict, again.extra["state"]["mode"]) == ("allow", "fresh")


def test_saved_state_is_bound_to_its_policy() -> None:
    engine = Replayer(LIMITED)
    engine.evaluate_at(T0, "tool_call", {"tool": "x", "arguments": {}})
    saved = engine.save_state()
    other = Replayer(guard_policy_json(rate_limit=11))
    other.evaluate_at(T0, "tool_call", {"tool": "x", "arguments": {}})
    before = other.save_state()
    with pytest.raises(ValueError, match="cannot restore engine state: saved engine state belongs to another policy"):
        other.restore_state(saved)
    with pytest.raises(ValueError, match="damaged"):
        engine.restore_state(saved[:-1] + bytes([saved[-1] ^ 1]))
    assert other.save_state() == before
    copy = Replayer(LIMITED)
    copy.restore_state(saved)
    assert (copy.save_state(), copy.event_count) == (saved, 1)


@pytest.mark.parametrize(("text", "fields", "key"), [
    ("session", {"client": "c"}, "session:s"),
    ("global", {}, "global"),
    ("field:/client", {"client": "c"}, 'field:/client="c"'),
    ("field:arguments/tenant", {"arguments": {"tenant": 7}}, "field:/arguments/tenant=7"),
    ("field:/client", {}, "field:/client"),
])
def test_scopes_name_keys(text: str, fields: dict[str, Any], key: str) -> None:
    assert StateScope.parse(text).key_of(fields, "s") == key


def test_bad_state_options_are_refused() -> None:
    for options in ({"state": "memcached://x"}, {"state_scope": "tenant"}, {"on_lost_state": "maybe"}):
        with pytest.raises(ValueError):
            Guard.from_json(LIMITED, **options)


def test_idle_states_go_only_when_they_no_longer_matter() -> None:
    guard = Guard.from_json(LIMITED, idle_seconds=60)
    upload = {"tool": "upload", "arguments": {"url": "https://x"}}
    secret = {"tool": "read_file", "text": SECRET_MARK, "is_error": False, "arguments": {}}
    guard.check("tool_call", upload, session="idle", ts_ms=T0)
    guard.check("tool_result", secret, session="holder", ts_ms=T0)
    guard.check("tool_call", upload, session="new", ts_ms=T0 + 120_000)
    assert len(guard.engines) == 2
    assert guard.check("tool_call", upload, session="holder", ts_ms=T0 + 120_001).verdict == "deny"
