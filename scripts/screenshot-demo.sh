#!/usr/bin/env bash
# Starts vantor-mode-demo on a virtual X display, waits for its window,
# clicks Change, saves a screenshot of the screen, clicks HID, saves another
# one (<out>-hid.png) and ends the program.
#
#   scripts/screenshot-demo.sh <build-dir> <out.png>
#
# Needs Xvfb, xdotool and ImageMagick's import. What the virtual token did
# is printed from the program's standard error.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <build-dir> <out.png>" >&2
  exit 2
fi
program="$1/tool/vantor-mode-demo"
out="$2"
if [ ! -x "$program" ]; then
  echo "$program: not built" >&2
  exit 1
fi
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "$tool: not installed" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=""
demo_pid=""
cleanup() {
  [ -n "$demo_pid" ] && kill "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to fd 3.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" \
  2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY

export XDG_RUNTIME_DIR="$work"
"$program" 2>"$work/demo.log" &
demo_pid=$!

window=""
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --name '^Vantor 2\.3' 2>/dev/null |
    head -n1 || true)
  [ -n "$window" ] && break
  if ! kill -0 "$demo_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ -z "$window" ]; then
  echo "the demo window did not appear:" >&2
  cat "$work/demo.log" >&2
  exit 1
fi

# Change sits at 304,32 (89 x 25) in the window's client area. The click
# shows in what the virtual token reports.
sleep 0.5
before=$(wc -l <"$work/demo.log")
xdotool mousemove --window "$window" 348 44 click 1
for _ in $(seq 50); do
  [ "$(wc -l <"$work/demo.log")" -gt "$before" ] && break
  sleep 0.1
done
if [ "$(wc -l <"$work/demo.log")" -le "$before" ]; then
  echo "the click on Change reached no token:" >&2
  cat "$work/demo.log" >&2
  exit 1
fi
sleep 0.5

mkdir -p "$(dirname "$out")"
import -window root "$out"
echo "screenshot: $out"

# HID sits at 64,88 (201 x 17): a click on its label checks it.
xdotool mousemove --window "$window" 100 96 click 1
sleep 0.5
import -window root "${out%.png}-hid.png"
echo "screenshot: ${out%.png}-hid.png"

if ! kill -0 "$demo_pid" 2>/dev/null; then
  echo "the demo ended by itself:" >&2
  cat "$work/demo.log" >&2
  exit 1
fi
kill "$demo_pid"
wait "$demo_pid" 2>/dev/null || true
demo_pid=""
cat "$work/demo.log"
