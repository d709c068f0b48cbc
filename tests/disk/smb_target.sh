#!/usr/bin/env bash
# Syncs onto an SMB share as Linux desktops reach one without the cifs
# module: through smbnetfs, a FUSE driver over libsmbclient, here to a
# private Samba server on the loopback address.
#
# A share keeps only the names Windows allows, and smbnetfs adds its own
# rules: libsmbclient ends a path at '?' (the rest is taken for URL options,
# so "a?b.txt" is written as "a"), a ':' names a stream (Samba answers that
# the name is invalid, the smbnetfs worker exits on the answer, and smbnetfs
# then answers EIO for the whole server for neg_cache_timeout, 3 s), and a
# name ending in a dot or a blank is stored but listed under a mangled 8.3
# name. A lookup by the original name succeeds in all of these cases except
# ':', so only a fresh listing shows what the share kept.
#
# Checks: each such name either arrives intact (a fresh listing shows
# exactly that name with the source's bytes, also after a remount) or its
# row fails, before anything is sent ("Windows does not allow") or after
# a look at the share ("did not keep the name"), and no file is left under
# a changed name; no row is "Done" without its file; a run stopped by a failed row
# leaves no temporary on the share; and the next plan proposes exactly the
# rows that were not done.
#
# Usage: smb_target.sh TANDREL_CLI
# Exits 77 (skipped) without root, /dev/fuse, smbd or smbnetfs.
set -Eeuo pipefail
trap 'echo "FAIL ${step:-setup}: \"$BASH_COMMAND\" failed" >&2' ERR

if [ $# -ne 1 ]; then
  echo "usage: $0 TANDREL_CLI" >&2
  exit 2
fi
cli=$(realpath "$1")

skip() {
  echo "smb_target: skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root to mount and to run smbd"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -x "$cli" ] || { echo "smb_target: $cli is not an executable" >&2; exit 2; }
missing=()
for tool in smbd smbpasswd smbnetfs setsid pgrep mountpoint umount timeout cmp find; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] || skip "missing ${missing[*]} (apt-get install samba smbnetfs)"

tmp=$(mktemp -d /tmp/smb_target.XXXXXX)
mnt=$tmp/mnt
password=Tandrel-1
smbd_pid=
smbnetfs_pid=
passed=0
failures=0

# True while process $1 has not finished (a zombie counts as finished: it
# may stay one where nobody reaps it).
running() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# True while a process of the process group $1 has not finished.
group_running() {
  local pid
  for pid in $(pgrep -g "$1" 2>/dev/null || true); do
    running "$pid" && return 0
  done
  return 1
}

# Ends the process group $1 (started by this script through setsid): a
# polite signal, some time, then the end.
stop_group() {
  local n
  kill -TERM -- "-$1" 2>/dev/null || true
  for ((n = 0; n < 100; n++)); do
    group_running "$1" || break
    sleep 0.1
  done
  kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

unmount_share() {
  local n
  if mountpoint -q "$mnt"; then
    for n in 1 2 3 4 5; do
      umount "$mnt" 2>/dev/null && break
      sleep 0.5
    done
    if mountpoint -q "$mnt"; then
      echo "smb_target: $mnt stays busy; detaching it lazily" >&2
      umount -l "$mnt" || true
    fi
  fi
  # Without its mount the driver ends by itself; its workers follow.
  if [ -n "$smbnetfs_pid" ]; then
    for ((n = 0; n < 100; n++)); do
      group_running "$smbnetfs_pid" || break
      sleep 0.1
    done
    stop_group "$smbnetfs_pid"
    smbnetfs_pid=
  fi
}

cleanup() {
  local rc=$?
  unmount_share
  [ -z "$smbd_pid" ] || stop_group "$smbd_pid"
  # Never into a mount that would not go away.
  rm -rf --one-file-system "$tmp"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

pass() {
  passed=$((passed + 1))
  echo "ok   $step"
}
# A check that failed; the others still run, so that one run tells all.
fail() {
  failures=$((failures + 1))
  echo "FAIL $step: $*" >&2
}
# A failure after which nothing else can be checked.
die() {
  echo "FAIL ${step:-setup}: $*" >&2
  exit 1
}
note() { echo "     $*"; }

# Names, each in quotes, one line.
quoted() {
  local name text=''
  while IFS= read -r name; do
    [ -n "$name" ] && text+="\"$name\" "
  done <<<"$1"
  echo "${text:-nothing}"
}

# True when something listens on 127.0.0.1 port $1.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Starts smbd on 127.0.0.1 alone, on port 445 where it is free (smbnetfs
# then reaches the share as 127.0.0.1/share), otherwise on a free port
# (127.0.0.1:PORT/share, which libsmbclient reads as a port). Sets $host.
start_server() {
  local dir=$tmp/samba port n
  mkdir -p "$dir"/{private,lock,state,cache,run,log} "$tmp/share"
  port=445
  if listening 445; then
    for ((port = 44500; port < 44600; port++)); do
      listening "$port" || break
    done
  fi
  host=127.0.0.1
  [ "$port" -eq 445 ] || host=127.0.0.1:$port
  # Samba's defaults for names (mangled names = illegal, no streams
  # module), as a share set up by hand has them.
  cat >"$dir/smb.conf" <<EOF
[global]
  server role = standalone server
  workgroup = TANDREL
  netbios name = TANDRELTEST
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server min protocol = SMB2_10
  map to guest = never
  pid directory = $dir/run
  lock directory = $dir/lock
  state directory = $dir/state
  cache directory = $dir/cache
  private dir = $dir/private
  ncalrpc dir = $dir/run/ncalrpc
  passdb backend = tdbsam:$dir/private/passdb.tdb
  log file = $dir/log/smbd.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  rpc start on demand helpers = no
[share]
  path = $tmp/share
  read only = no
  valid users = root
EOF
  printf '%s\n%s\n' "$password" "$password" |
    smbpasswd -c "$dir/smb.conf" -s -a root >"$dir/log/smbpasswd" 2>&1 ||
    die "smbpasswd could not add the user:"$'\n'"$(cat "$dir/log/smbpasswd")"
  # A session of its own, so that smbd and every child it forks are ended
  # together, and nothing else. A background job of a script leads no
  # process group, so setsid runs smbd itself and $! is smbd's group.
  setsid smbd --foreground --no-process-group --debug-stdout -s "$dir/smb.conf" \
    >"$dir/log/smbd.out" 2>&1 &
  smbd_pid=$!
  for ((n = 0; n < 200; n++)); do
    listening "$port" && return 0
    running "$smbd_pid" || break
    sleep 0.1
  done
  die "smbd does not listen on 127.0.0.1:$port:"$'\n'"$(tail -n 20 "$dir/log/smbd.out")"
}

# Mounts smbnetfs on $mnt with a HOME of its own (its configuration, the
# password, libsmbclient's smb.conf) and waits until the share lists. Sets
# $share.
mount_share() {
  local home=$tmp/home n
  mkdir -p "$home/.smb" "$mnt"
  # No browsing: it would look for servers beyond the loopback address.
  cat >"$home/.smb/smb.conf" <<EOF
[global]
  workgroup = TANDREL
  disable netbios = yes
  name resolve order = host
  client min protocol = SMB2_10
EOF
  cat >"$home/.smb/smbnetfs.conf" <<EOF
smb_query_browsers "false"
use_libsecret "false"
include "smbnetfs.auth"
EOF
  (umask 077 && echo "auth \"root\" \"$password\"" >"$home/.smb/smbnetfs.auth")
  # In the foreground, so that $! is the driver and its group.
  HOME=$home setsid smbnetfs "$mnt" -f -o "config=$home/.smb/smbnetfs.conf" \
    >>"$tmp/smbnetfs.log" 2>&1 &
  smbnetfs_pid=$!
  share=$mnt/$host/share
  for ((n = 0; n < 200; n++)); do
    mountpoint -q "$mnt" && ls "$share" >/dev/null 2>&1 && return 0
    running "$smbnetfs_pid" || break
    sleep 0.1
  done
  die "smbnetfs does not show $share:"$'\n'"$(tail -n 20 "$tmp/smbnetfs.log")"
}

remount() {
  unmount_share
  mount_share
}

# Runs tandrel-cli with the arguments given; sets $out (stdout), $err
# (stderr) and $rc. A driver that hangs ends the run instead of the test.
tandrel() {
  rc=0
  out=$(timeout 120 "$cli" "$@" 2>"$tmp/stderr") || rc=$?
  err=$(<"$tmp/stderr")
}

# From the last sync's output: done_row[SOURCE] for each row printed
# "Done", reason_of[SOURCE] for each row that could not be copied.
declare -A done_row reason_of
read_sync() {
  local line rest i j reason
  local -a lines
  done_row=()
  reason_of=()
  while IFS= read -r line; do
    rest=${line#*$'\t'}
    [ "${rest%%$'\t'*}" != Done ] || done_row[${line%%$'\t'*}]=1
  done <<<"$out"
  mapfile -t lines <<<"$err"
  # "Could not copy", SOURCE, "to", TARGET, then the reason, each after a
  # blank line.
  for ((i = 0; i < ${#lines[@]}; i++)); do
    [ "${lines[i]}" = "tandrel-cli: Could not copy" ] || continue
    reason=
    for ((j = i + 8; j < ${#lines[@]}; j++)); do
      [[ ${lines[j]} != "tandrel-cli: "* ]] || break
      [ -z "${lines[j]}" ] || reason+="${reason:+ }${lines[j]}"
    done
    reason_of[${lines[i + 2]}]=$reason
  done
}

# Sets $listed to the names in folder $1 (but the runs' record) as a fresh
# listing shows them: a new handle each time, since smbnetfs lists a folder
# once per handle. After a request it could not send, smbnetfs answers EIO
# for the whole server for a few seconds: that spell is waited out, and told.
list_names() {
  local n first=''
  for ((n = 0; n < 20; n++)); do
    if listed=$(find "$1" -mindepth 1 -maxdepth 1 ! -name .tandrel -printf '%f\n' 2>"$tmp/find.err" |
      LC_ALL=C sort); then
      [ -z "$first" ] || note "the share answered \"$first\" for a while first"
      return 0
    fi
    [ -n "$first" ] || first=$(head -n 1 "$tmp/find.err")
    sleep 0.5
  done
  fail "$1 cannot be listed: $(cat "$tmp/find.err")"
  return 1
}

# The names that the server itself holds in the share's folder $1.
server_names() {
  find "$tmp/share/$1" -mindepth 1 -maxdepth 1 ! -name .tandrel -printf '%f\n' | LC_ALL=C sort
}

# The rows of the last sync: sources[i] is copied into $dst as targets[i].
sources=()
targets=()

# Checks that folder $dst of the share shows exactly the files of the rows
# done, each with its source's bytes.
expect_files_of_done_rows() {
  local i want='' bad=''
  for i in "${!sources[@]}"; do
    [ -z "${done_row[${sources[i]}]:-}" ] || want+="${targets[i]}"$'\n'
  done
  want=$(LC_ALL=C sort <<<"${want%$'\n'}")
  list_names "$dst" || return 0
  if [ "$want" != "$listed" ]; then
    fail "expected exactly the files of the rows done, $(quoted "$want"); the share shows $(quoted "$listed") (the server holds $(quoted "$(server_names "${dst#"$share"/}")"))"
    return 0
  fi
  for i in "${!sources[@]}"; do
    [ -z "${done_row[${sources[i]}]:-}" ] || cmp -s "${sources[i]}" "$dst/${targets[i]}" ||
      bad+="\"${targets[i]}\" "
  done
  [ -z "$bad" ] || { fail "these differ from their sources: $bad"; return 0; }
  pass
}

# Checks that plan proposes exactly the rows of the last sync that were not
# done.
expect_plan_of_rows_not_done() {
  local i want='' got
  for i in "${!sources[@]}"; do
    [ -n "${done_row[${sources[i]}]:-}" ] || want+="${sources[i]}"$'\t'"$dst/"$'\n'
  done
  want=$(LC_ALL=C sort <<<"${want%$'\n'}")
  tandrel plan "$src" "$dst"
  got=$(cut -f1,3 <<<"$out" | LC_ALL=C sort)
  if [ "$rc" -ne 0 ] || [ "$got" != "$want" ]; then
    fail "expected these rows (source, destination):"$'\n'"${want:-(none)}"$'\n'"plan printed (exit $rc):"$'\n'"$out"$'\n'"$err"
    return 0
  fi
  pass
}

# Checks that no temporary of a sync is left in $dst, as the share shows it
# and as the server holds it.
expect_no_temporaries() {
  local seen held
  if ! seen=$(find "$dst" -name '~tandrel-*.tmp' -printf '%f\n' 2>&1 | LC_ALL=C sort); then
    fail "the share cannot be searched: $seen"
    return 0
  fi
  held=$(find "$tmp/share/${dst#"$share"/}" -name '~tandrel-*.tmp' -printf '%f\n' | LC_ALL=C sort)
  if [ -n "$seen$held" ]; then
    fail "temporary files left: $(quoted "$seen") (the server holds $(quoted "$held"))"
    return 0
  fi
  pass
}

# One file per name, each with bytes of its own and an old time, so that a
# copy that lost its time shows up in the next plan.
make_file() {
  { printf 'copy of <%s>\n' "$2"; head -c "$3" /dev/urandom; } >"$1/$2"
  touch -d '2021-03-04 05:06:07' "$1/$2"
}

step="start smbd and mount the share through smbnetfs"
start_server
mount_share
pass
note "share: $share (server folder $tmp/share)"

# Syncs files of the names given with -k from a new folder into a new
# folder "$1" of the share, and checks every row after the run and after a
# remount.
sync_names() {
  local label=$1 name size=100
  shift
  src=$tmp/src-$label
  dst=$share/$label
  mkdir -p "$src" "$dst"
  sources=()
  targets=()
  for name in "$@"; do
    make_file "$src" "$name" "$size"
    size=$((size * 3))
    sources+=("$src/$name")
    targets+=("$name")
  done

  step="$label: sync -k"
  echo "---- $step"
  tandrel plan "$src" "$dst"
  [ $# -eq 1 ] || note "plan order: $(quoted "$(cut -f1 <<<"$out" | sed 's|.*/||')")"
  tandrel sync -k "$src" "$dst"
  read_sync
  for name in "$@"; do
    if [ -n "${done_row[$src/$name]:-}" ]; then
      note "\"$name\": Done"
    elif [ -n "${reason_of[$src/$name]+set}" ]; then
      note "\"$name\": failed: ${reason_of[$src/$name]}"
    else
      note "\"$name\": no outcome printed"
    fi
  done
  note "the server holds: $(quoted "$(server_names "$label")")"

  for name in "$@"; do
    step="$label: \"$name\" arrives or its row says the share does not take the name"
    if [ -n "${done_row[$src/$name]:-}" ]; then
      pass  # the listings below check that it is there
    elif [ -z "${reason_of[$src/$name]+set}" ]; then
      fail "sync printed neither Done nor a failure for it"
    elif [[ ${reason_of[$src/$name]} != *"did not keep the name"* &&
            ${reason_of[$src/$name]} != *"Windows does not allow"* ]]; then
      fail "its row failed with \"${reason_of[$src/$name]}\""
    else
      pass
    fi
  done
  step="$label: a fresh listing shows the file of each row done and nothing else"
  expect_files_of_done_rows
  remount
  step="$label: after a remount, the file of each row done and nothing else"
  expect_files_of_done_rows
  step="$label: after a remount, plan proposes only the rows that failed"
  expect_plan_of_rows_not_done
}

# Names that a Linux tree holds and a share cannot keep as they are, and
# one it can: all in one run (in listing order, which on ext4 depends on the
# names' hashes), then each alone, so that what a name does is not hidden
# by what another did to the share before it.
names=('a?b.txt' 'name.' 'a:b.txt' 'trail ' 'Café_ñ_日本.txt' 'a%41b.txt')
sync_names all "${names[@]}"
for i in "${!names[@]}"; do
  sync_names "alone$((i + 1))" "${names[i]}"
done

# A row that fails early in a run without -k: one row is done before it in
# the same batch, and the rows behind it are copied ahead meanwhile. A plan
# takes the files folder by folder, level by level, so depth sets the order.
step="stop: a sync stopped by a failed row"
src=$tmp/stop-src
dst=$share/stop
mkdir -p "$src/sub/more" "$dst"
make_file "$src" "first.txt" 10
make_file "$src/sub" "0:bad.txt" 10
sources=("$src/first.txt" "$src/sub/0:bad.txt")
targets=("first.txt" "0:bad.txt")
for i in 01 02 03 04 05 06 07 08 09 10 11 12; do
  make_file "$src/sub/more" "f$i.bin" 65536
  sources+=("$src/sub/more/f$i.bin")
  targets+=("f$i.bin")
done
tandrel plan "$src" "$dst"
[ "$(head -n 2 <<<"$out" | cut -f1)" = "$src/first.txt"$'\n'"$src/sub/0:bad.txt" ] ||
  die "expected the rows of first.txt and 0:bad.txt first, plan printed (exit $rc):"$'\n'"$out"$'\n'"$err"
tandrel sync "$src" "$dst"
read_sync
bad=$src/sub/0:bad.txt
if [ "$rc" -eq 0 ] || [ -z "${reason_of[$bad]+set}" ]; then
  die "expected the run to stop at 0:bad.txt, sync printed (exit $rc):"$'\n'"$out"$'\n'"$err"
fi
if [ -n "${done_row[$src/first.txt]:-}" ]; then note "\"first.txt\": Done"; else note "\"first.txt\": not done"; fi
note "\"0:bad.txt\": failed: ${reason_of[$bad]}; ${#done_row[@]} rows done"
note "the server holds: $(quoted "$(server_names stop)")"
pass

step="stop: no temporary on the share after the run"
list_names "$dst" || true
expect_no_temporaries
step="stop: a fresh listing shows the file of each row done and nothing else"
expect_files_of_done_rows
remount
step="stop: after a remount, no temporary on the share"
expect_no_temporaries
step="stop: after a remount, the file of each row done and nothing else"
expect_files_of_done_rows
step="stop: after a remount, plan proposes only the rows not done"
expect_plan_of_rows_not_done

echo "smb_target: $passed passed, $failures failed"
[ "$failures" -eq 0 ] || exit 1
