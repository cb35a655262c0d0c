#!/bin/sh
# The main job: builds the driver for the host and runs a session with it
# over the simulated SCSI port driver, then builds the Windows driver image
# (when the mingw-w64 cross compiler is installed) and checks it.
#   tools/run.sh [BUILD_ROOT]      default BUILD_ROOT: build
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

cmake -S "$root" -B "$build/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/plain" --parallel --target stillscsi_session >/dev/null
"$build/plain/tools/stillscsi_session"

if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  "$root/win/build.sh" "$build/win" >/dev/null
  python3 "$root/win/check_image.py" "$build/win/stillscsi.sys"
else
  echo "x86_64-w64-mingw32-g++ not found: the Windows image is not built"
fi
