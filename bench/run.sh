#!/usr/bin/env bash
# Builds the benchmarks in build-bench (Release) and runs the exchange search
# benchmark: plain against fast search, frames per second and peak memory.
#
#   bash bench/run.sh [quick]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DVENDREL_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target exchange_bench vendrel
build-bench/bench/exchange_bench "$@"
