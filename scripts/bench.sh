#!/usr/bin/env bash
# Builds the benchmark programs and runs each with its benchmarks interleaved at random and
# repeated, then prints every hot path beside its peer: the medians, their ratio and the goal.
#
# Usage: scripts/bench.sh [--preset P] [--repetitions N] [--min-time SECONDS] [--all]
#   --preset P       configure/build preset (default: default)
#   --repetitions N  samples per benchmark (default 20); the table shows their median
#   --min-time S     minimum time per sample (default 0.2: shorter samples let the
#                    nanosecond rows move by several per cent from run to run)
#   --all            also list the medians of the benchmarks that are in no row
# The raw results (Google Benchmark JSON) stay in build/<preset>/bench-results/. Another load
# on the machine shows in the ratios: the load average is printed with the table.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
repetitions=20
min_time=0.2
all=0
while [ $# -gt 0 ]; do
    case $1 in
        --preset) preset=$2; shift 2 ;;
        --repetitions) repetitions=$2; shift 2 ;;
        --min-time) min_time=$2; shift 2 ;;
        --all) all=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed 's/^# \{0,1\}//;$d'; exit 0 ;;
        *) echo "bench.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done

build=build/$preset
[ -f "$build/build.ninja" ] || cmake --preset "$preset" >/dev/null
# Every benchmark program of the build: each is also a ctest test labelled bench, bench.<name>.
mapfile -t programs < <(ctest --test-dir "$build" -N -L '^bench$' | sed -n 's/^ *Test *#[0-9]*: bench\.//p')
if [ ${#programs[@]} -eq 0 ]; then
    echo "bench.sh: $build has no benchmarks (a preset with ZOL_BUILD_BENCH and ZOL_BUILD_TESTS)" >&2
    exit 2
fi
cmake --build --preset "$preset" --target "${programs[@]}" >/dev/null
results=$build/bench-results
mkdir -p "$results"
for program in "${programs[@]}"; do
    echo "running $program ..." >&2
    "$build/bench/$program" --benchmark_enable_random_interleaving=true \
        --benchmark_repetitions="$repetitions" --benchmark_min_time="$min_time" \
        --benchmark_report_aggregates_only=true --benchmark_format=json \
        >"$results/$program.json" 2>"$results/$program.err"
done

python3 - "$results" "$all" "$(uptime)" <<'EOF'
import json, pathlib, sys

# row, ZolTov benchmark, peer benchmark, goal (highest ratio; None: shown, no goal)
ROWS = [
    ("CZolLocker on CZolLightMutex", "BM_ZolLightMutex_Locker", "BM_StdMutex_LockGuard", 1.15),
    ("CZolLightMutex Lock+Unlock", "BM_ZolLightMutex_LockUnlock", "BM_StdMutex_LockUnlock", 1.10),
    ("CZolMutex Lock+Unlock", "BM_ZolMutex_LockUnlock", "BM_RobustPthreadMutex_LockUnlock", 1.10),
    ("Named mutex, two processes contending", "BM_QelNamedMutexContendedProcesses/real_time",
     "BM_RobustPthreadMutexContendedProcesses/real_time", 1.10),
    ("memcpy_shmem 256 B", "BM_MemcpyShmem/256", "BM_RobustMutexMemcpy/256", 1.10),
    ("CreateThread, run, end", "BM_ZolThread_CreateRunEnd/real_time",
     "BM_StdThread_CreateJoin/real_time", 1.20),
    ("ZolBeginThread, run, end", "BM_ZolBeginThread_RunEnd/real_time",
     "BM_StdThread_CreateJoin/real_time", 1.40),
    ("Open segment by name, copy 256 B, close", "BM_ZolOpenCopyClose", "BM_ShmOpenCopyClose", 1.30),
    ("INI section + item + int", "BM_IniFile", "BM_PlainFgets", 1.30),
    ("Open a kept segment by name, close", "BM_OpenCloseSegment", "BM_RawShmOpenClose", None),
    ("Named mutex among 10000, against among 10", "BM_CreateCloseMutex/10000",
     "BM_CreateCloseMutex/10", None),
]
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

medians = {}
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    for run in json.loads(path.read_text()).get("benchmarks", []):
        if run.get("aggregate_name") == "median":
            medians[run["run_name"]] = run["real_time"] * UNITS[run.get("time_unit", "ns")]

def show(ns):
    return "%.1f ns" % ns if ns < 1e4 else "%.1f us" % (ns / 1e3)

print("load: " + sys.argv[3].strip())
print("%-42s %12s %12s %7s %6s" % ("path", "ZolTov", "peer", "ratio", "goal"))
used, missed = set(), 0
for row, ours, peer, goal in ROWS:
    used.update((ours, peer))
    if ours not in medians or peer not in medians:
        print("%-42s %s" % (row, "missing result"))
        missed += 1
        continue
    ratio = medians[ours] / medians[peer]
    late = goal is not None and ratio > goal
    missed += late
    print("%-42s %12s %12s %6.2fx %6s%s" % (row, show(medians[ours]), show(medians[peer]), ratio,
                                              "-" if goal is None else "%.2fx" % goal,
                                              "  MISSED" if late else ""))
if sys.argv[2] == "1":
    print("\nother benchmarks (median):")
    for name in sorted(set(medians) - used):
        print("  %-58s %12s" % (name, show(medians[name])))
print("\n%d of %d goals missed" % (missed, sum(goal is not None for *_, goal in ROWS)))
EOF
