#!/usr/bin/env bash
# Times `tandrel-cli sync SRC STICK` onto USB-stick file systems through
# their FUSE drivers (exFAT through exfat-fuse, FAT32 through fusefat, and
# FAT32 through fusefat seen through bindfs) against `cp --preserve=timestamps` of the same
# files into the stick's top folder followed by an fsync of each copied file
# (`sync FILE...`), which is as durable as the sync, in one hyperfine run per
# file system. 200 files of 100 KiB; every timed run starts from an empty
# stick with nothing left to write back.
#
#   bench/stick_bench.sh [RUNS]      (default 10)
#
# With TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is
# timed in the same runs too. Needs root, /dev/fuse, loop devices,
# hyperfine, jq, exfatprogs + exfat-fuse, dosfstools + fusefat, bindfs.
# Builds into build/bench.
set -euo pipefail
runs=${1:-10}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_STICK_BENCH_DIR:-/tmp/tandrel-stick-bench}
build=$top/build/bench
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tandrel-cli >/dev/null
cli=$build/src/cli/tandrel-cli

mkdir -p "$work"
src=$work/src
if [ ! -d "$src" ]; then
  mkdir "$src"
  for i in $(seq 1 200); do head -c 102400 /dev/urandom >"$src/f$i.bin"; done
fi
devices=()
cleanup() {
  for m in "$work"/view "$work"/mnt; do mountpoint -q "$m" && umount "$m"; done
  for d in "${devices[@]}"; do losetup -d "$d"; done
}
trap cleanup EXIT

bench() {  # NAME STICK_FOLDER
  local name=$1 stick=$2
  local commands=(-n "sync" "'$cli' sync '$src' '$stick' >/dev/null"
                  -n "cp+fsync" "cp --preserve=timestamps '$src'/* '$stick'/ && cd '$stick' && sync f*.bin")
  [ -n "${TANDREL_BEFORE_CLI:-}" ] &&
    commands+=(-n before "'$TANDREL_BEFORE_CLI' sync '$src' '$stick' >/dev/null")
  hyperfine --style none --runs "$runs" --warmup 1 --export-json "$work/$name.json" \
    --prepare "rm -rf '$stick'/* '$stick'/.tandrel && sync" "${commands[@]}" >/dev/null
  local s c b
  s=$(jq -r '.results[] | select(.command=="sync") | .median' "$work/$name.json")
  c=$(jq -r '.results[] | select(.command=="cp+fsync") | .median' "$work/$name.json")
  b=$(jq -r '.results[] | select(.command=="before") | .median' "$work/$name.json")
  awk -v n="$name" -v s="$s" -v c="$c" -v b="${b:-}" 'BEGIN {
    printf "%-12s sync %.3f s, cp+fsync %.3f s: sync / cp+fsync %.2f", n, s, c, s / c
    if (b != "" && b != "null") printf "   (before: %.3f s, %.2f)", b, b / c
    printf "   target <= 1.2\n" }'
}

for fs in exfat fat fat-bindfs; do
  image=$work/$fs.img
  rm -f "$image"
  truncate -s 256M "$image"
  case $fs in
    exfat) mkfs.exfat "$image" >/dev/null ;;
    fat*) mkfs.vfat -F 32 "$image" >/dev/null ;;
  esac
  mkdir -p "$work/mnt" "$work/view"
  case $fs in
    exfat)
      device=$(losetup -f --show "$image")
      devices+=("$device")
      mount.exfat-fuse "$device" "$work/mnt" 2>/dev/null ;;
    fat*) fusefat -o rw+ "$image" "$work/mnt" >/dev/null 2>&1 ;;
  esac
  stick=$work/mnt
  if [ $fs = fat-bindfs ]; then
    bindfs "$work/mnt" "$work/view"
    stick=$work/view
  fi
  bench "$fs" "$stick"
  cleanup
  devices=()
done
