"""The latency the MCP proxy adds to a tools/call, over stdio and over HTTP.

For each transport, the same SDK client calls the same SDK tool server
(tests/mcp/tool_server.py) directly and through ``korvanthel mcp-proxy``
with the test policy (tests/mcp/policies.py), in one run, in alternating
blocks so that drift in the machine's load hits both alike. The call is an
allowed ``read_file`` whose result is evaluated too, so each proxied call
costs two decisions. Reports the median and p99 of each and the overhead
of the medians against the goal: at most 10% of a direct call's median, or
200 us, whichever is larger.

On a loaded machine the added latency is mostly the wait for a core each
time the proxy process wakes (twice a call), not the proxy's work. So the
benchmark also reports the CPU time the proxy process and the server
process spend per call (from /proc, over the timed calls): the proxy's
own cost, independent of scheduling.

    python benchmarks/mcp_overhead.py [--calls N] [--blocks B] [--http-only] [--baseline TREE]

``--baseline TREE`` also runs the HTTP proxy from another source tree (a
checkout of an earlier commit, say) in the same alternating blocks, so that
a change is measured against what it replaces in one run. Run it from a
folder that holds no ``korvanthel_tools`` (``python -m`` puts the current
folder first on the path), e.g. ``cd /tmp && python REPO/benchmarks/...``.

Needs the mcp extra (pip install '.[mcp]'). Not part of CI.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "mcp"))

from mcp.client.client import Client  # noqa: E402

from policies import guard_policy_json  # noqa: E402
from proxy_support import direct, http_proxy, http_tool_server, proxied  # noqa: E402


TICK = os.sysconf("SC_CLK_TCK")
BASELINE_MARK = ("--max-sessions", "4097")
BASELINE_URLS: set[str] = set()


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time of a process so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def descendants(marker: str, unless: str = "\0") -> list[int]:
    """Processes below this one whose command line contains ``marker`` and
    not ``unless``."""
    found = []
    pending = [os.getpid()]
    while pending:
        pid = pending.pop()
        for task in Path(f"/proc/{pid}/task").iterdir():
            children = (task / "children").read_text().split()
            for child in map(int, children):
                pending.append(child)
                cmdline = Path(f"/proc/{child}/cmdline").read_bytes().replace(b"\0", b" ")
                if marker.encode() in cmdline and unless.encode() not in cmdline:
                    found.append(child)
    return found


async def time_calls(target: Any, calls: int, mode: str, cpu: dict[str, float]) -> list[float]:
    async with Client(target, mode=mode) as client:
        for _ in range(20):  # warm-up
            await client.call_tool("read_file", {"path": "notes.txt"})
        baseline = " ".join(BASELINE_MARK)
        watched = {
            "proxy": descendants("korvanthel_tools mcp-proxy", unless=baseline)
            if not (isinstance(target, str) and target in BASELINE_URLS) else descendants(baseline),
            "server": descendants("tool_server.py", unless="korvanthel_tools"),
        }
        before = {name: sum(map(cpu_seconds, pids)) for name, pids in watched.items()}
        samples = []
        for _ in range(calls):
            start = time.perf_counter()
            result = await client.call_tool("read_file", {"path": "notes.txt"})
            samples.append(time.perf_counter() - start)
            assert not result.is_error
        for name, pids in watched.items():
            cpu[name] = cpu.get(name, 0.0) + sum(map(cpu_seconds, pids)) - before[name]
        return samples


def p99(samples: list[float]) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def compare(name: str, direct_target: Any, proxied_target: Any, calls: int, blocks: int, mode: str,
            others: dict[str, Any] | None = None) -> list[dict[str, Any]]:
    """The row of ``proxied_target``, and one for each of ``others`` (name:
    target), all timed in the same alternating blocks."""
    plain: list[float] = []
    targets = {name: proxied_target, **(others or {})}
    timed: dict[str, list[float]] = {key: [] for key in targets}
    cpus: dict[str, dict[str, float]] = {key: {} for key in targets}
    for _ in range(blocks):
        plain += asyncio.run(time_calls(direct_target, calls, mode, {}))
        for key, target in targets.items():
            timed[key] += asyncio.run(time_calls(target, calls, mode, cpus[key]))
    return [_row(key, plain, timed[key], cpus[key]) for key in targets]


def _row(name: str, plain: list[float], guarded: list[float], cpu: dict[str, float]) -> dict[str, Any]:
    direct_median = statistics.median(plain)
    proxied_median = statistics.median(guarded)
    overhead = proxied_median - direct_median
    allowance = max(0.10 * direct_median, 200e-6)
    return {
        "transport": name,
        "direct_median": direct_median,
        "direct_p99": p99(plain),
        "proxied_median": proxied_median,
        "proxied_p99": p99(guarded),
        "overhead": overhead,
        "ratio": proxied_median / direct_median,
        "goal_met": overhead <= allowance,
        "allowance": allowance,
        "proxy_cpu": cpu.get("proxy", 0.0) / len(guarded),
        "server_cpu": cpu.get("server", 0.0) / len(guarded),
    }


def us(seconds: float) -> str:
    return f"{seconds * 1e6:,.0f} us"


def main(argv: list[str] | None = None) -> int:
    from contextlib import ExitStack

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--http-only", action="store_true", help="measure the HTTP transport only")
    parser.add_argument("--baseline", metavar="TREE", help="also run the HTTP proxy of this source tree")
    parser.add_argument("--calls", type=int, default=500, help="calls per block (default 500)")
    parser.add_argument("--blocks", type=int, default=4, help="alternating blocks per side (default 4)")
    parser.add_argument("--mode", default="legacy", help="the client's protocol mode (legacy, 2026-07-28)")
    parser.add_argument("--json", help="also write the rows (seconds) to this file, for benchmarks/report.py")
    args = parser.parse_args(argv)
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        policy = Path(scratch) / "policy.json"
        policy.write_text(guard_policy_json())
        record = Path(scratch) / "calls.jsonl"
        if not args.http_only:
            rows += compare("stdio", direct(record), proxied(policy, record), args.calls, args.blocks, args.mode)
        with ExitStack() as stack:
            upstream = stack.enter_context(http_tool_server(record))
            proxy = stack.enter_context(http_proxy(policy, upstream, record))
            others = {}
            if args.baseline:
                # The baseline proxy runs from TREE, told apart by its
                # --max-sessions.
                import proxy_support

                proxy_support.ROOT = Path(args.baseline).resolve()
                try:
                    base = stack.enter_context(http_proxy(policy, upstream, record, *BASELINE_MARK))
                finally:
                    proxy_support.ROOT = ROOT
                others["HTTP (baseline)"] = base.url
                BASELINE_URLS.add(base.url)
            rows += compare("HTTP", upstream, proxy.url, args.calls, args.blocks, args.mode, others)
    print(f"tools/call latency, {args.calls * args.blocks} calls per side, client mode {args.mode}")
    print("| Transport | Direct median | Direct p99 | Proxied median | Proxied p99 | Added (median) | Ratio | Goal |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    for row in rows:
        print(
            f"| {row['transport']} | {us(row['direct_median'])} | {us(row['direct_p99'])} | "
            f"{us(row['proxied_median'])} | {us(row['proxied_p99'])} | {us(row['overhead'])} | "
            f"{row['ratio']:.2f}x | {'met' if row['goal_met'] else 'missed'} (allowance {us(row['allowance'])}) |"
        )
    print()
    print("| Transport | Proxy CPU per call | Server CPU per call | Proxy / server |")
    print("|---|---:|---:|---:|")
    for row in rows:
        ratio = row["proxy_cpu"] / row["server_cpu"] if row["server_cpu"] else float("nan")
        print(f"| {row['transport']} | {us(row['proxy_cpu'])} | {us(row['server_cpu'])} | {ratio:.2f}x |")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1, default=float)
    return 0




if __name__ == "__main__":
    sys.exit(main())
