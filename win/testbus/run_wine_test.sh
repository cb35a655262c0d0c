#!/bin/sh
# Runs the driver image on Wine's kernel: a fresh 64-bit prefix, the image,
# the test bus and both INFs in one folder, and the test program, which
# installs them and uses the device. Every step is bounded in time.
#   run_wine_test.sh WINE IMAGE TESTBUS WINE_TEST WORK_DIR
# IMAGE is the very file the image checker accepted; it is copied, and the
# copy is compared with it byte for byte.
set -eu
wine=$1
image=$2
bus=$3
program=$4
work=$5
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# The very image the checker accepts, and the INF its checker accepts.
python3 "$root/win/check_image.py" "$image"
python3 "$root/win/check_inf.py" "$root/win/stillscsi.inf"

rm -rf "$work"
mkdir -p "$work/files"
cp "$image" "$work/files/stillscsi.sys"
cp "$root/win/stillscsi.inf" "$work/files/"
# The INF names the catalog that release signing makes. Wine's INF copy
# takes the catalog along without reading it, so a placeholder stands in.
printf "placeholder" > "$work/files/stillscsi.cat"
cp "$bus" "$work/files/testbus.sys"
cp "$here/testbus.inf" "$work/files/"
cmp "$image" "$work/files/stillscsi.sys"

export WINEPREFIX="$work/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
timeout 180 "$wine" wineboot --init >"$work/wineboot.log" 2>&1
timeout 60 "$wineserver" -w
status=0
files=$(printf 'Z:%s' "$work/files" | tr / '\\')
timeout 300 "$wine" "$program" "$files" || status=$?
timeout 60 "$wineserver" -w || true
exit $status
