#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs every one of them for SECONDS seconds
# (default 30) on a copy of its seed corpus. Exits non-zero when a target finds a crash;
# the crashing input is left in the build directory (crash-*, leak-*, timeout-*).
#   fuzz/run.sh [SECONDS]
# Environment: FUZZ_BUILD_DIR (default build-fuzz in the repository), FUZZ_JOBS
# (targets run side by side, default 1), FUZZ_TARGETS (space-separated subset).
set -euo pipefail
seconds="${1:-30}"
here="$(cd "$(dirname "$0")" && pwd)"
build="${FUZZ_BUILD_DIR:-$here/../build-fuzz}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"
jobs="${FUZZ_JOBS:-1}"
cxx="${CXX_FUZZ:-clang++-14}"
command -v "$cxx" >/dev/null || cxx=clang++

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build"

targets="${FUZZ_TARGETS:-$(cd "$here/targets" && ls fuzz_*.cpp | sed 's/\.cpp$//')}"
mkdir -p "$build/work" "$build/logs"

run_one() {
  local t="$1"
  local work="$build/work/$t"
  mkdir -p "$work"
  cp -n "$here/corpus/$t"/* "$work/" 2>/dev/null || true
  local status=0
  (cd "$build" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "./$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 "$work" >"$build/logs/$t.log" 2>&1) || status=$?
  local stats
  stats="$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$build/logs/$t.log" | tail -1 || true)"
  local execs
  execs="$(grep -E '^stat::number_of_executed_units' "$build/logs/$t.log" | awk '{print $2}' || true)"
  if [ "$status" -ne 0 ]; then
    echo "$t: FAILED (exit $status), see $build/logs/$t.log"
    grep -E 'ERROR|property failed|SUMMARY' "$build/logs/$t.log" | head -5
    return 1
  fi
  echo "$t: ok, executions ${execs:-?}; last: ${stats}"
}

failed=0
running=0
pids=()
names=()
for t in $targets; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    running=$((running - 1))
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit "$failed"
