// The one read primitive of the disk: a 64-bit byte position, an exact byte
// count, and the exchange of every 16-bit word into recorder order. A drive
// read past the system's cache is read in whole logical sectors from aligned
// memory, one command of the drive at a time.
#include <cinttypes>
#include <cstring>
#include <new>

#include "disk/bytes.h"
#include "disk/device/device.h"

namespace {

// Where the drive does not tell how much one command carries: ddrescue's
// default read.
constexpr uint32_t kPieceWhereUnknown = 65536;

// How the open disk is read.
struct device_reads {
    qv_read_access access;
    uint32_t piece;   // the largest read made at once (direct reads)
    uint8_t* bounce;  // aligned room of one piece, for requests that are not aligned
    bool proven;      // a direct read succeeded: the device takes them
    uint32_t tried;   // of the last read: the bytes up to the end of the command that failed
};
device_reads device;

void free_bounce() {
    qv_free_aligned(device.bounce);
    device.bounce = nullptr;
}

// The backend's read of count bytes at position: 0, its error code, or a
// failed positioning's code negated.
int backend_read(int64_t position, void* dest, uint32_t count, uint32_t* got) {
    const qv_platform* p = handle_platform();
    *got = 0;
    const int code = p->seek(qv->handle, position);
    if (code != 0) return -code;  // a failed positioning, told apart below
    return p->read(qv->handle, dest, count, got);
}

uint32_t sector_of_reads() { return device.access.logical_sector; }

int64_t align_down(int64_t pos) { return pos / sector_of_reads() * sector_of_reads(); }
int64_t align_up(int64_t pos) { return align_down(pos + sector_of_reads() - 1); }

bool aligned(int64_t position, const void* dest, uint32_t count) {
    const uint32_t s = sector_of_reads();
    return position % s == 0 && count % s == 0 && reinterpret_cast<uintptr_t>(dest) % s == 0;
}

// One direct read of at most a piece: [position, position + count) from the
// whole sectors around it, through the bounce buffer where the request is
// not aligned. *got: the bytes of the request that arrived.
int direct_piece(int64_t position, uint8_t* dest, uint32_t count, uint32_t* got) {
    if (aligned(position, dest, count)) return backend_read(position, dest, count, got);
    const int64_t lo = align_down(position);
    const uint32_t span = uint32_t(align_up(position + count) - lo);
    uint32_t arrived = 0;
    const int code = backend_read(lo, device.bounce, span, &arrived);
    const int64_t skipped = position - lo;
    const int64_t usable = int64_t(arrived) - skipped;
    *got = usable <= 0 ? 0 : usable < count ? uint32_t(usable) : count;
    memcpy(dest, device.bounce + skipped, *got);
    return code;
}

// The bytes of a piece starting at position: a piece, less the part of its
// first sector in front of position.
uint32_t piece_from(int64_t position, uint32_t left) {
    const uint32_t room = device.piece - uint32_t(position - align_down(position));
    return left < room ? left : room;
}

// Direct reads of [position, position + count), piece after piece, until
// one fails or comes back short.
int direct_read(int64_t position, uint8_t* dest, uint32_t count, uint32_t* got) {
    *got = 0;
    while (*got < count) {
        const uint32_t n = piece_from(position + *got, count - *got);
        uint32_t arrived = 0;
        const int code = direct_piece(position + *got, dest + *got, n, &arrived);
        device.tried = *got + n;
        *got += arrived;
        if (code != 0 || arrived < n) return code;
        device.proven = true;
    }
    return 0;
}

// A device that refuses direct reads from the start is read through the
// system's cache from then on.
bool falls_back(int code) {
    const qv_platform* p = handle_platform();
    if (device.proven || code != p->direct_refused || !p->read_cached ||
        p->read_cached(qv->handle) != 0)
        return false;
    device.access.direct = false;
    free_bounce();
    return true;
}

int read_as_the_device_takes(int64_t position, uint8_t* dest, uint32_t count, uint32_t* got) {
    if (device.access.direct) {
        const int code = direct_read(position, dest, count, got);
        if (code == 0 || !falls_back(code)) return code;
    }
    return backend_read(position, dest, count, got);
}

}  // namespace

int take_read_access() {
    const qv_platform* p = handle_platform();
    drop_read_access();
    qv_read_access& a = device.access;
    if (p->read_access && p->read_access(qv->handle, &a) != 0) a = qv_read_access{};
    if (!a.direct) return 0;
    const uint32_t sector = a.logical_sector;
    device.piece = a.largest_read >= sector ? a.largest_read / sector * sector : kPieceWhereUnknown;
    const bool alignable =
        sector >= kSectorSize && kMaxDeviceSector % sector == 0 && device.piece % sector == 0;
    if (alignable) device.bounce = qv_alloc_aligned(device.piece);
    if (device.bounce) return 0;
    // Reads that cannot be aligned go through the system's cache.
    a.direct = false;
    const int code = p->read_cached ? p->read_cached(qv->handle) : p->direct_refused;
    if (code != 0) qv_set_error("Cannot read the drive directly nor through the cache\n");
    return code != 0;
}

void drop_read_access() {
    free_bounce();
    device = device_reads{};
}

const qv_read_access* read_access() { return &device.access; }

uint32_t device_sector() {
    return device.access.logical_sector ? device.access.logical_sector : kSectorSize;
}

uint8_t* qv_alloc_aligned(size_t size) {
    return new (std::align_val_t(kMaxDeviceSector), std::nothrow) uint8_t[size];
}

void qv_free_aligned(uint8_t* block) {
    if (block) ::operator delete[](block, std::align_val_t(kMaxDeviceSector));
}

int64_t cluster_position(uint32_t n) { return int64_t((uint64_t(n) + 1) * qv->cluster_size); }

bool beyond_disk(int64_t position) {
    return qv->disk_sectors != 0 && uint64_t(position >> 9) >= uint64_t(qv->disk_sectors);
}

uint32_t qv_read_tried() { return device.tried; }

int qv_read_some(int64_t position, void* dest, uint32_t count, uint32_t* got, char* message) {
    *got = 0;
    device.tried = count;
    if (!qv->handle) {
        qv_format(message, "No disk is open.\n");
        return 1;
    }
    if (beyond_disk(position)) {
        qv_format(message, "Attempt to read after end of disk!\n");
        return 1;
    }
    if (source_map_refuses(position, count, message)) return 1;
    int code = read_as_the_device_takes(position, static_cast<uint8_t*>(dest), count, got);
    if (code < 0) {
        qv_format(message, "SetFilePointer failed on position %" PRId64 " with code %d\n", position,
                  -code);
        return 1;
    }
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

int qv_read(int64_t position, void* dest, uint32_t count, int swap) {
    uint32_t got = 0;
    if (qv_read_some(position, dest, count, &got, qv_error) != 0) return 1;
    if (swap) swap16_words(static_cast<uint8_t*>(dest), count);
    return 0;
}

int qv_read_cluster(uint32_t n, uint8_t* dest) {
    return qv_read(cluster_position(n), dest, qv->cluster_size, 1);
}
