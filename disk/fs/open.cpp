// Opening the recorder's disk: finding it (the device layer, which is told
// how to recognise the recorder's first sector), deriving the cluster
// geometry from its first sector, and loading and checking the file system.
#include <cstdio>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fs/fs.h"

qv_settings qv_options;

namespace {

bool signature_ok(const uint8_t* boot) {
    return memcmp(boot + kSignatureOffset, kSignature, kSignatureLength) == 0;
}

// The clusters of a disk of sectors_per_cluster: the first one is the
// system area. Counted in 64 bits, so a disk of more than 2^32 sectors is
// not cut to a few clusters, and a disk smaller than one cluster has none
// instead of a count that wrapped around.
uint32_t clusters_of(uint32_t sectors_per_cluster) {
    uint64_t clusters = uint64_t(qv->disk_sectors) / sectors_per_cluster;
    clusters = clusters == 0 ? 0 : clusters - 1;
    return clusters > kMaxClusters ? kMaxClusters : uint32_t(clusters);
}

// The geometry of the first sector: cluster size and count. 0, or 1 with
// the reason in qv_error.
int take_geometry() {
    uint32_t sectors_per_cluster = get_be16(qv->boot_sector + kSectorsPerClusterOffset);
    if (sectors_per_cluster == 0 || sectors_per_cluster > kMaxSectorsPerCluster) {
        qv_set_error("Unsupported cluster size of %u sectors in the first sector\n",
                     sectors_per_cluster);
        return 1;
    }
    qv->cluster_size = sectors_per_cluster << 9;
    qv->cluster_count = clusters_of(sectors_per_cluster);
    return cluster_geometry_fits() ? 0 : 1;
}

// Whether the first sector of a cluster (recorder order) begins the root
// directory of a disk with that many clusters: its first entries are empty
// slots or name something (a name of printable characters) that starts and
// ends within the disk; at least one is not empty. The system area in front
// of the root (the tables, zeros) never passes.
bool root_directory_at(const uint8_t* sector, uint32_t clusters) {
    bool named = false;
    for (size_t at = 0; at < kSectorSize; at += kDirEntrySize) {
        const uint8_t* entry = sector + at;
        if (entry[kEntryType] == kTypeEmpty) continue;
        const uint8_t* name = entry + kEntryName;
        size_t length = 0;
        while (length < kDirNameSize && name[length] >= ' ') ++length;
        if (length == 0 || length == kDirNameSize || name[length] != 0 ||
            get_be32(entry + kEntryStart) >= clusters ||
            get_be32(entry + kEntryClusters) > clusters)
            return false;
        named = true;
    }
    return named;
}

// The root directory's first sector for every cluster size the tables fit
// in, read at once (recorder order): from the smallest, the first cluster
// size whose cluster 0 begins a root directory. 0 when none does.
uint32_t find_sectors_per_cluster() {
    constexpr uint32_t kFewest = (kFat2Offset + kFatEntrySize) / kSectorSize + 1;
    constexpr uint32_t kSpan = (kMaxSectorsPerCluster + 1) * kSectorSize;
    uint8_t* area = qv_alloc_aligned(kSpan);
    if (!area) return 0;
    static bad_sectors unread;
    uint32_t found = 0;
    for (uint32_t at = 0; at < kSpan; at += kClusterBufferSize) {
        const uint32_t n = kSpan - at < kClusterBufferSize ? kSpan - at : kClusterBufferSize;
        if (qv_read_salvage(at, area + at, n, 1, &unread, kEffortScrape) == kSalvageFailed) break;
    }
    for (uint32_t spc = kFewest; spc <= kMaxSectorsPerCluster && !found; ++spc)
        if (root_directory_at(area + spc * kSectorSize, clusters_of(spc))) found = spc;
    qv_free_aligned(area);
    return found;
}

// Without the first sector's cluster size, the salvage takes the one the
// root directory is found at, and reads the whole root. 0, or 1 with the
// reason in qv_error.
int salvage_geometry(const char* why) {
    const uint32_t spc = find_sectors_per_cluster();
    if (spc == 0) {
        qv_set_error("Salvage: %s, and no cluster size puts a root directory behind the tables\n",
                     why);
        return 1;
    }
    put_be16(qv->boot_sector + kSectorsPerClusterOffset, spc);
    put_be32(qv->boot_sector + kRootDirSlackOffset, kSectorSize);
    qv_warn("Salvage: %s; the root directory is found with clusters of %u sectors\n", why, spc);
    return take_geometry();
}

// Mode "disk" on a disk without a geometry: every sector, in order.
int image_without_geometry(const char* why) {
    qv->cluster_size = 0;
    qv->cluster_count = 0;
    qv_warn("The whole disk is imaged in order: %s, so the areas that matter cannot be known\n",
            why);
    if (qv_options.found) qv_options.found();
    return 0;
}

// The geometry, where the first sector cannot give it: the salvage finds
// it, mode "disk" images the disk without it. 0, or 1 (qv_error).
int take_any_geometry() {
    char why[kErrorSize] = "the first sector cannot be read";
    if (first_sector_read()) {
        if (take_geometry() == 0) return 0;
        if (!qv_options.salvage && !qv_options.whole_disk) return 1;
        snprintf(why, sizeof why, "the first sector gives no usable cluster size (%u sectors)",
                 get_be16(qv->boot_sector + kSectorsPerClusterOffset));
    }
    if (qv_options.salvage && salvage_geometry(why) == 0) return 0;
    return qv_options.whole_disk ? image_without_geometry(why) : 1;
}

}  // namespace

bool geometry_known() { return qv->cluster_size != 0; }

bool cluster_geometry_fits() {
    const uint32_t size = qv->cluster_size;
    const uint32_t count = qv->cluster_count;
    if (size != 0 && size <= kClusterBufferSize && count <= kMaxClusters &&
        uint64_t(kFat2Offset) + uint64_t(kFatEntrySize) * count <= size)
        return true;
    qv_set_error(
        "Cluster size %u cannot hold both allocation tables of %u clusters in the first "
        "cluster\n",
        size, count);
    return false;
}

int open_qvdisk(progress_callback progress) {
    qv->progress = progress;
    const bool imaging_drive = qv_options.whole_disk && qv_options.device_path;
    const disk_search search = {qv_options.image_path,
                                qv_options.device_path,
                                qv_options.excluded,
                                signature_ok,
                                imaging_drive || qv_options.salvage != 0,
                                qv_options.before_reading};
    if (qv_open_device(&search) != 0) return 1;
    if (take_any_geometry() != 0) return 1;
    if (!geometry_known()) return 0;
    if (qv_options.found) qv_options.found();
    if (read_fat() == 0) return 0;
    // The whole disk is imaged whatever its file system: what the check
    // refuses is shown, and the copy goes on.
    if (!qv_options.whole_disk) return 1;
    if (qv->progress) qv->progress(-1, qv_error);
    return 0;
}
