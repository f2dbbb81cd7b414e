#!/bin/sh
# One command for the receiver's figures on a developer machine (not in CI; under 15
# minutes): builds the benchmark build, compares build/kestran (SyncQueueFiles on and
# off) with the null sink in every load scenario, measures the memory of idle
# connections, and runs the microbenchmarks.
#
#   bench/compare.sh [BUILD_DIR=build-bench]
# Environment: see bench/compare.py (COMPARE_REPEATS, COMPARE_SECONDS, COMPARE_IDLE,
# COMPARE_SCENARIOS); COMPARE_MICRO=0 skips the microbenchmarks.
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}

# RelWithDebInfo: -O2 with symbols, so that the same build can be profiled.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRAN_BENCH=ON >/dev/null
cmake --build "$BUILD" --target kestran smtp_drive null_sink transport_bench \
  smtp_parse_bench config_bench queue_writer_bench >/dev/null

# Ten thousand connections need descriptors on both ends.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

python3 bench/compare.py "$BUILD"

if [ "${COMPARE_MICRO:-1}" != 0 ]; then
  echo
  echo "# microbenchmarks"
  "$BUILD/bench/transport_bench" --benchmark_filter=ReadLn --benchmark_min_time=0.5
  "$BUILD/bench/smtp_parse_bench" --benchmark_filter=Parse --benchmark_min_time=0.5
  "$BUILD/bench/config_bench" --benchmark_filter=NextMessageId
  "$BUILD/bench/queue_writer_bench" --benchmark_min_time=0.5
fi
