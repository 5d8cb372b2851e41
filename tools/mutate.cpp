// mutate: writes one seeded mutant of a recorder disk image (tools/mutate.sh).
//
//   mutate IMAGE OUT SEED INDEX
//
// Mutant INDEX of seed SEED is always the same. It damages one part of the
// disk with a few random byte changes: the system area (first sector and both
// allocation tables), the directories (root directory entries and the list
// file), a recording header (and the bytes up to the first packet search's
// end), or a recording's transport packets (mostly packet, adaptation field
// and PES headers). It prints the part and the recording number to answer at
// the prompt, e.g. "packets 2": for a recording's damage the number of that
// recording in the listing, otherwise a random one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "disk/copy/copy.h"

namespace {

using Bytes = std::vector<uint8_t>;

// splitmix64: one stream per (seed, index), the same on every system.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
};

struct Recording {
    std::string name;
    std::vector<uint64_t> clusters;  // image offsets of its clusters, in chain order
    uint64_t length;                 // bytes in recorder order
};

struct Disk {
    Bytes image;  // PC order
    uint32_t cluster_size = 0;
    uint32_t cluster_count = 0;
    uint32_t root_entries = 0;
    uint64_t list_offset = 0;  // image offset of the list file's first cluster, 0: none
    uint32_t list_bytes = 0;
    std::vector<Recording> recordings;  // in listing order
};

// A byte of the disk in recorder order at image offset o (o ^ 1 in PC order).
uint8_t get(const Disk& d, uint64_t o) { return d.image[size_t(o ^ 1)]; }
uint32_t get32(const Disk& d, uint64_t o) {
    uint8_t b[4] = {get(d, o), get(d, o + 1), get(d, o + 2), get(d, o + 3)};
    return get_be32(b);
}
uint32_t get24(const Disk& d, uint64_t o) {
    uint8_t b[3] = {get(d, o), get(d, o + 1), get(d, o + 2)};
    return get_be24(b);
}

std::string entry_name(const Disk& d, uint64_t entry) {
    std::string s;
    for (size_t i = 0; i < kDirNameSize; ++i) {
        char c = char(get(d, entry + kEntryName + i));
        if (!c) break;
        s += c;
    }
    return s;
}

uint64_t cluster_offset(const Disk& d, uint32_t n) { return uint64_t(n + 1) * d.cluster_size; }

// Reads the intact image's layout; false when it is not a disk this tool knows.
bool read_layout(Disk& d) {
    if (d.image.size() < kSectorSize) return false;
    uint32_t spc =
        uint32_t(get(d, kSectorsPerClusterOffset)) << 8 | get(d, kSectorsPerClusterOffset + 1);
    if (spc == 0 || spc > kMaxSectorsPerCluster) return false;
    d.cluster_size = spc * kSectorSize;
    uint64_t clusters = d.image.size() / d.cluster_size;
    if (clusters < 2) return false;
    d.cluster_count = uint32_t(clusters - 1 > kMaxClusters ? kMaxClusters : clusters - 1);
    if (uint64_t(kFat2Offset) + uint64_t(kFatEntrySize) * d.cluster_count > d.cluster_size)
        return false;
    uint32_t slack = get32(d, kRootDirSlackOffset);
    d.root_entries = (((d.cluster_size - slack) & kRootSlackMask) + kSectorSize) / kDirEntrySize;
    if (d.root_entries > d.cluster_size / kDirEntrySize)
        d.root_entries = d.cluster_size / kDirEntrySize;

    std::vector<Recording> found;
    const uint64_t root = cluster_offset(d, 0);
    for (uint32_t i = 0; i < d.root_entries; ++i) {
        uint64_t e = root + uint64_t(i) * kDirEntrySize;
        uint8_t type = get(d, e + kEntryType);
        if (type == kTypeEmpty) continue;
        uint32_t start = get32(d, e + kEntryStart);
        std::string name = entry_name(d, e);
        if (name == kListFileName && start < d.cluster_count) {
            d.list_offset = cluster_offset(d, start);
            uint32_t n = get32(d, d.list_offset);
            uint64_t bytes = (uint64_t(n) + 1) * kListRecordSize;
            d.list_bytes = uint32_t(bytes < d.cluster_size ? bytes : d.cluster_size);
        }
        if (type != kTypeRecording) continue;
        Recording r;
        r.name = name;
        uint32_t slack_last = get32(d, e + kEntrySlack);
        for (uint32_t c = start, steps = 0; c < d.cluster_count && steps < d.cluster_count;
             ++steps) {
            r.clusters.push_back(cluster_offset(d, c));
            c = get24(d, kFat2Offset + uint64_t(c) * kFatEntrySize);
        }
        if (r.clusters.empty()) continue;
        uint64_t total = uint64_t(r.clusters.size()) * d.cluster_size;
        r.length = slack_last < total ? total - slack_last : 0;
        found.push_back(r);
    }
    // The listing follows the list file's names when there is one.
    if (d.list_offset) {
        uint32_t n = get32(d, d.list_offset);
        for (uint32_t k = 1; k <= n && (uint64_t(k) + 1) * kListRecordSize <= d.cluster_size; ++k) {
            std::string name;
            for (uint32_t i = 0; i < kListRecordSize - 1; ++i) {
                char c = char(get(d, d.list_offset + uint64_t(k) * kListRecordSize + i));
                if (!c) break;
                name += c;
            }
            for (const Recording& r : found)
                if (r.name.compare(0, 107, name, 0, 107) == 0) {
                    d.recordings.push_back(r);
                    d.recordings.back().name = name;
                    break;
                }
        }
    } else {
        d.recordings = found;
    }
    return !d.recordings.empty();
}

// Image offset of byte at of a recording (recorder order).
uint64_t recording_offset(const Disk& d, const Recording& r, uint64_t at) {
    return r.clusters[size_t(at / d.cluster_size)] + at % d.cluster_size;
}

// One random change of the byte at image offset o (recorder order).
void change(Disk& d, Random& rnd, uint64_t o) {
    uint8_t& b = d.image[size_t(o ^ 1)];
    switch (rnd.below(6)) {
    case 0: b = uint8_t(rnd.next()); break;
    case 1: b ^= uint8_t(1u << rnd.below(8)); break;
    case 2: b = 0x00; break;
    case 3: b = 0xFF; break;
    case 4: b = uint8_t(b + 1); break;
    default: b = uint8_t(b - 1); break;
    }
}

// A byte of a packet's headers: the 4-byte packet header, the adaptation
// field, or the PES header that follows; any byte now and then.
uint64_t packet_byte(Random& rnd, uint64_t packet_start) {
    switch (rnd.below(4)) {
    case 0: return packet_start + rnd.below(4);
    case 1: return packet_start + 4 + rnd.below(12);
    case 2: return packet_start + 4 + rnd.below(24);
    default: return packet_start + rnd.below(kTsPacketSize);
    }
}

const char* mutate(Disk& d, Random& rnd, int* answer) {
    const int recordings = int(d.recordings.size());
    *answer = 1 + int(rnd.below(uint64_t(recordings)));
    const int changes = 1 + int(rnd.below(8));
    const uint64_t fat_bytes = uint64_t(kFatEntrySize) * d.cluster_count;
    switch (rnd.below(4)) {
    case 0:  // system area
        for (int i = 0; i < changes; ++i) {
            switch (rnd.below(4)) {
            case 0: change(d, rnd, rnd.below(64)); break;  // signature, geometry, slack
            case 1: change(d, rnd, kFat1Offset + rnd.below(fat_bytes)); break;
            case 2: change(d, rnd, kFat2Offset + rnd.below(fat_bytes)); break;
            default: {  // the same entry in both copies
                uint64_t at = rnd.below(fat_bytes);
                uint8_t v = uint8_t(rnd.next());
                d.image[size_t((kFat1Offset + at) ^ 1)] = v;
                d.image[size_t((kFat2Offset + at) ^ 1)] = v;
            }
            }
        }
        return "system";
    case 1:  // directories
        for (int i = 0; i < changes; ++i) {
            if (d.list_offset && rnd.below(3) == 0)
                change(d, rnd, d.list_offset + rnd.below(d.list_bytes));
            else
                change(d, rnd,
                       cluster_offset(d, 0) + rnd.below(uint64_t(d.root_entries) * kDirEntrySize));
        }
        return "directory";
    case 2: {  // a recording header
        const Recording& r = d.recordings[size_t(*answer - 1)];
        for (int i = 0; i < changes; ++i) {
            uint64_t at =
                rnd.below(3) ? rnd.below(32) : rnd.below(kFirstPacketSearchEnd + kTsPacketSize);
            if (at < r.length) change(d, rnd, recording_offset(d, r, at));
        }
        return "header";
    }
    default: {  // transport packets
        const Recording& r = d.recordings[size_t(*answer - 1)];
        if (r.length <= kRecordingHeaderSize + kTsPacketSize) return "packets";
        const uint64_t packets = (r.length - kRecordingHeaderSize) / kTsPacketSize;
        const int more = changes * 4;  // packets are many: more changes
        for (int i = 0; i < more; ++i) {
            uint64_t at =
                packet_byte(rnd, kRecordingHeaderSize + rnd.below(packets) * kTsPacketSize);
            if (at < r.length) change(d, rnd, recording_offset(d, r, at));
        }
        return "packets";
    }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: mutate IMAGE OUT SEED INDEX\n");
        return 2;
    }
    Disk d;
    {
        std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
        std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
        if (size > 0) {
            d.image.resize(size_t(size));
            in.seekg(0);
            in.read(reinterpret_cast<char*>(d.image.data()), size);
        }
        if (!in || size <= 0) {
            fprintf(stderr, "mutate: cannot read %s\n", argv[1]);
            return 2;
        }
    }
    if (!read_layout(d)) {
        fprintf(stderr, "mutate: %s is not a recorder disk with recordings\n", argv[1]);
        return 2;
    }
    uint64_t seed = strtoull(argv[3], nullptr, 0), index = strtoull(argv[4], nullptr, 0);
    Random rnd{seed * 0x100000001B3ull ^ (index + 1) * 0xC2B2AE3D27D4EB4Full};
    int answer = 1;
    const char* part = mutate(d, rnd, &answer);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(d.image.data()), std::streamsize(d.image.size()));
    out.close();
    if (!out) {
        fprintf(stderr, "mutate: cannot write %s\n", argv[2]);
        return 2;
    }
    printf("%s %d\n", part, answer);
    return 0;
}
