"""The three figures a change to the binding is judged by, in one pyperf
run: the floor extension, PolicyEngine.evaluate on the empty policy and on
the reference policy, each over the reference stream (as in pybench.py).

    python benchmarks/binding_bench.py -o out.json [pyperf options]

The module and the floor extension are imported as the environment finds
them; pass --inherit-environ=PYTHONPATH to time a module from a build
directory. Prints each median and its ratio to the floor's.
"""
import os
import sys

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload as w  # noqa: E402
from pybench import floor_decide, ours, stream_timer  # noqa: E402


def main():
    runner = pyperf.Runner()
    n_events = len(w.reference_events())
    benches = {
        "floor": runner.bench_time_func("floor", stream_timer(floor_decide), inner_loops=n_events),
        "empty": runner.bench_time_func("empty", stream_timer(ours(w.empty_policy())), inner_loops=n_events),
        "reference": runner.bench_time_func("reference", stream_timer(ours(w.reference_policy())),
                                            inner_loops=n_events),
    }
    if runner.args.worker or any(b is None for b in benches.values()):
        return
    import _korvanthel_core

    floor = benches["floor"].median()
    print(f"module: {_korvanthel_core.__file__}")
    for name, bench in benches.items():
        print(f"{name:10s} {bench.median() * 1e9:8.1f} ns  {bench.median() / floor:5.2f}x floor")


if __name__ == "__main__":
    main()
