"""The guard core: event mapping, engines by session, decisions and their
texts, redaction, the decision log and telemetry."""

from __future__ import annotations

import io
import json
import threading
from typing import Any

import pytest

from korvanthel_tools.container import encode_container
from korvanthel_tools.guarding import (
    DecisionLog,
    EngineStore,
    Guard,
    PolicyLoadError,
    PolicySource,
    Telemetry,
    join_text,
    redact_arguments,
    tagged_arguments,
    tool_call_fields,
    tool_result_fields,
)
from korvanthel_tools.guarding.pointers import parse_pointer, replace_at
from policies import SECRET_MARK, SOURCE_HASH, guard_policy, guard_policy_json


def test_call_and_result_fields_leave_out_absent_ids() -> None:
    assert tool_call_fields("read_file", {"path": "a"}, server="files", session=None, client="c", agent="a1") == {
        "tool": "read_file", "arguments": {"path": "a"}, "server": "files", "client": "c", "agent": "a1",
    }
    assert tool_result_fields("t", text="x", is_error=True, arguments=None, session="s") == {
        "tool": "t", "arguments": {}, "is_error": True, "text": "x", "session": "s",
    }


@pytest.mark.parametrize(("blocks", "expected"), [
    ([], ""),
    ([{"type": "text", "text": "a"}, {"type": "image", "data": "..."}, {"type": "text", "text": "b"}], "a\nb"),
    ([{"type": "text"}, {"type": "text", "text": 3}, "junk", {"type": "text", "text": ""}], ""),
])
def test_join_text(blocks: list[Any], expected: str) -> None:
    assert join_text(blocks) == expected


@pytest.mark.parametrize(("pointer", "tokens"), [
    ("", ()), ("/a", ("a",)), ("/a/b", ("a", "b")), ("/a~1b/~0c", ("a/b", "~c")), ("/", ("",)),
])
def test_parse_pointer(pointer: str, tokens: tuple[str, ...]) -> None:
    assert parse_pointer(pointer) == tokens


@pytest.mark.parametrize("bad", ["a", "a/b", "/a~2", "/~"])
def test_parse_pointer_refuses(bad: str) -> None:
    with pytest.raises(ValueError, match="not a JSON Pointer"):
        parse_pointer(bad)


@pytest.mark.parametrize(("pointer", "expected"), [
    ("/arguments/password", {"arguments": {"password": "X", "list": [1, {"k": 2}]}}),
    ("/arguments/list/1/k", {"arguments": {"password": "p", "list": [1, {"k": "X"}]}}),
    ("/arguments/list/7", None),
    ("/arguments/list/01", None),
    ("/arguments/password/deeper", None),
    ("/nothing", None),
])
def test_replace_at_copies_only_the_path(pointer: str, expected: dict[str, Any] | None) -> None:
    document = {"arguments": {"password": "p", "list": [1, {"k": 2}]}}
    snapshot = json.dumps(document)
    replaced = replace_at(document, parse_pointer(pointer), "X")
    assert json.dumps(document) == snapshot
    if expected is None:
        assert replaced is document
    else:
        assert replaced == expected


@pytest.mark.parametrize(("names", "expected"), [
    ([], {"token": "[redacted: why]", "url": "[redacted: why]", "headers": "[redacted: why]"}),
    (["token"], {"token": "[redacted: why]", "url": "u", "headers": {"authorization": "b"}}),
    (["/headers/authorization", "missing", "/bad~"], {"token": "t", "url": "u", "headers": {"authorization": "[redacted: why]"}}),
])
def test_redact_arguments(names: list[str], expected: dict[str, Any]) -> None:
    arguments = {"token": "t", "url": "u", "headers": {"authorization": "b"}}
    assert redact_arguments(arguments, names, "why") == expected
    assert arguments == {"token": "t", "url": "u", "headers": {"authorization": "b"}}


def test_tagged_arguments_reads_tag_actions_only() -> None:
    actions = [
        {"verb": "Tag", "args": {"redact": ["a", "/b/c", 3, "a"]}},
        {"verb": "Log", "args": {"redact": "ignored"}},
        {"verb": "Tag", "args": {"redact": "d"}},
        {"verb": "Tag", "args": {"other": "e"}},
    ]
    assert tagged_arguments(actions) == ["a", "/b/c", "d"]


class Clock:
    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        return self.now


def test_engine_store_keys_lru_and_idle() -> None:
    source = PolicySource.from_json(guard_policy_json())
    clock = Clock()
    store = EngineStore(source.new_engine, max_engines=2, idle_seconds=10, clock=clock)
    a = store.get("a")
    assert store.get("a") is a and store.get(None) is not a
    store.get("a")  # "a" is now the most recently used
    store.get("b")  # drops None, the least recently used
    assert len(store) == 2 and store.evicted == 1 and store.get("a") is a
    clock.now = 10.0  # both idle for the limit
    assert store.get("c") is not a and len(store) == 1 and store.evicted == 3
    assert store.drop("c") and not store.drop("c")
    shared = EngineStore(source.new_engine, shared=True)
    assert shared.get("x") is shared.get("y") is shared.get(None)


def test_engine_store_makes_one_engine_per_key_under_threads() -> None:
    source = PolicySource.from_json(guard_policy_json())
    store = EngineStore(source.new_engine)
    seen: list[object] = []
    barrier = threading.Barrier(8)

    def worker() -> None:
        barrier.wait(timeout=10)
        seen.append(store.get("same"))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=10)
    assert len(seen) == 8 and all(engine is seen[0] for engine in seen)


@pytest.mark.parametrize("form", ["object", "array", "container"])
def test_policy_source_reads_name_and_hash(form: str, tmp_path: Any) -> None:
    policy = guard_policy()
    if form == "array":
        metadata = policy["metadata"]
        policy["metadata"] = [metadata["annotations"], metadata["source_hash"], metadata["compiler_version"]]
    data = json.dumps(policy).encode()
    path = tmp_path / "p"
    path.write_bytes(encode_container(data) if form == "container" else data)
    source = PolicySource.from_path(str(path))
    assert (source.name, source.source_hash, source.is_container) == ("mcp-test-guard", SOURCE_HASH, form == "container")
    assert source.new_engine().evaluate("tool_call", {"tool": "shell"})["verdict"] == "deny"


@pytest.mark.parametrize(("data", "message"), [
    (b"\xff\xfe", "not a .zelvoc container and not UTF-8 text"),
    (b"{}", "Invalid policy JSON"),
    (encode_container(b"{"), "Failed to parse policy bytes"),
])
def test_policy_source_refuses(data: bytes, message: str) -> None:
    with pytest.raises(PolicyLoadError, match=message):
        PolicySource.from_bytes(data, origin="in")


def test_policy_source_missing_file() -> None:
    with pytest.raises(PolicyLoadError, match="^/no/such: No such file or directory$"):
        PolicySource.from_path("/no/such")


def test_state_follows_the_session_and_shared_state_joins_them() -> None:
    for shared, expected in ((False, "allow"), (True, "deny")):
        guard = Guard.from_json(guard_policy_json(), shared_state=shared)
        guard.check_result("read_file", f"key {SECRET_MARK}", False, {"path": "k"}, session="one")
        assert guard.check_call("upload", {"url": "https://x"}, session="one").verdict == "deny"
        assert guard.check_call("upload", {"url": "https://x"}, session="two").verdict == expected


@pytest.mark.parametrize(("rate_limit", "calls", "expected"), [
    (None, ("read_file", {"path": "/etc/passwd"}), "system files are off limits"),
    # The reason stated once, in the words that name the event type.
    (1, ("read_file", {"path": "a"}), "rate limit exceeded: 2 tool_call events in 60000 ms (limit 1)"),
    (1, ("read_file", {"path": "/etc/x"}), "system files are off limits "
        "(rate limit exceeded: 2 tool_call events in 60000 ms (limit 1))"),
])
def test_error_text_names_reason_and_violations(rate_limit: int | None, calls: Any, expected: str) -> None:
    guard = Guard.from_json(guard_policy_json(rate_limit=rate_limit))
    guard.check_call("read_file", {"path": "first"})
    decision = guard.check_call(*calls)
    assert decision.blocked and decision.error_text() == expected


def test_invariant_error_text() -> None:
    guard = Guard.from_json(guard_policy_json())
    guard.check_result("read_file", SECRET_MARK, False, {})
    decision = guard.check_call("upload", {})
    assert decision.error_text() == "Invariant violation: no_upload_after_secret (secret_exfiltration)"


def test_unevaluable_event_fails_closed() -> None:
    deep: list[Any] = []
    for _ in range(300):
        deep = [deep]
    decision = Guard.from_json(guard_policy_json()).check_call("t", {"x": deep})
    assert decision.blocked and decision.error is not None
    assert decision.error_text().startswith("the guard could not evaluate this event: RecursionError")


@pytest.mark.parametrize("shadow", [False, True])
def test_shadow_mode_never_enforces(shadow: bool) -> None:
    guard = Guard.from_json(guard_policy_json(), shadow=shadow)
    denied = guard.check_call("shell", {"cmd": "ls"})
    redacted = guard.check_call("upload", {"url": "https://x", "token": "t"})
    assert (denied.verdict, redacted.verdict) == ("deny", "redact")
    assert (denied.blocked, redacted.redacts) == (not shadow, not shadow)
    assert denied.enforced == ("allow" if shadow else "deny")
    assert redacted.redacted_arguments() == {"url": "https://x", "token": "[redacted: tokens are not passed to tools]"}


def test_decision_log_lines_are_masked_and_complete() -> None:
    stream = io.StringIO()
    log = DecisionLog("mem", masks=["/arguments/token", "/arguments/nothing"], stream=stream)
    guard = Guard.from_json(guard_policy_json(), decision_log=log)
    guard.check_call("upload", {"url": "https://x", "token": "t0ken"}, session="s", server="srv")
    assert guard.close() == 0
    record = json.loads(stream.getvalue())
    assert list(record) == [
        "time", "session", "event_type", "fields", "verdict", "enforced", "shadow", "reason", "triggered_rules",
        "actions", "violations", "constraint_violations", "eval_time_us", "policy", "source_hash",
    ]
    assert record["fields"] == {
        "tool": "upload", "arguments": {"url": "https://x", "token": "[masked]"}, "server": "srv", "session": "s",
    }
    assert (record["verdict"], record["triggered_rules"], record["policy"], record["source_hash"]) == (
        "redact", [5], "mcp-test-guard", SOURCE_HASH)
    assert "t0ken" not in stream.getvalue()


class BlockedStream(io.StringIO):
    """A stream whose first write waits until the test lets it go."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.release = threading.Event()

    def write(self, text: str) -> int:
        self.entered.set()
        assert self.release.wait(timeout=10)
        return super().write(text)


def test_decision_log_never_blocks_and_counts_lost_lines() -> None:
    stream = BlockedStream()
    log = DecisionLog("blocked", capacity=2, stream=stream)
    guard = Guard.from_json(guard_policy_json(), decision_log=log)
    guard.check_call("a", {})
    assert stream.entered.wait(timeout=10)  # the writer holds the first line
    for _ in range(5):  # two fit in the queue, three are lost, none waits
        guard.check_call("b", {})
    stream.release.set()
    report = io.StringIO()
    assert log.close(report=report) == 3
    assert report.getvalue() == "korvanthel: decision log blocked: 3 lines lost\n"
    assert len(stream.getvalue().splitlines()) == 3


def test_decision_log_refuses_bad_mask() -> None:
    with pytest.raises(ValueError, match="must start with '/'"):
        DecisionLog("-", masks=["arguments/password"])


def test_telemetry_without_providers_builds_nothing_until_one_is_set(monkeypatch: pytest.MonkeyPatch) -> None:
    """No provider configured: no span is started; a global provider set
    later is picked up at the next look-up."""
    trace = pytest.importorskip("opentelemetry.trace")
    sdk_trace = pytest.importorskip("opentelemetry.sdk.trace")
    telemetry: Any = Telemetry.create()
    started: list[str] = []

    def start_span(name: str, **_: Any) -> Any:
        started.append(name)
        return trace.INVALID_SPAN

    monkeypatch.setattr(telemetry._tracer, "start_span", start_span)
    guard = Guard.from_json(guard_policy_json(), telemetry=telemetry)
    guard.check_call("read_file", {"path": "a"})
    assert started == []
    monkeypatch.setattr(trace, "get_tracer_provider", sdk_trace.TracerProvider)
    telemetry._due_ns = 0  # the look-up is due
    guard.check_call("read_file", {"path": "a"})
    guard.check_call("read_file", {"path": "b"})
    assert started == ["apply_guardrail korvanthel tool_call"] * 2


@pytest.mark.parametrize(("offset_ns", "looked_up"), [(999_999_999, False), (1_000_000_000, True), (-1, True)])
def test_telemetry_look_up_is_due_by_the_decision_stamp(
    monkeypatch: pytest.MonkeyPatch, offset_ns: int, looked_up: bool
) -> None:
    """The global providers are looked up again once a decision ends a
    second or more after the last look-up, or before it (clock set back)."""
    trace = pytest.importorskip("opentelemetry.trace")
    sdk_trace = pytest.importorskip("opentelemetry.sdk.trace")
    telemetry: Any = Telemetry.create()
    decision = Guard.from_json(guard_policy_json()).check_call("read_file", {"path": "a"})
    started: list[str] = []

    def start_span(name: str, **_: Any) -> Any:
        started.append(name)
        return trace.INVALID_SPAN

    monkeypatch.setattr(telemetry._tracer, "start_span", start_span)
    t = 5_000_000_000
    telemetry.record(decision, t, t)  # looks up: nothing set
    monkeypatch.setattr(trace, "get_tracer_provider", sdk_trace.TracerProvider)
    telemetry.record(decision, t, t + offset_ns)
    assert started == (["apply_guardrail korvanthel tool_call"] if looked_up else [])


def test_telemetry_span_and_metrics() -> None:
    sdk_trace = pytest.importorskip("opentelemetry.sdk.trace")
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    exporter = InMemorySpanExporter()
    tracer_provider = sdk_trace.TracerProvider()
    tracer_provider.add_span_processor(SimpleSpanProcessor(exporter))
    reader = InMemoryMetricReader()
    telemetry = Telemetry.create(tracer_provider=tracer_provider, meter_provider=MeterProvider(metric_readers=[reader]))
    guard = Guard.from_json(guard_policy_json(), telemetry=telemetry)
    with tracer_provider.get_tracer("test").start_as_current_span("execute_tool") as parent:
        guard.check_call("shell", {}, session="s1")
        guard.check_call("upload", {"token": "t"}, session="s1")
        guard.check_call("read_file", {"path": "a"})
    spans = [span for span in exporter.get_finished_spans() if span.name != "execute_tool"]
    assert [span.name for span in spans] == ["apply_guardrail korvanthel tool_call"] * 3
    assert all(span.parent is not None and span.parent.span_id == parent.get_span_context().span_id for span in spans)
    attributes = [dict(span.attributes or {}) for span in spans]
    assert [a["gen_ai.security.decision.type"] for a in attributes] == ["deny", "modify", "allow"]
    assert [a["gen_ai.security.decision.reason"] for a in attributes] == ["policy_rule", "policy_rule", "no_rule"]
    assert attributes[0]["gen_ai.security.target.type"] == "tool_call"
    assert attributes[0]["gen_ai.security.policy.name"] == "mcp-test-guard"
    assert attributes[0]["gen_ai.conversation.id"] == "s1" and "gen_ai.conversation.id" not in attributes[2]
    metrics: dict[str, Any] = {}
    data = reader.get_metrics_data()
    assert data is not None
    for resource in data.resource_metrics:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                metrics[metric.name] = metric.data.data_points
    counts = {p.attributes["gen_ai.security.decision.type"]: p.value for p in metrics["korvanthel.guard.decisions"]}
    assert counts == {"deny": 1, "modify": 1, "allow": 1}
    assert sum(p.count for p in metrics["korvanthel.guard.decision.duration"]) == 3
