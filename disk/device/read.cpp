// The one read primitive of the disk: a 64-bit byte position, an exact byte
// count, and the exchange of every 16-bit word into recorder order.
#include <cinttypes>

#include "disk/bytes.h"
#include "disk/device/device.h"

int64_t cluster_position(uint32_t n) { return int64_t((uint64_t(n) + 1) * qv->cluster_size); }

bool beyond_disk(int64_t position) {
    return qv->disk_sectors != 0 && uint64_t(position >> 9) >= uint64_t(qv->disk_sectors);
}

int qv_read_some(int64_t position, void* dest, uint32_t count, uint32_t* got, char* message) {
    const qv_platform* p = handle_platform();
    *got = 0;
    if (!qv->handle) {
        qv_format(message, "No disk is open.\n");
        return 1;
    }
    if (beyond_disk(position)) {
        qv_format(message, "Attempt to read after end of disk!\n");
        return 1;
    }
    if (source_map_refuses(position, count, message)) return 1;
    int code = p->seek(qv->handle, position);
    if (code != 0) {
        qv_format(message, "SetFilePointer failed on position %" PRId64 " with code %d\n", position,
                  code);
        return 1;
    }
    code = p->read(qv->handle, dest, count, got);
    if (*got > count) *got = 0;  // a backend that claims more than it was asked for
    if (code != 0) {
        qv_format(message, "ReadFile failed on position %" PRId64 " with code %d\n", position,
                  code);
        return 1;
    }
    if (*got < count) {
        // Before the geometry is known (the first sector) the figure is cluster 0.
        int64_t cluster = qv->cluster_size ? position / int64_t(qv->cluster_size) : 0;
        qv_format(message,
                  "ReadFile did not read %ld bytes but %ld bytes at position %" PRId64
                  " (cluster %" PRId64 ")\n",
                  long(count), long(*got), position, cluster);
        return 1;
    }
    return 0;
}

int qv_read_r(int64_t position, void* dest, uint32_t count, int swap, char* message) {
    uint32_t got = 0;
    if (qv_read_some(position, dest, count, &got, message) != 0) return 1;
    if (swap) swap16_words(static_cast<uint8_t*>(dest), count);
    return 0;
}

int qv_read(int64_t position, void* dest, uint32_t count, int swap) {
    return qv_read_r(position, dest, count, swap, qv_error);
}

int qv_read_cluster(uint32_t n, uint8_t* dest) {
    return qv_read(cluster_position(n), dest, qv->cluster_size, 1);
}
