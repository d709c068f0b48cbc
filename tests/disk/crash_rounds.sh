#!/usr/bin/env bash
# Kills a sync with SIGKILL at a random moment, again and again, on the
# folder given (a local disk, a FUSE mount, a share), and checks what the
# next plain sync and an undo make of it:
#   - after the next sync every path holds its new bytes, no temporary is
#     left and nothing is stranded in the record (a plan finds nothing);
#   - undo of every run since, newest first, gives back both trees as they
#     were before the first sync, byte for byte.
# Usage: crash_rounds.sh TANDREL_CLI DIR [ROUNDS]   (DIR is emptied first)
# With CRASH_MOUNT=1 (as root), folder 2's docs/ is a tmpfs mounted inside
# it, whose replaced files are kept at that mount's top.
set -uo pipefail
cli=$1 dir=$2 rounds=${3:-20}
[[ -x $cli && -d $dir ]] || { echo "usage: $0 TANDREL_CLI DIR [ROUNDS]" >&2; exit 2; }

# Folder 1 holds newer versions of some of folder 2's files, in other
# folders, and files of its own; folder 2 has files of its own too.
populate() {
  local a=$dir/a b=$dir/b i
  mkdir -p "$a/new" "$b/docs" "$b/more"
  [[ -z ${CRASH_MOUNT:-} ]] || mount -t tmpfs none "$b/docs"
  for i in $(seq 1 40); do
    head -c $((40000 + i * 997)) /dev/urandom >"$a/new/f$i"
    head -c $((30000 + i * 991)) /dev/urandom >"$b/docs/f$i"
    touch -d '2024-01-01 00:00:00' "$b/docs/f$i"
    touch -d '2025-01-01 00:00:00' "$a/new/f$i"
  done
  for i in $(seq 1 20); do
    head -c 20000 /dev/urandom >"$a/new/a-only$i"
    head -c 20000 /dev/urandom >"$b/more/b-only$i"
  done
}

# Every path below the two folders, with its size, time and bytes' sum,
# the runs' records left out.
snapshot() {
  (cd "$dir" && find a b -name .tandrel -prune -o -type f -printf '%p %s %T@\n' | sort |
    while read -r path size time; do echo "$path $size ${time%.*} $(md5sum <"$path" | cut -c1-32)"; done)
}

# How long a whole sync takes here: the kills fall anywhere in it.
empty() {
  umount "$dir/b/docs" 2>/dev/null
  rm -rf "${dir:?}/a" "${dir:?}/b"
}
trap 'umount "$dir/b/docs" 2>/dev/null' EXIT
empty
populate
start=$(date +%s%N)
"$cli" sync -j 2 "$dir/a" "$dir/b" >/dev/null 2>&1
span_us=$((($(date +%s%N) - start) / 1000))
echo "a whole sync takes $((span_us / 1000)) ms here"

passed=0 failed=0
for round in $(seq 1 "$rounds"); do
  empty
  populate
  before=$(snapshot)
  "$cli" sync -j 2 "$dir/a" "$dir/b" >/dev/null 2>&1 &
  pid=$!
  delay_us=$(((RANDOM * 32768 + RANDOM) % span_us))
  sleep "$((delay_us / 1000000)).$(printf '%06d' $((delay_us % 1000000)))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  problems=()
  if ! "$cli" sync "$dir/a" "$dir/b" >"$dir/out" 2>"$dir/err"; then
    problems+=("the sync after the kill failed: $(head -c 400 "$dir/err")")
  fi
  recovered=$(grep -c 'recovered' "$dir/err")
  said=$(head -c 600 "$dir/err")
  temps=$(find "$dir/a" "$dir/b" -name '~tandrel-*' | wc -l)
  ((temps == 0)) || problems+=("$temps temporaries left")
  plan=$("$cli" plan "$dir/a" "$dir/b" 2>&1)
  [[ -z $plan ]] || problems+=("a plan after it: $(head -c 400 <<<"$plan")")
  oldest=$("$cli" undo --list "$dir/a" "$dir/b" | tail -1 | cut -f1)
  if [[ -n $oldest ]] && ! "$cli" undo --run "$oldest" "$dir/a" "$dir/b" >/dev/null 2>"$dir/err"; then
    problems+=("undo failed: $(head -c 400 "$dir/err")")
  fi
  after=$(snapshot)
  [[ $after == "$before" ]] || problems+=("after undo the trees differ: $(diff <(echo "$before") <(echo "$after") | head -5)")
  if ((${#problems[@]} == 0)); then
    passed=$((passed + 1))
    echo "round $round: ok (recovered: $recovered)"
  else
    failed=$((failed + 1))
    printf 'round %s: FAIL\n' "$round"
    [[ -z $said ]] || printf '  the sync after the kill said: %s\n' "$said"
    printf '  %s\n' "${problems[@]}"
  fi
done
echo "crash_rounds: $passed passed, $failed failed"
((failed == 0))
