"""What several commands declare and read alike.

`add_command` adds a subcommand with its help, description and the
function that runs it; `add_output_option` its ``-o/--output``.
``--context KEY=JSON`` and ``--config KEY=JSON`` (``replay``, ``explain``,
``mcp-proxy``) name a value stored in an engine before its first event;
`parse_assignment` reads one.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
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


def add_command(
    commands: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    *,
    summary: str,
    description: str,
    run: Callable[[argparse.Namespace], int],
    epilog: str | None = None,
    preformatted: bool = False,
) -> argparse.ArgumentParser:
    """Add the subcommand ``name`` to ``commands`` and return its parser:
    ``summary`` is its line in the list of commands, ``run`` what it runs
    (it returns the exit status). With ``preformatted`` the description and
    epilog are shown as written, line breaks kept; otherwise argparse fills
    them to the terminal's width."""
    parser = commands.add_parser(
        name,
        help=summary,
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter if preformatted else argparse.HelpFormatter,
    )
    parser.set_defaults(run=run)
    return parser


def add_output_option(parser: argparse.ArgumentParser, metavar: str, help_text: str) -> None:
    """Add ``-o/--output`` (``args.output``, None when not given) to ``parser``."""
    parser.add_argument("-o", "--output", metavar=metavar, help=help_text)
