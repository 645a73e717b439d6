#!/usr/bin/env bash
# vendrel-prep --encode on a long synthetic film: wall time, CPU time (user +
# system of vendrel-prep and every process it started), peak memory and peak
# disk use of OUTDIR, for each --jobs given.
#
#   bash bench/onestep.sh MINUTES FPS JOBS... [-- PREP OPTIONS]
#   bash bench/onestep.sh 20 15 1 2 -- --parts     the 20-minute figures
#   bash bench/onestep.sh 120 5 2 -- --parts       the 2-hour film's memory and disk
#
# The film (made once into $BENCH_DIR, default /tmp/vendrel-bench) cycles
# through ffmpeg's cheap test sources, one scene every 20 s, with a tone
# whose pitch changes with each scene, made at FPS pictures a second (the
# rate vendrel-prep decodes at; ask for it with --fps in the options).
# Peak memory is the largest resident size of any one process (GNU time's
# %M: vendrel-prep or a process it started); disk is sampled twice a second.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=$1 fps=$2
shift 2
jobs=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do jobs+=("$1"); shift; done
[ $# -gt 0 ] && shift
options=("$@")
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target vendrel-prep >/dev/null
prep=$PWD/build-bench/vendrel-prep
dir=${BENCH_DIR:-/tmp/vendrel-bench}
mkdir -p "$dir"
film=$dir/film-${minutes}m-${fps}fps.mkv
seconds=$((minutes * 60))
if [ ! -f "$film" ]; then
    scene=20
    sources=("testsrc2=size=320x240:rate=$fps" "smptehdbars=size=320x240:rate=$fps"
             "life=size=320x240:rate=$fps:mold=10:ratio=0.5" "rgbtestsrc=size=320x240:rate=$fps"
             "cellauto=size=320x240:rate=$fps:rule=110" "testsrc=size=320x240:rate=$fps")
    # One scene of each source, then the cycle again from where each left off.
    chain="" inputs=()
    for i in "${!sources[@]}"; do
        inputs+=(-f lavfi -i "${sources[$i]}")
        chain+="[$i:v]trim=duration=$scene,setpts=PTS-STARTPTS,format=yuv420p[s$i];"
    done
    n=${#sources[@]}
    ffmpeg -v error -y "${inputs[@]}" \
        -f lavfi -i "sine=frequency=330:sample_rate=22050:beep_factor=2" \
        -filter_complex "${chain}$(for i in $(seq 0 $((n - 1))); do printf '[s%d]' "$i"; done)concat=n=$n:v=1:a=0,loop=loop=-1:size=$((n * scene * fps)),trim=duration=$seconds[v]" \
        -map "[v]" -map "$n:a" -t "$seconds" -c:v mpeg4 -q:v 5 -c:a aac -b:a 64k "$film"
fi
echo "film: $film, $minutes minutes at $fps fps, $(du -hL "$film" | cut -f1)"
for j in "${jobs[@]}"; do
    out=$dir/out-$j
    rm -rf "$out"
    peak=0
    # GNU time counts the CPU time of every process that was waited for.
    /usr/bin/time -f '%U %S' -o "$dir/cpu-$j.txt" \
        "$prep" --encode --jobs "$j" --fps "$fps" "${options[@]}" "$film" "$out" >"$dir/report-$j.txt" 2>/dev/null &
    pid=$!
    start=$(date +%s.%N) load=$(cut -d' ' -f1 /proc/loadavg)
    # time(1) cannot wait for a background job: the sampler does, and reads
    # every process's peak from /proc before it goes.
    mem=0
    while kill -0 "$pid" 2>/dev/null; do
        d=$(du -sk "$out" 2>/dev/null | cut -f1 || echo 0)
        [ "${d:-0}" -gt "$peak" ] && peak=$d
        # time, vendrel-prep, its children (ffmpeg, the cutter) and theirs (the checks)
        level=$pid all=$pid
        for _ in 1 2 3; do
            level=$(pgrep -P "$level" -d, 2>/dev/null || true)
            [ -n "$level" ] || break
            all="$all,$level"
        done
        for p in ${all//,/ }; do
            m=$(awk '/VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)
            [ "${m:-0}" -gt "$mem" ] && mem=$m
        done
        sleep 0.5
    done
    wait "$pid" || { echo "jobs $j: vendrel-prep failed"; cat "$dir/report-$j.txt"; exit 1; }
    end=$(date +%s.%N)
    final=$(du -sk "$out" | cut -f1)
    cpu=$(awk '{print $1 + $2}' "$dir/cpu-$j.txt")
    printf 'jobs %s: %.1f s wall, %.1f s CPU, peak memory %d KiB (one process), OUTDIR peak %d KiB, at the end %d KiB, load average %s before, %s after\n' \
        "$j" "$(echo "$end - $start" | bc)" "$cpu" "$mem" "$peak" "$final" "$load" "$(cut -d' ' -f1 /proc/loadavg)"
    grep -c 'checked' "$dir/report-$j.txt" | sed 's/^/  streams written and checked: /'
done
if [ ${#jobs[@]} -gt 1 ]; then
    first=$dir/out-${jobs[0]}
    for j in "${jobs[@]:1}"; do
        diff -r -q "$first" "$dir/out-$j" >/dev/null && echo "jobs ${jobs[0]} and $j: the same streams" ||
            echo "jobs ${jobs[0]} and $j: the streams differ"
    done
fi
