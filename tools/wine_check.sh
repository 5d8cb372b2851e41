#!/bin/sh
# The Windows build under wine, headless:
#   1. cross-builds pvrcopy.exe, mkimage.exe and the test executables (build-win);
#   2. runs every cross-built test executable under wine;
#   3. on the sample disk, compares pvrcopy.exe with the Linux pvrcopy of
#      LINUX_BUILD (default build-test): the listing and the outputs of every
#      mode must be byte-identical with the same modification times, also
#      with the options -i, -o, -r and -l (and mode "disk" with -r,
#      --retries and --domain-map); errors naming the system's reason
#      agree up to it; a second opener of a held image is refused; mode
#      "disk" beside the image fails (status 1) and leaves the image unchanged.
# Usage: sh tools/wine_check.sh [LINUX_BUILD]
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
linux=$top/${1:-build-test}
. tools/need.sh
. tools/wine_env.sh
need cmake ninja-build g++-mingw-w64-x86-64 googletest groff-base wine wine64

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j2
[ -x "$linux/pvrcopy" ] && [ -x "$linux/mkimage" ] || {
  echo "wine_check: no Linux build in $linux (run sh tools/test.sh first)" >&2; exit 1; }

tmp=$(mktemp -d /tmp/pvr-wine.XXXXXX)
cleanup() { stop_wine; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM
start_wine "$tmp"

passed=0 failed=0
started=$(date +%s)
pass() { passed=$((passed + 1)); printf 'ok   %s\n' "$1"; }
fail() { failed=$((failed + 1)); printf 'FAIL %s\n' "$1"; }

# --- the cross-built unit tests ---
mkdir "$tmp/run"
for exe in build-win/tests/*_test.exe; do
  [ -f "$exe" ] || continue
  name=$(basename "$exe" .exe)
  set +e
  (cd "$tmp/run" && timeout 600 wine "$top/$exe" </dev/null >"$tmp/$name.log" 2>&1)
  rc=$?
  set -e
  good=$(crlf "$tmp/$name.log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p')
  bad=$(crlf "$tmp/$name.log" | sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p')
  passed=$((passed + ${good:-0}))
  if [ $rc = 0 ]; then
    echo "ok   $name (${good:-0} tests)"
  else
    failed=$((failed + ${bad:-1}))
    echo "FAIL $name (status $rc, ${good:-0} passed, ${bad:-?} failed)"
    crlf "$tmp/$name.log" | grep -E '^\[  FAILED  \]|Failure$' | head -40
  fi
done

# --- pvrcopy.exe against the Linux build on the sample disk ---
"$linux/mkimage" "$tmp/sample.img" --sample
sum=$(sha256sum <"$tmp/sample.img")
mkdir "$tmp/out"
# run_both NAME ANSWERS ARGS...: runs both builds in fresh directories with the
# sample image and compares exit status, standard error, the output files and
# their modification times. LAYOUT "here" (default): the image is qvdisk.img
# in the run directory, which also takes the outputs. LAYOUT "options": the
# run directory is work/, the image ../src/pvr-2024.img, outputs go to
# work/out, and a decoy qvdisk.img without a signature lies in the parent
# directory (opening it would fail the run: the status must be 0).
run_both() {
  name=$1 answers=$2; shift 2
  for side in lin win; do
    d=$tmp/$name.$side
    if [ "${LAYOUT:-here}" = here ]; then
      run=$d out=$d image=$d/qvdisk.img
      mkdir "$d"
    else
      run=$d/work out=$d/work/out image=$d/src/pvr-2024.img
      mkdir -p "$out" "$d/src"
      head -c 1048576 /dev/zero >"$d/qvdisk.img"
    fi
    cp "$tmp/sample.img" "$image"
    if [ $side = lin ]; then prog=$linux/pvrcopy; else prog="wine $top/build-win/pvrcopy.exe"; fi
    set +e
    printf "$answers" | (cd "$run" && timeout 300 $prog "$@" >"$tmp/out/$name.$side.out" 2>"$tmp/out/$name.$side.err")
    echo $? >"$tmp/out/$name.$side.rc"
    set -e
    eval "out_$side=\$out image_$side=\$image"
  done
  what="$name ($*)"
  if ! cmp -s "$tmp/out/$name.lin.rc" "$tmp/out/$name.win.rc"; then
    fail "$what: exit status $(cat "$tmp/out/$name.lin.rc") on Linux, $(cat "$tmp/out/$name.win.rc") under wine"
  elif [ "${LAYOUT:-here}" != here ] && [ "$(cat "$tmp/out/$name.lin.rc")" != 0 ]; then
    fail "$what: exit status $(cat "$tmp/out/$name.lin.rc")"
    cat "$tmp/out/$name.lin.err" | tail -3
  elif ! crlf "$tmp/out/$name.win.err" | cmp -s "$tmp/out/$name.lin.err" -; then
    fail "$what: standard error differs"
    crlf "$tmp/out/$name.win.err" | diff "$tmp/out/$name.lin.err" - | head -20
  elif ! crlf "$tmp/out/$name.win.out" | cmp -s "$tmp/out/$name.lin.out" -; then
    fail "$what: standard output differs"
  elif [ "$(cd "$out_lin" && ls)" != "$(cd "$out_win" && ls)" ]; then
    fail "$what: different files written: $(cd "$out_lin" && ls | tr '\n' ' ')/ $(cd "$out_win" && ls | tr '\n' ' ')"
  else
    same=1
    for f in "$out_lin"/*; do
      [ -f "$f" ] || continue
      g=$out_win/$(basename "$f")
      cmp -s "$f" "$g" || { same=0; fail "$what: $(basename "$f") differs"; }
      # A dated recording's date and time exactly; else both the time of writing.
      a=$(stat -c %Y "$f") b=$(stat -c %Y "$g")
      if [ "$f" != "$image_lin" ] && { [ $a -lt $started ] || [ $b -lt $started ]; } && [ $a != $b ]; then
        same=0; fail "$what: $(basename "$f") modified at $a on Linux, $b under wine"
      fi
    done
    [ "$(sha256sum <"$image_win")" = "$sum" ] || { same=0; fail "$what: image changed"; }
    [ $same = 1 ] && pass "$what: identical ($(cd "$out_lin" && ls | grep -vc '^qvdisk.img$') files, status $(cat "$tmp/out/$name.lin.rc"))"
  fi
  return 0
}
run_both listing '0\n' raw
for mode in raw VOB M2P TS MP3 M2V; do
  run_both "$mode" '1\n2\n3\n0\n' "$mode"
done
# The options: an image of another name elsewhere, an output directory, a list.
LAYOUT=options
run_both options-TS '' -i ../src/pvr-2024.img -o out -r all TS
run_both options-raw '' --image=../src/pvr-2024.img --output=out/ -r 3,1-2 raw
run_both options-list '' -i ../src/pvr-2024.img -l VOB
run_both options-streams '' -i ../src/pvr-2024.img -o out -r all --all-streams MP3
run_both options-dvd '' -i ../src/pvr-2024.img -o out -r all --all-streams --dvd VOB
run_both options-disk '' -i ../src/pvr-2024.img -o out -r 2 --retries 1 --domain-map out/domain.map disk
LAYOUT=here

# The image builder's help and version, under the name it is called by, as on Linux.
for args in -h --version; do
  set +e
  "$linux/mkimage" $args >"$tmp/out/mkimage.lin" 2>&1
  echo "status $?" >>"$tmp/out/mkimage.lin"
  (cd "$tmp" && timeout 60 wine "$top/build-win/mkimage.exe" $args </dev/null >"$tmp/out/mkimage.win" 2>&1)
  echo "status $?" >>"$tmp/out/mkimage.win"
  set -e
  if crlf "$tmp/out/mkimage.win" | cmp -s "$tmp/out/mkimage.lin" -; then
    pass "mkimage.exe $args: as on Linux"
  else
    fail "mkimage.exe $args: $(crlf "$tmp/out/mkimage.win" | diff "$tmp/out/mkimage.lin" - | head -5)"
  fi
done

# Errors with the system's reason: status 1 and the same text up to it.
d=$tmp/errors && mkdir "$d" && cp "$tmp/sample.img" "$d/qvdisk.img"
for args in "-o missing raw|ERROR: Output directory missing: " "-i nope.img raw|ERROR: Cannot open image nope.img: " \
            "-d 5 raw|ERROR: Cannot open drive \\\\.\\PHYSICALDRIVE5: " "-i qvdisk.img -d 1 raw|: Usage: "; do
  want=${args#*|} args=${args%%|*}
  set +e
  (cd "$d" && timeout 60 wine "$top/build-win/pvrcopy.exe" $args </dev/null >/dev/null 2>"$tmp/out/errors.err")
  rc=$?
  set -e
  got=$(crlf "$tmp/out/errors.err")
  case $got in
    *"$want"?*) if [ $rc = 1 ]; then pass "$args: status 1, $got"; else fail "$args: status $rc"; fi ;;
    *) fail "$args: status $rc, stderr: $got" ;;
  esac
done

# A second opener of an image held by a running pvrcopy.exe counts it as
# absent (sharing violation); with no other disk that ends the opening.
d=$tmp/held && mkdir "$d" && cp "$tmp/sample.img" "$d/qvdisk.img"
mkfifo "$tmp/answers"
(cd "$d" && timeout 120 wine "$top/build-win/pvrcopy.exe" raw <"$tmp/answers" >"$tmp/out/held.out" 2>"$tmp/out/held.err") &
holder=$!
exec 3>"$tmp/answers"
i=0
while ! grep -q -- '--->' "$tmp/out/held.out" 2>/dev/null && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
set +e
(cd "$d" && timeout 120 wine "$top/build-win/pvrcopy.exe" raw </dev/null >"$tmp/out/second.out" 2>"$tmp/out/second.err")
rc=$?
set -e
printf '0\n' >&3
exec 3>&-
wait $holder || true
if [ $rc = 1 ] && crlf "$tmp/out/second.err" | grep -qx 'ERROR: No Velmoran disk found!' &&
   crlf "$tmp/out/second.err" | grep -q '^INFO: Looked at qvdisk.img (Sharing violation.)'; then
  pass "second opener of a held image refused"
else
  fail "second opener: status $rc, stderr: $(crlf "$tmp/out/second.err")"
fi

# Mode "disk" beside the image it reads must not write over it, and fails.
d=$tmp/disk && mkdir "$d" && cp "$tmp/sample.img" "$d/qvdisk.img"
set +e
(cd "$d" && timeout 120 wine "$top/build-win/pvrcopy.exe" disk </dev/null >/dev/null 2>"$tmp/out/disk.err")
rc=$?
set -e
if [ $rc = 1 ] && [ "$(sha256sum <"$d/qvdisk.img")" = "$sum" ] &&
   crlf "$tmp/out/disk.err" | head -2 | tr '\n' '|' | grep -q '^Copying whole Velmoran disk to PC file|ERROR: '; then
  pass "mode disk beside the image refused, image unchanged"
else
  fail "mode disk: status $rc, stderr: $(crlf "$tmp/out/disk.err")"
fi

echo "wine: $passed passed, $failed failed"
[ $failed = 0 ]
