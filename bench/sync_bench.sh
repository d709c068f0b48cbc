#!/usr/bin/env bash
# Times `tandrel-cli sync SRC EMPTY` against `cp -p` of the same files into an
# empty folder, in one hyperfine run: 20,000 small files, and 20 files of
# 50 MiB. Every timed run starts from an empty destination with nothing
# left to write back from the run before.
#
#   bench/sync_bench.sh [RUNS]      (default 10 runs per command)
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

hyperfine --style basic --runs "$runs" --warmup 1 --export-json "$work/result.json" \
  --prepare "rm -rf '$dst' && mkdir '$dst' && sync" \
  -n sync-small "'$cli' sync '$small' '$dst' >/dev/null" \
  -n cp-small "cp -p '$small'/* '$dst'/" \
  -n sync-large "'$cli' sync '$large' '$dst' >/dev/null" \
  -n cp-large "cp -p '$large'/* '$dst'/"
rm -rf "$dst"

# Medians and minima: the machine may be shared, and a run that was slowed
# down by something else only ever gets slower.
stat() { jq -r ".results[] | select(.command==\"$1\") | .$2" "$work/result.json"; }
for kind in small large; do
  if [ $kind = small ]; then label="20,000 small files" target=1.30; else label="20 files of 50 MiB" target=1.10; fi
  awk -v label="$label" -v target=$target \
      -v sm="$(stat sync-$kind median)" -v cm="$(stat cp-$kind median)" \
      -v sn="$(stat sync-$kind min)" -v cn="$(stat cp-$kind min)" 'BEGIN {
    printf "%-20s median: sync %.3f s, cp -p %.3f s: %.2f x   min: %.3f s, %.3f s: %.2f x   (target <= %s)\n",
           label, sm, cm, sm / cm, sn, cn, sn / cn, target
  }'
done
