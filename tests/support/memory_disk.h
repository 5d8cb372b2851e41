// An in-memory disk behind the platform interface: tests and fuzz targets run
// the product's own opening and reading code on it, and can make chosen reads
// or chosen sectors fail.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "disk/platform.h"

// How a bad sector fails a read that touches it.
enum class BadKind {
    kEio,     // the bytes before the first bad sector arrive, then error 5 (a POSIX read loop)
    kShort,   // the read stops short at the first bad sector, no error
    kWhole,   // the whole request fails with error 23, the buffer scribbled (Windows ReadFile)
};

struct BadSectors {
    uint64_t first;     // sector number
    uint64_t count;
    BadKind kind;
};

struct MemoryDisk {
    std::vector<uint8_t> image;      // what "qvdisk.img" holds (PC byte order)
    // Above image.size(): the disk's size, all that lies beyond image reading
    // as zeros (a disk of the largest table in little memory).
    uint64_t size = 0;
    bool present = true;             // false: opening "qvdisk.img" fails
    // Failure injection: the read whose number (counted from 1, over all reads
    // since install) equals fail_read fails with fail_code, or, when
    // fail_code is 0, delivers only short_count bytes.
    uint64_t fail_read = 0;
    int fail_code = 5;
    uint32_t short_count = 0;
    uint64_t reads = 0;
    int64_t shrink_to = -1;          // >= 0: after the first read the image is cut to this size
    // Sectors that fail every read touching them.
    std::vector<BadSectors> bad;
    // Every read (position, count) since install, when log_reads is set.
    bool log_reads = false;
    std::vector<std::pair<int64_t, uint32_t>> read_log;

    void fail_sectors(uint64_t first, uint64_t count, BadKind kind = BadKind::kEio) {
        bad.push_back({first, count, kind});
    }
};

// Installs disk as the current platform (only "qvdisk.img" exists, no drives).
void install_memory_disk(MemoryDisk* disk);
// Restores the native platform.
void uninstall_memory_disk();
