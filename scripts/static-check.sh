#!/usr/bin/env bash
# Static analysis of the library and the tools; fails on any finding.
#
#   scripts/static-check.sh [build-dir]     (default: build/dev)
#
# clang-tidy (checks in .clang-tidy) runs over every source of src/ and tool/
# in the build's compile_commands.json, which covers the Linux sources (the
# Windows ones, src/os/win32 and tool/win32, need the Windows headers and are
# not in a Linux build), and through them the headers of src/, tool/ and
# include/vantor; the public headers are also checked on their own. cppcheck
# runs over src/, tool/ and include/. The build directory needs only to be
# configured (cmake --preset dev). Two checks run at a time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
[ -d "$build" ] && build=$(cd "$build" && pwd)
cd "$root"
jobs=2
tidy=${CLANG_TIDY:-clang-tidy}

if [ ! -f "$build/compile_commands.json" ]; then
  echo "static-check: $build/compile_commands.json is missing;" \
    "configure first (cmake --preset dev)" >&2
  exit 2
fi
for tool in "$tidy" cppcheck python3; do
  command -v "$tool" >/dev/null || {
    echo "static-check: $tool is not installed (scripts/setup-debian.sh)" >&2
    exit 2
  }
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The sources of src/ and tool/ in the build, each once (the public calls
# are compiled twice, for the static and the shared library).
python3 - "$build/compile_commands.json" "$root" >"$out/sources" <<'EOF'
import json, os, sys
entries = json.load(open(sys.argv[1]))
root = os.path.realpath(sys.argv[2])
files = set()
for entry in entries:
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] in ("src", "tool"):
        files.add(path)
print("\n".join(sorted(files)))
EOF
# The public headers as main files, so that each is checked whether or not
# a source includes it.
find "$root/include" -name '*.h' | sort >"$out/headers"

echo "clang-tidy: $(wc -l <"$out/sources") sources," \
  "$(wc -l <"$out/headers") public headers, $jobs at a time"
tidy_status=0
# One log per file, shown whole afterwards, so that parallel runs do not mix
# their lines.
run_tidy() {
  local file=$1 log
  log=$out/tidy.$(echo "$file" | tr '/' '_').log
  case "$file" in
    *.h) "$tidy" -p "$build" --quiet "$file" --extra-arg=-xc++-header ;;
    *) "$tidy" -p "$build" --quiet "$file" ;;
  esac >"$log" 2>&1 || echo "$file" >>"$out/tidy-failed"
}
export -f run_tidy
export tidy build out
cat "$out/sources" "$out/headers" | xargs -P "$jobs" -I{} bash -c 'run_tidy "$1"' _ {}
if [ -s "$out/tidy-failed" ]; then
  tidy_status=1
  # A header's finding is reported by every source that includes it: show
  # each log, then the distinct findings.
  while read -r file; do
    grep -v '^[0-9]* warnings\? generated\.$' \
      "$out/tidy.$(echo "$file" | tr '/' '_').log" || true
  done < <(sort "$out/tidy-failed")
  echo "clang-tidy: $(cat "$out"/tidy.*.log | grep -E '^[^ ].*: (error|warning):' |
    sort -u | wc -l) distinct findings in $(wc -l <"$out/tidy-failed") files" >&2
else
  echo "clang-tidy: no findings"
fi

echo "cppcheck: src tool include"
cppcheck_status=0
# Known false positives, each with its reason, when there are any.
suppressions=()
if [ -f scripts/cppcheck-suppressions.txt ]; then
  suppressions=(--suppressions-list=scripts/cppcheck-suppressions.txt)
fi
cppcheck --enable=warning,performance,portability --inline-suppr \
  --error-exitcode=1 --std=c++20 --language=c++ --quiet -j "$jobs" \
  "${suppressions[@]}" \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  -I include -I src -I tool src tool include || cppcheck_status=1
if [ $cppcheck_status -eq 0 ]; then
  echo "cppcheck: no findings"
fi

if [ $tidy_status -ne 0 ] || [ $cppcheck_status -ne 0 ]; then
  echo "static-check: FAILED" >&2
  exit 1
fi
echo "static-check: clean"
