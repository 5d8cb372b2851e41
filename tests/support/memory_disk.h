// An in-memory disk behind the platform interface: tests and fuzz targets run the product's own
// opening and reading code on it and make chosen reads or sectors fail. Only "qvdisk.img" opens, or
// the drive "memory-drive-0".
#pragma once
#include <cstdint>
#include <utility>
#include <vector>
#include "disk/device/device.h"
// How a bad sector fails a read that touches it.
enum class BadKind {
    kEio,    // the bytes before the first bad sector arrive, then error 5 (a POSIX read loop)
    kShort,  // the read stops short at the first bad sector, no error
    kWhole,  // the whole request fails with error 23, the buffer scribbled (Windows ReadFile)
};
struct BadSectors {
    uint64_t first, count;
    BadKind kind;
};  // sectors first .. first + count - 1

struct MemoryDisk {
    std::vector<uint8_t> image = {};  // what "qvdisk.img" holds (PC byte order)
    uint64_t size = 0;                // above image.size(): the disk's size, zeros beyond image
    bool present = true;              // false: opening "qvdisk.img" fails
    bool drive = false;  // opens as the fixed drive "memory-drive-0" instead of "qvdisk.img"
    uint64_t fail_read = 0, reads = 0;  // read number fail_read (from 1) fails with fail_code,
    int fail_code = 5;                  // or with fail_code 0 delivers only short_count bytes
    uint32_t short_count = 0;
    int64_t shrink_to = -1;            // >= 0: after the first read the image is cut to this size
    std::vector<BadSectors> bad = {};  // sectors that fail every read touching them
    uint64_t failed = 0;               // reads that failed or came back short
    uint64_t dies_after = 0;  // > 0: once that many reads failed, every read fails (error 5)
    // > 0: read as a drive past the cache, with logical sectors of this size: a read whose
    // position, count or buffer is not a multiple of it fails (error 22), as does one above
    // largest_read; refuses_direct: every direct read fails so, until the disk reads through the
    // cache.
    uint32_t direct_sector = 0, largest_read = 0;
    bool refuses_direct = false;
    bool log_reads = false;  // then every read (position, count) since install
    std::vector<std::pair<int64_t, uint32_t>> read_log = {};
    void fail_sectors(uint64_t first, uint64_t count, BadKind kind = BadKind::kEio) {
        bad.push_back({first, count, kind});
    }
};

// Installs disk as the current platform; uninstalling restores the native one.
void install_memory_disk(MemoryDisk* disk);
void uninstall_memory_disk();
