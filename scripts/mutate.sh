#!/usr/bin/env bash
# Status: ready
#
# Mutation testing: plants each fault of a list, one at a time, in a scratch copy of this
# checkout, rebuilds incrementally, runs the test suite (without the soak and the install
# tests) and reports whether the suite killed the mutant, and with which tests.
#
# Usage: scripts/mutate.sh [--list FILE] [--only REGEX] [--keep-going] [--timeout SECONDS]
#   --list FILE     mutant list (default scripts/mutants.txt)
#   --only REGEX    run only the mutants whose id or file path matches the (Python) regex,
#                   e.g. --only '^ini-' or --only 'platform/qelMutex'
#   --keep-going    go on when the unmutated code already fails tests; those tests are then
#                   not counted as killers
#   --timeout N     per-test time limit in seconds (default 90); a hang counts as a kill
#
# Results: killed (some test failed or timed out), survived (all passed), invalid (the exact
# text is not found exactly once, or the mutant does not build). The summary goes to standard
# output, the full report (with the killing tests) to build/mutate/report.txt; the logs of the
# last run are in build/mutate/logs/.
#
# Everything lives under build/mutate/ of the checkout holding this script (git-ignored):
# src/ is the scratch copy, resynchronised from the working tree (tracked and untracked,
# not ignored files) at the start of each run, build/ its persistent build directory. The
# real working tree is never modified. Each mutant's tests run with their own
# ZOL_QEL_NAMESPACE, so they cannot meet concurrent test runs; its named-object directory is
# removed afterwards.
#
# List format (scripts/mutants.txt): records of "key: value" lines, one record per mutant,
# a new record starting at each "id:" line; '#' lines and blank lines are ignored.
#   id:   area-prefixed name, e.g. ini-section-case (letters, digits, '-')
#   file: path relative to the repository root
#   find: the exact text to replace; it must occur exactly once in the file
#   repl: its replacement (may be empty, to delete the text)
#   why:  the fault it stands for
# The value of find/repl is everything after "find: " ("repl: ") up to the end of the line,
# trailing blanks removed. Repeat the key for text that spans lines: the values are joined
# with newlines (so a multi-line find keeps its indentation after the one space).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=$root/scripts/mutants.txt
only=''
keep_going=0
timeout=90
while [ $# -gt 0 ]; do
    case $1 in
        --list) list=$(realpath "$2"); shift 2 ;;
        --only) only=$2; shift 2 ;;
        --keep-going) keep_going=1; shift ;;
        --timeout) timeout=$2; shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed 's/^# \{0,1\}//;$d'; exit 0 ;;
        *) echo "mutate.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done

work=$root/build/mutate
src=$work/src
bld=$work/build
logs=$work/logs
report=$work/report.txt
mkdir -p "$src" "$logs"
rm -f "$logs"/*.log

# The helpers that need more than a line of bash.
py() {
    python3 - "$@" <<'PY'
import os, re, shutil, subprocess, sys

def records(path):
    recs, cur = [], None
    for n, line in enumerate(open(path, encoding='utf-8'), 1):
        if not line.strip() or line.startswith('#'):
            continue
        m = re.match(r'(id|file|find|repl|why):(?: (.*))?$', line.rstrip('\n'))
        if not m:
            sys.exit(f'{path}:{n}: expected "key: value", got: {line.rstrip()}')
        key, value = m.group(1), (m.group(2) or '').rstrip()
        if key not in ('find', 'repl'):
            value = value.strip()
        if key == 'id':
            cur = {'id': value, 'line': n}
            recs.append(cur)
        elif cur is None:
            sys.exit(f'{path}:{n}: "{key}:" before the first "id:"')
        elif key in ('find', 'repl') and key in cur:
            cur[key] += '\n' + value
        else:
            cur[key] = value
    for r in recs:
        for key in ('file', 'find', 'repl'):
            if key not in r:
                sys.exit(f'{path}:{r["line"]}: mutant {r["id"]} has no "{key}:"')
    return recs

def find(recs, ident):
    return next(r for r in recs if r['id'] == ident)

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == 'sync':  # sync ROOT SRC: make SRC a copy of ROOT's tracked + untracked-not-ignored files
    root, src = args
    out = subprocess.run(['git', '-C', root, 'ls-files', '-z', '--cached', '--others',
                          '--exclude-standard'], check=True, capture_output=True).stdout
    files = {f for f in out.decode().split('\0') if f and os.path.lexists(os.path.join(root, f))}
    for dirpath, dirnames, filenames in os.walk(src):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), src)
            if rel not in files:
                os.remove(os.path.join(src, rel))
    for rel in sorted(files):
        a, b = os.path.join(root, rel), os.path.join(src, rel)
        if os.path.islink(a) or os.path.isdir(a):  # symbolic link, or a submodule
            continue
        if os.path.exists(b) and open(a, 'rb').read() == open(b, 'rb').read():
            continue  # unchanged: keep its time stamp, so the build stays incremental
        os.makedirs(os.path.dirname(b), exist_ok=True)
        shutil.copyfile(a, b)
        shutil.copymode(a, b)
elif cmd == 'ids':  # ids LIST REGEX: the selected mutants, "id<TAB>file" per line
    pattern = re.compile(args[1]) if args[1] else None
    seen = set()
    for r in records(args[0]):
        if r['id'] in seen:
            sys.exit(f'{args[0]}:{r["line"]}: duplicate id {r["id"]}')
        seen.add(r['id'])
        if not pattern or pattern.search(r['id']) or pattern.search(r['file']):
            print(f'{r["id"]}\t{r["file"]}')
elif cmd == 'field':  # field LIST ID KEY
    print(find(records(args[0]), args[1]).get(args[2], ''))
elif cmd == 'apply':  # apply LIST ID SRC: plant the mutant; exit 3 if the text is not unique
    r = find(records(args[0]), args[1])
    path = os.path.join(args[2], r['file'])
    text = open(path, encoding='utf-8').read() if os.path.exists(path) else ''
    count = text.count(r['find'])
    if count != 1:
        print(f'text found {count} times in {r["file"]}')
        sys.exit(3)
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text.replace(r['find'], r['repl']))
elif cmd == 'restore':  # restore ROOT SRC FILE: put the original back, with a new time stamp
    shutil.copyfile(os.path.join(args[0], args[2]), os.path.join(args[1], args[2]))
elif cmd == 'failed':  # failed LOG [BASELINE_LOG]: the failed tests, "name (reason)" per line
    def failed(log):
        lines = open(log, encoding='utf-8', errors='replace').read().splitlines()
        if 'The following tests FAILED:' not in lines:
            return {}
        found = (re.match(r'\s*\d+ - (.*) \(([^()]*)\)\s*$', line)
                 for line in lines[lines.index('The following tests FAILED:') + 1:])
        return {m.group(1): m.group(2) for m in found if m}
    ignored = failed(args[1]) if len(args) > 1 else {}
    for name, reason in failed(args[0]).items():
        if name not in ignored:
            print(f'{name} ({reason})')
PY
}

# Configure the scratch build once: the default preset's settings, no benchmarks, ccache, and
# test programs that are not relinked when only the library changes (they load it at run time).
py sync "$root" "$src"
if [ ! -f "$bld/build.ninja" ]; then
    echo "configuring $bld"
    cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_WERROR=ON \
        -DZOL_BUILD_BENCH=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_LINK_DEPENDS_NO_SHARED=ON \
        >"$logs/configure.log" 2>&1 || { cat "$logs/configure.log"; exit 1; }
fi

build() {
    cmake --build "$bld" >"$1" 2>&1 || return 1
    # gtest_discover_tests fixes a long per-test TIMEOUT that ctest's --timeout cannot
    # lower; a mutant that hangs must not cost minutes per test.
    find "$bld" -name '*_tests.cmake' -print0 | xargs -0 -r grep -l -Z -P "TIMEOUT \"?(?!$timeout\\b)[0-9]+" |
        xargs -0 -r sed -i -E "s/(TIMEOUT \"?)[0-9]+/\1$timeout/g" || true
}

# run_tests LOG NAMESPACE: the suite without the soak; prints the failed tests that did not
# already fail before mutation.
run_tests() {
    ZOL_QEL_NAMESPACE=$2 ctest --test-dir "$bld" -LE 'soak|install' -j2 --timeout "$timeout" \
        >"$1" 2>&1 || true
    # A test killed at its time-out can leave a child behind (a mutated tool that spins):
    # nothing of the scratch build may outlive its run, or it would load every later one.
    pkill -KILL -f "^$bld/" 2>/dev/null || true
    rm -rf "/dev/shm/zoltov-$(id -u)-$2"
    if [ "$1" = "$logs/baseline-test.log" ]; then py failed "$1"; else py failed "$1" "$logs/baseline-test.log"; fi
}

space=mut$$
echo "building the unmutated copy"
build "$logs/baseline-build.log" || { tail -30 "$logs/baseline-build.log"; exit 1; }
baseline_failed=$(run_tests "$logs/baseline-test.log" "$space-base")
if ! grep -q 'tests passed' "$logs/baseline-test.log"; then
    echo "the unmutated suite did not run:"; tail -20 "$logs/baseline-test.log"; exit 1
fi
if [ -n "$baseline_failed" ]; then
    echo "the unmutated code already fails:"; echo "$baseline_failed"
    [ $keep_going = 1 ] || { echo "fix these first, or use --keep-going"; exit 1; }
fi

{
    echo "mutation report, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD || echo ' + local changes')"
    echo "list: ${list#"$root"/}${only:+, only: $only}"
    [ -z "$baseline_failed" ] || { echo "failing before mutation (ignored):"; echo "$baseline_failed" | sed 's/^/  /'; }
    echo
} >"$report"

killed=0 survived=0 invalid=0 n=0
survivors=''
selected=$(py ids "$list" "$only")
[ -n "$selected" ] || { echo "no mutant selected"; exit 1; }
total=$(echo "$selected" | wc -l)
while IFS=$'\t' read -r id file; do
    n=$((n + 1))
    printf '[%2d/%d] %-28s ' "$n" "$total" "$id"
    why=$(py field "$list" "$id" why)
    if ! note=$(py apply "$list" "$id" "$src"); then
        result="invalid ($note)"
        invalid=$((invalid + 1))
    elif ! build "$logs/$id-build.log"; then
        result="invalid (does not build, see logs/$id-build.log)"
        invalid=$((invalid + 1))
    else
        failed=$(run_tests "$logs/$id-test.log" "$space-$n")
        if [ -n "$failed" ]; then
            result="killed by $(echo "$failed" | wc -l) test(s)"
            killed=$((killed + 1))
        else
            result="SURVIVED"
            survived=$((survived + 1))
            survivors+="  $id  $file  ($why)"$'\n'
        fi
    fi
    py restore "$root" "$src" "$file" 2>/dev/null || true
    echo "$result"
    {
        echo "$id: $result"
        echo "  file: $file"
        echo "  why:  $why"
        [ "${result#killed}" = "$result" ] || echo "$failed" | sed 's/^/    /'
        echo
    } >>"$report"
done <<<"$selected"

# Leave the scratch build matching the working tree.
build "$logs/final-build.log" || echo "warning: rebuilding the unmutated copy failed"

valid=$((killed + survived))
score="score: $killed killed / $valid valid mutants"
[ $valid = 0 ] || score+=" ($((100 * killed / valid)) %)"
score+=", $survived survived, $invalid invalid"
{
    echo
    echo "$score"
    [ -z "$survivors" ] || { echo "survivors:"; printf '%s' "$survivors"; }
} | tee -a "$report"
echo "full report: $report"
