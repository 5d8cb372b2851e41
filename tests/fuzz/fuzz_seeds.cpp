// fuzz_seeds DIR: writes the seed corpora of the fuzz targets into
// DIR/fuzz_open, DIR/fuzz_directory, DIR/fuzz_reader, DIR/fuzz_demux and
// DIR/fuzz_stream_info. Every seed is made by the image builder from the
// bundled sample: the intact disk and one disk for each kind of damage the
// product knows how to report, cut to the input layout of its target.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "disk/bytes.h"
#include "fuzz_disks.h"
#include "mpeg/mpeg.h"

namespace fs = std::filesystem;
using fuzz::Bytes;

namespace {

int written = 0;

void seed(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    write_file((dir / name).string(), bytes);
    ++written;
}

// A byte of directory entry `slot` of cluster dir, in recorder order.
uint8_t* entry(ImageBuilder& img, uint32_t dir, uint32_t slot, size_t field) {
    return img.cluster(dir) + size_t(slot) * kDirEntrySize + field;
}

void open_seeds(const fs::path& dir) {
    using Change = std::function<void(ImageBuilder&)>;
    const std::pair<const char*, Change> cases[] = {
        {"intact", [](ImageBuilder&) {}},
        {"fat2-link-beyond-disk", [](ImageBuilder& i) { i.set_fat2(3, 0x500); }},
        {"fat-copies-differ", [](ImageBuilder& i) { i.set_fat1(13, 14); }},
        {"both-fats-bad", [](ImageBuilder& i) { i.set_fat1(2, 0x400), i.set_fat2(4, 0x400); }},
        {"cross-linked", [](ImageBuilder& i) { i.set_fat(2, 9); }},
        {"loop", [](ImageBuilder& i) { i.set_fat(4, 1); }},
        {"link-to-marker", [](ImageBuilder& i) { i.set_fat(3, kMarkerLink); }},
        {"chain-into-free", [](ImageBuilder& i) { i.set_fat(6, kFreeCluster); }},
        {"wrong-length", [](ImageBuilder& i) { put_be32(entry(i, 0, 0, kEntryClusters), 7); }},
        {"lost-cluster", [](ImageBuilder& i) { i.set_fat(14, kEndOfChain); }},
        {"shared-start", [](ImageBuilder& i) { put_be32(entry(i, 0, 1, kEntryStart), 1); }},
        {"start-outside", [](ImageBuilder& i) { put_be32(entry(i, 0, 3, kEntryStart), 0x123456); }},
        {"subdir-to-root", [](ImageBuilder& i) { *entry(i, 0, 2, kEntryType) = kTypeSubdir; put_be32(entry(i, 0, 2, kEntryStart), 0); }},
        {"bad-signature", [](ImageBuilder& i) { i.set_signature(std::string("VELMORAN PVR HDX\0", 17)); }},
        {"no-sectors-per-cluster", [](ImageBuilder& i) { i.set_sectors_per_cluster_field(0); }},
        {"huge-clusters", [](ImageBuilder& i) { i.set_sectors_per_cluster_field(4000); }},
        {"small-clusters", [](ImageBuilder& i) { i.set_sectors_per_cluster_field(1024); }},
        {"whole-root-cluster", [](ImageBuilder& i) { i.set_root_dir_slack(kSectorSize); }},
        {"slack-beyond-cluster", [](ImageBuilder& i) { i.set_root_dir_slack(0xFFFFFF00); }},
    };
    for (const auto& c : cases) {
        ImageBuilder img = fuzz::open_disk();
        c.second(img);
        seed(dir, c.first, fuzz::extract(img.image(), fuzz::open_regions(img)));
    }
}

void directory_seeds(const fs::path& dir) {
    using Change = std::function<void(fuzz::DirectoryDisk&)>;
    const std::pair<const char*, Change> cases[] = {
        {"intact", [](fuzz::DirectoryDisk&) {}},
        {"list-count-huge", [](fuzz::DirectoryDisk& d) { put_be32(d.img.cluster(d.list), 0x7FFFFFFF); }},
        {"list-count-negative", [](fuzz::DirectoryDisk& d) { put_be32(d.img.cluster(d.list), 0xFFFFFFF0); }},
        {"list-name-without-nul", [](fuzz::DirectoryDisk& d) { memset(d.img.cluster(d.list) + 512, 'A', 1024); }},
        {"list-unknown-name", [](fuzz::DirectoryDisk& d) { memcpy(d.img.cluster(d.list) + 1024, "Gone", 5); }},
        {"dir-name-without-nul", [](fuzz::DirectoryDisk& d) {
             uint8_t name[kDirNameSize];
             memset(name, 'x', sizeof name);
             d.img.dir_entry_raw_name(0, 0, name);
             d.img.dir_entry_raw_name(d.subdir, 0, name);
         }},
        {"subdir-back-to-root", [](fuzz::DirectoryDisk& d) { d.img.dir_entry(d.subdir, 1, kTypeSubdir, 0, 1, 0, "Up"); }},
        {"subdir-to-itself", [](fuzz::DirectoryDisk& d) { d.img.dir_entry(d.subdir, 1, kTypeSubdir, d.subdir, 1, 0, "Me"); }},
        {"start-outside", [](fuzz::DirectoryDisk& d) { put_be32(entry(d.img, 0, 1, kEntryStart), 0xFFFFFE); }},
        {"list-outside", [](fuzz::DirectoryDisk& d) { put_be32(entry(d.img, 0, 3, kEntryStart), 0x40); }},
        {"shared-types", [](fuzz::DirectoryDisk& d) { *entry(d.img, 0, 1, kEntryType) = kTypeShared0; put_be32(entry(d.img, 0, 1, kEntryStart), 1); }},
        {"dates", [](fuzz::DirectoryDisk& d) { put_be16(entry(d.img, 0, 0, kEntryMjd), 0xFFFF); *entry(d.img, 0, 0, kEntryHour) = 99; }},
    };
    for (const auto& c : cases) {
        fuzz::DirectoryDisk d = fuzz::directory_disk();
        c.second(d);
        seed(dir, c.first, fuzz::extract(d.img.image(), fuzz::directory_regions(d)));
    }
}

void reader_seeds(const fs::path& dir) {
    ImageBuilder img = fuzz::recording_disk();
    const uint32_t cs = img.cluster_size();
    const Bytes rec = recording_bytes(fuzz::recording_ts(cs), {});
    const uint32_t slack = uint32_t(fuzz::kRecordingClusters * size_t(cs) - rec.size());
    struct Case {
        const char* name;
        uint8_t control;   // clusters - 1 | fragmented << 2 | last link << 3
        uint32_t slack;
    };
    const Case cases[] = {
        {"intact", 2, slack},
        {"one-cluster", 0, cs - 5000},
        {"fragmented", 2 | 4, slack},
        {"chain-into-free", 1 | 1 << 3, 0},
        {"chain-into-marker", 1 | 2 << 3, 0},
        {"chain-leaves-table", 2 | 3 << 3, slack},
        {"chain-loops", 2 | 4 << 3, 0},
        {"chain-to-itself", 1 | 5 << 3, 0},
        {"chain-to-root", 0 | 6 << 3, 0},
        {"chain-to-free-cluster", 1 | 7 << 3, 0},
        {"slack-beyond-cluster", 2, cs + 1},
        {"last-cluster-too-short", 2, cs - 100},
        {"split-packet-cut", 1, cs - 50},
    };
    const size_t at[3] = {0, cs - fuzz::kPiece / 2, 2 * size_t(cs) - fuzz::kPiece / 2};
    for (const Case& c : cases) {
        Bytes in = {c.control, 0, 0, 0, 0};
        put_be32(&in[1], c.slack);
        for (size_t a : at) in.insert(in.end(), rec.begin() + a, rec.begin() + a + fuzz::kPiece);
        seed(dir, c.name, in);
    }
    // Header damage: no sync where the packets should start.
    Bytes in = {2, 0, 0, 0, 0};
    put_be32(&in[1], slack);
    in.insert(in.end(), rec.begin(), rec.begin() + fuzz::kPiece);
    for (size_t o = kRecordingHeaderSize; o < kFirstPacketSearchEnd + 1; o += kTsPacketSize) in[fuzz::kReaderControl + o] = 0;
    seed(dir, "no-first-packet", in);
}

void demux_seeds(const fs::path& dir) {
    ImageBuilder img = fuzz::recording_disk();
    const Bytes rec = recording_bytes(fuzz::recording_ts(img.cluster_size()), {});
    const char* const modes[] = {"mp3", "m2v", "vob", "m2p", "ts"};
    struct Size {
        const char* name;
        size_t packets;
    };
    const Size sizes[] = {{"short", 60}, {"long", 400}};
    for (int m = 0; m < 5; ++m) {
        for (const Size& s : sizes) {
            Bytes in = {uint8_t(m), 0, 0};
            in.insert(in.end(), rec.begin(), rec.begin() + kRecordingHeaderSize + s.packets * kTsPacketSize);
            seed(dir, std::string(modes[m]) + "-" + s.name, in);
        }
    }
    // M2P cut into pieces, and a recording that names one PID for both streams.
    Bytes in = {3, 0x07, 0xF2};   // repack 193 + 2034 % 65349
    in.insert(in.end(), rec.begin(), rec.begin() + kRecordingHeaderSize + 400 * kTsPacketSize);
    seed(dir, "m2p-repack", in);
    put_be16(&in[fuzz::kDemuxControl + kHeaderAudioPid], 0x101);
    in[0] = 2;
    seed(dir, "vob-same-pids", in);
}

// The first PES packet of pid in the sample, collected as the demultiplexer does.
Bytes first_pes(const Bytes& ts, uint32_t pid) {
    Bytes pes;
    for (size_t o = 0; o + kTsPacketSize <= ts.size(); o += kTsPacketSize) {
        const uint8_t* p = &ts[o];
        if (p[0] != kTsSyncByte || (get_be16(p + 1) & kPidMask) != pid || !(p[3] & kPayloadFlag)) continue;
        size_t a = (p[3] & kAdaptationFieldFlag) ? 1u + p[4] : 0;
        if (a > kTsPayloadSize) continue;
        bool start = (p[1] & kPayloadUnitStart) != 0;
        if (start && !pes.empty()) break;
        if (start || !pes.empty()) pes.insert(pes.end(), p + kTsHeaderSize + a, p + kTsPacketSize);
    }
    return pes;
}

void stream_info_seeds(const fs::path& dir) {
    const Bytes ts = load_sample_ts();
    Bytes video = first_pes(ts, 0x101), audio = first_pes(ts, 0x102);
    if (video.size() > 4096) video.resize(4096);
    if (audio.size() > 4096) audio.resize(4096);
    seed(dir, "video", video);
    seed(dir, "audio", audio);
    Bytes tail(video.begin(), video.begin() + std::min<size_t>(video.size(), 32));   // header cut short
    seed(dir, "video-cut", tail);
    Bytes cut_audio(audio.begin(), audio.begin() + std::min<size_t>(audio.size(), 14));
    seed(dir, "audio-cut", cut_audio);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 1;
    }
    try {
        fs::path out = argv[1];
        open_seeds(out / "fuzz_open");
        directory_seeds(out / "fuzz_directory");
        reader_seeds(out / "fuzz_reader");
        demux_seeds(out / "fuzz_demux");
        stream_info_seeds(out / "fuzz_stream_info");
    } catch (const std::exception& e) {
        fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    fprintf(stderr, "fuzz_seeds: %d seeds written to %s\n", written, argv[1]);
    return 0;
}
