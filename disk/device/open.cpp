// Finding the recorder's disk: an image file or a physical drive, named on
// the command line or searched for, recognised by its first sector.
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/device/device.h"

namespace {

constexpr int kDriveCount = 8;        // drives the search tries
constexpr int kNamedDriveLimit = 26;  // a drive named by number: 0 to 25 (a to z)
constexpr size_t kReasonSize = 256;
constexpr size_t kPlaceSize = 64;

// The backend the open disk was opened with.
const qv_platform* disk_platform = nullptr;
bool have_first_sector = false;

void drop_handle() {
    if (qv->handle) handle_platform()->close(qv->handle);
    drop_read_access();
    qv->handle = nullptr;
    disk_platform = nullptr;
    qv->disk_sectors = 0;
}

// 0, or 1 when the handle cannot be read (closed; the reason in qv_error).
int take_handle(const qv_platform* p, qv_handle h) {
    qv->handle = h;
    disk_platform = p;
    if (take_read_access() == 0) return 0;
    drop_handle();
    return 1;
}

// Where the search looked: the places passed over, those of one reason in a
// row as one group ("/dev/sdc to /dev/sdh (No such file or directory)").
struct search_log {
    char text[kErrorSize];
    char reason[kReasonSize];  // of the open group; "" when there is none
    char first[kPlaceSize], last[kPlaceSize];
    int places;  // in the open group
};
search_log looked;

void close_group() {
    if (!looked.reason[0]) return;
    const size_t used = strlen(looked.text);
    const char* joint = looked.places == 1 ? "" : looked.places == 2 ? " and " : " to ";
    snprintf(looked.text + used, sizeof looked.text - used, "%s%s%s%s (%s)",
             used ? ", " : "Looked at ", looked.first, joint, looked.places == 1 ? "" : looked.last,
             looked.reason);
    looked.reason[0] = 0;
}

void passed_over(const char* place, const char* reason) {
    if (strcmp(reason, looked.reason) == 0) {
        snprintf(looked.last, sizeof looked.last, "%s", place);
        looked.places++;
        return;
    }
    close_group();
    snprintf(looked.reason, sizeof looked.reason, "%s", reason);
    snprintf(looked.first, sizeof looked.first, "%s", place);
    looked.places = 1;
}

void passed_over_code(const char* place, int code) {
    char reason[kReasonSize];
    qv_system_message(code, reason, sizeof reason);
    passed_over(place, reason);
}

void end_search_log() {
    close_group();
    const size_t used = strlen(looked.text);
    snprintf(looked.text + used, sizeof looked.text - used,
             "; -i FILE names an image file, -d DRIVE a drive\n");
}

// An image file or drive named on the command line that cannot be opened.
int cannot_open(const char* what, const char* path, int code) {
    char reason[kReasonSize];
    qv_system_message(code, reason, sizeof reason);
    qv_set_error("Cannot open %s %s: %s\n", what, path, reason);
    return 1;
}

// Reads the first sector into qv->boot_sector through the rescue (the
// rescue of the disk begins with it) and asks whether it is the recorder's.
// 0; 1 when it cannot be read (the read's message in qv_error, the sector
// zero); 2 when it is not recognised.
int read_first_sector(const disk_search* search) {
    static bad_sectors unread;
    rescue_reset();
    have_first_sector =
        qv_read_salvage(0, qv->boot_sector, kSectorSize, 1, &unread) == kSalvageComplete;
    if (!have_first_sector) return 1;
    return search->recognised(qv->boot_sector) ? 0 : 2;
}

// A disk named on the command line whose first sector cannot be read, where
// the search takes it all the same: 0.
int first_sector_result(const disk_search* search, int r) {
    if (r == 1 && search->unreadable_first_sector) {
        memset(qv->boot_sector, 0, sizeof qv->boot_sector);
        return 0;
    }
    return r;
}

int before_reading(const disk_search* search) {
    return search->before_reading ? search->before_reading(qv->disk_sectors * kSectorSize) : 0;
}

// The drive's line: its size, its sectors, how it is read (none for a file
// standing in for a drive).
void show_drive(const char* path) {
    const qv_read_access* a = read_access();
    if (a->logical_sector == 0) return;
    qv_warn("Drive %s: %" PRId64 " bytes, sectors of %u bytes (physical %u), %s\n", path,
            qv->disk_sectors * int64_t(kSectorSize), device_sector(), a->physical_sector,
            a->direct ? "read past the system's cache" : "read through the system's cache");
    if (!a->direct)
        qv_warn(
            "Drive %s cannot be read directly: the drive is read through the system's "
            "cache: a bad sector costs its neighbours\n",
            path);
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
    if (load_source_map(path) != 0 || before_reading(search) != 0) return 1;
    int r = first_sector_result(search, read_first_sector(search));
    if (r == 2) qv_set_error("Bad signature in saved image!\n");
    return r;
}

// The image here, else in the parent directory; an output of the run is
// never opened. 0 when one is open.
int open_default_image(const qv_platform* p, const disk_search* search, const char** path) {
    const char* const names[] = {p->image_name, p->parent_image_name};
    for (const char* name : names) {
        if (search->excluded && search->excluded(name)) {
            passed_over(name, "the image this run continues");
            continue;
        }
        int error = 0;
        qv_handle h = p->open_exclusive(name, &error);
        if (!h) {
            passed_over_code(name, error);
            continue;
        }
        if (take_handle(p, h) != 0) return 1;
        *path = name;
        return 0;
    }
    return 1;
}

int open_named_image(const qv_platform* p, const disk_search* search) {
    int error = 0;
    qv_handle h = p->open_exclusive(search->image_path, &error);
    if (!h) return cannot_open("image", search->image_path, error);
    if (take_handle(p, h) != 0) return 1;
    return check_image(p, search, search->image_path);
}

// Drive path of the search, once open: the recorder's disk (0, open), or
// passed over (closed) for the reason given in the search's log.
int try_drive(const qv_platform* p, const disk_search* search, const char* path, qv_handle h) {
    qv_drive_geometry g = {};
    const int code = p->drive_geometry(h, &g);
    if (code != 0 || !g.fixed_media) {
        p->close(h);
        if (code != 0) passed_over_code(path, code);
        if (code == 0) passed_over(path, "removable");
        return 1;
    }
    if (take_handle(p, h) != 0) {
        passed_over(path, "cannot be read");
        return 1;
    }
    qv->disk_sectors = g.sectors;
    const int r = read_first_sector(search);
    if (r == 0) return 0;
    if (r == 1) qv_warn("%s: its first sector cannot be read; name it with -d to image it\n", path);
    passed_over(path, r == 1 ? "its first sector cannot be read" : "no recorder's signature");
    drop_handle();
    return 1;
}

int find_drive(const qv_platform* p, const disk_search* search) {
    close_group();  // the image names are a group of their own
    for (int n = 0; n < kDriveCount; n++) {
        char path[kPlaceSize];
        p->drive_path(n, path, sizeof path);
        int error = 0;
        qv_handle h = p->open_exclusive(path, &error);
        if (!h) {
            passed_over_code(path, error);
            continue;
        }
        if (try_drive(p, search, path, h) != 0) continue;
        if (before_reading(search) != 0) return 1;
        show_drive(path);
        return 0;
    }
    end_search_log();
    qv_set_error("No Velmoran disk found!\n");
    return 1;
}

// A drive named on the command line: a path, or just the number the drive
// search gives it (on Windows N for \\.\PhysicalDriveN). Removable media
// are read too; the first sector is checked as in the search.
int open_named_drive(const qv_platform* p, const disk_search* search) {
    const char* name = search->device_path;
    char numbered[kPlaceSize];
    const char* path = name;
    size_t digits = strspn(name, "0123456789");
    if (digits > 0 && digits <= 2 && name[digits] == 0 && atoi(name) < kNamedDriveLimit) {
        p->drive_path(atoi(name), numbered, sizeof numbered);
        path = numbered;
    }
    int error = 0;
    qv_handle h = p->open_exclusive(path, &error);
    if (!h) return cannot_open("drive", path, error);
    if (take_handle(p, h) != 0) return 1;
    qv_drive_geometry g = {};
    int code = p->drive_geometry(h, &g);
    if (code != 0) {
        char reason[kReasonSize];
        qv_system_message(code, reason, sizeof reason);
        qv_set_error("Cannot determine size of drive %s: %s\n", path, reason);
        return 1;
    }
    qv->disk_sectors = g.sectors;
    if (before_reading(search) != 0) return 1;
    const int r = first_sector_result(search, read_first_sector(search));
    if (r == 0) show_drive(path);
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
    looked = search_log{};
    have_first_sector = false;
    return open_as_searched(search);
}

bool first_sector_read() { return have_first_sector; }

const char* search_report() { return looked.text; }

namespace {

// Clears the disk record: the fields, and of the table and the recordings
// what a run fills (the entries of the disk's clusters, the recordings
// counted), so that closing costs what the disk had, not the largest one.
void clear_disk_record() {
    const uint32_t entries = qv->cluster_count < kMaxClusters ? qv->cluster_count : kMaxClusters;
    const int count = qv->recording_count;
    const size_t recordings = count <= 0                    ? 0
                              : count < int(kMaxRecordings) ? size_t(count)
                                                            : kMaxRecordings;
    memset(qv->fat, 0, sizeof(uint32_t) * entries);
    memset(qv->recordings, 0, sizeof(recording_entry) * recordings);
    memset(qv, 0, offsetof(qv_instance, fat));
    memset(&qv->progress, 0, sizeof *qv - offsetof(qv_instance, progress));
}

}  // namespace

void qv_close() {
    drop_handle();
    rescue_free();
    free_source_map();
    clear_disk_record();
}
