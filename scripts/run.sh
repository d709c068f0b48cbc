#!/usr/bin/env bash
# Installs what is missing, builds Tandrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/default/src/app/tandrel ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec build/default/src/app/tandrel
  fi
  echo "There is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the"
  echo "window cannot open. To see it on a virtual display:"
  echo
  echo "  xvfb-run -a build/default/src/app/tandrel"
  echo
  echo "Meanwhile, here is what Tandrel does, through its command line:"
  echo
fi
# Without the window, show what the command-line tool does on sample folders.
build/default/src/cli/tandrel-cli --help
sample=$(mktemp -d)
mkdir -p "$sample/one/sub" "$sample/two/deep"
echo a >"$sample/one/only-in-one.txt"
echo b >"$sample/two/deep/only-in-two.txt"
echo old >"$sample/one/sub/both.txt" && touch -d '2020-01-01' "$sample/one/sub/both.txt"
echo new >"$sample/two/both.txt"
echo
echo "tandrel-cli plan $sample/one $sample/two:"
build/default/src/cli/tandrel-cli plan "$sample/one" "$sample/two"
rm -rf "$sample"
