#!/usr/bin/env bash
# A Slurm job array over a list of pictures: each task takes one shard of
# the list (split -n l/K) and runs the batch mode on it, resumable.
#
#   find photos -type f > list.txt
#   sbatch --array=0-99 scripts/slurm-batch.sh sunglasses list.txt out
#
# Outputs keep the list's layout below OUT (photos/2021/x.jpg becomes
# OUT/photos/2021/x.jpg). Each task writes OUT/report-TASK.jsonl; a task
# that is run again (after a time-out or a failed node) skips the outputs
# already written.
#SBATCH --job-name=tavrin
#SBATCH --cpus-per-task=8
#SBATCH --time=04:00:00
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: sbatch --array=0-(K-1) $0 EFFECT LIST OUTDIR" >&2
  exit 2
fi
effect=$1
list=$(realpath "$2")
out=$(realpath -m "$3")
tavrin=${TAVRIN:-tavrin}
task=${SLURM_ARRAY_TASK_ID:?run this as a Slurm job array (sbatch --array=...)}
tasks=${SLURM_ARRAY_TASK_COUNT:?run this as a Slurm job array (sbatch --array=...)}
mkdir -p "$out"

# The shard's files as links in a private folder that mirrors the list's
# paths: one batch over that folder keeps the layout, takes any number of
# files (no argument-length limit) and writes one report.
shard=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-shard-$task-XXXXXX")
trap 'rm -rf "$shard"' EXIT
split -n "l/$((task + 1))/$tasks" "$list" | while IFS= read -r file; do
  [ -n "$file" ] || continue
  rel=${file#/}
  mkdir -p "$shard/$(dirname "$rel")"
  ln -sfn "$(realpath "$file")" "$shard/$rel"
done

cd "$shard"
status=0
"$tavrin" "$effect" --out-dir "$out" -r --skip-existing -j "${SLURM_CPUS_PER_TASK:-1}" \
  --report "$out/report-$task.jsonl" . || status=$?
exit $status
