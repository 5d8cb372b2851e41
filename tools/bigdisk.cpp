// bigdisk: writes a recorder disk image of the largest size the allocation
// table maps (131,072 clusters of 1 MiB), every cluster in use, as a sparse
// file, for the benchmark of opening and checking a full disk (tools/bench).
//
//   bigdisk OUT.img [RECORDINGS] [FRAGMENTS]
//
// The clusters are shared out among RECORDINGS recordings (default 1000) in
// the root directory; each recording's chain is cut into FRAGMENTS pieces
// (default 4) that lie interleaved with the other recordings' pieces, as on a
// disk that has been recorded on for a while. Only the system area and the
// root directory are written; the recordings' data reads as zeros.
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

void write_swapped(std::ofstream& out, std::vector<uint8_t> bytes) {
    swap16_words(bytes.data(), bytes.size());
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: bigdisk OUT.img [RECORDINGS] [FRAGMENTS]\n");
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
            img.dir_entry(0, uint32_t(r), kTypeRecording, chain[0], uint32_t(chain.size()), 1000,
                          name,
                          EntryDate{uint16_t(60000 + r % 365), uint8_t(r % 24), uint8_t(r % 60)});
        }

        // System area and root directory; the rest of the disk is a hole.
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot create " + path);
        write_swapped(out, img.boot());
        const uint8_t* root = img.cluster(0);
        write_swapped(out, std::vector<uint8_t>(root, root + img.cluster_size()));
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
