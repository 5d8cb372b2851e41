// Opening the recorder's disk: finding it (the device layer, which is told
// how to recognise the recorder's first sector), deriving the cluster
// geometry from its first sector, and loading and checking the file system.
#include <cstring>

#include "disk/bytes.h"
#include "disk/fs/fs.h"

qv_settings qv_options;

namespace {

bool signature_ok(const uint8_t* boot) {
    return memcmp(boot + kSignatureOffset, kSignature, kSignatureLength) == 0;
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
    // The first cluster is the system area. Counted in 64 bits, so a disk of
    // more than 2^32 sectors is not cut to a few clusters, and a disk smaller
    // than one cluster has none instead of a count that wrapped around.
    uint64_t clusters = uint64_t(qv->disk_sectors) / sectors_per_cluster;
    clusters = clusters == 0 ? 0 : clusters - 1;
    qv->cluster_count = clusters > kMaxClusters ? kMaxClusters : uint32_t(clusters);
    return cluster_geometry_fits() ? 0 : 1;
}

}  // namespace

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
    const disk_search search = {qv_options.image_path, qv_options.device_path, qv_options.excluded,
                                signature_ok};
    if (qv_open_device(&search) != 0) return 1;
    if (take_geometry() != 0) return 1;
    if (qv_options.found) qv_options.found();
    if (read_fat() == 0) return 0;
    // The whole disk is imaged whatever its file system: what the check
    // refuses is shown, and the copy goes on.
    if (!qv_options.whole_disk) return 1;
    if (qv->progress) qv->progress(-1);
    return 0;
}
