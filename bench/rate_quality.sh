#!/usr/bin/env bash
# Picture quality at a given data rate: vendrel-prep --rate R against the best
# hand setting (--fps with --colors) whose stream plays at the same rate.
#
#   bash bench/rate_quality.sh [BUILD_DIR] [RATES...]    (defaults: build, 120 250)
#
# The clip: pans, zooms and cuts over photographs of the mate-backgrounds
# package, with speech of the alsa-utils package, encoded as H.264 in an mp4
# file as a user's video would be (12 s). Both routes use --fit stretch, so the
# whole screen is picture.
#
# PSNR is taken on the 60 Hz display timeline: vendrel-view --y4m repeats every
# frame for its interval, and every display frame is compared with the source
# at that moment scaled to 320 x 200 (the mean of the squared errors over the
# whole clip, in RGB).
#
# The hand setting for each --colors (64, 32, 16, 8): the highest --fps whose
# stream plays at R under the player model (the rate vendrel-prep prints);
# "hand best" is the best of the four. The rate route's note is what
# vendrel-view --rate R finds in the stream vendrel wrote. Prints a table and, with PLOT=FILE,
# draws PSNR against rate for both routes (needs gnuplot). PAGES=1 adds the
# two-page alternatives to each plan's -c1 stream (see pages below).
# CLIP=FILE measures another video file instead of the photographs.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
shift || true
RATES=${*:-120 250}
export PATH="$BUILD:$PATH"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

PHOTOS=/usr/share/backgrounds/mate/nature
VOICES=/usr/share/sounds/alsa
need=()
[ -n "${CLIP:-}" ] || [ -d "$PHOTOS" ] || need+=(mate-backgrounds)
[ -n "${CLIP:-}" ] || [ -d "$VOICES" ] || need+=(alsa-utils)
command -v ffmpeg > /dev/null || need+=(ffmpeg)
[ -z "${PLOT:-}" ] || command -v gnuplot > /dev/null || need+=(gnuplot-nox)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -q > /dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" > /dev/null
fi

CLIP=${CLIP:-}
make_clip() {
  CLIP=$WORK/photos.mp4
  local v=() a=() i=0
  for f in Dune LadyBird Storm Garden; do v+=(-loop 1 -framerate 30 -t 3 -i "$PHOTOS/$f.jpg"); done
  for f in Front_Center Front_Left Front_Right Rear_Center Rear_Left Rear_Right Side_Left Side_Right; do
    a+=(-i "$VOICES/$f.wav")
  done
  ffmpeg -v error -y "${v[@]}" "${a[@]}" -filter_complex "\
[0]scale=1280:-2,crop=640:360:x='(iw-640)*t/3':y='(ih-360)/2',setsar=1,fps=30[v0];\
[1]scale=1280:-2,zoompan=z='1+0.6*on/90':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=1:s=640x360:fps=30,setsar=1[v1];\
[2]scale=1280:-2,crop=640:360:x='(iw-640)*(1-t/3)':y='(ih-360)*t/3',setsar=1,fps=30[v2];\
[3]scale=1280:-2,zoompan=z='1.6-0.6*on/90':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=1:s=640x360:fps=30,setsar=1[v3];\
[v0][v1][v2][v3]concat=n=4:v=1:a=0,format=yuv420p[v];\
[4][5][6][7][8][9][10][11]concat=n=8:v=0:a=1,aresample=44100,apad=whole_dur=12[a]" \
    -map '[v]' -map '[a]' -t 12 -c:v libx264 -crf 20 -c:a aac -b:a 128k "$CLIP"
}
[ -n "$CLIP" ] || make_clip

# prep DIR ARGS... -> runs vendrel-prep into DIR (a new folder; its logs go
# beside it, DIR.prep and DIR.vendrel), then the vendrel command it printed.
prep() {
  local dir=$1; shift
  # Status 1 with --rate: the plan does not play at R (the line says so).
  vendrel-prep --fit stretch "$@" "$CLIP" "$dir" > "$dir.prep" || [ $? -eq 1 ]
  local command
  command=$(grep -A1 'encode them with' "$dir.prep" | tail -1)
  eval "$command" > "$dir.vendrel"
}

needed() { sed -n 's/.*plays without stalls from \([0-9.]*\) KiB.*/\1/p' "$1.prep"; }

refused() { grep -c -e 'overflow' "$1.vendrel" || true; }

# psnr DIR PAGES -> dB over the whole display timeline
psnr() {
  vendrel-view "-c$2" --y4m "$1/view.y4m" "$1/movie.bin" > "$1/view.log"
  ffmpeg -v info -i "$1/view.y4m" -i "$CLIP" -lavfi \
    "[0]format=rgb24[a];[1]fps=60,scale=320:200,setsar=1,format=rgb24[b];[a][b]psnr=shortest=1" -f null - 2>&1 |
    sed -n 's/.*PSNR.*average:\([0-9.]*\).*/\1/p'
  rm -f "$1/view.y4m"
}

# hand COLOURS RATE -> the highest fps (a whole number of display frames per
# frame) whose stream needs at most RATE; prints "interval needed" or nothing.
hand() {
  local colours=$1 rate=$2 lo=1 hi=60 best=""
  while [ $lo -le $hi ]; do
    local mid=$(( (lo + hi) / 2 )) dir="$WORK/probe"
    rm -rf "$dir"
    vendrel-prep --fit stretch --colors "$colours" --fps "$(awk "BEGIN{print 60/$mid}")" "$CLIP" "$dir" > "$dir.prep"
    local n; n=$(needed "$dir")
    if awk "BEGIN{exit !($n <= $rate)}"; then best="$mid $n"; hi=$(( mid - 1 )); else lo=$(( mid + 1 )); fi
  done
  echo "$best"
}

# The two-page alternatives to the -c1 stream of a plan: the same frames with
# -c2 (the encoder brings both pages up to each picture), and with each frame's
# changes sent to its own page only (bench/page_alternation.cpp; without the
# colour limits, which such pages would break).
g++ -std=c++20 -O2 -Wall -Wextra -I. -o "$WORK/page_alternation" bench/page_alternation.cpp \
  encoder/image/bmp.cpp tools/prep/output.cpp
pages() {
  local dir=$1 last audio=()
  last=$(( $(ls "$dir"/frame*.bmp | wc -l) - 1 ))
  [ -f "$dir/audio.wav" ] && audio=("-a$dir/audio.wav")
  mkdir -p "$dir/both" "$dir/one"
  vendrel -c2 "-e$last" "${audio[@]}" $( [ -f "$dir/params.txt" ] && echo "-f$dir/params.txt" ) \
    "$dir/frame%05d.bmp" "$dir/both/movie.bin" > "$dir/both.vendrel"
  "$WORK/page_alternation" "$dir" "$dir/one" > /dev/null
  grep -v palet_limit "$dir/params.txt" > "$dir/one/params.txt" 2> /dev/null || true
  vendrel -c2 "-e$last" "${audio[@]}" "-f$dir/one/params.txt" "$dir/one/frame%05d.bmp" "$dir/one/movie.bin" \
    > "$dir/one.vendrel"
  printf "%-6s %-22s %8s %10s %7s %s\n" "$R" "rate frames -c2 both" "$(psnr "$dir/both" 2)" "" \
    "$(refused "$dir/both")" "$(stat -c %s "$dir/both/movie.bin") bytes against $(stat -c %s "$dir/movie.bin") with -c1"
  printf "%-6s %-22s %8s %10s %7s %s\n" "$R" "rate frames -c2 one" "$(psnr "$dir/one" 2)" "" \
    "$(refused "$dir/one")" "$(stat -c %s "$dir/one/movie.bin") bytes"
}

RESULTS=$WORK/results.txt
printf "%-6s %-22s %8s %10s %7s %s\n" rate route psnr needed refused note
for R in $RATES; do
  dir="$WORK/rate$R"
  start=$(date +%s.%N)
  prep "$dir" --rate "$R"
  seconds=$(awk "BEGIN{print $(date +%s.%N) - $start}")
  frames=$(sed -n 's/^vendrel-prep: \([0-9]*\) frames at.*/\1/p' "$dir.prep")
  # The viewer's own reading of the stream vendrel wrote, at R.
  verdict=$(vendrel-view -c1 --check --rate "$R" "$dir/movie.bin" | sed -n 's/^at [0-9.]* KiB\/s: //p' || true)
  p=$(psnr "$dir" 1)
  printf "%-6s %-22s %8s %10s %7s %s\n" "$R" "rate" "$p" "$(needed "$dir")" "$(refused "$dir")" \
    "$verdict; $frames frames in $(printf %.1f "$seconds") s ($(awk "BEGIN{printf \"%.0f\", $frames / $seconds}") fps)"
  echo "rate $R $p" >> "$RESULTS"
  [ -z "${PAGES:-}" ] || pages "$dir"
  bestp=0; bestname=""
  for c in 64 32 16 8; do
    read -r interval n < <(hand "$c" "$R"; echo) || true
    if [ -z "${interval:-}" ]; then printf "%-6s %-22s %8s\n" "$R" "hand $c colours" "-"; continue; fi
    fps=$(awk "BEGIN{printf \"%.3g\", 60/$interval}")
    hdir="$WORK/hand$R-$c"
    prep "$hdir" --colors "$c" --fps "$fps"
    p=$(psnr "$hdir" 2)
    printf "%-6s %-22s %8s %10s %7s\n" "$R" "hand $c colours $fps fps" "$p" "$n" "$(refused "$hdir")"
    if awk "BEGIN{exit !($p > $bestp)}"; then bestp=$p; bestname="$c colours $fps fps"; fi
  done
  printf "%-6s %-22s %8s    (%s)\n" "$R" "hand best" "$bestp" "$bestname"
  echo "hand $R $bestp" >> "$RESULTS"
done

if [ -n "${PLOT:-}" ]; then
  grep '^rate' "$RESULTS" | awk '{print $2, $3}' > "$WORK/rate.dat"
  grep '^hand' "$RESULTS" | awk '{print $2, $3}' > "$WORK/hand.dat"
  gnuplot <<EOF
set terminal pngcairo size 640,400 font ",10"
set output "$PLOT"
set title "PSNR on the 60 Hz timeline against the rate the stream plays at"
set xlabel "rate (KiB/s)"
set ylabel "PSNR (dB)"
set key bottom right
set grid
plot "$WORK/rate.dat" with linespoints lw 2 title "vendrel-prep --rate R", \
     "$WORK/hand.dat" with linespoints lw 2 title "best hand setting (--fps, --colors)"
EOF
fi
