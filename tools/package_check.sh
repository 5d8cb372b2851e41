#!/bin/sh
# The packages, built and tried as a user gets them:
#   1. Linux: a Release build with Debian's build flags (dpkg-buildflags) in
#      build-deb, `cpack` into pvrcopy_VERSION_amd64.deb, lintian on it (fails
#      on any error or warning), then the package unpacked
#      with dpkg -x into a fresh root: its pvrcopy --version, its manual pages
#      through man -l without a warning, an option error, and the sample disk
#      (its pvrcopy-mkimage --sample) listed and copied with -r all TS.
#   2. Windows: the cross-build (build-win), `cpack` into
#      pvrcopy-VERSION-win64.zip, unzipped: its files, and its pvrcopy.exe
#      under wine on the sample disk made by its mkimage.exe: the same
#      --version, list and output files as the installed Linux program.
# Usage: sh tools/package_check.sh
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
. tools/need.sh
. tools/wine_env.sh
need cmake ninja-build g++ dpkg-dev lintian man-db groff-base unzip \
  g++-mingw-w64-x86-64 wine wine64

tmp=$(mktemp -d /tmp/pvr-package.XXXXXX)
cleanup() { stop_wine; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM
failed=0
pass() { printf 'ok   %s\n' "$1"; }
fail() { failed=$((failed + 1)); printf 'FAIL %s\n' "$1"; }
# check WHAT WANTED GOT
check() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: wanted '$2', got '$3'"; fi; }

# --- the Debian package ---
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH   # the changelog's date
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DPVR_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build build-deb -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)
(cd build-deb && cpack -G DEB >/dev/null)
deb=build-deb/pvrcopy_${version}_$(dpkg --print-architecture).deb
dpkg-deb --field "$deb" Package Version Section Depends Suggests
if lintian --info --fail-on error,warning "$deb"; then
  pass "lintian $(basename "$deb")"
else
  fail "lintian $(basename "$deb")"
fi

root=$tmp/root
dpkg -x "$deb" "$root"
check "installed: pvrcopy --version" "pvrcopy $version" "$("$root/usr/bin/pvrcopy" --version)"
for page in pvrcopy pvrcopy-mkimage; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
    "$root/usr/share/man/man1/$page.1.gz" >/dev/null 2>"$tmp/man.err"
  check "installed: man -l $page.1.gz, warnings" "" "$(cat "$tmp/man.err")"
done
check "installed: the manual's name line (lexgrog)" \
  "pvrcopy - copy recordings off the hard disk of a Velmoran video recorder" \
  "$(lexgrog "$root/usr/share/man/man1/pvrcopy.1.gz" | sed 's/^[^"]*"\(.*\)"$/\1/')"
mkdir "$tmp/lin"
(
  cd "$tmp/lin"
  PATH=$root/usr/bin:$PATH
  pvrcopy-mkimage qvdisk.img --sample >/dev/null 2>&1
  pvrcopy -l 2>"$tmp/list.lin"
  pvrcopy -r all TS 2>/dev/null
  pvrcopy --bogus 2>"$tmp/bogus.err" || echo $? >"$tmp/bogus.rc"
)
check "installed: the sample listed" 3 "$(grep -c "MB '" "$tmp/list.lin")"
check "installed: the sample copied" "Doku.ts Film__Teil_1_2.ts News__20_00.ts" "$(cd "$tmp/lin" && echo *.ts)"
check "installed: pvrcopy --bogus" "pvrcopy: unknown option --bogus|1" "$(head -1 "$tmp/bogus.err")|$(cat "$tmp/bogus.rc")"

# --- the Windows zip ---
[ -f build-win/CMakeCache.txt ] || cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j2
(cd build-win && cpack -G ZIP >/dev/null)
zip=build-win/pvrcopy-$version-win64.zip
unzip -q "$zip" -d "$tmp/zip"
win=$tmp/zip/pvrcopy-$version-win64
check "zip: its files" "LICENSE.txt README.txt mkimage.exe pvrcopy-manual.txt pvrcopy.exe" \
  "$(cd "$win" && echo *)"
check "zip: README.txt begins" "pvrcopy $version for Windows" "$(crlf "$win/README.txt" | head -1)"
start_wine "$tmp"
mkdir "$tmp/win"
(
  cd "$tmp/win"
  wine "$win/mkimage.exe" qvdisk.img --sample >/dev/null 2>&1
  wine "$win/pvrcopy.exe" --version >"$tmp/version.win"
  wine "$win/pvrcopy.exe" -l 2>"$tmp/list.win"
  wine "$win/pvrcopy.exe" -r all TS 2>/dev/null
)
check "zip: pvrcopy.exe --version" "pvrcopy $version" "$(crlf "$tmp/version.win")"
check "zip: the sample image as Linux makes it" ok \
  "$(cmp -s "$tmp/lin/qvdisk.img" "$tmp/win/qvdisk.img" && echo ok)"
check "zip: the sample listed as on Linux" ok \
  "$(crlf "$tmp/list.win" | cmp -s "$tmp/list.lin" - && echo ok)"
for f in "$tmp"/lin/*.ts; do
  check "zip: $(basename "$f") as on Linux" ok "$(cmp -s "$f" "$tmp/win/$(basename "$f")" && echo ok)"
done

echo "packages: $(basename "$deb") $(basename "$zip"), $failed failed"
[ $failed = 0 ]
