#!/usr/bin/env bash
# Builds the library and the zoltov tool, then runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh
cmake --preset default
cmake --build --preset default --target zoltov-tool
build/default/tools/zoltov demo
