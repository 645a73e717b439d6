#!/usr/bin/env bash
# Builds the benchmarks in build-bench (Release) and runs them:
#
#   bash bench/run.sh [quick]       the exchange search table (plain against
#                                   fast, in process, generated clips)
#   bash bench/run.sh end-to-end    the encoder against the plain algorithm on
#                                   two clips of BMP files, vendrel's own time
#                                   and peak memory, and with valgrind
#                                   installed its instructions per frame
#
# With VENDREL_BEFORE=/path/to/another/vendrel, end-to-end measures that
# build the same way and checks that both write the same bytes.
#
# end-to-end makes its clips in a temporary folder: 12 frames of the busy
# synthetic clip (-c1), and 12 frames of real photographs with a palette per
# frame (-c2), panned and zoomed by ffmpeg from the photographs of Debian's
# mate-backgrounds package, which it installs with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DVENDREL_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target exchange_bench vendrel >/dev/null
bench=build-bench/bench/exchange_bench
vendrel=build-bench/vendrel
if [ "${1:-}" != end-to-end ]; then
    exec "$bench" "$@"
fi

frames=12
photos=/usr/share/backgrounds/mate/nature
if [ ! -d "$photos" ]; then
    echo "installing mate-backgrounds (photographs for the real-content clip)"
    apt-get install -y --no-install-recommends mate-backgrounds >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/busy" "$work/real"
"$bench" write-busy "$work/busy" "$frames"
# Three photographs, four frames each, every one panned and zoomed a little
# further, reduced to 64 colours with a palette of its own (and ffmpeg's
# default dither), as a preparation with a palette per frame gives them.
n=0
for photo in Garden LadyBird Storm; do
    ffmpeg -v error -y -loop 1 -i "$photos/$photo.jpg" -vf "scale=1280:800:force_original_aspect_ratio=increase,\
crop=1280:800,zoompan=z='1.2+0.01*on':x='iw/2-(iw/zoom/2)+on*6':y='ih/2-(ih/zoom/2)':d=1:s=320x200:fps=15,\
split[a][b];[a]palettegen=max_colors=64:stats_mode=single:reserve_transparent=0[p];[b][p]paletteuse=new=1" \
        -frames:v $((frames / 3)) -start_number "$n" -pix_fmt bgr24 "$work/real/f%05d.bmp"
    n=$((n + frames / 3))
done

for clip in busy:1 real:2; do
    name=${clip%%:*}
    type=${clip#*:}
    pattern="$work/$name/f%05d.bmp"
    echo "== $name clip, -c$type, $frames frames"
    "$bench" end-to-end "$pattern" "$frames" "$type"
    for v in "$vendrel" ${VENDREL_BEFORE:+"$VENDREL_BEFORE"}; do
        label=vendrel
        [ "$v" = "$vendrel" ] || label="before ($v)"
        /usr/bin/time -f "$label: %e s wall, %U s user, peak %M KiB" \
            "$v" -c"$type" -s0 -e$((frames - 1)) "$pattern" "$work/out.bin" >/dev/null
        if [ "$v" = "$vendrel" ]; then
            mv "$work/out.bin" "$work/$name.bin"
        elif ! cmp -s "$work/out.bin" "$work/$name.bin"; then
            echo "$label: DIFFERENT stream"
        fi
        if command -v valgrind >/dev/null; then
            valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$v" -c"$type" -s0 \
                -e$((frames - 1)) "$pattern" "$work/cg.bin" >/dev/null 2>"$work/cg.txt"
            total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/cg.txt")
            echo "$label: $((total / frames)) instructions per frame (callgrind, whole run / frames)"
        fi
    done
done
