#!/usr/bin/env bash
# Quality of vendrel-prep against ffmpeg's own palettegen/paletteuse route on
# the same clips: mean squared error per frame against the source (the target
# shows 4-bit level c as c * 17) and the size of vendrel's stream.
#
#   bash bench/prep_quality.sh [BUILD_DIR] [SECONDS]     (defaults: build, 2)
#
# CLIPS and ROUTES (space-separated names) choose a part of the table.
# The stream size is vendrel's own byte total (the file itself grows in
# 8192-byte blocks).
# Clips are made at 320 x 200 and 15 fps with lossless ffv1, so every route
# starts from the very same pixels and no scaling is involved.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
SECONDS_=${2:-2}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
g++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/prep_quality" bench/prep_quality.cpp
Q="$WORK/prep_quality"

declare -A SOURCES=(
  [testsrc2]="testsrc2=size=320x200:rate=15"
  [mandelbrot]="mandelbrot=size=320x200:rate=15"
  [noise]="nullsrc=size=320x200:rate=15,geq=random(1)*255:128:128"
  [colournoise]="nullsrc=size=320x200:rate=15,geq=lum=random(1)*255:cb=random(2)*255:cr=random(3)*255"
  [gradients]="gradients=size=320x200:rate=15:speed=0.02:nb_colors=3,format=rgb24"
)

encode() {  # DIR FRAMES -> stream bytes
  "$BUILD/vendrel" -c2 -e$(( $2 - 1 )) "$1/frame%05d.bmp" "$1/movie.bin" > "$1/vendrel.log"
  if grep -q "overflow" "$1/vendrel.log"; then echo "REFUSED"; return; fi
  sed -n 's/^total [0-9]* frames , \([0-9]*\).*/\1/p' "$1/vendrel.log"
}

printf "%-10s %-28s %9s %7s %7s %12s\n" clip route mse psnr colours stream
for name in ${CLIPS:-testsrc2 mandelbrot noise colournoise gradients}; do
  clip="$WORK/$name.mkv"
  ffmpeg -v error -y -f lavfi -i "${SOURCES[$name]}" -t "$SECONDS_" -c:v ffv1 "$clip"
  ffmpeg -v error -y -i "$clip" -pix_fmt rgb24 -f rawvideo "$WORK/$name.rgb"
  frames=$(( $(stat -c %s "$WORK/$name.rgb") / 192000 ))

  for route in ${ROUTES:-prep prep-ordered ffmpeg-single ffmpeg-full}; do
    dir="$WORK/$name-$route"; mkdir -p "$dir"
    case $route in
      prep) "$BUILD/vendrel-prep" --fit stretch --no-audio "$clip" "$dir" > /dev/null ;;
      prep-ordered) "$BUILD/vendrel-prep" --fit stretch --no-audio --dither ordered "$clip" "$dir" > /dev/null ;;
      ffmpeg-single)
        ffmpeg -v error -y -i "$clip" -filter_complex \
          "split[a][b];[a]palettegen=max_colors=64:reserve_transparent=0:stats_mode=single[p];[b][p]paletteuse=new=1:dither=none" \
          -pix_fmt rgb24 -f rawvideo "$WORK/pal.rgb"
        "$Q" tobmp "$WORK/pal.rgb" "$dir" > /dev/null ;;
      ffmpeg-full)
        ffmpeg -v error -y -i "$clip" -vf "palettegen=max_colors=64:reserve_transparent=0" "$WORK/pal.png"
        ffmpeg -v error -y -i "$clip" -i "$WORK/pal.png" -filter_complex "[0][1]paletteuse=dither=none" \
          -pix_fmt rgb24 -f rawvideo "$WORK/pal.rgb"
        "$Q" tobmp "$WORK/pal.rgb" "$dir" > /dev/null ;;
    esac
    read -r _ n _ m _ p _ c < <("$Q" mse "$WORK/$name.rgb" "$dir")
    [ "$n" = "$frames" ] || echo "warning: $route wrote $n of $frames frames"
    printf "%-10s %-28s %9s %7s %7s %12s\n" "$name" "$route" "$m" "$p" "$c" "$(encode "$dir" "$n")"
  done
done
