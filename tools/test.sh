#!/bin/sh
# Installs what is missing, builds pvrcopy and every test with
# AddressSanitizer and UndefinedBehaviorSanitizer (Debug), and runs the whole
# suite with CTest. Build directory: build-test.
set -eu
cd "$(dirname "$0")/.."
. tools/need.sh
need cmake ninja-build g++ libgtest-dev ffmpeg gddrescue dvdauthor fuse3 libfuse3-dev pkg-config
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPVR_SANITIZE=ON
cmake --build build-test -j2
cd build-test
ctest --output-on-failure -j2 --timeout 900
