#!/bin/sh
# Builds and runs every test: the host build plain (and the driver's static
# analysis), under AddressSanitizer
# and UndefinedBehaviorSanitizer, and under ThreadSanitizer, and (when the
# mingw-w64 cross compiler is installed) the Windows driver image with its
# checks.
#   tools/test.sh [BUILD_ROOT]      default BUILD_ROOT: build
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

run() {
  name=$1
  shift
  echo "== $name"
  cmake -S "$root" -B "$build/$name" "$@"
  cmake --build "$build/$name" --parallel "$jobs"
  ctest --test-dir "$build/$name" --output-on-failure --parallel "$jobs"
}

run plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Static analysis of the driver, on the plain build's compile commands: any
# finding fails.
"$root/tools/analyse.sh" "$build/plain"
ASAN_OPTIONS=${ASAN_OPTIONS:-allow_user_segv_handler=1:detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run sanitize -DCMAKE_BUILD_TYPE=Debug -DSTILLSCSI_SANITIZE=ON
# Races: every test again under ThreadSanitizer, the concurrency tests with
# their completion threads, lock races and requests in flight among them.
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  run tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTILLSCSI_TSAN=ON
# Fuzzing: the request fuzzer (clang, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) runs a fixed number of inputs from the kept
# corpus; STILLSCSI_FUZZ_RUNS changes the number.
if command -v "${FUZZ_CXX:-clang++-14}" >/dev/null 2>&1; then
  echo "== fuzz"
  CXX=${FUZZ_CXX:-clang++-14} "$root/tools/fuzz.sh" "$build/fuzz" "${STILLSCSI_FUZZ_RUNS:-50000}"
else
  echo "== fuzz: skipped, ${FUZZ_CXX:-clang++-14} is not installed"
fi
echo "== all tests passed"
