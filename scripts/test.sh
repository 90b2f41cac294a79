#!/usr/bin/env bash
# Builds the library, tools and tests (warnings are errors) and runs the whole test suite.
# Quiet on success (the summary only); on failure, the full output of every failed test.
# Usage: scripts/test.sh [PRESET] (default: default; clang, asan and tsan also exist).
# Extra ctest arguments go in ZOL_CTEST_ARGS, for example ZOL_CTEST_ARGS="-LE soak".
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/ensure-deps.sh
log=build/test-${preset}.log
mkdir -p build
{
    cmake --preset "$preset"
    cmake --build --preset "$preset"
} >"$log.build" 2>&1 || { cat "$log.build"; echo "build failed ($preset)"; exit 1; }
# shellcheck disable=SC2086
if ctest --preset "$preset" ${ZOL_CTEST_ARGS:-} >"$log" 2>&1; then
    grep -E '^(100% tests passed|Total Test time)' "$log"
else
    status=$?
    cat "$log"
    echo "tests failed ($preset); the full log is in $log"
    exit $status
fi
