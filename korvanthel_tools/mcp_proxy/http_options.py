"""The options of ``korvanthel mcp-proxy --listen``: who may call it, how
big a request may be, how long the upstream may take, TLS.

Safe by default: a loopback listener takes requests from loopback origins
only; a listener on any other address refuses to start without either a
token file (``--auth-token-file``) or an explicit ``--no-auth``.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from korvanthel_tools.mcp_proxy.access import is_loopback, parse_names, read_token_file

if TYPE_CHECKING:
    from korvanthel_tools.mcp_proxy.http import HttpOptions

DEFAULT_MAX_BODY = 4 * 1024 * 1024


def add_http_arguments(parser: argparse.ArgumentParser) -> None:
    """Register the HTTP listener's options: origins, hosts, token, TLS and bounds."""
    group = parser.add_argument_group("HTTP listener (with --listen)")
    group.add_argument(
        "--allow-origin", action="append", default=[], metavar="ORIGIN",
        help="also accept requests whose Origin is ORIGIN (scheme://host[:port], or *); repeatable "
             "(default: loopback origins on a loopback listener, none otherwise)",
    )
    group.add_argument(
        "--allow-host", action="append", default=[], metavar="HOST",
        help="also accept requests whose Host is HOST (a name, or name:port); repeatable "
             "(default: the listening address, and localhost on a loopback listener)",
    )
    group.add_argument(
        "--auth-token-file", metavar="FILE",
        help="require 'Proxy-Authorization: Bearer TOKEN' (or 'Authorization: Bearer TOKEN') with the token in "
             "FILE (mode 600); needed to listen on a non-loopback address",
    )
    group.add_argument("--no-auth", action="store_true", help="listen on a non-loopback address without a token (unsafe)")
    group.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate chain (PEM; with --tls-key)")
    group.add_argument("--tls-key", metavar="FILE", help="the private key of --tls-cert (PEM)")
    group.add_argument(
        "--max-body", type=int, default=DEFAULT_MAX_BODY, metavar="BYTES",
        help=f"refuse request bodies (and upstream answers or events) larger than this with 413 "
             f"(default {DEFAULT_MAX_BODY})",
    )
    group.add_argument("--connect-timeout", type=float, default=10.0, metavar="SECONDS",
                       help="give up connecting to the upstream after this long (default 10)")
    group.add_argument("--read-timeout", type=float, default=300.0, metavar="SECONDS",
                       help="give up on an upstream that sends nothing for this long (default 300)")


def http_options(args: argparse.Namespace) -> HttpOptions | str:
    """The ``HttpOptions`` for ``args``, or the text of why they are refused."""
    from korvanthel_tools.mcp_proxy.http import HttpOptions, parse_listen

    try:
        host, _ = parse_listen(str(args.listen))
    except ValueError as exc:
        return str(exc)
    if args.max_body < 1 or args.connect_timeout <= 0 or args.read_timeout <= 0:
        return "--max-body, --connect-timeout and --read-timeout must be positive"
    if (args.tls_cert is None) != (args.tls_key is None):
        return "--tls-cert and --tls-key go together"
    if args.auth_token_file is not None and args.no_auth:
        return "give --auth-token-file or --no-auth, not both"
    token = None
    if args.auth_token_file is not None:
        try:
            token = read_token_file(args.auth_token_file)
        except ValueError as exc:
            return f"--auth-token-file {exc}"
    elif not is_loopback(host):
        if not args.no_auth:
            return (f"--listen {args.listen} is not a loopback address: anyone who can reach it could use the "
                    "server's tools. Give --auth-token-file FILE (clients then send its token), or --no-auth "
                    "to accept every caller")
        print(f"korvanthel mcp-proxy: warning: --no-auth: anyone who can reach {args.listen} can call the "
              "server's tools", file=sys.stderr)
    if not is_loopback(host) and args.tls_cert is None:
        print("korvanthel mcp-proxy: warning: without --tls-cert the traffic (and any token) crosses the network "
              "unencrypted", file=sys.stderr)
    return HttpOptions(
        allow_origins=parse_names(args.allow_origin),
        allow_hosts=parse_names(args.allow_host),
        token=token,
        tls_cert=args.tls_cert,
        tls_key=args.tls_key,
        max_body=args.max_body,
        max_sessions=args.max_sessions,
        connect_timeout=args.connect_timeout,
        read_timeout=args.read_timeout,
    )
