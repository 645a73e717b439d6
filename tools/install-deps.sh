#!/usr/bin/env bash
# Installs the Debian or Ubuntu packages a job needs that the machine lacks,
# with apt-get: as root directly, otherwise through sudo. Where neither
# works, prints the one line to run and ends with status 1.
#
#   bash tools/install-deps.sh demo   # build the programs: cmake, g++, make, libpng
#   bash tools/install-deps.sh test   # and GoogleTest, ffmpeg for the video tests
#   bash tools/install-deps.sh ci     # and clang with libFuzzer for tools/fuzz.sh
set -euo pipefail
job=${1:-test}
case "$job" in
  demo|test|ci) ;;
  *) echo "usage: bash tools/install-deps.sh demo|test|ci"; exit 2 ;;
esac

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/png.h ] || need+=(libpng-dev)
if [ "$job" != demo ]; then
  [ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  # ffmpeg (with ffprobe and ffplay): the video tests of vendrel-prep and
  # vendrel-view run instead of skipping.
  command -v ffmpeg >/dev/null || need+=(ffmpeg)
fi
if [ "$job" = ci ]; then
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi
[ ${#need[@]} -eq 0 ] && exit 0

line="apt-get update && apt-get install -y ${need[*]}"
if ! command -v apt-get >/dev/null; then
  echo "install-deps: this machine has no apt-get; install these with its own package manager, then run again: ${need[*]}"
  exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
  as=()
elif command -v sudo >/dev/null; then
  as=(sudo)
else
  echo "install-deps: missing ${need[*]}; as root, run this, then run again:"
  echo "  $line"
  exit 1
fi
echo "install-deps: installing ${need[*]}"
if ! "${as[@]}" apt-get update || ! "${as[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"; then
  echo "install-deps: the packages could not be installed; as root, run this, then run again:"
  echo "  $line"
  exit 1
fi
