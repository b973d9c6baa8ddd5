#!/usr/bin/env bash
# Renders the application icon's PNGs from klv.svg. The PNGs are kept in the
# repository, so run this only after changing the drawing (needs librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48; do
  rsvg-convert --width "$size" --height "$size" --output "klv-$size.png" klv.svg
done
