"""Instructions per decision, counted by callgrind: a figure that a loaded
machine does not disturb, for comparing two builds of the module.

For each engine (the floor, the empty policy, the reference policy) the
script runs itself under valgrind's callgrind tool over passes of the
reference stream, each call made from C by the floor extension's driver
and counted whole (the call's dispatch and everything evaluate does), and
divides by the number of calls; then again for each event type alone.

    python benchmarks/instructions.py              # table on stdout
    python benchmarks/instructions.py --json out.json
    python benchmarks/instructions.py --annotate reference   # where they go
    python benchmarks/instructions.py --engines empty,reference --baseline before.json
                                   # fewer engines; rows missing here (the
                                   # floor) taken from an earlier --json

Needs valgrind on PATH; prints a note and exits 0 without it.
"""
import argparse
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ENGINES = ("floor", "empty", "reference")
# The floor extension's driver calls each engine's evaluate from C; only
# what runs inside it is counted. Two runs that differ only in their number
# of passes cancel out the first calls' one-time work (interned names,
# caches filled on first use).
DRIVER = "floor_drive"
PASSES = (1, 5)


def child(engine, only_type, passes):
    import workload as w

    events = w.reference_events()
    if only_type:
        events = [e for e in events if e[0] == only_type]
    import zelvo_floor

    if engine == "floor":
        decide = zelvo_floor.evaluate
    else:
        policy = w.empty_policy() if engine == "empty" else w.reference_policy()
        decide = w.reference_engine(policy).evaluate
    # The cyclic collector off: its passes would land in whichever calls
    # happen to cross its thresholds, differently in runs of different
    # lengths (every result is freed by its reference count regardless).
    gc.disable()
    return zelvo_floor.drive(decide, events, passes)


def run_counted(engine, only_type, passes, annotate=False):
    """(calls, instructions) of one run under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        args = [sys.executable, os.path.abspath(__file__), "--child", engine, "--passes", str(passes)]
        if only_type:
            args += ["--type", only_type]
        # A fixed hash seed: str hashes decide where dict entries land, and
        # with them how many probes each lookup takes.
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
             f"--toggle-collect={DRIVER}", "--dump-instr=no"] + args,
            capture_output=True, text=True, timeout=900, check=True, env=env)
        calls = int(proc.stdout.strip().splitlines()[-1])
        with open(out, encoding="utf-8") as f:
            totals = [line for line in f if line.startswith("totals:") or line.startswith("summary:")]
        ir = int(totals[-1].split()[1])
        if annotate:
            text = subprocess.run(["callgrind_annotate", "--inclusive=yes", out], capture_output=True,
                                  text=True, check=True).stdout
            print(text[:20000])
        return calls, ir


def count(engine, only_type=None):
    """Instructions per call: the difference of a long and a short run."""
    (c0, i0), (c1, i1) = (run_counted(engine, only_type, p) for p in PASSES)
    return (i1 - i0) / (c1 - c0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--type")
    ap.add_argument("--passes", type=int, default=1)
    ap.add_argument("--json")
    ap.add_argument("--annotate")
    ap.add_argument("--engines", default=",".join(ENGINES), help="comma-separated subset of " + ",".join(ENGINES))
    ap.add_argument("--baseline", help="an earlier --json whose rows fill in the engines not counted here")
    args = ap.parse_args()
    if args.child:
        print(child(args.child, args.type, args.passes))
        return
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return
    if args.annotate:
        run_counted(args.annotate, None, PASSES[1], annotate=True)
        return
    import workload as w

    engines = [e for e in args.engines.split(",") if e]
    unknown = sorted(set(engines) - set(ENGINES))
    if unknown:
        ap.error(f"unknown engines: {', '.join(unknown)}")
    rows = {}
    if args.baseline:
        with open(args.baseline, encoding="utf-8") as f:
            rows.update({e: r for e, r in json.load(f).items() if e not in engines})
    if "floor" not in rows and "floor" not in engines:
        ap.error("the floor is needed: count it or give --baseline")
    for engine in engines:
        rows[engine] = {"stream": count(engine)}
        for t in w.EVENT_TYPES:
            rows[engine][t] = count(engine, t)
    print(f"{'instructions per call':<24}" + "".join(f"{c:>12}" for c in ["stream", *w.EVENT_TYPES]) + "   geo/floor")
    for engine in [e for e in ENGINES if e in rows]:
        row = rows[engine]
        geo = 1.0
        for t in w.EVENT_TYPES:
            geo *= row[t] / rows["floor"][t]
        geo **= 1 / len(w.EVENT_TYPES)
        print(f"{engine:<24}" + "".join(f"{row[c]:>12.0f}" for c in ["stream", *w.EVENT_TYPES]) + f"   {geo:>8.2f}x")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
