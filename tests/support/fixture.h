// What the tests share: the capture, fixtures (in-memory disk, own directory, sample recordings, a
// demux_stream fed by hand), texts the product shows, literal bytes, and running ffprobe and
// ffmpeg.
#pragma once
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>
#include "mpeg/mpeg.h"
#include "support/memory_disk.h"
#include "tools/image_builder.h"
using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

// Texts the product shows; the sample's streams (and headers built like them) as described.
inline constexpr char kCompleted[] = "\rProcessing completed.\n";
inline constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";
inline constexpr char kVideoLine[] =
    "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 2.50 Mbit/s\n";
inline constexpr char kAudioLine[] = "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n";

// What the product shows through its progress callback: the lines, the percentages.
struct Capture {
    Messages messages;
    std::vector<int> percents;
};
inline Capture& capture() {
    static Capture c;
    return c;
}
inline void capture_progress(int value, const char* line) {
    if (value < 0) {
        capture().messages.push_back(line);
        return;
    }
    capture().percents.push_back(value);
}
inline void clear_capture() { capture() = Capture(); }

inline void append(Bytes& to, const Bytes& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}
// Literal bytes, hexadecimal pairs with spaces ignored: hex("47 40 00 10").
inline Bytes hex(const char* text) {
    Bytes out;
    for (const char* p = text; *p; ++p) {
        if (*p == ' ') continue;
        out.push_back(uint8_t(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        ++p;
    }
    return out;
}
inline constexpr int64_t kNone = -1;

// A PES packet of size bytes with an MPEG-2 header, the time stamps given, a sequence header
// (video) or an audio frame header when frame, then 55s; PES_packet_length declared, or size - 6.
inline Bytes pes(uint8_t id, size_t size, int64_t pts = kNone, int64_t dts = kNone,
                 bool frame = false, int declared = -1) {
    Bytes b = {0, 0, 1, id, 0, 0, 0x84, 0, 0};
    // Each time stamp in its 5-byte field, the field's prefix: PTS alone 0010, PTS of a pair 0011,
    // DTS 0001; PTS_DTS_flags in byte 7.
    struct stamp {
        int64_t time;
        uint8_t prefix, flag;
    };
    const stamp stamps[2] = {{pts, uint8_t(dts == kNone ? 0x20 : 0x30), 0x80}, {dts, 0x10, 0x40}};
    for (const stamp& s : stamps) {
        if (s.time == kNone) continue;
        const uint64_t t = uint64_t(s.time);
        append(b, {uint8_t(s.prefix | (t >> 29 & 0x0E) | 1), uint8_t(t >> 22),
                   uint8_t((t >> 14 & 0xFE) | 1), uint8_t(t >> 7), uint8_t((t << 1 & 0xFE) | 1)});
        b[7] |= s.flag;
    }
    b[8] = uint8_t(b.size() - 9);
    if (frame)
        append(b, id >= 0xE0 ? hex("00 00 01 B3 2D 02 40 33 06 1A A0 00 00 00 00 00 00")
                             : hex("FF FD A4 04"));
    b.resize(size, 0x55);
    put_be16(&b[4], declared >= 0 ? uint32_t(declared) : uint32_t(size - 6));
    return b;
}
// printf into a string.
inline std::string format(const char* fmt, ...) QV_PRINTF_FORMAT(1, 2);
inline std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// The run's settings (the disk's, the copies', the streams', the repack size, the interrupt) as a
// test changes them, put back when the guard goes, however the test ends. Every fixture holds one.
struct SettingsGuard {
    const qv_settings disk = qv_options;
    const copy_settings copy = copy_options;
    const stream_settings streams = stream_options;
    const int repack_size = repack;
    ~SettingsGuard() {
        qv_options = disk;
        copy_options = copy;
        stream_options = streams;
        repack = repack_size;
        qv_interrupted = 0;
    }
};

// A test on the in-memory disk, closed after it; its bytes must be unchanged unless
// changed_by_test().
class DiskTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(opened_.empty() || disk_.image == opened_) << "the disk was written to";
        close_disk();
    }
    void changed_by_test() { opened_.clear(); }
    static void close_disk() {
        qv_close();
        uninstall_memory_disk();
    }
    // Installs img as the in-memory disk and opens it, the capture cleared before; open_qvdisk's
    // result.
    int open_disk(const ImageBuilder& img) {
        close_disk();
        disk_.image = img.image();
        opened_ = disk_.image;
        install_memory_disk(&disk_);
        clear_capture();
        return open_qvdisk(capture_progress);
    }
    // Opens img (links padded) and reads the root, which must hold `recordings` (-1: some); clears
    // the capture.
    void mount(ImageBuilder& img, int recordings = -1) {
        img.pad_for_links();
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        int found = parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
        ASSERT_TRUE(recordings < 0 ? found > 0 : found == recordings)
            << found << " recordings: " << qv_error;
        clear_capture();
    }
    MemoryDisk disk_;
    Bytes opened_;
    SettingsGuard settings_;
};

// A test in a fresh temporary directory of its own (outputs go to the current directory), removed
// after it.
class TempDirTest : public DiskTest {
protected:
    void SetUp() override {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("pvr_" + std::to_string(std::random_device()()) + "_" + test->test_suite_name() +
                "_" + test->name());
        old_ = std::filesystem::current_path();
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        clear_capture();
    }
    void TearDown() override {
        DiskTest::TearDown();
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_, old_;
};

using Conversion = int (*)(int, progress_callback);

// Conversions of recordings made from the bundled sample (ts_).
class ConversionTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempDirTest::SetUp());
        ts_ = load_sample_ts();
        ASSERT_EQ(ts_.size() % kTsPacketSize, 0u);
    }
    // Runs a conversion of recording index; the capture holds what it showed.
    static int convert(Conversion conversion, int index) {
        clear_capture();
        return conversion(index, capture_progress);
    }
    Bytes ts_;
};

// A demux_stream fed by hand, as the demultiplexer leaves it, writing into a temporary file;
// warnings captured.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = static_cast<demux_stream*>(calloc(1, sizeof(demux_stream)));
        ASSERT_NE(stream_, nullptr);
        set_file(std::tmpfile());
        ASSERT_NE(file_, nullptr);
        qv->progress = capture_progress;
        clear_capture();
    }
    void TearDown() override {
        qv->progress = nullptr;
        set_file(nullptr);
        free(stream_);
    }
    void set_file(FILE* file) {  // null: closes the file
        if (file_) fclose(file_);
        stream_->file = file_ = file;
    }
    // Puts packet into the stream's buffer.
    void load(const Bytes& packet) {
        std::copy(packet.begin(), packet.end(), stream_->buffer);
        stream_->length = int32_t(packet.size());
    }
    int feed(demux_fn fn, const Bytes& packet) {
        load(packet);
        return fn(stream_);
    }
    Bytes written() {
        fflush(file_);
        Bytes out(size_t(ftell(file_)));
        rewind(file_);
        EXPECT_EQ(fread(out.data(), 1, out.size(), file_), out.size());
        return out;
    }
    void clear_written() { set_file(std::tmpfile()); }
    demux_stream* stream_ = nullptr;
    FILE* file_ = nullptr;
    SettingsGuard settings_;
};

// A packet of pid, counter seq mod 16, whose payload names seq in bytes never 0x47 (no two packets
// alike, no sync byte inside); and packets first .. first + count - 1.
inline Bytes numbered_packet(uint32_t seq, uint32_t pid = 0x101) {
    Bytes p(kTsPacketSize, 0xAA);
    p[0] = kTsSyncByte;
    p[1] = uint8_t(pid >> 8 & 0x1F);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (seq & 0x0F));
    for (int i = 0; i < 4; ++i) p[4 + i] = uint8_t(0x80 | (seq >> (6 * i) & 0x3F));
    return p;
}
inline Bytes numbered_packets(uint32_t first, uint32_t count) {
    Bytes out;
    for (uint32_t s = first; s < first + count; ++s)
        for (uint8_t b : numbered_packet(s)) out.push_back(b);
    return out;
}

#ifndef _WIN32
// The standard output of a shell command.
inline std::string run_tool(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[65536];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    if (pipe) pclose(pipe);
    return out;
}
// Whether the shell finds the tool (dvdauthor has no option that ends with status 0).
inline bool tool_present(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}
// Skips the test when the tool is missing; in CI (env CI "true") a missing tool fails it.
#define REQUIRE_TOOL(name)                                                 \
    do {                                                                   \
        if (tool_present(name)) break;                                     \
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") \
            FAIL() << name << " is missing";                               \
        GTEST_SKIP() << name << " not installed";                          \
    } while (0)
#endif
