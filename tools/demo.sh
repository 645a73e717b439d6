#!/usr/bin/env bash
# Builds everything, makes the sample clip and encodes it with sound into one
# double-buffered stream.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 >/dev/null
mkdir -p out
./build/make_sample out/sample 60
./build/vendrel -c2 -e59 -aout/sample/audio.wav out/sample/frame%05d.bmp out/sample.bin > out/sample.log
tail -n 1 out/sample.log
echo "stream written to $(pwd)/out/sample.bin (encoder log: out/sample.log)"
