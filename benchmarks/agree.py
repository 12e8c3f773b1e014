"""Checks, before any timing, that every engine reaches the same allow/deny
outcome on the same events: the reference stream and the event of the
rule-count series at every size. Exits non-zero on the first disagreement.

    python benchmarks/agree.py
"""
import sys

import _korvanthel_core as core
import workload as w
from peers import available_peers, reference_peer, scale_peer


def ours_denies(engine):
    return lambda event_type, fields: engine.evaluate(event_type, fields)["verdict"] == "deny"


def check(label, deciders, events):
    expected = [deciders["korvanthel"](t, f) for t, f in events]
    for name, decide in deciders.items():
        got = [decide(t, f) for t, f in events]
        if got != expected:
            k = next(j for j, (a, b) in enumerate(zip(got, expected)) if a != b)
            print(f"DISAGREE {label}: {name} says deny={got[k]} for event {k} {events[k]!r}; "
                  f"korvanthel says deny={expected[k]}")
            return False
    denied = sum(expected)
    print(f"agree {label}: {len(deciders)} engines, {len(events)} events, {denied} denied")
    return True


def main():
    peers, missing = available_peers()
    for name, why in missing.items():
        print(f"peer {name} unavailable: {why}")
    events = w.reference_events()
    deciders = {"korvanthel": ours_denies(w.reference_engine(w.reference_policy()))}
    deciders.update({name: reference_peer(name) for name in peers})
    ok = check("reference", deciders, events)
    for n in w.RULE_COUNTS:
        engine = core.PolicyEngine.from_json(w.dump(w.scale_policy(n)))
        deciders = {"korvanthel": ours_denies(engine)}
        deciders.update({name: scale_peer(name, n) for name in peers})
        # The series event, plus the same fields under the other types.
        t, f = w.scale_event()
        probe = [(t, f), (w.scale_type(max(1, n // w.RULES_PER_TYPE) - 1), f),
                 (t, dict(f, tool="tool_9")), (t, dict(f, args={"path": "/srv/4/x", "mode": "r"}))]
        ok = check(f"{n} rules", deciders, probe) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
