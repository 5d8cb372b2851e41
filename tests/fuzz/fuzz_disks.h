// The disks the fuzz targets run on and how an input is laid over them,
// shared by the targets (fuzz_targets.cpp) and fuzz_seeds, which writes their
// seed corpora. A disk is built once by the image builder and installed as
// the in-memory disk; an input overwrites chosen byte ranges of it
// ("regions", offsets in the image as the PC reads it), the product runs,
// and the ranges are put back.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/qvdisk.h"
#include "support/memory_disk.h"
#include "tools/image_builder.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;
struct Region {
    size_t offset, size;
};

inline size_t cluster_offset(uint32_t cluster_size, uint32_t n, size_t at = 0) { return size_t(n + 1) * cluster_size + at; }

// The regions' bytes of an image, in order: what an input holds.
inline Bytes extract(const Bytes& image, const std::vector<Region>& regions) {
    Bytes out;
    for (const Region& r : regions) out.insert(out.end(), image.begin() + long(r.offset), image.begin() + long(r.offset + r.size));
    return out;
}

// Lays data over the regions in order (a short input covers the first ones),
// or with data null puts them back from base.
inline void apply(Bytes& image, const std::vector<Region>& regions, const uint8_t* data, size_t size, const Bytes& base) {
    for (const Region& r : regions) {
        size_t n = data ? std::min(size, r.size) : r.size;
        memcpy(image.data() + r.offset, data ? data : base.data() + r.offset, n);
        if (data) data += n, size -= n;
    }
}

// fuzz_open: the sample disk; an input is its first sector, FAT1, FAT2 and
// the first root entries.
inline std::vector<Region> open_regions(const ImageBuilder& img) {
    const size_t fat = size_t(kFatEntrySize) * img.cluster_count();
    return {{0, kSectorSize}, {kFat1Offset, fat}, {kFat2Offset, fat}, {cluster_offset(img.cluster_size(), 0), kSectorSize}};
}

// fuzz_directory: a root read whole with two recordings, a subdirectory
// holding one more and the list file; an input is the start of the root, of
// the subdirectory and of the list file's cluster.
constexpr size_t kDirWindow = 4096;
constexpr uint32_t kSubdir = 5, kList = 7;   // where directory_disk puts them (checked)
inline ImageBuilder directory_disk() {
    ImageBuilder img(12);
    img.set_root_dir_slack(kSectorSize);
    Bytes ts = load_sample_ts();
    Bytes part(ts.begin(), ts.begin() + long(std::min<size_t>(ts.size(), 8000 * kTsPacketSize)));   // 2 clusters
    img.add_recording("Film", ts, {}, {52632, 20, 15});
    img.add_recording("News", part, {}, {}, {8, 6});
    if (img.add_dir(0, "Archiv") != kSubdir) __builtin_trap();
    img.add_file(kSubdir, kTypeRecording, "Alt", recording_bytes(part, {}), {52644, 21, 45});
    if (img.add_list_file({"News", "Film", "Alt"}) != kList) __builtin_trap();
    return img;
}
inline std::vector<Region> directory_regions() {
    const uint32_t cs = 1 << 20;
    return {{cluster_offset(cs, 0), kDirWindow}, {cluster_offset(cs, kSubdir), kDirWindow}, {cluster_offset(cs, kList), kDirWindow}};
}

// fuzz_reader and fuzz_demux: half-MiB clusters (1040 sectors), recording
// "Fuzz" of three clusters (1 to 3) of the sample, clusters 4 to 7 free.
constexpr uint32_t kRecordingClusters = 3;
inline ImageBuilder recording_disk() {
    ImageBuilder img(8, 1040);
    Bytes ts = load_sample_ts();
    ts.resize(std::min(ts.size(), (kRecordingClusters * size_t(img.cluster_size()) - kRecordingHeaderSize) / kTsPacketSize *
                                      kTsPacketSize));
    img.add_recording("Fuzz", ts);
    return img;
}
// Lays size bytes of data (recorder order) at offset at of the recording
// whose clusters are chain into the PC-order image (each byte's word
// exchanged), or with data null puts those bytes back from base.
inline void put_recording(Bytes& image, uint32_t cluster_size, const std::vector<uint32_t>& chain, size_t at,
                          const uint8_t* data, size_t size, const Bytes& base) {
    for (size_t i = 0; i < size && at / cluster_size < chain.size(); ++i, ++at) {
        size_t o = cluster_offset(cluster_size, chain[at / cluster_size], (at % cluster_size) ^ 1);
        image[o] = data ? data[i] : base[o];
    }
}

// The reader's input: a control block, then pieces laid at the start of the
// recording and across its two cluster boundaries.
//   byte 0     bits 0-1 clusters (1 + value % 3); bit 2 fragmented (1, 3, 2);
//              bits 3-5 the last link: end, free, 0xFFFFFB, beyond the table,
//              back to the first cluster, to itself, to the root, to a free
//              cluster; bit 6 unreadable sectors from the input's last three
//              bytes (a 16-bit sector of the recording, 1 + the third % 24 of
//              them), failing short (bit 7 clear) or whole (bit 7 set)
//   bytes 1-4  last_cluster_slack, big-endian
//   then       kPiece bytes at 0, at cluster_size - kPiece / 2, at 2 x cluster_size - kPiece / 2
constexpr size_t kReaderControl = 5, kPiece = 1024;
// The demultiplexer's input: byte 0 the mode (% 5: MP3, M2V, VOB, M2P, TS),
// bytes 1-2 the M2P repack size (0, or mapped into 193..65541), then the
// recording's bytes from its header on (at most two clusters).
constexpr size_t kDemuxControl = 3;

}  // namespace fuzz
