// Salvaging reads: what a failing disk still gives. A range is read with one
// qv_read while the disk is healthy; when that read fails or comes back short,
// the range is read again in sixteenths, and every piece that fails in
// sixteenths of it, down to single sectors. Every sector that can be read is
// kept; the others are zero-filled and listed, so that each caller decides
// what a hole means (zeros in a copy, packets left out, an entry taken from
// the other table). On Windows a failing ReadFile fails the whole request,
// on a POSIX system a read stops short at the first bad sector: the same
// splitting serves both.
#include <cinttypes>
#include <cstring>

#include "disk/device/device.h"

namespace {

constexpr uint32_t kSplitParts = 16;

// Adds sector run [first, first + length) behind the runs found so far
// (they are found in ascending order), joining it to the last one when it
// follows it directly.
void add_run(bad_sectors* bad, uint32_t first, uint32_t length) {
    if (bad->count > 0) {
        uint32_t last = bad->count - 1;
        if (bad->first[last] + bad->length[last] == first) {
            bad->length[last] += length;
            return;
        }
    }
    // Runs of one cluster are separated by readable sectors: never more than
    // half its sectors, far below the room.
    if (bad->count < kMaxBadRuns) {
        bad->first[bad->count] = first;
        bad->length[bad->count] = length;
        bad->count++;
    }
}

// Reads sectors [first, first + sectors) of the range at position (count
// bytes, the last sector possibly partial) piece by piece, each piece that
// fails split again.
void salvage_pieces(int64_t position, uint8_t* dest, uint32_t count, int swap, uint32_t first,
                    uint32_t sectors, bad_sectors* bad, char* message) {
    uint32_t piece = (sectors + kSplitParts - 1) / kSplitParts;
    for (uint32_t s = first; s < first + sectors; s += piece) {
        uint32_t n = first + sectors - s < piece ? first + sectors - s : piece;
        uint32_t from = s * kSectorSize;
        uint32_t to = (s + n) * kSectorSize < count ? (s + n) * kSectorSize : count;
        if (qv_read_r(position + from, dest + from, to - from, swap, message) == 0) continue;
        if (n > 1) {
            salvage_pieces(position, dest, count, swap, s, n, bad, message);
        } else {
            memset(dest + from, 0, to - from);
            add_run(bad, s, 1);
        }
    }
}

}  // namespace

uint64_t bad_run_start(const bad_sectors* bad, uint32_t i) {
    return uint64_t(bad->first[i]) * kSectorSize;
}

uint64_t bad_run_end(const bad_sectors* bad, uint32_t i) {
    return (uint64_t(bad->first[i]) + bad->length[i]) * kSectorSize;
}

int qv_read_salvage_r(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad,
                      char* message) {
    bad->count = 0;
    if (count > kClusterBufferSize) {
        qv_format(message, "Cannot read %u bytes at once at position %" PRId64 "\n", count,
                  position);
        return kSalvageFailed;
    }
    if (qv_read_r(position, dest, count, swap, message) == 0) return kSalvageComplete;
    // Nothing to salvage where there is no disk.
    if (!qv->handle || position < 0 || beyond_disk(position)) return kSalvageFailed;
    uint32_t sectors = (count + kSectorSize - 1) / kSectorSize;
    salvage_pieces(position, static_cast<uint8_t*>(dest), count, swap, 0, sectors, bad, message);
    return bad->count == 0 ? kSalvageComplete : kSalvagePartial;
}

int qv_read_salvage(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad) {
    return qv_read_salvage_r(position, dest, count, swap, bad, qv_error);
}

int qv_read_cluster_salvage(uint32_t n, uint8_t* dest, bad_sectors* bad) {
    return qv_read_salvage(cluster_position(n), dest, qv->cluster_size, 1, bad);
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

int64_t report_unreadable(progress_callback callback, int64_t position, const bad_sectors* bad,
                          uint32_t valid) {
    int64_t total = 0;
    for (uint32_t i = 0; i < bad->count; ++i) {
        uint64_t start = bad_run_start(bad, i);
        uint64_t end = bad_run_end(bad, i);
        if (end > valid) end = valid;
        if (start >= end) continue;
        qv_inform(callback, "Cannot read %u bytes at position %" PRId64 "\n", uint32_t(end - start),
                  position + int64_t(start));
        total += int64_t(end - start);
    }
    return total;
}
