#!/usr/bin/env bash
# Counts the library's own instructions per call with callgrind (repeatable,
# unlike times): a HID exchange, and a refresh of 1 and of 127 HID tokens.
# Only instructions of the library's own functions are summed (self cost of
# its namespaces and of the public calls); the simulated
# machine behind the seam and the C library are left out.
#
#   scripts/count-instructions.sh [build-dir]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
bench="$build/bench/vantor_bench"
if [ ! -x "$bench" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target vantor_bench
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# count FILTER FUNCTION: library instructions inside FUNCTION while the
# benchmarks FILTER run.
count() {
  local filter=$1 function=$2
  valgrind --tool=callgrind --callgrind-out-file="$out/cg" \
    --toggle-collect="$function" \
    "$bench" --benchmark_filter="$filter" --benchmark_min_time=0 \
    >/dev/null 2>&1
  callgrind_annotate --inclusive=no --threshold=100 "$out/cg" 2>/dev/null |
    awk '
      /vantor::(device|connection|common|commandfile|api)::|VXControl/ {
        gsub(",", "", $1); if ($1 ~ /^[0-9]+$/) sum += $1 }
      END { print sum }'
}

# steady NAME TOKENS FUNCTION: library instructions of one steady call,
# from a run of one and a run of four iterations (each after one set-up call).
steady() {
  local name=$1 tokens=$2 function=$3
  local once four
  once=$(count "BM_RefreshOnce/$tokens/0/" "$function")
  four=$(count "BM_RefreshFour/$tokens/0/" "$function")
  echo "$name: $(((four - once) / 3)) library instructions per call"
}

hid=$(count 'BM_TransmitControl/0$' \
  'vantor::device::TransmitControl(vantor::device::Channel const&*')
# One call in the set-up's refresh, one in the single iteration.
echo "HID exchange (TransmitControl): $((hid / 2)) library instructions per call"
# One card command (VXControl code 38), from the runs of one and of four.
once=$(count 'BM_CardCommandOnce' 'VXControl')
four=$(count 'BM_CardCommandFour' 'VXControl')
echo "card command (code 38): $(((four - once) / 3)) library instructions per call"
steady "refresh, 1 HID token" 1 'vantor::device::RefreshDeviceTable()'
steady "refresh, 127 HID tokens" 127 'vantor::device::RefreshDeviceTable()'
