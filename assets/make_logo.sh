#!/bin/sh
# Draws assets/logo.jpg, the window's 160x40 logo: a gauge dial with a trace
# and the word TALVIRO. Needs ImageMagick and the DejaVu fonts; the JPEG it
# makes is committed, so a build needs neither.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
font_dir=/usr/share/fonts/truetype/dejavu
convert -size 160x40 xc:'#1d3b53' \
  -fill '#2b5876' -draw 'roundrectangle 2,2 157,37 6,6' \
  -fill none -stroke '#f2c14e' -strokewidth 2 -draw 'arc 6,6 34,34 180,360' \
  -stroke '#f2c14e' -strokewidth 2 -draw 'line 20,20 29,11' \
  -fill '#f2c14e' -stroke none -draw 'circle 20,20 22,20' \
  -fill none -stroke '#7fdbca' -strokewidth 1.5 \
  -draw 'polyline 6,29 10,29 12,25 15,33 18,26 21,30 24,28 28,29 34,29' \
  -stroke none -fill '#ffffff' -font "$font_dir/DejaVuSans-Bold.ttf" -pointsize 17 \
  -annotate +42+21 'TALVIRO' \
  -fill '#b9d3e6' -font "$font_dir/DejaVuSans.ttf" -pointsize 9 \
  -annotate +43+33 'probe measurement' \
  -strip -quality 90 -sampling-factor 1x1 "$here/logo.jpg"
