#!/bin/sh
# Installs what is missing, builds pvrcopy with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -eu
cd "$(dirname "$0")/.."
need=""
for p in cmake ninja-build g++ libgtest-dev ffmpeg; do
  dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
if [ -n "$need" ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
fi
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPVR_SANITIZE=ON
cmake --build build-test -j2
cd build-test && ctest --output-on-failure
