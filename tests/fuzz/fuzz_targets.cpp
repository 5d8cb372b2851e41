// FUZZ_TARGET 1 fuzz_open (opening, check, listing), 2 fuzz_directory (directories, list file, lost
// chains, names), 3 fuzz_reader, 4 fuzz_demux (each conversion), 5 fuzz_stream_info (the
// describers), 6 fuzz_mapfile (ddrescue maps), 7 fuzz_options (the command line), 8 fuzz_pmt (the
// program map table), 9 fuzz_carving (chains by content); 0 fuzz_seeds DIR. A disk target's input
// (behind its control bytes) overwrites byte ranges ("regions") of a disk built once in memory;
// then they are put back.
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include "cli/driver.h"
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

// The smallest cluster the table allows: cluster 0 holds FAT2 and one sector of its entries.
constexpr uint16_t kSmallCluster = kFat2Offset / kSectorSize + 1;
constexpr uint32_t kSmall = kSmallCluster * kSectorSize;

// fuzz_open's, fuzz_directory's and fuzz_carving's disk: 11 clusters, "Film: Teil 1/2" in 1-2,
// "News, 20:00" fragmented in 5 and 3, the list file in 4, "Doku" in 6, the subdirectory in 7, 8
// to 10 free; a root of 32 entries. The disk's size in MiB lets links up to 6 pass.
constexpr uint32_t kSubdir = 7, kList = 4, kRootEntries = 32, kDataClusters = 6;
ImageBuilder small_disk() {
    ImageBuilder img(11, kSmallCluster);
    img.set_root_dir_slack(kSmall - (kRootEntries * uint32_t(kDirEntrySize) - kSectorSize));
    const Bytes ts = load_sample_ts();
    auto packets = [&ts](size_t first, uint32_t clusters) {  // a packet short of filling them
        const size_t n = (clusters * size_t(kSmall) - kRecordingHeaderSize) / kTsPacketSize - 1;
        return Bytes(ts.begin() + long(first * kTsPacketSize),
                     ts.begin() + long((first + n) * kTsPacketSize));
    };
    img.add_recording("Film: Teil 1/2", packets(0, 2), {}, {52632, 20, 15});
    img.add_recording("News, 20:00", packets(6000, 2), {}, {}, {5, 3});
    if (img.add_list_file({"Doku", "Film: Teil 1/2", "News, 20:00"}) != kList) __builtin_trap();
    img.add_recording("Doku", packets(12000, 1), {}, {52644, 21, 45});
    if (img.add_dir(0, "Archiv") != kSubdir) __builtin_trap();
    return img;
}
// fuzz_carving's: the same with both copies of the table zeroed, so that every chain is found by
// content.
ImageBuilder tableless_disk() {
    ImageBuilder img = small_disk();
    img.damage_fat(1, TableDamage::kZeroed);
    img.damage_fat(2, TableDamage::kZeroed);
    return img;
}
// fuzz_reader's and fuzz_demux's: recording "Fuzz" of the sample in clusters 1 to 3, 4 to 7 free.
constexpr uint32_t kClusters = 3;
ImageBuilder recording_disk() {
    ImageBuilder img(8, kSmallCluster);
    Bytes ts = load_sample_ts();
    ts.resize(std::min(ts.size(), (kClusters * size_t(kSmall) - kRecordingHeaderSize) /
                                      kTsPacketSize * kTsPacketSize));
    img.add_recording("Fuzz", ts);
    return img;
}

// The regions in order: the first sector, the FATs and root entries; the root, subdirectory and
// list file; 1024 bytes at the recording's start and across its cluster boundaries (chain); the
// recording's first two clusters; the root's entries and four packets at each end of every data
// cluster (carving).
std::vector<Region> regions(int target, const uint32_t* chain) {
    const size_t fat = size_t(kFatEntrySize) * 16;
    const size_t h = 512;
    const size_t cs = kSmall;
    const size_t edge = 4 * kTsPacketSize;
    if (target == 1)
        return {{0, kSectorSize}, {kFat1Offset, fat}, {kFat2Offset, fat}, {cs, kSectorSize}};
    if (target == 2)
        return {{cs, 4096},
                {cluster_offset(kSmall, kSubdir), 4096},
                {cluster_offset(kSmall, kList), 4096}};
    if (target == 4) return {{cluster_offset(kSmall, 1), cs}, {cluster_offset(kSmall, 2), cs}};
    if (target == 9) {
        std::vector<Region> edges = {{cs, kSectorSize}};
        for (uint32_t c = 1; c <= kDataClusters; ++c) {
            edges.push_back({cluster_offset(kSmall, c), edge});
            edges.push_back({cluster_offset(kSmall, c, cs - edge), edge});
        }
        return edges;
    }
    return {{cluster_offset(kSmall, chain[0]), 2 * h},
            {cluster_offset(kSmall, chain[0], cs - h), h},
            {cluster_offset(kSmall, chain[1]), h},
            {cluster_offset(kSmall, chain[1], cs - h), h},
            {cluster_offset(kSmall, chain[2]), h}};
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
        if (!data) continue;
        data += n;
        size -= n;
    }
}
void quiet(int, const char*) {}
volatile uint32_t sink;
MemoryDisk disk;
Bytes base;
uint32_t fat[kClusters + 2];  // the table's first entries as opened

// Opens the disk (with the salvage for odd sizes) and reads what the listing and the copies read.
void open_and_list(size_t size) {
    qv_options.salvage = FUZZ_TARGET == 9 || size % 2;
    if (open_qvdisk(quiet) == 0) {
        const int n = salvage_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording));
        int date[5];
        char name[kOutputNameSize];
        const int listed = std::min(n, int(kMaxRecordings));
        for (int i = 0; FUZZ_TARGET == 2 && i < listed; ++i)
            convert_date_time(qv->recordings[i].mjd, &date[0], &date[1], &date[2], &date[3],
                              &date[4]);
        // Naming one recording numbers the whole table; the first and the last are named (each
        // naming checks the table anew, so naming every one would cost the square of the count).
        if (FUZZ_TARGET == 2 && listed > 0) {
            recording_file_name(name, 0, ".ts");
            recording_file_name(name, listed - 1, ".ts");
        }
    }
    qv_close();
    qv_options.salvage = 0;
}

void read_recording(const uint8_t* data, size_t size, const uint32_t* chain) {
    const uint32_t control = data[0], n = 1 + (control & 3) % kClusters, per = kSmall / kSectorSize;
    // The chain and the entry as the product holds them after opening.
    memcpy(qv->fat, fat, sizeof fat);
    for (uint32_t k = 0; k + 1 < n; ++k) qv->fat[chain[k]] = chain[k + 1];
    const uint32_t links[] = {kEndOfChain, kFreeCluster, kMarkerLink, qv->cluster_count + 5,
                              chain[0],    chain[n - 1], 0,           kClusters + 1};
    qv->fat[chain[n - 1]] = links[(control >> 3) & 7];
    qv->recordings[0].num_clusters = n;
    qv->recordings[0].last_cluster_slack = get_be32(data + 1);
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
    const size_t length = std::min(size - kDemuxControl, 2 * size_t(kSmall));
    const uint32_t n = length > kSmall ? 2 : 1, r = get_be16(data + 1);
    qv->fat[1] = n == 2 ? 2 : kEndOfChain;
    qv->fat[2] = kEndOfChain;
    qv->recordings[0].num_clusters = n;
    qv->recordings[0].last_cluster_slack = uint32_t(n * size_t(kSmall) - length);
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
    memcpy(stream->buffer, data, n);
    stream->length = int32_t(n);
    int rate = 0;
    get_vinfo(stream, &rate);
    get_ainfo(stream, &rate);
    describe_ac3(stream, "Audio", &rate);
    free(stream);
}

// The map as read, written and read back: the same blocks; then a rescue step over its middle
// third. Every map a reading or a step leaves is contiguous.
bool contiguous(const rescue_map& map) {
    for (uint32_t i = 0; i + 1 < map.count; ++i)
        if (map.blocks[i].size <= 0 ||
            map.blocks[i].pos + map.blocks[i].size != map.blocks[i + 1].pos)
            return false;
    return true;
}
bool same_map(const rescue_map& a, const rescue_map& b) {
    if (a.count != b.count || a.current_pos != b.current_pos ||
        a.current_status != b.current_status || a.current_pass != b.current_pass)
        return false;
    for (uint32_t i = 0; i < a.count; ++i)
        if (a.blocks[i].pos != b.blocks[i].pos || a.blocks[i].size != b.blocks[i].size ||
            a.blocks[i].status != b.blocks[i].status)
            return false;
    return true;
}
// A file in memory that the product opens by its path.
struct memory_file {
    int fd;
    char path[32];
};
memory_file memory_file_of(const char* name) {
    memory_file f = {memfd_create(name, 0), {}};
    if (f.fd < 0) __builtin_trap();
    snprintf(f.path, sizeof f.path, "/proc/self/fd/%d", f.fd);
    return f;
}
void read_map(const uint8_t* data, size_t size) {
    static const memory_file input = memory_file_of("map"), copy = memory_file_of("copy");
    if (ftruncate(input.fd, 0) != 0 || pwrite(input.fd, data, size, 0) != ssize_t(size))
        __builtin_trap();
    const char *map_path = input.path, *copy_path = copy.path;
    rescue_map map = {}, again = {};
    if (map_read(map_path, &map) == 0) {
        if (!contiguous(map) || map_write(copy_path, &map) != 0 ||
            map_read(copy_path, &again) != 0 || !same_map(map, again))
            __builtin_trap();
        const int64_t third = map_end(&map) / 3;
        if (map_set(&map, third, third + 1, kMapFinished) != 0 || !contiguous(map))
            __builtin_trap();
        sink = uint32_t(map_first_unfinished(&map, 0, map_end(&map)));
    }
    map_free(&map);
    map_free(&again);
}

// The command line: the input's NUL-separated words behind the program name, without a disk (the
// run ends where it would open one).
constexpr size_t kMaxWords = 16;
void run_command_line(const uint8_t* data, size_t size) {
    static char program[] = "pvrcopy";
    std::vector<char> text(data, data + size);
    text.push_back(0);
    std::vector<char*> argv = {program};
    for (size_t at = 0; at < size && argv.size() <= kMaxWords; at += strlen(&text[at]) + 1)
        argv.push_back(&text[at]);
    argv.push_back(nullptr);
    qv_options = {};
    copy_options = {};
    repack = 0;
    run_pvrcopy(int(argv.size() - 1), argv.data());
    qv_close();
}

// The program map table: bytes 0-1 and 2-3 the video and audio PID, then one packet (stuffing
// where the input ends). A reduced table reduced again is kept as it is: its CRC_32 holds and it
// names only the two PIDs.
constexpr size_t kPmtControl = 4;
void reduce_program_map(const uint8_t* data, size_t size) {
    uint8_t* packet = static_cast<uint8_t*>(malloc(kTsPacketSize));  // reading beyond it shows
    memset(packet, 0xFF, kTsPacketSize);
    memcpy(packet, data + kPmtControl, std::min(size - kPmtControl, size_t(kTsPacketSize)));
    const uint32_t video = get_be16(data) & kPidMask, audio = get_be16(data + 2) & kPidMask;
    sink = pmt_pcr_pid(packet) + ts_section(packet, kPatTableId, kSectionHeadSize);
    const uint8_t* reduced = reduce_pmt(packet, video, audio);
    if (reduced != packet) {
        uint8_t again[kTsPacketSize];
        memcpy(again, reduced, kTsPacketSize);
        if (reduce_pmt(again, video, audio) != again) __builtin_trap();
    }
    free(packet);
}

// The disk targets' disk, installed and (for the reader and the demultiplexer) opened once.
bool prepare_disk() {
    const ImageBuilder img = FUZZ_TARGET <= 2   ? small_disk()
                             : FUZZ_TARGET == 9 ? tableless_disk()
                                                : recording_disk();
    base = img.image();
    disk.image = base;
    install_memory_disk(&disk);
    const bool reads_recording = FUZZ_TARGET == 3 || FUZZ_TARGET == 4;
    if (reads_recording &&
        (open_qvdisk(quiet) != 0 || parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) != 1))
        __builtin_trap();
    memcpy(fat, qv->fat, sizeof fat);
    return true;
}

// A disk target's input: its control bytes, then what is laid over the regions.
void run_disk_target(const uint8_t* data, size_t size) {
    static const bool ready = prepare_disk();
    const size_t head = FUZZ_TARGET == 3 ? kReaderControl : FUZZ_TARGET == 4 ? kDemuxControl : 0;
    if (!ready || size < head) return;
    const uint32_t layout[2][3] = {{1, 2, 3}, {1, 3, 2}};
    const bool fragmented = FUZZ_TARGET == 3 && (data[0] & 4);
    const uint32_t* chain = layout[fragmented];
    const std::vector<Region> covered = regions(FUZZ_TARGET, chain);
    apply(disk.image, covered, data + head, size - head, base);
    if (FUZZ_TARGET <= 2 || FUZZ_TARGET == 9) open_and_list(size);
    if (FUZZ_TARGET == 3) read_recording(data, size, chain);
    if (FUZZ_TARGET == 4) convert(data, size);
    apply(disk.image, covered, nullptr, 0, base);
}

// libFuzzer and the sanitizers report on their own streams; the product's output goes nowhere.
bool silence_output() {
    disk.present = false;
    install_memory_disk(&disk);
    return freopen("/dev/null", "w", stdout) && (stderr = fopen("/dev/null", "w"));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    switch (FUZZ_TARGET) {
    case 5:
        qv->progress = nullptr;
        describe(data, size);
        break;
    case 6: read_map(data, size); break;
    case 7: {
        static const bool silenced = silence_output();
        if (silenced) run_command_line(data, size);
        break;
    }
    case 8:
        if (size >= kPmtControl) reduce_program_map(data, size);
        break;
    default: run_disk_target(data, size);
    }
    return 0;
}

#else  // fuzz_seeds: the intact disks, a few variations of the control bytes, the sample's first
       // PES packets

// The sample's first packet of a PID that starts a unit and carries a payload.
const uint8_t* first_unit_start(const Bytes& ts, uint32_t pid) {
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        const uint8_t* packet = &ts[at];
        if (ts_pid(packet) == pid && ts_unit_start(packet) &&
            ts_payload_offset(packet) != kNoPayload)
            return packet;
    }
    __builtin_trap();
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 1;
    }
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
    seed("fuzz_open", "intact", cut(small_disk(), regions(1, nullptr), {}));
    seed("fuzz_directory", "intact", cut(small_disk(), regions(2, nullptr), {}));
    seed("fuzz_carving", "intact", cut(tableless_disk(), regions(9, nullptr), {}));
    const ImageBuilder rec = recording_disk();
    const uint32_t chain[] = {1, 2, 3},
                   slack = (kClusters * kSmall - kRecordingHeaderSize) % kTsPacketSize;
    for (uint8_t control : {2, 2 | 0x40})  // three clusters in order; then with unreadable sectors
        seed("fuzz_reader", std::to_string(control),
             cut(rec, regions(3, chain), {control, 0, 0, uint8_t(slack >> 8), uint8_t(slack)}));
    for (uint8_t m = 0; m < 5; ++m)  // each mode on the header and 400 packets
        seed("fuzz_demux", std::to_string(m),
             cut(rec, {{cluster_offset(kSmall, 1), kRecordingHeaderSize + 400 * kTsPacketSize}},
                 {m, 0, 0}));
    // The describers: the sample's first packet of video and of audio, from its PES header on.
    const Bytes ts = load_sample_ts();
    for (uint32_t pid : {0x101u, 0x102u}) {
        const uint8_t* packet = first_unit_start(ts, pid);
        const uint8_t* payload = packet + ts_payload_offset(packet);
        seed("fuzz_stream_info", std::to_string(pid), Bytes(payload, packet + kTsPacketSize));
    }
    // A map as ddrescue writes it, and one with comments, a pass and octal and decimal numbers.
    auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
    seed("fuzz_mapfile", "ddrescue",
         text("# Mapfile. Created by GNU ddrescue\n0x00010000     ?               1\n"
              "#      pos        size  status\n0x00000000  0x00010000  +\n"
              "0x00010000  0x00000200  -\n0x00010200  0x0000FE00  ?\n"));
    seed("fuzz_mapfile", "forms",
         text("  # note\n0 + 3\n0 01000 *  # trimmed\n512 512 /\n1024 1 -\n"));
    // Command lines: words separated by NUL bytes (here by blanks).
    const char* const lines[] = {"-l",
                                 "-i qvdisk.img -o . -r 1,3,5-7 TS 2048",
                                 "--recordings=all --salvage VOB",
                                 "-d 1 disk",
                                 "-h",
                                 "--version",
                                 "raw -5 x"};
    for (size_t i = 0; i < std::size(lines); ++i) {
        std::string words = std::string(lines[i]) + ' ';
        std::replace(words.begin(), words.end(), ' ', '\0');
        seed("fuzz_options", std::to_string(i), text(words));
    }
    // The sample's first PMT packet, with its own video and audio PIDs and with the video alone.
    const uint8_t* pmt = first_unit_start(ts, 0x100);
    for (uint8_t audio : {0x02, 0x00}) {
        Bytes input = {0x01, 0x01, 0x01, audio};
        input.insert(input.end(), pmt, pmt + kTsPacketSize);
        seed("fuzz_pmt", std::to_string(audio), input);
    }
    return 0;
}

#endif
