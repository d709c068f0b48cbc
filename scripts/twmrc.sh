#!/usr/bin/env bash
# Writes a twm configuration for a window manager under Xvfb to FILE:
# windows stand where their program puts them, no grab, dialogs framed, and
# the "fixed" font everywhere (Xvfb has no other, and twm quits without the
# fonts it asks for). Further arguments are added as lines.
#
#   scripts/twmrc.sh FILE [LINE...]
set -euo pipefail
file=$1
shift
printf 'UsePPosition "on"\nNoGrabServer\nDecorateTransients\n' >"$file"
for font in TitleFont MenuFont IconFont ResizeFont IconManagerFont; do
  printf '%s "fixed"\n' "$font" >>"$file"
done
for line in "$@"; do
  printf '%s\n' "$line" >>"$file"
done
