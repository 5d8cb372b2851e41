// An in-memory disk behind the platform interface: tests and fuzz targets run
// the product's own opening and reading code on it, and can make a chosen
// read fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/platform.h"

struct MemoryDisk {
    std::vector<uint8_t> image;      // what "qvdisk.img" holds (PC byte order)
    bool present = true;             // false: opening "qvdisk.img" fails
    // Failure injection: the read whose number (counted from 1, over all reads
    // since install) equals fail_read fails with fail_code, or, when
    // fail_code is 0, delivers only short_count bytes.
    uint64_t fail_read = 0;
    int fail_code = 5;
    uint32_t short_count = 0;
    uint64_t reads = 0;
    int64_t shrink_to = -1;          // >= 0: after the first read the image is cut to this size
};

// Installs disk as the current platform (only "qvdisk.img" exists, no drives).
void install_memory_disk(MemoryDisk* disk);
// Restores the native platform.
void uninstall_memory_disk();
