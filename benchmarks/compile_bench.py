"""Compiler throughput against the JSON decoder, in one run.

Generates a policy source of N rules (10,000 by default) covering the
common constructs, compiles it to JSON once to get the equivalent JSON
text, then times, alternately and several times each:

  - compile: ``korvanthel_tools._native.compile_policy_json(source)``
    (lexing, parsing, lowering and writing the JSON text);
  - from_json: ``PolicyEngine.from_json(json)`` on that JSON text
    (decoding and preparing an engine);
  - compile to an engine: ``_native.Replayer(source)``, which compiles
    straight to the engine's model with no JSON text in between, beside
    ``_native.Replayer(json)``, the same engine from the JSON text.

Reports the best time of each, the throughput in MB/s of its own input,
and the ratio of the two throughputs; the goal is a ratio of at least 0.5.

    python benchmarks/compile_bench.py [--rules N] [--repeat R]
"""

from __future__ import annotations

import argparse
import json
import time
from collections.abc import Callable

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native

TOOLS = ["shell", "http_request", "send_email", "read_file", "write_file"]


def rule(i: int) -> str:
    tool = TOOLS[i % len(TOOLS)]
    kind = i % 4
    if kind == 0:
        when = f'event.tool == "{tool}" and event.command.contains("rm -rf /{i}")'
    elif kind == 1:
        when = f'event.tool == "{tool}" and not event.url.starts_with("https://") or event.size > {i}'
    elif kind == 2:
        when = f'config.blocked.any(h, event.url.contains(h)) and len(event.to) >= {i % 50}'
    else:
        when = f'event.path in ["/etc/{i}", "/root/{i}"] or event.path.matches(verbatim"^/home/[a-z]+/\\\\.ssh")'
    return (
        f"rule {i} on tool_call, data_access {{\n"
        f"  severity high\n"
        f"  when {when}\n"
        f'  deny "blocked by rule {i}: " + event.tool\n'
        f'  log(level: "warn", rule: {i}, within: 5m)\n'
        f"}}\n"
    )


def source(rules: int) -> str:
    head = 'policy "bench" severity high\nscopes "agent"\n\n'
    return head + "\n".join(rule(i) for i in range(1, rules + 1)) + "\nrate_limit tool_call 100 per 1m\n"


def best_of(repeat: int, work: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rules", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--json", help="also write the figures to this file, for benchmarks/report.py")
    args = parser.parse_args()

    text = source(args.rules)
    json_text = _native.compile_policy_json(text)
    PolicyEngine.from_json(json_text)  # warm up both, and check the JSON loads
    src_mb = len(text.encode()) / 1e6
    json_mb = len(json_text.encode()) / 1e6

    compile_s = from_json_s = engine_s = json_engine_s = float("inf")
    for _ in range(args.repeat):  # alternate, so that all see the same machine load
        compile_s = min(compile_s, best_of(1, lambda: _native.compile_policy_json(text)))
        from_json_s = min(from_json_s, best_of(1, lambda: PolicyEngine.from_json(json_text)))
        engine_s = min(engine_s, best_of(1, lambda: _native.Replayer(text)))
        json_engine_s = min(json_engine_s, best_of(1, lambda: _native.Replayer(json_text)))

    compile_rate = src_mb / compile_s
    json_rate = json_mb / from_json_s
    print(f"rules: {args.rules}; source {src_mb:.2f} MB, equivalent JSON {json_mb:.2f} MB; best of {args.repeat}")
    print(f"compile (source -> JSON):  {compile_s * 1e3:8.1f} ms  {compile_rate:7.1f} MB/s of source")
    print(f"from_json (JSON -> engine): {from_json_s * 1e3:8.1f} ms  {json_rate:7.1f} MB/s of JSON")
    print(f"throughput ratio compile/from_json: {compile_rate / json_rate:.2f}x (goal >= 0.5x)")
    print(f"time ratio for the same policy:     {from_json_s / compile_s:.2f}x (from_json time / compile time)")
    engine_rate = src_mb / engine_s
    json_engine_rate = json_mb / json_engine_s
    print(f"source -> engine (no JSON):  {engine_s * 1e3:8.1f} ms  {engine_rate:7.1f} MB/s of source")
    print(f"JSON -> engine, same path:   {json_engine_s * 1e3:8.1f} ms  {json_engine_rate:7.1f} MB/s of JSON")
    print(f"throughput ratio source/JSON to an engine: {engine_rate / json_engine_rate:.2f}x")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(
                {
                    "rules": args.rules,
                    "compile_mb_per_s": compile_rate,
                    "from_json_mb_per_s": json_rate,
                    "compile_to_engine_mb_per_s": engine_rate,
                    "json_to_engine_mb_per_s": json_engine_rate,
                },
                f,
            )


if __name__ == "__main__":
    main()
