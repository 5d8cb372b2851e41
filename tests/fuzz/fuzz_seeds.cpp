// fuzz_seeds DIR: writes the seed corpora of the fuzz targets into
// DIR/fuzz_open, fuzz_directory, fuzz_reader, fuzz_demux and fuzz_stream_info:
// the intact disk and one disk for each kind of damage the product reports,
// made by the image builder from the bundled sample and cut to the input
// layout of the target (fuzz_disks.h).
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "disk/bytes.h"
#include "fuzz_disks.h"
#include "mpeg/mpeg.h"

namespace fs = std::filesystem;
using namespace fuzz;

namespace {

int written = 0;
fs::path out;

void seed(const char* dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(out / dir);
    write_file((out / dir / name).string(), bytes);
    ++written;
}
uint8_t* entry(ImageBuilder& img, uint32_t dir, uint32_t slot, size_t field) {
    return img.cluster(dir) + size_t(slot) * kDirEntrySize + field;
}
using Change = std::function<void(ImageBuilder&)>;

void disk_seeds() {
    const std::pair<const char*, Change> open[] = {
        {"intact", [](ImageBuilder&) {}},
        {"fat2-link-beyond-disk", [](ImageBuilder& i) { i.set_fat2(3, 0x500); }},
        {"both-fats-bad", [](ImageBuilder& i) { i.set_fat1(2, 0x400), i.set_fat2(4, 0x400); }},
        {"cross-linked", [](ImageBuilder& i) { i.set_fat(2, 9); }},
        {"loop", [](ImageBuilder& i) { i.set_fat(4, 1); }},
        {"wrong-length", [](ImageBuilder& i) { put_be32(entry(i, 0, 0, kEntryClusters), 7); }},
        {"shared-start", [](ImageBuilder& i) { put_be32(entry(i, 0, 1, kEntryStart), 1); }},
        {"start-outside", [](ImageBuilder& i) { put_be32(entry(i, 0, 3, kEntryStart), 0x123456); }},
        {"subdir-to-root", [](ImageBuilder& i) { *entry(i, 0, 2, kEntryType) = kTypeSubdir, put_be32(entry(i, 0, 2, kEntryStart), 0); }},
        {"bad-signature", [](ImageBuilder& i) { i.set_signature(std::string("VELMORAN PVR HDX\0", 17)); }},
        {"huge-clusters", [](ImageBuilder& i) { i.set_sectors_per_cluster_field(4000); }},
        {"whole-root-cluster", [](ImageBuilder& i) { i.set_root_dir_slack(kSectorSize); }},
    };
    for (const auto& [name, change] : open) {
        ImageBuilder img = sample_disk();
        change(img);
        seed("fuzz_open", name, extract(img.image(), open_regions(img)));
    }
    uint8_t no_nul[kDirNameSize];
    memset(no_nul, 'x', sizeof no_nul);
    const std::pair<const char*, Change> directory[] = {
        {"intact", [](ImageBuilder&) {}},
        {"list-count-huge", [](ImageBuilder& i) { put_be32(i.cluster(kList), 0x7FFFFFFF); }},
        {"list-name-without-nul", [](ImageBuilder& i) { memset(i.cluster(kList) + 512, 'A', 1024); }},
        {"dir-name-without-nul", [&](ImageBuilder& i) { i.dir_entry_raw_name(0, 0, no_nul), i.dir_entry_raw_name(kSubdir, 0, no_nul); }},
        {"subdir-back-to-root", [](ImageBuilder& i) { i.dir_entry(kSubdir, 1, kTypeSubdir, 0, 1, 0, "Up"); }},
        {"start-outside", [](ImageBuilder& i) { put_be32(entry(i, 0, 1, kEntryStart), 0xFFFFFE); }},
        {"list-outside", [](ImageBuilder& i) { put_be32(entry(i, 0, 3, kEntryStart), 0x40); }},
        {"shared-types", [](ImageBuilder& i) { *entry(i, 0, 1, kEntryType) = kTypeShared0, put_be32(entry(i, 0, 1, kEntryStart), 1); }},
        {"slot-emptied", [](ImageBuilder& i) { *entry(i, 0, 1, kEntryType) = kTypeEmpty; }},   // a lost chain
    };
    for (const auto& [name, change] : directory) {
        ImageBuilder img = directory_disk();
        change(img);
        seed("fuzz_directory", name, extract(img.image(), directory_regions()));
    }
}

void recording_seeds() {
    const uint32_t cs = recording_disk().cluster_size();
    Bytes ts = load_sample_ts();
    ts.resize((kRecordingClusters * size_t(cs) - kRecordingHeaderSize) / kTsPacketSize * kTsPacketSize);
    const Bytes rec = recording_bytes(ts, {});
    const uint32_t slack = uint32_t(kRecordingClusters * size_t(cs) - rec.size());
    //   | name | control: clusters - 1 | fragmented << 2 | last link << 3 | slack |
    const std::tuple<const char*, uint8_t, uint32_t> reader[] = {
        {"intact", 2, slack}, {"one-cluster", 0, cs - 5000}, {"fragmented", 2 | 4, slack},
        {"chain-into-free", 1 | 1 << 3, 0}, {"chain-into-marker", 1 | 2 << 3, 0}, {"chain-leaves-table", 2 | 3 << 3, slack},
        {"chain-loops", 2 | 4 << 3, 0}, {"chain-to-itself", 1 | 5 << 3, 0}, {"chain-to-root", 6 << 3, 0},
        {"chain-to-free-cluster", 1 | 7 << 3, 0}, {"slack-beyond-cluster", 2, cs + 1}, {"last-cluster-too-short", 2, cs - 100},
        {"split-packet-cut", 1, cs - 50}, {"unreadable-short", 2 | 0x40, slack}, {"unreadable-whole", 2 | 0xC0, slack},
        {"no-first-packet", 2, slack},
    };
    for (const auto& [name, control, s] : reader) {
        Bytes in = {control, 0, 0, 0, 0};
        put_be32(&in[1], s);
        for (size_t a : {size_t(0), cs - kPiece / 2, 2 * size_t(cs) - kPiece / 2}) in.insert(in.end(), rec.begin() + long(a), rec.begin() + long(a + kPiece));
        if (std::string(name) == "no-first-packet")   // no sync where the packets should start
            for (size_t o = kRecordingHeaderSize; o <= kFirstPacketSearchEnd; o += kTsPacketSize) in[kReaderControl + o] = 0;
        seed("fuzz_reader", name, in);
    }
    const char* const modes[] = {"mp3", "m2v", "vob", "m2p", "ts"};
    for (uint8_t m = 0; m < 5; ++m) {
        for (size_t packets : {60, 400}) {
            Bytes in = {m, 0, 0};
            in.insert(in.end(), rec.begin(), rec.begin() + long(kRecordingHeaderSize + packets * kTsPacketSize));
            seed("fuzz_demux", std::string(modes[m]) + (packets == 60 ? "-short" : "-long"), in);
            if (m != 3 || packets != 400) continue;
            in[1] = 0x07, in[2] = 0xF2;   // repack 193 + 2034 % 65349
            seed("fuzz_demux", "m2p-repack", in);
            put_be16(&in[kDemuxControl + kHeaderAudioPid], 0x101);   // one PID for both streams
            in[0] = 2;
            seed("fuzz_demux", "vob-same-pids", in);
        }
    }
}

// The first PES packet of pid in the sample, collected as the demultiplexer does, cut to limit bytes.
Bytes first_pes(const Bytes& ts, uint32_t pid, size_t limit) {
    Bytes pes;
    for (size_t o = 0; o + kTsPacketSize <= ts.size() && pes.size() < limit; o += kTsPacketSize) {
        const uint8_t* p = &ts[o];
        if (p[0] != kTsSyncByte || ts_pid(p) != pid || !(p[3] & kPayloadFlag)) continue;
        size_t a = (p[3] & kAdaptationFieldFlag) ? 1u + p[4] : 0;
        bool start = (p[1] & kPayloadUnitStart) != 0;
        if (a > kTsPayloadSize) continue;
        if (start && !pes.empty()) break;
        if (start || !pes.empty()) pes.insert(pes.end(), p + kTsHeaderSize + a, p + kTsPacketSize);
    }
    pes.resize(std::min(pes.size(), limit));
    return pes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fprintf(stderr, "usage: fuzz_seeds DIR\n"), 1;
    try {
        out = argv[1];
        disk_seeds();
        recording_seeds();
        const Bytes ts = load_sample_ts();
        for (auto [name, pid, limit] : {std::tuple{"video", 0x101u, 4096u}, {"audio", 0x102u, 4096u}, {"video-cut", 0x101u, 32u},
                                         {"audio-cut", 0x102u, 14u}})
            seed("fuzz_stream_info", name, first_pes(ts, pid, limit));
    } catch (const std::exception& e) {
        fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    fprintf(stderr, "fuzz_seeds: %d seeds written to %s\n", written, argv[1]);
    return 0;
}
