#!/usr/bin/env bash
# Renders packaging/vaskel.svg into the PNG sizes of the hicolor theme (packaging/icons/), which
# are kept in the tree. Run after changing the SVG; needs rsvg-convert (librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
command -v rsvg-convert >/dev/null || { echo "rsvg-convert is missing: apt-get install librsvg2-bin" >&2; exit 1; }
mkdir -p icons
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" vaskel.svg -o "icons/vaskel-$size.png"
done
