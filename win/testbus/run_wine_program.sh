#!/bin/sh
# Runs a Windows program against the driver image on Wine's kernel, with the
# scanner simulation behind the test bus: a fresh 64-bit prefix, the image
# and the bus installed by SETUP_EXE ("install DIR", which returns once the
# instrument's interface is there), scanner_host.exe serving in the
# background with the sense section, then the program, with
# STILLSCSI_SENSE_SECTION telling it the section (see testbus_ioctl.h).
# Exits with the program's status; everything it started is ended after.
#   run_wine_program.sh WINE IMAGE TESTBUS SETUP_EXE SCANNER_HOST WORK [scanner-host options] -- PROGRAM.exe [args]
# Every step is bounded in time; the program's own bound is
# STILLSCSI_PROGRAM_TIMEOUT seconds (default 600). The ready line ends with
# CR LF, as a Windows program writes its text.
set -eu
if [ $# -lt 8 ]; then
  echo "usage: $0 WINE IMAGE TESTBUS SETUP_EXE SCANNER_HOST WORK [scanner-host options] -- PROGRAM.exe [args]" >&2
  exit 2
fi
wine=$1
image=$2
bus=$3
setup=$4
scanner_host=$5
work=$6
shift 6
host_options=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  host_options="$host_options $1"
  shift
done
if [ $# -lt 2 ]; then
  echo "$0: no -- PROGRAM.exe" >&2
  exit 2
fi
shift
section='Global\StillScsiSense@7E0000000'
. "$(cd "$(dirname "$0")" && pwd)/wine_prefix.sh"

wine_files "$image" "$bus" "$work"
wine_prefix "$wine" "$work"
timeout 120 "$wine" "$setup" install "$files"

# shellcheck disable=SC2086  # the options are words
timeout "${STILLSCSI_PROGRAM_TIMEOUT:-600}" "$wine" "$scanner_host" $host_options --sense-section "$section" \
  >"$work/scanner_host.out" 2>"$work/scanner_host.err" &
wine_background=$!
waited=0
until grep -q '^ready' "$work/scanner_host.out" 2>/dev/null; do
  if ! kill -0 "$wine_background" 2>/dev/null || [ $waited -ge 300 ]; then
    echo "$0: scanner_host.exe did not become ready" >&2
    cat "$work/scanner_host.err" >&2
    exit 1
  fi
  sleep 0.1
  waited=$((waited + 1))
done

status=0
STILLSCSI_SENSE_SECTION=$section timeout "${STILLSCSI_PROGRAM_TIMEOUT:-600}" "$wine" "$@" || status=$?
kill "$wine_background" 2>/dev/null || true
wait "$wine_background" 2>/dev/null || true
wine_background=""
timeout 60 "$wine" "$setup" remove >/dev/null 2>&1 || true
timeout 60 "$wineserver" -w || true
exit $status
