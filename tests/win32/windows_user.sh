#!/usr/bin/env bash
# tandrel-cli.exe under Wine, as a Windows user meets it:
# - names Windows does not allow (CON, COM1, aux.log, a final dot, a final
#   blank) are refused with the reason, exit 1, while the ordinary name of
#   the same run is done with -k, and none of them is made;
# - a read-only target is replaced, kept, and put back read-only by undo;
# - on a console (a pseudo-terminal through `script`), a name outside ASCII
#   shows as it is, in the rows and in the messages.
#
# Usage: windows_user.sh CLI_EXE RUNNER...
#   e.g. windows_user.sh build/mingw/src/cli/tandrel-cli.exe env WINEPREFIX=... wine
set -euo pipefail

cli_exe=$1
shift
runner=("$@")
command -v script >/dev/null || { echo "windows_user: needs script"; exit 77; }
work=$(mktemp -d /tmp/tandrel-windows.XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT

windows_of() { printf 'Z:%s' "$1" | tr '/' '\\'; }
one=$work/one
two=$work/two
fail() {
  echo "windows_user: $*" >&2
  cat "$work/out" "$work/err" >&2 2>/dev/null || true
  exit 1
}
cli() { "${runner[@]}" "$cli_exe" "$@" "$(windows_of "$one")" "$(windows_of "$two")"; }

# Names Windows does not allow.
mkdir -p "$one/in" "$two"
refused=(CON COM1 aux.log "report." "report ")
for name in "${refused[@]}" ok.txt; do printf x > "$one/in/$name"; done
rc=0; cli sync >"$work/out" 2>"$work/err" || rc=$?
[[ $rc == 1 ]] || fail "a refused name did not fail the run (exit $rc)"
rc=0; cli sync -k >"$work/out" 2>"$work/err" || rc=$?
[[ $rc == 1 ]] || fail "sync -k with refused names exited $rc"
grep -q "ok.txt	Done" "$work/out" || fail "the ordinary name was not done"
grep -qF "Windows does not allow the name CON for a file, so $(windows_of "$one/in/CON") was not copied." \
  "$work/err" || fail "no reason for CON"
for name in "${refused[@]}"; do
  [[ ! -e $two/$name ]] || fail "'$name' was made"
  grep -qF "$(windows_of "$one/in/$name") was not copied." "$work/err" || fail "'$name' not named"
done

# A read-only target: replaced, kept, and undone with its attribute.
rm -rf "$one" "$two"
mkdir -p "$one" "$two"
printf new > "$one/ro.txt"
printf old > "$two/ro.txt"
touch -d '2020-01-01 10:00:00' "$two/ro.txt"
chmod 444 "$two/ro.txt"
cli sync >"$work/out" 2>"$work/err" || fail "the read-only target was not replaced"
[[ $(cat "$two/ro.txt") == new ]] || fail "the copy is not in place"
cli undo >"$work/out" 2>"$work/err" || fail "undo failed"
[[ $(cat "$two/ro.txt") == old && $(stat -c %A "$two/ro.txt") != *w* ]] || fail "undo did not put back the read-only file"

# Names on a console.
name='Café_ñ_日本.txt'
printf x > "$one/$name"
printf x > "$one/$name."
LANG=C.UTF-8 script -qec "$(printf '%q ' "${runner[@]}" "$cli_exe" sync -k \
  "$(windows_of "$one")" "$(windows_of "$two")")" /dev/null >"$work/console" 2>&1 || true
# The console's own codes and the line breaks of its 80 columns go.
sed 's/\x1b\[[?0-9;]*[a-zA-Z]//g' "$work/console" | tr -d '\r\n' >"$work/out"
grep -qF "$name" "$work/out" || fail "the row's name is not shown as it is on a console"
grep -qF "$(windows_of "$one/$name.") was not copied" "$work/out" ||
  fail "the message's name is not shown as it is on a console"
echo "windows_user: passed"
