#!/usr/bin/env bash
# Times what keeping replaced files costs: `tandrel-cli sync SRC DST` where
# every file of DST is an older namesake of one in SRC, so each row is an
# overwrite that moves the older file aside and journals it. Timed against
# the same sync with `--keep-days 0` (replaced in one rename, as before
# keeping) and `cp -p` over the same files, in one hyperfine run:
#   - local: 10,000 files of 100 KiB;
#   - slow mount (bench/slowfs, 1 ms a request): 1,000 files of 100 KiB.
# Every timed run starts from DST as it was, its kept files gone.
#
#   bench/overwrite_bench.sh [RUNS]      (default 5)
#
# With TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is
# timed in the same runs too. Needs hyperfine, jq, libfuse3 and /dev/fuse for
# the slow mount (skipped without, or with TANDREL_OVERWRITE_SLOW=0), about
# 4 GB free. Builds into build/bench.
#
# On ext4 the reset between runs deletes the files of the run before, and
# ext4 then passes over inodes deleted in the last minute when it makes new
# files (find_inode_bit, recently_deleted): keeping, which leaves twice the
# files to delete, pays for that in the next run. Giving the other runs as
# many files to delete, or deleting nothing until the end, does not even it
# out (ext4 scans from where the deleted inodes lie, and a disk that fills
# up slows whichever command runs last). TANDREL_OVERWRITE_BENCH_DIR on
# another file system (XFS) shows the cost of keeping alone.
set -euo pipefail
runs=${1:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_OVERWRITE_BENCH_DIR:-/tmp/tandrel-overwrite-bench}
mnt=$work/mnt
build=$top/build/bench
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target tandrel-cli slowfs >/dev/null
cli=$build/src/cli/tandrel-cli
before=${TANDREL_BEFORE_CLI:-}

# SRC with new files, PRISTINE with their older namesakes.
make_set() {
  local dir=$1 count=$2
  [ -e "$dir/complete" ] && return
  rm -rf "$dir" && mkdir -p "$dir/src" "$dir/pristine"
  head -c 102400 /dev/urandom >"$dir/block"
  for ((i = 0; i < count; i++)); do
    cp "$dir/block" "$dir/src/f$i"
    printf 'older %d' "$i" >"$dir/pristine/f$i"
  done
  touch -d '2020-01-01' "$dir"/pristine/*
  touch "$dir/complete"
}

# NAME SRC DST PRISTINE [DST_BEHIND]: DST_BEHIND is where DST is reset,
# when it is on a mount whose backing folder is quicker to write.
time_set() {
  local name=$1 src=$2 dst=$3 pristine=$4 behind=${5:-$3}
  local reset="rm -rf '$behind' && cp -a '$pristine' '$behind' && sync"
  local commands=(-n "$name keeping" "'$cli' sync '$src' '$dst' >/dev/null"
    -n "$name --keep-days 0" "'$cli' sync --keep-days 0 '$src' '$dst' >/dev/null"
    -n "$name cp -p" "cp -p '$src'/* '$dst'/ && sync -f '$dst'")
  [ -n "$before" ] && commands+=(-n "$name before" "'$before' sync '$src' '$dst' >/dev/null")
  # Medians, after a run of each that is not timed: the first run after the
  # files were made took seconds longer, once, and moved the means.
  hyperfine --runs "$runs" --warmup 1 --prepare "$reset" --export-json "$work/$name.json" \
    "${commands[@]}"
  jq -r '.results[] | "\(.command)\t\(.median)"' "$work/$name.json" |
    awk -F'\t' '{t[NR]=$2; n[NR]=$1} END {for (i=1;i<=NR;i++) printf "%-32s %.3f s  %.2f x the first\n", n[i], t[i], t[i]/t[1]}'
}

make_set "$work/local" 10000
time_set local "$work/local/src" "$work/local/dst" "$work/local/pristine"

if [ -c /dev/fuse ] && [ "${TANDREL_OVERWRITE_SLOW:-1}" != 0 ]; then
  make_set "$work/slow" 1000
  mkdir -p "$work/backing" "$mnt"
  mountpoint -q "$mnt" || "$build/bench/slowfs" -o delay_us=1000 "$work/backing" "$mnt"
  trap 'fusermount3 -u "$mnt" 2>/dev/null || fusermount -u "$mnt"' EXIT
  time_set slow "$work/slow/src" "$mnt/dst" "$work/slow/pristine" "$work/backing/dst"
fi
