#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) in their own tree, replays
# the seed and regression corpora through every target, then fuzzes each target
# for a fixed time on top of them.
#
#   scripts/fuzz.sh [-t SECONDS] [-p PARALLEL] [TARGET...]    (e.g. fuzz_beard)
#
# -t 0 only replays. Crash, leak, timeout and out-of-memory inputs land in
# $FUZZ_BUILD/artifacts/; once fixed, copy them into fuzz/regression/ so every
# later run replays them. The inputs each target found stay in
# $FUZZ_BUILD/corpus/TARGET/ and make the next local run start further.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
parallel=${FUZZ_PARALLEL:-2}
build=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
while getopts "t:p:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    p) parallel=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-p PARALLEL] [TARGET...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

scripts/ensure-deps.sh clang
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_FUZZ=ON -DTAVRIN_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_all >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/bin/fuzz_*; do [ -x "$bin" ] && targets+=("$(basename "$bin")"); done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no plug-in is built, nothing to fuzz"
  exit 0
fi

# Each call writes its input and output files; keep them in memory when we can.
[ -w /dev/shm ] && export TMPDIR=/dev/shm

seeds=$build/fuzz/seeds
regression=fuzz/regression
logs=$build/logs
mkdir -p "$logs" "$build/artifacts"
# Plug-ins print on every call: close both streams (libFuzzer keeps its own).
common=(-close_fd_mask=3 -max_len=16384 -timeout=10 -rss_limit_mb=2048 -dict=fuzz/bmp.dict)

failed=0
for t in "${targets[@]}"; do
  if ! "$build/bin/$t" "${common[@]}" -runs=0 "$seeds" "$regression" >"$logs/$t.replay.log" 2>&1; then
    echo "fuzz: $t fails on the seed or regression corpus:"
    grep -E '^\*\*\*|ERROR|SUMMARY|Test unit written' "$logs/$t.replay.log" || tail -20 "$logs/$t.replay.log"
    failed=1
  fi
done
echo "fuzz: seed and regression corpora replayed through ${targets[*]}"
[ "$failed" = 0 ] || exit 1
[ "$seconds" -gt 0 ] || exit 0

run_one() {
  local t=$1
  mkdir -p "$build/corpus/$t"
  nice "$build/bin/$t" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "$seeds" "$regression" \
    >"$logs/$t.log" 2>&1
}

report() {
  local t=$1 rc=$2 runs secs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$logs/$t.log" | tail -1)
  if [ "$rc" = 0 ]; then
    echo "fuzz: $t: ${runs:-?} runs in ${secs:-?} s, no findings"
  else
    echo "fuzz: $t FAILED (log: $logs/$t.log):"
    grep -E '^\*\*\*|ERROR|SUMMARY|Test unit written' "$logs/$t.log" || tail -20 "$logs/$t.log"
    failed=1
  fi
}

# Run PARALLEL targets at a time and report each as it ends.
pids=() names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!) names+=("$t")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    rc=0; wait "${pids[0]}" || rc=$?
    report "${names[0]}" "$rc"
    pids=("${pids[@]:1}") names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  rc=0; wait "${pids[$i]}" || rc=$?
  report "${names[$i]}" "$rc"
done
exit "$failed"
