// Faults met by every mode (raw, the conversions, disk), the one place where each is checked;
// Ctrl-C's status 130 in driver_test. The disk: 1 MiB clusters, "Film" (the sample) at disk bytes
// 2097152 on.
//   | the second read fails once: the healthy output | Film's last link back to cluster 2: a loop |
//   | sectors 6244-6251 (Film's bytes 1099776 on) fail with error 5, short, whole; or a map says so
//   | | the image cut to 3.5 MiB after opening          | sector 4096 (the recording header) fails
//   | | a directory at the output name; a symlink to /dev/full; qv_interrupted set at 30 % |
// Each row: the result, qv_error, the lines told once, the output (zeros where unread; after an
// interrupt a true beginning, the image its full length). The recording's copies trim and leave
// the middle of a hole untried (a map's holes are known bad). Short, whole and map convert as TS
// only (the same read).
// Only a run with result 0 shows "Processing completed".
#include <cstring>
#include "support/fixture.h"
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;
constexpr char kInterrupted[] = "Interrupted, the partial output file is left in place\n";
constexpr char kMap[] =
    "0 + 1\n0 3196928 +\n3196928 4096 -\n3201024 6236160 +\n";  // sectors 6244-6251 bad

struct Mode {
    const char* name;
    Conversion conversion;
    const char* output;
    int kind;
};  // kind 0 raw, 1 conversion, 2 disk
void PrintTo(const Mode& m, std::ostream* os) { *os << m.name; }
const Mode kModes[] = {{"raw", nullptr, "Film", 0},         {"TS", convert_ts, "Film.ts", 1},
                       {"M2V", convert_m2v, "Film.m2v", 1}, {"MP3", convert_mp3, "Film.mp3", 1},
                       {"VOB", convert_vob, "Film.vob", 1}, {"M2P", convert_m2p, "Film.m2p", 1},
                       {"disk", nullptr, "qvdisk.img", 2}};
// Runs a mode on Film (M2P with repack 2048; the copies report through qv->progress).
int run(const Mode& m, progress_callback callback) {
    repack = m.conversion == convert_m2p ? 2048 : 0;
    qv->progress = callback;
    int result = m.conversion  ? m.conversion(0, callback)
                 : m.kind == 0 ? dump_file(0)
                               : copy_disk();
    qv->progress = capture_progress;
    return repack = 0, result;
}
void interrupt_at_30(int value) {
    capture_progress(value);
    if (value >= 30) qv_interrupted = 1;
}

// What a mode must give: its result (-1: no row), qv_error, and its output as a function of the
// healthy one ("disk": the image); null: no output file (or an empty directory).
using Output = std::function<Bytes(Bytes)>;
struct Expect {
    int result;
    std::string error;
    Output output;
};
Output zeros(size_t at, size_t n) {
    return [=](Bytes b) { return std::fill_n(b.begin() + long(at), n, 0), b; };
}
Output padded(size_t n) {
    return [=](Bytes b) { return b.resize(n, 0), b; };
}

struct Fault {
    const char* name;
    std::function<void(ImageBuilder&, MemoryDisk&)> before;  // before the opening
    std::function<void(MemoryDisk&, const Mode&)> after;     // after it
    Expect raw, conversion, disk;
    Messages shown = {};  // each told exactly once: shown, or as the error
    bool interrupt = false;
    bool raw_ts_disk = false;
};

class Faults : public TempDirTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(Faults, EveryFault) {
    const Mode& m = GetParam();
    // The recording's copies trim but do not scrape: the hole's middle six sectors are never
    // tried on their own (nor is it from a map, which tells what is bad).
    const std::string hole_raw = "4096 bytes could not be read and were written as zeros\n",
                      untried =
                          "; 3072 of those bytes were never tried sector by sector "
                          "(pvrcopy disk tries them)\n",
                      head = "512 bytes could not be read and were written as zeros\n";
    const Expect raw_hole = {4, hole_raw, zeros(1099776, 4096)},
                 raw_trimmed = {4, hole_raw.substr(0, hole_raw.size() - 1) + untried,
                                zeros(1099776, 4096)},
                 disk_hole = {4, hole_raw, zeros(3196928, 4096)},
                 hole_lost = {4, "4096 bytes could not be read; 23 packets were lost\n", nullptr},
                 trimmed_lost = {4, "4096 bytes could not be read; 23 packets were lost" + untried,
                                 nullptr};
    const Messages hole = {"Cannot read 4096 bytes at position 3196928\n"};
    auto bad = [](BadKind kind) {
        return [kind](ImageBuilder&, MemoryDisk& d) { d.fail_sectors(6244, 8, kind); };
    };
    std::vector<Fault> faults = {
        {"one failed read",
         nullptr,
         [](MemoryDisk& d, const Mode&) { d.fail_read = d.reads + 2; },
         {0, "", zeros(0, 0)},
         {0, "", zeros(0, 0)},
         {0, "", zeros(0, 0)}},
        {"a looping chain",
         [](ImageBuilder& img, MemoryDisk&) { img.set_fat(4, 2); },
         nullptr,
         {4, "Recording Film: chain loops at cluster 2\n", padded(4 * kMiB)},
         {0, "", zeros(0, 0)},
         {-1, "", nullptr},
         {"Recording Film: chain loops at cluster 2\n"}},
        {"error 5", bad(BadKind::kEio), nullptr, raw_trimmed, trimmed_lost, disk_hole, hole},
        {"short read", bad(BadKind::kShort), nullptr, raw_trimmed, trimmed_lost, disk_hole, hole,
         false, true},
        {"whole request", bad(BadKind::kWhole), nullptr, raw_trimmed, trimmed_lost, disk_hole, hole,
         false, true},
        {"map",
         [](ImageBuilder&, MemoryDisk&) {
             write_file("qvdisk.img.map", Bytes(kMap, kMap + strlen(kMap)));
         },
         nullptr,
         raw_hole,
         hole_lost,
         {-1, "", nullptr},
         hole,
         false,
         true},
        {"image cut",
         [](ImageBuilder&, MemoryDisk& d) { d.shrink_to = 3 * kMiB + kMiB / 2; },
         nullptr,
         {4,
          "1930540 bytes could not be read and were written as zeros; 1929004 of those bytes were "
          "never tried sector by sector (pvrcopy disk tries them)\n",
          zeros(1572864, 1930540)},
         {4,
          "1930540 bytes could not be read; 10269 packets were lost; 1929004 of those bytes were "
          "never tried sector by sector (pvrcopy disk tries them)\n",
          nullptr},
         {4, "5767168 bytes could not be read and were written as zeros\n",
          zeros(3670016, 5767168)},
         {"Cannot read 524288 bytes at position 3670016\n",
          "Cannot read 1048576 bytes at position 4194304\n"}},
        {"header",
         [](ImageBuilder&, MemoryDisk& d) { d.fail_sectors(4096, 1); },
         nullptr,
         {4, head, zeros(0, 512)},
         {1, "Open of recording Film failed.\n", nullptr},
         {4, head, zeros(2097152, 512)}},
        {"output not creatable",
         nullptr,
         [](MemoryDisk&, const Mode& m) { fs::create_directory(m.output); },
         {1, "Cannot open 'Film' for output\n", nullptr},
         {2, "Output file creation failed\n", nullptr},
         {1, "Cannot open output\n", nullptr}},
#ifndef _WIN32
        {"full device",
         nullptr,
         [](MemoryDisk&, const Mode& m) { fs::create_symlink("/dev/full", m.output); },
         {4, "Write failed (disk full?)\n", nullptr},
         {4, kWriteFailed, nullptr},
         {4, "Write failed (disk full?)\n", nullptr}},
#endif
        {"interrupt",
         nullptr,
         nullptr,
         {4, kInterrupted, padded(2 * kMiB)},
         {4, kInterrupted, nullptr},
         {4, kInterrupted, zeros(3 * kMiB, 6 * kMiB)},  // the image keeps its full length
         {},
         true},
    };
    Bytes image, healthy;  // the disk as built; the output on the healthy disk
    auto mount_film = [&](const Fault* fault) {
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        img.pad_for_links();
        disk_ = MemoryDisk();
        if (fault && fault->before) fault->before(img, disk_);
        image = img.image();
        mount(img, 1);
        if (disk_.shrink_to >= 0) changed_by_test();
    };
    ASSERT_NO_FATAL_FAILURE(mount_film(nullptr));
    if (m.kind != 2) {
        ASSERT_EQ(run(m, capture_progress), 0) << qv_error;
        healthy = read_file(m.output);
        fs::remove(m.output);
    }
    for (const Fault& f : faults) {
        const Expect& want = m.kind == 0 ? f.raw : m.kind == 1 ? f.conversion : f.disk;
        if (want.result < 0 || (f.raw_ts_disk && m.kind == 1 && m.conversion != convert_ts))
            continue;
        SCOPED_TRACE(f.name);
        ASSERT_NO_FATAL_FAILURE(mount_film(&f));
        const Bytes whole = m.kind == 2 ? image : healthy;
        if (f.after) f.after(disk_, m);
        qv_set_error("%s", "");
        EXPECT_EQ(run(m, f.interrupt ? interrupt_at_30 : capture_progress), want.result);
        qv_interrupted = 0;
        Messages told = capture().messages;  // shown, or the error of a failure
        if (want.result != 0) told.push_back(qv_error);
        EXPECT_EQ(want.result ? qv_error : want.error, want.error);
        EXPECT_EQ(std::count(told.begin(), told.end(),
                             m.kind == 2 ? "\nProcessing completed.\n" : kCompleted),
                  want.result == 0);
        for (const std::string& line : f.shown)
            EXPECT_EQ(std::count(told.begin(), told.end(), line), 1) << line;
        if (f.interrupt && m.kind != 2) {  // a true beginning of the whole output
            Bytes part = read_file(m.output);
            EXPECT_GT(part.size(), 0u);
            EXPECT_LT(part.size(), whole.size());
            EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
            EXPECT_EQ(part.size(), want.output ? want.output(Bytes()).size() : part.size());
        } else if (want.output) {
            EXPECT_TRUE(read_file(m.output) == want.output(whole));
        } else if (fs::is_directory(m.output)) {
            EXPECT_TRUE(fs::is_empty(m.output));
        }
        fs::remove(m.output), fs::remove("qvdisk.img.map");
    }
}
INSTANTIATE_TEST_SUITE_P(EveryMode, Faults, ::testing::ValuesIn(kModes),
                         [](const auto& i) { return std::string(i.param.name); });
}  // namespace
