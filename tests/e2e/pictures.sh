# What a captured picture shows, for the end-to-end tests (sourced): the
# captured picture is "$work/icon.png", the artwork is in "$artwork".

# Sets `nearest` to the picture (pc1, pc2, portvane) the captured icon is
# closest to, and `measure` to what was measured. Each reference is drawn the
# way the tray draws it: scaled into the largest centred square of the icon's
# window, over the tray's background (taken from the window's corner, where
# every picture is transparent). Distance: normalised RMSE over all pixels;
# a picture farther than 0.12 from the icon is no match at all (the pictures
# lie about 0.2 apart, a match within about 0.03).
classify_icon() {
  local size width height side background name distance best=0.12
  size=$(identify -format '%w %h' "$work/icon.png") || return 1
  read -r width height <<<"$size"
  side=$((width < height ? width : height))
  background=$(convert "$work/icon.png" -format '%[pixel:p{0,0}]' info:) || return 1
  measure="icon ${width}x${height} mean rgb $(convert "$work/icon.png" -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info:)"
  nearest=
  for name in pc1 pc2 portvane; do
    convert -size "${width}x${height}" "xc:$background" \
      \( "$artwork/$name.png" -resize "${side}x${side}" \) -gravity center -composite \
      "PNG24:$work/$name-reference.png" || return 1
    distance=$(compare -metric RMSE "$work/icon.png" "$work/$name-reference.png" null: 2>&1 |
      sed -n 's/.*(\(.*\)).*/\1/p')
    [ -n "$distance" ] || return 1
    measure="$measure; RMSE to $name $distance"
    if awk -v d="$distance" -v b="$best" 'BEGIN { exit !(d < b) }'; then
      best=$distance
      nearest=$name
    fi
  done
}
