#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) in
# build/fuzz, replays every committed regression input, then fuzzes each
# target for the given number of seconds, all targets at once.
#
# Usage: scripts/fuzz.sh [seconds] [target ...]
#   seconds  time per target (default 60)
#   target   decoder_fuzz, container_fuzz, engine_fuzz, roundtrip_fuzz, compiler_fuzz,
#            event_line_fuzz, format_fuzz, explain_fuzz, state_fuzz,
#            policy_loader_fuzz, result_pairs_fuzz (default: all)
#
# Fails when a regression input or a fuzzing run finds a crash, a leak, a
# sanitizer report, a timeout (a unit slower than FUZZ_UNIT_TIMEOUT seconds)
# or an allocation beyond FUZZ_RSS_MB. Findings are written to
# build/fuzz/artifacts/<target>/; new corpus units to build/fuzz/corpus/<target>/
# (the committed seeds in fuzz/corpus/ are only read).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(decoder_fuzz container_fuzz engine_fuzz roundtrip_fuzz compiler_fuzz event_line_fuzz format_fuzz explain_fuzz state_fuzz policy_loader_fuzz result_pairs_fuzz)
UNIT_TIMEOUT=${FUZZ_UNIT_TIMEOUT:-25}
RSS_MB=${FUZZ_RSS_MB:-2048}
CLANG_VERSION=14
OUT=build/fuzz

# clang and its sanitizer/fuzzer runtimes come from Debian's packages.
bash scripts/deps.sh "clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev"

cmake -S fuzz -B "$OUT" -G Ninja -DCMAKE_CXX_COMPILER="clang++-$CLANG_VERSION" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$OUT" -j "${JOBS:-2}" --target "${TARGETS[@]}"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
for target in "${TARGETS[@]}"; do
  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $target: replaying ${#regressions[@]} regression inputs"
    "$OUT/$target" -rss_limit_mb="$RSS_MB" -timeout="$UNIT_TIMEOUT" "${regressions[@]}" \
      >"$OUT/$target.regressions.log" 2>&1 || {
      echo "!! $target failed on a regression input:" >&2
      tail -40 "$OUT/$target.regressions.log" >&2
      status=1
    }
  fi
done
[ $status -eq 0 ] || exit $status

pids=()
for target in "${TARGETS[@]}"; do
  rm -rf "$OUT/artifacts/$target"
  mkdir -p "$OUT/corpus/$target" "$OUT/artifacts/$target"
  echo "== $target: fuzzing for ${SECONDS_PER_TARGET}s (log: $OUT/$target.log)"
  dict=fuzz/policy.dict
  [ -f "fuzz/$target.dict" ] && dict="fuzz/$target.dict"
  "$OUT/$target" "$OUT/corpus/$target" "fuzz/corpus/$target" \
    -dict="$dict" -max_total_time="$SECONDS_PER_TARGET" -timeout="$UNIT_TIMEOUT" \
    -rss_limit_mb="$RSS_MB" -max_len=20000 -print_final_stats=1 \
    -artifact_prefix="$OUT/artifacts/$target/" >"$OUT/$target.log" 2>&1 &
  pids+=($!)
done

for i in "${!TARGETS[@]}"; do
  target=${TARGETS[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$OUT/$target.log" | tail -1 || true)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$OUT/$target.log" | tail -1 || true)
  echo "-- $target: exit $rc, ${execs:-?} executions, ${cov:-no coverage line}"
  if [ $rc -ne 0 ] || compgen -G "$OUT/artifacts/$target/*" >/dev/null; then
    echo "!! $target found a problem; artifacts in $OUT/artifacts/$target/:" >&2
    ls -l "$OUT/artifacts/$target/" >&2 || true
    grep -E -A30 'ERROR|==[0-9]+==|fuzz invariant|runtime error|SUMMARY' "$OUT/$target.log" | head -60 >&2 || true
    status=1
  fi
done
exit $status
