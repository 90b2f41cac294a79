#!/usr/bin/env bash
# Runs test programs of a built tree under valgrind's memcheck: any memory error, and any
# definite, indirect or possible leak, fails the run.
#
#   scripts/valgrind.sh [BUILD_DIR]     (default: build/default, as scripts/test.sh builds it)
#
# Which programs: those of the test areas listed in AREAS below, minus any whose source starts
# a thread. Those areas exercise the library on the caller's thread (strings, containers, INI,
# time, streams, file search, diagnostics, shared memory across forked
# processes, the security checks). The thread, sync and platform programs are left to the
# TSan and ASan runs: memcheck serialises threads, which turns their bounded waits into
# flaky time-outs, and it cannot follow futex_waitv. The tool's tests only start other
# programs. The thread check below keeps the rule true as tests change: a program of a listed
# area that calls one of THREAD_CALLS is reported and skipped, never run.
#
# No suppressions are needed on Debian 12 (glibc 2.36, GCC 12, GoogleTest 1.12); anything
# reported comes from our code or our tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

build=${1:-build/default}
AREAS=(containers diagnostics findfile foundation ini security shm streams time)
THREAD_CALLS='std::thread|std::jthread|std::async|pthread_create|CreateThread\(|ZolBeginThread\(|qelBeginThread\('

if [ ! -d "$build/tests" ]; then
    echo "valgrind.sh: no test programs in $build/tests; build first (scripts/test.sh)" >&2
    exit 2
fi

programs=()
for area in "${AREAS[@]}"; do
    [ -d "tests/$area" ] || continue
    while IFS= read -r source; do
        name=$(basename "$source" .cpp)
        if grep -qE "$THREAD_CALLS" "$source"; then
            echo "skipped $name: it starts threads"
            continue
        fi
        if [ ! -x "$build/tests/$name" ]; then
            echo "valgrind.sh: $build/tests/$name is missing; build first" >&2
            exit 2
        fi
        programs+=("$name")
    done < <(find "tests/$area" -name '*_test.cpp' | sort)
done

logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
echo "memcheck: ${#programs[@]} programs, logs in $logs"

# Exit status 99 marks a memcheck finding, any other non-zero status a failing test.
run_one() {
    local name=$1
    local rc=0
    (cd "$build/tests" &&
        valgrind --tool=memcheck --leak-check=full \
            --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible \
            --error-exitcode=99 --track-origins=yes -q \
            "./$name") >"$logs/$name.log" 2>&1 || rc=$?
    echo "$rc" >"$logs/$name.rc"
    case $rc in
        0) echo "ok      $name" ;;
        99) echo "MEMCHECK $name" ;;
        *) echo "FAILED  $name (status $rc)" ;;
    esac
}
export -f run_one
export build logs

start=$SECONDS
jobs=$(nproc 2>/dev/null || echo 2)
printf '%s\n' "${programs[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}

failed=0
for name in "${programs[@]}"; do
    if [ "$(cat "$logs/$name.rc")" != 0 ]; then
        failed=$((failed + 1))
        echo "==== $name ===="
        grep -E '^==[0-9]+==|FAILED|Failure' "$logs/$name.log" | head -n 80 || true
    fi
done
echo "memcheck finished in $((SECONDS - start)) s: ${#programs[@]} programs, $failed failed"
[ "$failed" -eq 0 ]
