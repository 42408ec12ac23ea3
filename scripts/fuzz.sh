#!/usr/bin/env bash
# Runs the fuzz targets with libFuzzer and reports executions and coverage:
#   scripts/fuzz.sh [-t SECONDS | -n RUNS] [-j JOBS] [TARGET...]
# Default: every target for 60 seconds. Builds the preset `fuzz` (clang,
# AddressSanitizer, UBSan) first. Each target starts from its committed
# corpus (tests/fuzz/corpus/<target>) and grows a working copy under
# build/fuzz/corpus/<target>; a crash leaves its input in
# build/fuzz/crashes/<target>/ and fails the script. Add such inputs to the
# committed corpus once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
jobs=1
while getopts "t:n:j:" option; do
  case $option in
    t) limit=(-max_total_time="$OPTARG") ;;
    n) limit=(-runs="$OPTARG") ;;
    j) jobs=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS | -n RUNS] [-j JOBS] [TARGET...]" >&2
       exit 2 ;;
  esac
done
shift $((OPTIND - 1))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
build=build/fuzz
if [ $# -eq 0 ]; then
  for program in "$build"/tests/fuzz/*_fuzz; do
    name=$(basename "$program")
    set -- "$@" "${name%_fuzz}"
  done
fi

status=0
printf '%-16s %14s %10s %8s %s\n' target executions seconds cov result
for target in "$@"; do
  program="$build/tests/fuzz/${target}_fuzz"
  work="$build/corpus/$target"
  crashes="$build/crashes/$target"
  mkdir -p "$work" "$crashes"
  log="$build/fuzz-$target.log"
  started=$(date +%s)
  result=passed
  # -jobs runs that many processes, each with the whole limit.
  parallel=()
  [ "$jobs" -le 1 ] || parallel=(-jobs="$jobs" -workers="$jobs")
  if ! "$program" "${limit[@]}" "${parallel[@]}" -print_final_stats=1 \
      -artifact_prefix="$crashes/" "$work" "tests/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    result="FAILED (see $log)"
    status=1
  fi
  # With -jobs the runs log to fuzz-<n>.log in the working folder.
  logs=("$log")
  [ "$jobs" -le 1 ] || logs=(fuzz-*.log)
  runs=$(cat "${logs[@]}" | sed -n 's/^stat::number_of_executed_units: *//p' |
    awk '{ total += $1 } END { print total + 0 }')
  cov=$(cat "${logs[@]}" | sed -n 's/.* cov: \([0-9]*\).*/\1/p' | sort -n |
    tail -1)
  [ "$jobs" -le 1 ] || rm -f fuzz-*.log
  printf '%-16s %14s %10s %8s %s\n' "$target" "$runs" \
    "$(($(date +%s) - started))" "${cov:-?}" "$result"
done
exit $status
