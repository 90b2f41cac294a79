#!/usr/bin/env bash
# Builds the library and the zoltov tool, then runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zoltov-tool >/dev/null
build/default/tools/zoltov demo
