"""The Streamable HTTP relay: an HTTP endpoint in front of an MCP server's
HTTP endpoint.

Before anything else, every request passes the listener's checks
(``access``: Origin, Host, the proxy's token); a refused request reaches
neither the guard nor the upstream. At most ``max_sessions`` requests are
served at once (``503`` beyond).

Every request to the listening address (any path) goes to the upstream URL
with its method and headers (hop-by-hop headers, ``Host`` and the proxy's
token aside; ``Mcp-Session-Id``, ``MCP-Protocol-Version`` and the client's
own ``Authorization`` pass through) and, for a POST, the JSON-RPC messages
the guard judged (as they came when nothing changed and their bytes read
one way only: UTF-8, no key twice in an object; re-encoded otherwise); the
upstream's answer comes back the same way. What the proxy reads on the way:

- a POST body's JSON-RPC messages: a ``tools/call`` the policy denies is
  answered by the proxy itself (``200``, a JSON tool result with
  ``isError: true``) and not forwarded; a redacted one is forwarded with
  its arguments replaced (and its ``Mcp-Param-*`` headers dropped, since
  they would repeat what was redacted);
- the answer's JSON-RPC messages, as the events of a ``text/event-stream``
  (split as clients split them, see ``sse``) or as a body of any other
  type (read whole, within ``max_body``): results of forwarded calls are
  evaluated and replaced when denied or redacted, results that answer no
  request in flight are withheld (see ``interceptor``), events that are
  not JSON-RPC are dropped; every other event passes as it came.

Bounds: a request body over ``max_body`` gets ``413`` (a declared length
over it before anything is read); an upstream answer or event over it
ends that answer with ``502``. The upstream gets ``connect_timeout`` to
accept a connection and ``read_timeout`` between two reads; a timeout is
answered ``504`` with a JSON-RPC error (on an event stream, an error event
for each call still unanswered). Each session tracks at most
``MAX_PENDING_PER_SESSION`` calls in flight; sessions are remembered only
when the upstream assigns them, at most ``max_sessions``.

Sessions: the session is the ``Mcp-Session-Id`` the server assigns at
``initialize`` (revisions up to 2025-11-25); a session id the proxy was not
told of gets a view of its own for that request only. The stateless revision
(2026-07-28) has no session: such requests, and those of a server that
runs without sessions, share the state of one session-less engine. A
``DELETE`` the upstream accepts drops the session's state. With ``--shared-state``
every session shares one engine.

An upstream that cannot be reached gets ``502`` and a JSON-RPC error; the
proxy keeps serving. A malformed POST body is answered ``400`` with a
JSON-RPC parse error and not forwarded. A batch (2025-03-26) that holds a
denied call is not forwarded: its denied calls get their error results and
its other requests a JSON-RPC error saying why.
"""

from __future__ import annotations

import asyncio
import gc
import json
import logging
import signal
import socket
from collections import OrderedDict
from collections.abc import AsyncIterator
from dataclasses import dataclass, field
from typing import Any

from starlette.types import Receive, Scope, Send

from korvanthel_tools.guarding import Guard
from korvanthel_tools.guarding.decision_log import log_context
from korvanthel_tools.mcp_proxy.access import Access
from korvanthel_tools.mcp_proxy.listener import DISCONNECT_HOOK, Server, tls_context
from korvanthel_tools.mcp_proxy.interceptor import DROP, Interceptor, ServerIdentity
from korvanthel_tools.mcp_proxy.messages import (
    INTERNAL_ERROR,
    INVALID_REQUEST,
    decode,
    encode,
    error_response,
    is_request,
)
from korvanthel_tools.mcp_proxy.sse import Event, Splitter
from korvanthel_tools.mcp_proxy.upstream import Upstream, UpstreamError, UpstreamResponse, UpstreamTimeout

logger = logging.getLogger("korvanthel.mcp_proxy")

MAX_BODY = 4 * 1024 * 1024
"""Default bound of a request body, and of an upstream answer or event."""
DEFAULT_CONNECT_TIMEOUT = 10.0
DEFAULT_READ_TIMEOUT = 300.0
MAX_PENDING_PER_SESSION = 1024
WATCH_AFTER = 0.05
"""How long an event stream lasts before the relay watches for the client's disconnect."""
SHUTDOWN_GRACE = 10.0
"""How long requests in flight may take to finish once the proxy is told to stop."""
DISCARD = 1024 * 1024
"""How much of an oversized request body is read (and dropped) before the 413."""
SESSION_HEADER = "mcp-session-id"
HOP_BY_HOP = frozenset({
    "connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer", "trailers",
    "transfer-encoding", "upgrade", "host", "content-length", "accept-encoding", "content-encoding",
})
HOP_BY_HOP_RAW = frozenset(name.encode("ascii") for name in HOP_BY_HOP)
READ_HEADERS = frozenset({b"origin", b"host", b"authorization", b"proxy-authorization", b"mcp-session-id",
                          b"content-length"})
"""The request headers the relay itself reads (access checks, session, body length)."""


class HttpProxy:
    """An ASGI application relaying to ``upstream``, behind the checks of
    ``access`` (origin, host, token; see ``access.py``)."""

    def __init__(
        self,
        guard: Guard,
        upstream: str,
        *,
        max_sessions: int = 4096,
        access: Access | None = None,
        max_body: int = MAX_BODY,
        connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
        read_timeout: float = DEFAULT_READ_TIMEOUT,
    ) -> None:
        self.guard = guard
        self.upstream = upstream
        self.server = ServerIdentity(upstream)
        self.max_sessions = max_sessions
        self.max_body = max_body
        self.read_timeout = read_timeout
        self.access = access if access is not None else Access()
        self.sessions: OrderedDict[str | None, Interceptor] = OrderedDict()
        self.active = 0
        self.client = Upstream(upstream, connect_timeout=connect_timeout, read_timeout=read_timeout)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        # The headers are read once, straight from the scope (names in
        # lower case, as ASGI has them): the first value of each header the
        # relay reads, and every header but the hop-by-hop ones, in order,
        # for the upstream.
        headers: dict[str, str] = {}
        forwarded: list[tuple[str, str]] = []
        for name, value in scope["headers"]:
            if name in READ_HEADERS:
                headers.setdefault(name.decode("latin-1"), value.decode("latin-1"))
            if name not in HOP_BY_HOP_RAW:
                forwarded.append((name.decode("latin-1"), value.decode("latin-1")))
        refusal = self.access.check(headers)
        if refusal is not None:
            status, text, extra = refusal
            logger.warning("refused a request from %s: %s", _address(scope), text)
            response: Answer | _EventStream = _jsonrpc_response(error_response(None, INVALID_REQUEST, text), status, extra)
        elif self.active >= self.max_sessions:
            response = _jsonrpc_response(
                error_response(None, INTERNAL_ERROR, "too many requests in progress; try again later"), 503,
                {"retry-after": "1"})
        else:
            # Decisions made while this request is handled and its answer
            # streamed (results are judged then) name its client.
            self.active += 1
            token = log_context.set({"client_address": _address(scope), "secrets": _credentials(headers)})
            try:
                handled = await self.handle(scope, receive, headers, forwarded)
                if handled is not None:
                    await handled(scope, receive, send)
            finally:
                self.active -= 1
                log_context.reset(token)
            return
        await response(scope, receive, send)

    def interceptor(self, session: str) -> Interceptor:
        """The interceptor of a session the upstream assigned; a request
        naming any other session gets one of its own, kept for that request
        only (nothing a client makes up is remembered)."""
        found = self.sessions.get(session)
        if found is None:
            return Interceptor(self.guard, self.server, session=session, max_pending=MAX_PENDING_PER_SESSION)
        self.sessions.move_to_end(session)
        return found

    def _keep(self, session: str, interceptor: Interceptor) -> None:
        interceptor.session = session
        self.sessions[session] = interceptor
        self.sessions.move_to_end(session)
        while len(self.sessions) > self.max_sessions:
            self.sessions.popitem(last=False)

    async def handle(self, scope: Scope, receive: Receive, headers: dict[str, str],
                     forwarded: list[tuple[str, str]]) -> Answer | _EventStream | None:
        """Answer one HTTP request (None: the client went away while sending
        it): a POST's messages go through the session's interceptor (denied
        calls are answered here, the rest forwarded, changed where the
        policy redacts); other methods are forwarded as they are, and a
        DELETE ends the session's state too."""
        session = headers.get(SESSION_HEADER)
        method = scope["method"]
        forwarded = self.access.upstream_headers(forwarded)
        body = b""
        if method == "POST":
            declared = headers.get("content-length")
            request = scope.get(DISCONNECT_HOOK)
            # Under the relay's own server a body that has arrived whole
            # (nearly all of them) is taken as it is, without ASGI messages.
            whole = request.take_body() if request is not None and (
                declared is None or (declared.strip().isdigit() and int(declared) <= self.max_body)) else None
            try:
                read = (whole if len(whole) <= self.max_body else None) if whole is not None else \
                    await _read_body(receive, declared, self.max_body)
            except _ClientGone:
                return None
            if read is None:
                logger.warning("refused a request body larger than %d bytes from %s", self.max_body,
                               _address(scope))
                return _jsonrpc_response(
                    error_response(None, INVALID_REQUEST, f"Request body larger than {self.max_body} bytes"), 413,
                    {"connection": "close"})
            body = read
        if method != "POST" or not body:
            interceptor = self.sessions.get(session) if session is not None else None
            response = await self.forward(method, forwarded, body,
                                          interceptor or Interceptor(self.guard, self.server, session=session), session)
            if method == "DELETE" and session is not None and 200 <= response.status_code < 300:
                self.sessions.pop(session, None)
                self.guard.end_session(session)
            return response
        frame = decode(body, exact=True)
        if frame.error is not None:
            return _jsonrpc_response(error_response(None, frame.error_code, frame.error), 400)
        # Requests outside a session (the stateless revision, a server
        # without sessions, an initialize before the server names the
        # session) each get their own view: their answers come back on their
        # own response, and their ids may repeat across clients. The state
        # they share is the guard's session-less engine.
        starts = any(message.get("method") == "initialize" for message in frame.messages)
        if starts or session is None:
            interceptor = Interceptor(self.guard, self.server, session=None, max_pending=MAX_PENDING_PER_SESSION)
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
                    interceptor.forget(message)
                    replies.append(error_response(
                        message["id"], INTERNAL_ERROR, "not forwarded: its batch held a tool call the proxy refused"))
            return Answer(200, JSON_TYPE, json.dumps(replies).encode("utf-8"))
        if not forward:
            return Answer(202, [], b"")  # notifications only, all of them dropped
        # What the upstream parses is what was decided: the body as it came
        # when nothing changed and it can be read only one way, else the
        # messages re-encoded.
        if changed or not frame.exact:
            body = encode(forward if frame.batch else forward[0])
        if changed:
            forwarded = [(name, value) for name, value in forwarded if not name.lower().startswith("mcp-param-")]
        sent = [message["id"] for message in forward if is_request(message)]
        return await self.forward("POST", forwarded, body, interceptor, session, starts=starts, sent=sent)

    async def forward(
        self,
        method: str,
        headers: list[tuple[str, str]],
        body: bytes,
        interceptor: Interceptor,
        session: str | None,
        *,
        starts: bool = False,
        sent: list[Any] | None = None,
    ) -> Answer | _EventStream:
        """Send a request upstream and relay the answer: JSON and event
        streams through ``interceptor`` (results evaluated, denied or redacted
        ones replaced), anything else byte for byte; 502 with a JSON-RPC error
        when the server cannot be reached."""
        sent = sent or []
        # An error about the upstream answers the request, when there was one.
        reply_id = sent[0] if len(sent) == 1 else None
        try:
            upstream = await self.client.send(method, headers, body)
        except UpstreamError as exc:
            for request_id in sent:
                interceptor.forget({"id": request_id, "method": ""})
            if isinstance(exc, UpstreamTimeout):
                what = _timeout_text(exc, self.read_timeout)
                logger.error("the MCP server at %s %s", self.upstream, what)
                return _jsonrpc_response(error_response(reply_id, INTERNAL_ERROR, f"the MCP server {what}"), 504)
            logger.error("the MCP server at %s cannot be reached: %s", self.upstream, exc)
            return _jsonrpc_response(
                error_response(None, INTERNAL_ERROR, f"the MCP server cannot be reached: {type(exc).__name__}"), 502)
        new_session = upstream.header(SESSION_HEADER)
        if starts and new_session is not None and 200 <= upstream.status_code < 300:
            self._keep(new_session, interceptor)
        reply_headers = _raw_headers(upstream.headers)
        media = (upstream.header("content-type") or "").split(";")[0].strip().lower()
        if media == "text/event-stream":
            return _EventStream(self, interceptor, upstream, sent, reply_headers)
        # Anything else is read whole (within the body limit) and judged if
        # it holds JSON-RPC, whatever its media type says.
        try:
            data = await _read_upstream(upstream, self.max_body)
        except UpstreamError as exc:
            for request_id in sent:
                interceptor.forget({"id": request_id, "method": ""})
            what = _timeout_text(exc, self.read_timeout) if isinstance(exc, UpstreamTimeout) else \
                f"broke off its answer: {type(exc).__name__}"
            logger.error("the MCP server at %s %s", self.upstream, what)
            return _jsonrpc_response(error_response(reply_id, INTERNAL_ERROR, f"the MCP server {what}"),
                                     504 if isinstance(exc, UpstreamTimeout) else 502)
        finally:
            await upstream.aclose()
        if data is None:
            for request_id in sent:
                interceptor.forget({"id": request_id, "method": ""})
            return _jsonrpc_response(error_response(
                None, INTERNAL_ERROR, f"the MCP server's answer is larger than {self.max_body} bytes"), 502)
        return Answer(upstream.status_code, reply_headers, _rewrite_json(interceptor, data))



class _EventStream:
    """An upstream event stream relayed to the client as it comes, each
    event judged on the way (see ``_judge_event``). Events that arrive
    together leave together, the last one with the end of the answer.
    A client that goes away is noticed at once under the relay's own server
    (it calls back, see ``listener.DISCONNECT_HOOK``); under any other ASGI
    server once the stream has lasted ``WATCH_AFTER`` seconds (then a task
    waits for its disconnect), so that short answers, nearly all of them,
    cost no task of their own."""

    def __init__(self, proxy: HttpProxy, interceptor: Interceptor, upstream: UpstreamResponse, sent: list[Any],
                 headers: list[tuple[bytes, bytes]]) -> None:
        self.proxy = proxy
        self.interceptor = interceptor
        self.upstream = upstream
        self.sent = sent
        self.status_code = upstream.status_code
        self.headers = headers
        self.gone = False
        self.started = False

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        # A POST's stream answers its requests: its headers go with its
        # first events (one send). Other streams start at once.
        self.started = scope["method"] != "POST"
        request = scope.get(DISCONNECT_HOOK)
        if request is not None:
            # The relay's own server calls back when the client goes away,
            # and takes the answer without ASGI messages.
            if self.started:
                request.start(self.status_code, self.headers)
                request.body(b"", True)  # the head, now
            request.on_disconnect = self._gone
            try:
                out = await self._relay(send, request)
            finally:
                request.on_disconnect = None
            if not self.started:
                request.start(self.status_code, self.headers)
            request.body(out, False)
            return
        if self.started:
            await send({"type": "http.response.start", "status": self.status_code, "headers": self.headers})
            await send({"type": "http.response.body", "body": b"", "more_body": True})  # the head, now
        loop = asyncio.get_running_loop()
        watcher: list[asyncio.Task[None]] = []
        timer = loop.call_later(WATCH_AFTER, lambda: watcher.append(loop.create_task(self._watch(receive))))
        try:
            out = await self._relay(send, None)
        finally:
            timer.cancel()
            for task in watcher:
                task.cancel()
        if not self.started:
            await send({"type": "http.response.start", "status": self.status_code, "headers": self.headers})
        await send({"type": "http.response.body", "body": out, "more_body": False})

    async def _watch(self, receive: Receive) -> None:
        while (await receive())["type"] != "http.disconnect":
            pass
        self._gone()

    def _gone(self) -> None:
        self.gone = True
        self.upstream.abort()

    async def _relay(self, send: Send, request: Any) -> bytes:
        """Relay every event but those that end the stream; those are
        returned. ``request``: the relay's own server's exchange, or None."""
        upstream, interceptor = self.upstream, self.interceptor
        splitter = Splitter(self.proxy.max_body)
        out = b""
        try:
            while True:
                chunk = upstream.take()
                if chunk is not None:
                    for event in splitter.feed(chunk):
                        judged = _judge_event(interceptor, event)
                        if judged is not None:
                            out += judged
                elif upstream.finished():
                    return out
                else:
                    if out and request is not None:
                        if not self.started:
                            self.started = True
                            request.start(self.status_code, self.headers)
                        paused = request.body(out, True)
                        out = b""
                        if paused is not None:
                            await paused
                    elif out:
                        if not self.started:
                            self.started = True
                            await send({"type": "http.response.start", "status": self.status_code,
                                        "headers": self.headers})
                        await send({"type": "http.response.body", "body": out, "more_body": True})
                        out = b""
                    await upstream.wait()
        except UpstreamTimeout as exc:
            what = _timeout_text(exc, self.proxy.read_timeout)
            logger.error("the MCP server at %s %s", self.proxy.upstream, what)
            for request_id in self.sent:
                if interceptor.is_pending(request_id):
                    interceptor.forget({"id": request_id, "method": ""})
                    out += _event_of(error_response(request_id, INTERNAL_ERROR, f"the MCP server {what}"))
        except (UpstreamError, ValueError) as exc:
            if not self.gone:
                logger.warning("the MCP server's event stream broke off: %s", exc)
        finally:
            # Calls whose answer has not come yet stay pending: a client that
            # resumes the stream (Last-Event-ID) gets their answers on a GET,
            # and those are evaluated too.
            await upstream.aclose()
        return out


def _judge_event(interceptor: Interceptor, event: Event) -> bytes | None:
    """An event for the client, or None to drop it: events without data
    pass, events whose data is JSON-RPC are judged, others are dropped."""
    if event.data is None:
        return event.raw
    frame = decode(event.data)
    if frame.error is not None:
        logger.warning("dropped an event from the server that is not JSON-RPC")
        return None
    replaced = [interceptor.from_server(message) for message in frame.messages]
    if all(item is None for item in replaced):
        return event.raw
    kept = [old if new is None else new for new, old in zip(replaced, frame.messages) if new is not DROP]
    if not kept:
        return None
    return event.with_data(encode(kept if frame.batch else kept[0]).decode("utf-8"))


def _event_of(message: dict[str, Any]) -> bytes:
    return b"event: message\ndata: " + encode(message) + b"\n\n"


def _rewrite_json(interceptor: Interceptor, data: bytes) -> bytes:
    if not data.strip():
        return data
    frame = decode(data)
    if frame.error is not None:
        return data  # not JSON-RPC: a client takes no result from it
    replaced = [interceptor.from_server(message) for message in frame.messages]
    if all(item is None for item in replaced):
        return data
    kept = [old if new is None else new for new, old in zip(replaced, frame.messages) if new is not DROP]
    if not kept:
        return b""
    return encode(kept if frame.batch else kept[0])


def _timeout_text(exc: Exception, read_timeout: float) -> str:
    if isinstance(exc, UpstreamTimeout) and exc.connect:
        return "did not accept the connection in time (--connect-timeout)"
    return f"did not answer within {read_timeout:g} seconds (--read-timeout)"


async def _read_upstream(upstream: UpstreamResponse, limit: int) -> bytes | None:
    chunks = []
    size = 0
    async for chunk in upstream.chunks():
        size += len(chunk)
        if size > limit:
            return None
        chunks.append(chunk)
    return b"".join(chunks)


class _ClientGone(Exception):
    """The client went away before its request body was read."""


async def _read_body(receive: Receive, declared: str | None, limit: int) -> bytes | None:
    """The body, or None once it is known to exceed ``limit`` (from its
    Content-Length ``declared``, or while it streams in). The rest of an
    oversized body is read and dropped, up to ``DISCARD`` bytes, so that a
    client that is still sending gets the 413 rather than a reset
    connection; nothing of it is kept. ``_ClientGone`` when the client
    disconnects first."""
    if declared is not None and not declared.strip().isdigit():
        return None
    chunks: list[bytes] = []
    size = 0
    length = int(declared) if declared is not None else 0
    over = declared is not None and length > limit
    if over and length > limit + DISCARD:
        return None
    while True:
        message = await receive()
        if message["type"] != "http.request":
            raise _ClientGone()
        chunk = message.get("body", b"")
        size += len(chunk)
        if size > limit:
            if not over:
                chunks.clear()
                over = True
            if size > limit + DISCARD:
                break
        elif chunk:
            chunks.append(chunk)
        if not message.get("more_body", False):
            break
    return None if over else b"".join(chunks)


JSON_TYPE = [(b"content-type", b"application/json")]


class Answer:
    """A whole answer, sent as two ASGI messages (handed straight to the
    relay's own server's exchange under it); a ``Content-Length`` is added
    (but to an answer that has no body by definition)."""

    def __init__(self, status_code: int, headers: list[tuple[bytes, bytes]], body: bytes) -> None:
        self.status_code = status_code
        self.headers = headers
        self.body = body

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Send the answer."""
        headers = self.headers
        if not (self.status_code < 200 or self.status_code in (204, 304)):
            headers = [*headers, (b"content-length", str(len(self.body)).encode("ascii"))]
        request = scope.get(DISCONNECT_HOOK)
        if request is not None:  # the relay's own server: the same, without ASGI messages
            request.start(self.status_code, headers)
            request.body(self.body, False)
            return
        await send({"type": "http.response.start", "status": self.status_code, "headers": headers})
        await send({"type": "http.response.body", "body": self.body, "more_body": False})


def _jsonrpc_response(message: dict[str, Any], status: int, headers: dict[str, str] | None = None) -> Answer:
    extra = [(name.encode("latin-1"), value.encode("latin-1")) for name, value in (headers or {}).items()]
    return Answer(status, [*extra, *JSON_TYPE], encode(message))


def _raw_headers(items: list[tuple[str, str]]) -> list[tuple[bytes, bytes]]:
    return [(name.encode("latin-1"), value.encode("latin-1")) for name, value in items
            if name.lower() not in HOP_BY_HOP]


def _address(scope: Scope) -> str:
    client = scope.get("client")
    if not client:
        return "unknown"
    host, port = client[0], client[1]
    return f"[{host}]:{port}" if ":" in str(host) else f"{host}:{port}"


def _credentials(headers: Any) -> list[str]:
    """The client's credentials for the upstream, which no log may hold."""
    value = headers.get("authorization")
    if not value:
        return []
    parts = [value]
    scheme, _, rest = value.partition(" ")
    if rest.strip():
        parts.append(rest.strip())
    return parts


def parse_listen(text: str) -> tuple[str, int]:
    """``HOST:PORT`` (an IPv6 host may be in brackets) as (host, port); ValueError otherwise."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--listen {text!r}: expected HOST:PORT")
    return host.strip("[]"), int(port)


@dataclass
class HttpOptions:
    """What ``korvanthel mcp-proxy --listen`` was given besides the guard."""

    allow_origins: list[str] = field(default_factory=list)
    allow_hosts: list[str] = field(default_factory=list)
    token: bytes | None = None
    tls_cert: str | None = None
    tls_key: str | None = None
    max_body: int = MAX_BODY
    max_sessions: int = 4096
    connect_timeout: float = DEFAULT_CONNECT_TIMEOUT
    read_timeout: float = DEFAULT_READ_TIMEOUT


async def serve(guard: Guard, listen: str, upstream: str, options: HttpOptions | None = None) -> int:
    """Serve the relay on ``listen`` until SIGINT or SIGTERM, then shut down
    gracefully; 0, or 2 when the address cannot be bound."""
    options = options or HttpOptions()
    host, port = parse_listen(listen)
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, proto=socket.IPPROTO_TCP,
                                   flags=socket.AI_PASSIVE)
        family, _, _, _, address = infos[0]
        # With the protocol named, the event loop turns Nagle's algorithm off
        # on every accepted connection: an answer's headers and its first
        # event leave at once instead of waiting for the client's delayed ACK.
        sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    except OSError as exc:
        logger.error("cannot listen on %s: %s", listen, getattr(exc, "strerror", None) or exc)
        return 2
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(address)
    except OSError as exc:
        sock.close()
        logger.error("cannot listen on %s: %s", listen, exc.strerror or exc)
        return 2
    sock.listen(128)
    sock.setblocking(False)
    access = Access(host, options.allow_origins, options.allow_hosts, options.token)
    try:
        app = HttpProxy(
            guard, upstream, max_sessions=options.max_sessions, access=access, max_body=options.max_body,
            connect_timeout=options.connect_timeout, read_timeout=options.read_timeout,
        )
    except ValueError as exc:
        sock.close()
        logger.error("%s", exc)
        return 2
    tls = None
    if options.tls_cert is not None and options.tls_key is not None:
        try:
            tls = tls_context(options.tls_cert, options.tls_key)
        except (OSError, ValueError) as exc:  # ssl.SSLError is an OSError
            sock.close()
            logger.error("cannot use --tls-cert/--tls-key: %s", getattr(exc, "strerror", None) or exc)
            return 2
    server = Server(app, tls=tls)
    # SIGTERM and SIGINT end the proxy with status 0 after a graceful
    # shutdown: requests in flight get SHUTDOWN_GRACE seconds to finish.
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    bound = sock.getsockname()
    scheme = "https" if tls is not None else "http"
    shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
    # What exists now (modules, the policy, the engine) lives as long as
    # the proxy: the collector need not walk it again on each collection.
    gc.collect()
    gc.freeze()
    # A call leaves a few hundred tracked objects (frames, futures, dicts)
    # that die young; collecting every 700 allocations walked them often.
    gc.set_threshold(20000, 20, 20)
    try:
        await server.start(sock)
        logger.info("listening on %s://%s:%d, relaying to %s", scheme, shown, bound[1], upstream)
        await stop.wait()
        await server.shutdown(SHUTDOWN_GRACE)
    finally:
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(signum)
        await app.client.aclose()
        sock.close()
    return 0


def run_http(guard: Guard, listen: str, upstream: str, options: HttpOptions | None = None) -> int:
    """Serve until SIGINT or SIGTERM; the exit status."""
    try:
        parse_listen(listen)
    except ValueError as exc:
        logger.error("%s", exc)
        return 2
    with asyncio.Runner(loop_factory=_loop_factory()) as runner:
        return runner.run(serve(guard, listen, upstream, options))


def _loop_factory() -> Any:
    """uvloop's event loop (libuv; a third less processor time per relayed
    call) when installed, else asyncio's."""
    try:
        import uvloop
    except ImportError:
        return None
    return uvloop.new_event_loop
