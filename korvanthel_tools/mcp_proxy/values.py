"""``mcp-proxy``'s context and configuration options: values the host
stores in every engine, which a policy reads as ``context.KEY`` and
``config.KEY``.

    --context KEY=JSON     one value (repeatable)
    --config KEY=JSON
    --context-file FILE    a JSON object of values
    --config-file FILE

Files are read first, then the single values, so ``KEY=JSON`` overrides a
file's key. Errors are ``ValueError`` whose text names the option.
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any

from korvanthel_tools.commands.options import parse_assignment
from korvanthel_tools.loading import ToolError


def add_value_options(parser: argparse.ArgumentParser) -> None:
    """Register ``--context``, ``--config``, their file forms and ``--allow-unknown-fields``."""
    for kind in ("context", "config"):
        parser.add_argument(
            f"--{kind}", action="append", default=[], metavar="KEY=JSON",
            help=f"store a {kind} value in every engine (the policy reads {kind}.KEY; repeatable)",
        )
        parser.add_argument(
            f"--{kind}-file", metavar="FILE", help=f"store each key of the JSON object in FILE as a {kind} value",
        )
    parser.add_argument(
        "--allow-unknown-fields", action="store_true",
        help="run a policy that reads event fields the proxy never sends (they read null)",
    )


def read_value_options(args: argparse.Namespace) -> tuple[dict[str, Any], dict[str, Any]]:
    """The context and the configuration the options give."""
    return _values(args, "context"), _values(args, "config")


def _values(args: argparse.Namespace, kind: str) -> dict[str, Any]:
    values: dict[str, Any] = {}
    path = getattr(args, f"{kind}_file")
    if path is not None:
        values.update(_read_file(f"--{kind}-file", path))
    for item in getattr(args, kind):
        key, value = _assignment(f"--{kind}", item)
        values[key] = value
    return values


def _assignment(option: str, item: str) -> tuple[str, Any]:
    try:
        return parse_assignment(option, item)
    except ToolError as exc:
        raise ValueError(str(exc)) from None


def _read_file(option: str, path: str) -> dict[str, Any]:
    try:
        text = Path(path).read_text(encoding="utf-8-sig")
    except (OSError, UnicodeDecodeError) as exc:
        raise ValueError(f"{option} {path}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as exc:
        raise ValueError(f"{option} {path}: not JSON ({getattr(exc, 'msg', exc)})") from None
    if not isinstance(value, dict):
        raise ValueError(f"{option} {path}: expected a JSON object of KEY: value")
    return value
