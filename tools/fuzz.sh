#!/bin/sh
# The fuzz targets' bounded run: builds them with clang and libFuzzer (under
# AddressSanitizer and UndefinedBehaviorSanitizer), writes their seed corpora
# with fuzz_seeds, and runs each target for SECONDS seconds. Fails on any
# crash, sanitizer report, leak or hang (a single input running longer than
# 10 s); the inputs that fail are kept in fuzz-failures/.
#
# Usage: sh tools/fuzz.sh [SECONDS]   (default 40 per target). Prints each target's runs and
# rate (runs a second) in one line.
# Environment: BUILD (default build-fuzz), KEEP=1 keeps the grown corpora.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-40}
build=$top/${BUILD:-build-fuzz}
targets="fuzz_open fuzz_directory fuzz_reader fuzz_demux fuzz_stream_info fuzz_mapfile fuzz_options
  fuzz_pmt fuzz_carving"

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPVR_FUZZ=ON -DPVR_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target fuzz_seeds $targets >/dev/null

# The conversions write and remove their outputs for every input: in memory where there is a tmpfs.
tmp=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp=/dev/shm; fi
work=$(mktemp -d "$tmp/pvr-fuzz.XXXXXX")
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT INT TERM
failures=$top/fuzz-failures
rm -rf "$failures"
"$build/tests/fuzz/fuzz_seeds" "$work/corpus" >/dev/null

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in $targets; do
  mkdir -p "$work/run-$t" "$work/artifacts-$t"
  seeds=$(ls "$work/corpus/$t" | wc -l)
  status=0
  # Outputs of the conversions go into the target's own directory.
  (cd "$work/run-$t" && "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts-$t/" \
    "$work/corpus/$t" > "$work/$t.log" 2>&1) || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
  echo "$t: $seeds seeds, ${runs:-?} runs in $seconds s, $(( ${runs:-0} / seconds )) runs/s, status $status"
  if [ "$status" != 0 ] || [ -n "$(ls "$work/artifacts-$t")" ]; then
    failed=$((failed + 1))
    mkdir -p "$failures/$t"
    cp "$work/artifacts-$t"/* "$failures/$t/" 2>/dev/null || true
    grep -m5 -E 'ERROR|runtime error|SUMMARY' "$work/$t.log" || tail -20 "$work/$t.log"
  fi
done
echo "fuzz run: $failed of $(echo $targets | wc -w) targets failed"
[ "$failed" = 0 ] || { echo "failing inputs kept in $failures"; exit 1; }
