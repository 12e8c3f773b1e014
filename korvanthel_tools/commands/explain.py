"""``korvanthel explain``: what a policy does with one event, step by step."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from korvanthel_tools.commands.options import parse_assignment
from korvanthel_tools.explain import explain_event, read_policy, render_explanation
from korvanthel_tools.loading import ToolError

DESCRIPTION = """\
Explain the decision on one event: every rule in order, whether its event
types select it, the value of its condition and of the sub-expressions
that decided it (with source lines when POLICY is .zelvo source), the
verdicts adopted and why the final one stands, the windows' counts and the
monitors' transitions. The event is evaluated on a fresh engine holding
the --context and --config values, at --ts (default 0)."""


def add_parser(commands: Any) -> None:
    """Add ``korvanthel explain`` to the subcommands ``commands``."""
    explain = commands.add_parser(
        "explain",
        help="explain the decision on one event",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    explain.add_argument("policy", metavar="POLICY", help="a .zelvo source, a .zelvoc container or policy JSON")
    explain.add_argument("--event", required=True, metavar="JSON",
                         help='the event: {"type": T, "fields": {...}, "ts": MS}')
    explain.add_argument("--context", action="append", default=[], metavar="KEY=JSON",
                         help="store a context value first (repeatable)")
    explain.add_argument("--config", action="append", default=[], metavar="KEY=JSON",
                         help="store a configuration value first (repeatable)")
    explain.add_argument("--json", action="store_true", help="print the explanation as JSON")
    explain.add_argument("--all", action="store_true", help="show every sub-expression, not only the deciding ones")
    explain.set_defaults(run=cmd_explain)


def parse_event(text: str) -> tuple[str, dict[str, Any] | None, int]:
    """The ``--event`` JSON as (type, fields, ts): an object with a string
    ``type``, optional object ``fields`` and an integer ``ts`` in [0, 2^64)
    milliseconds (default 0); ToolError otherwise."""
    try:
        event = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ToolError(f"--event: not JSON ({exc.msg})") from None
    if not isinstance(event, dict) or not isinstance(event.get("type"), str):
        raise ToolError('--event: expected an object with a string "type"')
    fields = event.get("fields")
    if fields is not None and not isinstance(fields, dict):
        raise ToolError('--event: "fields" must be an object')
    ts = event.get("ts", 0)
    if not isinstance(ts, int) or isinstance(ts, bool) or not 0 <= ts < 2**64:
        raise ToolError('--event: "ts" must be an integer number of milliseconds, 0 or more')
    return event["type"], fields, ts


def cmd_explain(args: argparse.Namespace) -> int:
    """``korvanthel explain``: explain one event on a fresh engine holding the
    ``--context`` and ``--config`` values, as text or (``--json``) as the
    explanation's JSON."""
    event_type, fields, ts = parse_event(args.event)
    context = dict(parse_assignment("--context", item) for item in args.context)
    config = dict(parse_assignment("--config", item) for item in args.config)
    policy = read_policy(args.policy)
    x = explain_event(policy, event_type, fields, ts=ts, context=context, config=config)
    if args.json:
        sys.stdout.write(json.dumps(x, indent=2, ensure_ascii=False, default=str) + "\n")
    else:
        sys.stdout.write(render_explanation(policy, x, all_nodes=args.all))
    return 0
