// Finding the recorder's disk: an image file or a physical drive, named on
// the command line or searched for, recognised by its first sector.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/device/device.h"

namespace {

constexpr int kDriveCount = 8;        // drives the search tries
constexpr int kNamedDriveLimit = 26;  // a drive named by number: 0 to 25 (a to z)
constexpr size_t kReasonSize = 256;

// The backend the open disk was opened with.
const qv_platform* disk_platform = nullptr;

void take_handle(const qv_platform* p, qv_handle h) {
    qv->handle = h;
    disk_platform = p;
}

void drop_handle() {
    if (qv->handle) handle_platform()->close(qv->handle);
    qv->handle = nullptr;
    disk_platform = nullptr;
    qv->disk_sectors = 0;
}

// An image file or drive named on the command line that cannot be opened.
int cannot_open(const char* what, const char* path, int code) {
    char reason[kReasonSize];
    qv_system_message(code, reason, sizeof reason);
    qv_set_error("Cannot open %s %s: %s\n", what, path, reason);
    return 1;
}

// Reads the first sector into qv->boot_sector and asks whether it is the
// recorder's. 0; 1 when it cannot be read (the read's message in qv_error);
// 2 when it is not recognised.
int read_first_sector(const disk_search* search) {
    if (qv_read(0, qv->boot_sector, kSectorSize, 1) != 0) return 1;
    return search->recognised(qv->boot_sector) ? 0 : 2;
}

// The image path, once an image file is open: its size, its map, its first
// sector and the signature.
int check_image(const qv_platform* p, const disk_search* search, const char* path) {
    int64_t size = 0;
    if (p->file_size(qv->handle, &size) != 0) {
        qv_set_error("Cannot determine size of saved image.\n");
        return 1;
    }
    qv->disk_sectors = size / kSectorSize;
    if (load_source_map(path) != 0) return 1;
    int r = read_first_sector(search);
    if (r == 2) qv_set_error("Bad signature in saved image!\n");
    return r;
}

// The image here, else in the parent directory; an output of the run is
// never opened. 0 when one is open.
int open_default_image(const qv_platform* p, const disk_search* search, const char** path) {
    const char* const names[] = {p->image_name, p->parent_image_name};
    for (const char* name : names) {
        if (search->excluded && search->excluded(name)) continue;
        int error = 0;
        qv_handle h = p->open_exclusive(name, &error);
        if (!h) continue;
        take_handle(p, h);
        *path = name;
        return 0;
    }
    return 1;
}

int open_named_image(const qv_platform* p, const disk_search* search) {
    int error = 0;
    qv_handle h = p->open_exclusive(search->image_path, &error);
    if (!h) return cannot_open("image", search->image_path, error);
    take_handle(p, h);
    return check_image(p, search, search->image_path);
}

int find_drive(const qv_platform* p, const disk_search* search) {
    for (int n = 0; n < kDriveCount; n++) {
        char path[64];
        p->drive_path(n, path, sizeof path);
        int error = 0;
        qv_handle h = p->open_exclusive(path, &error);
        if (!h) continue;
        qv_drive_geometry g = {};
        if (p->drive_geometry(h, &g) != 0 || !g.fixed_media) {
            p->close(h);
            continue;
        }
        take_handle(p, h);
        qv->disk_sectors = g.sectors;
        if (read_first_sector(search) == 0) return 0;
        drop_handle();
    }
    qv_set_error("No Velmoran disk found!\n");
    return 1;
}

// A drive named on the command line: a path, or just the number the drive
// search gives it (on Windows N for \\.\PhysicalDriveN). Removable media
// are read too; the first sector is checked as in the search.
int open_named_drive(const qv_platform* p, const disk_search* search) {
    const char* name = search->device_path;
    char numbered[64];
    const char* path = name;
    size_t digits = strspn(name, "0123456789");
    if (digits > 0 && digits <= 2 && name[digits] == 0 && atoi(name) < kNamedDriveLimit) {
        p->drive_path(atoi(name), numbered, sizeof numbered);
        path = numbered;
    }
    int error = 0;
    qv_handle h = p->open_exclusive(path, &error);
    if (!h) return cannot_open("drive", path, error);
    take_handle(p, h);
    qv_drive_geometry g = {};
    int code = p->drive_geometry(h, &g);
    if (code != 0) {
        char reason[kReasonSize];
        qv_system_message(code, reason, sizeof reason);
        qv_set_error("Cannot determine size of drive %s: %s\n", path, reason);
        return 1;
    }
    qv->disk_sectors = g.sectors;
    int r = read_first_sector(search);
    if (r == 2) qv_set_error("Bad signature on drive %s!\n", path);
    return r;
}

}  // namespace

const qv_platform* handle_platform() {
    return disk_platform ? disk_platform : qv_current_platform();
}

namespace {

int open_as_searched(const disk_search* search) {
    const qv_platform* p = qv_current_platform();
    if (search->image_path) return open_named_image(p, search);
    if (search->device_path) return open_named_drive(p, search);
    const char* path = nullptr;
    if (open_default_image(p, search, &path) == 0) return check_image(p, search, path);
    return find_drive(p, search);
}

}  // namespace

int qv_open_device(const disk_search* search) {
    if (open_as_searched(search) != 0) return 1;
    rescue_reset();
    return 0;
}

void qv_close() {
    drop_handle();
    rescue_free();
    free_source_map();
    memset(qv, 0, sizeof *qv);
}
