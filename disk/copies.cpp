// The two copies that need no knowledge of MPEG: one recording as stored
// (mode "raw") and the whole disk into the image file (mode "disk").
#include <cstring>

#include "disk/qvdisk.h"

namespace {

constexpr char kDefaultImageName[] = "qvdisk.img";

// Clusters already copied by the running dump_file, one bit each: a chain
// that runs into itself is caught at the first cluster it would copy twice.
uint8_t copied[kMaxClusters / 8];

int was_copied(uint32_t c) { return copied[c >> 3] >> (c & 7) & 1; }
void set_copied(uint32_t c) { copied[c >> 3] = uint8_t(copied[c >> 3] | 1u << (c & 7)); }

constexpr char kWriteFailedMessage[] = "Write failed (disk full?)\n";

// Closes the output; a close that cannot write out what was buffered is a
// write failure. Returns 0 when closed cleanly.
int close_copy(FILE* file) {
    if (close_output(file) == 0) return 0;
    qv_write_failed(kWriteFailedMessage);
    return 1;
}

int write_failed(FILE* file) {
    qv_write_failed(kWriteFailedMessage);
    close_output(file);
    return 1;
}

// Stops a copy for the user: what was written stays, unless even that
// could not be written.
int interrupted_copy(FILE* file) {
    if (close_copy(file) == 0) qv_set_error("%s", kInterruptedMessage);
    return 1;
}

}  // namespace

int dump_file(int index) {
    if (index < 0 || index >= int(kMaxRecordings)) {
        qv_set_error("No recording %d on this disk\n", index + 1);
        return 1;
    }
    const recording_entry* entry = &qv->recordings[index];
    const uint32_t size = qv->cluster_size;
    const uint32_t count = qv->cluster_count;
    // Refused before anything is written: the last write could not be formed.
    if (entry->last_cluster_slack > size) {
        qv_set_error("Recording %s: last cluster slack %u exceeds the cluster size %u\n", entry->name,
                     entry->last_cluster_slack, size);
        return 1;
    }
    uint32_t c = entry->start_cluster;
    if (c >= count) {
        qv_set_error("Recording %s: start cluster %x lies outside the table\n", entry->name, c);
        return 1;
    }

    char path[kOutputNameSize];
    make_name(path, entry->name, "");
    FILE* file = open_output(path, entry);
    if (!file) {
        qv_set_error("Cannot open '%s' for output\n", entry->name);
        return 1;
    }

    memset(copied, 0, sizeof copied);
    int last = -1;
    uint64_t done = 0;
    for (;;) {
        if (qv_interrupted) return interrupted_copy(file);
        set_copied(c);
        if (qv_read_cluster(c, cluster_buffer) != 0) {
            close_output(file);
            return 1;
        }
        uint32_t next = qv->fat[c];
        uint32_t length = next == kEndOfChain ? size - entry->last_cluster_slack : size;
        if (fwrite(cluster_buffer, 1, length, file) != length) return write_failed(file);
        ++done;
        // The total serves only the percentage: a longer chain goes past 100.
        qv_report_percent(qv->progress, done, entry->num_clusters, &last);
        if (next == kEndOfChain) break;
        // A damaged chain ends the copy as a failure; what was written stays.
        if (next >= count) {
            close_output(file);
            qv_set_error("Recording %s: chain leaves the table at cluster %x\n", entry->name, c);
            return 1;
        }
        if (was_copied(next)) {
            close_output(file);
            qv_set_error("Recording %s: chain loops at cluster %x\n", entry->name, next);
            return 1;
        }
        c = next;
    }
    if (close_copy(file) != 0) return 1;
    qv_inform(qv->progress, "\rProcessing completed.\n");
    return 0;
}

int copy_disk() {
    const uint32_t size = qv->cluster_size;
    // Every whole cluster of the disk, whatever the cluster size.
    const uint64_t chunks = size ? uint64_t(qv->disk_sectors) * kSectorSize / size : 0;
    const qv_platform* platform = qv_current_platform();
    const char* name = platform && platform->image_name ? platform->image_name : kDefaultImageName;

    FILE* file = open_output(name, nullptr);
    if (!file) {
        qv_set_error("Cannot open output\n");
        return 1;
    }
    int last = -1;
    for (uint64_t k = 0; k < chunks;) {
        if (qv_interrupted) return interrupted_copy(file);
        if (qv_read(int64_t(k * size), cluster_buffer, size, 0) != 0) {
            close_output(file);
            qv_set_error("Error while reading QV disk\n");
            return 1;
        }
        if (fwrite(cluster_buffer, 1, size, file) != size) return write_failed(file);
        ++k;
        qv_report_percent(qv->progress, k, chunks, &last);
    }
    if (chunks == 0) qv_report_percent(qv->progress, 0, 0, &last);   // nothing to copy: all done
    if (close_copy(file) != 0) return 1;
    qv_inform(qv->progress, "\nProcessing completed.\n");
    return 0;
}
