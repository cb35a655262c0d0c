#!/bin/sh
# Runs the driver image on Wine's kernel: a fresh 64-bit prefix, the image,
# the test bus and both INFs in one folder, and the test program, which
# installs them, serves the scanner simulation behind the bus and uses the
# device. Every step is bounded in time.
#   run_wine_test.sh WINE IMAGE TESTBUS WINE_TEST WORK_DIR
# IMAGE is the very file the image checker accepted; it is copied, and the
# copy is compared with it byte for byte.
set -eu
wine=$1
program=$4
. "$(cd "$(dirname "$0")" && pwd)/wine_prefix.sh"

wine_files "$2" "$3" "$5"
wine_prefix "$wine" "$5"
status=0
timeout 300 "$wine" "$program" "$files" || status=$?
timeout 60 "$wineserver" -w || true
exit $status
