#!/bin/sh
# The main job: scans an A4 page through the driver to a PNG, as scanner
# software would (open by the published name, lock, timeout, address,
# INQUIRY, TEST UNIT READY until ready, SET WINDOW, SCAN, READ through the
# pass-through in requests the driver cuts into the adapter's chunks).
#
#   tools/run.sh [BUILD_ROOT] [SCAN OPTIONS...]                 default BUILD_ROOT: build
#   tools/run.sh --kernel wine [BUILD_ROOT] [SCAN OPTIONS...]
#
# On the host (the default): the driver built for the host, on the kernel
# stand-in over the simulated port driver and scanner, to BUILD_ROOT/scan.png;
# then the Windows driver image is built and checked (when the mingw-w64
# cross compiler is installed).
# With --kernel wine: the shipped stillscsi.sys, installed from
# win/stillscsi.inf in a fresh Wine prefix over the test bus, with the same
# scanner simulation behind the bus, and stillscsi_scan.exe, the scan
# program built for Windows, to BUILD_ROOT/wine-scan.png.
# Scan options go to the scan program, e.g. --resolution 300 --page a3
# --mode grey; under Wine --page, --warm-up, --fault-rate and --seed also
# go to the simulated scanner.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
kernel=host
if [ "${1:-}" = "--kernel" ]; then
  kernel=${2:?--kernel needs host or wine}
  shift 2
fi
build=$root/build
case "${1:-}" in
  -*|"") ;;
  *) build=$1; shift ;;
esac

case "$kernel" in
host)
  cmake -S "$root" -B "$build/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build/plain" --parallel --target stillscsi_scan >/dev/null
  "$build/plain/tools/stillscsi_scan" --output "$build/scan.png" "$@"
  echo "the scan is in $build/scan.png"

  if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    "$root/win/build.sh" "$build/win" >/dev/null
    python3 "$root/win/check_image.py" "$build/win/stillscsi.sys"
  else
    echo "x86_64-w64-mingw32-g++ not found: the Windows image is not built"
  fi
  ;;
wine)
  wine=$(command -v wine64 || true)
  [ -n "$wine" ] || wine=/usr/lib/wine/wine64
  if [ ! -x "$wine" ] || ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "$0: --kernel wine needs wine64 and the mingw-w64 cross compiler (see win/README.md)" >&2
    exit 2
  fi
  # The image (signed), the test bus, its installer and the scanner behind
  # it; the tools as Windows programs.
  "$root/win/build.sh" --tests "$build/win" >/dev/null
  "$root/win/build_tools.sh" "$build/win-tools" >/dev/null
  # The simulated scanner's options, for the scanner behind the bus.
  host_options=""
  previous=""
  for argument in "$@"; do
    case "$previous" in
      --page|-p|--warm-up|--fault-rate|--seed) host_options="$host_options --${previous#--} $argument" ;;
    esac
    previous=$argument
  done
  host_options=$(printf '%s' "$host_options" | sed 's/--p /--page /g')
  output=$build/wine-scan.png
  rm -f "$output"
  # shellcheck disable=SC2086  # the options are words
  sh "$root/win/testbus/run_wine_program.sh" "$wine" "$build/win/stillscsi.sys" "$build/win/build/testbus.sys" \
    "$build/win/build/wine_test.exe" "$build/win/build/scanner_host.exe" "$build/wine-kernel" $host_options \
    -- "$build/win-tools/stillscsi_scan.exe" --output "$output" "$@"
  test -s "$output"
  ;;
*)
  echo "$0: --kernel host or wine, not $kernel" >&2
  exit 2
  ;;
esac
