#!/usr/bin/env bash
# Makes the source folders of the sync benchmark, once:
#   ROOT/small  20,000 files of 512 B to 16 KiB (5,000 of each of four sizes)
#   ROOT/large  20 files of 50 MiB
# Random bytes, so that no file system can share or compress them.
#
#   bench/sync_make_files.sh ROOT
set -euo pipefail
root=${1:?usage: sync_make_files.sh ROOT}

if [ ! -e "$root/small.complete" ]; then
  rm -rf "$root/small"
  mkdir -p "$root/small"
  for size in 512 2048 6144 16384; do
    head -c $((5000 * size)) /dev/urandom | split -b "$size" -a 4 -d - "$root/small/s${size}_"
  done
  touch "$root/small.complete"
fi

if [ ! -e "$root/large.complete" ]; then
  rm -rf "$root/large"
  mkdir -p "$root/large"
  for i in $(seq -w 1 20); do
    head -c $((50 * 1024 * 1024)) /dev/urandom >"$root/large/big$i.bin"
  done
  touch "$root/large.complete"
fi
