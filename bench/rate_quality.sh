#!/usr/bin/env bash
# Picture quality at a given data rate, as a viewer sees it: vendrel-prep
# --rate R against the best hand setting (--fps with --colors) whose stream
# plays at the same rate, on films with the faults a viewer notices first.
#
#   bash bench/rate_quality.sh [BUILD_DIR] [RATES...]    (defaults: build, 60 120 250)
#
# The films (bench/clips.sh makes them from Debian's pictures and sounds):
# hard cuts between dark shots of like colours, a 10 fps street camera, a 24
# fps pan with a moving object, an off-white wall with small saturated
# objects. CLIPS="FILE..." (or CLIP=FILE) measures other video files instead. Both routes
# use --fit stretch, so the whole screen is picture; FIT=border measures a film
# as vendrel-prep shows it by default, letterboxed, against the source scaled
# and padded the same way.
#
# Every figure is taken on the 60 Hz display timeline: vendrel-view --y4m
# repeats each frame for its interval, and every display frame is compared
# with the source at that moment scaled to 320 x 200 (bench/picture_metrics.cpp):
#   psnr   RGB, over the whole film
#   ssim   on luma
#   blur   PSNR after a sigma-1 blur of both pictures (a dither from viewing distance)
#   cut    PSNR over the 0.5 s after each hard cut ("-": the film has none)
#   oklab  mean colour distance in OKLab (x 100) of the blurred pictures; lower is better
# The hand setting for each --colors (64, 32, 16, 8): the highest --fps whose
# stream plays at R under the player model (the rate vendrel-prep prints);
# "hand best" is the one of the four with the best PSNR. For the rate route,
# "speed" is seconds of film prepared per second. PLOT=FILE draws PSNR
# against rate for both routes, one line per film (needs gnuplot).
# GALLERY=DIR writes montages (source | --rate | hand best) at 120 KiB/s: a
# frame 0.1 s after the first hard cut and one in mid-motion of each film.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
shift || true
RATES=${*:-60 120 250}
FIT=${FIT:-stretch}
case $FIT in
  stretch) SCALE="scale=320:200,setsar=1" ;;
  border) # the picture's shape kept on the target's 4:3 screen of 5:6 pixels, as vendrel-prep does
    SCALE="scale=w='if(gte(dar*6/5,8/5),320,max(2,round(200*dar*6/5)))':h='if(gte(dar*6/5,8/5),max(2,round(320/(dar*6/5))),200)',setsar=1,pad=320:200:(ow-iw)/2:(oh-ih)/2:black" ;;
  *) echo "FIT must be stretch or border" >&2; exit 2 ;;
esac
export PATH="$BUILD:$PATH"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

command -v ffmpeg > /dev/null || { apt-get update -q > /dev/null; DEBIAN_FRONTEND=noninteractive apt-get install -y -q ffmpeg > /dev/null; }
if [ -n "${PLOT:-}" ] && ! command -v gnuplot > /dev/null; then
  apt-get update -q > /dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q gnuplot-nox > /dev/null
fi
g++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/picture_metrics" bench/picture_metrics.cpp
CLIPS=${CLIPS:-${CLIP:-}}
if [ -z "${CLIPS:-}" ]; then
  bash bench/clips.sh "$WORK/clips" > /dev/null
  CLIPS="$WORK/clips/dark-cuts.mp4 $WORK/clips/street10.mp4 $WORK/clips/film24.mp4 $WORK/clips/wall.mp4"
fi

# prep DIR CLIP ARGS... -> runs vendrel-prep into DIR (a new folder; its logs
# go beside it, DIR.prep and DIR.vendrel), then the vendrel command it printed.
prep() {
  local dir=$1 clip=$2; shift 2
  # Status 1 with --rate: the plan does not play at R (the line says so).
  vendrel-prep --fit "$FIT" "$@" "$clip" "$dir" > "$dir.prep" || [ $? -eq 1 ]
  local command
  command=$(grep -A1 'encode them with' "$dir.prep" | tail -1)
  eval "$command" > "$dir.vendrel"
}

needed() { sed -n 's/.*plays without stalls from \([0-9.]*\) KiB.*/\1/p' "$1.prep"; }

# source CLIP -> the source on the display timeline, raw RGB (made once)
source_rgb() {
  local out="$WORK/$(basename "$1").rgb"
  [ -f "$out" ] || ffmpeg -v error -y -i "$1" -vf "fps=60,$SCALE" -pix_fmt rgb24 -f rawvideo "$out"
  echo "$out"
}

# metrics DIR PAGES CLIP -> "psnr ssim blur cut oklab"; keeps DIR/view.y4m for the gallery
metrics() {
  vendrel-view "-c$2" --y4m "$1/view.y4m" "$1/movie.bin" > "$1/view.log"
  ffmpeg -v error -y -i "$1/view.y4m" -pix_fmt rgb24 -f rawvideo "$1/view.rgb"
  "$WORK/picture_metrics" "$(source_rgb "$3")" "$1/view.rgb"
  rm -f "$1/view.rgb"
}

# hand CLIP COLOURS RATE -> the highest fps (a whole number of display frames
# per frame) whose stream needs at most RATE; prints "interval needed" or nothing.
hand() {
  local clip=$1 colours=$2 rate=$3 lo=1 hi=60 best=""
  while [ $lo -le $hi ]; do
    local mid=$(( (lo + hi) / 2 )) dir="$WORK/probe"
    rm -rf "$dir"
    vendrel-prep --fit "$FIT" --colors "$colours" --fps "$(awk "BEGIN{print 60/$mid}")" "$clip" "$dir" > "$dir.prep"
    local n; n=$(needed "$dir")
    if awk "BEGIN{exit !($n <= $rate)}"; then best="$mid $n"; hi=$(( mid - 1 )); else lo=$(( mid + 1 )); fi
  done
  echo "$best"
}

# montage CLIP SECONDS NAME RATEDIR HANDDIR -> GALLERY/NAME.png
montage() {
  local at=$2 frame
  frame=$(awk "BEGIN{print int($at * 60)}")
  ffmpeg -v error -y -i "$1" -vf "fps=60,$SCALE,select=eq(n\,$frame)" -frames:v 1 "$WORK/m0.png"
  ffmpeg -v error -y -i "$4/view.y4m" -vf "select=eq(n\,$frame)" -frames:v 1 "$WORK/m1.png"
  ffmpeg -v error -y -i "$5/view.y4m" -vf "select=eq(n\,$frame)" -frames:v 1 "$WORK/m2.png"
  ffmpeg -v error -y -i "$WORK/m0.png" -i "$WORK/m1.png" -i "$WORK/m2.png" \
    -filter_complex "[0][1][2]hstack=3,scale=1920:-1:flags=neighbor" "$GALLERY/$3.png"
}

# first_cut CLIP -> seconds of the first hard cut (a big change of mean luma), or nothing
first_cut() {
  ffmpeg -v error -i "$1" -vf "fps=60,scale=320:200,select='gt(scene\,0.3)',metadata=print:file=-" -f null - 2> /dev/null |
    sed -n 's/.*pts_time:\([0-9.]*\).*/\1/p' | head -1
}

RESULTS=$WORK/results.txt
printf "%-10s %-5s %-24s %6s %6s %6s %6s %6s %7s %s\n" film rate route psnr ssim blur cut oklab needed note
for clip in $CLIPS; do
  film=$(basename "$clip" | sed 's/\.[^.]*$//')
  length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
  for R in $RATES; do
    dir="$WORK/$film-rate$R"
    start=$(date +%s.%N)
    prep "$dir" "$clip" --rate "$R"
    seconds=$(awk "BEGIN{print $(date +%s.%N) - $start}")
    verdict=$(vendrel-view -c1 --check --rate "$R" "$dir/movie.bin" | sed -n 's/^at [0-9.]* KiB\/s: //p' || true)
    m=$(metrics "$dir" 1 "$clip")
    printf "%-10s %-5s %-24s %6s %6s %6s %6s %6s %7s %s\n" "$film" "$R" "rate" $m "$(needed "$dir")" \
      "$verdict; speed $(awk "BEGIN{printf \"%.1f\", $length / $seconds}")x"
    echo "rate $film $R $m" >> "$RESULTS"
    bestp=0; bestm=""; bestname=""; bestdir=""
    for c in 64 32 16 8; do
      read -r interval n < <(hand "$clip" "$c" "$R"; echo) || true
      if [ -z "${interval:-}" ]; then printf "%-10s %-5s %-24s %6s\n" "$film" "$R" "hand $c colours" "-"; continue; fi
      fps=$(awk "BEGIN{printf \"%.3g\", 60/$interval}")
      hdir="$WORK/$film-hand$R-$c"
      prep "$hdir" "$clip" --colors "$c" --fps "$fps"
      m=$(metrics "$hdir" 2 "$clip")
      printf "%-10s %-5s %-24s %6s %6s %6s %6s %6s %7s\n" "$film" "$R" "hand $c colours $fps fps" $m "$n"
      p=${m%% *}
      if awk "BEGIN{exit !($p > $bestp)}"; then bestp=$p; bestm=$m; bestname="$c colours $fps fps"; bestdir=$hdir; fi
    done
    printf "%-10s %-5s %-24s %6s %6s %6s %6s %6s    (%s)\n" "$film" "$R" "hand best" $bestm "$bestname"
    echo "hand $film $R $bestm" >> "$RESULTS"
    if [ -n "${GALLERY:-}" ] && [ "$R" = 120 ] && [ -n "$bestdir" ]; then
      mkdir -p "$GALLERY"
      cut=$(first_cut "$clip")
      [ -z "$cut" ] || montage "$clip" "$(awk "BEGIN{print $cut + 0.1}")" "$film-cut" "$dir" "$bestdir"
      montage "$clip" "$(awk "BEGIN{print $length * 0.6}")" "$film-motion" "$dir" "$bestdir"
    fi
  done
done

if [ -n "${PLOT:-}" ]; then
  plots=""
  for clip in $CLIPS; do
    film=$(basename "$clip" | sed 's/\.[^.]*$//')
    awk -v f="$film" '$1 == "rate" && $2 == f {print $3, $4}' "$RESULTS" > "$WORK/$film.rate.dat"
    awk -v f="$film" '$1 == "hand" && $2 == f {print $3, $4}' "$RESULTS" > "$WORK/$film.hand.dat"
    plots+="\"$WORK/$film.rate.dat\" with linespoints lw 2 title \"$film --rate R\", "
    plots+="\"$WORK/$film.hand.dat\" with linespoints dt 2 title \"$film hand best\", "
  done
  gnuplot <<EOF
set terminal pngcairo size 720,440 font ",10"
set output "$PLOT"
set title "PSNR on the 60 Hz timeline against the rate the stream plays at"
set xlabel "rate (KiB/s)"
set ylabel "PSNR (dB)"
set key outside right
set grid
plot ${plots%, }
EOF
fi
