"""An agent guard in action.

Loads the compiled example policy (guard_policy.zelvoc, compiled from the
source guard_policy.zelvo by `korvanthel compile`; guard_policy.json is the
same policy in JSON) and evaluates the events of a short
agent session: tool calls and data accesses, as an agent framework would
report them before carrying them out. Tool calls have the shape every
integration sends (docs/events.md): the tool's name under "tool", its
arguments under "arguments". For each event it prints the verdict,
the reason, the rules that fired and the actions they request.

    python examples/guard_demo.py [path/to/policy.zelvoc]
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from _korvanthel_core import PolicyEngine

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult

HERE = Path(__file__).resolve().parent

# (event type, fields, what the agent is doing)
SESSION: list[tuple[str, dict[str, Any], str]] = [
    ("tool_call", {"tool": "web_search", "arguments": {"query": "quarterly revenue by region"}}, "searches the web"),
    ("tool_call", {"tool": "http_request", "arguments": {"method": "GET", "url": "https://api.example.com/v1/reports"}},
     "fetches a report over HTTPS"),
    ("tool_call", {"tool": "http_request", "arguments": {"method": "GET", "url": "http://intranet.example.com/wiki"}},
     "fetches a page over plain HTTP"),
    ("tool_call", {"tool": "http_request", "arguments": {"method": "POST", "url": "https://paste.example.org/upload",
                                                        "body_bytes": 812}}, "posts notes to a paste site"),
    ("tool_call", {"tool": "shell", "arguments": {"command": "rm -rf /var/lib/app/cache /", "cwd": "/srv"}},
     "runs a destructive shell command"),
    ("tool_call", {"tool": "send_email",
                   "arguments": {"to": "partner@contoso.net", "subject": "Q3 numbers", "attachments": 1}},
     "emails an outside partner"),
    ("data_access", {"path": "/home/agent/.ssh/id_ed25519", "mode": "read"}, "reads an SSH private key"),
    ("data_access", {"path": "crm/customers.csv", "mode": "read", "classification": "pii", "rows": 1200},
     "reads customer records"),
    ("data_access", {"path": "vault/payment_api_keys.json", "mode": "read", "classification": "secret"},
     "reads API secrets"),
    ("tool_call", {"tool": "http_request", "arguments": {"method": "POST", "url": "https://api.example.com/v1/upload",
                                                        "body_bytes": 4096}}, "uploads data right after reading secrets"),
]


def show(number: int, event_type: str, doing: str, result: EvalResult) -> None:
    verdict = result["verdict"].upper()
    print(f"[{number:2}] {event_type:<11} agent {doing}")
    reason = result["reason"]
    print(f"     -> {verdict:<7} {reason}" if reason is not None else f"     -> {verdict}")
    if result["triggered_rules"]:
        verbs = ", ".join(action["verb"] for action in result["actions"]) or "none"
        print(f"        rules fired: {result['triggered_rules']}; actions requested: {verbs}")
    for violation in result["violations"]:
        print(f"        invariant: {violation['message']}")
    for limit in result["constraint_violations"]:
        print(f"        {limit['kind']}: {limit['current']} {limit['target']} events in {limit['window_ms']} ms"
              f" (limit {limit['limit']})")


def main(argv: list[str]) -> int:
    path = argv[0] if argv else str(HERE / "guard_policy.zelvoc")
    engine = PolicyEngine.from_file(path)
    print(f"Loaded policy '{engine.policy_name}' from {path}\n")

    # Hosts the organisation never sends data to: read by rule 3 through
    # the configuration store.
    engine.set_config("blocked_hosts", ["paste.example.org", "transfer.example.net"])

    tally: dict[str, int] = {}
    for number, (event_type, fields, doing) in enumerate(SESSION, start=1):
        result = engine.evaluate(event_type, fields)
        tally[result["verdict"]] = tally.get(result["verdict"], 0) + 1
        show(number, event_type, doing, result)

    # A runaway loop: the rate limit allows 10 tool calls a minute. Reset
    # first so that the window holds only the loop's calls.
    engine.reset()
    print("\nAfter reset(), the agent gets stuck in a loop of searches:")
    allowed = 0
    for attempt in range(1, 13):
        result = engine.evaluate("tool_call", {"tool": "web_search", "arguments": {"query": "retry", "attempt": attempt}})
        if result["verdict"] == "allow":
            allowed += 1
        else:
            show(attempt, "tool_call", f"searches again (attempt {attempt})", result)
    print(f"     ({allowed} of 12 attempts allowed)")
    print(f"\nSession verdicts: {dict(sorted(tally.items()))}")
    print(f"{engine!r}\n")
    print(engine.status(), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
