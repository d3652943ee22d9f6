#!/usr/bin/env bash
# Cross-builds the Windows DLLs and tavrin.exe with MinGW-w64, checks that each
# DLL exports exactly its one function, then reads their version records and
# runs them under Wine against the Linux build (scripts/wine-compare.py).
# usage: windows-build.sh [WINDOWS_BUILD [LINUX_BUILD]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
linux=${2:-build}
jobs=$(nproc 2>/dev/null || echo 2)
scripts/ensure-deps.sh mingw
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTAVRIN_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"

status=0
# library:export of every plug-in, from the table the build wrote.
pairs=$(/usr/bin/python3 -c 'import json, sys
for p in json.load(open(sys.argv[1])): print(p["library"] + ":" + p["export"])' \
  "$build/generated/plugins.json")
for pair in $pairs; do
  dll="$build/bin/${pair%%:*}.dll"
  exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
            sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $3}')
  if [ "$exports" = "${pair##*:}" ]; then
    echo "$dll exports ${pair##*:}"
  else
    echo "$dll exports '$exports', expected only ${pair##*:}" >&2
    status=1
  fi
done

# The Linux build the DLLs are compared with: only the host and the plug-ins,
# brought up to date with these sources.
if [ ! -f "$linux/CMakeCache.txt" ]; then
  scripts/ensure-deps.sh
  cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
targets=(tavrin tavrin_plugin_call)
for pair in $pairs; do targets+=("${pair%%:*}"); done
cmake --build "$linux" -j "$jobs" --target "${targets[@]}"
# Wine missing and not installable is one line, not a failure: the
# comparison then only reads the version records.
mkdir -p "$build"
if ! scripts/ensure-deps.sh wine >"$build/wine-install.log" 2>&1; then
  echo "Wine could not be installed (see $build/wine-install.log)."
fi
/usr/bin/python3 scripts/wine-compare.py "$build" "$linux" || status=1
exit $status
