"""What ``redact`` means for a tool's result and for a tool's call.

On a result, the text content is replaced by a placeholder that names the
reason (``[redacted: REASON]``); non-text content is dropped with it, since
it is what the policy could not see.

On a call, the arguments the policy names are replaced by the same
placeholder before the call goes on. A rule names them with a ``Tag``
action whose argument ``redact`` is an argument name or a list of names;
a name starting with ``/`` is a JSON Pointer into the arguments
(``/options/token``), any other name is a top-level argument:

    {"verb": "Tag", "args": [["redact", {"List": [{"Literal": {"String": "password"}}]}]]}

A ``redact`` verdict whose fired rules name no argument replaces the value
of every argument: what was sensitive is unknown, so nothing passes.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from korvanthel_tools.guarding.pointers import parse_pointer, replace_at

REDACT_TAG_ARGUMENT = "redact"
"""The argument of a ``Tag`` action that names the arguments to redact."""


def placeholder(reason: str | None) -> str:
    """The text that stands in for redacted content."""
    return f"[redacted: {reason}]" if reason else "[redacted by policy]"


def tagged_arguments(actions: Iterable[Mapping[str, Any]]) -> list[str]:
    """The argument names and pointers that the ``Tag`` actions name, in
    order, without repeats; values of other types are ignored."""
    names: list[str] = []
    for action in actions:
        if action.get("verb") != "Tag":
            continue
        args = action.get("args")
        value = args.get(REDACT_TAG_ARGUMENT) if isinstance(args, Mapping) else None
        for name in [value] if isinstance(value, str) else value if isinstance(value, list) else []:
            if isinstance(name, str) and name not in names:
                names.append(name)
    return names


def redact_arguments(arguments: Mapping[str, Any], names: list[str], reason: str | None) -> dict[str, Any]:
    """A copy of ``arguments`` with the named ones (every one when ``names``
    is empty) replaced by the placeholder. ``arguments`` is not modified.
    A name that is not a valid pointer or names nothing is skipped."""
    text = placeholder(reason)
    if not names:
        return {key: text for key in arguments}
    result: Any = dict(arguments)
    for name in names:
        if name.startswith("/"):
            try:
                tokens = parse_pointer(name)
            except ValueError:
                continue
        else:
            tokens = (name,)
        result = replace_at(result, tokens, text)
    return dict(result)
