#!/usr/bin/env bash
# Times Tandrel on a slow file system that stands in for a network share:
# bench/slowfs mirrors a folder and delays every request (1 ms by default).
#
#   - `tandrel-cli plan A B` against `find A B -printf '%T@ %p\n'`, two trees
#     of 20,000 files each on the slow mount;
#   - `tandrel-cli sync SRC DST` of 2,000 small files from the local disk into
#     an empty folder on the slow mount, against `cp -p` and `rsync -a`.
#
#   bench/slow_bench.sh [PLAN_RUNS [SYNC_RUNS]]     (default 5 and 3)
#
# With TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is
# timed in the same runs too, for before-and-after numbers.
# TANDREL_SLOW_DELAY_US sets the delay of every request (default 1000).
#
# Needs: hyperfine, jq, rsync, libfuse3 (to build slowfs) and fusermount3,
# and /dev/fuse. Builds into build/bench.
set -euo pipefail
plan_runs=${1:-5}
sync_runs=${2:-3}
delay_us=${TANDREL_SLOW_DELAY_US:-1000}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_SLOW_BENCH_DIR:-/tmp/tandrel-slow-bench}
mnt=${TANDREL_SLOW_MOUNT:-/tmp/tandrel-slow-mnt}
build=$top/build/bench
files=20000 small=2000

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target tandrel-cli make_trees slowfs >/dev/null
cli=$build/src/cli/tandrel-cli

# Everything is made in the backing folder directly, not through the mount:
# that would only take longer and is not what is measured.
backing=$work/backing
mkdir -p "$backing" "$mnt"
[ -d "$backing/trees/A" ] || { mkdir -p "$backing/trees" && "$build/bench/make_trees" "$backing/trees" "$files"; }
src=$work/small
if [ ! -e "$work/small.complete" ]; then
  rm -rf "$src" && mkdir -p "$src"
  for size in 512 2048 6144 16384; do
    head -c $((small / 4 * size)) /dev/urandom | split -b "$size" -a 4 -d - "$src/s${size}_"
  done
  touch "$work/small.complete"
fi

[ -e /dev/fuse ] || modprobe fuse
if mountpoint -q "$mnt"; then fusermount3 -u "$mnt"; fi
"$build/bench/slowfs" -o delay_us="$delay_us" "$backing" "$mnt"
trap 'fusermount3 -u "$mnt"' EXIT

A=$mnt/trees/A B=$mnt/trees/B dst=$mnt/dst
commands=(-n plan "'$cli' plan '$A' '$B' >/dev/null")
[ -n "${TANDREL_BEFORE_CLI:-}" ] &&
  commands+=(-n plan-before "'$TANDREL_BEFORE_CLI' plan '$A' '$B' >/dev/null")
commands+=(-n find "find '$A' '$B' -printf '%T@ %p\n' >/dev/null")
hyperfine --style basic --warmup 1 --runs "$plan_runs" --export-json "$work/plan.json" \
  "${commands[@]}"

# The destination is emptied in the backing folder, which is quicker than
# through the mount; the wait lets the kernel's 1 s cache of the names under
# it run out, so that the next run sees the folder empty, as it is.
commands=(-n sync "'$cli' sync '$src' '$dst' >/dev/null")
[ -n "${TANDREL_BEFORE_CLI:-}" ] &&
  commands+=(-n sync-before "'$TANDREL_BEFORE_CLI' sync '$src' '$dst' >/dev/null")
commands+=(-n cp "cp -p '$src'/* '$dst'/" -n rsync "rsync -a '$src'/ '$dst'/")
prepare="rm -rf '$backing/dst' && mkdir '$backing/dst' && sync && sleep 1.1"
hyperfine --style basic --warmup 1 --runs "$sync_runs" --export-json "$work/sync.json" \
  --prepare "$prepare" "${commands[@]}"

# What was timed must also have been done: one more sync, checked against
# its source in the backing folder.
bash -c "$prepare"
"$cli" sync "$src" "$dst" >/dev/null
diff -r "$src" "$backing/dst" >/dev/null || { echo "sync left $dst different from $src" >&2; exit 1; }
rm -rf "$backing/dst"

# Medians: the machine may be shared, and a run slowed down by something
# else only ever gets slower.
median() { jq -r ".results[] | select(.command==\"$2\") | .median" "$work/$1.json"; }
rows=$("$cli" plan "$A" "$B" | wc -l)
awk -v d="$delay_us" -v n="$files" -v rows="$rows" -v m="$small" \
    -v p="$(median plan plan)" -v pb="$(median plan plan-before)" -v f="$(median plan find)" \
    -v s="$(median sync sync)" -v sb="$(median sync sync-before)" \
    -v c="$(median sync cp)" -v r="$(median sync rsync)" 'BEGIN {
  printf "\nslow file system, %d us per request (medians)\n", d
  printf "plan, %d files per tree, %d rows: plan %.3f s, find %.3f s\n", n, rows, p, f
  printf "  plan / find        %.2f   (target <= 0.15)\n", p / f
  if (pb != "") printf "  plan / plan before %.2f   (before / find %.2f)\n", p / pb, pb / f
  printf "sync of %d small files: sync %.3f s, cp -p %.3f s, rsync -a %.3f s\n", m, s, c, r
  printf "  sync / cp          %.2f   (target <= 0.55)\n", s / c
  printf "  sync / rsync       %.2f\n", s / r
  if (sb != "") printf "  sync / sync before %.2f   (before / cp %.2f)\n", s / sb, sb / c
}'
