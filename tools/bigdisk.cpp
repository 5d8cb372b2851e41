// bigdisk: writes a recorder disk image of the largest size the allocation
// table maps (131,072 clusters of 1 MiB), every cluster in use, as a sparse
// file, for the benchmark of opening and checking a full disk and of the
// salvage's carving (tools/bench).
//
//   bigdisk [--streams] [--zero-table] OUT.img [RECORDINGS] [FRAGMENTS]
//
// The clusters are shared out among RECORDINGS recordings (default 1000) in
// the root directory; each recording's chain is cut into FRAGMENTS pieces
// (default 4) that lie interleaved with the other recordings' pieces, as on a
// disk that has been recorded on for a while. Only the system area and the
// root directory are written; the recordings' data reads as zeros, but with
// --streams: then the first and the last 32 KiB of every cluster hold what a
// recording there would hold (its header, and packets of a video and an
// audio PID with running counters and a PCR on its own clock, in step across
// the whole cluster), which is what the carving reads. --zero-table zeroes
// both copies of the allocation table.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "disk/copy/copy.h"
#include "tools/image_builder.h"

namespace {

constexpr uint16_t kSectorsPerCluster = 2048;  // 1 MiB clusters
constexpr uint32_t kRootSlackWholeCluster = 512;
constexpr uint32_t kLastSlack = 1000;  // bytes of each recording's last cluster not in use

// The streams: a packet of every twelfth is audio, every 40th a PCR; 4 Mbit/s.
constexpr uint32_t kAudioEvery = 12;
constexpr uint32_t kPcrEvery = 40;
constexpr uint64_t kTicksPerPacket = 188 * 8 * 27000000ull / 4000000;
constexpr uint64_t kHourTicks = 3600 * 27000000ull;
constexpr uint32_t kVideoPid = 0x101, kAudioPid = 0x102;
constexpr uint8_t kPcrAdaptation[] = {7, 0x10};  // length, PCR_flag
constexpr uint8_t kPcrReserved = 0x7E;           // the six bits between base and extension
constexpr uint8_t kFiller = 0x11;

void write_swapped(std::ofstream& out, std::vector<uint8_t> bytes) {
    swap16_words(bytes.data(), bytes.size());
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Packet k of recording r's stream, in recorder order.
std::vector<uint8_t> stream_packet(long r, uint64_t k) {
    std::vector<uint8_t> p(kTsPacketSize, kFiller);
    const bool audio = k % kAudioEvery == kAudioEvery - 1;
    const uint64_t audio_before = (k + 1) / kAudioEvery;
    const uint64_t index = audio ? audio_before - 1 : k - audio_before;  // among its PID's packets
    p[0] = kTsSyncByte;
    put_be16(&p[1], audio ? kAudioPid : kVideoPid);
    p[3] = uint8_t(kPayloadFlag | (index % kContinuityModulus));
    if (!audio && k % kPcrEvery == 0) {
        const uint64_t pcr = (uint64_t(r) * kHourTicks + k * kTicksPerPacket) % kPcrModulus;
        const uint64_t base = pcr / kPcrTicksPerBase, extension = pcr % kPcrTicksPerBase;
        p[3] |= kAdaptationFieldFlag;
        p[4] = kPcrAdaptation[0], p[5] = kPcrAdaptation[1];
        put_be32(&p[6], uint32_t(base >> 1));
        p[10] = uint8_t((base & 1) << 7 | kPcrReserved | extension >> 8),
        p[11] = uint8_t(extension);
    }
    return p;
}

// Bytes [from, to) of recording r (its header, then its packets), recorder order.
std::vector<uint8_t> recording_range(long r, uint64_t from, uint64_t to) {
    std::vector<uint8_t> out(size_t(to - from), 0);
    if (from < kRecordingHeaderSize) {
        const std::vector<uint8_t> header = recording_bytes({}, RecordingHeader{});
        for (uint64_t b = from; b < kRecordingHeaderSize && b < to; ++b) out[b - from] = header[b];
    }
    const uint64_t first = from < kRecordingHeaderSize ? 0 : (from - kRecordingHeaderSize) / 188;
    for (uint64_t k = first; kRecordingHeaderSize + k * 188 < to; ++k) {
        const std::vector<uint8_t> p = stream_packet(r, k);
        const uint64_t at = kRecordingHeaderSize + k * 188;
        for (uint64_t b = at < from ? from : at; b < at + 188 && b < to; ++b)
            out[b - from] = p[b - at];
    }
    return out;
}

// Writes the first and the last kEdgeWindow bytes of every cluster of the
// chain with what recording r holds there (of its last cluster only the
// bytes in use).
void write_stream_windows(std::ofstream& out, long r, const std::vector<uint32_t>& chain,
                          uint32_t size) {
    const uint64_t length = uint64_t(chain.size()) * size - kLastSlack;
    for (size_t i = 0; i < chain.size(); ++i) {
        const uint64_t start = uint64_t(i) * size;
        for (uint64_t from : {start, start + size - kEdgeWindow}) {
            const uint64_t to = std::min(from + kEdgeWindow, length);
            if (from >= to) continue;
            out.seekp(std::streamoff((uint64_t(chain[i]) + 1) * size + (from - start)));
            write_swapped(out, recording_range(r, from, to));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool streams = false, zero_table = false;
    for (; argc > 1 && argv[1][0] == '-' && argv[1][1] == '-'; --argc, ++argv) {
        if (std::string(argv[1]) == "--streams")
            streams = true;
        else if (std::string(argv[1]) == "--zero-table")
            zero_table = true;
        else
            argc = 0;
    }
    if (argc < 2 || argc > 4) {
        std::fprintf(
            stderr, "usage: bigdisk [--streams] [--zero-table] OUT.img [RECORDINGS] [FRAGMENTS]\n");
        return 1;
    }
    const std::string path = argv[1];
    const long recordings = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1000;
    const long fragments = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 4;
    const uint32_t clusters = kMaxClusters;
    try {
        ImageBuilder img(clusters, kSectorsPerCluster);
        img.set_root_dir_slack(kRootSlackWholeCluster);
        if (recordings < 1 || uint32_t(recordings) >= img.root_entry_count() || fragments < 1 ||
            uint64_t(recordings) * uint64_t(fragments) >= clusters) {
            std::fprintf(stderr,
                         "bigdisk: 1 to %u recordings of at least one cluster per fragment\n",
                         img.root_entry_count() - 1);
            return 1;
        }
        // Clusters 1 .. clusters - 1 (0 is the root directory) in pieces:
        // piece j of recording r is piece number j * recordings + r.
        const uint32_t data = clusters - 1;
        const uint64_t pieces = uint64_t(recordings) * uint64_t(fragments);
        std::vector<std::vector<uint32_t>> chains(static_cast<size_t>(recordings));
        for (uint64_t piece = 0; piece < pieces; ++piece) {
            uint32_t from = 1 + uint32_t(piece * data / pieces);
            uint32_t to = 1 + uint32_t((piece + 1) * data / pieces);
            std::vector<uint32_t>& chain = chains[size_t(piece % uint64_t(recordings))];
            for (uint32_t c = from; c < to; ++c) chain.push_back(c);
        }
        for (long r = 0; r < recordings; ++r) {
            const std::vector<uint32_t>& chain = chains[size_t(r)];
            img.link_chain(chain);
            char name[32];
            std::snprintf(name, sizeof name, "Recording %04ld", r + 1);
            img.dir_entry(0, uint32_t(r), kTypeRecording, chain[0], uint32_t(chain.size()),
                          kLastSlack, name,
                          EntryDate{uint16_t(60000 + r % 365), uint8_t(r % 24), uint8_t(r % 60)});
        }

        if (zero_table)
            img.damage_fat(1, TableDamage::kZeroed), img.damage_fat(2, TableDamage::kZeroed);

        // System area and root directory; the rest of the disk is a hole.
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot create " + path);
        write_swapped(out, img.boot());
        const uint8_t* root = img.cluster(0);
        write_swapped(out, std::vector<uint8_t>(root, root + img.cluster_size()));
        for (long r = 0; streams && r < recordings; ++r)
            write_stream_windows(out, r, chains[size_t(r)], img.cluster_size());
        out.close();
        if (!out) throw std::runtime_error("cannot write " + path);
        std::filesystem::resize_file(path, uintmax_t(img.disk_sectors()) * kSectorSize);
        std::fprintf(
            stderr,
            "bigdisk: wrote %s: %u clusters of %u bytes, %ld recordings in %ld pieces each\n",
            path.c_str(), img.cluster_count(), img.cluster_size(), recordings, fragments);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bigdisk: %s\n", e.what());
        return 1;
    }
    return 0;
}
