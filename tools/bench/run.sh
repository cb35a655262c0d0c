#!/bin/sh
# Runs the driver's benchmarks: whole-stack throughput against memcpy,
# scaling by size and by handles (tables and a gnuplot SVG), latency with
# requests in flight, and, when valgrind is installed, the instruction
# counts of the driver's own code compared with the kept figures.
#   tools/bench/run.sh [BUILD_ROOT] [BENCHMARK OPTIONS...]   default BUILD_ROOT: build
# Benchmark options go to stillscsi_bench_driver, e.g. --benchmark_filter=Latency.
# Results land in BUILD_ROOT/bench: driver_bench.txt, by_size.dat,
# by_handles.dat, scaling.svg and driver_cost.txt.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build
case "${1:-}" in
  -*|"") ;;
  *) build=$1; shift ;;
esac
out=$build/bench
mkdir -p "$out"

cmake -S "$root" -B "$build/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/plain" --parallel --target stillscsi_bench_driver stillscsi_cost >/dev/null

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/plain/tools/stillscsi_bench_driver" --scaling_dir="$out" "$@" | tee "$out/driver_bench.txt"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$out/driver_bench.txt"

if [ -s "$out/by_size.dat" ] && [ -s "$out/by_handles.dat" ]; then
  if command -v gnuplot >/dev/null 2>&1; then
    gnuplot -e "dir='$out'; out='$out/scaling.svg'" "$root/tools/bench/scaling.gp"
    echo "the scaling plot is in $out/scaling.svg"
  else
    echo "gnuplot not found: the scaling tables are in $out, not drawn"
  fi
fi

if command -v valgrind >/dev/null 2>&1; then
  python3 "$root/tools/bench/driver_cost.py" --build "$build/plain" | tee "$out/driver_cost.txt"
else
  echo "valgrind not found: the instruction counts are not taken"
fi
