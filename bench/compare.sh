#!/bin/bash
# One command for the receiver's figures on a developer machine, as root (not in CI): builds
# the benchmark build, then runs the receiver (SyncQueueFiles on and off, and with 20,000
# host aliases) side by side with Postfix putting every message on hold and with smtp-sink
# (the ceiling), every queue on a fresh loop-mounted ext4 image with a journal, smtp-source
# as the load generator; then idle connections and the microbenchmarks.
#
#   bench/compare.sh [BUILD_DIR=build-bench]
# Needs Debian's postfix package (smtpd, smtp-source, smtp-sink), installed with debconf
# "No configuration": `echo "postfix postfix/main_mailer_type select No configuration" |
# debconf-set-selections && apt-get install -y postfix`. Nothing is left running, mounted or
# configured afterwards. Environment: see bench/compare.py; COMPARE_MICRO=0 skips the
# microbenchmarks.
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}

for tool in smtp-source smtp-sink postfix mkfs.ext4; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (see above)" >&2; exit 1; }
done

# RelWithDebInfo: -O2 with symbols, so that the same build can be profiled.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRAN_BENCH=ON >/dev/null
cmake --build "$BUILD" --target kestran smtp_drive transport_bench \
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
