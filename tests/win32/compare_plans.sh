#!/bin/sh
# Runs "tandrel-cli plan" of the Linux build and of the Windows build (under
# Wine) on the same two trees and checks that both give the same set of rows
# once the Linux rows are written as Wine sees the paths (drive Z: is /, the
# separator a backslash).
#
# Usage: compare_plans.sh LINUX_CLI WINDOWS_RUNNER...
#   e.g. compare_plans.sh build/default/src/cli/tandrel-cli \
#          env WINEPREFIX=... wine build/mingw/src/cli/tandrel-cli.exe
# Exits with 77 (skipped) when there is no Linux build.
set -eu

linux_cli=$1
shift
if [ ! -x "$linux_cli" ]; then
  echo "compare_plans: no Linux build at $linux_cli" >&2
  exit 77
fi
work=$(mktemp -d /tmp/tandrel-plans.XXXXXX)
trap 'rm -rf "$work"' EXIT
one=$work/one
two=$work/two

# Both trees: subfolders, a tilde file and a tilde folder, names outside any
# code page, blanks, same names in different subfolders, a hidden folder, a
# link back to the top and a link to a file.
mkdir -p "$one/sub/deeper" "$one/~work" "$one/.hidden" "$one/Ωmega" \
         "$two/other" "$two/.hidden"
printf a > "$one/only-one.txt"
printf b > "$one/sub/deeper/deep file.txt"
printf c > "$one/~skipped.txt"
printf d > "$one/~work/inside tilde folder.txt"
printf e > "$one/.hidden/not walked.txt"
printf f > "$one/Ωmega/αβγ.txt"
printf g > "$one/文件.txt"
printf h > "$two/文件.txt"
printf i > "$one/sub/😀.txt"
printf j > "$two/other/😀.txt"
printf k > "$one/same.txt"
printf l > "$two/same.txt"
printf m > "$two/other/only-two.txt"
printf n > "$two/.hidden/also not walked.txt"
printf o > "$one/sub/twice.txt"
printf p > "$one/twice.txt"
printf q > "$two/twice.txt"
touch -d '2020-01-01 10:00:00' "$one/文件.txt" "$two/other/😀.txt" "$one/sub/twice.txt"
touch -d '2020-01-01 12:00:00' "$two/文件.txt" "$one/sub/😀.txt" "$one/twice.txt"
touch -d '2020-01-01 11:00:00' "$two/twice.txt"
touch -d '2020-01-01 09:00:00' "$one/same.txt" "$two/same.txt"
ln -s "$one" "$one/sub/back-to-top"
ln -s "$one/only-one.txt" "$two/link to one.txt"

windows_of() {  # a Linux path as Wine names it
  printf 'Z:%s' "$1" | tr '/' '\\'
}

"$linux_cli" plan "$one" "$two" | tr '/' '\\' | sed 's/^/Z:/; s/\t\\/\tZ:\\/' |
  LC_ALL=C sort > "$work/linux.rows"
"$@" plan "$(windows_of "$one")" "$(windows_of "$two")" | LC_ALL=C sort > "$work/windows.rows"

rows=$(wc -l < "$work/linux.rows")
if [ "$rows" -lt 8 ]; then
  echo "compare_plans: the Linux build gave only $rows rows" >&2
  cat "$work/linux.rows" >&2
  exit 1
fi
if ! cmp -s "$work/linux.rows" "$work/windows.rows"; then
  echo "compare_plans: the two builds give different rows (< Linux, > Windows):" >&2
  diff "$work/linux.rows" "$work/windows.rows" >&2 || true
  exit 1
fi
echo "compare_plans: both builds give the same $rows rows"
