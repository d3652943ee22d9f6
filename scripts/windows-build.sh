#!/usr/bin/env bash
# Cross-builds the Windows DLLs and tavrin.exe with MinGW-w64 and checks that
# each DLL exports exactly its one function.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
scripts/ensure-deps.sh mingw
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTAVRIN_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

status=0
for pair in TavrinBMPSunglasses:BMPSunglases TavrinBMPMustache:BMPMustache \
            TavrinBMPFaceHat:BMPFaceHat TavrinBMPFaceBeard:BMPBeard; do
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
exit $status
