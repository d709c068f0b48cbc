#!/usr/bin/env bash
# Walks the road of one use in the window under a virtual X server (choose,
# choose, compare, untick, sync, "Done.") on sample folders, and saves a
# picture of the screen at each step.
#
#   scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]   (default: build/default, BUILD_DIR/screenshots)
#
# Needs xvfb-run and ImageMagick's import; the window is driven by the test
# program tandrel_walkthrough, whose folder picker answers from its command
# line (the window itself reads no arguments). With twm installed the
# windows get title bars, so captions show in the pictures.
set -euo pipefail

build=${1:-build/default}
out=${2:-$build/screenshots}
walk="$build/tests/app/tandrel_walkthrough"
[[ -x "$walk" ]] || { echo "build $walk first (cmake --build $build)" >&2; exit 1; }

sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
mkdir -p "$sample/Photos/2019/summer" "$sample/Photos/~tmp" "$sample/Backup/old"
echo one > "$sample/Photos/img_001.jpg"
echo two > "$sample/Photos/2019/img_002.jpg"
echo three > "$sample/Photos/2019/summer/beach.jpg"
echo lock > "$sample/Photos/~\$notes.docx"
echo data > "$sample/Photos/~tmp/data.txt"
echo newer > "$sample/Photos/notes.txt"
touch -d '2024-05-01 12:00' "$sample/Photos/notes.txt"
echo older > "$sample/Backup/old/notes.txt"
touch -d '2020-01-01 12:00' "$sample/Backup/old/notes.txt"
echo four > "$sample/Backup/list.csv"

mkdir -p "$out"
rm -f "$out"/*.png
cat > "$sample/twmrc" <<'TWM'
UsePPosition "on"
RandomPlacement
NoGrabServer
DecorateTransients
TWM
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
  if command -v twm >/dev/null; then twm -f "$1" & sleep 0.5; fi
  "$2" "$3" "$4" "$5"' screenshots "$sample/twmrc" "$walk" "$sample/Photos" "$sample/Backup" "$out"
echo "after the sync, Backup holds:"
(cd "$sample/Backup" && find . -type f | sort)
