#!/usr/bin/env bash
# Sets up a fresh Debian machine if needed, then builds and runs the tests of
# each preset given (default: asan, the debug build under AddressSanitizer
# and UndefinedBehaviorSanitizer with clang). Presets: dev, asan, tsan,
# release.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
[ $# -gt 0 ] || set -- asan
for preset in "$@"; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done
