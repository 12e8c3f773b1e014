#!/usr/bin/env python3
"""Times the policy decoder against Python's json.loads on the same text.

Generates the benchmark policy (the same policy decode_bench generates), runs
decode_bench on it through ZELVO_BENCH_POLICY, times json.loads in this
process, and prints both speeds and their ratio.

    python3 benchmarks/decode_vs_json.py [path/to/decode_bench]
"""
import gc
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time

DEFAULT_BENCH = os.path.join(os.path.dirname(__file__), "..", "build", "decoder", "benchmarks", "decode_bench")


# The policy builders, loaded from the source tree: decode_bench comes from
# a CMake build, so the package need not be installed.
_spec = importlib.util.spec_from_file_location(
    "policy_json", os.path.join(os.path.dirname(__file__), "..", "korvanthel_tools", "policy_json.py"))
pj = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pj)


def rule_json(i):
    condition = pj.binary(
        "And",
        pj.predicate("Contains", pj.event("args", "path"), pj.text("secret_" + str(i))),
        pj.binary("Gt", pj.call("len", pj.event("payload")), pj.integer(i)))
    message = "blocked by rule number " + str(i) + " of the generated benchmark policy"
    return pj.rule(i, ["tool_call", "data_access"], condition, [pj.verdict("Deny", message)],
                   [pj.action("Log", level=pj.text("warn"), score=pj.number(0.75))], severity="High")


def generate_policy(rules=14000):
    doc = pj.policy("bench", [rule_json(i) for i in range(rules)], scopes=["agent"], annotations=[("k", "v")],
                    compiler_version="1.0")
    # Python's default separators, as decode_bench writes its text: the
    # same size, keys in the builders' order.
    return json.dumps(doc)


def json_loads_rate(text, rounds=7):
    # The collector is off while timing (as timeit does), so json.loads is
    # measured at its best rather than with cyclic collections in between.
    best = float("inf")
    gc.disable()
    try:
        for _ in range(rounds):
            start = time.perf_counter()
            json.loads(text)
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return len(text.encode()) / best


def decoder_rate(bench, path):
    env = dict(os.environ, ZELVO_BENCH_POLICY=path)
    out = subprocess.run(
        [bench, "--benchmark_filter=BM_DecodeText", "--benchmark_format=json",
         "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=false"],
        env=env, check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    return max(b["bytes_per_second"] for b in runs)


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BENCH
    text = generate_policy()
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        f.write(text)
        path = f.name
    try:
        ours = decoder_rate(bench, path)
        theirs = json_loads_rate(text)
    finally:
        os.unlink(path)
    mb = 1e6
    print(f"policy text: {len(text) / mb:.1f} MB")
    print(f"decoder:     {ours / mb:.0f} MB/s")
    print(f"json.loads:  {theirs / mb:.0f} MB/s")
    print(f"ratio:       {ours / theirs:.2f}x json.loads")


if __name__ == "__main__":
    main()
