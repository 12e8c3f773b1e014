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
    key = _key(document, head)
    if key is None:
        return document
    child = replace_at(document[key], rest, value)
    if child is document[key] and rest:
        return document
    copied: Any = dict(document) if isinstance(document, dict) else list(document)
    copied[key] = child
    return copied


def value_at(document: Any, tokens: tuple[str, ...]) -> Any:
    """The value at ``tokens``, or None when the pointer names nothing."""
    for head in tokens:
        key = _key(document, head)
        if key is None:
            return None
        document = document[key]
    return document


def _key(document: Any, token: str) -> str | int | None:
    """The key (of a dict) or index (of a list, in decimal without leading
    zeros) that ``token`` names in ``document``; None when it names nothing:
    a missing key, an index out of range, a step into a scalar."""
    if isinstance(document, dict):
        return token if token in document else None
    if isinstance(document, list) and token.isdigit() and not (len(token) > 1 and token.startswith("0")) \
            and int(token) < len(document):
        return int(token)
    return None
