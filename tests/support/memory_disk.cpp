#include "support/memory_disk.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
namespace {

constexpr int kNotFound = 2, kNotADrive = 50, kInvalid = 22;
constexpr char kDriveName[] = "memory-drive-0";
constexpr int kIoError = 5;    // EIO, and ERROR_ACCESS_DENIED's number on Windows
constexpr int kCrcError = 23;  // ERROR_CRC: what ReadFile gives for a bad sector

struct memory_handle {
    MemoryDisk* disk;
    int64_t position;
};
MemoryDisk* installed = nullptr;
qv_platform memory_platform;
uint64_t disk_size(const MemoryDisk* d) { return std::max<uint64_t>(d->size, d->image.size()); }

// The first bad sector of d the read of sectors first_sector .. last_sector touches (its range in
// found), or null.
const BadSectors* first_bad(const MemoryDisk* d, uint64_t first_sector, uint64_t last_sector,
                            uint64_t* found) {
    const BadSectors* first = nullptr;
    for (const BadSectors& b : d->bad) {
        const uint64_t touched = std::max(b.first, first_sector);
        if (touched > last_sector || touched >= b.first + b.count) continue;
        if (first && touched >= *found) continue;
        first = &b;
        *found = touched;
    }
    return first;
}

// n bytes at pos from the image, zeros beyond it.
void copy_out(const MemoryDisk* d, uint64_t pos, uint8_t* dest, uint32_t n) {
    const size_t image_size = d->image.size();
    const size_t from_image =
        pos >= image_size ? 0 : size_t(std::min<uint64_t>(image_size - pos, n));
    if (from_image) memcpy(dest, d->image.data() + pos, from_image);
    memset(dest + from_image, 0, n - from_image);
}

int read_disk(memory_handle* mh, void* dest, uint32_t count, uint32_t* got) {
    MemoryDisk* d = mh->disk;
    *got = 0;
    d->reads++;
    if (d->log_reads) d->read_log.emplace_back(mh->position, count);
    if (d->dies_after != 0 && d->failed >= d->dies_after) return kIoError;
    const bool failing = d->fail_read != 0 && d->reads == d->fail_read;
    if (failing && d->fail_code != 0) return d->fail_code;
    const uint64_t size = disk_size(d);
    const uint64_t pos = uint64_t(mh->position);
    uint32_t n = pos >= size ? 0 : uint32_t(std::min<uint64_t>(size - pos, count));
    if (failing && d->short_count < n) n = d->short_count;
    uint64_t bad_sector = 0;
    const BadSectors* bad =
        count ? first_bad(d, pos / kSectorSize, (pos + count - 1) / kSectorSize, &bad_sector)
              : nullptr;
    if (bad && bad->kind == BadKind::kWhole) {
        memset(dest, 0xEE, count);
        return kCrcError;
    }
    const uint64_t bad_at = bad_sector * kSectorSize;
    if (bad) n = uint32_t(std::min<uint64_t>(n, bad_at > pos ? bad_at - pos : 0));
    copy_out(d, pos, static_cast<uint8_t*>(dest), n);
    *got = n;
    if (bad) return bad->kind == BadKind::kEio ? kIoError : 0;
    if (d->reads == 1 && d->shrink_to >= 0 && uint64_t(d->shrink_to) < d->image.size())
        d->image.resize(size_t(d->shrink_to));
    return 0;
}
// A read past the cache that the drive does not take: unaligned, too large, or refused.
bool misfit(const MemoryDisk* d, int64_t pos, const void* dest, uint32_t count) {
    const uint32_t s = d->direct_sector;
    if (s == 0) return false;
    const bool unaligned = pos % s || count % s || reinterpret_cast<uintptr_t>(dest) % s;
    return d->refuses_direct || unaligned || (d->largest_read && count > d->largest_read);
}
int memory_read(qv_handle h, void* dest, uint32_t count, uint32_t* got) {
    memory_handle* mh = static_cast<memory_handle*>(h);
    *got = 0;
    if (misfit(mh->disk, mh->position, dest, count)) return kInvalid;
    const int code = read_disk(mh, dest, count, got);
    if (code != 0 || *got < count) mh->disk->failed++;
    return code;
}
}  // namespace

void install_memory_disk(MemoryDisk* disk) {
    const qv_platform* native = qv_native_platform();
    memory_platform = qv_platform{
        [](const char* path, int* error) -> qv_handle {
            const char* name =
                installed && installed->drive ? kDriveName : memory_platform.image_name;
            const bool found = installed && installed->present && strcmp(path, name) == 0;
            if (found) return new memory_handle{installed, 0};
            *error = kNotFound;
            return nullptr;
        },
        [](qv_handle h, int64_t* size) {
            *size = int64_t(disk_size(static_cast<memory_handle*>(h)->disk));
            return 0;
        },
        [](qv_handle h, qv_drive_geometry* g) {
            const MemoryDisk* d = static_cast<memory_handle*>(h)->disk;
            *g = {1, int64_t(disk_size(d) / kSectorSize)};
            return d->drive ? 0 : kNotADrive;
        },
        [](qv_handle h, int64_t position) {
            if (position < 0) return kInvalid;
            static_cast<memory_handle*>(h)->position = position;
            return 0;
        },
        memory_read,
        [](qv_handle h) { delete static_cast<memory_handle*>(h); },
        [](qv_handle, const char*) { return false; },
        [](int n, char* buf, size_t size) { snprintf(buf, size, "memory-drive-%d", n); },
        native->image_name,
        native->parent_image_name,
        [](qv_handle h, qv_read_access* access) {
            const MemoryDisk* d = static_cast<memory_handle*>(h)->disk;
            *access = {d->direct_sector != 0, d->direct_sector, d->direct_sector, d->largest_read};
            return 0;
        },
        [](qv_handle h) {
            static_cast<memory_handle*>(h)->disk->direct_sector = 0;
            return 0;
        },
        kInvalid,
    };
    installed = disk;
    disk->reads = 0;
    disk->failed = 0;
    disk->read_log.clear();
    qv_set_platform(&memory_platform);
}
void uninstall_memory_disk() {
    installed = nullptr;
    qv_set_platform(nullptr);
}
