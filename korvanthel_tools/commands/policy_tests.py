"""``korvanthel test``: run policy test files.

Exit status: 0 every case passes (and coverage meets --threshold); 1 a
case fails or coverage is below the threshold; 2 a usage error (bad
arguments, an unreadable or malformed file, a policy with errors)."""

from __future__ import annotations

import argparse
import re
import sys
from typing import Any

from korvanthel_tools.commands.options import add_command
from korvanthel_tools.explain import read_policy
from korvanthel_tools.loading import ToolError, decode_text, read_bytes
from korvanthel_tools.policy_tests.coverage import Coverage, percent, render_coverage
from korvanthel_tools.policy_tests.junit import junit_xml
from korvanthel_tools.policy_tests.runner import CaseResult, run_case, select
from korvanthel_tools.policy_tests.test_file import Case, TestFileError, parse_test_file

EXIT_OK = 0
EXIT_FAILED = 1

DESCRIPTION = """\
Run the cases of policy test files (*.test.jsonl, see docs/testing.md).
Each case runs on a fresh engine in event time; every expectation of
every event is checked. A failure names the case, the event and what
differed, followed by the explanation of that event: which rule would
have had to fire and the sub-expression values that kept it from firing.
With --coverage: rules fired, conditions seen true and false, transitions
taken (named by their states) and their guards seen true and false, and
constraints exceeded, with source lines."""

EPILOG = """\
--threshold applies to the percentage of rules fired by some case.
Exit status: 0 all pass (and coverage meets the threshold), 1 otherwise,
2 a usage error."""


def add_parser(commands: Any) -> None:
    """Add ``korvanthel test`` to the subcommands ``commands``."""
    test = add_command(commands, "test", run=cmd_test, summary="run policy test files, with coverage",
                       description=DESCRIPTION, epilog=EPILOG, preformatted=True)
    test.add_argument("policy", metavar="POLICY_OR_SOURCE", help="a .zelvo source, a .zelvoc container or policy JSON")
    test.add_argument("tests", metavar="TESTS", nargs="+", help="test files (*.test.jsonl)")
    test.add_argument("--junit", metavar="FILE", help="also write JUnit XML here")
    test.add_argument("--coverage", action="store_true", help="report coverage of the policy")
    test.add_argument("--threshold", type=float, metavar="PCT",
                      help="fail when fewer than PCT percent of the rules fire (implies --coverage)")
    test.add_argument("--run", dest="run_pattern", metavar="PATTERN", help="only the cases whose name matches this regular expression")
    test.add_argument("-v", "--verbose", action="store_true", help="list every case with its outcome")


def load_cases(paths: list[str]) -> list[Case]:
    """Every case of the test files at ``paths``, in file order; a file that
    cannot be read or parsed is a ToolError naming its path and line."""
    cases: list[Case] = []
    for path in paths:
        try:
            cases.extend(parse_test_file(path, decode_text(path, read_bytes(path))))
        except TestFileError as exc:
            raise ToolError(str(exc)) from None
    return cases


def cmd_test(args: argparse.Namespace) -> int:
    """``korvanthel test``: run the selected cases, print each failure with
    its explanation and the count, then coverage when asked, and write JUnit
    XML with ``--junit``; 1 when a case fails or coverage is below
    ``--threshold``."""
    if args.threshold is not None and not 0 <= args.threshold <= 100:
        raise ToolError("--threshold must be between 0 and 100")
    try:
        cases = select(load_cases(args.tests), args.run_pattern)
    except re.error as exc:
        raise ToolError(f"--run {args.run_pattern!r}: not a valid pattern ({exc})") from None
    policy = read_policy(args.policy)
    results: list[CaseResult] = [run_case(policy, case) for case in cases]
    out = sys.stdout
    for r in results:
        for failure in r.failures:
            out.write(failure.render())
        if args.verbose:
            out.write(f"{'PASS' if r.passed else 'FAIL'}: {r.case.name}\n")
    failed = sum(1 for r in results if not r.passed)
    status = EXIT_FAILED if failed else EXIT_OK
    out.write(f"{len(results) - failed}/{len(results)} cases passed" + (f", {failed} failed" if failed else "") + "\n")
    if args.coverage or args.threshold is not None:
        cov = Coverage()
        for r in results:
            for record in r.events:
                cov.add(policy, record["explanation"])
        out.write(render_coverage(policy, cov))
        if args.threshold is not None and cov.rule_percent() < args.threshold:
            done, total = cov.rules_fired()
            out.write(f"rule coverage {percent(done, total)} is below the threshold {args.threshold:g}%\n")
            status = EXIT_FAILED
    if args.junit:
        try:
            with open(args.junit, "wb") as f:
                f.write(junit_xml(results))
        except OSError as exc:
            raise ToolError(f"{args.junit}: {exc.strerror or exc}") from None
    return status
