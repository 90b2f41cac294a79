#!/usr/bin/env bash
# Builds the library, tools and tests (warnings are errors) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
