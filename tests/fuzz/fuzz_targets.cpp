// FUZZ_TARGET 1 fuzz_open (opening, check, listing), 2 fuzz_directory (directories, list file, lost
// chains, names), 3 fuzz_reader, 4 fuzz_demux (each conversion), 5 fuzz_stream_info (the
// describers); 0 fuzz_seeds DIR. An input (behind its control bytes) overwrites byte ranges
// ("regions") of a disk built once; then they are put back.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include "disk/bytes.h"
#include "mpeg/mpeg.h"
#include "support/memory_disk.h"
#include "tools/image_builder.h"
namespace {

using Bytes = std::vector<uint8_t>;
struct Region {
    size_t offset, size;
};
size_t cluster_offset(uint32_t cluster_size, uint32_t n, size_t at = 0) {
    return size_t(n + 1) * cluster_size + at;
}

// fuzz_directory's disk: the sample disk (its list file in cluster 8), its root read whole, and a
// subdirectory.
constexpr uint32_t kSubdir = 13, kList = 8;
ImageBuilder directory_disk() {
    ImageBuilder img = sample_disk();
    img.set_root_dir_slack(kSectorSize);
    if (img.add_dir(0, "Archiv") != kSubdir) __builtin_trap();
    return img;
}
// fuzz_reader's and fuzz_demux's: recording "Fuzz" of the sample in half-MiB clusters 1 to 3, 4 to
// 7 free.
constexpr uint32_t kClusters = 3, kHalfMiB = 1040 * kSectorSize;
ImageBuilder recording_disk() {
    ImageBuilder img(8, 1040);
    Bytes ts = load_sample_ts();
    ts.resize(std::min(ts.size(), (kClusters * size_t(kHalfMiB) - kRecordingHeaderSize) /
                                      kTsPacketSize * kTsPacketSize));
    img.add_recording("Fuzz", ts);
    return img;
}

// The regions in order: the first sector, the FATs and root entries; the root, subdirectory and
// list file; 1024 bytes at the recording's start and across its cluster boundaries (chain); the
// recording's first two clusters.
std::vector<Region> regions(int target, const uint32_t* chain) {
    const size_t fat = size_t(kFatEntrySize) * 16, h = 512, cs = kHalfMiB, mib = 1 << 20;
    if (target == 1)
        return {{0, kSectorSize}, {kFat1Offset, fat}, {kFat2Offset, fat}, {mib, kSectorSize}};
    if (target == 2)
        return {
            {mib, 4096}, {cluster_offset(mib, kSubdir), 4096}, {cluster_offset(mib, kList), 4096}};
    if (target == 4) return {{cluster_offset(cs, 1), cs}, {cluster_offset(cs, 2), cs}};
    return {{cluster_offset(cs, chain[0]), 2 * h},
            {cluster_offset(cs, chain[0], cs - h), h},
            {cluster_offset(cs, chain[1]), h},
            {cluster_offset(cs, chain[1], cs - h), h},
            {cluster_offset(cs, chain[2]), h}};
}
}  // namespace

#if FUZZ_TARGET > 0
namespace {

// The reader's control bytes: byte 0 bits 0-1 clusters (1 + value % 3); bit 2 fragmented (1, 3, 2);
// bits 3-5 the last link: end, free, 0xFFFFFB, beyond the table, back to the first cluster, to
// itself, to the root, to a free cluster; bit 6 unreadable sectors from the input's last three
// bytes (a 16-bit sector, 1 + the third % 24 of them), short (bit 7 clear) or whole. Bytes 1-4 the
// slack.
constexpr size_t kReaderControl = 5;
// The demultiplexer's: byte 0 the mode (% 5: MP3, M2V, VOB, M2P, TS) and the options (/ 5: bit 0
// --all-streams, bit 1 --dvd), bytes 1-2 the repack size.
constexpr size_t kDemuxControl = 3;

// Lays data over the regions in order (a short input covers the first ones), or with data null puts
// them back from base.
void apply(Bytes& image, const std::vector<Region>& regions, const uint8_t* data, size_t size,
           const Bytes& base) {
    for (const Region& r : regions) {
        size_t n = data ? std::min(size, r.size) : r.size;
        memcpy(image.data() + r.offset, data ? data : base.data() + r.offset, n);
        if (data) data += n, size -= n;
    }
}
void quiet(int) {}
volatile uint32_t sink;
MemoryDisk disk;
Bytes base;
uint32_t fat[kClusters + 2];  // the table's first entries as opened

// Opens the disk (with the salvage for odd sizes) and reads what the listing and the copies read.
void open_and_list(size_t size) {
    qv_options.salvage = int(size % 2);
    if (open_qvdisk(quiet) == 0) {
        int n = salvage_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording)), d[5];
        char name[kOutputNameSize];
        for (int i = 0; FUZZ_TARGET == 2 && i < n && i < int(kMaxRecordings); ++i)
            convert_date_time(qv->recordings[i].mjd, &d[0], &d[1], &d[2], &d[3], &d[4]),
                recording_file_name(name, i, ".ts");
    }
    qv_close(), qv_options.salvage = 0;
}

void read_recording(const uint8_t* data, size_t size, const uint32_t* chain) {
    const uint32_t control = data[0], n = 1 + (control & 3) % kClusters,
                   per = kHalfMiB / kSectorSize;
    // The chain and the entry as the product holds them after opening.
    memcpy(qv->fat, fat, sizeof fat);
    for (uint32_t k = 0; k + 1 < n; ++k) qv->fat[chain[k]] = chain[k + 1];
    const uint32_t links[] = {kEndOfChain, kFreeCluster, kMarkerLink, qv->cluster_count + 5,
                              chain[0],    chain[n - 1], 0,           kClusters + 1};
    qv->fat[chain[n - 1]] = links[(control >> 3) & 7];
    qv->recordings[0].num_clusters = n, qv->recordings[0].last_cluster_slack = get_be32(data + 1);
    if ((control & 0x40) && size >= kReaderControl + 3) {  // unreadable sectors
        const uint8_t* h = data + size - 3;
        const uint32_t s = (uint32_t(h[0]) << 8 | h[1]) % (kClusters * per);
        disk.bad = {{uint64_t(chain[s / per] + 1) * per + s % per, 1u + h[2] % 24u,
                     (control & 0x80) ? BadKind::kWhole : BadKind::kShort}};
    }
    if (recording_reader* reader = open_recording_file(0, quiet)) {
        uint32_t sum = header_pid(reader, kHeaderVideoPid);
        while (const uint8_t* p = read_ts_packet(reader))
            sum += p[0] + p[kTsPacketSize - 1];  // a packet out of its buffer shows
        close_recording_file(reader);
        sink = sum;
    }
    disk.bad.clear();
}

void convert(const uint8_t* data, size_t size) {
    const size_t length = std::min(size - kDemuxControl, 2 * size_t(kHalfMiB));
    const uint32_t n = length > kHalfMiB ? 2 : 1, r = get_be16(data + 1);
    qv->fat[1] = n == 2 ? 2 : kEndOfChain, qv->fat[2] = kEndOfChain;
    qv->recordings[0].num_clusters = n,
    qv->recordings[0].last_cluster_slack = uint32_t(n * size_t(kHalfMiB) - length);
    repack = r == 0 ? 0 : 193 + int32_t(r % (65541 - 193 + 1));
    stream_options = {data[0] / 5 & 1, data[0] / 10 & 1};
    int (*const conversions[])(int, progress_callback) = {convert_mp3, convert_m2v, convert_vob,
                                                          convert_m2p, convert_ts};
    conversions[data[0] % 5](
        0, quiet);  // into the current directory; removed, so the next one is not written beside it
    stream_options = {};
    for (const auto& f : std::filesystem::directory_iterator("."))  // MP3 writes one a track
        if (f.path().filename().string().rfind("Fuzz", 0) == 0) std::filesystem::remove(f);
}

// The record ends right behind the packet's bytes: a describer reading beyond the length is caught.
void describe(const uint8_t* data, size_t size) {
    size_t n = std::min<size_t>(size, kPesBufferSize);
    demux_stream* stream = static_cast<demux_stream*>(malloc(offsetof(demux_stream, buffer) + n));
    memcpy(stream->buffer, data, n), stream->length = int32_t(n);
    int rate = 0;
    get_vinfo(stream, &rate), get_ainfo(stream, &rate), describe_ac3(stream, "Audio", &rate);
    free(stream);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (FUZZ_TARGET == 5) return qv->progress = nullptr, describe(data, size), 0;
    static const bool ready = [] {
        base = disk.image = (FUZZ_TARGET == 1   ? sample_disk()
                             : FUZZ_TARGET == 2 ? directory_disk()
                                                : recording_disk())
                                .image();
        install_memory_disk(&disk);
        if (FUZZ_TARGET >= 3 && (open_qvdisk(quiet) != 0 ||
                                 parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) != 1))
            __builtin_trap();
        return memcpy(fat, qv->fat, sizeof fat), true;
    }();
    const size_t head = FUZZ_TARGET == 3 ? kReaderControl : FUZZ_TARGET == 4 ? kDemuxControl : 0;
    if (!ready || size < head) return 0;
    const uint32_t layout[2][3] = {{1, 2, 3}, {1, 3, 2}},
                   *chain = layout[FUZZ_TARGET == 3 && (data[0] & 4)];
    const std::vector<Region> covered = regions(FUZZ_TARGET, chain);
    apply(disk.image, covered, data + head, size - head, base);
    if (FUZZ_TARGET <= 2) open_and_list(size);
    if (FUZZ_TARGET == 3) read_recording(data, size, chain);
    if (FUZZ_TARGET == 4) convert(data, size);
    apply(disk.image, covered, nullptr, 0, base);
    return 0;
}

#else  // fuzz_seeds: the intact disks, a few variations of the control bytes, the sample's first
       // PES packets

int main(int argc, char** argv) {
    if (argc != 2) return fprintf(stderr, "usage: fuzz_seeds DIR\n"), 1;
    auto seed = [&](const char* target, const std::string& name, const Bytes& bytes) {
        std::filesystem::create_directories(std::filesystem::path(argv[1]) / target);
        write_file((std::filesystem::path(argv[1]) / target / name).string(), bytes);
    };
    auto cut = [](const ImageBuilder& img, const std::vector<Region>& regions,
                  Bytes head) {  // head, then the regions' bytes
        const Bytes image = img.image();
        for (const Region& r : regions)
            head.insert(head.end(), image.begin() + long(r.offset),
                        image.begin() + long(r.offset + r.size));
        return head;
    };
    seed("fuzz_open", "intact", cut(sample_disk(), regions(1, nullptr), {}));
    seed("fuzz_directory", "intact", cut(directory_disk(), regions(2, nullptr), {}));
    const ImageBuilder rec = recording_disk();
    const uint32_t chain[] = {1, 2, 3},
                   slack = (kClusters * kHalfMiB - kRecordingHeaderSize) % kTsPacketSize;
    for (uint8_t control : {2, 2 | 0x40})  // three clusters in order; then with unreadable sectors
        seed("fuzz_reader", std::to_string(control),
             cut(rec, regions(3, chain), {control, 0, 0, uint8_t(slack >> 8), uint8_t(slack)}));
    for (uint8_t m = 0; m < 5; ++m)  // each mode on the header and 400 packets
        seed("fuzz_demux", std::to_string(m),
             cut(rec, {{cluster_offset(kHalfMiB, 1), kRecordingHeaderSize + 400 * kTsPacketSize}},
                 {m, 0, 0}));
    // The describers: the sample's first packet of video and of audio, from its PES header on.
    const Bytes ts = load_sample_ts();
    for (uint32_t pid : {0x101u, 0x102u})
        for (size_t o = 0; o + kTsPacketSize <= ts.size(); o += kTsPacketSize)
            if (ts_pid(&ts[o]) == pid && ts_unit_start(&ts[o]) &&
                ts_payload_offset(&ts[o]) != kNoPayload) {
                const auto from = ts.begin() + long(o + ts_payload_offset(&ts[o]));
                seed("fuzz_stream_info", std::to_string(pid),
                     Bytes(from, ts.begin() + long(o + kTsPacketSize)));
                break;
            }
    return 0;
}

#endif
