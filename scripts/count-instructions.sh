#!/usr/bin/env bash
# Counts the library's own instructions per call with callgrind (repeatable,
# unlike times): a HID exchange, a card command, a refresh of 1 and of 127
# HID tokens. Only instructions of the library's own functions are summed
# (self cost of its namespaces and of the public calls); the simulated
# machine behind the seam and the C library are left out.
# At the public call, VXControl code 4 on an open HID token is counted
# inclusive of everything under it but the simulated machine's subtree: the
# library's code and the C library's lock code it calls (shown apart), with
# the benchmark's counters of heap allocations and transport calls per call.
#
#   scripts/count-instructions.sh [build-dir]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
bench="$build/bench/vantor_bench"
# Built (or brought up to date) first, so the counts are of this tree.
[ -f "$build/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build "$build" --target vantor_bench >/dev/null
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

# split FILTER: three sums over what VXControl ran while the benchmarks
# FILTER ran: everything, the simulated machine's subtree (the calls from
# outside it into its functions, inclusive), and the lock code called from
# outside the machine (pthread mutex, futex and lock functions, inclusive).
split() {
  valgrind --tool=callgrind --callgrind-out-file="$out/cg" \
    --toggle-collect=VXControl \
    "$bench" --benchmark_filter="$1" --benchmark_min_time=0 >/dev/null 2>&1
  awk '
    BEGIN { lock = "pthread_mutex|pthread_spin|pthread_rwlock|futex|lll_|__pthread" }
    # Compressed names: "(id) name" defines an id, "(id)" refers to it.
    function name(text, id, rest) {
      if (!match(text, /^\([0-9]+\)/)) return text
      id = substr(text, 2, RLENGTH - 2); rest = substr(text, RLENGTH + 2)
      if (rest != "") names[id] = rest
      return names[id]
    }
    /^fn=/ { fn = name(substr($0, 4)); next }
    /^cfn=/ { cfn = name(substr($0, 5)); next }
    /^calls=/ { call = 1; next }
    /^[0-9+*-]/ {
      # A cost line: self cost, or after calls= the call inclusive cost.
      if (!call) { total += $NF; next }
      call = 0
      if (fn ~ /vantor::sim::/ || fn ~ lock) next
      if (cfn ~ /vantor::sim::/) sim += $NF
      else if (cfn ~ lock) locks += $NF
    }
    END { printf "%d %d %d\n", total, sim, locks }' "$out/cg"
}

# counter FILTER NAME: a counter of the benchmark FILTER's one run.
counter() {
  "$bench" --benchmark_filter="$1" --benchmark_min_time=0 \
    --benchmark_format=json 2>/dev/null |
    awk -v name="\"$2\":" '$1 == name { gsub(",", "", $2); print $2 + 0 }'
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

# VXControl code 4 on an open HID token, from the runs of one and of four.
read -r total1 sim1 lock1 < <(split 'BM_Control4Once')
read -r total4 sim4 lock4 < <(split 'BM_Control4Four')
own=$((((total4 - sim4) - (total1 - sim1)) / 3))
echo "VXControl code 4 (HID): $own instructions per call"
echo "  of which lock code $(((lock4 - lock1) / 3))," \
  "$(counter 'BM_Control4Four' heap_allocs) heap allocations," \
  "$(counter 'BM_Control4Four' round_trips) round trips per call"
