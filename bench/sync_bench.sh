#!/usr/bin/env bash
# Times `tandrel-cli sync SRC EMPTY` against `cp -p` of the same files into an
# empty folder, `cp -p` followed by `sync -f` (which makes the copies as
# durable as the sync does), and `rsync -a --fsync`, in one hyperfine run:
# 20,000 small files, and 20 files of 50 MiB. Every timed run starts from an
# empty destination with nothing left to write back from the run before.
#
#   bench/sync_bench.sh [RUNS]      (default 10 runs per command)
#
# With TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is
# timed in the same run too, for before-and-after numbers.
#
# Needs: hyperfine, jq, about 2.5 GB free in $TANDREL_SYNC_BENCH_DIR
# (default /tmp/tandrel-sync-bench). Builds into build/sync-bench.
set -euo pipefail
runs=${1:-10}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_SYNC_BENCH_DIR:-/tmp/tandrel-sync-bench}
build=$top/build/sync-bench

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tandrel-cli >/dev/null
cli=$build/src/cli/tandrel-cli

"$top/bench/sync_make_files.sh" "$work"
small=$work/small large=$work/large dst=$work/dst

commands=()
for kind in small large; do
  src=$work/$kind
  commands+=(-n sync-$kind "'$cli' sync '$src' '$dst' >/dev/null")
  [ -n "${TANDREL_BEFORE_CLI:-}" ] &&
    commands+=(-n before-$kind "'$TANDREL_BEFORE_CLI' sync '$src' '$dst' >/dev/null")
  commands+=(-n cp-$kind "cp -p '$src'/* '$dst'/"
             -n cpsync-$kind "cp -p '$src'/* '$dst'/ && sync -f '$dst'"
             -n rsync-$kind "rsync -a --fsync '$src'/ '$dst'/")
done
hyperfine --style basic --runs "$runs" --warmup 1 --export-json "$work/result.json" \
  --prepare "rm -rf '$dst' && mkdir '$dst' && sync" "${commands[@]}"
rm -rf "$dst"

# Medians and minima: the machine may be shared, and a run that was slowed
# down by something else only ever gets slower.
stat() { jq -r ".results[] | select(.command==\"$1\") | .$2" "$work/result.json"; }
for kind in small large; do
  if [ $kind = small ]; then label="20,000 small files" target=1.30; else label="20 files of 50 MiB" target=1.10; fi
  s=$(stat sync-$kind median)
  printf '%s (medians): sync %.3f s\n' "$label" "$s"
  for other in cpsync cp rsync before; do
    o=$(stat $other-$kind median)
    [ -n "$o" ] || continue
    awk -v name=$other -v s="$s" -v o="$o" 'BEGIN { printf "  sync / %-7s %.2f   (%s %.3f s)\n", name, s / o, name, o }'
  done
  echo "  target: sync / cpsync <= $target, and sync faster than rsync --fsync on small files"
done
