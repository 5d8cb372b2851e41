// The two copies that need no knowledge of MPEG: one recording as stored
// (mode "raw") and the whole disk into the image file (mode "disk").
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "disk/qvdisk.h"

namespace {

constexpr char kDefaultImageName[] = "qvdisk.img";

constexpr char kWriteFailedMessage[] = "Write failed (disk full?)\n";

// How a copy's loop ended.
enum copy_stop {
    kCopyRan = 0,          // to its end
    kCopyStopped = 1,      // on a failure, its message in qv_error
    kCopyInterrupted = 2,  // for the user (Ctrl-C)
};

// The one end of a raw or disk copy. The output is closed (a close that
// cannot write out what was buffered is a write failure); then the verdict:
// a failure, an interrupt or the bytes written as zeros make the copy
// incomplete; otherwise completed is shown. What was written stays.
int finish_copy(FILE* file, copy_stop stop, int64_t zeros, const char* completed) {
    char message[kErrorSize];
    memcpy(message, qv_error, sizeof message);
    const int close_failed = close_output(file);
    if (stop == kCopyStopped) {
        memcpy(qv_error, message, sizeof message);
        return kCopyIncomplete;
    }
    if (close_failed) {
        qv_write_failed(kWriteFailedMessage);
        return kCopyIncomplete;
    }
    if (stop == kCopyInterrupted) {
        qv_set_error("%s", kInterruptedMessage);
        return kCopyIncomplete;
    }
    if (zeros != 0) {
        qv_set_error("%" PRId64 " bytes could not be read and were written as zeros\n", zeros);
        return kCopyIncomplete;
    }
    qv_inform(qv->progress, "%s", completed);
    return kCopyDone;
}

// Copies the chain of entry into file, cluster by cluster as the read-ahead
// brings them; unreadable sectors are written as zeros and counted in *zeros.
copy_stop copy_chain(const recording_entry* entry, FILE* file, chain_reader* chain,
                     int64_t* zeros) {
    const uint32_t size = qv->cluster_size;
    int last = -1;
    uint64_t done = 0;
    for (;;) {
        if (qv_interrupted) return kCopyInterrupted;
        const chain_cluster* c = next_chain_cluster(chain);
        if (c->result == kSalvageFailed) {
            qv_set_error("%s", c->message);
            return kCopyStopped;
        }
        const uint32_t length = c->link == kLinkEnd ? size - entry->last_cluster_slack : size;
        *zeros += report_unreadable(qv->progress, int64_t(uint64_t(c->cluster + 1) * size), &c->bad,
                                    length);
        if (fwrite(c->data, 1, length, file) != length) {
            qv_write_failed(kWriteFailedMessage);
            return kCopyStopped;
        }
        // The total serves only the percentage: a longer chain goes past 100.
        qv_report_percent(qv->progress, ++done, entry->num_clusters, &last);
        if (c->link == kLinkEnd) return kCopyRan;
        // A damaged chain, or one that returns to a cluster already copied,
        // ends the copy as a failure.
        if (recording_chain_damaged(c, entry->name)) return kCopyStopped;
    }
}

}  // namespace

int dump_file(int index) {
    if (index < 0 || index >= int(kMaxRecordings)) {
        qv_set_error("No recording %d on this disk\n", index + 1);
        return kCopyFailed;
    }
    const recording_entry* entry = &qv->recordings[index];
    const uint32_t size = qv->cluster_size;
    const uint32_t count = qv->cluster_count;
    // Refused before anything is written: the last write could not be formed.
    if (entry->last_cluster_slack > size) {
        qv_set_error("Recording %s: last cluster slack %u exceeds the cluster size %u\n",
                     entry->name, entry->last_cluster_slack, size);
        return kCopyFailed;
    }
    uint32_t c = entry->start_cluster;
    if (c >= count) {
        qv_set_error("Recording %s: start cluster %x lies outside the table\n", entry->name, c);
        return kCopyFailed;
    }

    char path[kOutputNameSize];
    recording_file_name(path, index, "");
    FILE* file = open_output(path, entry);
    if (!file) {
        qv_set_error("Cannot open '%s' for output\n", entry->name);
        return kCopyFailed;
    }
    int64_t zeros = 0;
    chain_reader* chain = open_chain(c);
    const copy_stop stop = chain ? copy_chain(entry, file, chain, &zeros) : kCopyStopped;
    close_chain(chain);
    return finish_copy(file, stop, zeros, "\rProcessing completed.\n");
}

namespace {

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

}  // namespace

int disk_copy_to_continue(const char* image_name) {
    char map_name[kOutputPathSize + sizeof kMapSuffix];
    snprintf(map_name, sizeof map_name, "%s%s", image_name, kMapSuffix);
    return qv_is_file(image_name) && qv_is_file(map_name);
}

int copy_disk() {
    const uint32_t size = qv->cluster_size;
    const qv_platform* platform = qv_current_platform();
    static disk_copy copy;
    copy = disk_copy{};
    const char* file_name =
        platform && platform->image_name ? platform->image_name : kDefaultImageName;
    output_path(copy.name, sizeof copy.name, file_name);
    // Every sector of the disk, also those of a last partial cluster.
    copy.total = qv->disk_sectors > 0 ? qv->disk_sectors * int64_t(kSectorSize) : 0;
    if (size == 0) {
        qv_set_error("No disk is open.\n");
        return kCopyFailed;
    }

    // An image with its map where the image is written is a copy to go on
    // with: only what the map does not mark finished is read again.
    if (disk_copy_to_continue(copy.name)) {
        snprintf(copy.map_name, sizeof copy.map_name, "%s%s", copy.name, kMapSuffix);
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
        copy.file = open_output_update(file_name);
        copy.file_pos = -1;
    } else {
        // An image without its map is not one to go on with: it is kept.
        copy.file = open_output(file_name, nullptr, copy.name);
        snprintf(copy.map_name, sizeof copy.map_name, "%s%s", copy.name, kMapSuffix);
        copy.map.current_pass = 1;
    }
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
