// Faults met by every mode: reads of the disk that fail or come up short, a
// looping chain, writes to a full device, an output that cannot be created
// and the user's interrupt (Ctrl-C). The one place where each is checked.
//
// The disk: 1 MiB clusters, recording "Film" (the sample) in clusters 1 to 4,
// disk bytes 2097152 to 5600555 (recording byte r at 2097152 + r).
//   | fault                                 | raw                      | conversions              | disk               |
//   | the second read fails once            | 0, the healthy output    | 0, the healthy output    | 0, the image       |
//   | Film's last link back to its second   | 4, "Recording Film:      | 0, that line shown once, | 0, the image       |
//   | cluster                               | chain loops at cluster   | the healthy output       |                    |
//   |                                       | 2\n", 4 whole clusters   |                          |                    |
//   | sectors 6244-6251 fail: error 5,      | 4, "4096 bytes could not | 4, "4096 bytes could not | 4, the same text,  |
//   | short read, whole request; or a map   | be read and were written | be read; 23 packets were | zeros there (no map|
//   | beside the image marks them bad       | as zeros\n", zeros there | lost\n"                  | row)               |
//   | (each shows "Cannot read 4096 bytes at position 3196928\n" once)                                              |
//   | the image cut to 3.5 MiB after opening| 4, 1930540 bytes zeros   | 4, "… 10269 packets …"   | 4, 5767168 zeros   |
//   | (each shows "Cannot read 524288 bytes at position 3670016\n" and 1048576 at 4194304)                          |
//   | sector 4096: the recording header     | 4, 512 bytes zeros       | 1, "Open of recording    | 4, 512 zeros       |
//   |                                       |                          | Film failed.\n"          |                    |
//   | a directory stands at the output name | 1, "Cannot open 'Film'   | 2, "Output file creation | 1, "Cannot open    |
//   |                                       | for output\n"            | failed\n"                | output\n"          |
//   | the output a symlink to /dev/full     | 4, "Write failed (disk   | 4, "Write to disk failed,| 4, as raw          |
//   | (POSIX)                               | full?)\n"                | disk full?\n"            |                    |
//   | qv_interrupted set at 30 %            | 4, "Interrupted, the partial output file is left in place\n": a true       |
//   |                                       | beginning of the output (raw 2 MiB, disk 3 MiB)                             |
// No fault shows "Processing completed". Then pvrcopy as a child process
// (POSIX): SIGINT while TS writes into a FIFO, and at the prompt: status 130.
#include <cstring>

#include "support/fixture.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;
constexpr char kInterrupted[] = "Interrupted, the partial output file is left in place\n";

// One mode: how it is called (raw and disk copies report through
// qv->progress, set to the callback for the call) and the file it writes.
struct Mode {
    const char* name;
    int (*run)(progress_callback callback);
    const char* output;
    int kind;   // 0 raw, 1 conversion, 2 disk
};
void PrintTo(const Mode& m, std::ostream* os) { *os << m.name; }

template <int (*copy)()> int with_progress(progress_callback callback) {
    qv->progress = callback;
    int result = copy();
    qv->progress = capture_progress;
    return result;
}
int raw_copy() { return dump_file(0); }
template <int (*conversion)(int, progress_callback)> int convert_film(progress_callback callback) {
    return conversion(0, callback);
}
int m2p_2048(progress_callback callback) {
    repack = 2048;
    int result = convert_m2p(0, callback);
    repack = 0;
    return result;
}

const Mode kModes[] = {
    {"raw", with_progress<raw_copy>, "Film", 0},
    {"TS", convert_film<convert_ts>, "Film.ts", 1},
    {"M2V", convert_film<convert_m2v>, "Film.m2v", 1},
    {"MP3", convert_film<convert_mp3>, "Film.mp3", 1},
    {"VOB", convert_film<convert_vob>, "Film.vob", 1},
    {"M2P 2048", m2p_2048, "Film.m2p", 1},
    {"disk", with_progress<copy_disk>, "qvdisk.img", 2},
};

void interrupt_at_30(int value) {
    capture_progress(value);
    if (value >= 30) qv_interrupted = 1;
}

// What a mode must give: its result, qv_error, and its output as a function
// of the healthy one ("disk": the image).
struct Expect {
    int result;
    std::string error;
    std::function<Bytes(Bytes)> output;   // null: no output file (or an empty directory)
};
Bytes same(Bytes b) { return b; }
std::function<Bytes(Bytes)> zeros(size_t at, size_t n) {
    return [=](Bytes b) {
        std::fill_n(b.begin() + long(at), n, 0);
        return b;
    };
}
std::function<Bytes(Bytes)> padded(size_t n) {
    return [=](Bytes b) {
        b.resize(n, 0);
        return b;
    };
}

struct Fault {
    const char* name;
    std::function<void(ImageBuilder&, MemoryDisk&)> before;   // before the opening
    std::function<void(MemoryDisk&, const Mode&)> after;      // after it
    Expect raw, conversion, disk;
    Messages shown = {};    // each told exactly once: shown, or as the error
    bool interrupt = false;
    bool raw_ts_disk = false;   // the same salvaging read as another row: raw, TS and disk suffice
};

class Faults : public TempDirTest, public ::testing::WithParamInterface<Mode> {
protected:
    // Mounts Film, damaged by fault.before.
    void mount_film(const Fault* fault) {
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        img.pad_for_links();
        if (fault && fault->before) fault->before(img, disk_);
        image_ = img.image();
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        if (disk_.shrink_to >= 0) changed_by_test();
        ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
        clear_capture();
    }
    Bytes image_;   // the disk as built
};

// One test per mode, so that they run side by side.
TEST_P(Faults, EveryFault) {
    const Mode& m = GetParam();
    const std::string hole_raw = "4096 bytes could not be read and were written as zeros\n";
    const std::string hole_lost = "4096 bytes could not be read; 23 packets were lost\n";
    const Messages hole = {"Cannot read 4096 bytes at position 3196928\n"};
    auto bad = [](BadKind kind) {
        return [kind](ImageBuilder&, MemoryDisk& d) { d.fail_sectors(6244, 8, kind); };
    };
    const Expect no_disk_row = {-1, "", nullptr};
    std::vector<Fault> faults = {
        {"one failed read", nullptr, [](MemoryDisk& d, const Mode&) { d.fail_read = d.reads + 2; },
         {0, "", same}, {0, "", same}, {0, "", same}},
        {"a looping chain", [](ImageBuilder& img, MemoryDisk&) { img.set_fat(4, 2); }, nullptr,
         {4, "Recording Film: chain loops at cluster 2\n", padded(4 * kMiB)}, {0, "", same}, no_disk_row,
         {"Recording Film: chain loops at cluster 2\n"}},
        {"error 5", bad(BadKind::kEio), nullptr, {4, hole_raw, zeros(1099776, 4096)}, {4, hole_lost, nullptr},
         {4, hole_raw, zeros(3196928, 4096)}, hole},
        {"short read", bad(BadKind::kShort), nullptr, {4, hole_raw, zeros(1099776, 4096)}, {4, hole_lost, nullptr},
         {4, hole_raw, zeros(3196928, 4096)}, hole, false, true},
        {"whole request", bad(BadKind::kWhole), nullptr, {4, hole_raw, zeros(1099776, 4096)}, {4, hole_lost, nullptr},
         {4, hole_raw, zeros(3196928, 4096)}, hole, false, true},
        {"map", [](ImageBuilder&, MemoryDisk&) {
             const std::string map = "0 + 1\n0 3196928 +\n3196928 4096 -\n3201024 6236160 +\n";
             write_file("qvdisk.img.map", Bytes(map.begin(), map.end()));
         }, nullptr, {4, hole_raw, zeros(1099776, 4096)}, {4, hole_lost, nullptr}, no_disk_row, hole, false, true},
        {"image cut", [](ImageBuilder&, MemoryDisk& d) { d.shrink_to = 3 * kMiB + kMiB / 2; }, nullptr,
         {4, "1930540 bytes could not be read and were written as zeros\n", zeros(1572864, 1930540)},
         {4, "1930540 bytes could not be read; 10269 packets were lost\n", nullptr},
         {4, "5767168 bytes could not be read and were written as zeros\n", zeros(3670016, 5767168)},
         {"Cannot read 524288 bytes at position 3670016\n", "Cannot read 1048576 bytes at position 4194304\n"}},
        {"header", [](ImageBuilder&, MemoryDisk& d) { d.fail_sectors(4096, 1); }, nullptr,
         {4, "512 bytes could not be read and were written as zeros\n", zeros(0, 512)},
         {1, "Open of recording Film failed.\n", nullptr},
         {4, "512 bytes could not be read and were written as zeros\n", zeros(2097152, 512)}},
        {"output not creatable", nullptr, [](MemoryDisk&, const Mode& m) { fs::create_directory(m.output); },
         {1, "Cannot open 'Film' for output\n", nullptr}, {2, "Output file creation failed\n", nullptr},
         {1, "Cannot open output\n", nullptr}},
#ifndef _WIN32
        {"full device", nullptr, [](MemoryDisk&, const Mode& m) { fs::create_symlink("/dev/full", m.output); },
         {4, "Write failed (disk full?)\n", nullptr}, {4, kWriteFailed, nullptr}, {4, "Write failed (disk full?)\n", nullptr}},
#endif
        {"interrupt", nullptr, nullptr, {4, kInterrupted, padded(2 * kMiB)}, {4, kInterrupted, nullptr},
         {4, kInterrupted, padded(3 * kMiB)}, {}, true},
    };
    Bytes healthy;   // the output on the healthy disk
    ASSERT_NO_FATAL_FAILURE(mount_film(nullptr));
    if (m.kind != 2) {
        ASSERT_EQ(m.run(capture_progress), 0) << qv_error;
        healthy = read_file(m.output);
        fs::remove(m.output);
    }
    for (const Fault& f : faults) {
        {
            const Expect& want = m.kind == 0 ? f.raw : m.kind == 1 ? f.conversion : f.disk;
            if (want.result < 0 || (f.raw_ts_disk && m.kind == 1 && strcmp(m.name, "TS") != 0)) continue;
            SCOPED_TRACE(f.name);
            ASSERT_NO_FATAL_FAILURE(mount_film(&f));
            const Bytes whole = m.kind == 2 ? image_ : healthy;
            if (f.after) f.after(disk_, m);
            qv_set_error("%s", "");
            EXPECT_EQ(m.run(f.interrupt ? interrupt_at_30 : capture_progress), want.result);
            qv_interrupted = 0;
            EXPECT_EQ(shown_completion(), want.result == 0);
            Messages told = capture().messages;   // shown, or the error of a failure
            if (want.result != 0) {
                EXPECT_EQ(qv_error, want.error);
                told.push_back(qv_error);
            }
            for (const std::string& line : f.shown) EXPECT_EQ(std::count(told.begin(), told.end(), line), 1) << line;
            if (f.interrupt) {   // a true beginning of the whole output
                Bytes part = read_file(m.output);
                EXPECT_GT(part.size(), 0u);
                EXPECT_LT(part.size(), whole.size());
                EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
                if (want.output) {
                    EXPECT_EQ(part.size(), want.output(Bytes()).size());
                }
            } else if (want.output) {
                EXPECT_TRUE(read_file(m.output) == want.output(whole));
            } else if (fs::is_directory(m.output)) {
                EXPECT_TRUE(fs::is_empty(m.output));
            }
            fs::remove(m.output);
            fs::remove("qvdisk.img.map");
            disk_.shrink_to = -1;
            disk_.bad.clear();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, Faults, ::testing::ValuesIn(kModes), [](const auto& info) {
    std::string name = info.param.name;
    return name.substr(0, name.find(' '));
});

#ifndef _WIN32

// The output is a FIFO that the test reads: the conversion cannot get past
// its first full output buffer before the test has read it, so the interrupt
// is sure to come while it runs. At the prompt the program ends at once.
TEST_F(Faults, SigintEndsTheProgramWithStatus130) {
    ImageBuilder img(8);
    img.add_recording("Film", load_sample_ts());
    img.write("qvdisk.img");
    const Bytes image = read_file("qvdisk.img");
    ASSERT_EQ(run_child(dir_, {"-r", "1", "TS"}).status, 0);
    const Bytes full = read_file("Film.ts");
    fs::remove("Film.ts");

    ASSERT_EQ(mkfifo("Film.ts", 0644), 0);
    Bytes got;
    Outcome r = run_child(dir_, {"-r", "1", "TS"}, "", [&](int pid, int) {
        int fifo = open("Film.ts", O_RDONLY);
        char buf[65536];
        for (ssize_t n; got.size() < 65536 && (n = read(fifo, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
        kill(pid, SIGINT);
        for (ssize_t n; (n = read(fifo, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
        close(fifo);
    });
    EXPECT_EQ(r.status, 130);
    const std::string tail = std::string("ERROR: ") + kInterrupted;
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_EQ(r.err.find("Processing completed"), std::string::npos);
    EXPECT_LT(got.size(), full.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin()));
    fs::remove("Film.ts");

    r = run_child(dir_, {"VOB"}, "", [](int pid, int out) {
        if (wait_for_output(out, "---> ")) kill(pid, SIGINT);
    });
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.out, "---> ");
    EXPECT_FALSE(fs::exists("Film.vob"));
    EXPECT_TRUE(read_file("qvdisk.img") == image);
}

#endif  // _WIN32

}  // namespace
