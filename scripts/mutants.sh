#!/usr/bin/env bash
# Mutation check: does the test suite catch small, deliberate faults in the code?
#
#   scripts/mutants.sh [--list FILE] [--out FILE] [--only ID[,ID...]] [--jobs N] [--check] [--matrix]
#
# The fifth column of the results names the test that killed the mutant (the first that failed;
# "<program>:?" when the program died before naming it): a test that is changed later puts in
# doubt only the mutants it killed. --matrix runs the whole suite for every mutant, without
# stopping at the first failure, and lists every test that failed: which tests kill which
# mutants, to tell the tests that alone catch a fault from those another test covers too.
# --check only checks the list against the checkout (each text found exactly once, IDs unique)
# and builds nothing.
#
# Each mutant of the list (default scripts/mutants.txt) is one exact text replacement in one
# file: a flipped comparison, an off-by-one bound, a dropped check, a swapped byte order, a
# skipped close. The script copies the checkout (tracked files only) to a scratch folder, builds
# it once, checks that the suite passes there, then for each mutant: applies it, builds
# incrementally, runs the test program of the mutated file's area, then the whole suite
# (each stopping at the first failing test) and records "killed"
# (a test failed), "survived" (every test passed), "timeout" (the suite ran past its limit,
# counted as killed) or "unbuildable"; then restores the file. A mutant whose text is not found
# exactly once is "stale" (the list no longer matches the code).
#
# List format, one mutant per line, fields separated by TABs (lines starting with # are notes; the replacement may be empty):
#   ID <TAB> path <TAB> original text <TAB> replacement text [<TAB> what it breaks]
# In the texts, \t stands for a TAB and \n for a line end. Results go to the output file
# (default build-mutants/results.tsv) as ID <TAB> outcome <TAB> path <TAB> what <TAB> killer, and a summary
# is printed at the end. The scratch folder is on /dev/shm when the machine has one. The copy is
# built like `make build` (RelWithDebInfo, so that a compiler cache serves it); MUTANTS_BUILD_TYPE
# picks another build type.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
LIST=scripts/mutants.txt
OUT=
ONLY=
CHECK=
MATRIX=
JOBS=$(nproc)
SUITE_TIMEOUT=${SUITE_TIMEOUT:-600}
while [ $# -gt 0 ]; do
  case "$1" in
    --list) LIST=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --jobs) JOBS=$2; shift 2 ;;
    --check) CHECK=1; shift ;;
    --matrix) MATRIX=1; shift ;;
    -h|--help) sed -n '2,27p' "$0"; exit 0 ;;
    *) echo "mutants.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -f "$LIST" ] || { echo "mutants.sh: no list $LIST" >&2; exit 2; }
LIST=$(realpath "$LIST")
if [ -n "$CHECK" ]; then
  python3 - "$LIST" <<'EOF'
import sys, collections
unesc = lambda s: s.replace('\\t', '\t').replace('\\n', '\n')
bad, ids, n = 0, collections.Counter(), 0
for no, line in enumerate(open(sys.argv[1], encoding='utf-8'), 1):
    line = line.rstrip('\n')
    if not line or line.startswith('#'):
        continue
    f = line.split('\t')
    if len(f) < 4:
        print(f'line {no}: fewer than 4 fields'); bad += 1; continue
    n += 1
    ids[f[0]] += 1
    try:
        text = open(f[1], encoding='utf-8', errors='surrogateescape').read()
    except OSError as e:
        print(f'{f[0]}: {e}'); bad += 1; continue
    c = text.count(unesc(f[2]))
    if c != 1:
        print(f'{f[0]}: the original text is found {c} times in {f[1]}'); bad += 1
    if f[2] == f[3]:
        print(f'{f[0]}: replacement equals the original'); bad += 1
for i, c in ids.items():
    if c > 1:
        print(f'{i}: used {c} times'); bad += 1
print(f'{n} mutants, {bad} problems')
sys.exit(1 if bad else 0)
EOF
  exit $?
fi
OUT=${OUT:-$ROOT/build-mutants/results.tsv}
mkdir -p "$(dirname "$OUT")"
OUT=$(realpath -m "$OUT")

TMPBASE=$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")
WORK=$TMPBASE/tusave-mutants-$$
SRC=$WORK/src
BLD=$WORK/build
mkdir -p "$SRC"
trap 'rm -rf "$WORK"' EXIT

# The tracked files as they are in the checkout now (uncommitted edits included).
git ls-files -z | tar --null -T - -cf - | tar -C "$SRC" -xf -

LAUNCHER=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$SRC CCACHE_NOHASHDIR=1
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
echo "== mutants: building the unmutated copy in $BLD"
cmake -S "$SRC" -B "$BLD" -G Ninja -DCMAKE_BUILD_TYPE="${MUTANTS_BUILD_TYPE:-RelWithDebInfo}" "${LAUNCHER[@]}" >/dev/null
cmake --build "$BLD" -j "$JOBS" >/dev/null

run_suite() {
  local stop=--stop-on-failure
  [ -n "$MATRIX" ] && stop=
  timeout "$SUITE_TIMEOUT" ctest --test-dir "$BLD" -j "$JOBS" $stop --timeout 300 >"$WORK/suite.log" 2>&1
}
# The tests that failed in the last suite run, comma-separated.
failed_tests() {
  sed -n 's/^[[:space:]]*[0-9]\{1,\} - \([^ ]*\) (.*$/\1/p' "$WORK/suite.log" | paste -sd, -
}
# The test program closest to a source folder. A mutant is first tried against it alone (one
# process, stopping at the first failure): most mutants die there in seconds, and only the
# others need the whole suite. "survived" is only ever said after the whole suite passed.
quick_program() {
  case "$1" in
    LdLoad/*|common/*) echo test_library ;;
    workstation/*) echo test_workstation ;;
    station/*) echo test_station ;;
    sample/*) echo test_sample ;;
    tools/tusave/*) echo test_e2e ;;
    tools/*) echo test_tools ;;
  esac
}
# The test that failed first in the last run of program $1 ("$1:?" when it died before saying).
quick_failed() {
  local t
  t=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*$/\1/p' "$WORK/quick.log" | head -n 1)
  echo "${t:-$1:?}"
}
QUICK_OK=" "
run_quick() {
  (cd "$BLD/tests" && GTEST_FAIL_FAST=1 timeout "$SUITE_TIMEOUT" "./$1" --gtest_brief=1) >"$WORK/quick.log" 2>&1
}
echo "== mutants: the suite on the unmutated copy"
if ! run_suite; then
  echo "mutants.sh: the suite fails without any mutant; see below" >&2
  tail -n 30 "$WORK/suite.log" >&2
  exit 1
fi

# A program takes part in the first pass only when it passes on the unmutated code in one process.
for prog in test_library test_workstation test_station test_sample test_tools test_e2e; do
  if [ -x "$BLD/tests/$prog" ] && run_quick "$prog"; then QUICK_OK+="$prog "; fi
done
echo "== mutants: first pass with:$QUICK_OK"

# apply.py FILE OLD NEW: replaces the one occurrence; exit 3 when it is not there exactly once.
cat >"$WORK/apply.py" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2], sys.argv[3]
unesc = lambda s: s.replace('\\t', '\t').replace('\\n', '\n')
old, new = unesc(old), unesc(new)
text = open(path, encoding='utf-8', errors='surrogateescape').read()
if text.count(old) != 1:
    sys.exit(3)
open(path, 'w', encoding='utf-8', errors='surrogateescape').write(text.replace(old, new, 1))
EOF

: >"$OUT"
total=0; killed=0; survived=0; stale=0; unbuildable=0
# The list is read on its own descriptor and the loop's commands get no input: a program that
# reads or moves its standard input must not move the loop's place in the list.
while IFS= read -r -u 3 line || [ -n "$line" ]; do
  case "$line" in ''|\#*) continue ;; esac
  # Fields by TAB, one by one: an empty replacement (a dropped line) is a field too.
  id=${line%%$'\t'*}; rest=${line#*$'\t'}
  path=${rest%%$'\t'*}; rest=${rest#*$'\t'}
  old=${rest%%$'\t'*}; rest=${rest#*$'\t'}
  new=${rest%%$'\t'*}
  if [ "$new" = "$rest" ]; then what=; else what=${rest#*$'\t'}; fi
  if [ -n "$ONLY" ] && [[ ",$ONLY," != *",$id,"* ]]; then continue; fi
  total=$((total + 1))
  file=$SRC/$path
  cp -p "$file" "$WORK/orig" 2>/dev/null || { echo -e "$id\tstale\t$path\t$what" >>"$OUT"; stale=$((stale + 1)); continue; }
  outcome=
  by_quick=
  prog=$(quick_program "$path")
  [[ -n "$prog" && "$QUICK_OK" == *" $prog "* && -z "$MATRIX" ]] || prog=
  if ! python3 "$WORK/apply.py" "$file" "$old" "$new"; then
    outcome=stale
  elif [ -n "$prog" ]; then
    # The area's program (and the programs its tests start) first; the rest only if needed.
    if ! cmake --build "$BLD" -j "$JOBS" --target "$prog" tusave fcssim shgsave >"$WORK/build.log" 2>&1; then
      outcome=unbuildable
    elif run_quick "$prog"; rc=$?; [ "$rc" -ne 0 ]; then
      [ "$rc" -eq 124 ] && outcome=timeout || outcome=killed
      by_quick=1
    fi
  fi
  if [ -z "$outcome" ]; then
    if ! cmake --build "$BLD" -j "$JOBS" >"$WORK/build.log" 2>&1; then
      outcome=unbuildable
    elif run_suite; then
      outcome=survived
    else
      rc=$?
      [ "$rc" -eq 124 ] && outcome=timeout || outcome=killed
    fi
  fi
  cp -p "$WORK/orig" "$file"
  touch "$file"
  case "$outcome" in
    killed|timeout) killed=$((killed + 1)) ;;
    survived) survived=$((survived + 1)) ;;
    stale) stale=$((stale + 1)) ;;
    unbuildable) unbuildable=$((unbuildable + 1)) ;;
  esac
  tests=
  if [ "$outcome" = killed ] || [ "$outcome" = timeout ]; then
    if [ -n "$by_quick" ]; then tests=$(quick_failed "$prog"); else tests=$(failed_tests); fi
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$outcome" "$path" "$what" "$tests" | tee -a "$OUT"
done 3<"$LIST" </dev/null
# Leave the build as the unmutated code.
cmake --build "$BLD" -j "$JOBS" >/dev/null 2>&1 || true

scored=$((killed + survived))
pct=0; [ "$scored" -gt 0 ] && pct=$((100 * killed / scored))
echo "== mutants: $total run, $killed killed, $survived survived, $stale stale, $unbuildable unbuildable; $pct % of the built mutants killed"
echo "== results: $OUT"
