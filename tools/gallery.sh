#!/usr/bin/env bash
# Makes the README's gallery: for the sample clip and for a clip of real
# photographs, a few source frames (top row) above the same frames decoded
# from the encoded stream (bottom row), each cell shown 4:3 as the target's
# screen shows it.
#
#   bash tools/gallery.sh [OUTDIR]      (default docs/gallery)
#
# Needs ffmpeg and the photographs of the mate-backgrounds package
# (apt-get install ffmpeg mate-backgrounds). Work files go to out/gallery.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-docs/gallery}
work=out/gallery
photos=/usr/share/backgrounds/mate/nature
frames_shown=(10 40 75)   # at 15 frames per second: in the zoom, at its end, in the pan

for need in ffmpeg "$photos/LadyBird.jpg" "$photos/Storm.jpg"; do
  if ! command -v "$need" >/dev/null && [ ! -e "$need" ]; then
    echo "gallery: $need is missing (apt-get install ffmpeg mate-backgrounds)"
    exit 1
  fi
done

cmake -S . -B build >/dev/null
cmake --build build -j2 --target vendrel vendrel-prep vendrel-view make_sample >/dev/null
rm -rf "$work"
mkdir -p "$work" "$dest"

# Encodes FRAMES_DIR's frame%05d.bmp (0 to LAST) into STREAM and decodes it
# back into decoded/%05d.png beside it; the stream must check clean.
encode_and_decode() {
  local dir=$1 last=$2 extra=${3:-}
  ./build/vendrel -c2 -e"$last" $extra "$dir/frame%05d.bmp" "$dir/movie.bin" >"$dir/vendrel.log"
  mkdir -p "$dir/decoded"
  ./build/vendrel-view -c2 --png "$dir/decoded/%05d.png" "$dir/movie.bin" >"$dir/view.log"
  grep -q "^violations: 0," "$dir/view.log"
}

# Puts SOURCE_PATTERN's frames (printf pattern, frame number) above the
# decoded ones, each scaled to 320 x 240, into OUTPUT (further arguments:
# options of the output file).
compose() {
  local dir=$1 source_pattern=$2 output=$3
  shift 3   # the rest: options for the output file
  local inputs=() filter="" i=0 top="" bottom=""
  for f in "${frames_shown[@]}"; do
    inputs+=(-i "$(printf "$source_pattern" "$f")" -i "$(printf "$dir/decoded/%05d.png" "$f")")
    filter+="[$((2 * i))]scale=320:240:flags=bicubic,pad=324:244:2:2:white[s$i];"
    filter+="[$((2 * i + 1))]scale=320:240:flags=neighbor,pad=324:244:2:2:white[d$i];"
    top+="[s$i]"
    bottom+="[d$i]"
    i=$((i + 1))
  done
  filter+="${top}hstack=$i[top];${bottom}hstack=$i[bottom];[top][bottom]vstack=2"
  ffmpeg -v error -y "${inputs[@]}" -filter_complex "$filter" -frames:v 1 "$@" "$output"
}

# The sample clip: its own frames are the source.
./build/make_sample "$work/sample" 90 >/dev/null
encode_and_decode "$work/sample" 89 "-a$work/sample/audio.wav"
compose "$work/sample" "$work/sample/frame%05d.bmp" "$dest/sample.png"

# Real content: a slow zoom onto a ladybird, then a cut to a pan across a
# stormy sky, 3 seconds each at 15 frames per second, 4:3.
ffmpeg -v error -y -i "$photos/LadyBird.jpg" -i "$photos/Storm.jpg" -filter_complex \
  "[0]scale=1280:800,crop=1067:800,zoompan=z='1+0.02*on':x='(iw-iw/zoom)*0.74':y='(ih-ih/zoom)*0.5':d=45:s=640x480:fps=15[a];
   [1]scale=1200:800,crop=1067:800,zoompan=z=1.25:x='(iw-iw/zoom)*on/44':y='(ih-ih/zoom)*0.6':d=45:s=640x480:fps=15[b];
   [a][b]concat=n=2:v=1:a=0,format=yuv420p" \
  -c:v libx264 -crf 16 "$work/photos.mp4"
./build/vendrel-prep --no-audio "$work/photos.mp4" "$work/photos" >"$work/photos-prep.log"
encode_and_decode "$work/photos" 89
mkdir -p "$work/photos/source"
ffmpeg -v error -y -i "$work/photos.mp4" -vsync 0 -start_number 0 "$work/photos/source/%05d.png"
compose "$work/photos" "$work/photos/source/%05d.png" "$dest/photos.jpg" -q:v 3

# The rate plot of each stream: frames late and the worst lateness when the
# player reads it at rates around the one it needs (vendrel-view --rate-table).
rate_plot() {
  local dir=$1 title=$2 output=$3 needed
  ./build/vendrel-view -c2 --rate-table "$dir/rates.csv" "$dir/movie.bin" >"$dir/rates.log"
  needed=$(sed -n 's/^playback: plays without stalls from \([0-9.]*\) KiB.*/\1/p' "$dir/rates.log")
  gnuplot <<PLOT
set terminal pngcairo size 640,300 font ",10"
set output "$output"
set datafile separator ","
set title "$title: plays without stalls from $needed KiB/s"
set xlabel "rate the player reads at (KiB/s)"
set logscale x
set autoscale xfix
set ylabel "frames late"
set y2label "worst lateness (s)"
set ytics nomirror
set y2tics
set arrow from $needed, graph 0 to $needed, graph 1 nohead dashtype 2
plot "$dir/rates.csv" every ::1 using 1:2 with linespoints title "frames late", \
     "" every ::1 using 1:4 axes x1y2 with lines title "worst lateness"
PLOT
}
if command -v gnuplot >/dev/null; then
  rate_plot "$work/sample" "sample clip" "$dest/sample-rate.png"
  rate_plot "$work/photos" "photographs" "$dest/photos-rate.png"
else
  echo "gallery: gnuplot is missing (apt-get install gnuplot-nox): no rate plots"
fi

for f in "$dest"/*.png "$dest"/*.jpg; do
  size=$(stat -c %s "$f")
  echo "$f: $size bytes"
  [ "$size" -lt 204800 ] || { echo "gallery: $f is 200 KB or more"; exit 1; }
done
