#!/bin/sh
# Drives the Windows programs under Wine on a virtual X display (Xvfb):
#   scripts/wine-gui-check.sh <windows-build-dir>
# - vantor-mode.exe (the real Windows system; no token under Wine): a click
#   on Change shows the message box "设备没有找到!"; screenshots of the
#   window (USB checked, then HID checked) and of the message box are saved
#   in <build>/wine-gui/;
# - vantor-mode-demo.exe (a simulated token): a click on Change shows no
#   message box, and the demo tells on standard error what the token did.
# The Wine prefix is $WINEPREFIX, or else <build>/wine (prepared on first
# use). Every step is bounded by a timeout.
set -eu

here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --in-xvfb ]; then
  build=$(cd "${1:?usage: wine-gui-check.sh <windows-build-dir>}" && pwd)
  exec timeout 600 xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    "$0" --in-xvfb "$build"
fi
build=$2

bin=$build/bin
out=$build/wine-gui
mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.log
export WINEPREFIX="${WINEPREFIX:-$build/wine}"
export WINEDEBUG=-all
wine=${VANTOR_WINE:-wine}
"$here/wine-prefix.sh" "$WINEPREFIX"
# No window manager runs on the virtual display: Wine draws the frames.
timeout 120 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed \
  /d N /f >/dev/null 2>&1

fail() {
  echo "wine-gui-check: FAILED: $*" >&2
  exit 1
}

# The programs started here, ended on the way out with the prefix's server.
started=""
cleanup() {
  for pid in $started; do
    kill "$pid" 2>/dev/null || true
  done
  timeout 60 wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

probe() {
  timeout 90 "$wine" "$bin/vantor-window-probe.exe" "$@"
}

# Saves the screen area "left top width height" as a PNG, once it shows
# more than a plain area (the window may still be painting).
shoot() {
  set -- $1 "$2"
  tries=0
  while :; do
    import -window root -crop "${3}x${4}+${1}+${2}" +repage "$5"
    colours=$(convert "$5" -format %k info:)
    [ "$colours" -lt 3 ] || break
    tries=$((tries + 1))
    [ "$tries" -lt 40 ] || fail "$5 shows nothing ($colours colours)"
    sleep 0.25
  done
  echo "wine-gui-check: saved $5"
}

# Clicks the middle of a control of the window.
click() {
  rect=$(probe control "$1") || fail "control $1 not found"
  set -- $rect
  xdotool mousemove $(($1 + $3 / 2)) $(($2 + $4 / 2)) click 1
}

# --- vantor-mode.exe ---------------------------------------------------------
timeout 180 "$wine" "$bin/vantor-mode.exe" >"$out/vantor-mode.log" 2>&1 &
app=$!
started="$app"
form=$(probe form) || fail "vantor-mode.exe shows no window"
shoot "$form" "$out/vantor-mode-window.png"

click 106  # Change
box=$(probe messagebox) || fail "a click on Change shows no message box"
box_rect=$(printf '%s\n' "$box" | sed -n 1p)
box_text=$(printf '%s\n' "$box" | sed -n 2p)
shoot "$box_rect" "$out/vantor-mode-message.png"
import -window root "$out/vantor-mode-screen.png"
[ "$box_text" = "设备没有找到!" ] ||
  fail "the message box says \"$box_text\", not \"设备没有找到!\""
echo "wine-gui-check: the message box says \"$box_text\""

probe dismiss >/dev/null || fail "cannot dismiss the message box"
# The window once more with HID checked (a click on its label).
rect=$(probe control 103) || fail "control 103 not found"
set -- $rect
xdotool mousemove $(($1 + 40)) $(($2 + $4 / 2)) click 1
sleep 0.5
shoot "$form" "$out/vantor-mode-window-hid.png"
probe close >/dev/null || fail "cannot close the window"
wait "$app" || fail "vantor-mode.exe ended with status $?"
started=""

# --- vantor-mode-demo.exe ----------------------------------------------------
timeout 180 "$wine" "$bin/vantor-mode-demo.exe" >/dev/null \
  2>"$out/vantor-mode-demo.log" &
demo=$!
started="$demo"
probe form >/dev/null || fail "vantor-mode-demo.exe shows no window"
before=$(grep -c '^vantor-mode-demo: ' "$out/vantor-mode-demo.log" || true)
click 106  # Change
if probe --wait 3 messagebox >"$out/demo-message.log" 2>/dev/null; then
  fail "the demo showed a message box: $(sed -n 2p "$out/demo-message.log")"
fi
after=$(grep -c '^vantor-mode-demo: ' "$out/vantor-mode-demo.log" || true)
[ "$after" -gt "$before" ] ||
  fail "the demo told nothing of the change on standard error"
sed -n "$((before + 1)),\$p" "$out/vantor-mode-demo.log"
probe close >/dev/null || fail "cannot close the demo's window"
wait "$demo" || fail "vantor-mode-demo.exe ended with status $?"
started=""
echo "wine-gui-check: passed"
