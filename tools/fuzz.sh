#!/usr/bin/env bash
# Builds the fuzz harnesses with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time.
#
#   tools/fuzz.sh [SECONDS_PER_HARNESS] [HARNESS...]     (30 seconds, all harnesses)
#
# Findings are kept in build-fuzz/artifacts; the script ends non-zero when any
# harness reports one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(bmp wav params position)
  [ -f tools/view/stream_decoder.cpp ] && harnesses+=(stream)
fi

CXX=${FUZZ_CXX:-clang++}
out=build-fuzz
mkdir -p "$out/obj" "$out/artifacts" "$out/seeds/wav" "$out/seeds/stream"
flags=(-std=c++20 -g -O1 -I. -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The encoder's modules, compiled once for every harness.
objects=()
for src in encoder/*/*.cpp; do
  [ "$src" = encoder/driver/main.cpp ] && continue
  obj="$out/obj/$(echo "$src" | tr / _).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find encoder -name '*.h' -newer "$obj" | head -1)" ]; then
    "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objects+=("$obj")
done

# Seeds: the sample clip's sound and stream, made by the project's own tools.
if [ ! -f "$out/seeds/wav/audio.wav" ] || [ ! -f "$out/seeds/stream/sample.bin" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target make_sample vendrel >/dev/null
  rm -rf "$out/sample" && ./build/make_sample "$out/sample" 4 >/dev/null
  cp "$out/sample/audio.wav" "$out/seeds/wav/audio.wav"
  ./build/vendrel -c2 -e3 "-a$out/sample/audio.wav" "$out/sample/frame%05d.bmp" "$out/seeds/stream/sample.bin" >/dev/null
fi

seed_dirs() {
  case "$1" in
    bmp)
      for d in ../shared/testdata/bmpsuite/g ../shared/testdata/bmpsuite/q ../shared/testdata/bmpsuite/b; do
        [ -d "$d" ] && echo "$d"
      done
      ;;
    wav) echo "$out/seeds/wav" ;;
    params) echo tools/fuzz/seeds/params ;;
    position) echo tools/fuzz/seeds/position ;;
    stream) echo "$out/seeds/stream" ;;
  esac
}

status=0
for h in "${harnesses[@]}"; do
  src=tools/fuzz/fuzz_$h.cpp
  bin=$out/fuzz_$h
  extra=()
  [ "$h" = stream ] && extra=(tools/view/stream_decoder.cpp tools/model/player_model.cpp)
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$src" "${extra[@]}" "${objects[@]}" -o "$bin"
  mkdir -p "$out/corpus/$h"
  mapfile -t seeds < <(seed_dirs "$h")
  echo "== fuzz_$h for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 \
       "$bin" "$out/corpus/$h" "${seeds[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=256 \
       -artifact_prefix="$out/artifacts/${h}-" -print_final_stats=1 > "$out/fuzz_$h.log" 2>&1; then
    echo "fuzz_$h found a problem: see $out/fuzz_$h.log and $out/artifacts/"
    tail -n 30 "$out/fuzz_$h.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/fuzz_$h.log" | tail -n 2 || true
  fi
done
exit $status
