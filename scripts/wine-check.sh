#!/bin/sh
# The checks of the Windows build under Wine:
#   scripts/wine-check.sh <windows-build-dir> [<linux-build-dir>]
# 1. a fresh Wine prefix under the build folder (<build>/wine);
# 2. the whole test suite of the Windows build under Wine: the shared layers
#    against the simulated machine, the library on Wine's own SetupAPI and
#    hid.dll, the Win32 window, the DLL's exports and the programs' imports;
# 3. with a Linux build: its tests and the Windows build's counted and
#    compared (fails when a test of the shared layers is missing);
# 4. the programs on a virtual display (scripts/wine-gui-check.sh), with
#    screenshots in <build>/wine-gui/.
# The build must exist (cmake --preset windows && cmake --build --preset
# windows). Every step is bounded by a timeout.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: wine-check.sh <windows-build-dir> [<linux-build-dir>]}" && pwd)
linux=${2:-}
[ -z "$linux" ] || linux=$(cd "$linux" && pwd)

export WINEPREFIX="$build/wine"
export WINEDEBUG=-all
unset DISPLAY  # the tests run without a display; the GUI check makes one

started=$(date +%s)
step() {
  echo "wine-check: $* ($(($(date +%s) - started)) s)"
}

step "fresh Wine prefix $WINEPREFIX"
if [ -d "$WINEPREFIX" ]; then
  timeout 60 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
"$here/wine-prefix.sh" "$WINEPREFIX"

status=0
step "test suite under Wine"
timeout 2400 ctest --test-dir "$build" --output-on-failure -j2 \
  --timeout 600 --no-tests=error || status=1

if [ -n "$linux" ]; then
  step "test counts against $linux"
  timeout 1200 cmake -DWINDOWS_BUILD="$build" -DLINUX_BUILD="$linux" \
    -P "$here/wine-test-count.cmake" || status=1
fi

step "programs on a virtual display"
"$here/wine-gui-check.sh" "$build" || status=1

timeout 60 wineserver -k >/dev/null 2>&1 || true
if [ "$status" -ne 0 ]; then
  step "FAILED"
  exit 1
fi
step "passed"
