#!/usr/bin/env bash
# Walks the road of one use through the native window (tandrel.exe's Form1
# with a scripted folder browser) under Wine and Xvfb, and saves a picture
# after each step as PNG: start, folders chosen, plan, a row unticked,
# synced. Needs a mingw build with the window (scripts/windows-build.sh),
# xvfb-run and ImageMagick.
#
# Usage: scripts/windows-screenshots.sh [OUTPUT_FOLDER]   (build/mingw/screenshots)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
walk=$root/build/mingw/tests/win32/window_walk.exe
out=$(realpath -m "${1:-$root/build/mingw/screenshots}")
if [[ ! -f $walk ]]; then
  echo "windows-screenshots: no $walk (the window is built when the sync engine is in the tree)" >&2
  exit 1
fi
mkdir -p "$out"
rm -f "$out"/*.bmp
export WINEPREFIX="$root/build/mingw/wine-prefix-window" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# With twm the window gets its title bar. Wine's drive Z: is the Linux root.
twmrc=$(mktemp)
trap 'rm -f "$twmrc"' EXIT
"$root/scripts/twmrc.sh" "$twmrc"
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
  if command -v twm >/dev/null; then LC_ALL=C twm -f "$1" >/dev/null 2>&1 & sleep 0.5; fi
  wine "$2" "$3"' screenshots "$twmrc" "$walk" "Z:${out//\//\\}"
for bmp in "$out"/*.bmp; do
  convert "$bmp" "${bmp%.bmp}.png"
  rm "$bmp"
done
ls "$out"
