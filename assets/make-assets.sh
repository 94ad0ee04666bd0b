#!/usr/bin/env bash
# Draws the window icon and the banner. Needs ImageMagick and Noto Sans CJK
# (Debian: imagemagick, fonts-noto-cjk). The results are committed; run this
# again only to change them.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cjk=$(fc-match -f '%{file}' 'Noto Sans CJK SC:style=Bold')

# Icon: a blue rounded square with a white "update" arrow circling a dot.
convert -size 128x128 xc:none \
  -fill '#1d5fbf' -draw 'roundrectangle 4,4 123,123 24,24' \
  -fill '#3f8ae0' -draw 'roundrectangle 4,4 123,70 24,24' \
  -fill '#1d5fbf' -draw 'rectangle 4,50 123,70' \
  -stroke white -strokewidth 12 -fill none -draw 'arc 30,30 98,98 200,520' \
  -stroke none -fill white -draw 'polygon 84,22 110,46 78,56' \
  -fill white -draw 'circle 64,64 64,76' \
  PNG32:"$work/icon128.png"
convert "$work/icon128.png" -resize 16x16\! -gravity center -background none -extent 16x12 \
  -colors 255 PNG8:"$work/icon16.png"
convert "$work/icon16.png" "$work/icon128.png" updater.ico

# Banner: 97 x 240, a deep blue gradient with the product's mark and a
# vertical caption; flattened to one frame of 256 colours, no transparency.
convert -size 97x240 gradient:'#2a74d4'-'#0b2f6b' \
  \( "$work/icon128.png" -resize 56x56 \) -gravity north -geometry +0+26 -composite \
  -fill 'rgba(255,255,255,0.10)' -draw 'circle 90,230 90,150' \
  -fill 'rgba(255,255,255,0.07)' -draw 'circle 0,120 0,70' \
  -font "$cjk" -fill white -pointsize 17 -gravity north \
  -annotate +0+100 '在\n线\n更\n新' \
  -font "$cjk" -fill '#cfe0ff' -pointsize 9 -gravity south -annotate +0+10 'ONLINE UPDATE' \
  -background '#0b2f6b' -alpha remove -alpha off -colors 256 +dither banner.gif
identify updater.ico banner.gif
