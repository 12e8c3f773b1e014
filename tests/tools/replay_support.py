"""Policies and traces for the event-time replay tests."""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any

from tools_support import POLICY

from korvanthel_tools import policy_json as pj

T0 = 1_733_650_000_000  # 2024-12-08T09:26:40Z in milliseconds
MINUTE = 60_000
HOUR = 60 * MINUTE


def rate_limited_policy(limit: int = 10, window_ms: int = MINUTE) -> dict[str, Any]:
    """At most ``limit`` tool_call events per window; everything else allowed."""
    return pj.policy("rate", constraints=[pj.rate_limit("tool_call", limit, window_ms)])


def deadline_policy(deadline_ms: int = 30 * MINUTE) -> dict[str, Any]:
    """A session still open ``deadline_ms`` after its first event is violated."""
    return pj.policy("deadline", state_machines=[pj.state_machine(
        1, "finish-in-time", "session_ends_in_time", "Eventually",
        [pj.state(0, "open"), pj.state(1, "late", "Violated")],
        [pj.transition(0, 1, pj.timeout())],
        violating_states=[1], deadline_millis=deadline_ms,
    )])


def write_policy(path: Path, policy: dict[str, Any]) -> Path:
    path.write_text(json.dumps(policy), encoding="utf-8")
    return path


def mixed_trace(sessions: int, events: int, seed: int) -> list[dict[str, Any]]:
    """Interleaved sessions of the tools-test policy's event kinds, each
    session's events in time order, bursts close enough to hit its rate
    limit and reads of secrets followed by sends."""
    rng = random.Random(seed)
    clocks = {f"s{i}": T0 + rng.randrange(0, HOUR) for i in range(sessions)}
    kinds: list[dict[str, Any]] = [
        {"type": "tool_call", "fields": {"tool": "shell"}},
        {"type": "tool_call", "fields": {"tool": "fetch"}},
        {"type": "tool_call", "fields": {"tool": "search"}},
        {"type": "burst"},
        {"type": "data", "fields": {"action": "read_secret"}},
        {"type": "data", "fields": {"action": "send"}},
    ]
    out = []
    for _ in range(events):
        session = rng.choice(sorted(clocks))
        clocks[session] += rng.choice((5, 500, 20_000, 90_000))
        event = {**rng.choice(kinds), "ts": clocks[session], "session": session}
        out.append(event)
    return out


def stricter(policy: dict[str, Any]) -> dict[str, Any]:
    """The tools-test policy with fetch denied instead of audited and the
    tagging rule gone."""
    other: dict[str, Any] = json.loads(json.dumps(policy))
    other["name"] = "stricter"
    other["rules"][1]["verdicts"][0]["verdict"] = "Deny"
    other["rules"] = [r for r in other["rules"] if r["id"] != 9]
    return other


__all__ = ["POLICY", "T0", "MINUTE", "HOUR", "rate_limited_policy", "deadline_policy", "write_policy", "mixed_trace", "stricter"]
