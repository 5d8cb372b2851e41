// The in-memory disk: only the image name opens (onto MemoryDisk::image), the
// parent image and every drive are absent. Reads are counted so a test can
// make a chosen one fail or come up short.
#include "support/memory_disk.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kNotFound = 2;        // the code a missing file gives on both systems
constexpr int kNotADrive = 50;      // geometry request on something that is no drive

struct memory_handle {
    MemoryDisk* disk;
    int64_t position;
};

MemoryDisk* installed = nullptr;
qv_platform memory_platform;

qv_handle memory_open(const char* path, int* error) {
    if (!installed || !installed->present || strcmp(path, memory_platform.image_name) != 0) {
        *error = kNotFound;
        return nullptr;
    }
    return new memory_handle{installed, 0};
}

uint64_t disk_size(const MemoryDisk* d) { return d->size > d->image.size() ? d->size : d->image.size(); }

int memory_file_size(qv_handle h, int64_t* size) {
    *size = int64_t(disk_size(static_cast<memory_handle*>(h)->disk));
    return 0;
}

// n bytes of the disk at pos into dest: from image, zeros beyond it.
void copy_out(const MemoryDisk* d, uint64_t pos, void* dest, uint32_t n) {
    uint64_t have = pos >= d->image.size() ? 0 : d->image.size() - pos;
    size_t from_image = size_t(have < n ? have : n);
    if (from_image) memcpy(dest, d->image.data() + pos, from_image);
    memset(static_cast<uint8_t*>(dest) + from_image, 0, n - from_image);
}

int memory_drive_geometry(qv_handle, qv_drive_geometry*) { return kNotADrive; }

int memory_seek(qv_handle h, int64_t position) {
    if (position < 0) return 22;   // invalid argument
    static_cast<memory_handle*>(h)->position = position;
    return 0;
}

constexpr int kIoError = 5;          // EIO, and ERROR_ACCESS_DENIED's number on Windows
constexpr int kCrcError = 23;        // ERROR_CRC: what ReadFile gives for a bad sector
constexpr uint8_t kScribble = 0xEE;
constexpr uint64_t kSector = 512;

// The first bad sector that [pos, pos + count) touches, and how it fails.
const BadSectors* first_bad(const MemoryDisk* d, uint64_t pos, uint32_t count, uint64_t* sector) {
    const BadSectors* found = nullptr;
    if (count == 0) return nullptr;
    uint64_t lo = pos / kSector, hi = (pos + count - 1) / kSector;
    for (const BadSectors& b : d->bad) {
        uint64_t s = b.first > lo ? b.first : lo;
        if (s <= hi && s < b.first + b.count && (!found || s < *sector)) {
            found = &b;
            *sector = s;
        }
    }
    return found;
}

int memory_read(qv_handle h, void* dest, uint32_t count, uint32_t* got) {
    memory_handle* mh = static_cast<memory_handle*>(h);
    MemoryDisk* d = mh->disk;
    *got = 0;
    d->reads++;
    if (d->log_reads) d->read_log.emplace_back(mh->position, count);
    if (d->fail_read != 0 && d->reads == d->fail_read && d->fail_code != 0) return d->fail_code;
    uint64_t size = disk_size(d);
    uint64_t pos = uint64_t(mh->position);
    uint32_t n = pos >= size ? 0 : uint32_t(size - pos < count ? size - pos : count);
    if (d->fail_read != 0 && d->reads == d->fail_read && d->short_count < n) n = d->short_count;
    uint64_t sector = 0;
    if (const BadSectors* b = first_bad(d, pos, count, &sector)) {
        if (b->kind == BadKind::kWhole) {
            memset(dest, kScribble, count);
            return kCrcError;
        }
        uint64_t before = sector * kSector > pos ? sector * kSector - pos : 0;
        if (before < n) n = uint32_t(before);
        copy_out(d, pos, dest, n);
        *got = n;
        return b->kind == BadKind::kEio ? kIoError : 0;
    }
    copy_out(d, pos, dest, n);
    *got = n;
    if (d->reads == 1 && d->shrink_to >= 0 && uint64_t(d->shrink_to) < d->image.size())
        d->image.resize(size_t(d->shrink_to));
    return 0;
}

void memory_close(qv_handle h) { delete static_cast<memory_handle*>(h); }

int memory_is_same_file(qv_handle, const char*) { return 0; }

void memory_drive_path(int n, char* buf, size_t size) { snprintf(buf, size, "memory-drive-%d", n); }

}  // namespace

void install_memory_disk(MemoryDisk* disk) {
    const qv_platform* native = qv_native_platform();
    memory_platform = qv_platform{
        memory_open,  memory_file_size,     memory_drive_geometry, memory_seek,
        memory_read,  memory_close,         memory_is_same_file,   memory_drive_path,
        native->image_name, native->parent_image_name,
    };
    installed = disk;
    disk->reads = 0;
    disk->read_log.clear();
    qv_set_platform(&memory_platform);
}

void uninstall_memory_disk() {
    installed = nullptr;
    qv_set_platform(nullptr);
}
