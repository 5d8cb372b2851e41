// Mode "disk": the whole disk into the image file, every sector, with a GNU
// ddrescue map beside it; an image and map already in the output location
// are a copy to go on with. The image and the map are set up as soon as the
// disk is found, and the rescue reads into them from then on: the opening's
// reads of the system area and the directories are the copy's first ones.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "disk/copy/copy.h"

namespace {

constexpr char kDefaultImageName[] = "qvdisk.img";

// The map of the running disk copy is written at least this often, and
// after a failed read (at most once a second), so that an interrupted copy
// can go on.
constexpr time_t kMapSaveSeconds = 5;
constexpr time_t kFailureSaveSeconds = 1;
constexpr int64_t kMapSaveBytes = int64_t(64) << 20;

disk_copy the_copy;

// A failure of the sink: its reason (in qv_error) is the copy's. The reads
// through the rescue give their callers their own reasons.
int keep_failure(disk_copy& copy) {
    memcpy(copy.failure, qv_error, sizeof copy.failure);
    copy.failed = true;
    return 1;
}

// A write that fails (the output disk full, another program filled it)
// ends the copy's writes: the map is saved at once with every byte written
// before (the rescue marks these bytes only after the write), so that a later
// run on a larger disk goes on from there, and it is not saved again.
int write_image(void* context, int64_t pos, const uint8_t* data, uint32_t count) {
    disk_copy& copy = *static_cast<disk_copy*>(context);
    if (copy.failed) return 1;
    if ((copy.file_pos != pos && seek_output(copy.file, pos) != 0) ||
        fwrite(data, 1, count, copy.file) != count) {
        copy.file_pos = -1;
        qv_write_failed(kWriteFailedMessage);
        keep_failure(copy);
        map_write(copy.map_name, rescue_state());
        return 1;
    }
    copy.file_pos = pos + count;
    copy.unsaved += count;
    return 0;
}

int serve_image(void* context, int64_t pos, uint8_t* dest, uint32_t count) {
    disk_copy& copy = *static_cast<disk_copy*>(context);
    copy.file_pos = -1;  // a write after a read needs a seek
    if (seek_output(copy.file, pos) == 0 && fread(dest, 1, count, copy.file) == count) return 0;
    clearerr(copy.file);
    return 1;
}

int after_read(void* context, bool failed, int64_t done, int64_t total) {
    disk_copy& copy = *static_cast<disk_copy*>(context);
    show_progress(copy, done, total);
    const time_t since = time(nullptr) - copy.saved_at;
    if ((failed && since >= kFailureSaveSeconds) || copy.unsaved >= kMapSaveBytes ||
        since >= kMapSaveSeconds)
        return save_disk_map(copy);
    return 0;
}

// The image's name, as the platform names it.
const char* image_name() {
    const qv_platform* platform = qv_current_platform();
    return platform && platform->image_name ? platform->image_name : kDefaultImageName;
}

// The map beside the image at path.
void map_path(char* out, size_t size, const char* path) {
    snprintf(out, size, "%s%s", path, kMapSuffix);
}

// Whether the image at path has its map beside it: a copy to go on with.
bool has_map(const char* path) {
    char map_name[kOutputPathSize + sizeof kMapSuffix];
    map_path(map_name, sizeof map_name, path);
    return qv_is_file(path) && qv_is_file(map_name);
}

// The copy to go on with: its map read into map. 0, or 1 with the reason in
// qv_error.
int continue_copy(disk_copy& copy, rescue_map* map) {
    map_path(copy.map_name, sizeof copy.map_name, copy.name);
    int r = map_read(copy.map_name, map);
    if (r != 0) {
        if (r > 0) qv_set_error("Cannot open the map %s\n", copy.map_name);  // gone meanwhile
        return 1;
    }
    if (map_end(map) > copy.total) {
        qv_set_error("%s describes %" PRId64 " bytes, but the disk has only %" PRId64 "\n",
                     copy.map_name, map_end(map), copy.total);
        map_free(map);
        return 1;
    }
    copy.file = open_output_update(image_name());
    copy.continued = true;
    return 0;
}

// A new copy; an image without its map is not one to go on with: it is kept
// and the copy gets the next free name (its map follows that name).
void start_copy(disk_copy& copy, rescue_map* map) {
    copy.file = open_output_readable(image_name(), copy.name);
    map_path(copy.map_name, sizeof copy.map_name, copy.name);
    map->current_status = kMapNonTried;
    map->current_pass = 1;
}

// The image keeps the disk's full length from the start: what is not read
// yet reads as zeros, at its place.
int give_full_length(disk_copy& copy) {
    if (copy.total == 0) return 0;
    uint8_t last = 0;
    if (seek_output(copy.file, copy.total - 1) == 0 && fread(&last, 1, 1, copy.file) == 1) return 0;
    clearerr(copy.file);
    copy.file_pos = -1;
    if (seek_output(copy.file, copy.total - 1) == 0 && fputc(0, copy.file) == 0 &&
        fflush(copy.file) == 0)
        return 0;
    qv_write_failed(kWriteFailedMessage);
    return 1;
}

// Opens the image and its map and hands them to the rescue. 0, or 1 with
// the reason in qv_error.
int set_up(disk_copy& copy) {
    output_path(copy.name, sizeof copy.name, image_name());
    // Every sector of the disk, also those of a last partial cluster.
    copy.total = qv->disk_sectors > 0 ? qv->disk_sectors * int64_t(kSectorSize) : 0;
    copy.file_pos = -1;
    copy.started = time(nullptr);
    if (!qv->handle) {
        qv_set_error("No disk is open.\n");
        return 1;
    }
    rescue_map map = {};
    if (!has_map(copy.name))
        start_copy(copy, &map);
    else if (continue_copy(copy, &map) != 0)
        return 1;
    if (!copy.file) {
        map_free(&map);
        qv_set_error("Cannot open output\n");
        return 1;
    }
    // Every write reaches the system at once: one that fails is the one the
    // map leaves out, never data that waited in a buffer.
    setvbuf(copy.file, nullptr, _IONBF, 0);
    const rescue_sink sink = {&copy, write_image, serve_image, after_read};
    if (give_full_length(copy) != 0 || rescue_adopt(&map, &sink) != 0) {
        map_free(&map);
        return 1;
    }
    copy.untried_at_start = rescue_bytes(kMapNonTried);
    copy.rescue_shown = copy.continued && rescue_bytes(kMapFinished) < copy.total;
    return save_disk_map(copy);
}

}  // namespace

// The map is written after the image data it claims has left the buffer.
int save_disk_map(disk_copy& copy) {
    if (copy.failed) return 1;  // the map saved when the writes failed stays
    if (fflush(copy.file) != 0) {
        qv_write_failed(kWriteFailedMessage);
        return keep_failure(copy);
    }
    copy.unsaved = 0;
    copy.saved_at = time(nullptr);
    if (map_write(copy.map_name, rescue_state()) != 0) return keep_failure(copy);
    return 0;
}

disk_copy& current_disk_copy() { return the_copy; }

int check_output_room(int64_t disk_bytes) {
    char image[kOutputPathSize];
    output_path(image, sizeof image, image_name());
    const char* dir = copy_options.output_dir ? copy_options.output_dir : ".";
    const char* where = copy_options.output_dir ? copy_options.output_dir : "the current directory";
    int64_t free_bytes = 0, largest_file = 0;
    if (qv_output_room(dir, &free_bytes, &largest_file) != 0) return 0;  // nothing to go by
    const int64_t needed = disk_bytes - (has_map(image) ? qv_file_allocated(image) : 0);
    if (largest_file && disk_bytes > largest_file) {
        qv_set_error("The image of %" PRId64
                     " bytes cannot be written into %s: its file system "
                     "holds files of at most %" PRId64 " bytes\n",
                     disk_bytes, where, largest_file);
        return 1;
    }
    if (needed <= free_bytes) return 0;
    qv_set_error("The image needs %" PRId64 " bytes more, but %s has only %" PRId64 " bytes free\n",
                 needed, where, free_bytes);
    return 1;
}

void begin_disk_copy() {
    the_copy = disk_copy{};
    the_copy.prepared = true;
    the_copy.copy_percent = the_copy.phase_percent = -1;
    if (set_up(the_copy) != 0) keep_failure(the_copy);
}

void end_disk_copy() {
    rescue_drop_sink();
    the_copy.prepared = false;
}

bool is_disk_copy_to_continue(const char* path) {
    char out[kOutputPathSize];
    output_path(out, sizeof out, image_name());
    if (!out[0] || !has_map(out)) return false;
    if (strcmp(out, path) == 0) return true;
    // The same file under another name (an output directory "." or "..").
    const qv_platform* p = qv_current_platform();
    int error = 0;
    qv_handle h = p->open_exclusive(path, &error);
    if (!h) return false;
    const bool same = p->is_same_file && p->is_same_file(h, out);
    p->close(h);
    return same;
}

int write_domain_map(const char* path) {
    const qv_platform* p = qv_current_platform();
    if (qv->handle && p->is_same_file && p->is_same_file(qv->handle, path)) {
        qv_set_error("Cannot write the map %s\n", path);
        return 1;
    }
    rescue_areas matter = {};
    rescue_map map = {};
    map.current_status = kMapFinished;
    map.current_pass = 1;
    const int64_t total = qv->disk_sectors * int64_t(kSectorSize);
    int failed =
        list_matter_areas(copy_options.first_recordings, copy_options.first_count, &matter) != 0 ||
        map_set(&map, 0, total, kMapNonTried) != 0;
    for (uint32_t k = 0; k < matter.count && !failed; ++k) {
        const rescue_area& a = matter.items[k];
        const int64_t end = a.pos + a.size < total ? a.pos + a.size : total;
        failed = map_set(&map, a.pos, end - a.pos, kMapFinished) != 0;
    }
    if (!failed) failed = map_write(path, &map);
    free_rescue_areas(&matter);
    map_free(&map);
    return failed;
}
