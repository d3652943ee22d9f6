#!/usr/bin/env bash
# Makes sure the tools the build needs are here. As root on Debian it installs
# what is missing; otherwise it names the missing packages in one line.
set -euo pipefail

missing=()
need() { # need PACKAGE TEST...
  local pkg=$1; shift
  "$@" >/dev/null 2>&1 || missing+=("$pkg")
}
need g++ command -v g++
need cmake command -v cmake
need make command -v make
need binutils command -v nm
need libgtest-dev test -f /usr/include/gtest/gtest.h
for extra in "$@"; do
  case $extra in
    clang) need clang command -v clang++
           need libclang-rt-14-dev compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' ;;
    valgrind) need valgrind command -v valgrind ;;
    benchmark) need libbenchmark-dev test -f /usr/include/benchmark/benchmark.h ;;
    mingw) need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix ;;
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
