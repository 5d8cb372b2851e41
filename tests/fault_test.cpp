// Faults met by every mode (raw, the conversions, disk), the one place where each is checked;
// Ctrl-C's status 130 in driver_test. The disk: 1 MiB clusters, "Film" (the sample) at disk bytes
// 2097152 on. Rows vary the fault; checked in each mode: the result, qv_error, the lines told once,
// the output (zeros where unread; after an interrupt a true beginning, the image its full length).
// Only a run with result 0 shows "Processing completed".
#include <cstring>
#include "support/fixture.h"
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;
constexpr char kLoop[] = "Recording Film: chain loops at cluster 2\n";
constexpr char kInterrupted[] = "Interrupted, the partial output file is left in place\n";

enum Kind { kRaw, kConversion, kDisk };
struct Mode {
    const char* name = "";
    Conversion run = nullptr;
    const char* output = "";
    Kind kind = kConversion;
};
int raw_copy(int index, progress_callback) { return dump_file(index); }
int disk_copy(int, progress_callback) { return copy_disk(); }
const Mode kModes[] = {
    {.name = "raw", .run = raw_copy, .output = "Film", .kind = kRaw},
    {.name = "TS", .run = convert_ts, .output = "Film.ts"},
    {.name = "M2V", .run = convert_m2v, .output = "Film.m2v"},
    {.name = "MP3", .run = convert_mp3, .output = "Film.mp3"},
    {.name = "VOB", .run = convert_vob, .output = "Film.vob"},
    {.name = "M2P", .run = convert_m2p, .output = "Film.m2p"},
    {.name = "disk", .run = disk_copy, .output = "qvdisk.img", .kind = kDisk},
};
bool interrupting = false;  // the run is interrupted at 30 %
void progress(int value, const char* line) {
    capture_progress(value, line);
    if (interrupting && value >= 30) qv_interrupted = 1;
}
// Runs a mode on Film (M2P with repack 2048; the copies report through qv->progress).
int run(const Mode& mode) {
    repack = mode.run == convert_m2p ? 2048 : 0;
    qv->progress = progress;
    const int result = mode.run(0, progress);
    qv->progress = capture_progress;
    return result;
}

// What a mode gives: its result (-1: the mode does not meet the fault), qv_error, and its output
// from the healthy one ("disk": the image); null: no output file (or an empty directory).
using Output = std::function<Bytes(Bytes)>;
struct Expect {
    int result = 0;
    std::string error = {};
    Output output = [](Bytes healthy) { return healthy; };
};
Output resized(size_t size) {  // cut, or padded with zeros
    return [=](Bytes bytes) {
        bytes.resize(size);
        return bytes;
    };
}
Output zeros(size_t at, size_t count) {
    return [=](Bytes bytes) {
        std::fill_n(bytes.begin() + long(at), count, 0);
        return bytes;
    };
}

struct Fault {
    const char* name = "";
    std::function<void(ImageBuilder&, MemoryDisk&)> before = {};  // before the opening
    std::function<void(MemoryDisk&, const Mode&)> after = {};     // after it
    Expect raw = {};
    Expect conversion = {};
    Expect disk = {};
    Messages shown = {};  // each told exactly once: shown, or as the error
    // Mode "disk": its reads; the MiB it reads whole, in their order.
    std::string disk_reads = "0;";
};

class Faults : public TempDirTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(Faults, EveryFault) {
    const Mode& mode = GetParam();
    // Sectors 6244-6251 (Film's bytes 1099776 on) fail, or a map says so. The recording's copies
    // trim but do not scrape: the hole's middle six sectors are never tried on their own (nor
    // from a map, which tells what is bad).
    const std::string zeros_told = " could not be read and were written as zeros";
    const std::string never =
        " of those bytes were never tried sector by sector (pvrcopy disk tries them)\n";
    const std::string in_time = ": 0.01 s in 1 place of 0:00:08";
    const std::string hole = "4096 bytes" + zeros_told;
    const std::string lost = "4096 bytes could not be read; 23 packets were lost" + in_time;
    const std::string map = "0 + 1\n0 3196928 +\n3196928 4096 -\n3201024 6236160 +\n";
    // Every mode tells where the hole falls in the recording's time (mode "disk" after its
    // summary): 2.4 s after the first picture (at its DTS 3.92 s, ffprobe shows packet byte
    // 1102620 of the sample, 3056 behind the hole; the first picture 1.44 s).
    const Messages told_hole = {
        "Film: 0.01 s lost at 0:00:02 (4096 bytes unreadable at position 3196928)\n"};
    const std::vector<Fault> faults = {
        {.name = "the second read fails once",
         .after = [](MemoryDisk& disk, const Mode&) { disk.fail_read = disk.reads + 2; },
         .disk_reads = "2057; 0 1 3 4 5 2 6 7 8"},
        {.name = "Film's last link back to cluster 2: a loop",
         .before = [](ImageBuilder& img, MemoryDisk&) { img.set_fat(4, 2); },
         .raw = {4, kLoop, resized(4 * kMiB)},
         .disk = {-1},
         .shown = {kLoop}},
        {.name = "bad sectors",
         .before = [](ImageBuilder&, MemoryDisk& disk) { disk.fail_sectors(6244, 8); },
         .raw = {4, hole + in_time + "; 3072" + never, zeros(1099776, 4096)},
         .conversion = {4, lost + "; 3072" + never, nullptr},
         .disk = {4, hole + "\n", zeros(3196928, 4096)},
         .shown = told_hole,
         .disk_reads = "1957; 0 1 2 3 5 4 6 7 8"},
        {.name = "a map without those sectors",
         .before =
             [&](ImageBuilder&, MemoryDisk&) {
                 write_file("qvdisk.img.map", Bytes(map.begin(), map.end()));
             },
         .raw = {4, hole + in_time + "\n", zeros(1099776, 4096)},
         .conversion = {4, lost + "\n", nullptr},
         .disk = {-1},
         .shown = told_hole},
        {.name = "the image cut to 3.5 MiB after opening",
         .before = [](ImageBuilder&, MemoryDisk& disk) { disk.shrink_to = 3 * kMiB + kMiB / 2; },
         .raw = {4, "1930540 bytes" + zeros_told + ": 4.4 s in 1 place of 0:00:08; 1929004" + never,
                 zeros(1572864, 1930540)},
         .conversion = {4,
                        "1930540 bytes could not be read; 10269 packets were lost: 4.4 s in 1 "
                        "place of 0:00:08; 1929004" +
                            never,
                        nullptr},
         .disk = {4, "5767168 bytes" + zeros_told + "\n", zeros(3670016, 5767168)},
         .shown = {"Film: 4.4 s lost at 0:00:03 (1930540 bytes unreadable at position 3670016)\n"},
         .disk_reads = "11273; 0 1 2 3 5 4 6 8 7"},
        {.name = "the recording header's sector 4096 fails",
         .before = [](ImageBuilder&, MemoryDisk& disk) { disk.fail_sectors(4096, 1); },
         .raw = {4, "512 bytes" + zeros_told + ": 0.00 s in 1 place of 0:00:08\n", zeros(0, 512)},
         .conversion = {1, "Open of recording Film failed.\n", nullptr},
         .disk = {4, "512 bytes" + zeros_told + "\n", zeros(2097152, 512)},
         .disk_reads = "2057; 0 1 2 4 5 3 6 7 8"},
        {.name = "a directory at the output name",
         .after = [](MemoryDisk&, const Mode& mode) { fs::create_directory(mode.output); },
         .raw = {1, "Cannot open 'Film' for output\n", nullptr},
         .conversion = {2, "Output file creation failed\n", nullptr},
         .disk = {1, "Cannot open output\n", nullptr}},
#ifndef _WIN32
        {.name = "the output a symlink to /dev/full",
         .after = [](MemoryDisk&,
                     const Mode& mode) { fs::create_symlink("/dev/full", mode.output); },
         .raw = {4, "Write failed (disk full?)\n", nullptr},
         .conversion = {4, kWriteFailed, nullptr},
         .disk = {4, "Write failed (disk full?)\n", nullptr},
         .disk_reads = "1; 0"},  // the copy stops at the first failed write
#endif
        {.name = "interrupted at 30 %",
         .after = [](MemoryDisk&, const Mode&) { interrupting = true; },
         .raw = {4, kInterrupted, resized(2 * kMiB)},
         .conversion = {4, kInterrupted, nullptr},
         .disk = {4, kInterrupted, zeros(3 * kMiB, 6 * kMiB)},
         .disk_reads = "3; 0 1 2"},
    };
    auto mount_film = [&](const Fault* fault) {
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        img.pad_for_links();
        disk_ = MemoryDisk();
        if (fault && fault->before) fault->before(img, disk_);
        mount(img, 1);
        if (disk_.shrink_to >= 0) changed_by_test();
    };
    ASSERT_NO_FATAL_FAILURE(mount_film(nullptr));
    Bytes healthy = disk_.image;  // the output on the healthy disk
    if (mode.kind != kDisk) {
        ASSERT_EQ(run(mode), 0) << qv_error;
        healthy = read_file(mode.output);
        fs::remove(mode.output);
    }
    for (const Fault& fault : faults) {
        const Expect* by_kind[] = {&fault.raw, &fault.conversion, &fault.disk};
        const Expect& want = *by_kind[mode.kind];
        if (want.result < 0) continue;
        SCOPED_TRACE(fault.name);
        ASSERT_NO_FATAL_FAILURE(mount_film(&fault));
        if (fault.after) fault.after(disk_, mode);
        qv_set_error("%s", "");
        const uint64_t reads_before = disk_.reads;
        disk_.log_reads = true;
        EXPECT_EQ(run(mode), want.result);
        std::string disk_reads = std::to_string(disk_.reads - reads_before) + ";";
        for (const auto& [position, count] : disk_.read_log)
            if (count == kMiB) disk_reads += format(" %lld", (long long)(position / kMiB));
        EXPECT_EQ(mode.kind == kDisk ? disk_reads : fault.disk_reads, fault.disk_reads);
        const bool interrupted = interrupting;
        interrupting = false;
        qv_interrupted = 0;
        Messages told = capture().messages;  // shown, or the error of a failure
        if (want.result != 0) told.push_back(qv_error);
        EXPECT_EQ(want.result ? std::string(qv_error) : "", want.error);
        const char* completed = mode.kind == kDisk ? "\nProcessing completed.\n" : kCompleted;
        EXPECT_EQ(std::count(told.begin(), told.end(), completed), want.result == 0);
        for (const std::string& line : fault.shown)
            EXPECT_EQ(std::count(told.begin(), told.end(), line), 1) << line;
        const Bytes written = fs::is_regular_file(mode.output) ? read_file(mode.output) : Bytes();
        if (want.output) {
            EXPECT_TRUE(written == want.output(healthy));
        } else if (interrupted) {  // a true beginning of the whole output
            EXPECT_GT(written.size(), 0u);
            EXPECT_LT(written.size(), healthy.size());
            EXPECT_TRUE(std::equal(written.begin(), written.end(), healthy.begin()));
        } else if (fs::is_directory(mode.output)) {
            EXPECT_TRUE(fs::is_empty(mode.output));
        }
        fs::remove(mode.output);
        fs::remove("qvdisk.img.map");
    }
}
INSTANTIATE_TEST_SUITE_P(EveryMode, Faults, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });
}  // namespace
