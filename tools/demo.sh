#!/bin/sh
# Installs what is missing, builds pvrcopy (Release), writes the sample disk
# image into a fresh directory and runs pvrcopy there: it lists the recordings
# and converts the first one to VOB (the answers "1" and "0" are piped in);
# ffprobe then describes the program stream it wrote.
set -eu
cd "$(dirname "$0")/.."
. tools/need.sh
need cmake ninja-build g++ libgtest-dev ffmpeg
top=$(pwd)
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPVR_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target pvrcopy mkimage
dir=$(mktemp -d /tmp/pvrcopy-demo.XXXXXX)
"$top/build-release/mkimage" "$dir/qvdisk.img" --sample
cd "$dir"
echo
printf '%s\n' "\$ printf '1\\n0\\n' | pvrcopy VOB      (in $dir)"
printf '1\n0\n' | "$top/build-release/pvrcopy" VOB
echo
found=0
for f in *.vob; do
  [ -f "$f" ] || continue
  found=1
  echo "\$ ffprobe '$f'"
  ffprobe -hide_banner "$f"
done
if [ "$found" = 0 ]; then
  echo "No .vob file was written." >&2
  exit 1
fi
echo
echo "The sample disk and the output are in $dir"
