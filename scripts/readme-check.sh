#!/usr/bin/env bash
# Runs, in the order written, every command block of the README that is
# marked to run on the simulated machine (a line "<!-- readme-check -->"
# just above its ```sh line), as a newcomer would type it:
#   scripts/readme-check.sh [BUILD-DIR]     (default: build/release)
# "build/release" in the commands stands for BUILD-DIR, and the installed
# name `vantor` for BUILD-DIR/tool/vantor. Each block runs with bash -e in
# a fresh working folder; the first command that fails ends the check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/release}" && pwd)
[ -x "$build/tool/vantor" ] || {
  echo "readme-check: no $build/tool/vantor: build it first" >&2
  exit 2
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
ln -s "$build/tool/vantor" "$work/bin/vantor"

# The marked blocks, each into a file of its own.
awk -v dir="$work" '
  /^<!-- readme-check -->$/ { marked = 1; next }
  marked && /^```sh$/ { n++; file = sprintf("%s/block%02d.sh", dir, n); inside = 1; marked = 0; next }
  inside && /^```$/ { inside = 0; close(file); next }
  inside { print > file; next }
  { marked = 0 }
' "$top/README.md"

blocks=("$work"/block*.sh)
[ -e "${blocks[0]}" ] || { echo "readme-check: no marked block" >&2; exit 1; }
for block in "${blocks[@]}"; do
  sed -i "s#build/release/#$build/#g" "$block"
  echo "=== $(basename "$block" .sh) ==="
  (cd "$work" && PATH="$work/bin:$PATH" bash -ex "$block") || {
    echo "readme-check: a command of $(basename "$block" .sh) failed" >&2
    exit 1
  }
done
echo "readme-check: ${#blocks[@]} block(s) ran"
