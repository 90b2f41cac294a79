#!/usr/bin/env bash
# Builds the libFuzzer targets (the 'fuzz' preset: clang, ASan+UBSan) and runs each one
# for an equal share of the given number of seconds (default 60, at least 10 per target),
# then prints one summary line per target: runs, runs per second, coverage and result.
#
# Each target starts from a copy of its seeds in fuzz/corpus/<name>/, so the checked-in
# corpus never changes. A crash, a sanitizer report, a model mismatch or an input slower
# than 20 s is a finding: its input is left as build/fuzz/<kind>-<hash>, the other
# targets still run, and the script fails at the end.
#
# CI: `scripts/fuzz.sh 300` (four targets, over a minute each).
# Longer local runs:
#   scripts/fuzz.sh 3600        an hour, shared out over the targets
#   mkdir -p /tmp/grow && cp fuzz/corpus/string_fuzz/* /tmp/grow &&
#   build/fuzz/fuzz/string_fuzz -max_total_time=3600 -jobs=2 -workers=2 /tmp/grow
#                               one target for an hour on two cores, its corpus growing
# A finding is fixed in the library and its input kept in fuzz/regressions/<name>/, where
# the test suite (tests/fuzz/fuzz_replay_test) replays it on every run.
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
root=$PWD
summary=()
failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    work=$(mktemp -d)
    mkdir "$work/corpus"
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/corpus/"
    echo "== $name for ${per_target}s =="
    status=0
    (cd "$work" && "$root/$target" -max_total_time="$per_target" -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$root/build/fuzz/" corpus) >"$work/log" 2>&1 ||
        status=$?
    tail -n 15 "$work/log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
    cov=$(grep -o 'cov: [0-9]*' "$work/log" | tail -n 1 | cut -d' ' -f2)
    result=clean
    if [ "$status" -ne 0 ]; then
        result="FINDING (status $status, input in build/fuzz/)"
        failed=1
    fi
    summary+=("$(printf '%-20s %10s runs %8s/s  cov %5s  %s' "$name" "${runs:-?}" "${rate:-?}" \
        "${cov:-?}" "$result")")
    rm -rf "$work"
done
echo "== fuzz summary (${per_target}s per target) =="
printf '%s\n' "${summary[@]}"
exit "$failed"
