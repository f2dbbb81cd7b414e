#!/usr/bin/env bash
# Builds KESTRAN and runs every test. Usage: scripts/test.sh [BUILD_DIR [CMAKE_ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD="${1:-build}"
shift || true
cmake -S . -B "$BUILD" -G Ninja "$@"
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)" ${CTEST_ARGS:-}
