#!/bin/sh
# Draws the Dock pictures and packs each into an icon file holding the
# 128 x 128 32-bit image ('it32') and its 8-bit mask ('t8mk').
#
#   pc1.png .. pc4.png   a monitor in the computer's own colour with its number
#   portvane.png         two monitors and the switch arrow (the application itself)
#
# Needs ImageMagick (convert), icnsutils (png2icns), libicns and a C++
# compiler. The PNGs stay next to this script: tests compare what the icon
# files give back with them. It also writes the damaged icon files the tests
# use under tests/data/.
# Usage: resources/artwork/build-icons.sh   (from anywhere)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
resources=$(dirname "$here")
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf

bezel='#262a31'
stand='#59616e'
base='#3b414b'

# One computer: a monitor whose screen has the computer's colour and number.
draw_pc() { # number colour
  convert -size 128x128 xc:none \
    -fill "$bezel" -draw 'roundrectangle 6,8 121,93 11,11' \
    -fill "$2" -draw 'roundrectangle 12,14 115,87 6,6' \
    -fill "$stand" -draw 'polygon 54,93 74,93 79,108 49,108' \
    -fill "$base" -draw 'roundrectangle 32,106 95,117 5,5' \
    -font "$font" -pointsize 70 -gravity center \
    -fill '#1a1a1a' -annotate +2-11 "$1" \
    -fill white -annotate +0-13 "$1" \
    -depth 8 -define png:exclude-chunks=date,time "PNG32:$here/pc$1.png"
}

draw_pc 1 '#1f6fe0'
draw_pc 2 '#1e9e3c'
draw_pc 3 '#f08400'
draw_pc 4 '#a23cc8'

# The application: two grey monitors with a two-way arrow between them.
convert -size 128x128 xc:none \
  -fill "$bezel" -draw 'roundrectangle 2,16 58,62 6,6' \
  -fill '#8fa3b8' -draw 'roundrectangle 6,20 54,57 3,3' \
  -fill "$stand" -draw 'rectangle 25,62 35,72' \
  -fill "$base" -draw 'roundrectangle 16,71 44,76 2,2' \
  -fill "$bezel" -draw 'roundrectangle 69,16 125,62 6,6' \
  -fill '#8fa3b8' -draw 'roundrectangle 73,20 121,57 3,3' \
  -fill "$stand" -draw 'rectangle 92,62 102,72' \
  -fill "$base" -draw 'roundrectangle 83,71 111,76 2,2' \
  -fill '#f5b000' -stroke '#1a1a1a' -strokewidth 2 \
  -draw 'polygon 10,102 32,84 32,95 96,95 96,84 118,102 96,120 96,109 32,109 32,120' \
  -depth 8 -define png:exclude-chunks=date,time "PNG32:$here/portvane.png"

for name in pc1 pc2 pc3 pc4 portvane; do
  png2icns "$resources/$name.icns" "$here/$name.png" >/dev/null
done

# Test files: a picture without its mask, a family with only a smaller
# picture, and a file that is no icon file at all.
data="$(dirname "$resources")/tests/data"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$data"
c++ -O1 -o "$work/icns-remove-element" "$here/icns-remove-element.cpp" $(pkg-config --cflags --libs libicns)
"$work/icns-remove-element" "$resources/pc2.icns" t8mk "$data/no-mask.icns"
convert "$here/pc3.png" -resize 48x48 "PNG32:$work/small.png"
png2icns "$data/small-only.icns" "$work/small.png" >/dev/null
printf 'not an icon file\n' >"$data/not-an-icon.icns"
