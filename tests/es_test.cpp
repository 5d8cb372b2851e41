// Modes "M2V" and "MP3" (convert_m2v, convert_mp3, out_es) on a disk built
// from the bundled sample. Every test runs in its own temporary directory.
//   | recording / case                                   | expected                                            |
//   | the sample, M2V                                    | ffmpeg's mpeg2video copy but its last PES packet,   |
//   |                                                    | "Video PID is 257\n", completed                     |
//   | the sample, MP3 twice                              | ffmpeg's mp2 copy but the last PES; decodes without |
//   |                                                    | a message; the description shown both times         |
//   | sample with a video packet doubled, another video  | M2V: the clean output without the PES that lost a   |
//   | packet dropped, an audio sync byte corrupted       | packet, 1 out of sequence; MP3 likewise             |
//   | output symlinked to /dev/full (POSIX)              | 4, "Write to disk failed, disk full?\n", no         |
//   |                                                    | completion                                          |
//   | output name taken by a directory                   | 2, "Output file creation failed\n", PID line shown  |
//   | recording without transport packets                | 1, "Open of recording Empty failed.\n"              |
//   | out_es: header length 0 / 4, packet shorter than   | 9 / 13 bytes taken off; nothing written, 0          |
//   | its header, write to /dev/full                     | 1, "Write to disk failed, disk full?\n"             |
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define pvr_getpid _getpid
#else
#include <unistd.h>
#define pvr_getpid getpid
#endif

#include "mpeg/mpeg.h"
#include "support/capture.h"
#include "support/image_builder.h"
#include "support/memory_disk.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

constexpr uint32_t kVideoPid = 0x101;
constexpr uint32_t kAudioPid = 0x102;
constexpr char kCompleted[] = "\rProcessing completed.\n";
constexpr char kAudioLine[] = "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n";
constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";
const std::string kSamplePath = std::string(PVR_SOURCE_DIR) + "/data/sample.ts";

// Transport packets of the sample, as the tests look at them.
uint32_t pid_of(const uint8_t* p) { return uint32_t(p[1] & 0x1F) << 8 | p[2]; }
bool starts(const uint8_t* p) { return (p[1] & 0x40) != 0; }
bool has_payload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
size_t payload_at(const uint8_t* p) { return 4 + ((p[3] & 0x20) ? p[4] + 1u : 0u); }

// One PES packet of a PID in the sample: its packets with payload and the
// number of elementary stream bytes it carries.
struct Pes {
    std::vector<size_t> packets;
    size_t es_bytes = 0;
};

std::vector<Pes> pes_of(const Bytes& ts, uint32_t pid) {
    std::vector<Pes> out;
    for (size_t i = 0; (i + 1) * kTsPacketSize <= ts.size(); ++i) {
        const uint8_t* p = &ts[i * kTsPacketSize];
        if (pid_of(p) != pid || !has_payload(p)) continue;
        size_t at = payload_at(p);
        if (starts(p)) {
            out.emplace_back();
            at += 9 + p[at + 8];
        } else if (out.empty()) {
            continue;
        }
        out.back().packets.push_back(i);
        out.back().es_bytes += kTsPacketSize - at;
    }
    return out;
}

size_t es_offset(const std::vector<Pes>& pes, size_t index) {
    size_t offset = 0;
    for (size_t i = 0; i < index; ++i) offset += pes[i].es_bytes;
    return offset;
}

bool no_sync_byte_inside(const Bytes& ts, size_t packet) {
    for (size_t i = 1; i < kTsPacketSize; ++i)
        if (ts[packet * kTsPacketSize + i] == kTsSyncByte) return false;
    return true;
}

// Elementary stream bytes without the PES packet `index`.
Bytes without(const Bytes& es, const std::vector<Pes>& pes, size_t index) {
    size_t from = es_offset(pes, index);
    Bytes out(es.begin(), es.begin() + long(from));
    out.insert(out.end(), es.begin() + long(from + pes[index].es_bytes), es.end());
    return out;
}

#ifndef _WIN32
bool have_ffmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// Standard output of a shell command.
Bytes run_output(const std::string& command) {
    Bytes out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.insert(out.end(), buf, buf + n);
    pclose(pipe);
    return out;
}
#endif

#define REQUIRE_FFMPEG()                                                        \
    do {                                                                        \
        if (!have_ffmpeg()) {                                                   \
            const char* ci = std::getenv("CI");                                 \
            if (ci && std::string(ci) == "true") FAIL() << "ffmpeg is missing"; \
            GTEST_SKIP() << "ffmpeg not installed";                             \
        }                                                                       \
    } while (0)

class ElementaryStreams : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("pvr_es_" + std::to_string(pvr_getpid()) + "_" + test->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        old_ = fs::current_path();
        fs::current_path(dir_);
        ts_ = load_sample_ts();
        ASSERT_EQ(ts_.size() % kTsPacketSize, 0u);
    }
    void TearDown() override {
        qv_close();
        uninstall_memory_disk();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    // Opens a disk with the given recordings and fills the recording table.
    void open(const std::vector<std::pair<std::string, Bytes>>& recordings) {
        ImageBuilder img(6 * uint32_t(recordings.size()) + 2);
        for (const auto& r : recordings) img.add_recording(r.first, r.second);
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

TEST_F(ElementaryStreams, M2vIsFfmpegsVideoButTheLastPes) {
    open({{"Sample", ts_}});
    ASSERT_EQ(convert(convert_m2v, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, (Messages{"Video PID is 257\n", kCompleted}));
    Bytes out = read_file("Sample.m2v");
    std::vector<Pes> pes = pes_of(ts_, kVideoPid);
    ASSERT_GT(pes.size(), 100u);
    EXPECT_EQ(out.size(), es_offset(pes, pes.size() - 1));
#ifndef _WIN32
    REQUIRE_FFMPEG();
    Bytes ref = run_output("ffmpeg -v error -i '" + kSamplePath + "' -map 0:v:0 -c copy -f mpeg2video -");
    ASSERT_EQ(ref.size(), es_offset(pes, pes.size()));
    ASSERT_LT(out.size(), ref.size());
    EXPECT_TRUE(Bytes(ref.begin(), ref.begin() + long(out.size())) == out);
#endif
}

TEST_F(ElementaryStreams, Mp3IsFfmpegsAudioButTheLastPesAndDecodes) {
    open({{"Sample", ts_}});
    ASSERT_EQ(convert(convert_mp3, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, (Messages{"Audio PID is 258\n", kAudioLine, kCompleted}));
    Bytes out = read_file("Sample.mp3");
    // A second conversion shows the description again and writes the same file.
    ASSERT_EQ(convert(convert_mp3, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, (Messages{"Audio PID is 258\n", kAudioLine, kCompleted}));
    EXPECT_TRUE(read_file("Sample.mp3") == out);
    std::vector<Pes> pes = pes_of(ts_, kAudioPid);
    EXPECT_EQ(out.size(), es_offset(pes, pes.size() - 1));
#ifndef _WIN32
    REQUIRE_FFMPEG();
    Bytes ref = run_output("ffmpeg -v error -i '" + kSamplePath + "' -map 0:a:0 -c copy -f mp2 -");
    ASSERT_EQ(ref.size(), es_offset(pes, pes.size()));
    EXPECT_TRUE(Bytes(ref.begin(), ref.begin() + long(out.size())) == out);
    EXPECT_EQ(run_output("ffmpeg -v error -i Sample.mp3 -f null - 2>&1"), Bytes{});
#endif
}

// Damage in the recording: a video packet doubled (dropped as a duplicate),
// another video packet missing (its PES lost), an audio packet whose sync
// byte is corrupted (the reader passes it over, its PES lost).
TEST_F(ElementaryStreams, DamagedRecordingLosesOnlyTheDamagedPes) {
    std::vector<Pes> video = pes_of(ts_, kVideoPid), audio = pes_of(ts_, kAudioPid);
    const size_t doubled_pes = 10, dropped_pes = 20;
    ASSERT_GE(video[doubled_pes].packets.size(), 3u);
    ASSERT_GE(video[dropped_pes].packets.size(), 3u);
    size_t doubled = video[doubled_pes].packets[1], dropped = video[dropped_pes].packets[1];
    size_t corrupt_pes = 5, corrupted = 0;
    for (; corrupt_pes < audio.size(); ++corrupt_pes) {
        const Pes& p = audio[corrupt_pes];
        if (p.packets.size() >= 3 && no_sync_byte_inside(ts_, p.packets[1])) {
            corrupted = p.packets[1];
            break;
        }
    }
    ASSERT_NE(corrupted, 0u) << "no audio packet without 0x47 inside";

    Bytes damaged;
    for (size_t i = 0; i * kTsPacketSize < ts_.size(); ++i) {
        auto packet = ts_.begin() + long(i * kTsPacketSize);
        if (i == dropped) continue;
        size_t at = damaged.size();
        damaged.insert(damaged.end(), packet, packet + kTsPacketSize);
        if (i == corrupted) damaged[at] = 0x00;
        if (i == doubled) damaged.insert(damaged.end(), packet, packet + kTsPacketSize);
    }
    open({{"Clean", ts_}, {"Damaged", damaged}});
    ASSERT_EQ(convert(convert_m2v, 0), 0);
    ASSERT_EQ(convert(convert_mp3, 0), 0);
    Bytes clean_m2v = read_file("Clean.m2v"), clean_mp3 = read_file("Clean.mp3");

    const int64_t delivered = int64_t(ts_.size() / kTsPacketSize) + 1 - 1 - 1;
    ASSERT_EQ(convert(convert_m2v, 1), 0);
    EXPECT_EQ(capture().messages, (Messages{"Video PID is 257\n", kCompleted, "1 packets out of sequence\n"}));
    const demux_counts* c = last_demux_counts();
    EXPECT_EQ(c->packets, delivered);
    EXPECT_EQ(c->out_of_sequence, 1);
    EXPECT_EQ(c->scrambled, 0);
    EXPECT_EQ(c->bad_sync, 0);
    EXPECT_TRUE(read_file("Damaged.m2v") == without(clean_m2v, video, dropped_pes));

    ASSERT_EQ(convert(convert_mp3, 1), 0);
    EXPECT_EQ(capture().messages,
              (Messages{"Audio PID is 258\n", kAudioLine, kCompleted, "1 packets out of sequence\n"}));
    EXPECT_EQ(last_demux_counts()->out_of_sequence, 1);
    EXPECT_TRUE(read_file("Damaged.mp3") == without(clean_mp3, audio, corrupt_pes));
}

#ifndef _WIN32
TEST_F(ElementaryStreams, DiskFullIsAFailure) {
    open({{"Sample", ts_}});
    fs::create_symlink("/dev/full", "Sample.m2v");
    EXPECT_EQ(convert(convert_m2v, 0), kConversionFailed);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, Messages{"Video PID is 257\n"});

    // A stream small enough to stay in the write buffer fails at the flush.
    Bytes small(ts_.begin(), ts_.begin() + 2000 * kTsPacketSize);
    qv_close();
    uninstall_memory_disk();
    open({{"Small", small}});
    fs::create_symlink("/dev/full", "Small.mp3");
    EXPECT_EQ(convert(convert_mp3, 0), kConversionFailed);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, (Messages{"Audio PID is 258\n", kAudioLine}));
}
#endif

TEST_F(ElementaryStreams, OutputOrRecordingCannotBeOpened) {
    ImageBuilder img(4);
    img.add_recording("Sample", Bytes(ts_.begin(), ts_.begin() + 100 * kTsPacketSize));
    img.add_file(0, kTypeRecording, "Empty", Bytes(2000, 0x00));
    disk_.image = img.image();
    install_memory_disk(&disk_);
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 2);

    fs::create_directory("Sample.m2v");
    EXPECT_EQ(convert(convert_m2v, 0), 2);
    EXPECT_STREQ(qv_error, "Output file creation failed\n");
    EXPECT_EQ(capture().messages, Messages{"Video PID is 257\n"});

    EXPECT_EQ(convert(convert_mp3, 1), 1);
    EXPECT_STREQ(qv_error, "Open of recording Empty failed.\n");
    EXPECT_FALSE(fs::exists("Empty.mp3"));
}

class OutEs : public ::testing::Test {
protected:
    void SetUp() override {
        stream_.reset(new demux_stream);
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
        stream_->file = file_;
        reset_es_state();
    }
    void TearDown() override {
        if (file_) fclose(file_);
    }
    int write(const Bytes& pes) {
        std::copy(pes.begin(), pes.end(), stream_->buffer);
        stream_->length = int32_t(pes.size());
        return out_es(stream_.get());
    }
    Bytes written() {
        fflush(file_);
        Bytes out(size_t(ftell(file_)));
        rewind(file_);
        EXPECT_EQ(fread(out.data(), 1, out.size(), file_), out.size());
        return out;
    }
    std::unique_ptr<demux_stream> stream_;
    FILE* file_ = nullptr;
};

TEST_F(OutEs, TakesOffExactlyTheHeader) {
    EXPECT_EQ(write({0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0x11, 0x22}), 0);
    EXPECT_EQ(write({0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 4, 0x21, 1, 1, 1, 0x33}), 0);
    // Shorter than its own header (9 + 20): nothing written.
    EXPECT_EQ(write({0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 20, 0x21, 1, 1, 1, 0x44}), 0);
    EXPECT_EQ(write({0, 0, 1}), 0);
    EXPECT_EQ(written(), (Bytes{0x11, 0x22, 0x33}));
}

#ifndef _WIN32
TEST_F(OutEs, ShortWriteIsReported) {
    fclose(file_);
    file_ = fopen("/dev/full", "wb");
    ASSERT_NE(file_, nullptr);
    setvbuf(file_, nullptr, _IONBF, 0);
    stream_->file = file_;
    qv_set_error("before");
    EXPECT_EQ(write({0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0x11, 0x22}), 1);
    EXPECT_STREQ(qv_error, kWriteFailed);
}
#endif

}  // namespace
