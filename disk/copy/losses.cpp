// What a copy of a recording loses, told in the recording's own time. The
// copy hands over each cluster as it takes it; the timeline notes its
// unreadable areas at their place in the recording and walks its transport
// packets for the clock (every PCR; where the recording has none, the DTS
// or PTS of one of its streams). A place is told once the clock behind it
// has shown how long it lasted: "Film: 0.44 s lost at 0:43:10 (4096 bytes
// unreadable at position 3196928)". Times count from the recording's first
// picture (the first time-stamped PES packet of its video); losses less
// than a second apart are one place. A recording without a clock has its
// places as shares of its length ("at 61 %").
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "disk/copy/copy.h"

namespace {

constexpr double kTicksPerSecond = double(kPcrTicksPerSecond);
constexpr double kJoinTicks = kTicksPerSecond;  // places closer than this are one
constexpr int kSecondsPerMinute = 60;
constexpr int kSecondsPerHour = 3600;
// Times beyond this (a clock gone wild in damaged packets) are shown as this.
constexpr double kLongestSeconds = 1e9;
// A clock step of more than this many times what the bytes between took on
// average, a second added, is a jump of the clock, not time that passed.
constexpr double kJumpFactor = 4;
// Unreadable areas waiting for the clock behind them; further ones join the last.
constexpr uint32_t kMaxOpenAreas = 64;

enum clock_source { kNoClock, kPesClock, kPcrClock };

struct lost_area {
    int64_t from, to;  // recording bytes
    int64_t position;  // disk byte of from
    int count;         // areas joined in it
};

// A place being gathered: losses closer than a second apart (without a
// clock: at the same share).
struct lost_place {
    bool open;
    double start, end, lost;  // clock ticks from the first time sample
    int percent;
    int64_t unreadable, position, cut;
    int areas;
};

copy_account account;

const char* plural(int64_t n) { return n == 1 ? "" : "s"; }

}  // namespace

struct loss_timeline {
    const recording_entry* entry;
    progress_callback callback;
    uint32_t video_pid, audio_pid, time_pid;
    bool have_time_pid;
    int64_t expected;  // the recording's bytes, as its entry gives them
    int64_t offset;    // recording bytes of the clusters accounted
    // The packet walk: in step once the first packet is found (each cluster
    // is searched until one is: the first ones may be unreadable); a packet
    // split by a cluster's end waits here for its rest.
    bool walking;
    uint8_t split[kTsPacketSize];
    uint32_t split_size;
    bool split_bad;
    int64_t split_at;
    // The clock: the last time sample, and the time passed since the first.
    clock_source source;
    bool restart;
    int64_t first_x, last_x;
    uint64_t last_clock;
    double elapsed;
    bool have_origin;
    double origin;  // the first picture's time
    lost_area open[kMaxOpenAreas];
    uint32_t open_count;
    lost_place place;
    int64_t cut;      // bytes of the entry beyond a chain that ends early
    double cut_lost;  // their time
    int places;
    double lost;
    bool closed;
};

namespace {

double average_per_byte(const loss_timeline* t) {
    return t->last_x > t->first_x ? t->elapsed / double(t->last_x - t->first_x) : 0;
}

// The time of recording byte x at or behind the last sample, by the average.
double time_after(const loss_timeline* t, int64_t x) {
    return t->elapsed + double(x - t->last_x) * average_per_byte(t);
}

double seconds_from_start(const loss_timeline* t, double ticks) {
    const double s = (ticks - t->origin) / kTicksPerSecond;
    return s > 0 ? s : 0;
}

void tell_place(loss_timeline* t) {
    lost_place& p = t->place;
    if (!p.open) return;
    p.open = false;
    t->places++;
    t->lost += p.lost;
    char detail[kErrorSize / 2];
    if (p.cut)
        snprintf(detail, sizeof detail, "its chain ends %" PRId64 " bytes early", p.cut);
    else if (p.areas == 1)
        snprintf(detail, sizeof detail, "%" PRId64 " bytes unreadable at position %" PRId64,
                 p.unreadable, p.position);
    else
        snprintf(detail, sizeof detail,
                 "%" PRId64 " bytes unreadable in %d areas from position %" PRId64, p.unreadable,
                 p.areas, p.position);
    const char* name = t->entry->name;
    if (t->source == kNoClock) {
        qv_inform(t->callback, "%s: lost at %d %% (%s)\n", name, p.percent, detail);
        return;
    }
    char lost[kTimeTextSize], at[kTimeTextSize];
    format_seconds(lost, sizeof lost, p.lost / kTicksPerSecond);
    format_clock(at, sizeof at, seconds_from_start(t, p.start));
    qv_inform(t->callback, "%s: %s lost at %s (%s)\n", name, lost, at, detail);
}

// Adds a loss that begins at start and ends at end (ticks; without a clock
// at percent of the recording) to the place being gathered, or begins a new
// one.
void add_loss(loss_timeline* t, double start, double end, int percent, const lost_area& a) {
    lost_place& p = t->place;
    const bool joins = t->source == kNoClock ? percent == p.percent : start - p.end < kJoinTicks;
    if (!p.open || !joins || a.count == 0 || p.cut) {
        tell_place(t);
        p = lost_place{true, start, end, 0, percent, 0, a.position, 0, 0};
    }
    p.end = end;
    p.lost += end - start;
    p.unreadable += a.to - a.from;
    p.areas += a.count;
}

int share_of(const loss_timeline* t, int64_t x) {
    return t->expected > 0 ? int(x * 100 / t->expected) : 0;
}

// The open areas that end at or before x, timed from the sample at x0 (e0
// ticks) at per_byte ticks a byte.
void resolve(loss_timeline* t, int64_t x, int64_t x0, double e0, double per_byte) {
    uint32_t done = 0;
    for (; done < t->open_count && t->open[done].to <= x; ++done) {
        const lost_area& a = t->open[done];
        add_loss(t, e0 + double(a.from - x0) * per_byte, e0 + double(a.to - x0) * per_byte,
                 share_of(t, a.from), a);
    }
    t->open_count -= done;
    memmove(t->open, t->open + done, t->open_count * sizeof(lost_area));
}

// A time sample: clock (27 MHz ticks) of source at recording byte x.
void take_sample(loss_timeline* t, int64_t x, uint64_t clock, clock_source source) {
    if (source < t->source) return;
    if (t->source == kNoClock) {
        t->first_x = t->last_x = x;
        t->last_clock = clock;
        t->source = source;
        t->restart = false;
        return;
    }
    if (x <= t->last_x) return;
    const double bytes = double(x - t->last_x);
    const double average = average_per_byte(t);
    double per_byte = average;
    if (source == t->source && !t->restart && clock >= t->last_clock) {
        const double step = double(clock - t->last_clock);
        if (average == 0 || step <= kJumpFactor * average * bytes + kJoinTicks)
            per_byte = step / bytes;
    }
    if (per_byte > 0) resolve(t, x, t->last_x, t->elapsed, per_byte);
    t->elapsed += bytes * per_byte;
    t->last_x = x;
    t->last_clock = clock;
    t->source = source;
    t->restart = false;
    if (t->place.open && t->open_count == 0 && t->elapsed - t->place.end >= kJoinTicks)
        tell_place(t);
}

// A whole readable packet at recording byte x.
void take_packet(loss_timeline* t, int64_t x, const uint8_t* p) {
    // Most packets carry payload only, no clock and no start of a PES packet.
    if (!(p[3] & kAdaptationFieldFlag) && !ts_unit_start(p)) return;
    const uint32_t pid = ts_pid(p);
    if (ts_discontinuity(p)) t->restart = true;
    uint64_t clock = 0;
    const bool stamped = (pid == t->video_pid || pid == t->audio_pid) && ts_pes_time(p, &clock);
    uint64_t pcr = 0;
    if (ts_pcr(p, &pcr)) {
        take_sample(t, x, pcr, kPcrClock);
    } else if (stamped && (!t->have_time_pid || pid == t->time_pid)) {
        t->time_pid = pid;
        t->have_time_pid = true;
        take_sample(t, x, clock * kPcrTicksPerBase, kPesClock);
    }
    if (!t->have_origin && stamped && pid == t->video_pid) {
        t->have_origin = true;
        t->origin = t->source == kNoClock ? 0 : time_after(t, x);
    }
}

// Whether bytes [from, to) touch a run of bad from *run on (advanced).
bool touches(const bad_sectors* bad, uint32_t* run, uint32_t from, uint32_t to) {
    *run = bad_run_after(bad, from, *run);
    return *run < bad->count && bad_run_start(bad, *run) < to;
}

// The packets of a cluster's valid bytes, in step with the clusters before.
void walk_packets(loss_timeline* t, const uint8_t* data, const bad_sectors* bad, uint32_t valid) {
    uint32_t pos = 0;
    if (!t->walking) {
        t->walking = find_first_packet(data, valid, &pos);
        if (!t->walking) return;
    }
    if (t->split_size) {
        const uint32_t rest = kTsPacketSize - t->split_size;
        uint32_t run = 0;
        if (rest <= valid && !t->split_bad && !touches(bad, &run, 0, rest)) {
            memcpy(t->split + t->split_size, data, rest);
            take_packet(t, t->split_at, t->split);
        }
        t->split_size = 0;
        pos = rest;
    }
    uint32_t run = 0;
    while (pos < valid) {
        const uint32_t end = pos + kTsPacketSize;
        const bool bad_bytes = bad->count && touches(bad, &run, pos, end < valid ? end : valid);
        if (!bad_bytes && data[pos] != kTsSyncByte) {
            const void* sync = memchr(data + pos, kTsSyncByte, valid - pos);
            pos = sync ? uint32_t(static_cast<const uint8_t*>(sync) - data) : valid;
            continue;
        }
        if (end > valid) {
            memcpy(t->split, data + pos, valid - pos);
            t->split_size = valid - pos;
            t->split_bad = bad_bytes;
            t->split_at = t->offset + pos;
            break;
        }
        if (!bad_bytes) take_packet(t, t->offset + pos, data + pos);
        pos = end;
    }
}

// An unreadable area; one that goes on where the last one ended, in the
// recording and on the disk (across a cluster's end), is the same area.
void open_area(loss_timeline* t, int64_t from, int64_t to, int64_t position) {
    lost_area* last = t->open_count ? &t->open[t->open_count - 1] : nullptr;
    if (last && last->to == from && last->position + (from - last->from) == position) {
        last->to = to;
        return;
    }
    if (t->open_count == kMaxOpenAreas) {
        lost_area& last = t->open[kMaxOpenAreas - 1];
        last.to = to;
        last.count++;
        return;
    }
    t->open[t->open_count++] = {from, to, position, 1};
}

}  // namespace

void format_seconds(char* out, size_t size, double seconds) {
    if (!(seconds < kLongestSeconds)) seconds = kLongestSeconds;
    snprintf(out, size, seconds < 1 ? "%.2f s" : "%.1f s", seconds);
}

void format_clock(char* out, size_t size, double seconds) {
    const int64_t s = seconds < kLongestSeconds ? int64_t(seconds) : int64_t(kLongestSeconds);
    snprintf(out, size, "%" PRId64 ":%02d:%02d", s / kSecondsPerHour,
             int(s / kSecondsPerMinute % kSecondsPerMinute), int(s % kSecondsPerMinute));
}

loss_timeline* open_losses(int index, progress_callback callback) {
    loss_timeline* t = static_cast<loss_timeline*>(calloc(1, sizeof(loss_timeline)));
    if (!t) return nullptr;
    t->entry = &qv->recordings[index];
    t->callback = callback;
    const uint32_t size = qv->cluster_size, slack = t->entry->last_cluster_slack;
    t->expected = int64_t(t->entry->num_clusters) * size - (slack <= size ? slack : 0);
    return t;
}

int64_t account_cluster(loss_timeline* t, const uint8_t* data, const bad_sectors* bad,
                        int64_t position, uint32_t valid) {
    int64_t total = 0;
    if (t && t->offset == 0) {
        t->video_pid = header_field_pid(data, kHeaderVideoPid);
        t->audio_pid = header_field_pid(data, kHeaderAudioPid);
    }
    for (uint32_t i = 0; i < bad->count;) {
        const uint64_t start = bad_run_start(bad, i);
        uint64_t end = bad_run_end(bad, i);
        // Runs that follow each other directly (tried and untried) are one area.
        for (++i; i < bad->count && bad_run_start(bad, i) == end; ++i) end = bad_run_end(bad, i);
        if (end > valid) end = valid;
        if (start >= end) continue;
        total += int64_t(end - start);
        if (t)
            open_area(t, t->offset + int64_t(start), t->offset + int64_t(end),
                      position + int64_t(start));
    }
    if (!t) return total;
    walk_packets(t, data, bad, valid);
    t->offset += valid;
    return total;
}

void note_cut(loss_timeline* t) {
    if (t && t->expected > t->offset) t->cut = t->expected - t->offset;
}

void close_losses(loss_timeline* t) {
    if (!t || t->closed) return;
    t->closed = true;
    resolve(t, INT64_MAX, t->last_x, t->elapsed, average_per_byte(t));
    if (t->cut) {
        const double start = time_after(t, t->offset);
        t->cut_lost = time_after(t, t->expected) - start;
        add_loss(t, start, start + t->cut_lost, share_of(t, t->offset),
                 lost_area{t->offset, t->offset, 0, 0});
        t->place.cut = t->cut;
        t->place.unreadable = 0;
    }
    tell_place(t);
}

void keep_account(const loss_timeline* t) {
    if (!t) return;
    account.places = t->places;
    account.timed = t->source != kNoClock;
    account.lost_seconds = t->lost / kTicksPerSecond;
    account.lost_before_cut = (t->lost - t->cut_lost) / kTicksPerSecond;
    account.cut = t->cut != 0;
    account.cut_percent = share_of(t, t->offset);
    account.cut_seconds = seconds_from_start(t, time_after(t, t->offset));
    account.total_seconds = seconds_from_start(t, time_after(t, t->cut ? t->expected : t->offset));
}

void free_losses(loss_timeline* t) { free(t); }

copy_account& copy_outcome() { return account; }

void loss_totals(char* out, size_t size) {
    const copy_account& a = account;
    if (!a.timed) {
        snprintf(out, size, " in %d place%s", a.places, plural(a.places));
        return;
    }
    char lost[kTimeTextSize], total[kTimeTextSize];
    format_seconds(lost, sizeof lost, a.lost_seconds);
    format_clock(total, sizeof total, a.total_seconds);
    snprintf(out, size, ": %s in %d place%s of %s", lost, a.places, plural(a.places), total);
}

void describe_outcome(char* out, size_t size) {
    const copy_account& a = account;
    char lost[kTimeTextSize];
    format_seconds(lost, sizeof lost, a.lost_before_cut);
    const int before_cut = a.places - (a.cut ? 1 : 0);
    int n = 0;
    if (before_cut > 0 && a.timed)
        n = snprintf(out, size, "%s lost in %d place%s", lost, before_cut, plural(before_cut));
    else if (before_cut > 0)
        n = snprintf(out, size, "lost in %d place%s", before_cut, plural(before_cut));
    if (n < 0 || size_t(n) >= size) n = 0;
    const char* comma = n ? ", " : "";
    char at[kTimeTextSize], total[kTimeTextSize];
    format_clock(at, sizeof at, a.cut_seconds);
    format_clock(total, sizeof total, a.total_seconds);
    if (a.cut && a.timed)
        snprintf(out + n, size - size_t(n), "%scut at %s of %s", comma, at, total);
    else if (a.cut)
        snprintf(out + n, size - size_t(n), "%scut at %d %%", comma, a.cut_percent);
    else if (n == 0)
        snprintf(out, size, "complete");
}
