"""The relay's HTTP/1.1 server against raw clients on loopback: framing,
keep-alive, the head bound, disconnects, shutdown, and bytes at random."""

from __future__ import annotations

import asyncio
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvanthel_tools.mcp_proxy import listener
from korvanthel_tools.mcp_proxy.listener import MAX_HEAD, Server

pytestmark = pytest.mark.anyio
TIMEOUT = 10.0
SEEN: list[str] = []


async def app(scope: Any, receive: Any, send: Any) -> None:
    """Echoes the body; ``/stream`` streams until the client goes away;
    ``/slow`` answers once told to; ``/fail`` raises."""
    path = scope["path"]
    if path == "/fail":
        raise RuntimeError("boom")
    body = b""
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            SEEN.append("disconnect while reading")
            return
        body += message["body"]
        if not message["more_body"]:
            break
    if path == "/stream":
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/event-stream")]})
        await send({"type": "http.response.body", "body": b"data: 1\n\n", "more_body": True})
        SEEN.append((await receive())["type"])
        await send({"type": "http.response.body", "body": b"data: 2\n\n", "more_body": True})
        return
    if path == "/slow":
        await RELEASE.wait()
    headers = [(b"content-length", str(len(body)).encode())] if path != "/chunked" else []
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    await send({"type": "http.response.body", "body": body})


RELEASE = asyncio.Event()
GET = b"GET / HTTP/1.1\r\nhost: x\r\n\r\n"
CASES = [
    # (bytes sent, the answer expected (in full, Date headers removed), connection left open)
    (GET, b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", True),
    (GET + b"POST / HTTP/1.1\r\nhost: x\r\ncontent-length: 3\r\n\r\nabc",
     b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabc", True),
    (b"POST /chunked HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\n2\r\nab\r\n1\r\nc\r\n0\r\n\r\n",
     b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", True),
    (b"POST / HTTP/1.1\r\nhost: x\r\nexpect: 100-continue\r\ncontent-length: 1\r\n\r\n",
     b"HTTP/1.1 100 Continue\r\n\r\n", True),
    (b"GET /chunked HTTP/1.0\r\n\r\n", b"HTTP/1.1 200 OK\r\nconnection: close\r\n\r\n", False),
    (b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n",
     b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\nconnection: close\r\n\r\n", False),
    (b"GET /fail HTTP/1.1\r\n\r\n", listener.SERVER_ERROR, False),
    (b"GET / HTTP/1.1\r\nx-pad: " + b"a" * MAX_HEAD + b"\r\n\r\n", listener.BAD_REQUEST, False),
    (b"GET /" + b"a" * MAX_HEAD + b" HTTP/1.1\r\n\r\n", listener.BAD_REQUEST, False),
    (b"NOT HTTP\r\n\r\n", listener.BAD_REQUEST, False),
    (b"GET / HTTP/1.1\r\nbad header\r\n\r\n", listener.BAD_REQUEST, False),
    (b"POST / HTTP/1.1\r\ncontent-length: 1\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n", listener.BAD_REQUEST, False),
    (b"GET / HTTP/1.1\r\nconnection: upgrade\r\nupgrade: h2c\r\n\r\n", listener.BAD_REQUEST, False),
]


async def started() -> tuple[Server, int]:
    server = Server(app)
    import socket

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen()
    sock.setblocking(False)
    await server.start(sock)
    return server, sock.getsockname()[1]


async def read_all(reader: asyncio.StreamReader, size: int) -> tuple[bytes, bool]:
    """At least ``size`` bytes, or what came before the connection closed; and whether it is still open."""
    data = b""
    while len(data) < size:
        chunk = await asyncio.wait_for(reader.read(65536), TIMEOUT)
        if not chunk:
            return data, False
        data += chunk
    try:
        extra = await asyncio.wait_for(reader.read(1), 0.2)
    except TimeoutError:
        return data, True
    return data + extra, bool(extra)


def undated(data: bytes) -> bytes:
    return b"".join(line for line in data.splitlines(keepends=True) if not line.startswith(b"date: "))


@pytest.mark.parametrize(("sent", "expected", "open_after"), CASES)
async def test_framing_keep_alive_and_refusals(sent: bytes, expected: bytes, open_after: bool) -> None:
    server, port = await started()
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(sent)
        data, still_open = await read_all(reader, len(expected) + (37 * expected.count(b"HTTP/1.1 2")))
        assert undated(data) == expected
        assert still_open == open_after
        writer.close()
    finally:
        await server.shutdown(TIMEOUT)


async def test_disconnects_reach_the_application_and_shutdown_is_graceful() -> None:
    SEEN.clear()
    server, port = await started()
    try:
        # Mid-request: the body never comes whole.
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"POST / HTTP/1.1\r\ncontent-length: 10\r\n\r\nabc")
        await writer.drain()
        writer.close()
        # Mid-stream: the client leaves after the first event.
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"GET /stream HTTP/1.1\r\n\r\n")
        assert b"data: 1" in await asyncio.wait_for(reader.readuntil(b"data: 1\n\n\r\n"), TIMEOUT)
        writer.close()
        async with asyncio.timeout(TIMEOUT):
            while len(SEEN) < 2:
                await asyncio.sleep(0.01)
        assert sorted(SEEN) == ["disconnect while reading", "http.disconnect"]
        # Shutdown: an idle connection is closed at once, a request in
        # flight is answered first.
        idle_reader, _ = await asyncio.open_connection("127.0.0.1", port)
        busy_reader, busy = await asyncio.open_connection("127.0.0.1", port)
        busy.write(b"GET /slow HTTP/1.1\r\n\r\n")
        await busy.drain()
        async with asyncio.timeout(TIMEOUT):
            while not any(conn.current for conn in server.connections):
                await asyncio.sleep(0.01)
        closing = asyncio.create_task(server.shutdown(TIMEOUT))
        assert await asyncio.wait_for(idle_reader.read(), TIMEOUT) == b""
        RELEASE.set()
        answer = await asyncio.wait_for(busy_reader.read(), TIMEOUT)
        assert answer.startswith(b"HTTP/1.1 200 OK\r\n") and b"connection: close\r\n" in answer
        await asyncio.wait_for(closing, TIMEOUT)
    finally:
        RELEASE.clear()
        await server.shutdown(TIMEOUT)


class _Transport(asyncio.Transport):
    def __init__(self) -> None:
        super().__init__()
        self.out: list[bytes] = []
        self.closed = False

    def write(self, data: Any) -> None:
        self.out.append(bytes(data))

    def close(self) -> None:
        self.closed = True

    def is_closing(self) -> bool:
        return self.closed

    def pause_reading(self) -> None:
        pass

    def resume_reading(self) -> None:
        pass

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        return ("127.0.0.1", 1) if name == "peername" else default


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.binary(max_size=64), st.sampled_from([GET, b"\r\n", b"0\r\n\r\n", b"content-length: 5\r\n"])),
                max_size=12))
def test_bytes_at_random_end_in_an_answer_or_a_400(pieces: list[bytes]) -> None:
    async def run() -> None:
        server = Server(app)
        conn = listener.Connection(server)
        transport = _Transport()
        conn.connection_made(transport)
        for piece in pieces:
            if transport.closed:
                break
            conn.data_received(piece)
            await asyncio.sleep(0)
        await asyncio.sleep(0)
        conn.connection_lost(None)
        for _ in range(3):
            await asyncio.sleep(0)
        out = b"".join(transport.out)
        assert not out or out.startswith(b"HTTP/1.1 ")

    asyncio.run(asyncio.wait_for(run(), TIMEOUT))
