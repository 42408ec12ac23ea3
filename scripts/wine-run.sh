#!/bin/sh
# Runs a program of the Windows build under Wine:
#   scripts/wine-run.sh <program.exe> [arguments...]
# The cross build's emulator: test discovery and ctest run every test program
# through it. The prefix is $WINEPREFIX, or else "wine" in the build tree
# that holds the program; it is prepared on first use (wine-prefix.sh).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
program=${1:?usage: wine-run.sh <program.exe> [arguments...]}

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do
    dir=$(dirname "$dir")
  done
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run: $program is in no build tree; set WINEPREFIX" >&2
    exit 2
  fi
  WINEPREFIX=$dir/wine
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"

"$here/wine-prefix.sh" "$WINEPREFIX"
wine=${VANTOR_WINE:-wine}
if [ -t 1 ] && [ -t 2 ]; then
  exec "$wine" "$@"
fi

# The first program of a Wine session starts Wine's own processes, which
# inherit its output and outlive it: a reader waiting for the end of the
# output (ctest) would wait for the whole session. The output goes through
# files instead; standard input is the caller's.
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
"$wine" "$@" >"$out/stdout" 2>"$out/stderr" || status=$?
cat "$out/stdout"
cat "$out/stderr" >&2
exit "$status"
