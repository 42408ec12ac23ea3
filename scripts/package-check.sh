#!/usr/bin/env bash
# Builds the installation and the packages and checks them:
#   scripts/package-check.sh [<windows-build-dir>]
# 1. the preset "package" (Release, no tests, prefix /usr) is built and
#    installed into a folder with `cmake --install`; the consumer project
#    (tests/consumer) is built against that tree with find_package and with
#    pkg-config, and run;
# 2. CPack makes the Debian packages (libvantor1, libvantor-dev,
#    vantor-tools), lintian checks them (no errors), `dpkg -i` installs them,
#    the consumer project is built against /usr and run, the programs run,
#    and `dpkg --purge` removes them again, leaving none of their files;
# 3. with a Windows build folder: CPack makes the Windows zip, whose
#    contents are checked.
# Needs root (or sudo) for dpkg; without either, step 2 installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
windows=${1:-}

step() { echo "package-check: $*"; }
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}

build=build/package
work=$build/check
rm -rf "$work"
mkdir -p "$work"

step "building the preset package"
cmake --preset package >/dev/null
cmake --build --preset package

# --- 1. cmake --install and the consumer project -----------------------------
stage=$top/$work/stage
step "cmake --install into $stage"
cmake --install "$build" --prefix "$stage" >/dev/null
for file in include/vantor/vantor.h include/vantor/sim.h \
            bin/vantor bin/vantor-mode bin/vantor-mode-demo \
            lib/udev/rules.d/70-vantor.rules \
            share/man/man1/vantor.1.gz share/man/man1/vantor-mode.1.gz \
            share/applications/vantor-mode.desktop \
            share/icons/hicolor/32x32/apps/vantor-mode.png; do
  [ -e "$stage/$file" ] || fail "cmake --install put no $file"
done
libdir=$(cd "$stage" && dirname "$(find . -name 'libvantor.so.*.*.*' | head -n1)")
libdir=${libdir#./}
for file in libvantor.so libvantor.a libvantor-sim.a cmake/vantor/vantorConfig.cmake \
            pkgconfig/vantor.pc pkgconfig/vantor-sim.pc; do
  [ -e "$stage/$libdir/$file" ] || fail "cmake --install put no $libdir/$file"
done
soname=$(objdump -p "$stage/$libdir/libvantor.so" | awk '/SONAME/ {print $2}')
[ "$soname" = libvantor.so.1 ] || fail "the shared library's SONAME is '$soname'"
step "installed tree: $libdir, SONAME $soname"

# Builds the consumer project against a prefix both ways and runs it.
consume() {
  local prefix=$1 name=$2
  for way in find_package pkg-config; do
    local dir=$top/$work/consumer-$name-$way
    local flag=OFF
    [ "$way" = pkg-config ] && flag=ON
    PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" \
      cmake -S tests/consumer -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" -DVANTOR_USE_PKG_CONFIG=$flag >/dev/null ||
      fail "the consumer project does not configure ($name, $way)"
    cmake --build "$dir" >/dev/null ||
      fail "the consumer project does not build ($name, $way)"
    LD_LIBRARY_PATH="$prefix/$libdir" "$dir/consumer" ||
      fail "the consumer's listing on the simulated machine failed ($name, $way)"
    LD_LIBRARY_PATH="$prefix/$libdir" "$dir/consumer_c" ||
      fail "the C consumer's listing failed ($name, $way)"
    # The C program runs the installed shared library.
    local loaded
    loaded=$(LD_LIBRARY_PATH="$prefix/$libdir" ldd "$dir/consumer_c" |
             awk '/libvantor\.so\.1 => / {print $3}')
    [ "$(readlink -f "$loaded")" = \
      "$(readlink -f "$prefix/$libdir/libvantor.so.1")" ] ||
      fail "consumer_c loads '$loaded', not $prefix's library ($name, $way)"
  done
  step "consumer project built and run against $name (find_package, pkg-config)"
}
consume "$stage" "the installed tree"

# --- 2. Debian packages -------------------------------------------------------
step "CPack: Debian packages"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$build"/*.deb)
[ ${#debs[@]} -eq 3 ] || fail "CPack made ${#debs[@]} packages, not 3"
for deb in "${debs[@]}"; do
  step "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
if command -v lintian >/dev/null; then
  # Errors fail the check; warnings are shown.
  lintian --no-tag-display-limit "${debs[@]}" | tee "$work/lintian.log" || true
  if grep -q '^E: ' "$work/lintian.log"; then
    fail "lintian finds errors"
  fi
  step "lintian: no errors"
else
  fail "lintian is not installed (scripts/setup-debian.sh --packages)"
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ -n "$sudo" ] && ! sudo -n true 2>/dev/null; then
  step "not root and no sudo: the packages are not installed"
else
  step "dpkg -i"
  names=(libvantor1 libvantor-dev vantor-tools)
  for name in "${names[@]}"; do
    ! dpkg-query -W "$name" >/dev/null 2>&1 ||
      fail "$name is installed already; remove it first"
  done
  remove() { $sudo dpkg --purge "${names[@]}" >/dev/null 2>&1 || true; }
  trap remove EXIT
  $sudo dpkg -i "${debs[@]}"
  libdir=$(dpkg -L libvantor1 | grep -o '^/usr/lib[^ ]*/libvantor.so.1$' |
           xargs dirname)
  libdir=${libdir#/usr/}
  consume /usr "the Debian packages"
  /usr/bin/vantor --sim list >/dev/null || fail "vantor from the package fails"
  /usr/bin/vantor --version
  man -w vantor >/dev/null 2>&1 || [ -f /usr/share/man/man1/vantor.1.gz ] ||
    fail "no man page for vantor"
  [ -f /usr/lib/udev/rules.d/70-vantor.rules ] ||
    fail "the package installed no udev rule"
  mapfile -t files < <(dpkg -L "${names[@]}" | sort -u)
  step "dpkg --purge"
  $sudo dpkg --purge "${names[@]}"
  trap - EXIT
  for file in "${files[@]}"; do
    if [ -f "$file" ] || [ -L "$file" ]; then
      fail "$file is left after dpkg --purge"
    fi
  done
  step "installed and removed cleanly"
fi

# --- 3. The Windows zip ---------------------------------------------------------
if [ -n "$windows" ]; then
  step "CPack: the Windows zip"
  rm -f "$windows"/vantor-*-windows-x86_64.zip
  (cd "$windows" && cpack -G ZIP >/dev/null)
  zip=$(ls "$windows"/vantor-*-windows-x86_64.zip)
  listing=$(unzip -Z1 "$zip")
  for file in bin/vantor.dll lib/libvantor.dll.a lib/libvantor.a \
              lib/libvantor-sim.a include/vantor/vantor.h \
              include/vantor/sim.h bin/vantor.exe bin/vantor-mode.exe \
              bin/vantor-mode-demo.exe lib/cmake/vantor/vantorConfig.cmake; do
    grep -q "/$file\$" <<<"$listing" || fail "the zip has no $file"
  done
  step "$(basename "$zip"): $(wc -l <<<"$listing") files"
fi
step "passed"
