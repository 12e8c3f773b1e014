"""JSON-RPC messages as the proxy sees them: decoding one frame, and the
replies the proxy writes itself.

The proxy relays messages it does not inspect byte for byte; it decodes
each frame only to find its method and id. Everything it writes of its own
(a denied call's result, a protocol error) is built here.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603

MODERN_VERSION_META_KEY = "io.modelcontextprotocol/protocolVersion"
CLIENT_INFO_META_KEY = "io.modelcontextprotocol/clientInfo"
SERVER_INFO_META_KEY = "io.modelcontextprotocol/serverInfo"


@dataclass(frozen=True)
class Frame:
    """One decoded frame: ``messages`` (one, or the items of a batch), or
    ``error`` with the text of why it is not JSON-RPC."""

    messages: list[dict[str, Any]]
    batch: bool = False
    error: str | None = None
    error_code: int = PARSE_ERROR
    exact: bool = False
    """True when the bytes can only be read as ``messages`` (see ``decode``)."""


def decode(data: bytes | str, *, exact: bool = False) -> Frame:
    """Decode a frame; never raises. With ``exact``, the frame also says
    whether its bytes are unambiguous: UTF-8 without a byte order mark,
    and no object that names a key twice (parsers differ on which of the
    two values counts, so such a frame must not reach another parser as
    it came). That check costs one call per object."""
    duplicate = False

    def pairs_hook(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        nonlocal duplicate
        value = dict(pairs)
        if len(value) != len(pairs):
            duplicate = True
        return value

    text = data
    if exact and isinstance(data, bytes):
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            exact = False  # other encodings JSON allows: read as before, never exact
        else:
            exact = not text.startswith("\ufeff")
    try:
        value = json.loads(text, object_pairs_hook=pairs_hook) if exact else json.loads(data)
    except (ValueError, RecursionError) as exc:
        return Frame([], error=f"Parse error: {_short(str(exc))}")
    exact = exact and not duplicate
    if isinstance(value, dict):
        return Frame([value], exact=exact)
    if isinstance(value, list) and value and all(isinstance(item, dict) for item in value):
        return Frame(value, batch=True, exact=exact)
    return Frame([], error="Invalid Request: expected a JSON-RPC message object", error_code=INVALID_REQUEST)


def encode(message: dict[str, Any] | list[dict[str, Any]]) -> bytes:
    """A message (or a batch) as one line of compact JSON, without the line
    feed. Text that UTF-8 cannot hold (a lone surrogate the input escaped)
    is written escaped, as it came."""
    text = json.dumps(message, ensure_ascii=False, separators=(",", ":"))
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return json.dumps(message, separators=(",", ":")).encode("ascii")


def is_request(message: dict[str, Any]) -> bool:
    """True for a request: a string ``method`` and an ``id`` (a notification has no ``id``)."""
    return isinstance(message.get("method"), str) and "id" in message


def is_response(message: dict[str, Any]) -> bool:
    """True for a response: an ``id`` with ``result`` or ``error`` and no ``method``."""
    return "method" not in message and "id" in message and ("result" in message or "error" in message)


def id_key(request_id: Any) -> tuple[str, str]:
    """A hashable key for a JSON-RPC id (1 and "1" are different ids)."""
    if type(request_id) in (str, int):
        return (type(request_id).__name__, str(request_id))
    return (type(request_id).__name__, json.dumps(request_id))


def error_response(request_id: Any, code: int, message: str) -> dict[str, Any]:
    """A JSON-RPC error response to ``request_id`` (None when the request could not be read)."""
    return {"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}}


def tool_error_result(request_id: Any, text: str, *, modern: bool) -> dict[str, Any]:
    """A ``tools/call`` response that reports failure as a tool result
    (``isError: true``), which the model sees, rather than a protocol error."""
    result: dict[str, Any] = {"content": [{"type": "text", "text": text}], "isError": True}
    if modern:
        result["resultType"] = "complete"
    return {"jsonrpc": "2.0", "id": request_id, "result": result}


def is_modern(request: dict[str, Any]) -> bool:
    """True for a request of the stateless revision (its ``_meta`` names
    the protocol version)."""
    meta = _meta(request)
    return isinstance(meta.get(MODERN_VERSION_META_KEY), str)


def client_name_of(request: dict[str, Any]) -> str | None:
    """The client's name from ``initialize`` params or a stateless request's
    ``_meta``."""
    params = request.get("params")
    if isinstance(params, dict):
        info = params.get("clientInfo")
        if isinstance(info, dict) and isinstance(info.get("name"), str):
            return str(info["name"])
    info = _meta(request).get(CLIENT_INFO_META_KEY)
    if isinstance(info, dict) and isinstance(info.get("name"), str):
        return str(info["name"])
    return None


def server_name_of(result: Any) -> str | None:
    """The server's name from an ``initialize`` result, or from the
    ``_meta`` of a stateless revision's result."""
    if not isinstance(result, dict):
        return None
    info = result.get("serverInfo")
    if not isinstance(info, dict):
        meta = result.get("_meta")
        info = meta.get(SERVER_INFO_META_KEY) if isinstance(meta, dict) else None
    if isinstance(info, dict) and isinstance(info.get("name"), str):
        return str(info["name"])
    return None


def _meta(request: dict[str, Any]) -> dict[str, Any]:
    params = request.get("params")
    meta = params.get("_meta") if isinstance(params, dict) else None
    return meta if isinstance(meta, dict) else {}


def _short(text: str, limit: int = 200) -> str:
    return text if len(text) <= limit else text[:limit] + "..."
