// mkimage: builds a recorder disk image from transport stream files
// (installed as pvrcopy-mkimage; it calls itself by the name it is run as).
//
//   mkimage OUT.img [--cluster-sectors N] [--pids PMT,VIDEO,AUDIO] [--list] FILE.ts[=NAME] ...
//   mkimage OUT.img --sample
//   mkimage -h | --help | --version
//
// Each FILE.ts becomes one recording (type 0xD1) in the root directory, named
// NAME or the file's base name without ".ts". The PIDs of the recording header
// come from the stream's own PAT and PMT (first program, first MPEG video and
// first MPEG audio stream), or from --pids. --list adds the recorder's list
// file naming the recordings in command-line order. --sample writes the
// demo's sample disk from the sample recording built into the program, so
// that an installed mkimage needs no source tree.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "disk/copy/copy.h"
#include "mpeg/mpeg.h"
#include "tools/image_builder.h"

// The sample recording (data/sample.ts, path in PVR_SAMPLE_TS), read only.
#ifdef _WIN32
#define PVR_READ_ONLY_SECTION ".section .rdata,\"dr\"\n"
#else
#define PVR_READ_ONLY_SECTION ".section .rodata\n"
#endif
asm(PVR_READ_ONLY_SECTION
    ".globl pvr_sample_ts\npvr_sample_ts:\n"
    ".incbin \"" PVR_SAMPLE_TS
    "\"\n"
    ".globl pvr_sample_ts_end\npvr_sample_ts_end:\n"
    ".text\n");
extern "C" const uint8_t pvr_sample_ts[], pvr_sample_ts_end[];

namespace {

constexpr uint32_t kPatPid = 0;
constexpr size_t kMinSection = 12 + kCrcSize;  // the fixed fields of a PAT or PMT and the CRC
constexpr size_t kMaxPacketsSearched = 20000;  // the tables come early in any sane stream
constexpr uint32_t kDefaultClusterSectors = 2048;
constexpr uint32_t kRootSlackWholeCluster = 512;  // makes the product read the whole root cluster

// The name it was called by: argv[0] without its directory (and on Windows
// without ".exe").
std::string program = "mkimage";

void set_program(const char* argv0) {
    if (!argv0 || !*argv0) return;
    program = argv0;
    program.erase(0, program.find_last_of("/\\") + 1);
#ifdef _WIN32
    const size_t n = program.size();
    if (n > 4 && (program.compare(n - 4, 4, ".exe") == 0 || program.compare(n - 4, 4, ".EXE") == 0))
        program.resize(n - 4);
#endif
}
const char* name() { return program.c_str(); }

void usage(FILE* stream) {
    std::fprintf(stream,
                 "usage: %s OUT.img [options] FILE.ts[=NAME] ...\n"
                 "usage: %s OUT.img --sample\n",
                 name(), name());
}

// The options as the help shows them; the manual page names the same, in this order.
static_assert(kMaxSectorsPerCluster == 3584 && kDefaultClusterSectors == 2048, "the help's range");
struct option_help {
    const char* names;
    const char* help;
};
const option_help kOptionHelp[] = {
    {"--cluster-sectors N", "sectors of 512 bytes a cluster (1 to 3584, default 2048)"},
    {"--pids PMT,VIDEO,AUDIO", "the recording header's PIDs (else from the stream's PAT and PMT)"},
    {"--list", "add the recorder's list file, naming the recordings in this order"},
    {"--sample", "write the sample disk of three recordings, in place of FILE.ts"},
    {"-h, --help", "print this help and end"},
    {"--version", "print the version and end"},
};

void help() {
    usage(stdout);
    std::printf("A recording for each FILE.ts, named NAME or after the file.\n");
    for (const option_help& o : kOptionHelp) std::printf("  %-24s %s\n", o.names, o.help);
}

// First offset o with sync bytes at o and o + 188, or -1.
long first_packet(const std::vector<uint8_t>& ts) {
    for (size_t o = 0; o < kTsPacketSize && o + kTsPacketSize < ts.size(); ++o)
        if (ts[o] == kTsSyncByte && ts[o + kTsPacketSize] == kTsSyncByte) return long(o);
    return ts.size() >= kTsPacketSize && ts[0] == kTsSyncByte ? 0 : -1;
}

// The section of table table_id on pid that starts in one packet, bounded by
// that packet; null when none is found.
const uint8_t* find_section(const std::vector<uint8_t>& ts, long start, uint32_t pid,
                            uint8_t table_id, size_t* length) {
    size_t packets = 0;
    for (size_t o = size_t(start); o + kTsPacketSize <= ts.size() && packets < kMaxPacketsSearched;
         o += kTsPacketSize, ++packets) {
        const uint8_t* p = &ts[o];
        if (p[0] != kTsSyncByte || ts_pid(p) != pid) continue;
        uint32_t at = ts_section(p, table_id, kSectionHeadSize);
        if (!at) continue;
        size_t len = kSectionHeadSize + (get_be16(p + at + 1) & kSectionLengthMask);
        if (at + len > kTsPacketSize || len < kMinSection) continue;
        *length = len;
        return p + at;
    }
    return nullptr;
}

// Fills h from the stream's PAT and PMT; false when they cannot be found.
bool pids_from_stream(const std::vector<uint8_t>& ts, RecordingHeader* h) {
    long start = first_packet(ts);
    if (start < 0) return false;
    size_t len = 0;
    const uint8_t* pat = find_section(ts, start, kPatPid, kPatTableId, &len);
    if (!pat) return false;
    uint32_t program = 0, pmt_pid = 0;
    for (size_t i = 8; i + 4 <= len - 4; i += 4) {
        uint32_t number = get_be16(pat + i);
        if (number == 0) continue;  // network PID
        program = number;
        pmt_pid = get_be16(pat + i + 2) & kPidMask;
        break;
    }
    if (!program) return false;
    const uint8_t* pmt = find_section(ts, start, pmt_pid, kPmtTableId, &len);
    if (!pmt) return false;
    uint32_t video = 0, audio = 0;
    size_t i = 12 + (get_be16(pmt + 10) & kSectionLengthMask);
    while (i + 5 <= len - 4) {
        uint8_t type = pmt[i];
        uint32_t pid = get_be16(pmt + i + 1) & kPidMask;
        if (!video && (type == 0x01 || type == 0x02)) video = pid;
        if (!audio && (type == 0x03 || type == 0x04)) audio = pid;
        i += 5 + (get_be16(pmt + i + 3) & kSectionLengthMask);
    }
    if (!video || !audio) return false;
    h->program_number = uint16_t(program);
    h->pmt_pid = uint16_t(pmt_pid);
    h->video_pid = uint16_t(video);
    h->audio_pid = uint16_t(audio);
    return true;
}

bool parse_number(const char* text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || *end || v > max) return false;
    *value = v;
    return true;
}

bool parse_pids(const char* text, RecordingHeader* h) {
    unsigned long v[3];
    std::string s = text;
    size_t from = 0;
    for (int k = 0; k < 3; ++k) {
        size_t comma = s.find(',', from);
        if ((k < 2) != (comma != std::string::npos)) return false;
        std::string part = s.substr(from, k < 2 ? comma - from : std::string::npos);
        if (!parse_number(part.c_str(), kPidMask, &v[k])) return false;
        from = comma + 1;
    }
    h->pmt_pid = uint16_t(v[0]);
    h->video_pid = uint16_t(v[1]);
    h->audio_pid = uint16_t(v[2]);
    return true;
}

struct Input {
    std::string path;
    std::string name;
};

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".ts") == 0)
        name.resize(name.size() - 3);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    set_program(argc > 0 ? argv[0] : nullptr);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            help();
            return 0;
        }
        if (a == "--version") {
            std::printf("%s %s\n", name(), PVR_VERSION);
            return 0;
        }
    }
    if (argc < 3) {
        usage(stderr);
        return 1;
    }
    std::string out = argv[1];
    unsigned long sectors = kDefaultClusterSectors;
    bool sample = false, list = false, have_pids = false;
    RecordingHeader forced;
    std::vector<Input> inputs;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--sample") {
            sample = true;
        } else if (a == "--list") {
            list = true;
        } else if (a == "--cluster-sectors" && i + 1 < argc) {
            if (!parse_number(argv[++i], kMaxSectorsPerCluster, &sectors) || sectors == 0) {
                std::fprintf(stderr, "%s: bad cluster size %s (1 to %u sectors)\n", name(), argv[i],
                             kMaxSectorsPerCluster);
                return 1;
            }
        } else if (a == "--pids" && i + 1 < argc) {
            if (!parse_pids(argv[++i], &forced)) {
                std::fprintf(stderr, "%s: bad PID list %s (PMT,VIDEO,AUDIO)\n", name(), argv[i]);
                return 1;
            }
            have_pids = true;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            usage(stderr);
            return 1;
        } else {
            size_t eq = a.find('=');
            Input in;
            in.path = a.substr(0, eq);
            in.name = eq == std::string::npos ? base_name(in.path) : a.substr(eq + 1);
            if (in.path.empty() || in.name.empty()) {
                usage(stderr);
                return 1;
            }
            inputs.push_back(in);
        }
    }
    if (sample == !inputs.empty()) {  // exactly one of the two forms
        usage(stderr);
        return 1;
    }

    try {
        if (sample) {
            ImageBuilder img = sample_disk_of({pvr_sample_ts, pvr_sample_ts_end});
            img.write(out);
            std::fprintf(stderr, "%s: wrote %s: sample disk, %u clusters of %u bytes\n", name(),
                         out.c_str(), img.cluster_count(), img.cluster_size());
            return 0;
        }

        std::vector<std::vector<uint8_t>> streams;
        std::vector<RecordingHeader> headers;
        uint64_t clusters = 1;  // the root directory
        const uint64_t cluster_size = uint64_t(sectors) * kSectorSize;
        for (const Input& in : inputs) {
            streams.push_back(read_file(in.path));
            RecordingHeader h;
            if (have_pids) {
                h = forced;
            } else if (!pids_from_stream(streams.back(), &h)) {
                std::fprintf(stderr,
                             "%s: no PAT/PMT with MPEG video and audio found in %s; use --pids\n",
                             name(), in.path.c_str());
                return 1;
            }
            headers.push_back(h);
            uint64_t bytes = kRecordingHeaderSize + streams.back().size();
            clusters += bytes ? (bytes + cluster_size - 1) / cluster_size : 1;
        }
        if (list)
            clusters +=
                (uint64_t(inputs.size() + 1) * kListRecordSize + cluster_size - 1) / cluster_size;
        if (clusters > kMaxClusters) {
            std::fprintf(stderr, "%s: %llu clusters needed, at most %u possible\n", name(),
                         (unsigned long long)clusters, kMaxClusters);
            return 1;
        }

        ImageBuilder img(static_cast<uint32_t>(clusters),
                         static_cast<uint16_t>(sectors));  // throws when FAT2 cannot fit
        img.set_root_dir_slack(kRootSlackWholeCluster);
        img.pad_for_links();  // clusters under 1 MiB: keep every link within the disk size in MiB
        std::vector<std::string> names;
        for (size_t k = 0; k < inputs.size(); ++k) {
            img.add_recording(inputs[k].name, streams[k], headers[k]);
            names.push_back(inputs[k].name);
            std::fprintf(stderr, "%s: %s as \"%s\": PMT 0x%x, video 0x%x, audio 0x%x\n", name(),
                         inputs[k].path.c_str(), inputs[k].name.c_str(), headers[k].pmt_pid,
                         headers[k].video_pid, headers[k].audio_pid);
            streams[k].clear();
            streams[k].shrink_to_fit();
        }
        if (list) img.add_list_file(names);
        img.write(out);
        std::fprintf(stderr, "%s: wrote %s: %zu recording%s, %u clusters of %u bytes\n", name(),
                     out.c_str(), inputs.size(), inputs.size() == 1 ? "" : "s", img.cluster_count(),
                     img.cluster_size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name(), e.what());
        return 1;
    }
    return 0;
}
