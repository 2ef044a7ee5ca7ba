#!/usr/bin/env bash
# Draws tandrel.ico: the picture of the Linux window host's icon (ui/qt),
# a green arrow up on the left and a blue arrow down on the right, in every
# size Windows asks for. Needs ImageMagick; run it again after changing the
# picture and commit the result.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# An arrow on the 32-unit grid, at centre x, pointing up or down.
arrow() {
  local x=$1 dir=$2 s=$3
  awk -v x="$x" -v d="$dir" -v s="$s" 'BEGIN {
    top = 3; bottom = 29; head = 12
    if (d == "up") {
      n = split(x" "top" "x+7" "top+head" "x+3" "top+head" "x+3" "bottom" "x-3" "bottom" "x-3" "top+head" "x-7" "top+head, p, " ")
    } else {
      n = split(x" "bottom" "x+7" "bottom-head" "x+3" "bottom-head" "x+3" "top" "x-3" "top" "x-3" "bottom-head" "x-7" "bottom-head, p, " ")
    }
    out = "polygon"
    for (i = 1; i <= n; i += 2) out = out sprintf(" %.2f,%.2f", p[i] * s, p[i + 1] * s)
    print out
  }'
}

sizes=(16 24 32 48 64 256)
for size in "${sizes[@]}"; do
  s=$(awk -v n="$size" 'BEGIN { printf "%.4f", n / 32 }')
  stroke=$(awk -v n="$size" 'BEGIN { w = n / 32; if (w < 1) w = 1; printf "%.2f", w }')
  convert -size "${size}x${size}" xc:none -strokewidth "$stroke" \
    -fill '#2e7d32' -stroke '#1c4b1f' -draw "$(arrow 9 up "$s")" \
    -fill '#1565c0' -stroke '#0d3f78' -draw "$(arrow 23 down "$s")" \
    "PNG32:$tmp/icon-$size.png"
done
files=()
for size in "${sizes[@]}"; do files+=("$tmp/icon-$size.png"); done
convert "${files[@]}" tandrel.ico
echo "wrote $(pwd)/tandrel.ico"
