"""The relay's upstream connections against a scripted HTTP/1.1 server on
loopback: how answers are delimited, when a connection is reused, and the
bounds."""

from __future__ import annotations

import asyncio
from collections.abc import MutableMapping
from typing import Any

import pytest

from korvanthel_tools.mcp_proxy.upstream import MAX_HEAD, Upstream, UpstreamError, UpstreamTimeout

pytestmark = pytest.mark.anyio

ANSWERS = [
    # (method, raw answer, body relayed, connection kept)
    ("POST", b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok", b"ok", True),
    ("POST", b"HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ntransfer-encoding: chunked\r\n\r\n"
             b"6\r\ndata: \r\n3\r\nx\n\n\r\n0\r\n\r\n", b"data: x\n\n", True),
    ("POST", b"HTTP/1.1 103 Early Hints\r\nlink: </a>\r\n\r\nHTTP/1.1 202 Accepted\r\ncontent-length: 0\r\n\r\n", b"", True),
    ("POST", b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 1\r\n\r\nz", b"z", False),
    ("POST", b"HTTP/1.0 200 OK\r\n\r\nuntil the end", b"until the end", False),
    ("HEAD", b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n", b"", False),
]


async def serve(answer: bytes, *, close_after: bool = False) -> tuple[asyncio.Server, list[bytes]]:
    """A server that answers every request with ``answer``; the requests it read."""
    requests: list[bytes] = []

    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = [line for line in head.split(b"\r\n") if line.startswith(b"content-length:")]
                body = await reader.readexactly(int(length[0].split(b":")[1])) if length else b""
                requests.append(head + body)
                writer.write(answer)
                await writer.drain()
                if close_after or b"connection: close" in answer or b"HTTP/1.0" in answer:
                    break
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        writer.close()

    return await asyncio.start_server(handle, "127.0.0.1", 0), requests


async def exchange(upstream: Upstream, method: str = "POST", body: bytes = b"{}") -> tuple[int, bytes]:
    response = await upstream.send(method, [("accept", "application/json")], body if method == "POST" else b"")
    try:
        return response.status_code, b"".join([chunk async for chunk in response.chunks()])
    finally:
        await response.aclose()


@pytest.mark.parametrize(("method", "answer", "body", "kept"), ANSWERS)
async def test_answers_are_delimited_and_connections_kept_only_when_safe(
        method: str, answer: bytes, body: bytes, kept: bool) -> None:
    server, requests = await serve(answer)
    port = server.sockets[0].getsockname()[1]
    upstream = Upstream(f"http://127.0.0.1:{port}/mcp", connect_timeout=5, read_timeout=5)
    try:
        for _ in range(2):
            assert (await asyncio.wait_for(exchange(upstream, method), 10))[1] == body
            assert len(upstream._idle) == (1 if kept else 0)
        # One write per request: its head and body arrive together.
        assert requests[0].startswith(f"{method} /mcp HTTP/1.1\r\nhost: 127.0.0.1:{port}\r\n".encode())
        assert method != "POST" or requests[0].endswith(b"content-length: 2\r\n\r\n{}")
    finally:
        await upstream.aclose()
        server.close()


async def closed(upstream: Upstream) -> None:
    """Until the server's close of every pooled connection has arrived."""
    while not all(connection.closed for connection in upstream._idle):
        await asyncio.sleep(0)


async def test_a_connection_the_server_closed_while_idle_is_replaced() -> None:
    server, requests = await serve(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok", close_after=True)
    upstream = Upstream(f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}/", connect_timeout=5, read_timeout=5)
    try:
        for _ in range(3):
            assert await asyncio.wait_for(exchange(upstream), 10) == (200, b"ok")
            await asyncio.wait_for(closed(upstream), 10)
        assert len(requests) == 3
    finally:
        await upstream.aclose()
        server.close()


async def test_bounds_and_failures() -> None:
    huge, _ = await serve(b"HTTP/1.1 200 OK\r\nx-pad: " + b"a" * MAX_HEAD + b"\r\ncontent-length: 0\r\n\r\n")
    silent, _ = await serve(b"")
    try:
        for server, error in ((huge, UpstreamError), (silent, UpstreamTimeout)):
            upstream = Upstream(f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}/", connect_timeout=5,
                                read_timeout=0.2)
            with pytest.raises(error):
                await asyncio.wait_for(exchange(upstream), 10)
            assert not upstream._idle
        with pytest.raises(UpstreamError):
            await Upstream("http://127.0.0.1:1/", connect_timeout=5, read_timeout=5).send("POST", [], b"")
        with pytest.raises(UpstreamError):
            await Upstream("http://127.0.0.1:1/", connect_timeout=5, read_timeout=5).send(
                "POST", [("x", "a\r\nhost: evil")], b"")
    finally:
        huge.close()
        silent.close()


CALL = b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"read_file","arguments":{"path":"a"}}}'
FORWARDED = [
    # (what the client sent, what the upstream receives)
    (CALL, CALL),
    (b'{"jsonrpc": "2.0", "id": 1,\n "method": "ping"}', b'{"jsonrpc": "2.0", "id": 1,\n "method": "ping"}'),
    # A key named twice reaches the upstream once, with the value the guard read.
    (b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"shell","arguments":{}},"method":"ping"}',
     b'{"jsonrpc":"2.0","id":1,"method":"ping","params":{"name":"shell","arguments":{}}}'),
    (b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"read_file","arguments":{"path":"a","path":"b"}}}',
     b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"read_file","arguments":{"path":"b"}}}'),
]


async def run_asgi(proxy: Any, body: bytes, server: asyncio.Server) -> list[MutableMapping[str, Any]]:
    """The ASGI messages ``proxy`` sends for one POST of ``body``, run as
    another ASGI server would (no exchange of the relay's own server)."""
    incoming = [{"type": "http.request", "body": body, "more_body": False}]
    out: list[MutableMapping[str, Any]] = []

    async def receive() -> dict[str, object]:
        return incoming.pop() if incoming else {"type": "http.disconnect"}

    async def send(message: MutableMapping[str, Any]) -> None:
        out.append(message)

    scope = {"type": "http", "method": "POST", "headers": [(b"content-type", b"application/json")],
             "client": ("127.0.0.1", 1)}
    try:
        await asyncio.wait_for(proxy(scope, receive, send), 10)
    finally:
        await proxy.client.aclose()
        server.close()
    return out


@pytest.mark.parametrize(("sent", "received"), FORWARDED)
async def test_the_relay_forwards_the_bytes_it_decided(sent: bytes, received: bytes) -> None:
    from korvanthel_tools.guarding import Guard
    from korvanthel_tools.mcp_proxy.http import HttpProxy
    from policies import guard_policy_json

    answer = b'{"jsonrpc":"2.0","id":1,"result":{}}'
    server, requests = await serve(b"HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: %d\r\n\r\n%s"
                                   % (len(answer), answer))
    port = server.sockets[0].getsockname()[1]
    out = await run_asgi(HttpProxy(Guard.from_json(guard_policy_json()), f"http://127.0.0.1:{port}/mcp"), sent, server)
    assert requests[0].split(b"\r\n\r\n", 1)[1] == received
    assert out[0]["status"] == 200 and out[1]["body"] == answer


async def test_the_relay_under_another_asgi_server_relays_event_streams() -> None:
    """Without the relay's own server (no exchange in the scope), an event
    stream is answered with ASGI messages: its head, then its events."""
    from korvanthel_tools.guarding import Guard
    from korvanthel_tools.mcp_proxy.http import HttpProxy
    from policies import guard_policy_json

    event = b'event: message\ndata: {"jsonrpc":"2.0","id":1,"result":{}}\n\n'
    server, _ = await serve(b"HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ncontent-length: %d\r\n\r\n%s"
                            % (len(event), event))
    url = f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}/mcp"
    ping = b'{"jsonrpc":"2.0","id":1,"method":"ping"}'
    out = await run_asgi(HttpProxy(Guard.from_json(guard_policy_json()), url), ping, server)
    assert out[0]["type"] == "http.response.start" and out[0]["status"] == 200
    assert b"".join(message.get("body", b"") for message in out[1:]) == event and not out[-1]["more_body"]
