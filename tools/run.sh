#!/bin/sh
# The main job: builds the driver for the host and scans an A4 page of the
# simulated scanner through it to a PNG, as scanner software would (open by
# the published name, lock, INQUIRY, TEST UNIT READY, SET WINDOW, SCAN,
# READ through the pass-through), then builds the Windows driver image (when
# the mingw-w64 cross compiler is installed) and checks it.
#   tools/run.sh [BUILD_ROOT] [SCAN OPTIONS...]   default BUILD_ROOT: build
# Scan options go to stillscsi_scan, e.g. --resolution 300 --page a3 --mode grey.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
case "${1:-}" in
  -*|"") ;;
  *) build=$1; shift ;;
esac

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
