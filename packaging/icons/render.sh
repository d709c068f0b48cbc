#!/usr/bin/env bash
# Renders Tandrel's icon, tandrel.svg, into the PNGs of the Linux icon theme
# and the multi-size tandrel.ico of the Windows executables and installer.
# The results are committed, so that a build needs neither tool; run this
# again after changing the SVG. Needs rsvg-convert (librsvg2-bin) and
# ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" tandrel.svg -o "tandrel-$size.png"
done
# ImageMagick's own convert by its full path: the .ico must keep its alpha.
/usr/bin/convert tandrel-16.png tandrel-32.png tandrel-48.png tandrel-256.png tandrel.ico
# Only the theme's sizes stay as PNGs.
rm tandrel-16.png tandrel-32.png
