#!/bin/sh
# Runs a program as a person would and checks its exit code and output.
#   expect.sh CODE REGEX [-e REGEX]... PROGRAM [ARGS...]
# Passes when PROGRAM exits with CODE and its output (standard output and
# error together) has a line that matches each extended regular expression.
set -u
want=$1
patterns=$(printf '%s\n' "$2")
shift 2
while [ "$#" -ge 2 ] && [ "$1" = "-e" ]; do
  patterns=$(printf '%s\n%s\n' "$patterns" "$2")
  shift 2
done
output=$("$@" 2>&1)
code=$?
# A Windows program's lines end in CR LF: compare them without the CR.
output=$(printf '%s\n' "$output" | tr -d '\r')
if [ "$code" != "$want" ]; then
  printf '%s\n' "$output"
  echo "expect: exit code $code, wanted $want: $*" >&2
  exit 1
fi
failed=0
while IFS= read -r pattern; do
  if ! printf '%s\n' "$output" | grep -Eq -- "$pattern"; then
    [ "$failed" = 0 ] && printf '%s\n' "$output"
    echo "expect: no line matches /$pattern/: $*" >&2
    failed=1
  fi
done <<PATTERNS
$patterns
PATTERNS
exit $failed
