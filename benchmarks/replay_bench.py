"""Replay throughput: a JSON-lines trace of the reference workload replayed
in event time in one process, side by side in one run with the older
Python replay path and a plain Python loop calling PolicyEngine.evaluate.

    python benchmarks/replay_bench.py [--events N] [--sessions S] [--repeat R]

Each path replays the same events with the same policy, context and
configuration, and each is timed from its input to its output:

    native lines   korvanthel_tools._native.replay_lines: the trace's bytes in,
                   result lines (bytes) and the summary out
    native file    korvanthel_tools._native.replay_file: the trace file in,
                   result lines written to a file
    native sorted  replay_lines with sort=True (each session ordered by time)
    python replay  the Python path: each line parsed with json.loads, checked,
                   evaluated with PolicyEngine.evaluate (one engine, wall
                   clock), counted in the summary and written with json.dumps
    python loop    PolicyEngine.evaluate over prepared (type, fields) pairs:
                   no reading, no writing, no summary
    against        what `korvanthel replay --against` does in one process:
                   replay_lines with against=a second policy (the same
                   rules: nothing differs), each line read once and
                   evaluated by both, only differing events written,
                   grouped by change in the same pass
                   (policy_diff.diff_from_changes)
    against two    two replays, their result lines paired natively
                   (policy_diff.diff_result_lines), as before
    against json   the same two replays, every result line decoded and
                   paired in Python (policy_diff.diff_results)

Every path runs on one thread. Each is timed by the processor time the
process used (time.process_time), so that other work on a shared machine
does not count against it; the wall-clock rate is shown beside it. The
best of R repeats is reported as events per second, with each path's
ratio to the plain loop.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload as w  # noqa: E402
from _korvanthel_core import PolicyEngine  # noqa: E402
from korvanthel_tools import _native  # noqa: E402

T0 = 1_714_564_800_000


def make_trace(n: int, sessions: int) -> bytes:
    """The reference stream repeated to n events, each with its session and
    its time (one event per millisecond)."""
    base = w.reference_events()
    out = io.StringIO()
    for k in range(n):
        event_type, fields = base[k % len(base)]
        out.write(json.dumps({"type": event_type, "session": f"agent-{k % sessions}", "ts": T0 + k, "fields": fields}))
        out.write("\n")
    return out.getvalue().encode()


def best_of(repeat: int, run: Callable[[], object]) -> tuple[float, float]:
    """(processor seconds, wall seconds) of the fastest of `repeat` runs."""
    best = (float("inf"), float("inf"))
    for _ in range(repeat):
        cpu, wall = time.process_time(), time.perf_counter()
        run()
        best = min(best, (time.process_time() - cpu, time.perf_counter() - wall))
    return best


def python_replay(engine: PolicyEngine, text: str) -> int:
    """The Python replay path: parse, check, evaluate, count, write."""
    from korvanthel_tools.replay.events import parse_event
    from korvanthel_tools.replay.summary import ReplaySummary

    summary = ReplaySummary()
    out = io.StringIO()
    for number, line in enumerate(text.splitlines(), start=1):
        obj = json.loads(line)
        session = obj.pop("session")  # the Python reader knows no session key
        obj.pop("ts")
        event = parse_event(number, json.dumps(obj))
        result = engine.evaluate(event.event_type, event.fields)
        summary.add(event, result)
        out.write(json.dumps({"line": number, "session": session, "type": event.event_type, "result": result},
                             ensure_ascii=False) + "\n")
    return summary.events


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=200_000)
    parser.add_argument("--python-events", type=int, default=20_000, help="events for the Python replay path")
    parser.add_argument("--sessions", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", help="also write events per processor second of each path to this file")
    args = parser.parse_args()

    policy = json.dumps(w.reference_policy())
    context, config = json.dumps(w.CONTEXT), json.dumps(w.CONFIG)
    data = make_trace(args.events, args.sessions)
    small = make_trace(args.python_events, args.sessions)
    kwargs = {"session_key": "session", "context": context, "config": config}

    # The native replay and a Python engine agree on every verdict.
    engine = w.reference_engine(w.reference_policy())
    check = _native.replay_lines(policy, small, **kwargs)
    got = [json.loads(line)["result"]["verdict"] for line in check["results"].splitlines()]
    want = [engine.evaluate(t, f)["verdict"] for t, f in
            (w.reference_events()[k % 256] for k in range(args.python_events))]
    assert got == want, "the native replay and evaluate disagree"

    rows: list[tuple[str, int, tuple[float, float]]] = []
    rows.append(("native lines", args.events, best_of(args.repeat, lambda: _native.replay_lines(policy, data, **kwargs))))
    with tempfile.TemporaryDirectory() as tmp:
        trace_path = os.path.join(tmp, "trace.jsonl")
        with open(trace_path, "wb") as f:
            f.write(data)
        out_path = os.path.join(tmp, "results.jsonl")
        rows.append(("native file", args.events, best_of(
            args.repeat, lambda: _native.replay_file(policy, trace_path, out=out_path, **kwargs))))
    from korvanthel_tools.replay.policy_diff import diff_from_changes, diff_result_lines, diff_results, iter_records

    def one_pass() -> None:
        run = _native.replay_lines(policy, data, against=policy, examples=5, **kwargs)
        diff_from_changes(run["changes"], run["summary"]["events"])

    def against(paired_natively: bool) -> None:
        before = _native.replay_lines(policy, data, **kwargs)["results"]
        after = _native.replay_lines(policy, data, **kwargs)["results"]
        if paired_natively:
            diff_result_lines(before, after)
        else:
            diff_results(iter_records(before, json.loads), iter_records(after, json.loads))

    rows.append(("against", args.events, best_of(args.repeat, one_pass)))
    rows.append(("against two", args.events, best_of(args.repeat, lambda: against(True))))
    rows.append(("against json", args.events, best_of(max(1, args.repeat // 2), lambda: against(False))))
    rows.append(("native sorted", args.events, best_of(
        args.repeat, lambda: _native.replay_lines(policy, data, sort=True, **kwargs))))
    text = small.decode()
    rows.append(("python replay", args.python_events, best_of(
        max(1, args.repeat // 2), lambda: python_replay(w.reference_engine(w.reference_policy()), text))))
    pairs = [(t, f) for t, f in (w.reference_events()[k % 256] for k in range(args.events))]

    def loop() -> None:
        evaluate = w.reference_engine(w.reference_policy()).evaluate
        for event_type, fields in pairs:
            evaluate(event_type, fields)

    rows.append(("python loop", args.events, best_of(args.repeat, loop)))

    loop_rate = rows[-1][1] / rows[-1][2][0]
    print(f"Reference workload, {args.events:,} events in {args.sessions} sessions "
          f"({len(data) / args.events:.0f} bytes a line), best of {args.repeat}")
    print(f"{'path':<15} {'events':>10} {'cpu s':>8} {'events/s':>12} {'vs loop':>8} {'wall ev/s':>12}")
    for name, n, (cpu, wall) in rows:
        rate = n / cpu
        print(f"{name:<15} {n:>10,} {cpu:>8.3f} {rate:>12,.0f} {rate / loop_rate:>7.2f}x {n / wall:>12,.0f}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({name: n / cpu for name, n, (cpu, _) in rows}, f, indent=1)


if __name__ == "__main__":
    main()
