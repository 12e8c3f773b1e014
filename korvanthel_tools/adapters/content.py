"""The ``text`` of a tool's output, as a policy sees it in a
``tool_result`` event, whatever shape the framework hands over.

- a string is the text;
- a text block (a mapping or an object whose ``type`` is ``text``,
  ``input_text`` or ``output_text`` and whose ``text`` is a string, as
  LangChain's, the Agents SDK's and MCP's text blocks are) is its ``text``;
  blocks of other types (images, files) contribute nothing;
- a list or tuple of strings and blocks is the text of its items joined by
  a line feed, as the MCP proxy joins a result's text blocks;
- an image or file block on its own is the empty text;
- ``None`` is the empty text;
- anything else is written as JSON where it can be (pydantic models
  through their own JSON, mappings and lists of plain values), else with
  ``str()``: what the model would be shown.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from korvanthel_tools.guarding.mapping import TEXT_SEPARATOR


def content_text(value: Any) -> str:
    """The text a policy sees for ``value`` (see the module's rules)."""
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, (list, tuple)) and all(isinstance(item, str) or _block_type(item) for item in value):
        texts = (_block_text(item) for item in value)
        return TEXT_SEPARATOR.join(text for text in texts if text is not None)
    kind = _block_type(value)
    if kind in _TEXT_BLOCKS:
        return _block_text(value) or ""
    if kind in _NON_TEXT_BLOCKS:
        return ""
    return _as_json(value)


_TEXT_BLOCKS = frozenset({"text", "input_text", "output_text"})
_NON_TEXT_BLOCKS = frozenset({"image", "file", "audio", "image_url", "input_image", "input_file", "resource_link"})


def _block_type(value: Any) -> str | None:
    """The ``type`` of a content block (a mapping or a model whose ``type``
    is ``text`` or one of the non-text block types); None for anything
    else, so that a mapping which merely has a ``type`` key stays data."""
    kind = value.get("type") if isinstance(value, Mapping) else getattr(value, "type", None)
    return kind if kind in _TEXT_BLOCKS or kind in _NON_TEXT_BLOCKS else None


def _block_text(value: Any) -> str | None:
    """The text of a string or a text block; None for anything else."""
    if isinstance(value, str):
        return value
    text = value.get("text") if isinstance(value, Mapping) else getattr(value, "text", None)
    if _block_type(value) in _TEXT_BLOCKS and isinstance(text, str):
        return text
    return None


def _as_json(value: Any) -> str:
    dump_json = getattr(value, "model_dump_json", None)
    if callable(dump_json):
        try:
            return str(dump_json())
        except Exception:  # a model that cannot be serialised: fall back to str()
            return str(value)
    try:
        return json.dumps(value, ensure_ascii=False, default=str)
    except (TypeError, ValueError, RecursionError):
        return str(value)
