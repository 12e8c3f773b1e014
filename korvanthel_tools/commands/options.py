"""Option values shared by several commands.

``--context KEY=JSON`` and ``--config KEY=JSON`` (``replay``, ``explain``,
``mcp-proxy``)
name a value stored in an engine before its first event.
"""

from __future__ import annotations

import json
from typing import Any

from korvanthel_tools.loading import ToolError


def parse_assignment(option: str, item: str) -> tuple[str, Any]:
    """Split one ``KEY=JSON`` item of ``option`` into its key and decoded
    value; raises ToolError, naming the option and the item, when there is
    no ``=``, the key is empty or the value is not JSON."""
    key, sep, raw = item.partition("=")
    if not sep or not key:
        raise ToolError(f"{option} {item!r}: expected KEY=JSON")
    try:
        return key, json.loads(raw)
    except (ValueError, RecursionError) as exc:  # RecursionError: nested deeper than json takes
        raise ToolError(f"{option} {item!r}: value is not JSON ({getattr(exc, 'msg', exc)})") from None
