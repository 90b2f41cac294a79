#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60).
# Longer local runs: scripts/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/ensure-deps.sh
cmake --preset fuzz
cmake --build --preset fuzz
shopt -s nullglob
targets=(build/fuzz/fuzz/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets"
    exit 0
fi
per_target=$(( seconds / ${#targets[@]} ))
[ "$per_target" -lt 10 ] && per_target=10
for target in "${targets[@]}"; do
    name=$(basename "$target")
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    echo "== $name for ${per_target}s =="
    (cd "$corpus" && "$OLDPWD/$target" -max_total_time="$per_target" -print_final_stats=1 \
        -artifact_prefix="$OLDPWD/build/fuzz/" "$corpus") 2>&1 | tail -n 15
    rm -rf "$corpus"
done
