#!/usr/bin/env bash
# Installs what building needs and is missing, builds the programs the demo
# runs (no tests, so no GoogleTest), makes the sample clip and encodes it
# with sound into one double-buffered stream, then checks the stream and
# decodes a preview of it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVENDREL_TESTS=OFF >/dev/null
cmake --build build -j2 --target vendrel vendrel-view make_sample >/dev/null
mkdir -p out/preview
./build/make_sample out/sample 60
./build/vendrel -c2 -e59 -aout/sample/audio.wav out/sample/frame%05d.bmp out/sample.bin > out/sample.log
tail -n 1 out/sample.log
./build/vendrel-view -c2 --check out/sample.bin | tail -n 1
./build/vendrel-view -c2 --png out/preview/%05d.png --wav out/preview.wav out/sample.bin > out/preview.log
echo "stream written to $(pwd)/out/sample.bin (encoder log: out/sample.log)"
echo "preview: $(pwd)/out/preview/*.png and $(pwd)/out/preview.wav"
