"""``korvanthel explain``: what a policy does with one event, step by step."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from korvanthel_tools.commands.options import parse_assignment
from korvanthel_tools.explain import (
    ELEMENT_LIMIT,
    PolicyInput,
    explain_event,
    read_policy,
    render_explanation,
    run_steps,
)
from korvanthel_tools.loading import ToolError, decode_text, read_bytes

DESCRIPTION = """\
Explain the decision on one event: every rule in order, whether its event
types select it, the value of its condition and of the sub-expressions
that decided it (with source lines when POLICY is .zelvo source), the
verdicts adopted and why the final one stands, the windows' counts and the
monitors' transitions.

With --event the event is evaluated on a fresh engine holding the
--context and --config values, at the event's "ts" (default 0). With
--trace FILE --at N the engine first replays lines 1 to N-1 of the
JSON-lines trace FILE (one event a line, as korvanthel replay reads them)
in event time, then explains line N: windows and monitors show the state
the earlier events left. With --session-key KEY only the earlier lines of
line N's session are replayed, as korvanthel replay gives each session its
own engine. An event without "ts" happens at the time of the one before it
in its session (the first at 0); an event earlier than the one before it
in its session is an error.

Inside a quantifier (all, any, none, exists) or a count, the body is shown
with the name it binds and, for each of the first {limit} elements, the
element's value and the body's value."""

def add_parser(commands: Any) -> None:
    """Add ``korvanthel explain`` to the subcommands ``commands``."""
    explain = commands.add_parser(
        "explain",
        help="explain the decision on one event",
        description=DESCRIPTION.format(limit=ELEMENT_LIMIT),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    explain.add_argument("policy", metavar="POLICY", help="a .zelvo source, a .zelvoc container or policy JSON")
    source = explain.add_mutually_exclusive_group(required=True)
    source.add_argument("--event", action="append", metavar="JSON",
                        help='the event: {"type": T, "fields": {...}, "ts": MS} (give it once)')
    source.add_argument("--trace", metavar="FILE", help="a JSON-lines trace; explain its line --at N after the lines before it")
    explain.add_argument("--at", type=int, metavar="N", help="with --trace: the line to explain (1-based)")
    explain.add_argument("--session-key", metavar="KEY",
                         help="with --trace: top-level key naming each line's session; only line N's session is replayed")
    explain.add_argument("--context", action="append", default=[], metavar="KEY=JSON",
                         help="store a context value first (repeatable)")
    explain.add_argument("--config", action="append", default=[], metavar="KEY=JSON",
                         help="store a configuration value first (repeatable)")
    explain.add_argument("--json", action="store_true", help="print the explanation as JSON")
    explain.add_argument("--all", action="store_true", help="show every sub-expression, not only the deciding ones")
    explain.set_defaults(run=cmd_explain)


# This command's own words for some of the problems an event line can
# have (kept from before lines were read by the replay's reader); any other
# problem is told in the reader's words.
_OWN_WORDS = {
    "not_object": 'expected an object with a string "type"',
    "missing_type": 'expected an object with a string "type"',
    "type": 'expected an object with a string "type"',
    "fields": '"fields" must be an object',
    "ts_number": '"ts" must be an integer number of milliseconds, 0 or more',
}


def _read_line(text: str, where: str, session_key: str | None = None) -> dict[str, Any]:
    """One event line read by the replay's reader; ToolError naming
    ``where`` for a line it refuses."""
    from korvanthel_tools import _native

    try:
        return _native.read_event_line(text, session_key=session_key)
    except _native.EventLineError as exc:
        raise ToolError(f"{where}: {_OWN_WORDS.get(exc.code or '', exc.problem)}") from None


def parse_event(text: str) -> tuple[str, dict[str, Any] | None, int]:
    """The ``--event`` JSON as (type, fields, ts), read as an event line of
    a trace (``ts`` defaults to 0); ToolError otherwise."""
    event = _read_line(text, "--event")
    return event["type"], event["fields"], event["ts"] or 0


def trace_steps(path: str, at: int, session_key: str | None) -> tuple[list[dict[str, Any]], list[int]]:
    """The events of lines 1..at of a trace that belong to line `at`'s
    session, in order, as explain steps; and their line numbers."""
    if at < 1:
        raise ToolError(f"--at: line numbers start at 1, got {at}")
    lines = decode_text(path, read_bytes(path)).split("\n")
    if at > len(lines) or not lines[at - 1].strip():
        raise ToolError(f"{path}:{at}: no event on this line")
    events: list[tuple[int, Any, dict[str, Any]]] = []
    for number in range(1, at + 1):
        text = lines[number - 1]
        if not text.strip():
            continue
        event = _read_line(text, f"{path}:{number}", session_key)
        events.append((number, event["session"], {"type": event["type"], "fields": event["fields"], "ts": event["ts"]}))
    own = events[-1][1]
    steps: list[dict[str, Any]] = []
    numbers: list[int] = []
    for number, session, step in events:
        if session != own:
            continue
        if step["ts"] is None:
            step["ts"] = steps[-1]["ts"] if steps else 0
        elif steps and step["ts"] < steps[-1]["ts"]:
            raise ToolError(f"{path}:{number}: earlier than line {numbers[-1]} in its session "
                            "(events are replayed in event time)")
        steps.append(step)
        numbers.append(number)
    return steps, numbers


def explain_trace(policy: PolicyInput, args: argparse.Namespace, context: dict[str, Any],
                  config: dict[str, Any]) -> tuple[dict[str, Any], list[int]]:
    """The explanation of line ``--at`` of ``--trace`` after replaying the\nearlier lines (of its session, with ``--session-key``), and those\nlines' numbers."""
    steps, numbers = trace_steps(args.trace, args.at, args.session_key)
    steps[0] = {**steps[0], "context": context, "config": config}
    return dict(run_steps(policy, steps)[-1]["explanation"]), numbers[:-1]


def history_line(path: str, numbers: list[int], by_session: bool) -> str:
    """The line that says which earlier events were replayed before the one\nexplained."""
    of = "of this session" if by_session else "of the trace"
    if not numbers:
        return f"history: no earlier event {of} in {path}"
    s = "s" * (len(numbers) != 1)
    return f"history: {len(numbers)} earlier event{s} {of} replayed (from {path} lines {numbers[0]}-{numbers[-1]})"


def cmd_explain(args: argparse.Namespace) -> int:
    """``korvanthel explain``: explain one event, on a fresh engine holding the
    ``--context`` and ``--config`` values or after the history ``--trace``
    and ``--at`` give it, as text or (``--json``) as the explanation's JSON."""
    if args.event is not None and len(args.event) > 1:
        raise ToolError(f"--event given {len(args.event)} times: give one event, "
                        "or explain an event after its history with --trace FILE --at N")
    if args.trace is None and (args.at is not None or args.session_key is not None):
        raise ToolError("--at and --session-key need --trace FILE")
    if args.trace is not None and args.at is None:
        raise ToolError("--trace needs --at N, the line to explain")
    context = dict(parse_assignment("--context", item) for item in args.context)
    config = dict(parse_assignment("--config", item) for item in args.config)
    policy = read_policy(args.policy)
    history: list[int] | None = None
    if args.trace is not None:
        x, history = explain_trace(policy, args, context, config)
    else:
        event_type, fields, ts = parse_event(args.event[0])
        x = explain_event(policy, event_type, fields, ts=ts, context=context, config=config)
    if args.json:
        if history is not None:
            x = {**x, "history_lines": history}
        sys.stdout.write(json.dumps(x, indent=2, ensure_ascii=False, default=str) + "\n")
    else:
        text = render_explanation(policy, x, all_nodes=args.all)
        if history is not None:
            text = history_line(args.trace, history, args.session_key is not None) + "\n" + text
        sys.stdout.write(text)
    return 0
