// What the test files share: fixtures that run a test on the in-memory disk,
// in a fresh directory of its own, on disks of recordings made from the
// bundled sample, or with a demux_stream fed by hand; the texts the
// conversions show; and the running of ffprobe and ffmpeg.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
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
#include "tools/image_builder.h"
#include "support/memory_disk.h"

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

// Texts the product shows.
inline constexpr char kCompleted[] = "\rProcessing completed.\n";
inline constexpr char kWriteFailed[] = "Write to disk failed, disk full?\n";
// The descriptions of the sample's streams (and of the headers built like them).
inline constexpr char kVideoLine[] = "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 2.50 Mbit/s\n";
inline constexpr char kAudioLine[] = "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n";

// printf into a string.
std::string format(const char* fmt, ...) QV_PRINTF_FORMAT(1, 2);

// Whether any captured message tells of a completed run.
inline bool shown_completion() {
    for (const std::string& m : capture().messages)
        if (m.find("Processing completed") != std::string::npos) return true;
    return false;
}

// A test on the in-memory disk, closed and uninstalled after it. Nothing
// the product does may change the disk: after the test its bytes must be
// those it was opened with, unless the test itself damaged it on purpose
// (changed_by_test).
class DiskTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!opened_.empty()) {
            EXPECT_TRUE(disk_.image == opened_) << "the disk was written to";
        }
        close_disk();
    }
    // The test changes the disk after opening it (damage, a shrinking image).
    void changed_by_test() { opened_.clear(); }
    static void close_disk() {
        qv_close();
        uninstall_memory_disk();
    }
    // Installs img as the in-memory disk and opens it, the capture started
    // afresh before. Returns open_qvdisk's result.
    int open_disk(const ImageBuilder& img) {
        close_disk();
        disk_.image = img.image();
        opened_ = disk_.image;
        install_memory_disk(&disk_);
        clear_capture();
        return open_qvdisk(capture_progress);
    }
    // Opens img and fills the recording table from the root directory;
    // `recordings` is the count it must find (-1: at least one). Links are
    // padded for first (nothing to do with 1 MiB clusters); the capture
    // starts afresh behind it.
    void mount(ImageBuilder& img, int recordings = -1) {
        img.pad_for_links();
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        int found = parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
        if (recordings < 0)
            ASSERT_GT(found, 0) << qv_error;
        else
            ASSERT_EQ(found, recordings) << qv_error;
        clear_capture();
    }
    MemoryDisk disk_;
    Bytes opened_;   // the disk's bytes when it was opened
};

// A test in a fresh temporary directory of its own (the conversions and
// copies write into the current directory), removed after it.
class TempDirTest : public DiskTest {
protected:
    void SetUp() override {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / ("pvr_" + std::to_string(pvr_getpid()) + "_" +
                                                         test->test_suite_name() + "_" + test->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        old_ = std::filesystem::current_path();
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

inline std::string sample_path() { return std::string(PVR_SOURCE_DIR) + "/data/sample.ts"; }

// Conversions of recordings made from the bundled sample (ts_).
class ConversionTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempDirTest::SetUp());
        ts_ = load_sample_ts();
        ASSERT_EQ(ts_.size() % kTsPacketSize, 0u);
    }
    // A disk of 1 MiB clusters holding these recordings (name, packets), all with header h.
    void mount_recordings(const std::vector<std::pair<std::string, Bytes>>& recordings, RecordingHeader h = {}) {
        ImageBuilder img(6 * uint32_t(recordings.size()) + 2);
        for (const auto& r : recordings) img.add_recording(r.first, r.second, h);
        mount(img, int(recordings.size()));
    }
    // Runs a conversion of recording index; the capture holds what it showed.
    static int convert(Conversion conversion, int index) {
        clear_capture();
        return conversion(index, capture_progress);
    }
    Bytes ts_;
};

// A demux_stream record fed by hand, as the demultiplexer leaves it, writing
// into a temporary file; warnings go to the capture.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = static_cast<demux_stream*>(calloc(1, sizeof(demux_stream)));
        ASSERT_NE(stream_, nullptr);
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
        stream_->file = file_;
        qv->progress = capture_progress;
        clear_capture();
    }
    void TearDown() override {
        qv->progress = nullptr;
        if (file_) fclose(file_);
        free(stream_);
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
    void clear_written() {
        fclose(file_);
        file_ = std::tmpfile();
        stream_->file = file_;
    }
#ifndef _WIN32
    // From here on every write goes unbuffered to a full device.
    void write_to_full_device() {
        fclose(file_);
        file_ = fopen("/dev/full", "wb");
        ASSERT_NE(file_, nullptr);
        setvbuf(file_, nullptr, _IONBF, 0);
        stream_->file = file_;
    }
#endif
    demux_stream* stream_ = nullptr;
    FILE* file_ = nullptr;
};

// A transport packet of pid whose payload names seq in bytes that are never
// 0x47 (a scan for a sync byte never stops inside it, no two are alike),
// continuity counter seq mod 16; and packets first .. first + count - 1.
Bytes numbered_packet(uint32_t seq, uint32_t pid = 0x101);
Bytes numbered_packets(uint32_t first, uint32_t count);

#ifndef _WIN32
// Whether "name -version" runs.
bool tool_present(const char* name);
// The standard output of a shell command.
std::string run_tool(const std::string& command);
inline Bytes run_tool_bytes(const std::string& command) {
    std::string out = run_tool(command);
    return Bytes(out.begin(), out.end());
}
bool running_in_ci();

// Skips the test when the tool is missing; in CI (env CI "true") every tool
// must be there, and a missing one fails the test.
#define REQUIRE_TOOL(name)                                                \
    do {                                                                  \
        if (!tool_present(name)) {                                        \
            if (running_in_ci()) FAIL() << name << " is missing";         \
            GTEST_SKIP() << name << " not installed";                     \
        }                                                                 \
    } while (0)

// The whole program (run_pvrcopy) as a child process in dir, with the
// arguments behind the program name "pvrcopy" and input on a pipe as its
// standard input; standard output and error are collected. While it runs,
// meanwhile(pid, out) is called (out: the file descriptor of its standard
// output so far) before the input is closed. file_limit > 0: files of at
// most that many bytes (a write beyond fails with EFBIG). A hang ends as
// SIGALRM after 60 s.
struct Outcome {
    int status;   // exit status, or 128 + signal
    std::string out, err;
};
Outcome run_child(const std::filesystem::path& dir, const std::vector<std::string>& args,
                  const std::string& input = "", const std::function<void(int pid, int out)>& meanwhile = {},
                  long file_limit = 0);
// Blocks until the child's standard output (out, as given to meanwhile) holds text.
bool wait_for_output(int out, const std::string& text);
#endif
