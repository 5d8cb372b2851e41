// Fuzz target: the recording reader. The input chooses the recording's chain
// (length, order, how it ends), its last_cluster_slack, and the bytes at its
// start (header, first packets) and across its cluster boundaries, and
// unreadable sectors; the reader then reads the whole recording (layout in
// fuzz_disks.h).
#include "fuzz_disks.h"

#include "disk/bytes.h"

namespace {

struct Target : fuzz::InstalledDisk {
    uint32_t cluster_size;
    uint32_t fat[fuzz::kRecordingClusters + 1];   // the table entries of clusters 0 to 3 as opened
};

Target& target() {
    static Target* t = [] {
        Target* t = new Target;
        ImageBuilder img = fuzz::recording_disk();
        t->install(img.image());
        t->cluster_size = img.cluster_size();
        if (open_qvdisk(fuzz::quiet) != 0 || parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) != 1)
            __builtin_trap();
        memcpy(t->fat, qv->fat, sizeof t->fat);
        return t;
    }();
    return *t;
}

volatile uint32_t sink;

// The last link chosen by bits 3-5 of the control byte.
uint32_t last_link(int kind, const std::vector<uint32_t>& chain) {
    switch (kind) {
    case 0: return kEndOfChain;
    case 1: return kFreeCluster;
    case 2: return kMarkerLink;
    case 3: return qv->cluster_count + 5;
    case 4: return chain.front();
    case 5: return chain.back();
    case 6: return 0;                                // the root directory
    default: return fuzz::kRecordingClusters + 1;   // a free cluster
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Target& t = target();
    if (size < fuzz::kReaderControl) return 0;
    const uint32_t cs = t.cluster_size;
    const uint8_t control = data[0];
    uint32_t n = 1 + (control & 3) % fuzz::kRecordingClusters;
    std::vector<uint32_t> chain = (control & 4) ? std::vector<uint32_t>{1, 3, 2} : std::vector<uint32_t>{1, 2, 3};
    chain.resize(n);

    // The chain and the entry as the product holds them after opening.
    memcpy(qv->fat, t.fat, sizeof t.fat);
    qv->fat[fuzz::kRecordingClusters + 1] = kFreeCluster;
    for (uint32_t k = 0; k + 1 < n; ++k) qv->fat[chain[k]] = chain[k + 1];
    qv->fat[chain.back()] = last_link((control >> 3) & 7, chain);
    recording_entry* entry = &qv->recordings[0];
    entry->num_clusters = n;
    entry->last_cluster_slack = get_be32(data + 1);

    // The pieces, laid over the clusters in their stored order.
    const std::vector<uint32_t> layout =
        (control & 4) ? std::vector<uint32_t>{1, 3, 2} : std::vector<uint32_t>{1, 2, 3};
    const size_t at[3] = {0, cs - fuzz::kPiece / 2, 2 * size_t(cs) - fuzz::kPiece / 2};
    size_t length[3] = {};
    const uint8_t* pieces = data + fuzz::kReaderControl;
    size_t left = size - fuzz::kReaderControl;
    for (int k = 0; k < 3 && left; ++k) {
        length[k] = std::min(left, fuzz::kPiece);
        fuzz::put_recording_bytes(t.disk.image, cs, layout, at[k], pieces, length[k]);
        pieces += length[k];
        left -= length[k];
    }

    // Unreadable sectors: where the input's last three bytes say.
    if ((control & 0x40) && size >= fuzz::kReaderControl + 3) {
        const uint8_t* h = data + size - 3;
        const uint32_t per = cs / kSectorSize;
        const uint32_t s = (uint32_t(h[0]) << 8 | h[1]) % (fuzz::kRecordingClusters * per);
        t.disk.bad = {{uint64_t(layout[s / per] + 1) * per + s % per, 1u + h[2] % 24u,
                       (control & 0x80) ? BadKind::kWhole : BadKind::kShort}};
    }
    if (recording_reader* reader = open_recording_file(0, fuzz::quiet)) {
        uint32_t sum = 0;
        while (const uint8_t* p = read_ts_packet(reader)) sum += p[0] + p[kTsPacketSize - 1];
        sum += header_pid(reader, kHeaderVideoPid);
        close_recording_file(reader);
        sink = sum;   // first and last byte of each packet: one reaching out of its buffer shows
    }

    t.disk.bad.clear();
    for (int k = 0; k < 3; ++k) fuzz::restore_recording_bytes(t.disk.image, t.base, cs, layout, at[k], length[k]);
    return 0;
}
