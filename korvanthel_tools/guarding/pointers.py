"""JSON Pointers (RFC 6901) into event fields and tool arguments: parsing,
and replacing the value a pointer names in a copy of a document.

``"/arguments/password"`` names ``fields["arguments"]["password"]``; ``~1``
stands for ``/`` and ``~0`` for ``~`` inside a token; list items are named
by their decimal index. The empty pointer names the whole document.
"""

from __future__ import annotations

from typing import Any


def parse_pointer(text: str) -> tuple[str, ...]:
    """The pointer's reference tokens; ValueError when ``text`` is not a
    JSON Pointer (it must be empty or start with ``/``, and ``~`` must be
    followed by ``0`` or ``1``)."""
    if text == "":
        return ()
    if not text.startswith("/"):
        raise ValueError(f"{text!r} is not a JSON Pointer: it must start with '/'")
    tokens = []
    for raw in text[1:].split("/"):
        rest = raw.replace("~0", "").replace("~1", "")
        if "~" in rest:
            raise ValueError(f"{text!r} is not a JSON Pointer: '~' must be followed by 0 or 1")
        tokens.append(raw.replace("~1", "/").replace("~0", "~"))
    return tuple(tokens)


def replace_at(document: Any, tokens: tuple[str, ...], value: Any) -> Any:
    """``document`` with the value at ``tokens`` replaced by ``value``.

    Only the dicts and lists on the pointer's path are copied; the input is
    never modified. A pointer that names nothing (a missing key, an index
    out of range, a step into a scalar) leaves the document as it is, and
    the same object is returned.
    """
    if not tokens:
        return value
    head, rest = tokens[0], tokens[1:]
    if isinstance(document, dict):
        if head not in document:
            return document
        child = replace_at(document[head], rest, value)
        if child is document[head] and rest:
            return document
        copied = dict(document)
        copied[head] = child
        return copied
    if isinstance(document, list):
        if not head.isdigit() or (len(head) > 1 and head.startswith("0")) or int(head) >= len(document):
            return document
        index = int(head)
        child = replace_at(document[index], rest, value)
        if child is document[index] and rest:
            return document
        items = list(document)
        items[index] = child
        return items
    return document


def value_at(document: Any, tokens: tuple[str, ...]) -> Any:
    """The value at ``tokens``, or None when the pointer names nothing."""
    for head in tokens:
        if isinstance(document, dict) and head in document:
            document = document[head]
        elif isinstance(document, list) and head.isdigit() and not (len(head) > 1 and head.startswith("0")) \
                and int(head) < len(document):
            document = document[int(head)]
        else:
            return None
    return document
