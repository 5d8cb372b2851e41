// Mode "disk": the whole disk into the image file, every sector, with a GNU
// ddrescue map beside it; an image and map already in the output location
// are a copy to go on with.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "disk/copy/copy.h"

namespace {

constexpr char kDefaultImageName[] = "qvdisk.img";

// The map of the running disk copy is written at least this often, and
// always when a block's status changes, so that an interrupted copy can go on.
constexpr time_t kMapSaveSeconds = 5;
constexpr int64_t kMapSaveBytes = int64_t(64) << 20;

struct disk_copy {
    FILE* file;
    char name[kOutputPathSize];  // the image, where it is written
    char map_name[kOutputPathSize + sizeof kMapSuffix];
    rescue_map map;
    int64_t total;     // bytes of the disk: every sector
    int64_t file_pos;  // where the next write lands without a seek; -1 unknown
    int64_t unsaved;   // bytes copied since the map was last written
    time_t saved_at;
};

// Writes the map, after the image data it claims has left the buffer.
int save_map(disk_copy& copy) {
    if (fflush(copy.file) != 0) {
        qv_write_failed(kWriteFailedMessage);
        return 1;
    }
    copy.unsaved = 0;
    copy.saved_at = time(nullptr);
    return map_write(copy.map_name, &copy.map);
}

// Copies bytes [pos, pos + count) of the disk (count at most a cluster) into
// the image at the same place: unreadable sectors as zeros, marked bad in the
// map, the rest finished.
int copy_piece(disk_copy& copy, int64_t pos, uint32_t count) {
    static bad_sectors bad;
    if (qv_read_salvage(pos, cluster_buffer, count, 0, &bad) == kSalvageFailed) return 1;
    report_unreadable(qv->progress, pos, &bad, count);
    if (copy.file_pos != pos && seek_output(copy.file, pos) != 0) {
        qv_write_failed(kWriteFailedMessage);
        return 1;
    }
    if (fwrite(cluster_buffer, 1, count, copy.file) != count) {
        copy.file_pos = -1;
        qv_write_failed(kWriteFailedMessage);
        return 1;
    }
    copy.file_pos = pos + count;
    if (map_set(&copy.map, pos, count, kMapFinished) != 0) return 1;
    for (uint32_t i = 0; i < bad.count; ++i) {
        int64_t from = int64_t(bad.first[i]) * kSectorSize;
        int64_t length = int64_t(bad.length[i]) * kSectorSize;
        if (from + length > count) length = count - from;
        if (map_set(&copy.map, pos + from, length, kMapBadSector) != 0) return 1;
    }
    copy.map.current_pos = pos + count;
    copy.unsaved += count;
    if (bad.count != 0 || copy.unsaved >= kMapSaveBytes ||
        time(nullptr) - copy.saved_at >= kMapSaveSeconds)
        return save_map(copy);
    return 0;
}

// Bytes of the map not marked finished.
int64_t unfinished_bytes(const rescue_map& map) {
    int64_t n = 0;
    for (uint32_t i = 0; i < map.count; ++i)
        if (map.blocks[i].status != kMapFinished) n += map.blocks[i].size;
    return n;
}

// Copies every block of the map not marked finished, in pieces that keep to
// the cluster grid (whole clusters when the copy starts afresh).
copy_stop copy_blocks(disk_copy& copy) {
    const uint32_t size = qv->cluster_size;
    const int64_t todo = unfinished_bytes(copy.map);
    copy.map.current_status = todo != 0 ? kMapNonTried : kMapFinished;  // copying, until the end
    if (save_map(copy) != 0) return kCopyStopped;
    int64_t done = 0;
    int last = -1;
    for (int64_t pos = 0; pos < copy.total;) {
        if (qv_interrupted) return kCopyInterrupted;
        uint32_t i = map_block_at(&copy.map, pos);
        if (i == copy.map.count) break;
        const map_block block = copy.map.blocks[i];
        const int64_t end = block.pos + block.size;
        if (block.status == kMapFinished) {
            pos = end;
            continue;
        }
        int64_t grid = (pos / size + 1) * int64_t(size);
        uint32_t count = uint32_t((end < grid ? end : grid) - pos);
        if (copy_piece(copy, pos, count) != 0) return kCopyStopped;
        pos += count;
        done += count;
        qv_report_percent(qv->progress, uint64_t(done), uint64_t(todo), &last);
    }
    if (todo == 0) qv_report_percent(qv->progress, 0, 0, &last);  // nothing to copy: all done
    return kCopyRan;
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

// The copy to go on with: only what its map does not mark finished is read
// again. 0, or kCopyFailed with the reason in qv_error.
int continue_copy(disk_copy& copy) {
    map_path(copy.map_name, sizeof copy.map_name, copy.name);
    int r = map_read(copy.map_name, &copy.map);
    if (r != 0) {
        if (r > 0) qv_set_error("Cannot open the map %s\n", copy.map_name);  // gone meanwhile
        return kCopyFailed;
    }
    if (map_end(&copy.map) > copy.total) {
        qv_set_error("%s describes %" PRId64 " bytes, but the disk has only %" PRId64 "\n",
                     copy.map_name, map_end(&copy.map), copy.total);
        map_free(&copy.map);
        return kCopyFailed;
    }
    copy.file = open_output_update(image_name());
    copy.file_pos = -1;
    return 0;
}

// A new copy; an image without its map is not one to go on with: it is kept
// and the copy gets the next free name (its map follows that name).
void start_copy(disk_copy& copy) {
    copy.file = open_output(image_name(), nullptr, copy.name);
    map_path(copy.map_name, sizeof copy.map_name, copy.name);
    copy.map.current_pass = 1;
}

}  // namespace

int is_disk_copy_to_continue(const char* path) {
    char out[kOutputPathSize];
    output_path(out, sizeof out, image_name());
    if (!out[0] || !has_map(out)) return 0;
    if (strcmp(out, path) == 0) return 1;
    // The same file under another name (an output directory "." or "..").
    const qv_platform* p = qv_current_platform();
    int error = 0;
    qv_handle h = p->open_exclusive(path, &error);
    if (!h) return 0;
    int same = p->is_same_file && p->is_same_file(h, out);
    p->close(h);
    return same;
}

int copy_disk() {
    static disk_copy copy;
    copy = disk_copy{};
    output_path(copy.name, sizeof copy.name, image_name());
    // Every sector of the disk, also those of a last partial cluster.
    copy.total = qv->disk_sectors > 0 ? qv->disk_sectors * int64_t(kSectorSize) : 0;
    if (qv->cluster_size == 0) {
        qv_set_error("No disk is open.\n");
        return kCopyFailed;
    }
    if (!has_map(copy.name))
        start_copy(copy);
    else if (continue_copy(copy) != 0)
        return kCopyFailed;
    if (!copy.file) {
        map_free(&copy.map);
        qv_set_error("Cannot open output\n");
        return kCopyFailed;
    }
    // What lies beyond the map (all of the disk for a new copy) is to be copied.
    const int64_t known = map_end(&copy.map);
    copy_stop stop = map_set(&copy.map, known, copy.total - known, kMapNonTried) != 0
                         ? kCopyStopped
                         : copy_blocks(copy);
    if (stop == kCopyRan) copy.map.current_status = kMapFinished;
    // The map tells what was copied; after an interrupt it is where to go on.
    if (stop != kCopyStopped && save_map(copy) != 0) stop = kCopyStopped;
    const int64_t unreadable = unfinished_bytes(copy.map);
    map_free(&copy.map);
    return finish_copy(copy.file, stop, unreadable, "\nProcessing completed.\n");
}
