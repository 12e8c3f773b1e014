#!/usr/bin/env bash
# Runs the test suites under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   1. The runtime's GoogleTest suites, built with ZELVO_SANITIZE=ON in
#      build/asan, through ctest with leak detection on.
#   2. The extension module, built with the same flags (and the test-only
#      fault hook) in build/asan-module, under the whole pytest suite of
#      binding/tests. The interpreter itself is not instrumented, so the
#      sanitizer runtimes are preloaded into it, its allocator is switched to
#      plain malloc (so that ASan sees every object), and leak detection is
#      off for that run (the interpreter keeps memory until exit by design).
#
# Both builds keep assertions (no NDEBUG), and in both the runtime's block
# cache is bypassed (AddressSanitizer turns it off), so the sanitizer sees
# every allocation of list and map storage; a death test in the runtime
# suite checks that a use-after-free in that storage is reported.
#
# Any sanitizer report fails the script: the sanitizers halt on the first
# error with a distinctive exit code (86 ASan, 87 UBSan, 88 leaks). In the
# pytest run AddressSanitizer also writes each report to a log directory
# that must stay empty, which catches reports from subprocesses whose exit
# code a test might not look at.
#
# Usage: scripts/test_sanitizers.sh        (JOBS=N to change the build jobs)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=${PYTHON:-python3}
PY=$("$PY" -c 'import sys; print(sys.executable)')
JOBS=${JOBS:-2}
BUILD_TYPE=RelWithDebInfo
# GCC 12 reports false "may be used uninitialized" warnings on std::variant
# code once ASan instruments it; they drown the build output.
QUIET_FLAGS=-Wno-maybe-uninitialized
# RelWithDebInfo without its -DNDEBUG: assertions stay on.
CHECKED_FLAGS="-O2 -g"

bash scripts/deps.sh

check_reports() {
  local dir=$1
  if compgen -G "$dir/*" >/dev/null; then
    echo "!! sanitizer reports in $dir:" >&2
    cat "$dir"/* >&2
    return 1
  fi
}

echo "== sanitized runtime tests (build/asan, ctest, leak detection on)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=$BUILD_TYPE -DCMAKE_CXX_FLAGS="$QUIET_FLAGS" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$CHECKED_FLAGS" -DZELVO_SANITIZE=ON -DZELVO_BUILD_TESTS=ON -DZELVO_BUILD_MODULE=OFF >/dev/null
# Test discovery runs the test binaries at build time, so the options apply
# to the build as well.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export LSAN_OPTIONS="exitcode=88"
cmake --build build/asan -j "$JOBS"
status=0
ctest --test-dir build/asan --output-on-failure -j "$JOBS" || status=1
[ $status -eq 0 ] || exit $status

echo "== sanitized module tests (build/asan-module, pytest binding/tests)"
cmake -S . -B build/asan-module -G Ninja -DCMAKE_BUILD_TYPE=$BUILD_TYPE -DCMAKE_CXX_FLAGS="$QUIET_FLAGS" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$CHECKED_FLAGS" -DZELVO_SANITIZE=ON -DZELVO_BUILD_MODULE=ON -DZELVO_TEST_HOOKS=ON -DZELVO_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/asan-module -j "$JOBS" --target _korvanthel_core
MODULE=$(find build/asan-module/binding -maxdepth 1 -name '_korvanthel_core*.so' -print -quit)
[ -n "$MODULE" ] || { echo "!! sanitized module not found under build/asan-module/binding" >&2; exit 1; }
MODULE_DIR="$ROOT/$(dirname "$MODULE")"

REPORTS="$ROOT/build/asan-module/sanitizer-reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
PRELOAD="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
[ -f "$PRELOAD" ] || { echo "!! libasan.so not found" >&2; exit 1; }
[ -f "$UBSAN_LIB" ] && PRELOAD="$PRELOAD:$UBSAN_LIB"

run_sanitized() {
  env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc PYTHONPATH="$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87" \
    "$@"
}

# The suite must really run against the sanitized build, not an installed copy.
LOADED=$(run_sanitized "$PY" -c 'import _korvanthel_core as m; print(m.__file__)')
echo "module under test: $LOADED"
case "$LOADED" in
  "$MODULE_DIR"/*) ;;
  *) echo "!! expected the module from $MODULE_DIR" >&2; exit 1 ;;
esac

run_sanitized "$PY" -m pytest -q -p no:cacheprovider binding/tests || status=$?
check_reports "$REPORTS" || status=1
exit $status
