#!/usr/bin/env bash
# Counts the library's own instructions per call with callgrind (repeatable,
# unlike times): a HID exchange, and a refresh of 1 and of 127 HID tokens.
# Only instructions of the library's own functions are summed (self cost of
# vantor::device, vantor::connection and vantor::common); the simulated
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

# count FILTER FUNCTION: library instructions per call of FUNCTION while
# the benchmark FILTER runs one iteration.
count() {
  local filter=$1 function=$2
  valgrind --tool=callgrind --callgrind-out-file="$out/cg" \
    --toggle-collect="$function" \
    "$bench" --benchmark_filter="$filter" --benchmark_min_time=0 \
    >/dev/null 2>&1
  local calls
  calls=$(grep -A1 -F "cfn=" "$out/cg" | grep -c "^calls=" || true)
  callgrind_annotate --inclusive=no --threshold=100 "$out/cg" 2>/dev/null |
    awk -v fn="$function" '
      /vantor::(device|connection|common)::/ {
        gsub(",", "", $1); if ($1 ~ /^[0-9]+$/) sum += $1 }
      END { print sum }'
}

report() {
  local name=$1 filter=$2 function=$3 runs=$4
  local total
  total=$(count "$filter" "$function")
  echo "$name: $((total / runs)) library instructions per call ($total over $runs calls)"
}

# Each benchmark calls its function once before its loop and once per
# iteration; with one iteration that is two calls.
report "HID exchange (TransmitControl)" 'BM_TransmitControl/0$' \
  'vantor::device::TransmitControl(vantor::device::Channel const&*' 2
report "refresh, 1 HID token" 'BM_Refresh/1/0$' \
  'vantor::device::RefreshDeviceTable()' 2
report "refresh, 127 HID tokens" 'BM_Refresh/127/0$' \
  'vantor::device::RefreshDeviceTable()' 2
