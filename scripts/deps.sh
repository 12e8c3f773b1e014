#!/usr/bin/env bash
# Installs what the project's scripts call, when it is missing: Debian
# packages through apt-get (as root), Python packages through pip.
#
#   compilers and build tools  g++, cmake, ninja (the sanitizer, fuzzing and
#                              benchmark builds use the Ninja generator)
#   fuzzing                    clang-14 and its libFuzzer/sanitizer runtimes
#   test libraries             GoogleTest, Google Benchmark
#   state store tests          redis-server (started by the tests themselves)
#   Python                     the interpreter's headers (the module's build),
#                              venv (check_wheel.sh, test_adapters.sh),
#                              pytest, hypothesis, scikit-build-core
#
# Extra Debian package names given as arguments are installed too.
# mypy and the stubs it needs are installed by scripts/check_types.sh, the
# benchmarks' own environment by benchmarks/run_all.sh.
set -euo pipefail

PY=${PYTHON:-python3}
CLANG_VERSION=14

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need_apt+=(libbenchmark-dev)
command -v redis-server >/dev/null || need_apt+=(redis-server)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v ninja >/dev/null || need_apt+=(ninja-build)
command -v g++ >/dev/null || need_apt+=(g++)
command -v "clang++-$CLANG_VERSION" >/dev/null || need_apt+=("clang-$CLANG_VERSION")
dpkg -s "libclang-rt-$CLANG_VERSION-dev" >/dev/null 2>&1 || need_apt+=("libclang-rt-$CLANG_VERSION-dev")
"$PY" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
  || need_apt+=(python3-dev)
"$PY" -c 'import ensurepip, venv' 2>/dev/null || need_apt+=(python3-venv)
for extra in "$@"; do
  dpkg -s "$extra" >/dev/null 2>&1 || need_apt+=("$extra")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (run as root to install): ${need_apt[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

"$PY" - <<'PYEOF' || "$PY" -m pip install -q pytest hypothesis scikit-build-core
import importlib.util, sys
sys.exit(0 if all(importlib.util.find_spec(m) for m in ("pytest", "hypothesis", "scikit_build_core")) else 1)
PYEOF
