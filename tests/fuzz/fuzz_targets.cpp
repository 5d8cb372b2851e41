// The five fuzz targets, one built per FUZZ_TARGET (tests/fuzz/CMakeLists.txt):
//   fuzz_open         opening the disk and checking its file system; an input
//                     is the sample disk's first sector, FATs and first root
//                     entries; a disk that opens has its recording table read
//   fuzz_directory    the directory walk and the recording table with the
//                     list file, lost chains and output names
//   fuzz_reader       the recording reader: chain, slack, the bytes at its
//                     start and across its cluster boundaries, unreadable sectors
//   fuzz_demux        each conversion on the recording's bytes, header first
//   fuzz_stream_info  both stream describers on a collected PES packet
// Inputs of odd length run open and directory with the salvage. Layouts in fuzz_disks.h.
#include <cstddef>
#include <cstdlib>

#include "disk/bytes.h"
#include "fuzz_disks.h"
#include "mpeg/mpeg.h"

namespace {

using namespace fuzz;

void quiet(int) {}

struct Target {
    MemoryDisk disk;
    Bytes base;
    uint32_t fat[kRecordingClusters + 2];   // the table's first entries as opened
    std::vector<Region> regions;            // open and directory
};

Target& target() {
    static Target* t = [] {
        Target* t = new Target;
        ImageBuilder img = FUZZ_TARGET == 1 ? sample_disk() : FUZZ_TARGET == 2 ? directory_disk() : recording_disk();
        t->base = t->disk.image = img.image();
        t->regions = FUZZ_TARGET == 1 ? open_regions(img) : directory_regions();
        install_memory_disk(&t->disk);
        if (FUZZ_TARGET >= 3 && (open_qvdisk(quiet) != 0 || parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) != 1))
            __builtin_trap();
        memcpy(t->fat, qv->fat, sizeof t->fat);
        return t;
    }();
    return *t;
}

// Opens the disk (with the salvage for odd sizes) and reads what the listing and the copies read.
void open_and_list(size_t size) {
    qv_options.salvage = int(size % 2);
    if (open_qvdisk(quiet) == 0) {
        int n = add_lost_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording));
        for (int i = 0; FUZZ_TARGET == 2 && i < n && i < int(kMaxRecordings); ++i) {
            int year, month, day, hour, minute;
            convert_date_time(qv->recordings[i].mjd, &year, &month, &day, &hour, &minute);
            char name[kOutputNameSize];
            recording_file_name(name, i, ".ts");
        }
    }
    qv_close();
    qv_options.salvage = 0;
}

volatile uint32_t sink;

void read_recording(Target& t, const uint8_t* data, size_t size) {
    if (size < kReaderControl) return;
    const uint32_t cs = qv->cluster_size, control = data[0], n = 1 + (control & 3) % kRecordingClusters;
    const std::vector<uint32_t> layout = (control & 4) ? std::vector<uint32_t>{1, 3, 2} : std::vector<uint32_t>{1, 2, 3};
    // The chain and the entry as the product holds them after opening.
    memcpy(qv->fat, t.fat, sizeof t.fat);
    for (uint32_t k = 0; k + 1 < n; ++k) qv->fat[layout[k]] = layout[k + 1];
    const uint32_t links[] = {kEndOfChain, kFreeCluster, kMarkerLink, qv->cluster_count + 5, layout[0], layout[n - 1], 0,
                              kRecordingClusters + 1};
    qv->fat[layout[n - 1]] = links[(control >> 3) & 7];
    qv->recordings[0].num_clusters = n;
    qv->recordings[0].last_cluster_slack = get_be32(data + 1);
    // The pieces, laid over the clusters in their stored order.
    const size_t at[3] = {0, cs - kPiece / 2, 2 * size_t(cs) - kPiece / 2};
    size_t length[3] = {};
    for (size_t k = 0, left = size - kReaderControl; k < 3; left -= length[k++]) {
        length[k] = std::min(left, kPiece);
        put_recording(t.disk.image, cs, layout, at[k], data + kReaderControl + k * kPiece, length[k], t.base);
    }
    if ((control & 0x40) && size >= kReaderControl + 3) {   // unreadable sectors
        const uint8_t* h = data + size - 3;
        const uint32_t per = cs / kSectorSize, s = (uint32_t(h[0]) << 8 | h[1]) % (kRecordingClusters * per);
        t.disk.bad = {{uint64_t(layout[s / per] + 1) * per + s % per, 1u + h[2] % 24u,
                       (control & 0x80) ? BadKind::kWhole : BadKind::kShort}};
    }
    if (recording_reader* reader = open_recording_file(0, quiet)) {
        uint32_t sum = header_pid(reader, kHeaderVideoPid);
        while (const uint8_t* p = read_ts_packet(reader)) sum += p[0] + p[kTsPacketSize - 1];   // a packet out of its buffer shows
        close_recording_file(reader);
        sink = sum;
    }
    t.disk.bad.clear();
    for (int k = 0; k < 3; ++k) put_recording(t.disk.image, cs, layout, at[k], nullptr, length[k], t.base);
}

void convert(Target& t, const uint8_t* data, size_t size) {
    if (size < kDemuxControl) return;
    const uint32_t cs = qv->cluster_size;
    const size_t length = std::min(size - kDemuxControl, 2 * size_t(cs));
    const uint32_t n = length > cs ? 2 : 1;
    qv->fat[1] = n == 2 ? 2 : kEndOfChain;
    qv->fat[2] = kEndOfChain;
    qv->recordings[0].num_clusters = n;
    qv->recordings[0].last_cluster_slack = uint32_t(n * size_t(cs) - length);
    put_recording(t.disk.image, cs, {1, 2}, 0, data + kDemuxControl, length, t.base);
    const uint32_t r = get_be16(data + 1);
    repack = r == 0 ? 0 : 193 + int32_t(r % (65541 - 193 + 1));
    int (*const conversions[])(int, progress_callback) = {convert_mp3, convert_m2v, convert_vob, convert_m2p, convert_ts};
    conversions[data[0] % 5](0, quiet);   // outputs ("Fuzz.mp3" ...) into the current directory
    put_recording(t.disk.image, cs, {1, 2}, 0, nullptr, length, t.base);
}

// The record ends right behind the packet's bytes: a describer reading beyond the length is caught.
void describe(const uint8_t* data, size_t size) {
    qv->progress = nullptr;
    size_t n = size < kPesBufferSize ? size : kPesBufferSize;
    demux_stream* stream = static_cast<demux_stream*>(malloc(offsetof(demux_stream, buffer) + n));
    memcpy(stream->buffer, data, n);
    stream->length = int32_t(n);
    int rate = 0;
    get_vinfo(stream, &rate);
    get_ainfo(stream, &rate);
    free(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (FUZZ_TARGET == 5) return describe(data, size), 0;
    Target& t = target();
    if (FUZZ_TARGET <= 2) {
        apply(t.disk.image, t.regions, data, size, t.base);
        open_and_list(size);
        apply(t.disk.image, t.regions, nullptr, 0, t.base);
    } else if (FUZZ_TARGET == 3) {
        read_recording(t, data, size);
    } else {
        convert(t, data, size);
    }
    return 0;
}
