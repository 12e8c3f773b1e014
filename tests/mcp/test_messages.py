"""Decoding frames and splitting event streams: arbitrary input never
raises, and splitting is lossless whatever the chunking."""

from __future__ import annotations

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvanthel_tools.mcp_proxy.interceptor import redacted_result
from korvanthel_tools.mcp_proxy.messages import decode, id_key, server_name_of
from korvanthel_tools.mcp_proxy.sse import Splitter


@given(st.binary(max_size=300))
def test_decode_never_raises(data: bytes) -> None:
    frame = decode(data)
    assert (frame.error is None) == bool(frame.messages)


@pytest.mark.parametrize(("data", "messages", "batch", "code"), [
    (b'{"id": 1}', [{"id": 1}], False, None),
    (b'[{"id": 1}, {"id": 2}]', [{"id": 1}, {"id": 2}], True, None),
    (b"[]", [], False, -32600),
    (b'[{"id": 1}, 2]', [], False, -32600),
    (b"nul", [], False, -32700),
    (b"\xff", [], False, -32700),
])
def test_decode(data: bytes, messages: list[object], batch: bool, code: int | None) -> None:
    frame = decode(data)
    assert (frame.messages, frame.batch, frame.error_code if frame.error else None) == (messages, batch, code)


JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.text(max_size=5),
                    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
                    max_leaves=12)


@given(st.binary(max_size=200) | JSON.map(lambda value: json.dumps(value).encode()))
def test_exact_decode_reads_what_decode_reads(data: bytes) -> None:
    plain, exact = decode(data), decode(data, exact=True)
    assert json.dumps(plain.messages) == json.dumps(exact.messages) and plain.error == exact.error


@given(st.dictionaries(st.text(max_size=3), JSON, max_size=3), st.text(max_size=3), st.booleans())
def test_exact_decode_flags_a_key_named_twice_at_any_depth(value: dict[str, object], key: str, nested: bool) -> None:
    inner = json.dumps(value)[1:-1]
    name = json.dumps(key)
    twice = "{" + inner + (", " if inner else "") + f"{name}: 1, {name}: 2" + "}"

    def wrap(text: str) -> str:
        return '{"a": [' + text + "]}" if nested else text

    assert decode(wrap(json.dumps(value)).encode(), exact=True).exact
    frame = decode(wrap(twice).encode(), exact=True)
    assert frame.error is None and not frame.exact
    assert not decode("\ufeff{}".encode(), exact=True).exact and decode(b"{}", exact=True).exact


def test_ids_of_different_types_differ() -> None:
    assert id_key(1) != id_key("1") and id_key(1) == id_key(1)


events = st.lists(
    st.tuples(st.sampled_from(["", "id: 7\n", "event: message\n"]), st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters="\r\n"), max_size=30)),
    max_size=6,
)


@given(events, st.lists(st.integers(min_value=1, max_value=17), min_size=1, max_size=8))
def test_splitter_is_lossless_under_any_chunking(items: list[tuple[str, str]], cuts: list[int]) -> None:
    stream = "".join(f"{prefix}data: {data}\n\n" for prefix, data in items).encode()
    splitter = Splitter(1 << 20)
    seen = []
    position = 0
    index = 0
    while position < len(stream):
        step = cuts[index % len(cuts)]
        seen += splitter.feed(stream[position:position + step])
        position += step
        index += 1
    assert splitter.rest() == b""
    assert b"".join(event.raw for event in seen) == stream
    assert [event.data for event in seen] == [data for _, data in items]


@given(st.lists(st.sampled_from([b"data: x", b"\n", b"\r", b"\r\n", b"id: 1", b"data", b":c"]), max_size=30),
       st.lists(st.integers(min_value=1, max_value=9), min_size=1, max_size=6))
def test_splitting_without_cr_is_the_general_scan(pieces: list[bytes], cuts: list[int]) -> None:
    stream = b"".join(pieces)
    general = Splitter(1 << 20)
    general._fast = False
    results = []
    for splitter in (Splitter(1 << 20), general):
        seen, position, index = [], 0, 0
        while position < len(stream):
            seen += splitter.feed(stream[position:position + cuts[index % len(cuts)]])
            position += cuts[index % len(cuts)]
            index += 1
        results.append(([(event.raw, event.data) for event in seen], splitter.rest()))
    assert results[0] == results[1]


def test_event_with_new_data_keeps_other_fields() -> None:
    (event,) = Splitter(1024).feed(b"event: message\nid: 3\ndata: {\"a\":\ndata: 1}\n\n")
    assert event.data == '{"a":\n1}'
    assert event.with_data('{"b":2}') == b'event: message\nid: 3\ndata: {"b":2}\n\n'


def test_splitter_bounds_an_event() -> None:
    with pytest.raises(ValueError, match="longer than 8 bytes"):
        Splitter(8).feed(b"data: 0123456789")


def test_redacted_result_keeps_the_shape_of_structured_content() -> None:
    result = {"content": [{"type": "text", "text": "pw"}, {"type": "image", "data": "x"}], "isError": False,
              "structuredContent": {"result": "pw", "n": 3, "items": ["a", {"b": "c"}]}, "_meta": {"k": 1}}
    assert redacted_result(result, "[redacted]") == {
        "content": [{"type": "text", "text": "[redacted]"}], "isError": False,
        "structuredContent": {"result": "[redacted]", "n": 3, "items": ["[redacted]", {"b": "[redacted]"}]},
        "_meta": {"k": 1},
    }
    assert json.loads(json.dumps(result))["structuredContent"]["result"] == "pw"


@pytest.mark.parametrize(("result", "name"), [
    ({"serverInfo": {"name": "a"}}, "a"),
    ({"_meta": {"io.modelcontextprotocol/serverInfo": {"name": "b"}}}, "b"),
    ({"serverInfo": {"name": 3}}, None),
    ("text", None),
])
def test_server_name_of(result: object, name: str | None) -> None:
    assert server_name_of(result) == name


def test_interceptor_spans_pending_calls_and_cancellation() -> None:
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    from korvanthel_tools.guarding import Guard, Telemetry
    from korvanthel_tools.mcp_proxy.interceptor import Interceptor, ServerIdentity
    from policies import guard_policy_json

    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    guard = Guard.from_json(guard_policy_json(), telemetry=Telemetry.create(tracer_provider=provider))
    interceptor = Interceptor(guard, ServerIdentity("cmd"), session="s")

    def request(request_id: int, tool: str) -> dict[str, object]:
        return {"jsonrpc": "2.0", "id": request_id, "method": "tools/call", "params": {"name": tool, "arguments": {}}}

    with provider.get_tracer("test").start_as_current_span("execute_tool") as parent:
        assert interceptor.from_client(request(1, "read_file")).forward is not None
        reply = {"jsonrpc": "2.0", "id": 1, "result": {"content": [{"type": "text", "text": "ok"}]}}
        assert interceptor.from_server(reply) is None  # allowed: relayed as it is
        denied = interceptor.from_client(request(2, "shell"))
        assert denied.forward is None and denied.reply is not None and denied.reply["result"]["isError"] is True
        interceptor.from_client(request(3, "read_file"))
        interceptor.from_client({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 3}})
        interceptor.from_client(request(4, "read_file"))
    assert list(interceptor.pending) == [("int", "4")]
    assert interceptor.abandon("gone") == [{"jsonrpc": "2.0", "id": 4, "error": {"code": -32603, "message": "gone"}}]
    spans = [span for span in exporter.get_finished_spans() if span.name.startswith("apply_guardrail")]
    assert [(dict(span.attributes or {})["korvanthel.event.type"], dict(span.attributes or {})["gen_ai.security.decision.type"])
            for span in spans] == [("tool_call", "allow"), ("tool_result", "allow"), ("tool_call", "deny"),
                                   ("tool_call", "allow"), ("tool_call", "allow")]
    assert all(span.parent is not None and span.parent.span_id == parent.get_span_context().span_id for span in spans)


@given(st.lists(st.sampled_from([b"data: a", b"data:b", b"id: 1", b": c", b"data", b"", b"\r", b"\n", b"\r\n"]),
                max_size=30),
       st.lists(st.integers(min_value=1, max_value=7), min_size=1, max_size=5))
def test_splitter_sees_the_same_events_whatever_the_line_ends_and_chunking(parts: list[bytes], cuts: list[int]) -> None:
    # Each line end (CR, LF, CRLF) ends a line and a blank line ends an event,
    # as a client's parser has it: a CR at a chunk's end must not be taken
    # for a whole line end before the next chunk shows whether LF follows.
    stream = b"".join(parts)
    whole = Splitter(1 << 20).feed(stream)
    splitter = Splitter(1 << 20)
    seen = []
    position = index = 0
    while position < len(stream):
        step = cuts[index % len(cuts)]
        seen += splitter.feed(stream[position:position + step])
        position += step
        index += 1
    assert [(event.raw, event.data) for event in seen] == [(event.raw, event.data) for event in whole]


@given(st.dictionaries(st.sampled_from(["origin", "host", "authorization", "proxy-authorization"]),
                       st.text(max_size=40), max_size=4),
       st.sampled_from(["127.0.0.1", "::1", "0.0.0.0", "10.1.2.3", "localhost"]))
def test_access_checks_never_raise(headers: dict[str, str], listen: str) -> None:
    from korvanthel_tools.mcp_proxy.access import Access

    refusal = Access(listen, ["https://app.example"], ["name"], b"t" * 16).check(headers)
    assert refusal is None or refusal[0] in (401, 403, 421)
