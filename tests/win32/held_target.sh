#!/usr/bin/env bash
# tandrel-cli.exe under Wine, syncing onto an overwrite target that another
# program (hold_file.exe, holding it as an editor holds its document) has
# open:
# - held for the whole run, the row fails with a message that names the
#   target and says it is open in another program, the run exits 1, and the
#   target and its folder are left as they were;
# - held for one second, the sync waits it out and replaces the target.
# No step depends on how long anything takes: the holder says when it holds
# the file, and the long hold ends only once the sync is over.
#
# Usage: held_target.sh HOLD_FILE_EXE CLI_EXE RUNNER...
#   e.g. held_target.sh build/mingw/tests/win32/hold_file.exe \
#          build/mingw/src/cli/tandrel-cli.exe env WINEPREFIX=... wine
set -euo pipefail

hold_exe=$1
cli_exe=$2
shift 2
runner=("$@")
work=$(mktemp -d /tmp/tandrel-held.XXXXXX)
holder=
cleanup() {
  [[ -n $holder ]] && kill "$holder" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

windows_of() {  # a Linux path as Wine names it
  printf 'Z:%s' "$1" | tr '/' '\\'
}
one=$work/one
two=$work/two
target=$two/report.txt
shown_target=$(windows_of "$target")

fail() {
  echo "held_target: $*" >&2
  echo "--- tandrel-cli said:" >&2
  cat "$work/out" "$work/err" >&2 2>/dev/null || true
  exit 1
}

# A newer one/report.txt, to overwrite an older two/report.txt.
make_trees() {
  rm -rf "$one" "$two"
  mkdir -p "$one" "$two"
  printf new > "$one/report.txt"
  printf old > "$target"
  touch -d '2020-01-01 12:00:00' "$one/report.txt"
  touch -d '2020-01-01 10:00:00' "$target"
}

# Starts the holder on the target with its input from the file or FIFO $2
# and holding for $1 (seconds, or "-" until its input ends); returns once it
# says it holds the target.
start_holder() {
  : > "$work/said"
  "${runner[@]}" "$hold_exe" "$shown_target" "$1" < "$2" > "$work/said" 2>&1 &
  holder=$!
}
wait_until_held() {
  until grep -q held "$work/said"; do
    kill -0 "$holder" 2>/dev/null || fail "hold_file did not hold the target: $(cat "$work/said")"
    sleep 0.1
  done
}
sync_trees() {
  set +e
  "${runner[@]}" "$cli_exe" sync "$(windows_of "$one")" "$(windows_of "$two")" \
    > "$work/out" 2> "$work/err" 3>&-
  status=$?
  set -e
}
stop_holder() {
  wait "$holder" || fail "hold_file failed"
  holder=
}

# Held for the whole run. The FIFO's writer, this shell, keeps the holder's
# input open until the sync is over.
make_trees
mkfifo "$work/release"
start_holder - "$work/release"
exec 3> "$work/release"
wait_until_held
sync_trees
exec 3>&-
stop_holder
[[ $status -eq 1 ]] || fail "a sync onto a held target exited $status, not 1"
[[ $(cat "$target") == old ]] || fail "the held target was changed"
leftovers=$(find "$two" -name '~*')
[[ -z $leftovers ]] || fail "temporary files were left: $leftovers"
grep -qF "$shown_target" "$work/err" || fail "the message does not name $shown_target"
grep -q "is open in another program" "$work/err" || fail "the message does not say it is open"

# Held for a moment, which the sync waits out.
make_trees
start_holder 1 /dev/null
wait_until_held
sync_trees
stop_holder
[[ $status -eq 0 ]] || fail "a sync onto a target held for a second exited $status, not 0"
[[ $(cat "$target") == new ]] || fail "the target held for a second was not replaced"
echo "held_target: a held target fails its row and is kept; a short hold is waited out"
