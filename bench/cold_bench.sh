#!/usr/bin/env bash
# Times `tandrel-cli plan A B` on the local disk with a cold cache, against
# `find A B -printf '%T@ %p\n'` and `fdfind -uu --changed-before 2100-01-01`
# (that filter makes fd read every file's time, as the other two do), each
# run after the kernel has dropped its page, dentry and inode caches. Then
# the same plan against find with everything cached, for the warm numbers.
#
#   bench/cold_bench.sh [FILES [COLD_RUNS]]   (default 100000 files per tree, 5 runs)
#
# The trees of bench/plan_bench.sh are used when they have FILES files
# (same work folder, TANDREL_BENCH_DIR, default /tmp/tandrel-bench). With
# TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is timed
# in the same runs too.
#
# Needs: root (to write /proc/sys/vm/drop_caches), hyperfine, jq, fd-find.
# Builds into build/bench. Dropping the caches slows down everything else on
# the machine for a moment.
set -euo pipefail
files=${1:-100000}
cold_runs=${2:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_BENCH_DIR:-/tmp/tandrel-bench}
build=$top/build/bench

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target tandrel-cli make_trees >/dev/null
cli=$build/src/cli/tandrel-cli

# plan_bench.sh keeps its trees of FILES files in $work/n; take them if they
# are that size, or make them there when there are none yet.
trees=$work/n
if [ -d "$trees/A" ] && [ "$(find "$trees/A" -type f | wc -l)" -ne "$files" ]; then
  trees=$work/cold-$files
fi
if [ ! -d "$trees/A" ]; then
  mkdir -p "$trees"
  "$build/bench/make_trees" "$trees" "$files"
fi
A=$trees/A B=$trees/B

if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then
  echo "cannot write /proc/sys/vm/drop_caches (needs root, and a kernel that allows it here)" >&2
  exit 1
fi
drop="sync && echo 3 > /proc/sys/vm/drop_caches"

plan_cmd="'$cli' plan '$A' '$B' >/dev/null"
find_cmd="find '$A' '$B' -printf '%T@ %p\n' >/dev/null"
before=()
[ -n "${TANDREL_BEFORE_CLI:-}" ] &&
  before=(-n plan-before "'$TANDREL_BEFORE_CLI' plan '$A' '$B' >/dev/null")

hyperfine --style basic --runs "$cold_runs" --prepare "$drop" --export-json "$work/cold.json" \
  -n plan "$plan_cmd" "${before[@]}" -n find "$find_cmd" \
  -n fdfind "fdfind -uu --changed-before 2100-01-01 . '$A' '$B' >/dev/null"
hyperfine --style basic --warmup 2 --runs 10 --export-json "$work/warm.json" \
  -n plan "$plan_cmd" "${before[@]}" -n find "$find_cmd"

# Medians: the machine may be shared, and a run slowed down by something
# else only ever gets slower.
median() { jq -r ".results[] | select(.command==\"$2\") | .median" "$work/$1.json"; }
awk -v n="$files" -v p="$(median cold plan)" -v f="$(median cold find)" \
    -v fd="$(median cold fdfind)" -v pb="$(median cold plan-before)" \
    -v wp="$(median warm plan)" -v wf="$(median warm find)" -v wpb="$(median warm plan-before)" 'BEGIN {
  printf "\n%d files per tree (medians)\n", n
  printf "cold: plan %.3f s, find %.3f s, fdfind %.3f s\n", p, f, fd
  printf "  plan / find        %.2f   (target <= 0.40)\n", p / f
  printf "  plan / fdfind      %.2f   (target < 1)\n", p / fd
  if (pb != "") printf "  plan / plan before %.2f   (before / find %.2f)\n", p / pb, pb / f
  printf "warm: plan %.3f s, find %.3f s\n", wp, wf
  printf "  plan / find        %.2f   (target <= 0.40)\n", wp / wf
  if (wpb != "") printf "  plan / plan before %.2f   (before / find %.2f)\n", wp / wpb, wpb / wf
}'
