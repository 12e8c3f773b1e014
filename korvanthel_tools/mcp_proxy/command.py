"""``korvanthel mcp-proxy``: its arguments, and running it.

    korvanthel mcp-proxy --policy POLICY [options] -- SERVER_COMMAND [ARGS...]
    korvanthel mcp-proxy --policy POLICY [options] --listen 127.0.0.1:PORT --upstream URL

Exit status: 0 when the client ended the session (or a signal stopped the
proxy); 1 when the server went away or could not be started; 2 when the
proxy could not start (bad arguments, a policy the engine refuses, a
decision log that cannot be opened, the mcp extra not installed).
"""

from __future__ import annotations

import argparse
import importlib.util
import logging
import sys

from korvanthel_tools.commands.options import add_command
from korvanthel_tools.guarding import DecisionLog, Guard, PolicyLoadError, Telemetry
from korvanthel_tools.guarding.event_schemas import check_policy_fields
from korvanthel_tools.mcp_proxy.http_options import add_http_arguments, http_options
from korvanthel_tools.mcp_proxy.stdio import prepare_standard_streams
from korvanthel_tools.mcp_proxy.values import add_value_options, read_value_options

EXIT_USAGE = 2

DESCRIPTION = """\
Guard an MCP server: relay MCP between a client and a server and evaluate
every tools/call and its result against POLICY (a .zelvo source, a .zelvoc
container or policy JSON, told apart by content). The policy is checked
against the events the proxy sends (docs/events.md): one that reads a
field the proxy never sends is refused unless --allow-unknown-fields. Over stdio the server is started as the proxy's child (it
inherits the environment); over Streamable HTTP the proxy listens on
--listen and forwards to --upstream. Logs go to standard error only."""

EPILOG = """\
examples:
  korvanthel mcp-proxy --policy guard.zelvoc -- python my_server.py
  korvanthel mcp-proxy --policy guard.zelvoc --decision-log decisions.jsonl \\
      --mask /arguments/password --listen 127.0.0.1:8100 --upstream http://127.0.0.1:8000/mcp
  korvanthel mcp-proxy --policy guard.zelvoc --verify-key guard.pub \\
      --listen 0.0.0.0:8443 --auth-token-file proxy.token --tls-cert cert.pem --tls-key key.pem \\
      --upstream http://127.0.0.1:8000/mcp

exit status: 0 the client ended the session, 1 the server went away,
2 the proxy could not start."""


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add ``korvanthel mcp-proxy`` to the subcommands ``commands``."""
    parser = add_command(
        commands, "mcp-proxy", run=run,
        summary="guard an MCP server: evaluate every tool call and result against a policy",
        description=DESCRIPTION, epilog=EPILOG, preformatted=True,
    )
    parser.add_argument(
        "--policy", required=True, metavar="POLICY", help="a .zelvo source, a .zelvoc container or policy JSON"
    )
    add_value_options(parser)
    parser.add_argument(
        "--shared-state", action="store_true",
        help="one engine for every session (default: one per MCP session)",
    )
    parser.add_argument("--decision-log", metavar="FILE", help="append one JSON line per decision to FILE ('-': standard error)")
    parser.add_argument(
        "--mask", action="append", default=[], metavar="POINTER",
        help="JSON Pointer into an event's fields whose value the decision log masks, e.g. /arguments/password (repeatable)",
    )
    parser.add_argument("--shadow", action="store_true", help="evaluate and log every decision, enforce none")
    parser.add_argument("--listen", metavar="HOST:PORT", help="serve Streamable HTTP here (port 0: any free port)")
    parser.add_argument("--upstream", metavar="URL", help="the MCP server's Streamable HTTP endpoint (with --listen)")
    parser.add_argument("--max-sessions", type=int, default=4096, metavar="N", help="engines kept at most (default 4096)")
    parser.add_argument(
        "--idle-timeout", type=float, default=3600.0, metavar="SECONDS",
        help="drop a session's engine after this long unused (default 3600)",
    )
    state = parser.add_argument_group("state (docs/state.md)")
    state.add_argument(
        "--state", default="memory", metavar="STORE",
        help="where windows and monitors live: memory (default) or redis://HOST:PORT/DB, shared by every proxy using it",
    )
    state.add_argument(
        "--state-scope", default=None, metavar="SCOPE",
        help="which events share a state: session (default), global, or field:POINTER (e.g. field:/client)",
    )
    state.add_argument(
        "--on-lost-state", choices=("deny", "fresh"), default="deny",
        help="an event whose state was dropped or lost: deny it (default) or start over",
    )
    state.add_argument(
        "--state-unavailable", choices=("deny", "local"), default="deny",
        help="when Redis does not answer in time: deny (default) or decide on this process's state alone",
    )
    state.add_argument(
        "--state-timeout", type=float, default=0.5, metavar="SECONDS",
        help="how long Redis has to connect and to answer one decision (default 0.5)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="log only errors (default: denials, audits, redactions too)")
    parser.add_argument("--verify-key", metavar="KEY", help="refuse POLICY unless POLICY.sig verifies with this public key")
    add_http_arguments(parser)
    parser.add_argument("server", nargs=argparse.REMAINDER, metavar="-- SERVER_COMMAND [ARGS...]")


def run(args: argparse.Namespace) -> int:
    """``korvanthel mcp-proxy``: check the options, load the guard (with its
    decision log and telemetry), then relay over stdio to the server command,
    or over HTTP from ``--listen`` to ``--upstream``, until either side ends;
    2 when the proxy cannot start."""
    prepare_standard_streams()
    server: list[str] = list(args.server)
    if server and server[0] == "--":
        server = server[1:]
    logging.basicConfig(
        level=logging.ERROR if args.quiet else logging.INFO,
        format="korvanthel mcp-proxy: %(levelname)s: %(message)s",
        stream=sys.stderr,
    )
    for noisy in ("httpx", "httpx2", "uvicorn", "uvicorn.access", "uvicorn.error", "mcp"):
        logging.getLogger(noisy).setLevel(logging.WARNING)

    def fail(text: str) -> int:
        print(f"korvanthel mcp-proxy: error: {text}", file=sys.stderr)
        return EXIT_USAGE

    if args.listen is not None or args.upstream is not None:
        if args.listen is None or args.upstream is None:
            return fail("--listen and --upstream go together")
        if server:
            return fail("give either a server command (stdio) or --listen and --upstream (HTTP), not both")
    elif not server:
        return fail("no server command: use -- SERVER_COMMAND [ARGS...], or --listen and --upstream")
    if args.max_sessions < 1 or args.idle_timeout <= 0:
        return fail("--max-sessions and --idle-timeout must be positive")
    if not args.state_timeout > 0:
        return fail("--state-timeout must be positive")
    if args.shared_state and args.state_scope not in (None, "global"):
        return fail("--shared-state is --state-scope global; give one of them")
    if args.listen is not None and any(importlib.util.find_spec(name) is None for name in ("mcp", "httptools")):
        return fail("the HTTP proxy needs the mcp extra: pip install 'korvanthel[mcp]'")
    http = http_options(args) if args.listen is not None else None
    if isinstance(http, str):
        return fail(http)

    try:
        decision_log = DecisionLog(args.decision_log, masks=args.mask) if args.decision_log else None
    except ValueError as exc:
        return fail(f"--mask: {exc}")
    except OSError as exc:
        return fail(f"--decision-log {args.decision_log}: {exc.strerror or exc}")
    if args.mask and decision_log is None:
        return fail("--mask needs --decision-log")
    try:
        context, config = read_value_options(args)
    except ValueError as exc:
        if decision_log is not None:
            decision_log.close()
        return fail(str(exc))
    try:
        guard = Guard.from_path(
            args.policy,
            context=context,
            config=config,
            shared_state=args.shared_state,
            max_sessions=args.max_sessions,
            idle_seconds=args.idle_timeout,
            decision_log=decision_log,
            telemetry=Telemetry.create(),
            shadow=args.shadow,
            state=args.state,
            state_scope=args.state_scope,
            on_lost_state=args.on_lost_state,
            state_unavailable=args.state_unavailable,
            state_timeout=args.state_timeout,
            verify_key=args.verify_key,
        )
        if not args.allow_unknown_fields:
            try:
                check_policy_fields(guard.policy, "mcp", opt_out="--allow-unknown-fields")
            except PolicyLoadError:
                guard.close()
                raise
    except (PolicyLoadError, ValueError) as exc:
        if decision_log is not None:
            decision_log.close()
        prefix = "" if isinstance(exc, PolicyLoadError) else "--state: "
        return fail(f"{prefix}{exc}")
    logger = logging.getLogger("korvanthel.mcp_proxy")
    scope = guard.state.scope if guard.state is not None else None
    logger.info(
        "policy %r%s, state %s in %s%s", guard.policy_name,
        "" if guard.source_hash is None else f" (source hash {guard.source_hash})",
        "shared by all sessions" if scope is not None and scope.kind == "global" else f"per {scope}",
        getattr(guard.state, "url", args.state), ", shadow mode: nothing is enforced" if args.shadow else "",
    )
    ping = getattr(guard.state, "ping", None)
    problem = ping() if ping is not None else None
    if problem is not None:
        logger.warning("the state store %s does not answer yet (%s); decisions follow --state-unavailable %s",
                       getattr(guard.state, "url", args.state), problem, args.state_unavailable)
    try:
        if args.listen is not None:
            from korvanthel_tools.mcp_proxy.http import run_http

            assert http is not None
            if decision_log is not None and http.token is not None:
                decision_log.secrets.append(http.token.decode())
            status = run_http(guard, str(args.listen), str(args.upstream), http)
        else:
            from korvanthel_tools.mcp_proxy.stdio import run_stdio

            status = run_stdio(guard, server)
    finally:
        guard.close()
    return status
