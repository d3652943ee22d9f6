#!/usr/bin/env bash
# Runs the end-to-end tests under valgrind memcheck, in an ordinary build:
# - hostile_test, and the suites of the other test programs that call the real
#   libraries (named *Export* or *Plugin*): each call forks a child that loads
#   the plug-in; valgrind follows the fork, and --error-exitcode turns a report
#   in the child into a failed call, so the test fails;
# - the host's demo, which runs every built plug-in on the full-size sample
#   portrait in one process, and one photo through the photo path.
# Any report (invalid access, uninitialised value, definite or indirect leak)
# fails the run and is printed. Add --track-origins=yes by hand to trace an
# uninitialised value; it doubles the time.
#
#   scripts/valgrind-e2e.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/ensure-deps.sh valgrind
logs=$PWD/$build/valgrind
rm -rf "$logs"
mkdir -p "$logs"
vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
    --errors-for-leak-kinds=definite,indirect --suppressions="$PWD/scripts/valgrind.supp"
    --log-file="$logs/%p.log")

# libvips starts without its optional modules (HEIC, JPEG XL, ...): a
# prefix with none makes it skip them. The JPEG XL module's SIMD library
# runs rdtscp as it loads, which valgrind refuses on a CPU that does not
# list it; JPEG and PNG are built into libvips itself.
no_modules=$(mktemp -d)
export VIPSHOME=$no_modules

status=0
for test in "$build"/bin/*_test; do
  name=$(basename "$test")
  # photo_test runs libvips in its own process only to make and read
  # pictures (the HEIC encoder's hand-written assembly alone trips memcheck);
  # the photo path itself is checked by the photo run below.
  [ "$name" = photo_test ] && continue
  filter='*Export*:*Plugin*'
  [ "$name" = hostile_test ] && filter='*'
  echo "valgrind: $name --gtest_filter=$filter"
  "${vg[@]}" "$test" --gtest_brief=1 --gtest_filter="$filter" >"$logs/$name.out" 2>&1 ||
    { cat "$logs/$name.out"; status=1; }
done
echo "valgrind: tavrin demo"
demo=$(mktemp -d)
"${vg[@]}" "$build/bin/tavrin" demo "$demo" >"$logs/demo.out" 2>&1 || { cat "$logs/demo.out"; status=1; }
# The photo path: a JPEG decoded, a PNG with its metadata written.
echo "valgrind: tavrin mustache photo.jpg out.png"
"$build/bin/tavrin" sunglasses "$demo/portrait.bmp" "$demo/photo.jpg" >/dev/null
"${vg[@]}" "$build/bin/tavrin" mustache "$demo/photo.jpg" "$demo/out.png" >"$logs/photo.out" 2>&1 ||
  { cat "$logs/photo.out"; status=1; }
rm -rf "$demo" "$no_modules"

for log in "$logs"/*.log; do
  if [ -s "$log" ]; then
    echo "== valgrind report: $log"
    cat "$log"
    status=1
  fi
done
if [ "$status" = 0 ]; then echo "valgrind: no reports"; else echo "valgrind: FAILED"; fi
exit "$status"
