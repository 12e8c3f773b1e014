"""How tool calls and tool results become engine events: the one mapping.

Every integration (the MCP proxy, the agent-framework adapters) builds its
events here, so a policy written against these fields works behind any of
them. The README section "How tool calls become events" documents the same
table for policy authors.

``tool_call`` (before the tool runs):

    tool        the tool's name (str)
    arguments   the arguments map exactly as the caller sent it (dict)
    server      the tool server's name, where there is one (str)
    session     the session / conversation / thread identifier (str)
    client      the calling client's name or identifier (str)
    ...         any further identifiers passed as keywords (``agent=...``)

``tool_result`` (after the tool ran, before its output is handed back):

    tool, arguments, server, session, client, ...   as for the call
    is_error    whether the tool reported failure (bool)
    text        the text content of the result, its text blocks joined
                by a line feed (str; "" when it has none)

Identifiers that are ``None`` are left out rather than stored as null: a
policy reading an absent field gets null either way, and the event stays
small. The ``arguments`` value is shared with the caller, not copied;
nothing here or in the engine modifies it.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

TOOL_CALL = "tool_call"
"""Event type of a tool call, evaluated before the tool runs."""

TOOL_RESULT = "tool_result"
"""Event type of a tool's result, evaluated before it reaches the caller."""

TEXT_SEPARATOR = "\n"
"""What joins the text blocks of one result into ``text``."""


def tool_call_fields(
    tool: str,
    arguments: Mapping[str, Any] | None,
    *,
    server: str | None = None,
    session: str | None = None,
    client: str | None = None,
    **ids: Any,
) -> dict[str, Any]:
    """The fields of a ``tool_call`` event."""
    fields: dict[str, Any] = {"tool": tool, "arguments": _as_dict(arguments)}
    _add_ids(fields, server=server, session=session, client=client, ids=ids)
    return fields


def tool_result_fields(
    tool: str,
    *,
    text: str,
    is_error: bool,
    arguments: Mapping[str, Any] | None,
    server: str | None = None,
    session: str | None = None,
    client: str | None = None,
    **ids: Any,
) -> dict[str, Any]:
    """The fields of a ``tool_result`` event."""
    fields: dict[str, Any] = {
        "tool": tool,
        "arguments": _as_dict(arguments),
        "is_error": bool(is_error),
        "text": text,
    }
    _add_ids(fields, server=server, session=session, client=client, ids=ids)
    return fields


def join_text(blocks: Iterable[Mapping[str, Any]]) -> str:
    """The ``text`` of a result given its content blocks as JSON objects
    (``{"type": "text", "text": ...}``); blocks of other types (images,
    resources) contribute nothing."""
    return TEXT_SEPARATOR.join(
        block["text"]
        for block in blocks
        if isinstance(block, Mapping) and block.get("type") == "text" and isinstance(block.get("text"), str)
    )


def _as_dict(arguments: Mapping[str, Any] | None) -> dict[str, Any]:
    if arguments is None:
        return {}
    if isinstance(arguments, dict):
        return arguments
    return dict(arguments)


def _add_ids(
    fields: dict[str, Any],
    *,
    server: str | None,
    session: str | None,
    client: str | None,
    ids: Mapping[str, Any],
) -> None:
    for name, value in (("server", server), ("session", session), ("client", client)):
        if value is not None:
            fields[name] = value
    for name, value in ids.items():
        if value is not None:
            fields[name] = value
