#!/usr/bin/env bash
# Syncs onto the drivers that USB sticks and external disks are used through
# on Linux when the kernel has no module for them: FAT32 (fusefat, and
# fusefat under bindfs, which hides its missing chmod), exFAT (exfat-fuse)
# and NTFS (ntfs-3g). Each kind gets a fresh image, a sync into an empty
# folder, plans that must settle (also after a remount, since FUSE caches
# hide what the driver really stored), overwrites both ways, and repeated
# syncs that must find nothing to do.
#
# Usage: fs_targets.sh TANDREL_CLI [KIND...]   KIND: fat fat-bindfs exfat ntfs
# Exits 77 (skipped) without root, /dev/fuse or the drivers' tools.
set -Eeuo pipefail
trap 'echo "FAIL ${kind:-}: ${step:-setup}: \"$BASH_COMMAND\" failed" >&2' ERR

if [ $# -lt 1 ]; then
  echo "usage: $0 TANDREL_CLI [fat|fat-bindfs|exfat|ntfs]..." >&2
  exit 2
fi
cli=$(realpath "$1")
shift
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(fat fat-bindfs exfat ntfs)

skip() {
  echo "fs_targets: skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root to mount"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -x "$cli" ] || { echo "fs_targets: $cli is not an executable" >&2; exit 2; }
needed=(pgrep mountpoint cmp timeout)
for kind in "${kinds[@]}"; do
  case $kind in
    fat) needed+=(mkfs.vfat fusefat) ;;
    fat-bindfs) needed+=(mkfs.vfat fusefat bindfs) ;;
    exfat) needed+=(mkfs.exfat mount.exfat-fuse losetup) ;;
    ntfs) needed+=(mkntfs ntfs-3g losetup) ;;
    *) echo "fs_targets: unknown kind $kind" >&2; exit 2 ;;
  esac
done
missing=()
for tool in $(printf '%s\n' "${needed[@]}" | sort -u); do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] || skip "missing ${missing[*]} (scripts/deps.sh installs them)"

tmp=$(mktemp -d /tmp/fs_targets.XXXXXX)
mounts=()  # mount points, innermost last
loops=()   # loop devices attached for the current mount
declare -A daemon_of

# True while the FUSE daemon has not finished: a daemonized driver whose
# parent has gone may stay a zombie here, which counts as finished.
daemon_running() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Unmounts everything this script mounted and waits for each driver to exit,
# so that the next mount of the same image reads what it wrote.
unmount_all() {
  local i mnt pid n
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    mnt=${mounts[i]}
    for n in 1 2 3 4 5; do
      umount "$mnt" 2>/dev/null && break
      mountpoint -q "$mnt" || break
      sleep 0.5
    done
    if mountpoint -q "$mnt"; then
      echo "fs_targets: $mnt stays busy; detaching it lazily" >&2
      umount -l "$mnt" || true
    fi
    pid=${daemon_of[$mnt]:-}
    for ((n = 0; n < 100; n++)); do
      [ -n "$pid" ] && daemon_running "$pid" || break
      sleep 0.1
    done
  done
  mounts=()
  for dev in "${loops[@]}"; do
    losetup -d "$dev" 2>/dev/null || true
  done
  loops=()
}

cleanup() {
  local rc=$?
  unmount_all
  rm -rf --one-file-system "$tmp"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

fail() {
  echo "FAIL $kind: $step: $*" >&2
  exit 1
}
pass() { echo "ok   $kind: $step"; }

# Records a mount that a driver has just made at $1.
mounted() {
  mountpoint -q "$1" || fail "the driver exited but $1 is not mounted"
  mounts+=("$1")
  daemon_of[$1]=$(pgrep -f -- " $1\$" | head -n 1 || true)
}

# Sets $device to a loop device for image $1, or to the image itself where
# loop devices cannot be had (the drivers also take a plain file, which is
# less like a real disk).
attach() {
  if device=$(losetup -f --show "$1" 2>/dev/null); then
    loops+=("$device")
  else
    device=$1
  fi
}

# Mounts the image of $kind in $work and sets $target, the folder that takes
# the copies.
mount_target() {
  local disk=$work/disk log=$work/driver.log
  # The drivers chatter on every mount; their words matter only on a failure.
  case $kind in
    fat | fat-bindfs) fusefat -o rw+ "$work/fat.img" "$disk" ;;
    exfat) attach "$work/ex.img" && mount.exfat-fuse "$device" "$disk" ;;
    ntfs) attach "$work/nt.img" && ntfs-3g -o windows_names "$device" "$disk" ;;
  esac >"$log" 2>&1 || fail "could not mount the $kind image:"$'\n'"$(cat "$log")"
  mounted "$disk"
  target=$disk
  if [ "$kind" = fat-bindfs ]; then
    bindfs --chmod-ignore "$disk" "$work/view" >"$log" 2>&1 ||
      fail "bindfs could not mount $disk:"$'\n'"$(cat "$log")"
    mounted "$work/view"
    target=$work/view
  fi
}

remount() {
  unmount_all
  mount_target
}

make_image() {
  case $kind in
    fat | fat-bindfs) truncate -s 300M "$work/fat.img" && mkfs.vfat -F 32 "$work/fat.img" ;;
    exfat) truncate -s 300M "$work/ex.img" && mkfs.exfat "$work/ex.img" ;;
    ntfs) truncate -s 300M "$work/nt.img" && mkntfs -F -Q "$work/nt.img" ;;
  esac >/dev/null 2>&1 || fail "could not make the $kind image"
}

# Fills $1 with 30 files: sizes from 0 B to 1 MiB, a sparse file ending in a
# hole, times on odd and even seconds with and without fractions, two files
# below subfolders, and a UTF-8 name where the file system takes one.
make_tree() {
  local src=$1 i size name
  local -a sizes=(1 13 511 512 513 4095 4096 4097 32768 65535 65536 99999 262144 524287 1048576 1536
    7 100 2000 8191 8193 16384 131072 700000 3)
  local -a times=('2020-01-01 12:00:13.5' '2020-02-29 23:59:59.999' '2021-07-04 08:15:01.25'
    '2019-12-31 23:59:59' '2020-03-01 00:00:00' '2022-08-08 08:08:08' '2022-08-08 08:08:08.75')
  mkdir -p "$src/sub/deeper"
  for i in "${!sizes[@]}"; do
    size=${sizes[i]}
    name=$(printf 'f%02d-%d.bin' "$i" "$size")
    head -c "$size" /dev/urandom >"$src/$name"
    touch -d "${times[i % ${#times[@]}]}" "$src/$name"
  done
  : >"$src/empty.txt"
  touch -d '2021-01-01 00:00:01' "$src/empty.txt"
  head -c 4096 /dev/urandom >"$src/sparse.img"
  truncate -s 3M "$src/sparse.img"
  touch -d '2020-06-15 10:20:31.5' "$src/sparse.img"
  echo "inner" >"$src/sub/inner.txt"
  touch -d '2020-05-05 05:05:05.5' "$src/sub/inner.txt"
  head -c 3000 /dev/urandom >"$src/sub/deeper/leaf.dat"
  touch -d '2020-05-05 05:05:06' "$src/sub/deeper/leaf.dat"
  case $kind in
    fat*) name=plain-name.txt ;;
    *) name=café-Ünïcode.txt ;;
  esac
  echo "$name" >"$src/$name"
  touch -d '2023-03-03 03:03:03.3' "$src/$name"
}

# Runs tandrel-cli $1 on $src and $dst; sets $out (stdout and stderr) and
# $rc. A driver that hangs ends the run instead of the whole test.
tandrel() {
  rc=0
  out=$(timeout 120 "$cli" "$1" "$src" "$dst" 2>&1) || rc=$?
}

expect_plan_empty() {
  tandrel plan
  [ "$rc" -eq 0 ] || fail "plan exited with $rc:"$'\n'"$out"
  [ -z "$out" ] || fail "expected an empty plan, plan printed:"$'\n'"$out"
  pass
}

# $1: "only" when the sync must have had nothing to do.
expect_sync() {
  tandrel sync
  [ "$rc" -eq 0 ] || fail "sync exited with $rc:"$'\n'"$out"
  if [ "${1:-}" = only ]; then
    [ "$out" = Done. ] || fail "expected only \"Done.\", sync printed:"$'\n'"$out"
  else
    [ "$(tail -n 1 <<<"$out")" = Done. ] || fail "expected \"Done.\" last, sync printed:"$'\n'"$out"
  fi
  pass
}

# Every file of the source tree is in the top folder of $dst with the same
# bytes and a time within the file system's precision, nothing else is, and
# no temporary file is left anywhere on the mount.
expect_copies() {
  local f d ts td delta want got
  # A sync that overwrote files in the source tree kept them in its record.
  want=$(find "$src" -name .tandrel -prune -o -type f -printf '%f\n' | sort)
  got=$(find "$dst" -maxdepth 1 -type f ! -name '~*' -printf '%f\n' | sort)
  [ "$want" = "$got" ] || fail "expected exactly the source's files in $dst:"$'\n'"$(diff <(echo "$want") <(echo "$got") || true)"
  while IFS= read -r -d '' f; do
    d=$dst/${f##*/}
    cmp -s "$f" "$d" || fail "$d differs from $f"
    ts=$(stat -c %.9Y "$f")
    td=$(stat -c %.9Y "$d")
    delta=$((10#${ts/./} - 10#${td/./}))
    ((delta < 0)) && delta=$((-delta))
    ((delta < precision * 1000000000)) ||
      fail "$d has time $td, $f has $ts: more than ${precision} s apart"
  done < <(find "$src" -name .tandrel -prune -o -type f -print0)
  got=$(find "$target" -name '~tandrel-*.tmp')
  [ -z "$got" ] || fail "temporary files left:"$'\n'"$got"
  pass
}

# Every file of both trees but the syncs' records: path, size, time in
# whole seconds, and a checksum.
snapshot() {
  local f
  while IFS= read -r -d '' f; do
    printf '%s %s %s\n' "$f" "$(stat -c '%s %Y' "$f")" "$(md5sum <"$f" | cut -d' ' -f1)"
  done < <(find "$src" "$dst" -name .tandrel -prune -o -type f -print0 | sort -z)
}

run_kind() {
  work=$tmp/$kind
  src=$work/src
  mkdir -p "$work/disk" "$work/view"
  step="make and mount the image"
  make_image
  mount_target
  make_tree "$src"
  dst=$target/dst
  mkdir "$dst"
  precision=1
  case $kind in fat*) precision=2 ;; esac
  pass

  step="sync into an empty folder" expect_sync
  step="plan after the sync" expect_plan_empty
  remount
  step="plan after a remount" expect_plan_empty
  step="bytes, times, no temporaries after a remount" expect_copies

  step="plan with one file newer on each side"
  touch -d '2024-01-01 10:00:01.5' "$src/f03-512.bin"
  # fusefat neither truncates on open nor extends a file that has data:
  # replace the file instead of writing over it.
  rm "$dst/f07-4097.bin"
  head -c 7777 /dev/urandom >"$dst/f07-4097.bin"
  touch -d '2024-01-01 11:00:03.25' "$dst/f07-4097.bin"
  tandrel plan
  local want
  want=$(printf '%s\t%s\n' "$src/f03-512.bin" "$dst/f03-512.bin" \
    "$dst/f07-4097.bin" "$src/f07-4097.bin" | sort)
  [ "$rc" -eq 0 ] && [ "$(cut -f1,3 <<<"$out" | sort)" = "$want" ] ||
    fail "expected the two overwrites (source, destination):"$'\n'"$want"$'\n'"plan printed (exit $rc):"$'\n'"$out"
  pass
  local before
  before=$(snapshot)
  step="sync the overwrites" expect_sync
  step="plan after the overwrites" expect_plan_empty
  remount
  step="plan after the overwrites and a remount" expect_plan_empty
  step="bytes, times, no temporaries after the overwrites" expect_copies
  step="second sync in a row" expect_sync only
  step="third sync in a row" expect_sync only

  step="undo the overwrites"
  tandrel undo
  [ "$rc" -eq 0 ] || fail "undo failed (exit $rc):"$'\n'"$out"
  remount
  [ "$(snapshot)" = "$before" ] ||
    fail "after undo and a remount the trees differ from before the sync:"$'\n'"$(diff <(echo "$before") <(snapshot) || true)"
  pass
  unmount_all
}

for kind in "${kinds[@]}"; do
  run_kind
done
echo "fs_targets: ${kinds[*]}: all passed"
