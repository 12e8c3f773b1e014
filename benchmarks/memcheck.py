"""Resident memory over 1,000,000 evaluate calls with the reference policy,
after a warm-up that outlasts the policy's one-second rate-limit window (so
the window's storage has reached its steady size). Prints one JSON object.

    python benchmarks/memcheck.py [calls]
"""
import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload as w  # noqa: E402


def rss_kib():
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("VmRSS not found")


def run(evaluate, events, calls):
    n = len(events)
    for k in range(calls):
        event_type, fields = events[k % n]
        evaluate(event_type, fields)


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    events = w.reference_events()
    evaluate = w.reference_engine(w.reference_policy()).evaluate
    start = time.monotonic()
    while time.monotonic() - start < 3.0:
        run(evaluate, events, 100_000)
    gc.collect()
    before = rss_kib()
    run(evaluate, events, calls)
    gc.collect()
    after = rss_kib()
    print(json.dumps({"calls": calls, "rss_before_kib": before, "rss_after_kib": after,
                      "growth_kib": after - before}))


if __name__ == "__main__":
    main()
