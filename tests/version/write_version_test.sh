#!/bin/sh
# What write_version.cmake puts in the header: the bare version at the
# release tag and outside any checkout, the version and `git describe`
# otherwise (after the tag, or with changes not committed).
# Usage: write_version_test.sh CMAKE SCRIPT TEMPLATE
set -eu
cmake=$1 script=$2 template=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

full_version() {  # SOURCE_DIR -> the TANDREL_VERSION_FULL text
  "$cmake" -DSOURCE_DIR="$1" -DTEMPLATE="$template" -DOUTPUT="$tmp/version.h" \
    -DPROJECT_VERSION=1.2.3 -DPROJECT_VERSION_MAJOR=1 -DPROJECT_VERSION_MINOR=2 \
    -DPROJECT_VERSION_PATCH=3 -P "$script"
  sed -n 's/^#define TANDREL_VERSION_FULL "\(.*\)"$/\1/p' "$tmp/version.h"
}
expect() {  # WHAT GOT WANTED
  [ "$2" = "$3" ] || { echo "FAIL: $1: got '$2', wanted '$3'" >&2; exit 1; }
}

mkdir "$tmp/plain"
expect "outside a checkout" "$(full_version "$tmp/plain")" "1.2.3"

git init -q "$tmp/repo"
g() { git -C "$tmp/repo" -c user.name=t -c user.email=t@t -c commit.gpgsign=false "$@"; }
echo a >"$tmp/repo/a" && g add a && g commit -qm one && g tag v1.2.3
expect "at the release tag" "$(full_version "$tmp/repo")" "1.2.3"
echo b >"$tmp/repo/a"
expect "at the tag with changes" "$(full_version "$tmp/repo")" "1.2.3 (v1.2.3-dirty)"
g commit -qam two
hash=$(g rev-parse --short HEAD)
expect "after the tag" "$(full_version "$tmp/repo")" "1.2.3 (v1.2.3-1-g$hash)"
# A folder inside a checkout is not a checkout of its own.
mkdir "$tmp/repo/sub"
expect "inside another checkout" "$(full_version "$tmp/repo/sub")" "1.2.3"
echo "write_version: all passed"
