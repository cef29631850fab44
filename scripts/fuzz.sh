#!/usr/bin/env bash
# Fuzzes the reference host with libFuzzer for SECONDS (default 60): module
# files made from the seed corpus (the real module and its structured
# mutants) through load, install, both buttons, a frame and the bitmaps,
# under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/fuzz.sh [SECONDS]
#
# Sets up Clang first, builds the asan preset's fuzz target, and works in
# build-asan/fuzz-work/: corpus/ (the seeds plus what earlier runs found,
# kept from run to run) and findings/ (an input that crashed, hung or ran out
# of memory, kept to reproduce it with `build-asan/bin/quorlan7-fuzz FILE`).
# Prints the executions made and their rate; fails when something was found.
# Uses every core of the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bash scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

bash scripts/setup.sh --sanitizers
cmake --preset asan >/dev/null
cmake --build --preset asan --target quorlan7-fuzz

work=build-asan/fuzz-work
mkdir -p "$work/corpus" "$work/findings"
cp -n build-asan/fuzz/corpus/*.gau "$work/corpus/"
before=$(ls "$work/findings" | wc -l)

# Both cores fuzz (libFuzzer's fork mode, one job per core). Leaks are looked
# for when each job ends, not after every input: the host keeps its machine
# from input to input, so what one input allocates is no leak, and checking
# after each would cost more than the input. Allocation stacks are kept short
# for the same reason; rerun a finding on its own for the full report.
jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:malloc_context_size=5}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0}
log=$work/fuzz.log
echo "fuzz: $seconds s, $jobs jobs, on $(ls "$work/corpus" | wc -l) corpus files; log in $log"
status=0
start=$(date +%s)
build-asan/bin/quorlan7-fuzz -fork="$jobs" -detect_leaks=0 -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$work/findings/" "$work/corpus" >"$log" 2>&1 || status=$?
elapsed=$(( $(date +%s) - start ))

# The fork mode's progress lines: "#EXECUTIONS: cov: ... corp: FILES ...".
executions=$(grep -oE '^#[0-9]+:' "$log" | tail -1 | tr -d '#:')
corpus=$(grep -oE 'corp: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
echo "fuzz: ${executions:-0} executions in $elapsed s, $(( ${executions:-0} / (elapsed > 0 ? elapsed : 1) )) per second," \
     "corpus ${corpus:-?} files"
found=$(ls "$work/findings" | wc -l)
if ((status != 0 || found > before)); then
  grep -m1 -E "ERROR: |runtime error|deadly signal|out-of-memory|timeout" "$log" || true
  echo "fuzz: FOUND something (libFuzzer status $status); the input is in $work/findings/:" >&2
  ls -t "$work/findings" | head -5 >&2
  exit 1
fi
echo "fuzz: nothing found"
