#!/usr/bin/env bash
# Makes sure the tools the build needs are here. As root on Debian it installs
# what is missing; otherwise it names the missing packages in one line.
# Extra groups: clang valgrind mingw wine browser.
set -euo pipefail

missing=()
need() { # need PACKAGE TEST...
  local pkg=$1; shift
  "$@" >/dev/null 2>&1 || missing+=("$pkg")
}
have_header() { test -f "/usr/include/$1"; }

# The clang on PATH, and the libFuzzer runtime of that same clang.
fuzzer_runtime() {
  local dir
  dir=$(clang++ -print-resource-dir 2>/dev/null) || return 1
  compgen -G "$dir/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
    compgen -G "$dir/lib/x86_64-*-linux-gnu/libclang_rt.fuzzer.a" >/dev/null
}
# Debian ships the runtime apart from clang, in a package named for its major version.
fuzzer_package() {
  local major
  major=$(clang++ -dumpversion 2>/dev/null | cut -d. -f1)
  echo "libclang-rt-${major:-14}-dev"
}

need g++ command -v g++
need cmake command -v cmake
need make command -v make
need binutils command -v nm
need pkg-config command -v pkg-config
need libgtest-dev have_header gtest/gtest.h
need libvips-dev pkg-config --exists vips-cpp
need libvips-tools command -v vips
need libcli11-dev have_header CLI/CLI.hpp
need nlohmann-json3-dev have_header nlohmann/json.hpp
need libcpp-httplib-dev have_header httplib.h
need python3-pytest /usr/bin/python3 -c 'import pytest'
need python3-pil /usr/bin/python3 -c 'import PIL'
need python3-numpy /usr/bin/python3 -c 'import numpy'
need python3-venv /usr/bin/python3 -c 'import ensurepip, venv'
need python3-wheel /usr/bin/python3 -c 'import wheel'
need parallel command -v parallel
for extra in "$@"; do
  case $extra in
    clang) need clang command -v clang++
           if command -v clang++ >/dev/null; then need "$(fuzzer_package)" fuzzer_runtime; fi ;;
    valgrind) need valgrind command -v valgrind ;;
    mingw) need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix ;;
    wine) need wine command -v wine
          need wine64 compgen -G '/usr/lib/wine/wine64' ;;
    browser) need chromium command -v chromium
             need chromium-driver command -v chromedriver
             need python3-selenium /usr/bin/python3 -c 'import selenium' ;;
  esac
done

[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "Missing packages, install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
