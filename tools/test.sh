#!/usr/bin/env bash
# Installs what the tests need and is missing, builds everything and runs
# every test twice: in the normal build, and in a build with AddressSanitizer
# and UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh test
jobs=$(nproc 2>/dev/null || echo 2)

# The tests are on even where the demo turned them off in build/.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
