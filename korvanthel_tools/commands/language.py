"""The policy-language commands of ``korvanthel``: compile, fmt, check and
decompile.

Exit status: 0 clean; 1 the input has errors (diagnostics on standard
error), ``fmt --check`` found a file to reformat, or ``check --strict``
found warnings; 2 the command could not do its work (bad arguments, an
unreadable or unwritable file).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from korvanthel_tools.commands.options import add_command, add_output_option
from korvanthel_tools.guarding.event_schemas import INTEGRATIONS, schema_text
from korvanthel_tools.guarding.policy_loader import PolicyForm, policy_form
from korvanthel_tools.guarding.source_hash import compile_recording_hash
from korvanthel_tools.loading import ToolError, read_bytes

if TYPE_CHECKING:
    from korvanthel_tools import _native

EXIT_OK = 0
EXIT_FINDINGS = 1

# The subparsers action of argparse is private; it only needs add_parser.
Subparsers = Any
WriteFile = Callable[[str, bytes], None]


def add_language_commands(commands: Subparsers, write_file: WriteFile) -> None:
    """Adds the commands to the ``korvanthel`` parser; ``write_file`` writes
    a file atomically (or raises ToolError)."""
    compile_ = add_command(
        commands, "compile", run=lambda args: cmd_compile(args, write_file),
        summary="compile policy source into a .zelvoc container or JSON",
        description="Compile a policy source file (*.zelvo). The output's suffix chooses the form: "
        ".json writes the policy's JSON text (indented), anything else a .zelvoc container. "
        "The source's 64-bit FNV-1a hash is recorded in metadata.source_hash (unless the source "
        "states one). "
        "A source with errors writes nothing and exits 1.",
    )
    compile_.add_argument("source", metavar="SRC", help="the policy source (UTF-8)")
    add_output_option(compile_, "OUT", "where to write (OUT.zelvoc or OUT.json; default: SRC with the suffix .zelvoc)")

    fmt = add_command(
        commands, "fmt", run=lambda args: cmd_fmt(args, write_file),
        summary="rewrite policy sources in canonical layout",
        description="Rewrite each source in canonical layout (docs/language.md), keeping its comments. "
        "With --check nothing is written: the files that would change are listed and the "
        "status is 1 if there are any. '-' formats standard input to standard output.",
    )
    fmt.add_argument("sources", metavar="SRC", nargs="+", help="policy source files")
    fmt.add_argument("--check", action="store_true", help="only list the files that are not formatted")

    check = add_command(
        commands, "check", run=cmd_check,
        summary="report errors and warnings in a policy source",
        description="Compile the source and report what the checker finds: unknown fields (against "
        "a schema of event types), comparisons that cannot hold, unreachable rules and states, "
        "duplicate rule ids, and more. Exit status 1 when there are errors (or, with --strict, "
        "warnings).",
    )
    check.add_argument("source", metavar="POLICY", help="a .zelvo source (a compiled policy is checked decompiled)")
    schema = check.add_mutually_exclusive_group()
    schema.add_argument("--schema", metavar="FILE", help="a JSON schema of the event types and their fields")
    schema.add_argument(
        "--for", dest="integration", choices=INTEGRATIONS, metavar="INTEGRATION",
        help=f"check against the events an integration sends: {', '.join(INTEGRATIONS)} (docs/events.md)",
    )
    check.add_argument("--strict", action="store_true", help="warnings fail the check too")

    decompile = add_command(
        commands, "decompile", run=cmd_decompile,
        summary="print the source of a compiled policy",
        description="Print the canonical source of a compiled policy (a .zelvoc container or "
        "policy JSON). Compiling that source gives the same policy back.",
    )
    decompile.add_argument("policy", metavar="POLICY")


def report(diagnostics: Sequence[_native.Diagnostic]) -> None:
    """Write each diagnostic's rendered text (with its source excerpt) to standard error."""
    for diagnostic in diagnostics:
        sys.stderr.write(diagnostic.rendered)
    sys.stderr.flush()


def cmd_compile(args: argparse.Namespace, write_file: WriteFile) -> int:
    """``korvanthel compile``: compile SRC into a container, or into indented
    JSON when OUT ends in ``.json``; 1 with the diagnostics, and nothing
    written, when the source has errors."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    source: str = args.source
    target: str = args.output or str(Path(source).with_suffix(".zelvoc"))
    data = read_bytes(source)
    try:
        if target.endswith(".json"):
            text = compile_recording_hash(data, source, as_json=True, indent=True)
            output = (str(text) + "\n").encode("utf-8")
        else:
            container = compile_recording_hash(data, source)
            assert isinstance(container, bytes)
            output = container
    except _native.CompileError as exc:
        report(exc.diagnostics)
        return EXIT_FINDINGS
    if b're"' in data:  # the deprecated spelling of a pattern literal: say so, as check does
        report([d for d in _native.check_policy(data, source, None) if d.code == "deprecated-regex-literal"])
    write_file(target, output)
    return EXIT_OK


def cmd_fmt(args: argparse.Namespace, write_file: WriteFile) -> int:
    """``korvanthel fmt``: rewrite each source that is not in canonical layout
    (``-``: standard input to standard output); with ``--check`` only list
    them. 1 when a source has errors or, with ``--check``, needs formatting."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    status = EXIT_OK
    for source in args.sources:
        data = sys.stdin.buffer.read() if source == "-" else read_bytes(source)
        try:
            formatted = _native.format_source(data, "<stdin>" if source == "-" else source)
        except _native.CompileError as exc:
            report(exc.diagnostics)
            status = EXIT_FINDINGS
            continue
        if source == "-":
            sys.stdout.write(formatted)
            continue
        encoded = formatted.encode("utf-8")
        if encoded == data:
            continue
        if args.check:
            print(source)
            status = EXIT_FINDINGS
        else:
            write_file(source, encoded)
            print(f"formatted {source}")
    return status


def cmd_check(args: argparse.Namespace) -> int:
    """``korvanthel check``: report the checker's diagnostics and a count on
    standard error; 1 when there are errors, or warnings with ``--strict``."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    source: str = args.source
    data = read_bytes(source)
    schema: bytes | str | None = read_bytes(args.schema) if args.schema else None
    if args.integration is not None:
        schema = schema_text(args.integration)
    text: bytes | str = data
    name = source
    form = policy_form(data)
    if form is not PolicyForm.SOURCE:
        # A compiled policy is checked through its decompiled source, whose rule ids name the places.
        try:
            text = _native.print_policy(data if form is PolicyForm.CONTAINER else data.decode("utf-8"))
        except (ValueError, UnicodeDecodeError) as exc:
            raise ToolError(f"{source}: {exc}") from None
        name = f"{source} (decompiled)"
    try:
        findings = _native.check_policy(text, name, schema)
    except ValueError as exc:
        raise ToolError(f"{args.schema}: {exc}") from None
    report(findings)
    errors = sum(1 for d in findings if d.level == "error")
    warnings = len(findings) - errors
    print(f"{source}: {errors} error{'s' * (errors != 1)}, {warnings} warning{'s' * (warnings != 1)}",
          file=sys.stderr)
    if errors or (warnings and args.strict):
        return EXIT_FINDINGS
    return EXIT_OK


def cmd_decompile(args: argparse.Namespace) -> int:
    """``korvanthel decompile``: print the canonical source of a compiled
    policy; 1 when the engine refuses it."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    path: str = args.policy
    data = read_bytes(path)
    try:
        text = _native.print_policy(data)
    except ValueError as exc:
        print(f"korvanthel decompile: {path}: {exc}", file=sys.stderr)
        return EXIT_FINDINGS
    sys.stdout.write(text)
    return EXIT_OK
