#!/usr/bin/env bash
# Runs every test and fails if any fails: the runtime's GoogleTest suites
# through ctest; the module's and the tools' pytest suites against a fresh
# `pip install .`; mypy --strict and stubtest; the wheel in a new virtual
# environment; both suites again under ASan and UBSan; a minute of fuzzing
# per target. Missing Debian and Python dependencies are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

# Each stage's duration is printed when the next one starts, and the total
# at the end (also when a stage fails).
stage_name=""
stage_start=$SECONDS
end_stage() {
  [ -z "$stage_name" ] || echo "-- $stage_name: $((SECONDS - stage_start)) s"
}
stage() {
  end_stage
  stage_name=$1
  stage_start=$SECONDS
  echo "== $1"
}
finish() {
  local rc=$?
  end_stage
  echo "-- total: $SECONDS s$([ $rc -eq 0 ] || echo " (failed, exit $rc)")"
}
trap finish EXIT

stage "dependencies (scripts/deps.sh)"
bash scripts/deps.sh

stage "runtime tests (ctest)"
cmake -S . -B build/tests -DZELVO_BUILD_TESTS=ON -DZELVO_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

stage "module tests (pytest)"
"$PY" -m pip install -q ".[dask]"
"$PY" -m pytest -q binding/tests tests/tools
stage "module tests, dicts walked through the C API alone (KORVANTHEL_PUBLIC_DICT_API=1)"
KORVANTHEL_PUBLIC_DICT_API=1 "$PY" -m pytest -q -p no:cacheprovider binding/tests

stage "policy language tests (pytest)"
# Run from inside the folder, so that korvanthel_tools is the installed
# package, with its extension module, not the source folder.
(cd tests/lang && "$PY" -m pytest -q -p no:cacheprovider .)

stage "native replay tests (pytest)"
# From inside the test folder, so that korvanthel_tools is the installed
# package (with its extension module), not the source tree.
(cd tests/replay && "$PY" -m pytest -q -p no:cacheprovider .)

stage "policy tests and explanations (pytest; the example policy's tests with full rule coverage)"
(cd tests/policy_tests && "$PY" -m pytest -q -p no:cacheprovider .)
korvanthel test examples/guard_policy.zelvo examples/guard_policy.test.jsonl --coverage --threshold 100

stage "guard core and MCP proxy tests (pytest, with the mcp, otel and sign extras)"
# The pins of the extras mcp, otel and sign (pyproject.toml), without rebuilding the package.
"$PY" -m pip install -q "mcp==2.3.0" "httptools==0.9.0" "uvloop==0.23.0" "opentelemetry-api==1.45.2" "opentelemetry-sdk==1.45.2" "cryptography>=42"
"$PY" -m pytest -q tests/mcp

stage "guard state stores (pytest: memory, and Redis against a redis-server the tests start on loopback)"
"$PY" -m pip install -q "redis==8.2.0" "hiredis==3.4.2"
"$PY" -m pytest -q tests/state

stage "agent-framework adapters (their own environment: tests, mypy --strict)"
bash scripts/test_adapters.sh

stage "type checks (mypy --strict, stubtest)"
KORVANTHEL_SKIP_INSTALL=1 bash scripts/check_types.sh

stage "wheel in a fresh virtual environment"
bash scripts/check_wheel.sh

stage "sanitizers (ASan + UBSan: runtime tests with leak checks, module tests)"
bash scripts/test_sanitizers.sh

stage "fuzzing (each target for a minute)"
bash scripts/fuzz.sh 60
