// The disks the fuzz targets run on and the way an input is laid over them,
// shared by the targets and by fuzz_seeds, which writes their seed corpora.
//
// Every target opens an in-memory disk (MemoryDisk) through the platform
// interface, so the product's own opening and reading code runs on it. A disk
// is built once by the image builder; an input then overwrites chosen byte
// ranges of it ("regions", offsets in the image as the PC reads it), the
// product runs, and the ranges are put back from the pristine copy.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/qvdisk.h"
#include "tools/image_builder.h"
#include "support/memory_disk.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

struct Region {
    size_t offset;
    size_t size;
};

// A target's disk: built once, installed as the in-memory disk; base keeps
// its pristine bytes, from which every input's changes are undone.
struct InstalledDisk {
    MemoryDisk disk;
    Bytes base;
    void install(const Bytes& image) {
        base = image;
        disk.image = image;
        install_memory_disk(&disk);
    }
};

// Progress and messages are not shown while fuzzing.
inline void quiet(int) {}

// Image offset of byte `at` of FAT cluster n.
inline size_t cluster_offset(uint32_t cluster_size, uint32_t n, size_t at = 0) {
    return size_t(n + 1) * cluster_size + at;
}

// The regions' bytes of an image, in order: what an input holds.
inline Bytes extract(const Bytes& image, const std::vector<Region>& regions) {
    Bytes out;
    for (const Region& r : regions) out.insert(out.end(), image.begin() + r.offset, image.begin() + r.offset + r.size);
    return out;
}

// Lays data over the regions in order; a short input covers the first ones.
inline void apply(Bytes& image, const std::vector<Region>& regions, const uint8_t* data, size_t size) {
    for (const Region& r : regions) {
        if (size == 0) break;
        size_t n = std::min(size, r.size);
        memcpy(image.data() + r.offset, data, n);
        data += n;
        size -= n;
    }
}

inline void restore(Bytes& image, const Bytes& base, const std::vector<Region>& regions) {
    for (const Region& r : regions) memcpy(image.data() + r.offset, base.data() + r.offset, r.size);
}

// --- the opening and the check of the file system ---
// The sample disk (three recordings, one fragmented, and a list file); an
// input is its first sector, FAT1, FAT2 and the first root entries.
inline ImageBuilder open_disk() { return sample_disk(); }

inline std::vector<Region> open_regions(const ImageBuilder& img) {
    const size_t fat = size_t(kFatEntrySize) * img.cluster_count();
    return {{0, kSectorSize}, {kFat1Offset, fat}, {kFat2Offset, fat},
            {cluster_offset(img.cluster_size(), 0), kSectorSize}};
}

// --- the directory walk and the recording table ---
// A disk whose root directory is read whole, with two recordings, a
// subdirectory holding one more and the list file; an input is the start of
// the root directory, of the subdirectory and of the list file's cluster.
constexpr size_t kDirWindow = 4096;

struct DirectoryDisk {
    ImageBuilder img;
    uint32_t subdir;
    uint32_t list;
};

inline DirectoryDisk directory_disk() {
    DirectoryDisk d{ImageBuilder(12), 0, 0};
    d.img.set_root_dir_slack(kSectorSize);   // every slot of the root cluster
    Bytes ts = load_sample_ts();
    Bytes part(ts.begin(), ts.begin() + std::min<size_t>(ts.size(), 8000 * kTsPacketSize));   // 2 clusters
    d.img.add_recording("Film", ts, {}, {52632, 20, 15});
    d.img.add_recording("News", part, {}, {}, {8, 6});
    d.subdir = d.img.add_dir(0, "Archiv");
    d.img.add_file(d.subdir, kTypeRecording, "Alt", recording_bytes(part, {}), {52644, 21, 45});
    d.list = d.img.add_list_file({"News", "Film", "Alt"});
    return d;
}

inline std::vector<Region> directory_regions(const DirectoryDisk& d) {
    const uint32_t cs = d.img.cluster_size();
    return {{cluster_offset(cs, 0), kDirWindow}, {cluster_offset(cs, d.subdir), kDirWindow},
            {cluster_offset(cs, d.list), kDirWindow}};
}

// --- the recording reader and the conversions ---
// Half-MiB clusters (1040 sectors, the smallest that hold both FAT copies
// for a few clusters), one recording "Fuzz" of three clusters from the
// sample, clusters 4 to 7 free.
constexpr uint16_t kSmallClusterSectors = 1040;
constexpr uint32_t kRecordingClusters = 3;

// The sample's packets that fill the three clusters, behind the header.
inline Bytes recording_ts(uint32_t cluster_size) {
    Bytes ts = load_sample_ts();
    size_t room = size_t(kRecordingClusters) * cluster_size - kRecordingHeaderSize;
    ts.resize(std::min(ts.size(), room / kTsPacketSize * kTsPacketSize));
    return ts;
}

inline ImageBuilder recording_disk() {
    ImageBuilder img(8, kSmallClusterSectors);
    img.add_recording("Fuzz", recording_ts(img.cluster_size()));   // clusters 1 to 3
    return img;
}

// Writes recorder-order bytes at offset `at` of the recording whose clusters
// are `chain`, into the PC-order image (the two bytes of every word exchanged).
inline void put_recording_bytes(Bytes& image, uint32_t cluster_size, const std::vector<uint32_t>& chain,
                                size_t at, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i, ++at) {
        size_t k = at / cluster_size;
        if (k >= chain.size()) break;
        image[cluster_offset(cluster_size, chain[k], (at % cluster_size) ^ 1)] = data[i];
    }
}

// Puts the bytes that put_recording_bytes changed back from base.
inline void restore_recording_bytes(Bytes& image, const Bytes& base, uint32_t cluster_size,
                                    const std::vector<uint32_t>& chain, size_t at, size_t size) {
    for (size_t i = 0; i < size; ++i, ++at) {
        size_t k = at / cluster_size;
        if (k >= chain.size()) break;
        size_t o = cluster_offset(cluster_size, chain[k], (at % cluster_size) ^ 1);
        image[o] = base[o];
    }
}

// The reader's input: a control block, then pieces laid at the start of the
// recording and across its two cluster boundaries.
//   byte 0     chain: bits 0-1 clusters (1 + value % 3); bit 2 fragmented
//              (1, 3, 2); bits 3-5 the last cluster's link: end of chain,
//              free, 0xFFFFFB, beyond the table, back to the first cluster,
//              to itself, to the root directory, to a free cluster; bit 6
//              unreadable sectors, from the input's last three bytes: the
//              first (a 16-bit sector of the recording) and 1 + the third % 24
//              of them, failing short (bit 7 clear) or whole (bit 7 set)
//   bytes 1-4  last_cluster_slack, big-endian
//   then       kPiece bytes at offset 0, kPiece at cluster_size - kPiece / 2,
//              kPiece at 2 x cluster_size - kPiece / 2
constexpr size_t kReaderControl = 5;
constexpr size_t kPiece = 1024;

// The demultiplexer's input: byte 0 the mode (its value % 5: MP3, M2V, VOB,
// M2P, TS), bytes 1-2 the M2P repack size (0, or mapped into 193..65541),
// then the recording's bytes from its header on (at most two clusters).
constexpr size_t kDemuxControl = 3;

}  // namespace fuzz
