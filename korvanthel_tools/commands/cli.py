"""The ``korvanthel`` command: pack, inspect and replay policies; compile,
format, check and decompile policy sources (korvanthel_tools.commands.language).

Exit status: 0 on success; 1 when ``replay`` finds an event whose verdict
differs from its expectation, ``replay --against`` finds events on which
the two policies differ, or a source has errors; 2 when the command cannot
do its work (bad arguments, unreadable files, a policy the engine refuses,
with ``--strict`` a line that is not an event).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from _korvanthel_core import PolicyEngine
from korvanthel_tools.commands.language import add_language_commands
from korvanthel_tools.commands.options import add_command, add_output_option, parse_assignment
from korvanthel_tools.container import HEADER_SIZE, encode_container, read_header
from korvanthel_tools.guarding.policy_loader import PolicyForm, PolicyLoadError, policy_form
from korvanthel_tools.guarding.policy_source import PolicySource
from korvanthel_tools.loading import ToolError, decode_text, load, read_bytes
from korvanthel_tools.replay.native import ReplayOptions, policy_argument
from korvanthel_tools.replay.run import Progress, ReplayRun, ResultSink

EXIT_OK = 0
EXIT_MISMATCH = 1
EXIT_ERROR = 2

REPLAY_DESCRIPTION = """\
Backtest a policy on a recorded trace: evaluate every event of the JSON-lines
files EVENTS (read in the order given, as one trace) at its own time, and
write each result as a JSON line in input order; then print a summary:
events by verdict, the most-fired rules, constraint and invariant
violations, latency percentiles from eval_time_us, the events whose verdict
differs from their "expect", and the lines that are not events.

Each line of EVENTS is an object such as
  {"type": "tool_call", "fields": {"tool": "shell"}, "ts": 1733650000000,
   "session": "s-17", "expect": "deny"}
where "fields", "expect" and the session are optional, "comment" is ignored,
and "ts" is milliseconds since the epoch or an RFC 3339 text.

Time: each event is evaluated at its own "ts", so rate-limit windows and
state-machine deadlines behave as they did live, however fast the replay
runs. With --session-key every session has its own engine (monitors,
windows, count), made at the time of the session's first event; without it
the whole trace is one session. Time going backwards within a session is an
error naming the line, unless --sort orders each session by time first.

A line that is not an event (not JSON, no "type", a bad "ts") is skipped,
counted and named in the summary; --strict makes it an error instead.

--against OTHER replays the trace through both policies and reports the
events whose verdict or fired rules differ, grouped by change, with counts
and the first examples of each; the differing events are written as JSON
lines instead of the results.

--dask local:N replays on a Dask cluster of N worker processes on this
machine; --dask tcp://HOST:PORT on a running cluster (the dask extra:
pip install 'korvanthel[dask]'). The results are the same as in one
process."""

REPLAY_EPILOG = """\
The summary goes to standard output when the results go to a file (-o),
and to standard error when the results go to standard output.
Exit status: 0 all expectations met (with --against: the policies agree),
1 some failed (with --against: the policies differ), 2 error."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``korvanthel`` command with ``argv`` (default: the process's
    arguments) and return its exit status; a ``ToolError`` is printed as one
    line on standard error and gives status 2."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
    except ToolError as exc:
        print(f"korvanthel {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (``| head``); nothing left to report to.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    return status


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``korvanthel`` with every subcommand; each
    subcommand stores its handler as ``run`` (a function of the parsed
    arguments returning the exit status)."""
    parser = argparse.ArgumentParser(
        prog="korvanthel",
        description="Tools for Korvanthel policy authors: compile, format, check, decompile, "
        "pack, inspect and replay policies.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pack = add_command(
        commands, "pack", run=cmd_pack,
        summary="pack policy JSON into a .zelvoc container",
        description="Check that the policy JSON loads, then write it as the payload of a "
        ".zelvoc container (12-byte header: magic, format version 1, reserved 0, "
        "payload length). Text the engine refuses is not packed and OUT is left as it was.",
    )
    pack.add_argument("policy", metavar="POLICY.json", help="the policy's JSON text (UTF-8)")
    add_output_option(pack, "OUT.zelvoc", "where to write the container (default: POLICY with the suffix .zelvoc)")

    inspect = add_command(
        commands, "inspect", run=cmd_inspect,
        summary="show a policy's header (a container) or form, its source hash and the engine's status",
        description="Show the header fields of a .zelvoc file (or, for policy JSON or source, its form), "
        "its source hash, then load it with the engine and show its status. Exits 2 when the "
        "engine cannot load it.",
    )
    inspect.add_argument("file", metavar="POLICY")

    replay = add_command(
        commands, "replay", run=cmd_replay,
        summary="evaluate a JSON-lines file of events and summarise the verdicts",
        description=REPLAY_DESCRIPTION, epilog=REPLAY_EPILOG, preformatted=True,
    )
    replay.add_argument("policy", metavar="POLICY", help="a .zelvoc container or policy JSON text")
    replay.add_argument(
        "events", metavar="EVENTS", nargs="+",
        help="JSON-lines files of events, one trace in the order given ('-' for standard input); "
        "with --dask also Parquet files (.parquet)",
    )
    add_output_option(replay, "FILE", "write the results here instead of standard output")
    replay.add_argument(
        "--session-key", metavar="KEY",
        help="top-level key naming each event's session: every session gets its own engine",
    )
    replay.add_argument("--sort", action="store_true", help="order each session's events by ts before replaying")
    replay.add_argument("--strict", action="store_true", help="stop at the first line that is not an event")
    replay.add_argument(
        "--context", action="append", default=[], metavar="KEY=JSON",
        help="store a context value in every session's engine before its first event (repeatable)",
    )
    replay.add_argument(
        "--config", action="append", default=[], metavar="KEY=JSON",
        help="store a configuration value in every session's engine before its first event (repeatable)",
    )
    replay.add_argument(
        "--against", metavar="OTHER_POLICY",
        help="compare with another policy: report the events whose verdict or fired rules differ",
    )
    replay.add_argument(
        "--dask", metavar="local:N|ADDRESS",
        help="replay on Dask: local:N starts N worker processes here; tcp://HOST:PORT uses a running scheduler",
    )
    replay.add_argument("--top", type=int, default=10, metavar="N", help="rules listed in the summary (default 10)")
    replay.add_argument(
        "--examples", type=int, default=5, metavar="N",
        help="examples shown for each change with --against (default 5)",
    )
    progress = replay.add_mutually_exclusive_group()
    progress.add_argument(
        "--progress", dest="progress", action="store_true", default=None,
        help="show the replay's steps on standard error (default: only when it is a terminal)",
    )
    progress.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")
    add_language_commands(commands, write_atomically)
    from korvanthel_tools.commands.explain import add_parser as add_explain
    from korvanthel_tools.commands.policy_tests import add_parser as add_test

    add_explain(commands)
    add_test(commands)

    from korvanthel_tools.mcp_proxy.command import add_parser as add_mcp_proxy

    add_mcp_proxy(commands)
    from korvanthel_tools.commands.signing import add_signing_commands

    add_signing_commands(commands)
    return parser


def cmd_pack(args: argparse.Namespace) -> int:
    """``korvanthel pack``: check that the policy JSON loads, then write it as
    the payload of a container; nothing is written for text the engine
    refuses."""
    source: str = args.policy
    target = args.output or str(Path(source).with_suffix(".zelvoc"))
    data = read_bytes(source)
    text = decode_text(source, data)
    try:
        engine = PolicyEngine.from_json(text)
    except ValueError as exc:
        raise ToolError(f"refusing to pack {source}: {exc}") from None
    try:
        container = encode_container(data)
    except ValueError as exc:
        raise ToolError(f"refusing to pack {source}: {exc}") from None
    write_atomically(target, container)
    print(f"packed {source} -> {target}: policy {engine.policy_name!r}, {len(data)} payload bytes")
    return EXIT_OK


def cmd_inspect(args: argparse.Namespace) -> int:
    """``korvanthel inspect``: print a container's header fields as read (a
    truncated or foreign header is described, not refused), then the engine's
    status for the file; ToolError when the engine cannot load it."""
    path: str = args.file
    data = read_bytes(path)
    print(f"File: {path} ({len(data)} bytes)")
    if _is_policy_text(data):
        return _inspect_text(path, data)
    header = read_header(data)
    if header is None:
        print(f"Header: truncated ({len(data)} of {HEADER_SIZE} bytes)")
    elif not header.magic_ok:
        print(f"magic:          0x{header.magic:08X} (bad: not a .zelvoc container)")
    else:
        present = len(data) - HEADER_SIZE
        print(f"magic:          0x{header.magic:08X} (ok)")
        print(f"format_version: {header.format_version} ({'ok' if header.version_ok else 'unsupported'})")
        print(f"reserved:       {header.reserved}")
        print(f"payload_length: {header.payload_length} ({present} bytes follow the header)")
        if present > header.payload_length:
            print(f"trailing bytes: {present - header.payload_length} (not read)")
    try:
        engine = PolicyEngine.from_file(path)
    except (RuntimeError, OSError) as exc:
        raise ToolError(str(exc)) from None
    source_hash = PolicySource.from_bytes(data, origin=path).source_hash
    print(f"source_hash:    {source_hash if source_hash else 'none'}")
    print("Status:")
    for line in engine.status().splitlines():
        print(f"  {line}")
    return EXIT_OK


def _is_policy_text(data: bytes) -> bool:
    """Policy JSON or source: UTF-8 text without NUL bytes and without the
    container's magic (anything else is shown as a container's header)."""
    if policy_form(data) is PolicyForm.CONTAINER or b"\x00" in data:
        return False
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _inspect_text(path: str, data: bytes) -> int:
    """A policy given as JSON or source: its form, its hash, its status."""
    form = policy_form(data)
    print(f"form:           {'policy JSON' if form is PolicyForm.JSON else 'policy source (compiled here)'}")
    try:
        source = PolicySource.from_bytes(data, origin=path)
    except PolicyLoadError as exc:
        raise ToolError(str(exc)) from None
    print(f"source_hash:    {source.source_hash if source.source_hash else 'none'}")
    print("Status:")
    for line in source.new_engine().status().splitlines():
        print(f"  {line}")
    return EXIT_OK


def cmd_replay(args: argparse.Namespace) -> int:
    """``korvanthel replay``: replay the trace here or on Dask, against one
    policy or two, write the results and print the summary (or the
    differences); 1 when an expectation fails or the policies differ."""
    if args.top < 0:
        raise ToolError("--top must not be negative")
    if args.examples < 0:
        raise ToolError("--examples must not be negative")
    context = dict(parse_assignment("--context", item) for item in args.context)
    config = dict(parse_assignment("--config", item) for item in args.config)
    policy, policy_name = _replay_policy(args.policy)
    other_name, other = None, None
    if args.against is not None:
        other, other_name = _replay_policy(args.against)
    options = ReplayOptions(args.session_key, args.sort, args.strict, context, config)
    if args.progress is None:
        progress = Progress.AUTO if sys.stderr.isatty() else Progress.OFF
    else:
        progress = Progress.ON if args.progress else Progress.OFF
    if args.dask is not None:
        missing = [name for name in ("dask", "distributed", "pandas") if importlib.util.find_spec(name) is None]
        if missing:
            raise ToolError(f"--dask needs the dask extra ({', '.join(missing)} not installed): "
                            "pip install 'korvanthel[dask]'")
    if args.dask is not None and "-" in args.events:
        raise ToolError("--dask reads files: standard input ('-') cannot be shared with workers")
    run = ReplayRun(args.events, policy, options, progress)
    with ResultSink(args.output) as sink:
        if args.dask is not None:
            if other is None:
                summary = run.on_dask(args.dask, sink)
            else:
                diff = run.diff_on_dask(args.dask, other, sink, args.examples)
        elif other is None:
            summary = run.here(sink)
        else:
            diff = run.diff_here(other, sink, args.examples)
        report = sink.report
        if other is None:
            report.write(summary.render(policy_name=policy_name, top_rules=args.top,
                                        source_hash=PolicySource.from_bytes(policy).source_hash))
            return EXIT_MISMATCH if summary.mismatches else EXIT_OK
        assert other_name is not None
        report.write(diff.render(before_name=policy_name, after_name=other_name))
        return EXIT_OK if diff.agree else EXIT_MISMATCH


def _replay_policy(path: str) -> tuple[bytes, str]:
    """The policy at ``path`` read once (a source compiled once): the bytes
    the replay takes and the policy's name. A policy the engine refuses is
    a ToolError naming the path, before any trace is read."""
    from korvanthel_tools import _native

    data = load(path).engine_data
    try:
        return data, _native.Replayer(policy_argument(data)).policy_name
    except (ValueError, RuntimeError) as exc:
        raise ToolError(f"{path}: {exc}") from None


def write_atomically(target: str, data: bytes) -> None:
    """Write through a temporary file in the same directory and rename it,
    so that a failure never leaves a half-written container behind."""
    directory = os.path.dirname(os.path.abspath(target))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".korvanthel-", suffix=".tmp", dir=directory)
    except OSError as exc:
        raise ToolError(f"{target}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        os.replace(tmp, target)
    except OSError as exc:
        os.unlink(tmp)
        raise ToolError(f"{target}: {exc.strerror or exc}") from None
