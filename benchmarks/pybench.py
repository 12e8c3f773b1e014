"""Python-level timings of every engine in one pyperf run.

Each benchmark's value is the time of one decision (pyperf's inner loops
count the calls), so the medians of the run compare directly:

    floor                 the floor extension over the reference stream
    empty                 PolicyEngine.evaluate, empty policy, same stream
    reference             PolicyEngine.evaluate, reference policy, same stream
    peer-<name>           each peer's equivalent decision, same stream
    scale-<n>-<engine>    the rule-count series (one event, 10 rules name its type)
    scale-floor           the floor on the series' event
    load-from_json        PolicyEngine.from_json on the ~10 MB policy
    load-orjson           orjson.loads on the same text

    python benchmarks/pybench.py -o results/pyperf.json [pyperf options]

Run through run_all.sh, which checks agreement first and then writes the
report from the JSON file.
"""
import gc
import os
import sys

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload as w  # noqa: E402
from peers import available_peers, reference_peer, scale_peer  # noqa: E402

CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".cache")


def stream_timer(make_decide):
    """A time function over the whole reference stream: one loop is one
    pass, and pyperf divides by the stream's length (inner_loops)."""
    state = {}

    def run(loops):
        if "decide" not in state:
            state["decide"] = make_decide()
            state["events"] = w.reference_events()
        decide, events = state["decide"], state["events"]
        timer = pyperf.perf_counter
        t0 = timer()
        for _ in range(loops):
            for event_type, fields in events:
                decide(event_type, fields)
        return timer() - t0

    return run


CALLS_PER_LOOP = 16


def single_timer(make_decide):
    """A time function for one event called repeatedly (CALLS_PER_LOOP calls
    per loop, unrolled the same way for every engine)."""
    state = {}

    def run(loops):
        if "decide" not in state:
            state["decide"] = make_decide()
        decide = state["decide"]
        t, f = w.scale_event()
        timer = pyperf.perf_counter
        t0 = timer()
        for _ in range(loops):
            decide(t, f); decide(t, f); decide(t, f); decide(t, f)  # noqa: E702
            decide(t, f); decide(t, f); decide(t, f); decide(t, f)  # noqa: E702
            decide(t, f); decide(t, f); decide(t, f); decide(t, f)  # noqa: E702
            decide(t, f); decide(t, f); decide(t, f); decide(t, f)  # noqa: E702
        return timer() - t0

    return run


def large_policy_text():
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, "large_policy.json")
    if not os.path.exists(path):
        text = w.large_policy_text()
        with open(path + ".tmp", "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(path + ".tmp", path)
    with open(path, encoding="utf-8") as src:
        return src.read()


def load_timer(load):
    """Loads the large policy text. The cyclic collector is off while timing
    (as timeit does): orjson.loads makes about a million objects, and the
    collections they would trigger are not the parser's cost."""
    state = {}

    def run(loops):
        if "text" not in state:
            state["text"] = large_policy_text()
        text = state["text"]
        timer = pyperf.perf_counter
        gc.disable()
        try:
            t0 = timer()
            for _ in range(loops):
                load(text)
            return timer() - t0
        finally:
            gc.enable()

    return run


def floor_decide():
    import zelvo_floor

    return zelvo_floor.evaluate


def ours(policy):
    return lambda: w.reference_engine(policy).evaluate


def main():
    def pass_series(cmd, args):
        # Workers must build the same list of benchmarks as the master.
        cmd.extend(("--series", args.series))

    runner = pyperf.Runner(add_cmdline_args=pass_series)
    runner.argparser.add_argument("--series", default=",".join(str(n) for n in w.RULE_COUNTS),
                                  help="rule counts of the series, comma-separated")
    args = runner.parse_args()
    peers, _ = available_peers()
    n_events = len(w.reference_events())

    runner.bench_time_func("floor", stream_timer(floor_decide), inner_loops=n_events)
    runner.bench_time_func("empty", stream_timer(ours(w.empty_policy())), inner_loops=n_events)
    runner.bench_time_func("reference", stream_timer(ours(w.reference_policy())), inner_loops=n_events)
    for name in peers:
        runner.bench_time_func(f"peer-{name}", stream_timer(lambda name=name: reference_peer(name)),
                               inner_loops=n_events)

    runner.bench_time_func("scale-floor", single_timer(floor_decide), inner_loops=CALLS_PER_LOOP)
    for n in (int(x) for x in args.series.split(",") if x):
        runner.bench_time_func(f"scale-{n}-korvanthel", single_timer(ours(w.scale_policy(n))),
                               inner_loops=CALLS_PER_LOOP)
        for name in peers:
            runner.bench_time_func(f"scale-{n}-{name}", single_timer(lambda name=name, n=n: scale_peer(name, n)),
                                   inner_loops=CALLS_PER_LOOP)

    import _korvanthel_core as core
    import orjson

    runner.bench_time_func("load-from_json", load_timer(core.PolicyEngine.from_json))
    runner.bench_time_func("load-orjson", load_timer(orjson.loads))


if __name__ == "__main__":
    main()
