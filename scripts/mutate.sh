#!/usr/bin/env python3
# Mutation testing: plants each fault of a list, one at a time, in a scratch copy of this
# checkout, rebuilds incrementally, runs the test suite (without the soak and the install
# tests) and reports whether the suite killed the mutant, and with which tests. (A Python
# program; the name stays for the commands and notes that call it.)
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
# ZOL_QEL_NAMESPACE (under the caller's, when it has one), so they cannot meet concurrent test
# runs; its named-object directory is removed afterwards.
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
import argparse
import datetime
import glob
import os
import re
import shutil
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
WORK = os.path.join(ROOT, 'build', 'mutate')
SRC, BLD, LOGS = (os.path.join(WORK, d) for d in ('src', 'build', 'logs'))
REPORT = os.path.join(WORK, 'report.txt')


def usage():
    with open(__file__, encoding='utf-8') as f:
        lines = f.read().splitlines()[1:]
    return '\n'.join(re.sub(r'^# ?', '', line) for line in
                     lines[:next(i for i, line in enumerate(lines) if not line.startswith('#'))])


def parse_args():
    parser = argparse.ArgumentParser(add_help=False, usage=argparse.SUPPRESS)
    parser.add_argument('--list', default=os.path.join(ROOT, 'scripts', 'mutants.txt'))
    parser.add_argument('--only', default='')
    parser.add_argument('--keep-going', action='store_true')
    parser.add_argument('--timeout', type=int, default=90)
    parser.add_argument('-h', '--help', action='store_true')
    args, unknown = parser.parse_known_args()
    if args.help:
        print(usage())
        sys.exit(0)
    if unknown:
        sys.exit(f"mutate.sh: unknown argument '{unknown[0]}' (see --help)")
    args.list = os.path.realpath(args.list)
    return args


def records(path):
    """The mutants of the list, each a dict of id, file, find, repl, why and its line."""
    recs, cur = [], None
    with open(path, encoding='utf-8') as f:
        for n, line in enumerate(f, 1):
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
    seen = set()
    for r in recs:
        for key in ('file', 'find', 'repl'):
            if key not in r:
                sys.exit(f'{path}:{r["line"]}: mutant {r["id"]} has no "{key}:"')
        if r['id'] in seen:
            sys.exit(f'{path}:{r["line"]}: duplicate id {r["id"]}')
        seen.add(r['id'])
    return recs


def sync():
    """Makes SRC a copy of ROOT's tracked and untracked, not ignored files; unchanged files
    keep their time stamps, so the build stays incremental."""
    out = subprocess.run(['git', '-C', ROOT, 'ls-files', '-z', '--cached', '--others',
                          '--exclude-standard'], check=True, capture_output=True).stdout
    files = {f for f in out.decode().split('\0') if f and os.path.lexists(os.path.join(ROOT, f))}
    for dirpath, _, filenames in os.walk(SRC):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), SRC)
            if rel not in files:
                os.remove(os.path.join(SRC, rel))
    for rel in sorted(files):
        a, b = os.path.join(ROOT, rel), os.path.join(SRC, rel)
        if os.path.islink(a) or os.path.isdir(a):  # symbolic link, or a submodule
            continue
        if os.path.exists(b) and open(a, 'rb').read() == open(b, 'rb').read():
            continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        shutil.copyfile(a, b)
        shutil.copymode(a, b)


def apply(r):
    """Plants the mutant in SRC; None, or why it cannot be planted."""
    path = os.path.join(SRC, r['file'])
    text = open(path, encoding='utf-8').read() if os.path.exists(path) else ''
    count = text.count(r['find'])
    if count != 1:
        return f'text found {count} times in {r["file"]}'
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text.replace(r['find'], r['repl']))
    return None


def restore(r):
    """Puts the original back, with a new time stamp."""
    if os.path.exists(os.path.join(ROOT, r['file'])):
        shutil.copyfile(os.path.join(ROOT, r['file']), os.path.join(SRC, r['file']))


def configure():
    """The default preset's settings, no benchmarks, ccache, and test programs that are not
    relinked when only the library changes (they load it at run time)."""
    if os.path.exists(os.path.join(BLD, 'build.ninja')):
        return
    print(f'configuring {BLD}', flush=True)
    log = os.path.join(LOGS, 'configure.log')
    with open(log, 'w') as out:
        rc = subprocess.run(['cmake', '-S', SRC, '-B', BLD, '-G', 'Ninja',
                             '-DCMAKE_BUILD_TYPE=RelWithDebInfo', '-DZOL_WERROR=ON',
                             '-DZOL_BUILD_BENCH=OFF', '-DCMAKE_CXX_COMPILER_LAUNCHER=ccache',
                             '-DCMAKE_C_COMPILER_LAUNCHER=ccache',
                             '-DCMAKE_LINK_DEPENDS_NO_SHARED=ON'],
                            stdout=out, stderr=subprocess.STDOUT).returncode
    if rc != 0:
        print(open(log).read())
        sys.exit(1)


def build(log, timeout):
    """Builds the scratch copy; False when it does not build."""
    with open(log, 'w') as out:
        if subprocess.run(['cmake', '--build', BLD], stdout=out,
                          stderr=subprocess.STDOUT).returncode != 0:
            return False
    # gtest_discover_tests fixes a long per-test TIMEOUT that ctest's --timeout cannot lower;
    # a mutant that hangs must not cost minutes per test.
    for dirpath, _, filenames in os.walk(BLD):
        for name in filenames:
            if name.endswith('_tests.cmake'):
                path = os.path.join(dirpath, name)
                text = open(path, encoding='utf-8').read()
                new = re.sub(r'(TIMEOUT "?)[0-9]+', rf'\g<1>{timeout}', text)
                if new != text:
                    with open(path, 'w', encoding='utf-8') as f:
                        f.write(new)
    return True


def failed_tests(log):
    """The failed tests of a ctest log: {name: reason}."""
    lines = open(log, encoding='utf-8', errors='replace').read().splitlines()
    if 'The following tests FAILED:' not in lines:
        return {}
    found = (re.match(r'\s*\d+ - (.*) \(([^()]*)\)\s*$', line)
             for line in lines[lines.index('The following tests FAILED:') + 1:])
    return {m.group(1): m.group(2) for m in found if m}


def run_tests(log, space, timeout):
    """Runs the suite without the soak and the install tests in its own session, so that
    whatever a test leaves running (a mutated tool that spins) goes with it."""
    env = dict(os.environ, ZOL_QEL_NAMESPACE=space)
    with open(log, 'w') as out:
        ctest = subprocess.Popen(['ctest', '--test-dir', BLD, '-LE', 'soak|install', '-j2',
                                  '--timeout', str(timeout)], stdout=out,
                                 stderr=subprocess.STDOUT, env=env, start_new_session=True)
        ctest.wait()
    try:
        os.killpg(ctest.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    # Tests that need a directory of their own name it after the run's (space + more).
    for leftover in glob.glob(f'/dev/shm/zoltov-{os.getuid()}-{space}*'):
        shutil.rmtree(leftover, ignore_errors=True)
    return failed_tests(log)


def main():
    args = parse_args()
    os.makedirs(SRC, exist_ok=True)
    os.makedirs(LOGS, exist_ok=True)
    for name in os.listdir(LOGS):
        if name.endswith('.log'):
            os.remove(os.path.join(LOGS, name))
    recs = records(args.list)
    pattern = re.compile(args.only) if args.only else None
    selected = [r for r in recs
                if not pattern or pattern.search(r['id']) or pattern.search(r['file'])]
    if not selected:
        sys.exit('no mutant selected')

    sync()
    configure()
    space = '-'.join(filter(None, [os.environ.get('ZOL_QEL_NAMESPACE'), f'mut{os.getpid()}']))
    print('building the unmutated copy', flush=True)
    base_log = os.path.join(LOGS, 'baseline-test.log')
    if not build(os.path.join(LOGS, 'baseline-build.log'), args.timeout):
        print('\n'.join(open(os.path.join(LOGS, 'baseline-build.log')).read().splitlines()[-30:]))
        sys.exit(1)
    baseline = run_tests(base_log, f'{space}-base', args.timeout)
    if 'tests passed' not in open(base_log, encoding='utf-8', errors='replace').read():
        print('the unmutated suite did not run:')
        print('\n'.join(open(base_log).read().splitlines()[-20:]))
        sys.exit(1)
    if baseline:
        print('the unmutated code already fails:')
        print('\n'.join(f'{name} ({reason})' for name, reason in baseline.items()))
        if not args.keep_going:
            sys.exit('fix these first, or use --keep-going')

    head = subprocess.run(['git', '-C', ROOT, 'rev-parse', '--short', 'HEAD'],
                          capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(['git', '-C', ROOT, 'diff', '--quiet', 'HEAD']).returncode != 0
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')
    listed = os.path.relpath(args.list, ROOT) if args.list.startswith(ROOT + '/') else args.list
    with open(REPORT, 'w') as report:
        report.write(f'mutation report, {stamp}, {head}{" + local changes" if dirty else ""}\n')
        report.write(f'list: {listed}{", only: " + args.only if args.only else ""}\n')
        if baseline:
            report.write('failing before mutation (ignored):\n')
            report.writelines(f'  {name} ({reason})\n' for name, reason in baseline.items())
        report.write('\n')

    killed = survived = invalid = 0
    survivors = []
    for n, r in enumerate(selected, 1):
        print(f'[{n:2d}/{len(selected)}] {r["id"]:<28} ', end='', flush=True)
        note = apply(r)
        killers = {}
        if note is not None:
            result = f'invalid ({note})'
            invalid += 1
        elif not build(os.path.join(LOGS, f'{r["id"]}-build.log'), args.timeout):
            result = f'invalid (does not build, see logs/{r["id"]}-build.log)'
            invalid += 1
        else:
            killers = {name: reason for name, reason in
                       run_tests(os.path.join(LOGS, f'{r["id"]}-test.log'), f'{space}-{n}',
                                 args.timeout).items() if name not in baseline}
            if killers:
                result = f'killed by {len(killers)} test(s)'
                killed += 1
            else:
                result = 'SURVIVED'
                survived += 1
                survivors.append(f'  {r["id"]}  {r["file"]}  ({r.get("why", "")})')
        restore(r)
        print(result, flush=True)
        with open(REPORT, 'a') as report:
            report.write(f'{r["id"]}: {result}\n  file: {r["file"]}\n  why:  {r.get("why", "")}\n')
            report.writelines(f'    {name} ({reason})\n' for name, reason in killers.items())
            report.write('\n')

    # Leave the scratch build matching the working tree.
    if not build(os.path.join(LOGS, 'final-build.log'), args.timeout):
        print('warning: rebuilding the unmutated copy failed')
    valid = killed + survived
    score = f'score: {killed} killed / {valid} valid mutants'
    if valid:
        score += f' ({100 * killed // valid} %)'
    score += f', {survived} survived, {invalid} invalid'
    summary = '\n' + score + '\n' + ('survivors:\n' + '\n'.join(survivors) + '\n' if survivors else '')
    print(summary, end='')
    with open(REPORT, 'a') as report:
        report.write(summary)
    print(f'full report: {REPORT}')


if __name__ == '__main__':
    main()
