// The unreadable sectors of a range, as the rescue hands them to its
// callers: runs in ascending order, so that each caller decides what a hole
// means (zeros in a copy, packets left out, an entry taken from the other
// table); and the one report of them.
#include <cinttypes>

#include "disk/device/device.h"

void add_bad_run(bad_sectors* bad, uint32_t first, uint32_t length, bool untried) {
    if (bad->count > 0) {
        uint32_t last = bad->count - 1;
        if (bad->first[last] + bad->length[last] == first && bad->untried[last] == untried) {
            bad->length[last] += length;
            return;
        }
    }
    // Runs alternate at most between tried and untried from sector to
    // sector: never more than the sectors of a cluster, the room.
    if (bad->count < kMaxBadRuns) {
        bad->first[bad->count] = first;
        bad->length[bad->count] = length;
        bad->untried[bad->count] = untried;
        bad->count++;
    }
}

uint64_t bad_run_start(const bad_sectors* bad, uint32_t i) {
    return uint64_t(bad->first[i]) * kSectorSize;
}

uint64_t bad_run_end(const bad_sectors* bad, uint32_t i) {
    return (uint64_t(bad->first[i]) + bad->length[i]) * kSectorSize;
}

uint32_t bad_run_after(const bad_sectors* bad, uint32_t from, uint32_t first) {
    uint32_t i = first;
    while (i < bad->count && bad_run_end(bad, i) <= from) ++i;
    return i;
}

bool bad_bytes_touch(const bad_sectors* bad, uint32_t from, uint32_t to) {
    if (to <= from) return false;
    uint32_t i = bad_run_after(bad, from, 0);
    return i < bad->count && bad_run_start(bad, i) < to;
}

void show_unreadable(progress_callback callback, int64_t position, uint32_t count) {
    qv_inform(callback, "Cannot read %u bytes at position %" PRId64 "\n", count, position);
}

int64_t untried_bytes(const bad_sectors* bad, uint32_t valid) {
    int64_t total = 0;
    for (uint32_t i = 0; i < bad->count; ++i) {
        uint64_t end = bad_run_end(bad, i) < valid ? bad_run_end(bad, i) : valid;
        if (bad->untried[i] && bad_run_start(bad, i) < end)
            total += int64_t(end - bad_run_start(bad, i));
    }
    return total;
}
