#!/bin/sh
# The mutation run: the sample disk (mkimage --sample) with seeded random
# byte damage in its system area, directories, recording headers and
# transport packets (tools/mutate.cpp), and every mode of the sanitizer build
# of pvrcopy on each mutant under a time limit. Fails on a crash (exit status
# above 128), a hang, a sanitizer report on standard error, or a changed
# source image (checksum before and after every run). Half the mutants are
# opened as ./qvdisk.img, half as ../qvdisk.img from a directory below; half
# of each run with --salvage.
#
# Usage: sh tools/mutate.sh [COUNT [SEED]]   (defaults: 300 mutants, seed 1)
# Environment: BUILD (default build-test, configured with PVR_SANITIZE=ON when
# missing), JOBS (parallel workers, default 2), LIMIT (seconds per run, 20),
# KEEP=1 keeps the work directory. The mutants that fail are kept in
# mutate-failures/ with the command that reproduces them.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
count=${1:-300}
seed=${2:-1}
build=$top/${BUILD:-build-test}
jobs=${JOBS:-2}
limit=${LIMIT:-20}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPVR_SANITIZE=ON >/dev/null
fi
cmake --build "$build" -j2 --target pvrcopy mkimage mutate >/dev/null

work=$(mktemp -d /tmp/pvr-mutate.XXXXXX)
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT INT TERM
failures=$top/mutate-failures
rm -rf "$failures"

"$build/mkimage" "$work/sample.img" --sample 2>/dev/null
# Leaks are reported too; a report never stops a run early.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
UBSAN_OPTIONS=print_stacktrace=1
export ASAN_OPTIONS UBSAN_OPTIONS

# worker W: mutants W, W + jobs, W + 2 x jobs, ... Each result is one line
# in $work/result.W: "run", or "crash|hang|sanitizer|changed DESCRIPTION".
worker() {
  w=$1
  dir=$work/w$w
  out=$work/result.$w
  : > "$out"
  i=$w
  while [ "$i" -lt "$count" ]; do
    rm -rf "$dir"
    mkdir -p "$dir/img/below"
    img=$dir/img/qvdisk.img
    set -- $("$build/mutate" "$work/sample.img" "$img" "$seed" "$i")
    part=$1 answer=$2
    sum=$(cksum < "$img")
    if [ $((i % 2)) = 0 ]; then run_dir=$dir/img; where=./qvdisk.img; else run_dir=$dir/img/below; where=../qvdisk.img; fi
    # Every other pair of mutants runs with --salvage: the disks the check refuses are used.
    salvage=""
    if [ $((i / 2 % 2)) = 1 ]; then salvage=--salvage; where="$where $salvage"; fi
    echo "mutant $i $part $answer $where" >> "$work/mutants.$w"
    for mode in raw TS M2V MP3 VOB "M2P 2048" disk; do
      status=0
      # shellcheck disable=SC2086 # the mode carries its repack size
      (cd "$run_dir" && printf '%s\n0\n' "$answer" |
        timeout -k 5 "$limit" "$build/pvrcopy" $salvage $mode > "$dir/stdout" 2> "$dir/stderr") || status=$?
      what="mutant $i ($part, recording $answer, $where) mode $mode"
      echo run >> "$out"
      failed=""
      if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "hang $what" >> "$out"; failed=hang
      elif [ "$status" -gt 128 ]; then
        echo "crash $what: status $status" >> "$out"; failed=crash
      fi
      if grep -q -E 'Sanitizer|runtime error:' "$dir/stderr"; then
        echo "sanitizer $what: $(grep -m1 -E 'Sanitizer|runtime error:' "$dir/stderr")" >> "$out"; failed=sanitizer
      fi
      if [ "$(cksum < "$img")" != "$sum" ]; then
        echo "changed $what" >> "$out"; failed=changed
        sum=$(cksum < "$img")
      fi
      if [ -n "$failed" ]; then
        keep=$failures/mutant-$i-$(echo "$mode" | tr ' ' _)
        mkdir -p "$keep"
        "$build/mutate" "$work/sample.img" "$keep/qvdisk.img" "$seed" "$i" >/dev/null
        cp "$dir/stderr" "$keep/stderr"
        echo "cd $keep && printf '$answer\\n0\\n' | $build/pvrcopy $salvage $mode  # $failed" > "$keep/reproduce"
      fi
      # Outputs of the run go; the image stays.
      find "$run_dir" -mindepth 1 -maxdepth 1 ! -name qvdisk.img ! -name below -exec rm -rf {} +
    done
    i=$((i + jobs))
  done
}

start=$(date +%s)
w=0
pids=""
while [ "$w" -lt "$jobs" ]; do
  worker "$w" &
  pids="$pids $!"
  w=$((w + 1))
done
for p in $pids; do wait "$p"; done

results() { cat "$work"/result.* | grep -c "^$1" || true; }
runs=$(results run)
crashes=$(results crash)
hangs=$(results hang)
reports=$(results sanitizer)
changed=$(results changed)
echo "mutation run, seed $seed: $count mutants, $runs runs, $crashes crashes, $hangs hangs," \
  "$reports sanitizer reports, $changed changed images ($(($(date +%s) - start)) s)"
bad=$((crashes + hangs + reports + changed))
if [ "$bad" != 0 ]; then
  cat "$work"/result.* | grep -v '^run$' | head -50
  echo "failing mutants kept in $failures"
  exit 1
fi
