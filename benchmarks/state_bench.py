"""What the Redis state store costs a decision (docs/state.md).

Three measurements, against a redis-server this script starts on a free
loopback port (append-only file off: the cost of persistence is Redis's):

1. overhead: a stdio ``korvanthel mcp-proxy`` over the test tool server,
   once with ``--state memory`` and once with ``--state redis://...``, in
   alternating blocks; each call is two decisions (the call and its
   result). Reports p50 and p99 per call and the overhead per decision
   against the target: one Redis round trip (a PING's p50, measured here)
   plus 50 us.
2. throughput: 1, 2 and 4 processes deciding as fast as they can through
   ``RedisStateStore``, on a key each and on one shared key; decisions per
   second, all processes together.
3. window size: the decision cost (p50, p99) with 10, 1,000 and 100,000
   entries in the window a decision counts in; target: within 1.5x of each
   other.

    python benchmarks/state_bench.py [--calls N] [--decisions N]

Needs the mcp and redis extras. Not part of CI; a benchmark, not a test.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "mcp"))
sys.path.insert(0, str(ROOT / "tests" / "state"))

from policies import guard_policy_json  # noqa: E402
from proxy_support import RawClient, environment, proxy_argv, stdio_server  # noqa: E402
from redis_support import RedisServer  # noqa: E402

from korvanthel_tools import policy_json as pj  # noqa: E402
from korvanthel_tools.guarding import PolicySource  # noqa: E402
from korvanthel_tools.guarding.redis_store import RedisStateStore  # noqa: E402
from korvanthel_tools.guarding.state_store import MemoryStateStore, StateScope  # noqa: E402

T0 = 1_800_000_000_000
DAY = 86_400_000


def percentile(samples: list[float], q: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def us(seconds: float) -> str:
    return f"{seconds * 1e6:8.1f} us"


def ping_p50(url: str) -> float:
    import redis

    client = redis.Redis.from_url(url)
    samples = []
    for _ in range(2000):
        start = time.perf_counter()
        client.ping()
        samples.append(time.perf_counter() - start)
    client.close()
    return statistics.median(samples)


def proxy_calls(policy: Path, record: Path, options: list[str], calls: int) -> list[float]:
    client = RawClient(proxy_argv(policy, *options, server=stdio_server()), environment(record))
    try:
        client.initialize()
        params = {"name": "read_file", "arguments": {"path": "notes.txt"}}
        for n in range(50):
            client.request(n + 1, "tools/call", params)
        samples = []
        for n in range(calls):
            start = time.perf_counter()
            client.request(1000 + n, "tools/call", params)
            samples.append(time.perf_counter() - start)
        client.finish()
        return samples
    finally:
        client.kill()


def overhead(url: str, calls: int, blocks: int, work: Path) -> None:
    policy = work / "policy.json"
    policy.write_text(guard_policy_json(rate_limit=1_000_000_000))
    samples: dict[str, list[float]] = {"memory": [], "redis": []}
    for block in range(blocks):
        for name, options in (("memory", []), ("redis", ["--state", url, "--state-scope", "global"])):
            samples[name] += proxy_calls(policy, work / f"calls-{block}.jsonl", options, calls)
    rtt = ping_p50(url)
    print("1. per call through the stdio proxy (two decisions a call)")
    for name, values in samples.items():
        print(f"   {name:7s} p50 {us(percentile(values, 0.5))}  p99 {us(percentile(values, 0.99))}")
    per_decision = (percentile(samples["redis"], 0.5) - percentile(samples["memory"], 0.5)) / 2
    print(f"   redis overhead per decision (p50): {us(per_decision)}; target: round trip {us(rtt)} + 50 us = "
          f"{us(rtt + 50e-6)}")


def _worker(url: str, key: str, decisions: int, start: Any, out: Any) -> None:
    source = PolicySource.from_json(guard_policy_json(rate_limit=1_000_000_000))
    store = RedisStateStore(source, url, scope=StateScope("global"))
    fields = {"tool": "read_file", "arguments": {"path": "notes.txt"}}
    store.decide(key, T0, "tool_call", fields)
    start.wait()
    began = time.perf_counter()
    for n in range(decisions):
        store.decide(key, T0 + n, "tool_call", fields)
    out.put(time.perf_counter() - began)


def throughput(url: str, decisions: int) -> None:
    print("2. throughput (decisions per second, all processes together)")
    context = multiprocessing.get_context("spawn")
    for shared in (False, True):
        row = []
        for processes in (1, 2, 4):
            start = context.Barrier(processes)
            out = context.Queue()
            workers = [
                context.Process(target=_worker, args=(url, "shared" if shared else f"key-{processes}-{n}",
                                                      decisions, start, out))
                for n in range(processes)
            ]
            for worker in workers:
                worker.start()
            elapsed = max(out.get(timeout=600) for _ in workers)
            for worker in workers:
                worker.join(timeout=60)
            row.append(f"{processes} proc {processes * decisions / elapsed:8.0f}/s")
        print(f"   {'one shared key' if shared else 'a key each    '}  " + "   ".join(row))


def window_policy() -> str:
    return pj.dumps(pj.policy(
        "window-bench", rules=[], constraints=[pj.quota("tool_call", 1_000_000_000, DAY)], state_machines=[],
        scopes=[], annotations=[], source_hash=1, compiler_version="bench",
    ))


def window_cost(url: str, decisions: int) -> None:
    print("3. decision cost by window size (entries the decision's window holds)")
    source = PolicySource.from_json(window_policy())
    fields = {"tool": "read_file", "arguments": {}}
    for size in (10, 1_000, 100_000):
        row = []
        for name in ("memory", "redis"):
            store: Any = (MemoryStateStore(source, scope=StateScope("global"), idle_ms=None) if name == "memory"
                          else RedisStateStore(source, url, scope=StateScope("global"), prefix=f"bench{size}"))
            for n in range(size):  # events spread over the last hour, all in the day's window
                store.decide("global", T0 + n * 3_600_000 // size, "tool_call", fields)
            samples = []
            for n in range(decisions):
                start = time.perf_counter()
                store.decide("global", T0 + 3_600_000 + n, "tool_call", fields)
                samples.append(time.perf_counter() - start)
            store.close()
            row.append(f"{name} p50 {us(percentile(samples, 0.5))} p99 {us(percentile(samples, 0.99))}")
        print(f"   {size:>7,d} entries: " + "   ".join(row))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=500, help="timed proxy calls per block (default 500)")
    parser.add_argument("--blocks", type=int, default=3, help="alternating blocks per store (default 3)")
    parser.add_argument("--decisions", type=int, default=3000, help="decisions per process or size (default 3000)")
    args = parser.parse_args()
    if shutil.which("redis-server") is None:
        print("redis-server is not installed (scripts/deps.sh installs it)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        server = RedisServer(work, appendonly=False)
        server.start()
        try:
            print(f"redis-server on {server.url}; {os.cpu_count()} cores")
            overhead(server.url, args.calls, args.blocks, work)
            throughput(server.url, args.decisions)
            window_cost(server.url, args.decisions)
        finally:
            server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
