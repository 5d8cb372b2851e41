// Modes "VOB" and "M2P" (convert_vob, convert_m2p) on a disk built from the
// bundled sample. Every test runs in its own temporary directory.
//   | recording / case                                  | expected                                             |
//   | the sample, VOB                                   | PID line, both descriptions, completed; 2048-byte    |
//   |                                                   | packs, SCRs never decrease; ffprobe: one MPEG-2      |
//   |                                                   | video, one MPEG audio; the packs carry contiguous    |
//   |                                                   | pieces of the sample's video and audio; ffmpeg       |
//   |                                                   | reports exactly the errors of that video alone (it   |
//   |                                                   | starts before a sequence header, the last picture is |
//   |                                                   | cut where the recording ends)                        |
//   | the sample, M2P with repack 0 and 2048            | a walk over the PES packets: every length nonzero    |
//   |                                                   | and true, pieces at most 2048; ffprobe as above      |
//   | the same recording twice in one run               | identical files and messages, both times             |
//   | one audio PES start and one audio length damaged  | VOB: "1 PES packets with a bad start dropped ..."    |
//   |                                                   | after the completion; M2P: that and "1 PES packets   |
//   |                                                   | with a wrong length (first: ... %d != %d)\n"         |
//   | output symlinked to /dev/full (POSIX)             | 4, "Write to disk failed, disk full?\n", no          |
//   |                                                   | completion                                           |
//   | a cluster of the recording cannot be read         | 4, "ReadFile failed on position ...", no completion  |
//   | M2P repack -1, 100, 192, 65542                    | 1, "Repack size %d not supported: ...", nothing      |
//   |                                                   | shown, no file; 193 and 65541 accepted; VOB ignores  |
//   | video and audio PID the same                      | 1, error naming the PID, no file                     |
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define pvr_getpid _getpid
#else
#include <unistd.h>
#define pvr_getpid getpid
#endif

#include "disk/bytes.h"
#include "mpeg/mpeg.h"
#include "support/capture.h"
#include "support/image_builder.h"
#include "support/memory_disk.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

constexpr uint32_t kAudioPid = 0x102;
constexpr char kPidLine[] = "Video PID is 257, audio PID is 258\n";
constexpr char kVideoLine[] = "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 2.50 Mbit/s\n";
constexpr char kAudioLine[] = "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n";
constexpr char kCompleted[] = "\rProcessing completed.\n";
constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";
const Messages kSampleMessages = {kPidLine, kVideoLine, kAudioLine, kCompleted};
const std::string kSamplePath = std::string(PVR_SOURCE_DIR) + "/data/sample.ts";

uint64_t scr_of(const uint8_t* p) {
    uint64_t base = uint64_t((p[0] >> 3) & 7) << 30 | uint64_t(p[0] & 3) << 28 | uint64_t(p[1]) << 20 |
                    uint64_t(p[2] >> 3) << 15 | uint64_t(p[2] & 3) << 13 | uint64_t(p[3]) << 5 |
                    uint64_t(p[4] >> 3);
    uint64_t extension = uint64_t(p[4] & 3) << 7 | uint64_t(p[5] >> 1);
    return base * 300 + extension;
}

// Walks a VOB: every pack 2048 bytes of pack header, one PES packet and
// stuffing or padding, SCRs never decreasing. Returns the number of packs.
size_t check_vob(const Bytes& vob) {
    EXPECT_EQ(vob.size() % kPackSize, 0u);
    uint64_t last_scr = 0;
    size_t packs = 0;
    for (size_t at = 0; at + kPackSize <= vob.size(); at += kPackSize, ++packs) {
        const uint8_t* p = &vob[at];
        if (get_be32(p) != 0x000001BA) {
            ADD_FAILURE() << "no pack header at " << at;
            return packs;
        }
        uint64_t scr = scr_of(p + 4);
        EXPECT_GE(scr, last_scr) << "pack " << packs;
        last_scr = scr;
        size_t stuffing = p[13] & 7;
        const uint8_t* q = p + 14 + stuffing;
        EXPECT_EQ(get_be24(q), 1u);
        EXPECT_TRUE(q[3] == 0xE0 || q[3] == 0xC0) << "pack " << packs;
        size_t end = 14 + stuffing + 6 + get_be16(q + 4);
        if (end < kPackSize) {
            EXPECT_EQ(stuffing, 0u);
            EXPECT_EQ(get_be32(p + end), 0x000001BEu) << "pack " << packs;
            EXPECT_EQ(end + 6 + get_be16(p + end + 4), kPackSize) << "pack " << packs;
        } else {
            EXPECT_EQ(end, kPackSize) << "pack " << packs;
        }
    }
    return packs;
}

// Walks an M2P from PES packet to PES packet by their lengths: every length
// nonzero and every packet starting where the one before ends.
size_t check_m2p(const Bytes& m2p, size_t max_packet) {
    size_t at = 0, packets = 0;
    while (at < m2p.size()) {
        if (m2p.size() - at < 6 || get_be24(&m2p[at]) != 1) {
            ADD_FAILURE() << "no PES packet at " << at;
            return packets;
        }
        uint32_t length = get_be16(&m2p[at + 4]);
        EXPECT_NE(length, 0u) << "at " << at;
        EXPECT_LE(length + 6u, max_packet);
        at += 6 + length;
        ++packets;
    }
    EXPECT_EQ(at, m2p.size());
    return packets;
}

#ifndef _WIN32
bool have_ffprobe() { return std::system("ffprobe -version >/dev/null 2>&1") == 0; }

std::string run_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

Bytes read_file_of(const std::string& command) {
    std::string out = run_output(command);
    return Bytes(out.begin(), out.end());
}

// The streams ffprobe finds, as sorted "codec_type,codec_name" lines.
std::vector<std::string> probe_streams(const std::string& file) {
    std::string out = run_output("ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 2>/dev/null '" +
                                 file + "'");
    std::vector<std::string> streams;
    for (size_t pos = 0; pos < out.size();) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        size_t comma = line.find(',');
        if (comma == std::string::npos) continue;   // side data lines
        size_t second = line.find(',', comma + 1);
        streams.push_back(line.substr(comma + 1, second - comma - 1) + "," + line.substr(0, comma));
    }
    std::sort(streams.begin(), streams.end());
    return streams;
}

const std::vector<std::string> kOneVideoOneAudio = {"audio,mp2", "video,mpeg2video"};

// The error lines of decoding a file with ffmpeg, without the decoder's
// "[name @ address] " prefix.
std::vector<std::string> decode_errors(const std::string& file, const std::string& format = "") {
    std::string out = run_output("ffmpeg -nostdin -v error " + format + " -i '" + file + "' -f null - 2>&1");
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < out.size();) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 1, "[") == 0 && line.find("] ") != std::string::npos) line = line.substr(line.find("] ") + 2);
        lines.push_back(line);
    }
    return lines;
}

// The payload of the PES packets of one stream id in a VOB.
Bytes vob_payload(const Bytes& vob, uint8_t id) {
    Bytes out;
    for (size_t at = 0; at + kPackSize <= vob.size(); at += kPackSize) {
        const uint8_t* q = &vob[at + 14 + (vob[at + 13] & 7)];
        if (q[3] != id) continue;
        out.insert(out.end(), q + 9 + q[8], q + 6 + get_be16(q + 4));
    }
    return out;
}

bool contains(const Bytes& whole, const Bytes& part) {
    return !part.empty() && std::search(whole.begin(), whole.end(), part.begin(), part.end()) != whole.end();
}
#endif

#define REQUIRE_FFPROBE()                                                         \
    do {                                                                          \
        if (!have_ffprobe()) {                                                    \
            const char* ci = std::getenv("CI");                                   \
            if (ci && std::string(ci) == "true") FAIL() << "ffprobe is missing";  \
            GTEST_SKIP() << "ffprobe not installed";                              \
        }                                                                         \
    } while (0)

class ProgramStreams : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("pvr_ps_" + std::to_string(pvr_getpid()) + "_" + test->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        old_ = fs::current_path();
        fs::current_path(dir_);
        ts_ = load_sample_ts();
        ASSERT_EQ(ts_.size() % kTsPacketSize, 0u);
        repack = 0;
    }
    void TearDown() override {
        repack = 0;
        qv_close();
        uninstall_memory_disk();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    void open(const std::vector<std::pair<std::string, Bytes>>& recordings, RecordingHeader h = {}) {
        ImageBuilder img(6 * uint32_t(recordings.size()) + 2);
        for (const auto& r : recordings) img.add_recording(r.first, r.second, h);
        disk_.image = img.image();
        install_memory_disk(&disk_);
        ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
        ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), int(recordings.size()));
        clear_capture();
    }
    int convert(int (*conversion)(int, progress_callback), int index) {
        clear_capture();
        return conversion(index, capture_progress);
    }
    fs::path dir_, old_;
    MemoryDisk disk_;
    Bytes ts_;
};

TEST_F(ProgramStreams, VobOfTheSampleIsWellFormedAndPlays) {
    open({{"Sample", ts_}});
    ASSERT_EQ(convert(convert_vob, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, kSampleMessages);
    Bytes vob = read_file("Sample.vob");
    EXPECT_GT(check_vob(vob), 1000u);
#ifndef _WIN32
    REQUIRE_FFPROBE();
    EXPECT_EQ(probe_streams("Sample.vob"), kOneVideoOneAudio);
    // The packs carry a contiguous piece of the recording's video and audio.
    Bytes video = vob_payload(vob, 0xE0), audio = vob_payload(vob, 0xC0);
    write_file("video.m2v", video);
    Bytes ref_video = read_file_of("ffmpeg -nostdin -v error -i '" + kSamplePath + "' -map 0:v:0 -c copy -f mpeg2video -");
    Bytes ref_audio = read_file_of("ffmpeg -nostdin -v error -i '" + kSamplePath + "' -map 0:a:0 -c copy -f mp2 -");
    EXPECT_TRUE(contains(ref_video, video));
    EXPECT_TRUE(contains(ref_audio, audio));
    // The video starts at the first packet with a PTS once both streams are
    // described, inside a GOP and before its sequence header, and ends with
    // the pieces of the last PES packet, whose rest the recording ended on.
    // Decoding the packs gives exactly the errors of decoding that video on
    // its own: the multiplex adds none.
    std::vector<std::string> inherent = decode_errors("video.m2v", "-f mpegvideo");
    EXPECT_EQ(decode_errors("Sample.vob"), inherent);
    for (const std::string& line : inherent)
        EXPECT_TRUE(line == "Invalid frame dimensions 0x0." || line.find("Last message repeated") != std::string::npos ||
                    line.find("ac-tex damaged") != std::string::npos || line == "Warning MVs not available")
            << line;
#endif
}

TEST_F(ProgramStreams, M2pCarriesTrueLengthsWithAndWithoutRepack) {
    open({{"Sample", ts_}});
    ASSERT_EQ(convert(convert_m2p, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, kSampleMessages);
    Bytes whole = read_file("Sample.m2p");
    size_t whole_packets = check_m2p(whole, kMaxPesPacketLength);
    fs::rename("Sample.m2p", "whole.m2p");

    repack = 2048;
    ASSERT_EQ(convert(convert_m2p, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, kSampleMessages);
    Bytes cut = read_file("Sample.m2p");
    size_t cut_packets = check_m2p(cut, 2048);
    EXPECT_GT(cut_packets, whole_packets);
#ifndef _WIN32
    REQUIRE_FFPROBE();
    EXPECT_EQ(probe_streams("whole.m2p"), kOneVideoOneAudio);
    EXPECT_EQ(probe_streams("Sample.m2p"), kOneVideoOneAudio);
#endif
}

TEST_F(ProgramStreams, ConvertingTwiceGivesTheSameFiles) {
    open({{"Sample", ts_}});
    for (auto conversion : {convert_vob, convert_m2p}) {
        ASSERT_EQ(convert(conversion, 0), 0) << qv_error;
        Bytes first = read_file(conversion == convert_vob ? "Sample.vob" : "Sample.m2p");
        ASSERT_EQ(convert(conversion, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, kSampleMessages);
        EXPECT_TRUE(read_file(conversion == convert_vob ? "Sample.vob" : "Sample.m2p") == first);
    }
}

// The first transport packet of the n-th audio PES packet.
size_t audio_pes_start(const Bytes& ts, size_t n) {
    for (size_t i = 0; (i + 1) * kTsPacketSize <= ts.size(); ++i) {
        const uint8_t* p = &ts[i * kTsPacketSize];
        if ((get_be16(p + 1) & kPidMask) == kAudioPid && (p[1] & 0x40) && n-- == 0) return i * kTsPacketSize;
    }
    return 0;
}

TEST_F(ProgramStreams, DamagedPesPacketsAreCountedAtTheEnd) {
    Bytes damaged = ts_;
    uint32_t declared = 0;
    for (size_t n : {20, 30}) {
        size_t at = audio_pes_start(damaged, n);
        ASSERT_NE(at, 0u);
        uint8_t* p = &damaged[at];
        uint8_t* payload = p + 4 + ((p[3] & 0x20) ? p[4] + 1 : 0);
        ASSERT_EQ(get_be24(payload), 1u);
        if (n == 20) {
            payload[2] = 0x02;   // no start code
        } else {
            declared = get_be16(payload + 4);
            put_be16(payload + 4, declared + 1);
        }
    }
    open({{"Damaged", damaged}});
    ASSERT_EQ(convert(convert_vob, 0), 0) << qv_error;
    Messages expected = kSampleMessages;
    // The packet with a bad start is dropped with all its pieces; the wrong
    // length of a packet split into pieces is not seen.
    expected.push_back("1 PES packets with a bad start dropped (Bad PES packet start)\n");
    EXPECT_EQ(capture().messages, expected);
    check_vob(read_file("Damaged.vob"));

    ASSERT_EQ(convert(convert_m2p, 0), 0) << qv_error;
    expected.push_back("1 PES packets with a wrong length (first: bad PES packet length " + std::to_string(declared + 1) +
                       " != " + std::to_string(declared) + ")\n");
    EXPECT_EQ(capture().messages, expected);
    check_m2p(read_file("Damaged.m2p"), kMaxPesPacketLength);
}

#ifndef _WIN32
TEST_F(ProgramStreams, DiskFullIsAFailure) {
    open({{"Sample", ts_}});
    fs::create_symlink("/dev/full", "Sample.vob");
    EXPECT_EQ(convert(convert_vob, 0), kConversionFailed);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, (Messages{kPidLine, kVideoLine, kAudioLine}));

    fs::create_symlink("/dev/full", "Sample.m2p");
    EXPECT_EQ(convert(convert_m2p, 0), kConversionFailed);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, (Messages{kPidLine, kVideoLine, kAudioLine}));
}
#endif

TEST_F(ProgramStreams, ReadErrorIsAFailure) {
    open({{"Sample", ts_}});
    disk_.fail_read = disk_.reads + 3;
    EXPECT_EQ(convert(convert_vob, 0), kConversionFailed);
    std::string error = qv_error;
    EXPECT_EQ(error.compare(0, 28, "ReadFile failed on position "), 0) << error;
    EXPECT_NE(error.find(" with code 5\n"), std::string::npos) << error;
    for (const std::string& m : capture().messages) EXPECT_NE(m, kCompleted);
    EXPECT_EQ(capture().messages.front(), kPidLine);
}

TEST_F(ProgramStreams, RepackSizeOutsideTheRangeIsRefused) {
    open({{"Short", Bytes(ts_.begin(), ts_.begin() + 3000 * kTsPacketSize)}});
    for (int size : {-1, 100, 192, 65542}) {
        repack = size;
        EXPECT_EQ(convert(convert_m2p, 0), 1) << size;
        EXPECT_EQ(std::string(qv_error),
                  "Repack size " + std::to_string(size) + " not supported: use 0 or a size from 193 to 65541\n");
        EXPECT_EQ(capture().messages, Messages{});
        EXPECT_FALSE(fs::exists("Short.m2p"));
    }
    for (int size : {193, 65541}) {
        repack = size;
        EXPECT_EQ(convert(convert_m2p, 0), 0) << qv_error;
        check_m2p(read_file("Short.m2p"), size_t(size));
    }
    repack = 100;
    EXPECT_EQ(convert(convert_vob, 0), 0) << qv_error;
    check_vob(read_file("Short.vob"));
}

TEST_F(ProgramStreams, SamePidForVideoAndAudioIsRefused) {
    RecordingHeader h;
    h.audio_pid = h.video_pid;
    open({{"Sample", Bytes(ts_.begin(), ts_.begin() + 1000 * kTsPacketSize)}}, h);
    for (auto conversion : {convert_vob, convert_m2p}) {
        EXPECT_EQ(convert(conversion, 0), 1);
        EXPECT_STREQ(qv_error, "Video and audio PID are both 257: the recording cannot be multiplexed\n");
        EXPECT_EQ(capture().messages, Messages{"Video PID is 257, audio PID is 257\n"});
    }
    EXPECT_FALSE(fs::exists("Sample.vob"));
    EXPECT_FALSE(fs::exists("Sample.m2p"));
}

}  // namespace
