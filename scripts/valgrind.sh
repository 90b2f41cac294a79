#!/usr/bin/env bash
# Runs test programs of a built tree under valgrind's memcheck: any memory error, and any
# definite, indirect or possible leak, fails the run.
#
#   scripts/valgrind.sh [BUILD_DIR]     (default: build/default, as scripts/test.sh builds it)
#
# Which programs: the test programs whose ctest labels (each program's tests carry its name)
# are listed in MEMCHECK below, found through ctest in the build, so the list cannot name a
# program the build does not have: a label that ctest does not know stops the script. They
# exercise the library on the caller's thread (strings, containers, INI, time, file search,
# the fuzz seeds, shared memory across forked processes, the security checks). Programs that
# start threads are left to the TSan and ASan runs: memcheck serialises threads, which turns
# their bounded waits into flaky time-outs, and it cannot follow futex_waitv. The tool's
# tests only start other programs, and the soak is a load test.
#
# No suppressions are needed on Debian 12 (glibc 2.36, GCC 12, GoogleTest 1.12); anything
# reported comes from our code or our tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

build=${1:-build/default}
MEMCHECK=(int_array_test find_file_test string_test ini_file_test time_test fuzz_replay_test
    shared_memory_test named_objects_security_test)

if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "valgrind.sh: no test programs in $build; build first (scripts/test.sh)" >&2
    exit 2
fi

labels=$(ctest --test-dir "$build" --print-labels | sed -n 's/^  //p')
programs=()
for label in "${MEMCHECK[@]}"; do
    if ! grep -qx "$label" <<<"$labels"; then
        echo "valgrind.sh: ctest knows no label '$label' in $build; update MEMCHECK" >&2
        exit 2
    fi
    # The program of the label's first test: "Test command: /path/program ...".
    program=$(ctest --test-dir "$build" -N -V -L "^$label\$" |
        sed -n 's/^.*Test command: \([^ ]*\).*/\1/p' | head -n 1)
    if [ ! -x "$program" ]; then
        echo "valgrind.sh: $program is missing; build first" >&2
        exit 2
    fi
    programs+=("$program")
done

logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
echo "memcheck: ${#programs[@]} programs, logs in $logs"

# Exit status 99 marks a memcheck finding, any other non-zero status a failing test.
run_one() {
    local program=$1 name
    local rc=0
    name=$(basename "$program")
    (cd "$(dirname "$program")" &&
        valgrind --tool=memcheck --leak-check=full \
            --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible \
            --error-exitcode=99 --track-origins=yes -q \
            "$program") >"$logs/$name.log" 2>&1 || rc=$?
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
for program in "${programs[@]}"; do
    name=$(basename "$program")
    if [ "$(cat "$logs/$name.rc")" != 0 ]; then
        failed=$((failed + 1))
        echo "==== $name ===="
        grep -E '^==[0-9]+==|FAILED|Failure' "$logs/$name.log" | head -n 80 || true
    fi
done
echo "memcheck finished in $((SECONDS - start)) s: ${#programs[@]} programs, $failed failed"
[ "$failed" -eq 0 ]
