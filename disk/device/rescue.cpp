// The rescue of a failing disk: the state of every byte as GNU ddrescue
// keeps it, and the reads that change it. A failing drive spends seconds of
// its own retries on every read of a bad area and wears a little more each
// time, so a read that fails is never split into pieces: what arrived
// before the failure is kept, the rest is trimmed sector by sector in from
// both of its edges until a sector fails, and the middle waits for the
// caller's effort (or mode "disk"'s scraping). What every read found stays
// in the state for the run: a range known bad is not read again.
//
// On Windows a failing ReadFile fails the whole request, on a POSIX system
// a read stops at the first bad sector and delivers what lies before it:
// the same trimming serves both.
#include <cinttypes>
#include <cstring>

#include "disk/bytes.h"
#include "disk/device/device.h"

namespace {

constexpr char kStatuses[] = "?*/-+";  // the order of the byte counts
constexpr int kStatusCount = 5;
constexpr int64_t kUnknownEnd = INT64_MAX;

struct rescue_record {
    rescue_map map;  // from byte 0 on, as far as the disk (or the reads) reach
    int64_t bytes[kStatusCount];
    int64_t failed_reads;
    rescue_sink sink;
    bool have_sink;
    bool stop;            // the sink failed: the phase that runs ends
    bool lost;            // no memory for the map: reads go on without it
    char phase;           // status of the phase that runs; 0 outside the phases
    int64_t phase_start;  // bytes of that status when it began
    int64_t phase_total;
    int64_t retried;           // bytes tried by the retry pass that runs
    char message[kErrorSize];  // the phases' read messages
    alignas(kMaxDeviceSector) uint8_t sector[kMaxDeviceSector];  // one sector read alone
};
rescue_record state;
qv_monitor monitor;  // one reader at a time (the read-ahead thread reads too)

int status_index(char status) {
    const char* at = strchr(kStatuses, status);
    return at && status ? int(at - kStatuses) : 0;
}

int64_t disk_end() {
    return qv->disk_sectors > 0 ? qv->disk_sectors * int64_t(kSectorSize) : kUnknownEnd;
}

// The rescue's sector: the drive's logical sector (512 bytes for an image).
int64_t sector_after(int64_t pos) { return (pos / device_sector() + 1) * device_sector(); }
int64_t sector_before(int64_t end) { return (end - 1) / device_sector() * device_sector(); }

// The state reaches end: non-tried ground behind what it held.
void reach(int64_t end) {
    const int64_t known = map_end(&state.map);
    if (state.lost || end <= known) return;
    if (map_set(&state.map, known, end - known, kMapNonTried) != 0) {
        state.lost = true;
        return;
    }
    state.bytes[status_index(kMapNonTried)] += end - known;
}

// Gives bytes [pos, pos + size) the status, keeping the counts.
void mark(int64_t pos, int64_t size, char status) {
    if (size <= 0 || state.lost) return;
    reach(pos + size);
    const int64_t end = pos + size;
    for (uint32_t i = map_block_at(&state.map, pos);
         i < state.map.count && state.map.blocks[i].pos < end; ++i) {
        const map_block& b = state.map.blocks[i];
        const int64_t from = b.pos > pos ? b.pos : pos;
        const int64_t to = b.pos + b.size < end ? b.pos + b.size : end;
        state.bytes[status_index(b.status)] -= to - from;
    }
    if (map_set(&state.map, pos, size, status) != 0) {
        state.lost = true;
        return;
    }
    state.bytes[status_index(status)] += size;
}

void recount() {
    memset(state.bytes, 0, sizeof state.bytes);
    for (uint32_t i = 0; i < state.map.count; ++i)
        state.bytes[status_index(state.map.blocks[i].status)] += state.map.blocks[i].size;
}

// Whether the sector that holds byte pos is known bad.
bool bad_at(int64_t pos) {
    int64_t end = 0;
    return pos >= 0 && rescue_status_at(pos, pos + 1, &end) == kMapBadSector;
}

bool halted() { return qv_interrupted || (state.phase && state.stop); }

int64_t phase_done() {
    if (!state.phase) return 0;
    if (state.phase == kMapBadSector) return state.retried;
    return state.phase_start - state.bytes[status_index(state.phase)];
}

void after_read(bool failed) {
    if (!state.have_sink || !state.sink.after_read) return;
    if (state.sink.after_read(state.sink.context, failed, phase_done(), state.phase_total) != 0)
        state.stop = true;
}

// Where a read puts its bytes: into the caller's buffer at their place in
// the range read, or (base null) one sector at a time into the state's.
struct target {
    uint8_t* base;
    int64_t pos;  // of base[0]
    char* message;
};
uint8_t* place(const target& t, int64_t pos) {
    return t.base ? t.base + (pos - t.pos) : state.sector;
}

// One read of [pos, pos + count): the whole sectors that arrived before a
// failure are finished (and go to the sink), a failure is counted. Returns
// the finished bytes from pos.
int64_t read_and_keep(const target& t, int64_t pos, int64_t count) {
    uint8_t* dest = place(t, pos);
    uint32_t got = 0;
    const bool failed = qv_read_some(pos, dest, uint32_t(count), &got, t.message) != 0;
    int64_t good = count;
    if (failed) {
        state.failed_reads++;
        good = (pos + got) / device_sector() * device_sector() - pos;
        if (good < 0) good = 0;
    }
    state.map.current_pos = pos;
    // The sink sees the state without these bytes: one that fails to store
    // them can save a map of exactly what it holds.
    if (good > 0 && state.have_sink &&
        state.sink.write(state.sink.context, pos, dest, uint32_t(good)) != 0)
        state.stop = true;
    mark(pos, good, kMapFinished);
    after_read(failed);
    return good;
}

bool read_sector(const target& t, int64_t lo, int64_t hi) {
    return read_and_keep(t, lo, hi - lo) == hi - lo;
}

// A copying read of [lo, hi): what arrives is finished, the rest of the
// command that failed becomes non-trimmed (a single sector that failed is a
// bad one: trimming it would read it again); what the read did not reach
// stays non-tried. Returns where the failed part begins (hi: none).
int64_t copy_read(const target& t, int64_t lo, int64_t hi) {
    const int64_t good = read_and_keep(t, lo, hi - lo);
    if (lo + good == hi) return hi;
    const int64_t reached = lo + int64_t(qv_read_tried());
    const int64_t failed_end = reached < hi ? sector_after(reached - 1) : hi;
    const bool one_sector = sector_after(lo + good) >= failed_end;
    mark(lo + good, failed_end - lo - good, one_sector ? kMapBadSector : kMapNonTrimmed);
    return lo + good;
}

// Reads [lo, hi) a sector at a time, forwards or backwards; a sector that
// fails becomes bad-sector (and with until_failure ends the walk). Returns
// where the walk stopped: lo forwards, hi backwards.
int64_t walk_sectors(const target& t, int64_t lo, int64_t hi, bool forwards, bool until_failure) {
    while (lo < hi && !halted()) {
        const int64_t from = forwards ? lo : (sector_before(hi) > lo ? sector_before(hi) : lo);
        const int64_t to = forwards ? (sector_after(lo) < hi ? sector_after(lo) : hi) : hi;
        if (state.phase == kMapBadSector) state.retried += to - from;
        const bool read = read_sector(t, from, to);
        if (!read) mark(from, to - from, kMapBadSector);
        if (forwards)
            lo = to;
        else
            hi = from;
        if (!read && until_failure) break;
    }
    return forwards ? lo : hi;
}

// Trims the non-trimmed [lo, hi) from both edges; the middle is left
// non-scraped. An edge next to a bad sector is trimmed already. An
// interrupted trim leaves what it did not reach non-trimmed.
void trim(const target& t, int64_t lo, int64_t hi) {
    if (!bad_at(lo - 1)) lo = walk_sectors(t, lo, hi, true, true);
    if (halted()) return;
    if (lo < hi && !bad_at(hi)) hi = walk_sectors(t, lo, hi, false, true);
    if (halted()) return;
    mark(lo, hi - lo, kMapNonScraped);
}

// Every non-scraped sector of [lo, hi), forwards.
void scrape(const target& t, int64_t lo, int64_t hi) {
    for (int64_t at = lo; at < hi && !halted();) {
        int64_t end = 0;
        const char status = rescue_status_at(at, hi, &end);
        if (status == kMapNonScraped) walk_sectors(t, at, end, true, false);
        at = end;
    }
}

// Serves finished bytes from the sink's copy. False when it cannot.
bool serve(int64_t pos, uint8_t* dest, int64_t count) {
    return state.have_sink && state.sink.serve &&
           state.sink.serve(state.sink.context, pos, dest, uint32_t(count)) == 0;
}

// Without a copy to serve from, finished and non-tried blocks behind from
// are read together. Returns the end of the stretch.
int64_t stretch_end(int64_t from, int64_t end) {
    while (!(state.have_sink && state.sink.serve) && from < end) {
        int64_t next = 0;
        const char status = rescue_status_at(from, end, &next);
        if (status != kMapFinished && status != kMapNonTried) break;
        from = next;
    }
    return from;
}

void note_known_bad(int64_t pos, char* message) {
    if (!source_map_refuses(pos, 1, message))
        qv_format(message, "Cannot read position %" PRId64 ": it failed before\n", pos);
}

// Reads [pos, end) of the caller's range at t by the effort.
void read_range(const target& t, int64_t pos, int64_t end, rescue_effort effort) {
    for (int64_t at = pos; at < end && !halted();) {
        int64_t run_end = 0;
        const char status = rescue_status_at(at, end, &run_end);
        if (status == kMapFinished && serve(at, place(t, at), run_end - at)) {
            at = run_end;
            continue;
        }
        if (status == kMapFinished || status == kMapNonTried) {
            run_end = stretch_end(run_end, end);
            const int64_t failed_at = copy_read(t, at, run_end);
            // The failed part is trimmed, what lies behind it read next.
            if (failed_at < run_end &&
                rescue_status_at(failed_at, run_end, &run_end) == kMapNonTrimmed)
                trim(t, failed_at, run_end);
        } else if (status == kMapNonTrimmed) {
            trim(t, at, run_end);
        } else if (status == kMapBadSector || effort != kEffortScrape) {
            note_known_bad(at, t.message);
        }
        if (effort == kEffortScrape) scrape(t, at, run_end);
        at = run_end;
    }
}

// The unread parts of the range [pos, pos + count) (inside the disk up to
// inside): zero bytes in dest, listed in bad.
void collect(int64_t pos, uint8_t* dest, uint32_t count, int64_t inside, bad_sectors* bad) {
    const int64_t end = pos + count;
    for (int64_t at = pos; at < end;) {
        int64_t run_end = end;
        const char status = at < inside ? rescue_status_at(at, inside, &run_end) : kMapBadSector;
        if (status != kMapFinished) {
            memset(dest + (at - pos), 0, size_t(run_end - at));
            const uint32_t first = uint32_t((at - pos) / kSectorSize);
            const uint32_t last = uint32_t((run_end - pos + kSectorSize - 1) / kSectorSize);
            add_bad_run(bad, first, last - first, status != kMapBadSector);
        }
        at = run_end;
    }
}

// Without the state (no memory for it): one plain read, all or nothing.
void read_plain(int64_t pos, uint8_t* dest, uint32_t count, bad_sectors* bad, char* message) {
    uint32_t got = 0;
    if (qv_read_some(pos, dest, count, &got, message) == 0) return;
    memset(dest, 0, count);
    add_bad_run(bad, 0, (count + kSectorSize - 1) / kSectorSize, true);
}

// Where the image beside the disk has a map: every byte of [from, to) (on
// the disk) that map does not mark finished and the state does not either is
// bad.
void refuse_unmapped(int64_t from, int64_t to) {
    if (to > disk_end()) to = disk_end();
    for (int64_t at = from; at < to;) {
        int64_t end = 0;
        const char status = rescue_status_at(at, to, &end);
        if (status != kMapFinished) mark(at, end - at, kMapBadSector);
        at = end;
    }
}

void apply_source_map() {
    const rescue_map* source = source_map();
    if (!source) return;
    for (uint32_t i = 0; i < source->count; ++i) {
        const map_block& b = source->blocks[i];
        if (b.status != kMapFinished) refuse_unmapped(b.pos, b.pos + b.size);
    }
    if (disk_end() != kUnknownEnd) refuse_unmapped(map_end(source), disk_end());
}

void clear_state() {
    map_free(&state.map);
    state = rescue_record{};
}

}  // namespace

char rescue_status_at(int64_t pos, int64_t limit, int64_t* end) {
    *end = limit;
    if (state.lost) return kMapNonTried;
    const uint32_t i = map_block_at(&state.map, pos);
    if (i == state.map.count) return kMapNonTried;
    const map_block& b = state.map.blocks[i];
    if (b.pos + b.size < limit) *end = b.pos + b.size;
    return b.status;
}

char rescue_status_before(int64_t pos, int64_t floor, int64_t* start) {
    *start = floor;
    if (state.lost) return kMapNonTried;
    const uint32_t i = map_block_at(&state.map, pos - 1);
    if (i == state.map.count) return kMapNonTried;
    const map_block& b = state.map.blocks[i];
    if (b.pos > floor) *start = b.pos;
    return b.status;
}

bool rescue_copy_read(int64_t lo, int64_t hi) {
    const target t = {cluster_buffer, lo, state.message};
    return copy_read(t, lo, hi) < hi;
}

void rescue_trim(int64_t lo, int64_t hi) { trim(target{nullptr, 0, state.message}, lo, hi); }

void rescue_sectors(int64_t lo, int64_t hi, bool forwards) {
    walk_sectors(target{nullptr, 0, state.message}, lo, hi, forwards, false);
}

void rescue_begin_phase(char status, int pass, int64_t total) {
    state.phase = status;
    state.phase_start = status ? state.bytes[status_index(status)] : 0;
    state.phase_total = total;
    state.retried = 0;
    if (status) rescue_set_current(state.map.current_pos, status, pass);
}

loop_stop rescue_check() {
    if (qv_interrupted) return kLoopInterrupted;
    return state.stop ? kLoopStopped : kLoopRan;
}

void rescue_hold() {
    if (monitor) qv_monitor_lock(monitor);
}

void rescue_release() {
    if (monitor) qv_monitor_unlock(monitor);
}

void rescue_reset() {
    clear_state();
    if (!monitor) monitor = qv_monitor_new();
    if (disk_end() != kUnknownEnd) reach(disk_end());
    apply_source_map();
}

void rescue_free() {
    clear_state();
    if (monitor) qv_monitor_free(monitor);
    monitor = nullptr;
}

namespace {

// What this run's reads found failing before the copy's map was adopted
// stays known where that map has not tried the bytes: they are not read
// again (the first sector is read before the copy is set up).
void keep_failures(const rescue_map* known) {
    for (uint32_t i = 0; i < known->count; ++i) {
        const map_block& b = known->blocks[i];
        if (b.status == kMapFinished || b.status == kMapNonTried) continue;
        for (int64_t at = b.pos; at < b.pos + b.size;) {
            int64_t end = 0;
            const char status = rescue_status_at(at, b.pos + b.size, &end);
            if (status == kMapNonTried) mark(at, end - at, b.status);
            at = end;
        }
    }
}

}  // namespace

int rescue_adopt(rescue_map* map, const rescue_sink* sink) {
    rescue_hold();
    rescue_map known = state.map;
    state.map = *map;
    *map = rescue_map{};
    state.lost = false;
    if (state.map.count > 0 && state.map.blocks[0].pos > 0 &&
        map_set(&state.map, 0, state.map.blocks[0].pos, kMapNonTried) != 0)
        state.lost = true;
    recount();
    if (disk_end() != kUnknownEnd) reach(disk_end());
    apply_source_map();
    keep_failures(&known);
    map_free(&known);
    state.sink = *sink;
    state.have_sink = true;
    state.stop = false;
    rescue_release();
    return state.lost ? 1 : 0;
}

void rescue_drop_sink() {
    rescue_hold();
    state.have_sink = false;
    state.sink = rescue_sink{};
    rescue_release();
}

const rescue_map* rescue_state() { return &state.map; }

void rescue_set_current(int64_t pos, char status, int pass) {
    state.map.current_pos = pos;
    state.map.current_status = status;
    state.map.current_pass = pass;
}

int64_t rescue_bytes(char status) { return state.bytes[status_index(status)]; }

int64_t rescue_failed_reads() { return state.failed_reads; }

// The reads' messages go to the rescue's own buffer, and the reason of a
// read that could not deliver everything to qv_error when it returns: a
// sink that failed meanwhile has its own reason, the caller this one.
int qv_read_salvage(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad,
                    rescue_effort effort) {
    bad->count = 0;
    uint8_t* out = static_cast<uint8_t*>(dest);
    if (count > kClusterBufferSize) {
        qv_set_error("Cannot read %u bytes at once at position %" PRId64 "\n", count, position);
        return kSalvageFailed;
    }
    // Nothing to rescue where there is no disk: only the reason, no read.
    if (!qv->handle || position < 0 || beyond_disk(position)) {
        uint32_t got = 0;
        qv_read_some(position, out, count, &got, qv_error);
        return kSalvageFailed;
    }
    rescue_hold();
    state.message[0] = 0;
    const int64_t end = position + count;
    const int64_t inside = end < disk_end() ? end : disk_end();
    reach(inside);
    if (state.lost) {
        read_plain(position, out, count, bad, state.message);
    } else {
        read_range(target{out, position, state.message}, position, inside, effort);
        collect(position, out, count, inside, bad);
    }
    if (bad->count) memcpy(qv_error, state.message, sizeof state.message);
    rescue_release();
    if (swap) swap16_words(out, count);
    return bad->count == 0 ? kSalvageComplete : kSalvagePartial;
}

int qv_read_cluster_salvage(uint32_t n, uint8_t* dest, bad_sectors* bad, rescue_effort effort) {
    return qv_read_salvage(cluster_position(n), dest, qv->cluster_size, 1, bad, effort);
}
