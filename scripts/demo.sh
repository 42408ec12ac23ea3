#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, builds the tools and starts the
# mode-change window on a virtual token (vantor-mode-demo). Pass "--native"
# to start vantor-mode on the tokens attached to this machine instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vantor-mode vantor-mode-demo
if [ "${1:-}" = "--native" ]; then
  exec build/release/tool/vantor-mode
fi
exec build/release/tool/vantor-mode-demo
