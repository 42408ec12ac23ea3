#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, builds the tools and starts the
# mode-change window: vantor-mode on the real system when a token in HID mode
# is attached, else vantor-mode-demo on a virtual token. "--native" or
# "--demo" chooses either.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vantor-mode vantor-mode-demo

# A token in HID mode shows as a hidraw node of vendor 0471, product 485E.
token_attached() {
  grep -qsi '^HID_ID=0003:00000471:0000485E$' /sys/class/hidraw/*/device/uevent
}

mode=${1:-auto}
if [ "$mode" = "auto" ]; then
  if token_attached; then mode=--native; else mode=--demo; fi
fi
case "$mode" in
  --native) exec build/release/tool/vantor-mode ;;
  --demo) exec build/release/tool/vantor-mode-demo ;;
  *) echo "usage: $0 [--native|--demo]" >&2; exit 2 ;;
esac
