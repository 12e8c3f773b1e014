"""Writes the suite's report from one run's files in RESULTS_DIR: pyperf.json
(Python-level timings), core.json (Google Benchmark), memory.json, and the
goals table from instructions.json (callgrind), replay.json, compile.json,
dask.json and mcp.json, each written by its benchmark's --json option.

    python benchmarks/report.py RESULTS_DIR

Produces RESULTS_DIR/results.md (Markdown tables, every ratio from the same
run) and RESULTS_DIR/scale.png (median latency per decision against the
number of rules, one line per engine).
"""
import json
import os
import platform
import sys

import pyperf

ENGINES = ("korvanthel", "cedarpy", "casbin", "regopy")


def fmt_time(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


def verdict(ok):
    return "met" if ok else "**not met**"


def load_medians(path):
    suite = pyperf.BenchmarkSuite.load(path)
    return {bench.get_name(): bench.median() for bench in suite.get_benchmarks()}


def load_core(path):
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") == "median":
            unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
            out[b["run_name"]] = b["cpu_time"] * unit
    return out


def headline(m, lines):
    floor = m["floor"]
    lines += ["| Decision (reference stream, 256 events) | Median per decision | Ratio | Target | |",
              "|---|---:|---:|---|---|"]
    lines.append(f"| floor extension (reads every field, returns the 7-key dict) | {fmt_time(floor)} | 1.00x floor | | |")
    for key, label, limit in (("empty", "`evaluate`, empty policy", 1.5),
                              ("reference", "`evaluate`, reference policy (20 rules, rate limit, monitor)", 2.5)):
        if key in m:
            r = m[key] / floor
            lines.append(f"| {label} | {fmt_time(m[key])} | {r:.2f}x floor | <= {limit}x floor | {verdict(r <= limit)} |")
    ours = m.get("reference")
    for name in ENGINES[1:]:
        key = f"peer-{name}"
        if key in m and ours:
            r = m[key] / ours
            limit = 50 if name == "cedarpy" else 20
            lines.append(f"| {name}, equivalent deny decision | {fmt_time(m[key])} | {r:.0f}x our `evaluate` | "
                         f">= {limit}x | {verdict(r >= limit)} |")
    lines.append("")


def series(m, lines):
    counts = sorted({int(k.split("-")[1]) for k in m if k.startswith("scale-") and k.split("-")[1].isdigit()})
    if not counts:
        return counts
    lines += ["| Rules | " + " | ".join(ENGINES) + " |", "|---:|" + "---:|" * len(ENGINES)]
    for n in counts:
        cells = [fmt_time(m[f"scale-{n}-{e}"]) if f"scale-{n}-{e}" in m else "n/a" for e in ENGINES]
        lines.append(f"| {n:,} | " + " | ".join(cells) + " |")
    lines.append("")
    lo, hi = f"scale-{counts[0]}-korvanthel", f"scale-{counts[-1]}-korvanthel"
    if lo in m and hi in m:
        r = m[hi] / m[lo]
        lines.append(f"Scale: {counts[-1]:,} rules over {max(1, counts[-1] // 10):,} event types, for an event whose "
                     f"type 10 rules name: {r:.2f}x the {counts[0]}-rule policy (target <= 1.5x: {verdict(r <= 1.5)}). "
                     f"The floor on the same event: {fmt_time(m.get('scale-floor', float('nan')))}.")
        lines.append("")
    return counts


def plot(m, counts, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=120)
    for engine, marker in zip(ENGINES, "osD^"):
        xs = [n for n in counts if f"scale-{n}-{engine}" in m]
        if xs:
            ax.plot(xs, [m[f"scale-{n}-{engine}"] * 1e6 for n in xs], marker=marker, label=engine)
    if "scale-floor" in m:
        ax.axhline(m["scale-floor"] * 1e6, color="grey", linestyle=":", label="floor")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rules in the policy (10 per event type)")
    ax.set_ylabel("median latency per decision (µs)")
    ax.set_title("One decision from Python against the number of rules")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)


def load_json(out, name):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def goals(m, out, lines):
    """One table: each goal of the suite, the figure of this run and whether
    it is met. A figure whose benchmark did not run is left out."""
    rows = []
    floor = m.get("floor")
    for key, label, limit in (("reference", "`evaluate`, reference policy, vs the floor (pyperf)", 1.6),
                              ("empty", "`evaluate`, empty policy, vs the floor (pyperf)", 0.9)):
        if floor and key in m:
            r = m[key] / floor
            rows.append((label, f"{r:.2f}x", f"<= {limit}x", r <= limit))
    ins = load_json(out, "instructions.json")
    if ins:
        types = [t for t in ins["floor"] if t != "stream"]
        for key in ("reference", "empty"):
            geo = 1.0
            for t in types:
                geo *= ins[key][t] / ins["floor"][t]
            geo **= 1 / len(types)
            rows.append((f"`evaluate`, {key} policy, instructions per call vs the floor, geometric mean over "
                         f"the event types (callgrind; {ins[key]['stream']:,.0f} a call)", f"{geo:.2f}x", "", None))
        if "tool_call" in types:
            r = ins["reference"]["tool_call"] / ins["floor"]["tool_call"]
            rows.append(("`evaluate`, reference policy, tool calls, instructions vs the floor (callgrind)",
                         f"{r:.2f}x", "", None))
    rep = load_json(out, "replay.json")
    if rep and "python loop" in rep:
        loop = rep["python loop"]
        if "native lines" in rep:
            r = rep["native lines"] / loop
            rows.append((f"`replay_lines`, {rep['native lines']:,.0f} events per processor s, vs a Python "
                         "`evaluate` loop", f"{r:.2f}x", ">= 1.6x", r >= 1.6))
        if "against" in rep and "native lines" in rep:
            r = rep["against"] / rep["native lines"]
            rows.append(("`replay --against` (two policies), events/s vs one replay", f"{r:.2f}x", ">= 0.5x", r >= 0.5))
    comp = load_json(out, "compile.json")
    if comp:
        r = comp["compile_mb_per_s"] / comp["from_json_mb_per_s"]
        rows.append((f"compile, {comp['compile_mb_per_s']:.1f} MB/s of source ({comp['rules']:,} rules), vs "
                     "`from_json` in MB/s of JSON", f"{r:.2f}x", ">= 0.5x", r >= 0.5))
    dask = load_json(out, "dask.json")
    if dask:
        w = dask["workers"]
        if rep and "native lines" in rep and "1" in w:
            r = w["1"]["events_per_cpu_s"] / rep["native lines"]
            rows.append((f"Dask, events per processor s ({dask['events']:,} events) vs the native replay",
                         f"{r:.2f}x", ">= 0.5x", r >= 0.5))
        if "1" in w and "2" in w:
            r = w["2"]["events_per_s"] / w["1"]["events_per_s"]
            rows.append(("Dask, 2 workers vs 1", f"{r:.2f}x", ">= 1.8x", r >= 1.8))
    mcp = load_json(out, "mcp.json")
    for row in mcp or []:
        rows.append((f"MCP proxy over {row['transport']}, added median latency", fmt_time(row["overhead"]),
                     f"<= {fmt_time(row['allowance'])}", bool(row["goal_met"])))
        if row.get("server_cpu"):
            r = row["proxy_cpu"] / row["server_cpu"]
            rows.append((f"MCP proxy over {row['transport']}, processor time per call vs the server's",
                         f"{r:.2f}x", "<= 0.3x", r <= 0.3))
    if not rows:
        return
    lines += ["## Goals", "", "| Figure | This run | Goal | |", "|---|---:|---|---|"]
    lines += [f"| {label} | {value} | {goal} | {'' if ok is None else verdict(ok)} |" for label, value, goal, ok in rows]
    lines.append("")


def main():
    out = sys.argv[1]
    m = load_medians(os.path.join(out, "pyperf.json"))
    lines = ["# Benchmark results", "",
             f"One run of `bash benchmarks/run_all.sh` on {platform.machine()} "
             f"({os.cpu_count()} cores), Python {platform.python_version()}. Python-level figures are "
             "pyperf medians; every ratio compares figures of this same run.", ""]
    goals(m, out, lines)
    headline(m, lines)
    counts = series(m, lines)
    if "load-from_json" in m and "load-orjson" in m:
        r = m["load-from_json"] / m["load-orjson"]
        lines += [f"Loading a ~10 MB policy: `from_json` {fmt_time(m['load-from_json'])}, `orjson.loads` on the same "
                  f"text {fmt_time(m['load-orjson'])}: {r:.2f}x (target <= 1.0x: {verdict(r <= 1.0)}).", ""]
    mem_path = os.path.join(out, "memory.json")
    if os.path.exists(mem_path):
        with open(mem_path, encoding="utf-8") as f:
            mem = json.load(f)
        grow = mem["growth_kib"]
        lines += [f"Memory: resident size grew by {grow} KiB over {mem['calls']:,} `evaluate` calls after warm-up "
                  f"(target < 1024 KiB: {verdict(grow < 1024)}).", ""]
    core = load_core(os.path.join(out, "core.json"))
    if core:
        lines += ["Core level (Google Benchmark, `PolicyEngine::evaluate` on a built `Event`, built like the package: "
                  "profile-guided and optimised at link time; medians of 5):", "",
                  "| Benchmark | CPU time |", "|---|---:|"]
        lines += [f"| {name} | {fmt_time(t)} |" for name, t in core.items()]
        lines.append("")
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    if counts:
        plot(m, counts, os.path.join(out, "scale.png"))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
