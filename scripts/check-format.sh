#!/usr/bin/env bash
# Fails when a C or C++ source of the tree is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=${1:-clang-format}
mapfile -t files < <(git ls-files -co --exclude-standard -- \
  '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' 2>/dev/null || true)
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(find src include tool tests bench -name '*.[ch]' -o \
    -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
fi
"$fmt" --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
