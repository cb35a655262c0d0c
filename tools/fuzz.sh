#!/bin/sh
# Runs the request fuzzer for a fixed number of inputs, starting from the
# kept seed corpus (tests/fuzz/corpus, which it does not change); new inputs
# and any crash go to a work folder. Exits non-zero on a crash, a leak, a
# hang or a report. What a driver leaks shows in the audit after each
# input; the host heap is checked for leaks once, at the end.
#   tools/fuzz.sh [BUILD_DIR] [RUNS] [WORK_DIR]
#   defaults: build/fuzz, 100000, BUILD_DIR/fuzz-work
# Builds (or brings up to date) the fuzzer first, with clang.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
runs=${2:-100000}
work=${3:-$build/fuzz-work}
fuzzer=$build/tests/fuzz/stillscsi_fuzz

if [ ! -f "$build/CMakeCache.txt" ]; then
  CXX=${CXX:-clang++-14} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTILLSCSI_FUZZ=ON
fi
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$work/corpus" "$work/artifacts"
start=$(date +%s)
ASAN_OPTIONS=${ASAN_OPTIONS:-allow_user_segv_handler=1:detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$fuzzer" "$work/corpus" "$root/tests/fuzz/corpus" -runs="$runs" -timeout=20 -rss_limit_mb=4096 -detect_leaks=0 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1 || {
  tail -60 "$work/log"
  echo "fuzz: FAILED after $(( $(date +%s) - start )) s; the input is in $work/artifacts" >&2
  exit 1
}
grep -E "^Done|stat::number_of_executed_units|stat::peak_rss_mb" "$work/log" || true
echo "fuzz: $runs inputs in $(( $(date +%s) - start )) s, no crash, leak, hang or report"
