#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Draws the program's icon (a white ring with a white play triangle, transparent elsewhere) at
# every size the desktop asks for. The PNGs are committed; run this only to change the artwork.
set -euo pipefail
cd "$(dirname "$0")/../resources/icons"
for size in 16 32 48 64 128 256; do
    big=$((size * 8))          # draw 8x larger, then scale down: smooth edges
    s=$(awk "BEGIN{print $big/16}")
    c=$(awk "BEGIN{print 8*$s}")
    r=$(awk "BEGIN{print 6.6*$s}")
    w=$(awk "BEGIN{print 1.6*$s}")
    tri=$(awk "BEGIN{printf \"%f,%f %f,%f %f,%f\", 6.1*$s,4.6*$s, 6.1*$s,11.4*$s, 11.6*$s,8*$s}")
    convert -size ${big}x${big} xc:none \
        -fill none -stroke white -strokewidth "$w" -draw "circle $c,$c $c,$(awk "BEGIN{print $c-$r}")" \
        -stroke none -fill white -draw "polygon $tri" \
        -filter Box -resize ${size}x${size} -define png:color-type=6 PNG32:orvaneplayer-${size}.png
done
