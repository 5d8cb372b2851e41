// Finding the recorder's disk (an image file or a physical drive, searched
// for or named on the command line) and the one read primitive of the disk.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/qvdisk.h"

constexpr int kDriveCount = 8;        // drives the search tries
constexpr int kNamedDriveLimit = 26;  // a drive named by number: 0 to 25 (a to z)

// The backend the open disk was opened with: its handle belongs to it, even
// when a test has installed another backend since.
static const qv_platform* disk_platform = nullptr;

static const qv_platform* handle_platform() {
    return disk_platform ? disk_platform : qv_current_platform();
}

// The map beside the image file, when there is one: a byte in a block it
// does not mark finished reads as a failing drive there would.
static rescue_map source_map;
static int have_source_map = 0;
static char source_map_path[kOutputPathSize + sizeof kMapSuffix];

static bool signature_ok(const uint8_t* boot) {
    return memcmp(boot + kSignatureOffset, kSignature, kSignatureLength) == 0;
}

int qv_read_r(int64_t position, void* dest, uint32_t count, int swap, char* message) {
    const qv_platform* p = handle_platform();
    if (!qv->handle) {
        qv_format(message, "No disk is open.\n");
        return 1;
    }
    if (qv->disk_sectors != 0 && uint64_t(position >> 9) >= uint64_t(qv->disk_sectors)) {
        qv_format(message, "Attempt to read after end of disk!\n");
        return 1;
    }
    if (have_source_map) {
        int64_t at = map_first_unfinished(&source_map, position, count);
        if (at >= 0) {
            qv_format(message, "Cannot read position %" PRId64 ": %s does not mark it rescued\n",
                      at, source_map_path);
            return 1;
        }
    }
    int code = p->seek(qv->handle, position);
    if (code != 0) {
        qv_format(message, "SetFilePointer failed on position %" PRId64 " with code %d\n", position,
                  code);
        return 1;
    }
    uint32_t got = 0;
    code = p->read(qv->handle, dest, count, &got);
    if (code != 0) {
        qv_format(message, "ReadFile failed on position %" PRId64 " with code %d\n", position,
                  code);
        return 1;
    }
    if (got < count) {
        // Before the geometry is known (the first sector) the figure is cluster 0.
        int64_t cluster = qv->cluster_size ? position / int64_t(qv->cluster_size) : 0;
        qv_format(message,
                  "ReadFile did not read %ld bytes but %ld bytes at position %" PRId64
                  " (cluster %" PRId64 ")\n",
                  long(count), long(got), position, cluster);
        return 1;
    }
    if (swap) swap16_words(static_cast<uint8_t*>(dest), count);
    return 0;
}

int qv_read(int64_t position, void* dest, uint32_t count, int swap) {
    return qv_read_r(position, dest, count, swap, qv_error);
}

int qv_read_cluster(uint32_t n, uint8_t* dest) {
    return qv_read(int64_t(uint64_t(n + 1) * qv->cluster_size), dest, qv->cluster_size, 1);
}

int qv_disk_mode = 0;

// In mode "disk" an image with its map where the image is written is the
// copy to continue, never the source: whether path names it.
static bool copy_to_continue(const qv_platform* p, const char* path) {
    if (!qv_disk_mode) return false;
    char out[kOutputPathSize];
    output_path(out, sizeof out, p->image_name);
    if (!out[0] || !disk_copy_to_continue(out)) return false;
    if (strcmp(out, path) == 0) return true;
    // The same file under another name (an output directory "." or "..").
    int error = 0;
    qv_handle h = p->open_exclusive(path, &error);
    if (!h) return false;
    bool same = p->is_same_file && p->is_same_file(h, out);
    p->close(h);
    return same;
}

static void note_image_path(const char* path) {
    snprintf(source_map_path, sizeof source_map_path, "%s%s", path, kMapSuffix);
}

static int open_image(const qv_platform* p) {
    int error = 0;
    const char* path = p->image_name;
    if (!copy_to_continue(p, path)) qv->handle = p->open_exclusive(path, &error);
    if (!qv->handle) {
        path = p->parent_image_name;
        if (!copy_to_continue(p, path)) qv->handle = p->open_exclusive(path, &error);
    }
    if (!qv->handle) return 0;
    disk_platform = p;
    note_image_path(path);
    return 1;
}

// Takes the map beside the opened image. 0, or 1 when it cannot be used.
static int load_source_map() {
    int r = map_read(source_map_path, &source_map);
    if (r < 0) return 1;
    have_source_map = r == 0;
    if (have_source_map)
        qv_warn("Using the map %s: blocks it does not mark rescued count as unreadable\n",
                source_map_path);
    return 0;
}

// An image file or drive named on the command line that cannot be opened.
static int cannot_open(const char* what, const char* path, int code) {
    char reason[256];
    qv_system_message(code, reason, sizeof reason);
    qv_set_error("Cannot open %s %s: %s\n", what, path, reason);
    return 0;
}

static int open_named_image(const qv_platform* p, const char* path) {
    int error = 0;
    qv->handle = p->open_exclusive(path, &error);
    if (!qv->handle) return cannot_open("image", path, error);
    disk_platform = p;
    note_image_path(path);
    return 1;
}

// The image path, once an image file is open: its size, its first sector
// and the signature.
static int check_image(const qv_platform* p) {
    int64_t size = 0;
    if (p->file_size(qv->handle, &size) != 0) {
        qv_set_error("Cannot determine size of saved image.\n");
        return 0;
    }
    qv->disk_sectors = size / kSectorSize;
    if (load_source_map() != 0) return 0;
    if (qv_read(0, qv->boot_sector, kSectorSize, 1) != 0) return 0;
    if (!signature_ok(qv->boot_sector)) {
        qv_set_error("Bad signature in saved image!\n");
        return 0;
    }
    return 1;
}

static int find_drive(const qv_platform* p) {
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
        qv->handle = h;
        disk_platform = p;
        qv->disk_sectors = g.sectors;
        if (qv_read(0, qv->boot_sector, kSectorSize, 1) != 0 || !signature_ok(qv->boot_sector)) {
            p->close(h);
            qv->handle = nullptr;
            disk_platform = nullptr;
            qv->disk_sectors = 0;
            continue;
        }
        return 1;
    }
    qv_set_error("No Velmoran disk found!\n");
    return 0;
}

// A drive named on the command line: a path, or just the number the drive
// search gives it (on Windows N for \\.\PhysicalDriveN). Removable media
// are read too; the signature is checked as in the search.
static int open_named_drive(const qv_platform* p, const char* name) {
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
    qv->handle = h;
    disk_platform = p;
    qv_drive_geometry g = {};
    int code = p->drive_geometry(h, &g);
    if (code != 0) {
        char reason[256];
        qv_system_message(code, reason, sizeof reason);
        qv_set_error("Cannot determine size of drive %s: %s\n", path, reason);
        return 0;
    }
    qv->disk_sectors = g.sectors;
    if (qv_read(0, qv->boot_sector, kSectorSize, 1) != 0) return 0;
    if (!signature_ok(qv->boot_sector)) {
        qv_set_error("Bad signature on drive %s!\n", path);
        return 0;
    }
    return 1;
}

// The disk the command line chose (qv_options), else the image here or in
// the parent directory, else the first recorder drive.
static int find_disk(const qv_platform* p) {
    if (qv_options.image_path) return open_named_image(p, qv_options.image_path) && check_image(p);
    if (qv_options.device_path) return open_named_drive(p, qv_options.device_path);
    if (open_image(p)) return check_image(p);
    return find_drive(p);
}

int cluster_geometry_fits() {
    const uint32_t size = qv->cluster_size;
    const uint32_t count = qv->cluster_count;
    if (size != 0 && size <= kClusterBufferSize && count <= kMaxClusters &&
        uint64_t(kFat2Offset) + uint64_t(kFatEntrySize) * count <= size)
        return 1;
    qv_set_error(
        "Cluster size %u cannot hold both allocation tables of %u clusters in the first cluster\n",
        size, count);
    return 0;
}

int open_qvdisk(progress_callback progress) {
    const qv_platform* p = qv_current_platform();
    qv->progress = progress;
    if (!find_disk(p)) return 1;
    uint32_t sectors_per_cluster = get_be16(qv->boot_sector + kSectorsPerClusterOffset);
    if (sectors_per_cluster == 0 || sectors_per_cluster > kMaxSectorsPerCluster) {
        qv_set_error("Unsupported cluster size of %u sectors in the first sector\n",
                     sectors_per_cluster);
        return 1;
    }
    qv->cluster_size = sectors_per_cluster << 9;
    // The first cluster is the system area. Counted in 64 bits, so a disk of
    // more than 2^32 sectors is not cut to a few clusters, and a disk smaller
    // than one cluster has none instead of a count that wrapped around.
    uint64_t clusters = uint64_t(qv->disk_sectors) / sectors_per_cluster;
    clusters = clusters == 0 ? 0 : clusters - 1;
    qv->cluster_count = clusters > kMaxClusters ? kMaxClusters : uint32_t(clusters);
    if (!cluster_geometry_fits()) return 1;
    if (read_fat() == 0) return 0;
    // The whole disk is copied whatever its file system: what the check
    // refuses is shown, and the copy goes on.
    if (!qv_disk_mode) return 1;
    if (qv->progress) qv->progress(-1);
    return 0;
}

void qv_close() {
    if (qv->handle) handle_platform()->close(qv->handle);
    disk_platform = nullptr;
    map_free(&source_map);
    have_source_map = 0;
    memset(qv, 0, sizeof *qv);
}
