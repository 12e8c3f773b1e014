#!/usr/bin/env bash
# The benchmark suite, start to finish:
#   1. the benchmarks' own virtual environment (benchmarks/.venv): pyperf,
#      matplotlib, orjson, the peers from PyPI, the floor extension and this
#      package, installed from the work tree;
#   2. the core-level Google Benchmark programs (build/bench);
#   3. the agreement check: every engine, same events, same allow/deny;
#   4. the Python-level timings (pyperf), then resident memory;
#   5. the parts around evaluate: instructions per call (callgrind, when
#      valgrind is installed), replay and `replay --against`, the compiler,
#      the Dask backtest (2,000,000 events on 1 and 2 workers) and the MCP
#      proxy, each writing its figures as JSON;
#   6. the report: benchmarks/results/results.md (its goals table first)
#      and scale.png.
#
#   bash benchmarks/run_all.sh            # full run
#   QUICK=1 bash benchmarks/run_all.sh    # fewer pyperf processes and values, smaller traces
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
venv="$here/.venv"
results="$here/results"
build="$root/build/bench"
py="$venv/bin/python"

step() { printf '\n== %s\n' "$*"; }

step "environment ($venv)"
if [ ! -x "$py" ]; then
  python3.11 -m venv "$venv" 2>/dev/null || python3 -m venv "$venv"
fi
pip_q() { "$py" -m pip install -q --disable-pip-version-check "$@"; }
pip_q pyperf matplotlib orjson setuptools wheel
for peer in cedarpy casbin regopy; do
  pip_q "$peer" || echo "peer $peer could not be installed here; the suite goes on without it"
done
pip_q --no-build-isolation "$here/floor"
# With the extras whose parts are measured: the Dask backtest and the MCP proxy.
pip_q -C build-dir="$root/build/bench-wheel" "$root[dask,mcp]"

step "core-level benchmarks ($build)"
# Optimised as the package is (profile-guided, which trains the module, and
# across files at link time), so that core and Python figures agree.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVO_BUILD_BENCHMARKS=ON \
  -DZELVO_BUILD_MODULE=ON -DZELVO_PGO=ON -DZELVO_LTO=ON -DZELVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target reference_bench engine_bench
mkdir -p "$results"
"$py" "$here/write_policies.py" "$build/policies"
ZELVO_BENCH_DIR="$build/policies" "$build/benchmarks/reference_bench" \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$results/core.json" --benchmark_out_format=json

step "agreement"
"$py" "$here/agree.py" | tee "$results/agreement.txt"

step "Python-level timings (pyperf)"
rm -f "$results/pyperf.json"
if [ "${QUICK:-0}" = 1 ]; then
  runs=(--processes 3 --values 3 --warmups 1)
else
  runs=(--processes 10 --values 5 --warmups 1)
fi
"$py" "$here/pybench.py" "${runs[@]}" -o "$results/pyperf.json"

step "resident memory"
"$py" "$here/memcheck.py" | tee "$results/memory.json"

step "instructions per call (callgrind)"
if command -v valgrind >/dev/null; then
  "$py" "$here/instructions.py" --json "$results/instructions.json" | tee "$results/instructions.txt"
else
  echo "valgrind is not installed: no instruction counts"
  rm -f "$results/instructions.json"
fi

step "replay, replay --against"
if [ "${QUICK:-0}" = 1 ]; then replay_events=50000; dask_events=200000; else replay_events=200000; dask_events=2000000; fi
"$py" "$here/replay_bench.py" --events "$replay_events" --json "$results/replay.json" | tee "$results/replay.txt"

step "compiler"
"$py" "$here/compile_bench.py" --json "$results/compile.json" | tee "$results/compile.txt"

step "Dask backtest"
if "$py" -c "import distributed" 2>/dev/null; then
  "$py" "$here/dask_scaling.py" --events "$dask_events" --sessions 10000 --json "$results/dask.json" \
    | tee "$results/dask.txt"
else
  echo "dask.distributed is not installed (the dask extra): no Dask figures"
  rm -f "$results/dask.json"
fi

step "MCP proxy"
if "$py" -c "import mcp" 2>/dev/null; then
  "$py" "$here/mcp_overhead.py" --json "$results/mcp.json" | tee "$results/mcp.txt"
else
  echo "the MCP SDK is not installed (the mcp extra): no proxy figures"
  rm -f "$results/mcp.json"
fi

step "report"
"$py" "$here/report.py" "$results"
echo "wrote $results/results.md and $results/scale.png"
