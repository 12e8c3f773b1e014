"""The Streamable HTTP relay: an HTTP endpoint in front of an MCP server's
HTTP endpoint.

Every request to the listening address (any path) goes to the upstream URL
with its method, body and headers (hop-by-hop headers and ``Host`` aside;
``Mcp-Session-Id``, ``MCP-Protocol-Version`` and ``Authorization`` pass
through), and the upstream's answer comes back the same way, streamed.
What the proxy reads on the way:

- a POST body's JSON-RPC messages: a ``tools/call`` the policy denies is
  answered by the proxy itself (``200``, a JSON tool result with
  ``isError: true``) and not forwarded; a redacted one is forwarded with
  its arguments replaced (and its ``Mcp-Param-*`` headers dropped, since
  they would repeat what was redacted);
- the answer's JSON-RPC messages, as ``application/json`` or as the events
  of a ``text/event-stream``: results of forwarded calls are evaluated and
  replaced when denied or redacted; every other event passes byte for byte.

Sessions: the session is the ``Mcp-Session-Id`` the server assigns at
``initialize`` (revisions up to 2025-11-25). The stateless revision
(2026-07-28) has no session: such requests, and those of a server that
runs without sessions, share the state of one session-less engine. A
``DELETE`` that ends a session drops its state. With ``--shared-state``
every session shares one engine.

An upstream that cannot be reached gets ``502`` and a JSON-RPC error; the
proxy keeps serving. A malformed POST body is answered ``400`` with a
JSON-RPC parse error and not forwarded. A batch (2025-03-26) that holds a
denied call is not forwarded: its denied calls get their error results and
its other requests a JSON-RPC error saying why.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import signal
import socket
from collections import OrderedDict
from collections.abc import AsyncIterator
from typing import Any

import httpx2
import uvicorn
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse
from starlette.types import Receive, Scope, Send

from korvanthel_tools.guarding import Guard
from korvanthel_tools.mcp_proxy.interceptor import Interceptor, ServerIdentity
from korvanthel_tools.mcp_proxy.messages import (
    INTERNAL_ERROR,
    PARSE_ERROR,
    decode,
    encode,
    error_response,
    id_key,
    is_request,
)
from korvanthel_tools.mcp_proxy.sse import Splitter

logger = logging.getLogger("korvanthel.mcp_proxy")

MAX_BODY = 64 * 1024 * 1024
SESSION_HEADER = "mcp-session-id"
HOP_BY_HOP = frozenset({
    "connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer", "trailers",
    "transfer-encoding", "upgrade", "host", "content-length", "accept-encoding", "content-encoding",
})


class HttpProxy:
    """An ASGI application relaying to ``upstream``."""

    def __init__(self, guard: Guard, upstream: str, *, max_sessions: int = 4096) -> None:
        self.guard = guard
        self.upstream = upstream
        self.server = ServerIdentity(upstream)
        self.max_sessions = max_sessions
        self.sessions: OrderedDict[str | None, Interceptor] = OrderedDict()
        self.client = httpx2.AsyncClient(timeout=httpx2.Timeout(10.0, read=None), follow_redirects=False)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        request = Request(scope, receive)
        response = await self.handle(request)
        await response(scope, receive, send)

    def interceptor(self, session: str | None) -> Interceptor:
        """The interceptor of an MCP session, made on its first request; the
        least recently used one is forgotten beyond ``max_sessions``."""
        found = self.sessions.get(session)
        if found is None:
            found = Interceptor(self.guard, self.server, session=session)
            self.sessions[session] = found
            while len(self.sessions) > self.max_sessions:
                self.sessions.popitem(last=False)
        self.sessions.move_to_end(session)
        return found

    async def handle(self, request: Request) -> Response:
        """Answer one HTTP request: a POST's messages go through the session's
        interceptor (denied calls are answered here, the rest forwarded,
        changed where the policy redacts); other methods are forwarded as they
        are, and a DELETE ends the session's state too."""
        session = request.headers.get(SESSION_HEADER)
        headers = _forwarded_headers(request.headers.items())
        body = b""
        if request.method == "POST":
            read = await _read_body(request)
            if read is None:
                return _jsonrpc_response(error_response(None, -32600, f"Request body larger than {MAX_BODY} bytes"), 413)
            body = read
        if request.method != "POST" or not body:
            if request.method == "DELETE" and session is not None:
                self.sessions.pop(session, None)
                self.guard.end_session(session)
            return await self.forward(request.method, headers, body, None, session)
        frame = decode(body)
        if frame.error is not None:
            return _jsonrpc_response(error_response(None, frame.error_code, frame.error), 400)
        # Requests outside a session (the stateless revision, a server
        # without sessions, an initialize before the server names the
        # session) each get their own view: their answers come back on their
        # own response, and their ids may repeat across clients. The state
        # they share is the guard's session-less engine.
        starts = any(message.get("method") == "initialize" for message in frame.messages)
        if starts or session is None:
            interceptor = Interceptor(self.guard, self.server, session=None)
        else:
            interceptor = self.interceptor(session)
        forward: list[dict[str, Any]] = []
        replies: list[dict[str, Any]] = []
        changed = False
        for message in frame.messages:
            outcome = interceptor.from_client(message)
            if outcome.reply is not None:
                replies.append(outcome.reply)
            if outcome.forward is not None:
                forward.append(outcome.forward)
            changed = changed or outcome.changed or outcome.forward is None
        if replies:
            if not frame.batch:
                return _jsonrpc_response(replies[0], 200)
            for message in forward:
                if is_request(message):
                    interceptor.pending.pop(id_key(message["id"]), None)
                    replies.append(error_response(
                        message["id"], INTERNAL_ERROR, "not forwarded: its batch held a tool call the policy denies"))
            return Response(json.dumps(replies), 200, media_type="application/json")
        if changed:
            body = encode(forward[0] if not frame.batch else forward)  # type: ignore[arg-type]
            headers = [(name, value) for name, value in headers if not name.lower().startswith("mcp-param-")]
        sent_ids = [id_key(message["id"]) for message in forward if is_request(message)]
        return await self.forward("POST", headers, body, interceptor, session, starts=starts, sent_ids=sent_ids)

    async def forward(
        self,
        method: str,
        headers: list[tuple[str, str]],
        body: bytes,
        interceptor: Interceptor | None,
        session: str | None,
        *,
        starts: bool = False,
        sent_ids: list[tuple[str, str]] | None = None,
    ) -> Response:
        """Send a request upstream and relay the answer: JSON and event
        streams through ``interceptor`` (results evaluated, denied or redacted
        ones replaced), anything else byte for byte; 502 with a JSON-RPC error
        when the server cannot be reached."""
        if interceptor is None and session in self.sessions:
            interceptor = self.sessions[session]
        try:
            upstream_request = self.client.build_request(method, self.upstream, headers=headers, content=body)
            upstream = await self.client.send(upstream_request, stream=True)
        except httpx2.HTTPError as exc:
            if interceptor is not None:
                for key in sent_ids or []:
                    interceptor.pending.pop(key, None)
            logger.error("the MCP server at %s cannot be reached: %s", self.upstream, exc)
            return _jsonrpc_response(
                error_response(None, INTERNAL_ERROR, f"the MCP server cannot be reached: {type(exc).__name__}"), 502)
        new_session = upstream.headers.get(SESSION_HEADER)
        if starts and interceptor is not None and new_session is not None:
            interceptor.session = new_session
            self.sessions[new_session] = interceptor
            self.sessions.move_to_end(new_session)
        reply_headers = _forwarded_headers(upstream.headers.multi_items())
        media = upstream.headers.get("content-type", "").split(";")[0].strip().lower()
        if interceptor is None or media not in ("application/json", "text/event-stream"):
            return StreamingResponse(_raw(upstream), upstream.status_code, headers=dict(reply_headers))
        if media == "application/json":
            try:
                data = await upstream.aread()
            finally:
                await upstream.aclose()
            return Response(_rewrite_json(interceptor, data), upstream.status_code, headers=dict(reply_headers))
        return StreamingResponse(
            _rewrite_events(interceptor, upstream), upstream.status_code, headers=dict(reply_headers)
        )


async def _raw(upstream: httpx2.Response) -> AsyncIterator[bytes]:
    try:
        async for chunk in upstream.aiter_raw():
            yield chunk
    finally:
        await upstream.aclose()


def _rewrite_json(interceptor: Interceptor, data: bytes) -> bytes:
    frame = decode(data)
    if frame.error is not None:
        return data
    replaced = [interceptor.from_server(message) for message in frame.messages]
    if all(item is None for item in replaced):
        return data
    merged = [new or old for new, old in zip(replaced, frame.messages)]
    return encode(merged if frame.batch else merged[0])  # type: ignore[arg-type]


async def _rewrite_events(interceptor: Interceptor, upstream: httpx2.Response) -> AsyncIterator[bytes]:
    splitter = Splitter(MAX_BODY)
    try:
        async for chunk in upstream.aiter_raw():
            for event in splitter.feed(chunk):
                if event.data is None:
                    yield event.raw
                    continue
                frame = decode(event.data)
                replaced = [interceptor.from_server(message) for message in frame.messages]
                if frame.error is not None or all(item is None for item in replaced):
                    yield event.raw
                    continue
                merged = [new or old for new, old in zip(replaced, frame.messages)]
                yield event.with_data(encode(merged if frame.batch else merged[0]).decode("utf-8"))  # type: ignore[arg-type]
        rest = splitter.rest()
        if rest:
            yield rest
    except (httpx2.HTTPError, ValueError) as exc:
        logger.warning("the MCP server's event stream broke off: %s", exc)
    finally:
        # Calls whose answer has not come yet stay pending: a client that
        # resumes the stream (Last-Event-ID) gets their answers on a GET,
        # and those are evaluated too.
        await upstream.aclose()


def _forwarded_headers(items: Any) -> list[tuple[str, str]]:
    return [(name, value) for name, value in items if name.lower() not in HOP_BY_HOP]


async def _read_body(request: Request) -> bytes | None:
    chunks = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > MAX_BODY:
            return None
        chunks.append(chunk)
    return b"".join(chunks)


def _jsonrpc_response(message: dict[str, Any], status: int) -> Response:
    return Response(encode(message), status, media_type="application/json")


def parse_listen(text: str) -> tuple[str, int]:
    """``HOST:PORT`` (an IPv6 host may be in brackets) as (host, port); ValueError otherwise."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--listen {text!r}: expected HOST:PORT")
    return host.strip("[]"), int(port)


async def serve(guard: Guard, listen: str, upstream: str) -> int:
    """Serve the relay on ``listen`` until SIGINT or SIGTERM, then shut down
    gracefully; 0, or 2 when the address cannot be bound."""
    host, port = parse_listen(listen)
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError as exc:
        sock.close()
        logger.error("cannot listen on %s: %s", listen, exc.strerror or exc)
        return 2
    sock.listen(128)
    sock.setblocking(False)
    app = HttpProxy(guard, upstream, max_sessions=guard.engines._max)  # noqa: SLF001
    config = uvicorn.Config(app, lifespan="off", log_level="warning", access_log=False)
    server = uvicorn.Server(config)
    # SIGTERM and SIGINT end the proxy with status 0 after a graceful
    # shutdown, rather than being raised again once the server stops.
    server.capture_signals = contextlib.nullcontext  # type: ignore[method-assign,assignment]
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, setattr, server, "should_exit", True)
    bound = sock.getsockname()
    logger.info("listening on http://%s:%d, relaying to %s", bound[0], bound[1], upstream)
    try:
        await server.serve(sockets=[sock])
    finally:
        await app.client.aclose()
        sock.close()
    return 0


def run_http(guard: Guard, listen: str, upstream: str) -> int:
    """Serve until SIGINT or SIGTERM; the exit status."""
    try:
        parse_listen(listen)
    except ValueError as exc:
        logger.error("%s", exc)
        return 2
    return asyncio.run(serve(guard, listen, upstream))
