// Mode "disk" on a failing drive: GNU ddrescue's phases, what matters
// first. The areas that matter (the system area, the directories, the list
// file, the recordings) are copied and trimmed before anything else of the
// disk is read; then the rest of the disk; then scraping and the retry
// passes, the areas that matter again first. On a healthy disk this is one
// read per cluster and the copy looks as it always did: the rescue's own
// lines appear only when a read failed or a copy continued has blocks that
// are not finished.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "disk/copy/copy.h"

namespace {

constexpr char kCompletedMessage[] = "\nProcessing completed.\n";
constexpr char kNotFinished[] = "?*/-";
constexpr char kFailed[] = "*/-";

const char* plural(uint32_t n) { return n == 1 ? "" : "s"; }

int by_position(const void* a, const void* b) {
    const int64_t x = static_cast<const rescue_area*>(a)->pos;
    const int64_t y = static_cast<const rescue_area*>(b)->pos;
    return x < y ? -1 : x > y;
}

// The rest of the disk: every gap between the areas that matter.
int list_rest(const rescue_areas* matter, int64_t total, rescue_areas* rest) {
    rescue_areas sorted = {};
    int failed = 0;
    for (uint32_t k = 0; k < matter->count && !failed; ++k)
        failed = add_rescue_area(&sorted, matter->items[k].pos, matter->items[k].size);
    if (sorted.count) qsort(sorted.items, sorted.count, sizeof(rescue_area), by_position);
    int64_t at = 0;
    for (uint32_t k = 0; k < sorted.count && !failed; ++k) {
        const rescue_area& a = sorted.items[k];
        const int64_t gap_end = a.pos < total ? a.pos : total;
        if (gap_end > at) failed = add_rescue_area(rest, at, gap_end - at);
        if (a.pos + a.size > at) at = a.pos + a.size;
    }
    if (!failed && at < total) failed = add_rescue_area(rest, at, total - at);
    free_rescue_areas(&sorted);
    return failed;
}

bool rescue_shown(const disk_copy& copy) { return copy.rescue_shown || rescue_failed_reads() > 0; }

// The areas a phase runs over, as its line names them.
struct named_areas {
    const rescue_areas* areas;
    const char* name;
};

const char* phase_verb(char status) {
    switch (status) {
    case kMapNonTried: return "Copying";
    case kMapNonTrimmed: return "Trimming";
    case kMapNonScraped: return "Scraping";
    }
    return "Retrying";
}

void show_phase(char status, int pass, const named_areas& where, const rescue_census& todo) {
    char passes[64] = "";
    if (status == kMapBadSector)
        snprintf(passes, sizeof passes, ", pass %d of %d", pass, copy_options.retries);
    qv_warn("%s %s%s: %" PRId64 " bytes in %u area%s\n", phase_verb(status), where.name, passes,
            todo.bytes, todo.runs, plural(todo.runs));
}

loop_stop rescue_phase(char status, int pass, const rescue_areas* areas) {
    switch (status) {
    case kMapNonTried: return rescue_copying(areas);
    case kMapNonTrimmed: return rescue_trimming(areas);
    case kMapNonScraped: return rescue_scraping(areas);
    }
    return rescue_retrying(areas, pass);
}

// One phase over the areas, with its line when the rescue is shown and the
// phase has something to read.
loop_stop run_phase(disk_copy& copy, char status, int pass, const named_areas& where) {
    const char statuses[] = {status, 0};
    const rescue_census todo = count_statuses(where.areas, statuses);
    if (todo.bytes == 0) return kLoopRan;
    if (rescue_shown(copy)) show_phase(status, pass, where, todo);
    copy.phase = status;
    copy.phase_percent = -1;
    const loop_stop stop = rescue_phase(status, pass, where.areas);
    copy.phase = 0;
    if (stop == kLoopInterrupted) return kLoopInterrupted;
    if (stop == kLoopRan) return kLoopRan;
    qv_set_error("%s", copy.failure);
    return kLoopStopped;
}

void show_matter_done(const disk_copy& copy, const named_areas& matter) {
    if (!rescue_shown(copy) || matter.areas->count == 0) return;
    const int64_t rescued = count_statuses(matter.areas, "+").bytes;
    const int64_t bad = count_statuses(matter.areas, kNotFinished).bytes;
    qv_warn("The areas that matter are read: %" PRId64 " bytes rescued, %" PRId64
            " bytes bad; the rest of the disk follows (Ctrl-C stops; a later run continues)\n",
            rescued, bad);
}

// The phases in their order: the areas that matter copied and trimmed
// first, then the rest; scraping and retrying, the areas that matter first.
loop_stop rescue_disk(disk_copy& copy, const named_areas& matter, const named_areas& rest) {
    const struct {
        char status;
        const named_areas& where;
    } steps[] = {{kMapNonTried, matter}, {kMapNonTrimmed, matter}, {0, matter},
                 {kMapNonTried, rest},   {kMapNonTrimmed, rest},   {kMapNonScraped, matter},
                 {kMapNonScraped, rest}};
    loop_stop stop = kLoopRan;
    for (const auto& step : steps) {
        if (stop != kLoopRan) break;
        if (step.status)
            stop = run_phase(copy, step.status, 1, step.where);
        else
            show_matter_done(copy, matter);
    }
    for (int pass = 1; pass <= copy_options.retries && stop == kLoopRan; ++pass) {
        stop = run_phase(copy, kMapBadSector, pass, matter);
        if (stop == kLoopRan) stop = run_phase(copy, kMapBadSector, pass, rest);
    }
    return stop;
}

// The percentage of the copying phase begins with what the opening read.
void catch_up(disk_copy& copy) {
    const int64_t todo = copy.untried_at_start;
    const int64_t done = todo - rescue_bytes(kMapNonTried);
    if (todo == 0) qv_report_percent(qv->progress, 0, 0, &copy.copy_percent);
    for (int64_t d = rescue_piece(); d < done; d += rescue_piece())
        qv_report_percent(qv->progress, uint64_t(d), uint64_t(todo), &copy.copy_percent);
    if (done > 0)
        qv_report_percent(qv->progress, uint64_t(done), uint64_t(todo), &copy.copy_percent);
}

// Every area that could not be read, cut to the cluster grid.
void show_bad_areas() {
    const rescue_map* map = rescue_state();
    const int64_t size = rescue_piece();
    for (uint32_t i = 0; i < map->count; ++i) {
        const map_block& b = map->blocks[i];
        if (b.status == kMapFinished) continue;
        // Neighbours of other failed statuses are one area.
        int64_t end = b.pos + b.size;
        for (; i + 1 < map->count && map->blocks[i + 1].status != kMapFinished; ++i)
            end = map->blocks[i + 1].pos + map->blocks[i + 1].size;
        for (int64_t at = b.pos; at < end;) {
            const int64_t grid = (at / size + 1) * size;
            const int64_t to = grid < end ? grid : end;
            show_unreadable(qv->progress, at, uint32_t(to - at));
            at = to;
        }
    }
}

void show_summary(const disk_copy& copy, const rescue_areas* whole) {
    const rescue_census bad = count_statuses(whole, kFailed);
    qv_warn("Rescue: %" PRId64 " bytes rescued, %" PRId64 " bytes bad in %u area%s, %" PRId64
            " failed reads, %" PRId64 " s\n",
            rescue_bytes(kMapFinished), bad.bytes, bad.runs, plural(bad.runs),
            rescue_failed_reads(), int64_t(time(nullptr) - copy.started));
}

// The copy set up, its phases run; the areas freed. The verdict's stop.
loop_stop run_copy(disk_copy& copy) {
    rescue_areas matter = {}, rest = {}, whole = {};
    loop_stop stop = kLoopRan;
    if (list_matter_areas(copy_options.first_recordings, copy_options.first_count, &matter) != 0 ||
        list_rest(&matter, copy.total, &rest) != 0 || add_rescue_area(&whole, 0, copy.total) != 0)
        stop = kLoopStopped;
    catch_up(copy);
    if (stop == kLoopRan)
        stop =
            rescue_disk(copy, {&matter, "the areas that matter"}, {&rest, "the rest of the disk"});
    if (stop == kLoopRan) rescue_set_current(copy.total, kMapFinished, 1);
    // The map tells what was copied; after an interrupt it is where to go on.
    if (stop != kLoopStopped && save_disk_map(copy) != 0) {
        qv_set_error("%s", copy.failure);
        stop = kLoopStopped;
    }
    if (stop == kLoopRan) show_bad_areas();
    if (rescue_shown(copy)) {
        show_summary(copy, &whole);
        tell_recordings_touched(copy);
    }
    free_rescue_areas(&matter);
    free_rescue_areas(&rest);
    free_rescue_areas(&whole);
    return stop;
}

}  // namespace

void show_progress(disk_copy& copy, int64_t done, int64_t total) {
    copy.phase_bytes = total;
    if (copy.phase == kMapNonTried)
        qv_report_percent(qv->progress,
                          uint64_t(copy.untried_at_start - rescue_bytes(kMapNonTried)),
                          uint64_t(copy.untried_at_start), &copy.copy_percent);
    else if (copy.phase)
        qv_report_percent(qv->progress, uint64_t(done), uint64_t(total), &copy.phase_percent);
}

int64_t disk_percent_bytes() {
    const disk_copy& copy = current_disk_copy();
    return copy.phase && copy.phase != kMapNonTried ? copy.phase_bytes : copy.untried_at_start;
}

int copy_disk() {
    disk_copy& copy = current_disk_copy();
    if (!copy.prepared) begin_disk_copy();
    if (copy.failed) {
        qv_set_error("%s", copy.failure);
        end_disk_copy();
        if (!copy.file) return kCopyFailed;
        return finish_copy(copy.file, kLoopStopped, 0, 0, kCompletedMessage);
    }
    const loop_stop stop = run_copy(copy);
    const int64_t unreadable = copy.total - rescue_bytes(kMapFinished);
    end_disk_copy();
    return finish_copy(copy.file, stop, unreadable, 0, kCompletedMessage);
}
