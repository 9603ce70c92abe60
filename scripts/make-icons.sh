#!/usr/bin/env bash
# Draws the program's icon at the sizes the desktop looks for (16, 32, 48 and 256 pixels) into
# data/icons/. The PNGs are committed; run this only after changing the drawing.
#
# The icon: a drive (with its label strip and activity light) whose two bays hold halves of blue
# and green, the lower halves exchanged, as a conversion exchanges the second halves of scoops.
set -euo pipefail
cd "$(dirname "$0")/.."

draw() { # size
  local size=$1
  # Coordinates are on a 256 grid, scaled and rounded to whole pixels for each size.
  s() { echo $(( ($1 * size + 128) / 256 )); }
  local r=$(( size >= 48 ? size / 10 : 1 ))
  convert -size "${size}x${size}" xc:none \
    -fill '#2f3a46' -draw "roundrectangle $(s 8),$(s 32) $(( $(s 248) - 1 )),$(( $(s 232) - 1 )) $r,$r" \
    -fill '#9fb3c8' -draw "rectangle $(s 32),$(s 204) $(( $(s 160) - 1 )),$(( $(s 212) - 1 ))" \
    -fill '#7cfc00' -draw "rectangle $(s 200),$(s 200) $(( $(s 224) - 1 )),$(( $(s 216) - 1 ))" \
    -fill '#117dbb' -draw "rectangle $(s 32),$(s 56) $(( $(s 120) - 1 )),$(( $(s 120) - 1 ))" \
    -fill '#4da60c' -draw "rectangle $(s 32),$(s 120) $(( $(s 120) - 1 )),$(( $(s 184) - 1 ))" \
    -fill '#4da60c' -draw "rectangle $(s 136),$(s 56) $(( $(s 224) - 1 )),$(( $(s 120) - 1 ))" \
    -fill '#117dbb' -draw "rectangle $(s 136),$(s 120) $(( $(s 224) - 1 )),$(( $(s 184) - 1 ))" \
    "data/icons/scoopshift-${size}.png"
}

mkdir -p data/icons
for size in 16 32 48 256; do
  draw "$size"
done
