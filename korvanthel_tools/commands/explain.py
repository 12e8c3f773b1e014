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
        try:
            obj = json.loads(text)
        except (json.JSONDecodeError, RecursionError) as exc:
            raise ToolError(f"{path}:{number}: not an event: {getattr(exc, 'msg', 'nested too deeply')}") from None
        where = f"{path}:{number}"
        if not isinstance(obj, dict) or not isinstance(obj.get("type"), str):
            raise ToolError(f'{where}: expected an object with a string "type"')
        fields = obj.get("fields")
        if fields is not None and not isinstance(fields, dict):
            raise ToolError(f'{where}: "fields" must be an object')
        session = obj.get(session_key) if session_key is not None else None
        if session is not None and (not isinstance(session, (str, int)) or isinstance(session, bool)):
            raise ToolError(f'{where}: the session key "{session_key}" must be a string or an integer')
        ts = obj.get("ts")
        if ts is not None:
            try:
                ts = _native_parse_ts(ts)
            except (TypeError, ValueError) as exc:
                raise ToolError(f'{where}: "ts": {exc}') from None
        events.append((number, session, {"type": obj["type"], "fields": fields, "ts": ts}))
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


def _native_parse_ts(ts: Any) -> int:
    from korvanthel_tools import _native
    if isinstance(ts, bool) or not isinstance(ts, (int, str)):
        raise ValueError("must be an integer number of milliseconds or an RFC 3339 text")
    return _native.parse_ts(ts)


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
