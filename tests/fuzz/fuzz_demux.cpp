// Fuzz target: the demultiplexer with each output function. The input picks
// a mode (MP3, M2V, VOB, M2P with a repack size, TS) and gives the
// recording's bytes, header first; the conversion runs on it as the command
// line would run it. Output files ("Fuzz.mp3" and so on) are written into the
// current directory.
#include "fuzz_disks.h"

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

constexpr int kModes = 5;
constexpr int32_t kMinRepack = 193;
constexpr int32_t kRepackRange = 65541 - kMinRepack + 1;

struct Target : fuzz::InstalledDisk {
    uint32_t cluster_size;
};

Target& target() {
    static Target* t = [] {
        Target* t = new Target;
        ImageBuilder img = fuzz::recording_disk();
        t->install(img.image());
        t->cluster_size = img.cluster_size();
        if (open_qvdisk(fuzz::quiet) != 0 || parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) != 1)
            __builtin_trap();
        return t;
    }();
    return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Target& t = target();
    if (size < fuzz::kDemuxControl) return 0;
    const uint32_t cs = t.cluster_size;
    const std::vector<uint32_t> chain = {1, 2};
    size_t length = std::min(size - fuzz::kDemuxControl, 2 * size_t(cs));
    uint32_t n = length > cs ? 2 : 1;

    // The recording as the table holds it: length bytes in n clusters.
    qv->fat[1] = n == 2 ? 2 : kEndOfChain;
    qv->fat[2] = kEndOfChain;
    recording_entry* entry = &qv->recordings[0];
    entry->num_clusters = n;
    entry->last_cluster_slack = uint32_t(n * size_t(cs) - length);
    fuzz::put_recording_bytes(t.disk.image, cs, chain, 0, data + fuzz::kDemuxControl, length);

    uint32_t r = get_be16(data + 1);
    repack = r == 0 ? 0 : kMinRepack + int32_t(r % kRepackRange);
    switch (data[0] % kModes) {
    case 0: convert_mp3(0, fuzz::quiet); break;
    case 1: convert_m2v(0, fuzz::quiet); break;
    case 2: convert_vob(0, fuzz::quiet); break;
    case 3: convert_m2p(0, fuzz::quiet); break;
    default: convert_ts(0, fuzz::quiet); break;
    }

    fuzz::restore_recording_bytes(t.disk.image, t.base, cs, chain, 0, length);
    return 0;
}
