"""Scaling of the Dask replay: a generated trace replayed in event time on a
local cluster of 1 and then 2 worker processes, side by side in one run.

    python benchmarks/dask_scaling.py                 # 10,000,000 events, 100,000 sessions
    python benchmarks/dask_scaling.py --events 1000000 --sessions 10000   # a quicker look

The trace is written as FILES JSON-lines files (default 10) under --dir:
the reference policy's events (benchmarks/workload.py), each given a
session drawn at random and a time that grows through the trace, so that
every session is spread across all the files in time order. Each line has
the same width (JSON allows the spaces that pad it), so a file is built as
one numpy array of bytes rather than line by line.

The time measured is that of ``replay_dask``: reading the files, dealing
each piece's lines into parts by session, moving each part's lines to its
worker, replaying them natively (result lines included) and merging the
summaries (``persist=False``: only the summaries are kept, so ten million
results need not fit in memory). It reports events per second and per
processor second for each cluster, the ratio of the clusters, and the
processor-second rate of the native replay of the same trace in this
process (``_native.replay_lines`` over the joined files, result lines in
memory) beside it. Not run in CI.

With --against, each cluster compares the reference policy with one
without rules 9 and 19 (about 40% of the events differ): ``diff_dask``,
what ``korvanthel replay --against --dask`` runs; the native rate beside
it is then that of the one-pass comparison in one process.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workload  # noqa: E402

T0 = 1_733_650_000_000
STEP_MS = 7
SESSION_DIGITS = 6
TS_DIGITS = 13
MAX_TEMPLATE = 360


def templates() -> tuple[np.ndarray, int, int, int]:
    """The event lines as a (templates, width) byte matrix with the time and
    the session left as zero digits; returns it with the columns where the
    time and session digits start, and the width of a line."""
    heads = []
    for event_type, fields in workload.reference_events():
        head = json.dumps({"type": event_type, "fields": fields}, separators=(",", ":"))[:-1]
        if len(head) < MAX_TEMPLATE:
            heads.append(head.encode())
    prefix_max = max(len(h) for h in heads)
    # Pad inside the object, after the fields, so the time and the session
    # sit in the same columns on every line.
    lines = []
    for head in heads:
        line = head + b" " * (prefix_max - len(head)) + b',"ts":' + b"0" * TS_DIGITS
        line += b',"session":"s' + b"0" * SESSION_DIGITS + b'"}\n'
        lines.append(line)
    width = len(lines[0])
    ts_col = prefix_max + len(b',"ts":')
    session_col = ts_col + TS_DIGITS + len(b',"session":"s')
    matrix = np.frombuffer(b"".join(lines), dtype=np.uint8).reshape(len(lines), width)
    return matrix, ts_col, session_col, width


def put_digits(block: np.ndarray, column: int, values: np.ndarray, digits: int) -> None:
    for k in range(digits):
        block[:, column + digits - 1 - k] = (values // 10**k) % 10 + ord("0")


def generate(directory: Path, events: int, sessions: int, files: int, seed: int = 20261208) -> list[Path]:
    directory.mkdir(parents=True, exist_ok=True)
    matrix, ts_col, session_col, _ = templates()
    rng = np.random.default_rng(seed)
    paths = []
    per_file = -(-events // files)
    for f in range(files):
        start, stop = f * per_file, min(events, (f + 1) * per_file)
        if start >= stop:
            break
        n = stop - start
        block = matrix[rng.integers(0, len(matrix), n)]
        put_digits(block, ts_col, T0 + np.arange(start, stop, dtype=np.int64) * STEP_MS, TS_DIGITS)
        put_digits(block, session_col, rng.integers(0, sessions, n), SESSION_DIGITS)
        path = directory / f"trace-{f:02d}.jsonl"
        path.write_bytes(block.tobytes())
        paths.append(path)
    return paths


def _cpu_seconds() -> float:
    """The calling process's processor time (run on each worker)."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


# The rules the compared policy leaves out: 19 fires on a third of the
# events, 9 on an eighth (an audit of data access): about 40% differ.
DROPPED_RULES = (9, 19)


def differing_policy() -> bytes:
    """The reference policy without DROPPED_RULES."""
    policy = workload.reference_policy()
    policy["rules"] = [r for r in policy["rules"] if r["id"] not in DROPPED_RULES]
    return json.dumps(policy).encode()


def run(workers: int, policy: bytes, paths: list[Path], block_size: int,
        against: bytes | None = None) -> tuple[float, float, float, int]:
    """(wall seconds, processor seconds of the cluster and this process, of
    the busiest worker, events) of one replay (or comparison with
    ``against``) on a fresh local cluster."""
    from distributed import Client, LocalCluster

    from korvanthel_tools.replay.dask_replay import diff_dask, replay_dask

    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.ERROR)
    client = Client(cluster)
    try:
        client.wait_for_workers(workers, timeout=120)
        before = client.run(_cpu_seconds)
        cpu_before = sum(before.values()) + _cpu_seconds()
        start = time.perf_counter()
        if against is None:
            replay = replay_dask(policy, [str(p) for p in paths], session_key="session", sort=False,
                                 context=workload.CONTEXT, config=workload.CONFIG, persist=False,
                                 block_size=block_size)
            events = replay.summary.events
        else:
            diff = diff_dask(policy, against, [str(p) for p in paths], session_key="session", sort=False,
                             context=workload.CONTEXT, config=workload.CONFIG, block_size=block_size)
            events = diff.diff.events
            print(f"  {diff.diff.differing:,} of {events:,} events differ", flush=True)
        elapsed = time.perf_counter() - start
        after = client.run(_cpu_seconds)
        cpu = sum(after.values()) + _cpu_seconds() - cpu_before
        busiest = max(after[w] - before[w] for w in after)
    finally:
        client.close()
        cluster.close()
    return elapsed, cpu, busiest, events


def native_rate(policy: bytes, paths: list[Path], against: bytes | None = None) -> float:
    """Events per processor second of one native replay (or comparison) of
    the whole trace."""
    from korvanthel_tools.replay.native import ReplayOptions, replay_native

    data = b"".join(p.read_bytes() for p in paths)
    options = ReplayOptions("session", False, False, workload.CONTEXT, workload.CONFIG)
    cpu = time.process_time()
    run = replay_native(policy, data, options, against=against, examples=None if against is None else 5)
    cpu = time.process_time() - cpu
    return int(run.summary["events"]) / cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=10_000_000)
    parser.add_argument("--sessions", type=int, default=100_000)
    parser.add_argument("--files", type=int, default=10)
    parser.add_argument("--dir", type=Path, default=Path("/tmp/korvanthel-dask-scaling"))
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--reuse", action="store_true", help="replay the trace already in --dir")
    parser.add_argument("--block-size", type=int, default=64 << 20, help="bytes of a file read by one task")
    parser.add_argument("--against", action="store_true", help="compare with a policy two rules short")
    parser.add_argument("--json", help="also write the figures to this file, for benchmarks/report.py")
    args = parser.parse_args()

    start = time.perf_counter()
    if args.reuse:
        paths = sorted(args.dir.glob("trace-*.jsonl"))
    else:
        paths = generate(args.dir, args.events, args.sessions, args.files)
    size = sum(p.stat().st_size for p in paths)
    print(f"trace: {args.events:,} events, {args.sessions:,} sessions, {len(paths)} files, "
          f"{size / 1e9:.2f} GB, generated in {time.perf_counter() - start:.1f} s", flush=True)
    policy = json.dumps(workload.reference_policy()).encode()
    expected = sum(p.read_bytes().count(b"\n") for p in paths)
    against = differing_policy() if args.against else None

    rates: dict[int, tuple[float, float]] = {}
    busiest: dict[int, float] = {}
    for workers in args.workers:
        load = os.getloadavg()[0]
        elapsed, cpu, busiest[workers], events = run(workers, policy, paths, args.block_size, against)
        if events != expected:
            print(f"replayed {events:,} events, expected {expected:,}", file=sys.stderr)
            return 1
        rates[workers] = (events / elapsed, events / cpu)
        print(f"{workers} worker{'s' if workers > 1 else ''}: {events:,} events in {elapsed:.1f} s "
              f"({rates[workers][0]:,.0f} events/s), {cpu:.1f} processor s "
              f"({rates[workers][1]:,.0f} events per processor s, busiest worker {busiest[workers]:.1f} s); "
              f"load average {load:.1f} "
              f"-> {os.getloadavg()[0]:.1f}", flush=True)
    native = native_rate(policy, paths, against)
    base = rates[args.workers[0]][0]
    print(f"native replay in one process: {native:,.0f} events per processor s")
    print()
    # On a shared machine wall time measures the load; the busiest worker's
    # processor time is what the wall time would be on idle cores.
    first = args.workers[0]
    print("| Workers | Events/s | Ratio | Ratio by busiest worker | Events per processor second |")
    print("|---:|---:|---:|---:|---:|")
    for workers, (rate, per_cpu) in rates.items():
        print(f"| {workers} | {rate:,.0f} | {rate / base:.2f}x | {busiest[first] / busiest[workers]:.2f}x "
              f"| {per_cpu:,.0f} ({per_cpu / native:.2f}x native) |")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"events": args.events, "native_events_per_cpu_s": native, "workers": {str(k): {"events_per_s": r, "events_per_cpu_s": c}
                                                          for k, (r, c) in rates.items()}}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
