#!/bin/sh
# The checks of the house, run by CI:
#   1. every C and C++ source is laid out by the project's formatter (.clang-format);
#   2. a layer includes only the layers below it, and each layer of the
#      product has one header:
#        disk/qvdisk.h, disk/bytes.h  (the shared records, the byte order)
#        disk/device/  <  disk/fs/  <  disk/copy/  <  mpeg/  <  cli/
# Usage: sh tools/check_house.sh
set -eu
cd "$(dirname "$0")/.."
status=0

if ! git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror 2>/tmp/pvr-format.$$; then
  echo "check_house: these files are not formatted (run: git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c' | xargs clang-format -i):"
  grep -o '^[^:]*:' /tmp/pvr-format.$$ | sort -u | sed 's/:$//; s/^/  /'
  status=1
fi
rm -f /tmp/pvr-format.$$

# The layers from the bottom; each may include the base and itself and those before it.
layers="disk/device disk/fs disk/copy mpeg cli"
allowed="disk/qvdisk.h disk/bytes.h"
for layer in $layers; do
  allowed="$allowed $layer/"
  for f in $(git ls-files -co --exclude-standard "$layer/*.cpp" "$layer/*.h"); do
    for inc in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f"); do
      ok=0
      for a in $allowed; do
        case "$inc" in "$a"*) ok=1 ;; esac
      done
      if [ "$ok" = 0 ]; then
        echo "check_house: $f includes $inc, which is not below its layer $layer"
        status=1
      fi
    done
  done
  headers=$(git ls-files -co --exclude-standard "$layer/*.h" | wc -l)
  if [ "$headers" != 1 ]; then
    echo "check_house: $layer has $headers headers; a layer has one"
    status=1
  fi
done
for base in disk/qvdisk.h disk/bytes.h; do
  if grep -q '^#include "' "$base"; then
    echo "check_house: $base includes a project header; the base includes none"
    status=1
  fi
done
[ "$status" = 0 ] && echo "check_house: formatted, layers in order"
exit $status
