#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tandrel needs and
# that are missing. Run as root (or with sudo) on Debian 12.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest
  qt6-base-dev libgl-dev xvfb xauth xdotool twm imagemagick fonts-liberation
  rsync hyperfine time jq
  g++-mingw-w64-x86-64-posix wine64 wine
  dpkg-dev file lintian desktop-file-utils appstream help2man nsis zip unzip librsvg2-bin
  strace procps man-db
  fuse3 libfuse3-dev fd-find
  samba samba-vfs-modules smbnetfs
  mount dosfstools fusefat bindfs exfatprogs exfat-fuse ntfs-3g
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
