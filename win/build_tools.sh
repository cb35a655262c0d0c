#!/bin/sh
# Builds the tools as Windows programs into OUTDIR: stillscsi_scan.exe,
# stillscsi_cmd.exe and stillscsi_errorlog.exe, linked statically (no
# runtime DLL to ship beside them), and checks them.
#   win/build_tools.sh OUTDIR
# Needs cmake, mingw-w64 (g++-mingw-w64-x86-64-posix, mingw-w64-x86-64-dev),
# the header-only libcli11-dev, nlohmann-json3-dev and libstb-dev, and
# python3 with pefile (python3-pefile) for the check.
set -eu
if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
out_dir=$(cd "$1" && pwd)

cmake -S "$source_dir/tools" -B "$out_dir/build" >/dev/null
cmake --build "$out_dir/build" --parallel
for tool in scan cmd errorlog; do
  cp "$out_dir/build/stillscsi_$tool.exe" "$out_dir/"
done
python3 "$source_dir/check_program.py" "$out_dir"/stillscsi_scan.exe "$out_dir"/stillscsi_cmd.exe \
  "$out_dir"/stillscsi_errorlog.exe
echo "built $out_dir/stillscsi_scan.exe, stillscsi_cmd.exe, stillscsi_errorlog.exe"
