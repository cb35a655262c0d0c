#!/bin/sh
# Runs the request fuzzer for a fixed number of inputs, starting from the
# kept seed corpus (tests/fuzz/corpus, which it does not change); new inputs
# and any crash go to a work folder. Exits non-zero on a crash, a leak, a
# hang or a report. What a driver leaks shows in the audit after each
# input; the host heap is checked for leaks once, at the end of each process.
#   tools/fuzz.sh [BUILD_DIR] [RUNS] [WORK_DIR]
#   defaults: build/fuzz, 100000, BUILD_DIR/fuzz-work
#   FUZZ_JOBS=N shares the runs among N processes (default 1).
# Builds (or brings up to date) the fuzzer first, with clang.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
runs=${2:-100000}
work=${3:-$build/fuzz-work}
jobs=${FUZZ_JOBS:-1}
fuzzer=$build/tests/fuzz/stillscsi_fuzz

if [ ! -f "$build/CMakeCache.txt" ]; then
  CXX=${CXX:-clang++-14} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTILLSCSI_FUZZ=ON
fi
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$work/corpus" "$work/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-allow_user_segv_handler=1:detect_leaks=1:malloc_context_size=8}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
start=$(date +%s)
pids=""
job=1
while [ "$job" -le "$jobs" ]; do
  share=$(( runs / jobs + (job <= runs % jobs ? 1 : 0) ))
  "$fuzzer" "$work/corpus" "$root/tests/fuzz/corpus" -runs="$share" -seed="$job" -timeout=20 \
    -rss_limit_mb=4096 -detect_leaks=0 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    >"$work/log.$job" 2>&1 &
  pids="$pids $!"
  job=$(( job + 1 ))
done
failed=0
job=1
for pid in $pids; do
  if ! wait "$pid"; then
    tail -60 "$work/log.$job"
    failed=1
  fi
  job=$(( job + 1 ))
done
seconds=$(( $(date +%s) - start ))
if [ "$failed" -ne 0 ]; then
  echo "fuzz: FAILED after $seconds s; the input is in $work/artifacts" >&2
  exit 1
fi
executed=$(cat "$work"/log.* | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{ n += $1 } END { print n + 0 }')
peak=$(cat "$work"/log.* | sed -n 's/^stat::peak_rss_mb: *//p' | sort -n | tail -1)
echo "fuzz: $executed inputs in $seconds s on $jobs process(es), peak $peak MB each at most;" \
     "no crash, leak, hang or report"
