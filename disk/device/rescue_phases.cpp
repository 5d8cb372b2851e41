// The phases of a rescue, as GNU ddrescue runs them: copying, trimming,
// scraping, retrying, each a walk over the blocks of its status within the
// areas it is given, in their order. The copying phase gets out of a bad
// area fast: it skips beyond a failed read, further after failures in a
// row, so the good data behind it is read first; the skipped blocks are
// read by the later passes.
#include <cstdlib>
#include <cstring>

#include "disk/device/device.h"

namespace {

constexpr uint32_t kFirstAreaRoom = 64;
constexpr int64_t kPieceWithoutGeometry = int64_t(1) << 20;
// ddrescue's skip sizes: the first a 100,000th of the disk, doubled after
// each failure in a row up to a 100th; never less than one read.
constexpr int64_t kFirstSkipDivisor = 100000;
constexpr int64_t kLargestSkipDivisor = 100;
constexpr int kCopyPasses = 3;

int64_t round_to_pieces(int64_t bytes) {
    const int64_t piece = rescue_piece();
    const int64_t n = (bytes + piece - 1) / piece;
    return (n > 0 ? n : 1) * piece;
}

int64_t disk_bytes() { return qv->disk_sectors * int64_t(kSectorSize); }

// Walks the blocks of status within area a, forwards: act(lo, hi) on each
// part of one, giving the position to go on from.
template <class Act>
loop_stop forwards_over(const rescue_area& a, char status, Act act) {
    const int64_t end = a.pos + a.size;
    for (int64_t at = a.pos; at < end;) {
        const loop_stop stop = rescue_check();
        if (stop != kLoopRan) return stop;
        int64_t block_end = 0;
        if (rescue_status_at(at, end, &block_end) != status)
            at = block_end;
        else
            at = act(at, block_end);
    }
    return kLoopRan;
}

// The same backwards: act(lo, hi) gives the position to go on from, below.
template <class Act>
loop_stop backwards_over(const rescue_area& a, char status, Act act) {
    for (int64_t at = a.pos + a.size; at > a.pos;) {
        const loop_stop stop = rescue_check();
        if (stop != kLoopRan) return stop;
        int64_t block_start = 0;
        if (rescue_status_before(at, a.pos, &block_start) != status)
            at = block_start;
        else
            at = act(block_start, at);
    }
    return kLoopRan;
}

// One pass of a phase: its status and number, every area in order (or from
// the last one, backwards) through act.
template <class Act>
loop_stop pass_over(const rescue_areas* areas, char status, int pass, bool forwards, Act act) {
    const char statuses[] = {status, 0};
    rescue_begin_phase(status, pass, count_statuses(areas, statuses).bytes);
    loop_stop stop = kLoopRan;
    for (uint32_t k = 0; k < areas->count && stop == kLoopRan; ++k) {
        const rescue_area& a = areas->items[forwards ? k : areas->count - 1 - k];
        stop = forwards ? forwards_over(a, status, act) : backwards_over(a, status, act);
    }
    rescue_begin_phase(0, 0, 0);
    return stop;
}

// Copying forwards, one piece at a time; with skipping, a failed piece is
// followed by a skip that grows while the failures go on in a row.
loop_stop copy_forwards(const rescue_areas* areas, int pass, bool skipping) {
    const int64_t first_skip = round_to_pieces(disk_bytes() / kFirstSkipDivisor);
    const int64_t largest_skip = round_to_pieces(disk_bytes() / kLargestSkipDivisor);
    int64_t skip = first_skip;
    return pass_over(areas, kMapNonTried, pass, true, [&](int64_t lo, int64_t hi) {
        const int64_t grid = (lo / rescue_piece() + 1) * rescue_piece();
        const int64_t end = grid < hi ? grid : hi;
        if (!rescue_copy_read(lo, end)) {
            skip = first_skip;
            return end;
        }
        if (!skipping) return end;
        const int64_t next = end + skip;
        skip = skip * 2 < largest_skip ? skip * 2 : largest_skip;
        return next;
    });
}

// Copying backwards from the end of each skipped block to its first
// failure; the rest of that block waits for the sweep.
loop_stop copy_backwards(const rescue_areas* areas, int pass) {
    return pass_over(areas, kMapNonTried, pass, false, [](int64_t lo, int64_t hi) {
        const int64_t grid = (hi - 1) / rescue_piece() * rescue_piece();
        const int64_t start = grid > lo ? grid : lo;
        return rescue_copy_read(start, hi) ? lo : start;
    });
}

bool has_status(const char* statuses, char status) {
    return status && strchr(statuses, status) != nullptr;
}

}  // namespace

int64_t rescue_piece() { return qv->cluster_size ? qv->cluster_size : kPieceWithoutGeometry; }

int add_rescue_area(rescue_areas* areas, int64_t pos, int64_t size) {
    if (size <= 0) return 0;
    if (areas->count > 0) {
        rescue_area& last = areas->items[areas->count - 1];
        if (last.pos + last.size == pos) {
            last.size += size;
            return 0;
        }
    }
    if (areas->count == areas->room) {
        const uint32_t room = areas->room ? areas->room * 2 : kFirstAreaRoom;
        void* items = realloc(areas->items, sizeof(rescue_area) * room);
        if (!items) {
            qv_set_error("Not enough memory for the areas of the rescue\n");
            return 1;
        }
        areas->items = static_cast<rescue_area*>(items);
        areas->room = room;
    }
    areas->items[areas->count++] = rescue_area{pos, size};
    return 0;
}

void free_rescue_areas(rescue_areas* areas) {
    free(areas->items);
    *areas = rescue_areas{};
}

rescue_census count_statuses(const rescue_areas* areas, const char* statuses) {
    rescue_census census = {0, 0};
    for (uint32_t k = 0; k < areas->count; ++k) {
        const int64_t end = areas->items[k].pos + areas->items[k].size;
        bool in_run = false;
        for (int64_t at = areas->items[k].pos; at < end;) {
            int64_t next = 0;
            const bool counted = has_status(statuses, rescue_status_at(at, end, &next));
            if (counted) census.bytes += next - at;
            if (counted && !in_run) census.runs++;
            in_run = counted;
            at = next;
        }
    }
    return census;
}

loop_stop rescue_copying(const rescue_areas* areas) {
    rescue_hold();
    hold_cluster_buffer("the rescue's copying");  // rescue_copy_read reads into it
    loop_stop stop = copy_forwards(areas, 1, true);
    if (stop == kLoopRan) stop = copy_backwards(areas, 2);
    if (stop == kLoopRan) stop = copy_forwards(areas, kCopyPasses, false);
    release_cluster_buffer();
    rescue_release();
    return stop;
}

loop_stop rescue_trimming(const rescue_areas* areas) {
    rescue_hold();
    const loop_stop stop = pass_over(areas, kMapNonTrimmed, 1, true, [](int64_t lo, int64_t hi) {
        rescue_trim(lo, hi);
        return hi;
    });
    rescue_release();
    return stop;
}

loop_stop rescue_scraping(const rescue_areas* areas) {
    rescue_hold();
    const loop_stop stop = pass_over(areas, kMapNonScraped, 1, true, [](int64_t lo, int64_t hi) {
        rescue_sectors(lo, hi, true);
        return hi;
    });
    rescue_release();
    return stop;
}

loop_stop rescue_retrying(const rescue_areas* areas, int pass) {
    const bool forwards = pass % 2 == 0;
    rescue_hold();
    const loop_stop stop =
        pass_over(areas, kMapBadSector, pass, forwards, [forwards](int64_t lo, int64_t hi) {
            rescue_sectors(lo, hi, forwards);
            return forwards ? hi : lo;
        });
    rescue_release();
    return stop;
}
