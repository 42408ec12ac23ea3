#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, builds the release preset (the
# programs, the library and what `cmake --install build/release` installs)
# and starts the mode-change window: vantor-mode on the real system when a
# token in HID mode is attached, else vantor-mode-demo on a virtual token.
# "--native" or "--demo" chooses either.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-auto}
case "$mode" in
  auto | --native | --demo) ;;
  *) echo "usage: $0 [--native|--demo]" >&2; exit 2 ;;
esac

scripts/setup-debian.sh
cmake --preset release >/dev/null
cmake --build --preset release

# A token in HID mode shows as a hidraw node of vendor 0471, product 485E.
token_attached() {
  grep -qsi '^HID_ID=0003:00000471:0000485E$' /sys/class/hidraw/*/device/uevent
}

# The window needs a display (Qt's offscreen platform draws without one).
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
  [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  cat >&2 <<'TEXT'
demo.sh: the programs are built (build/release), but there is no display for
the window. Start it from a desktop session, or on a virtual display:
  sudo apt-get install xvfb && xvfb-run scripts/demo.sh --demo
The command-line program needs no display: build/release/tool/vantor --help
TEXT
  exit 1
fi

if [ "$mode" = "auto" ]; then
  if token_attached; then mode=--native; else mode=--demo; fi
fi
case "$mode" in
  --native) exec build/release/tool/vantor-mode ;;
  --demo) exec build/release/tool/vantor-mode-demo ;;
esac
