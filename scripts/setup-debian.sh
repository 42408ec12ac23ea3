#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the tools
# need. With --windows, also what the MinGW-w64 cross build and its checks
# under Wine need. Safe to run again; installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  clang clang-tidy cppcheck libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libhidapi-dev
  xvfb xauth xdotool x11-utils imagemagick fontconfig fonts-wqy-zenhei
  dpkg-dev fakeroot file lintian unzip
)
if [ "${1:-}" = "--windows" ]; then
  packages+=(
    g++-mingw-w64-x86-64 googletest wine wine64 fonts-wine
    fonts-droid-fallback fonts-dejavu-core
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
