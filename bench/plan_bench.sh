#!/usr/bin/env bash
# Times `tandrel-cli plan` against find and rsync on the same two trees, in
# one hyperfine run, and measures its peak memory.
#
#   bench/plan_bench.sh [FILES]      (default 100000 files per tree)
#
# With TANDREL_BEFORE_CLI set to another build of tandrel-cli, that one is
# timed in the same run too, for before-and-after numbers.
#
# Needs: hyperfine, rsync, GNU time (/usr/bin/time). Builds into build/bench.
set -euo pipefail
files=${1:-100000}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${TANDREL_BENCH_DIR:-/tmp/tandrel-bench}
build=$top/build/bench

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_GUI=OFF \
  -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tandrel-cli make_trees >/dev/null
cli=$build/src/cli/tandrel-cli

make_pair() {  # make_pair DIR FILES
  mkdir -p "$1"
  [ -d "$1/A" ] || "$build/bench/make_trees" "$1" "$2"
}
make_pair "$work/n" "$files"
make_pair "$work/2n" "$((files * 2))"
mkdir -p "$work/empty/A" "$work/empty/B"

# A chain of 3,000 folders, one inside the other, with a file at its end:
# walked as Folder 1 and as Folder 2 it should cost the same.
if [ ! -d "$work/chain/deep" ]; then
  mkdir -p "$work/chain/deep" "$work/chain/flat"
  (cd "$work/chain/deep" && for _ in $(seq 3000); do mkdir d && cd d; done && : >end.txt)
fi

A=$work/n/A B=$work/n/B
before=()
[ -n "${TANDREL_BEFORE_CLI:-}" ] && before=(-n plan-before "$TANDREL_BEFORE_CLI plan $A $B >/dev/null")
hyperfine --warmup 2 --runs 10 --style basic --export-json "$work/result.json" \
  -n plan "$cli plan $A $B >/dev/null" "${before[@]}" \
  -n find "find $A $B -printf '%T@ %p\n' >/dev/null" \
  -n rsync "rsync -rn --itemize-changes $A/ $B/ >/dev/null" \
  -n plan-2x "$cli plan $work/2n/A $work/2n/B >/dev/null" \
  -n chain-as-1 "$cli plan $work/chain/deep $work/chain/flat >/dev/null" \
  -n chain-as-2 "$cli plan $work/chain/flat $work/chain/deep >/dev/null"

mean() { jq -r ".results[] | select(.command==\"$1\") | .mean" "$work/result.json"; }
peak_kib() { /usr/bin/time -f %M "$cli" plan "$1" "$2" 2>&1 >/dev/null | tail -1; }

plan=$(mean plan) find=$(mean find) rsync=$(mean rsync) plan2=$(mean plan-2x)
chain1=$(mean chain-as-1) chain2=$(mean chain-as-2)
rows=$("$cli" plan "$A" "$B" | wc -l)
mem_full=$(peak_kib "$A" "$B")
mem_empty=$(peak_kib "$work/empty/A" "$work/empty/B")
awk -v p="$plan" -v f="$find" -v r="$rsync" -v p2="$plan2" -v n="$files" -v rows="$rows" \
    -v mf="$mem_full" -v me="$mem_empty" -v pb="$(mean plan-before)" \
    -v c1="$chain1" -v c2="$chain2" 'BEGIN {
  printf "\n%d files per tree, %d rows\n", n, rows
  printf "plan / find          %.2f   (target <= 0.40)\n", p / f
  printf "plan / rsync -n      %.2f\n", p / r
  printf "plan 2x / plan       %.2f   (target <= 2.30)\n", p2 / p
  if (pb != "") printf "plan / plan before   %.2f   (before / find %.2f)\n", p / pb, pb / f
  printf "3,000-folder chain    %.3f s as Folder 1, %.3f s as Folder 2: %.2f (target <= 1.2)\n",
         c1, c2, (c1 > c2 ? c1 / c2 : c2 / c1)
  printf "peak memory          %d KiB, %d KiB empty: %.0f bytes per file (target <= 200)\n",
         mf, me, (mf - me) * 1024 / (2 * n)
}'
