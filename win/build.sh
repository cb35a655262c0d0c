#!/bin/sh
# Builds stillscsi.sys, the Windows kernel driver image, into OUTDIR.
#   win/build.sh [--tests] OUTDIR
# The build folder is OUTDIR/build. --tests also builds what the Windows
# tests use: the checker's fault images, the guarded-probe program, and the
# test bus driver with the program that runs the image on Wine and the
# scanner server behind the bus.
# OUTDIR/stillscsi.sys is the image signed with a throw-away test
# certificate (OUTDIR/test-signing/) when osslsigncode and openssl are
# installed, the unsigned image otherwise; OUTDIR/build/stillscsi.sys is
# always the unsigned one.
# Needs cmake, python3 with pefile (python3-pefile) and mingw-w64
# (g++-mingw-w64-x86-64-posix, mingw-w64-x86-64-dev); signing needs
# osslsigncode and openssl.
set -eu

targets=stillscsi
if [ "${1:-}" = "--tests" ]; then
  targets="stillscsi checker_fixtures guarded_probe_wine testbus wine_test scanner_host"
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 [--tests] OUTDIR" >&2
  exit 2
fi

source_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
out_dir=$(cd "$1" && pwd)

cmake -S "$source_dir" -B "$out_dir/build"
# shellcheck disable=SC2086  # targets is a list
cmake --build "$out_dir/build" --parallel --target $targets
if command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1; then
  sh "$source_dir/sign_image.sh" "$out_dir/build/stillscsi.sys" "$out_dir/stillscsi.sys" "$out_dir/test-signing"
else
  cp "$out_dir/build/stillscsi.sys" "$out_dir/stillscsi.sys"
  echo "not signed: osslsigncode or openssl is not installed"
fi
echo "built $out_dir/stillscsi.sys"
