#!/bin/sh
# Runs a program as a person would and checks its exit code and output.
#   expect.sh CODE REGEX PROGRAM [ARGS...]
# Passes when PROGRAM exits with CODE and its output (standard output and
# error together) matches the extended regular expression REGEX.
set -u
want=$1
pattern=$2
shift 2
output=$("$@" 2>&1)
code=$?
if [ "$code" != "$want" ]; then
  printf '%s\n' "$output"
  echo "expect: exit code $code, wanted $want: $*" >&2
  exit 1
fi
if ! printf '%s\n' "$output" | grep -Eq -- "$pattern"; then
  printf '%s\n' "$output"
  echo "expect: no line matches /$pattern/: $*" >&2
  exit 1
fi
