// Faults met by every mode: a read of the disk that fails or comes up short,
// an image that shrinks after it was opened, writes to a full device, an
// output that cannot be created, and the user's interrupt (Ctrl-C).
//
// The disk: 1 MiB clusters, recording "Film" (the sample, clusters 1 to 4).
//   | fault                                        | every mode shows                                   |
//   | 2nd read of the copy fails once              | read again in pieces: the healthy output, completed|
//   | the chain loops back to its second cluster   | one warning, the healthy output; raw 1, 4 clusters |
//   | unreadable sectors of the recording (error 5,| raw 1: zeros there; conversions 4: their packets   |
//   | short read, whole request, a map beside the  | left out; each area shown, the losses as the error |
//   | image; the image cut after opening; the      | (table at the test); an unreadable header fails the|
//   | header)                                      | conversions' opening                               |
//   | a map beside the source image                | its unrescued FAT2 sector not used; a map that     |
//   |                                              | cannot be read refuses the opening                 |
//   | output a symlink to /dev/full (POSIX)        | conversions 4 "Write to disk failed, disk full?\n",|
//   |                                              | raw and disk 1 "Write failed (disk full?)\n"       |
//   | a directory stands at the output's name      | conversions 2 "Output file creation failed\n",     |
//   |                                              | raw "Cannot open 'Film' for output\n", disk        |
//   |                                              | "Cannot open output\n"                             |
//   | output directory without write permission    | the same (skipped where the user writes anyway)    |
//   | qv_interrupted set at 30 % (in-process)      | 4 / 1 with "Interrupted, the partial output file is|
//   |                                              | left in place\n"; the file is a true beginning of  |
//   |                                              | the whole output; no completion                    |
//   | SIGINT while TS writes into a FIFO (POSIX)   | status 130, "ERROR: Interrupted, ...\n" last, the  |
//   |                                              | bytes read a beginning of the whole output         |
//   | SIGINT at the prompt (POSIX)                 | status 130 at once                                 |
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <fstream>
#include <sstream>

#include "support/fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;
constexpr char kInterrupted[] = "Interrupted, the partial output file is left in place\n";

// One mode: how it is called (raw and disk copies report through
// qv->progress, set to the callback for the call), the file it writes and
// what its failures return.
struct Mode {
    const char* name;
    int (*run)(progress_callback callback);
    const char* output;
    bool conversion;   // through open_recording_file: results 1, 2, 4
    bool whole_disk;
};

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
    {"raw", with_progress<raw_copy>, "Film", false, false},
    {"TS", convert_film<convert_ts>, "Film.ts", true, false},
    {"M2V", convert_film<convert_m2v>, "Film.m2v", true, false},
    {"MP3", convert_film<convert_mp3>, "Film.mp3", true, false},
    {"VOB", convert_film<convert_vob>, "Film.vob", true, false},
    {"M2P 2048", m2p_2048, "Film.m2p", true, false},
    {"disk", with_progress<copy_disk>, "qvdisk.img", false, true},
};

Bytes slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    return Bytes(text.begin(), text.end());
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class Faults : public TempDirTest {
protected:
    void mount_film() {
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        ASSERT_NO_FATAL_FAILURE(mount(img, 1));
    }
    // Runs mode m on a freshly opened disk whose read `nth` of the run fails
    // as set by the caller through fail; the capture starts empty.
    template <class F> int run_with(const Mode& m, F fail) {
        mount_film();
        fail(disk_);
        clear_capture();
        return m.run(capture_progress);
    }
    // The output of every mode on the healthy disk.
    void run_healthy() {
        ASSERT_NO_FATAL_FAILURE(mount_film());
        for (const Mode& m : kModes) {
            if (m.whole_disk) {
                healthy_[m.name] = disk_.image;
                continue;
            }
            ASSERT_EQ(m.run(capture_progress), 0) << m.name << ": " << qv_error;
            healthy_[m.name] = slurp(m.output);
            fs::remove(m.output);
        }
    }
    std::map<std::string, Bytes> healthy_;
};

// How many times the capture holds message.
size_t times_shown(const std::string& message) {
    const Messages& all = capture().messages;
    return size_t(std::count(all.begin(), all.end(), message));
}

// Film's last cluster links back to its second: every mode but "disk" stops
// at the first repeat, naming it. The conversions end there as at the end of
// the chain (one warning, the healthy output); raw fails with the message,
// its copy the four clusters whole.
TEST_F(Faults, ALoopingChainEndsAtTheFirstRepeatInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(run_healthy());
    const char* loop = "Recording Film: chain loops at cluster 2\n";
    for (const Mode& m : kModes) {
        if (m.whole_disk) continue;
        SCOPED_TRACE(m.name);
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        img.set_fat(4, 2);
        ASSERT_NO_FATAL_FAILURE(mount(img, 1));
        Bytes want = healthy_[m.name];
        if (m.conversion) {
            EXPECT_EQ(m.run(capture_progress), 0) << qv_error;
            EXPECT_EQ(times_shown(loop), 1u);
        } else {
            EXPECT_EQ(m.run(capture_progress), kCopyIncomplete);
            EXPECT_STREQ(qv_error, loop);
            want.resize(4 * kMiB, 0);
        }
        EXPECT_TRUE(slurp(m.output) == want);
        fs::remove(m.output);
    }
}

// A read that fails once is read again in pieces: nothing is lost.
TEST_F(Faults, OneFailedReadCostsNothingInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(run_healthy());
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(run_with(m, [](MemoryDisk& d) { d.fail_read = d.reads + 2; }), 0) << qv_error;
        EXPECT_TRUE(shown_completion());
        EXPECT_TRUE(slurp(m.output) == healthy_[m.name]);
        fs::remove(m.output);
        fs::remove("qvdisk.img.map");
    }
}

// Unreadable sectors in every mode. Film lies at disk bytes 2097152 to
// 5600555 (recording byte r at 2097152 + r; packet k at 212 + 188 k).
//   | unreadable                       | raw (1): zeros there, and           | conversions (4)                 |
//   | 6244-6251 (recording 1099776 to  | "Cannot read 4096 bytes at position 3196928\n" once, then the error:  |
//   | 1103871), each kind of failure,  | "4096 bytes could not be read and   | "4096 bytes could not be read;  |
//   | or a map marking them bad        | were written as zeros\n"            | 23 packets were lost\n"         |
//   | the image cut to 3.5 MiB after   | "Cannot read" 524288 at 3670016, 1048576 at 4194304, 357676 at     |
//   | opening                          | 5242880; "1930540 bytes ..."        | "1930540 bytes could not be     |
//   |                                  |                                     | read; 10269 packets were lost\n"|
//   | 4096 (the recording header)      | 512 zeros, "512 bytes ..."          | 1, "Open of recording Film      |
//   |                                  |                                     | failed.\n"                      |
// The short-read, whole-request and map rows run in modes raw, TS and disk
// only. The disk copy writes its zeros at the same disk positions and shows the
// same, but for the cut image: 5767168 bytes to the disk's end. (The map row
// is not run for it: the source image's map is where its own would go.)
TEST_F(Faults, UnreadableSectorsInEveryMode) {
    struct Row {
        const char* name;
        std::vector<BadSectors> bad;
        const char* map;
        int64_t cut;
        uint32_t from, zeros;
        Messages shown;
        const char* raw_error;
        const char* conversion_error;
    };
    const Messages hole = {"Cannot read 4096 bytes at position 3196928\n"};
    const char* hole_raw = "4096 bytes could not be read and were written as zeros\n";
    const char* hole_lost = "4096 bytes could not be read; 23 packets were lost\n";
    const Row rows[] = {
        {"error 5", {{6244, 8, BadKind::kEio}}, nullptr, -1, 1099776, 4096, hole, hole_raw, hole_lost},
        {"short", {{6244, 8, BadKind::kShort}}, nullptr, -1, 1099776, 4096, hole, hole_raw, hole_lost},
        {"whole", {{6244, 8, BadKind::kWhole}}, nullptr, -1, 1099776, 4096, hole, hole_raw, hole_lost},
        {"map", {}, "0 + 1\n0 3196928 +\n3196928 4096 -\n3201024 6236160 +\n", -1, 1099776, 4096, hole,
         hole_raw, hole_lost},
        {"cut", {}, nullptr, int64_t(3 * kMiB + kMiB / 2), 1572864, 1930540,
         {"Cannot read 524288 bytes at position 3670016\n", "Cannot read 1048576 bytes at position 4194304\n",
          "Cannot read 357676 bytes at position 5242880\n"},
         "1930540 bytes could not be read and were written as zeros\n",
         "1930540 bytes could not be read; 10269 packets were lost\n"},
        {"header", {{4096, 1, BadKind::kEio}}, nullptr, -1, 0, 512, {"Cannot read 512 bytes at position 2097152\n"},
         "512 bytes could not be read and were written as zeros\n", "Open of recording Film failed.\n"},
    };
    ASSERT_NO_FATAL_FAILURE(run_healthy());
    for (const Row& row : rows) {
        for (const Mode& m : kModes) {
            // The kinds of failure meet the same salvaging read: raw, TS and disk suffice.
            bool every_mode = row.bad.empty() ? !row.map : row.bad[0].kind == BadKind::kEio;
            if (!every_mode && m.conversion && strcmp(m.name, "TS") != 0) continue;
            if (m.whole_disk && row.map) continue;
            SCOPED_TRACE(std::string(row.name) + " " + m.name);
            disk_.bad = row.bad;
            if (row.map) write_file("qvdisk.img.map", Bytes(row.map, row.map + strlen(row.map)));
            ImageBuilder img(8);
            img.add_recording("Film", load_sample_ts());
            img.pad_for_links();
            disk_.shrink_to = row.cut;
            ASSERT_EQ(open_disk(img), 0) << qv_error;
            if (row.cut >= 0) changed_by_test();
            ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
            clear_capture();
            int result = m.run(capture_progress);
            EXPECT_FALSE(shown_completion());
            const bool header = row.from == 0;
            if (m.whole_disk) {
                const uint32_t zeros = row.cut >= 0 ? 5767168 : row.zeros;
                EXPECT_EQ(result, kCopyIncomplete);
                EXPECT_EQ(qv_error, format("%u bytes could not be read and were written as zeros\n", zeros));
                if (row.cut < 0) {
                    EXPECT_EQ(capture().messages, row.shown);
                }
                Bytes want = healthy_[m.name];
                std::fill_n(want.begin() + 2 * kMiB + row.from, zeros, 0);
                EXPECT_TRUE(slurp(m.output) == want);
            } else if (!m.conversion) {
                EXPECT_EQ(result, kCopyIncomplete);
                EXPECT_STREQ(qv_error, row.raw_error);
                EXPECT_EQ(capture().messages, row.shown);
                Bytes want = healthy_[m.name];
                std::fill_n(want.begin() + row.from, row.zeros, 0);
                EXPECT_TRUE(slurp(m.output) == want);
            } else {
                EXPECT_EQ(result, header ? 1 : kCopyIncomplete);
                EXPECT_STREQ(qv_error, row.conversion_error);
                for (const std::string& line : row.shown) EXPECT_EQ(times_shown(line), header ? 0u : 1u) << line;
            }
            fs::remove(m.output);
            fs::remove("qvdisk.img.map");
            disk_.shrink_to = -1;
        }
    }
}

// A map beside the source image: blocks it does not mark finished are
// unreadable, so a zero-filled FAT2 sector (sector 1024) is not taken over
// FAT1; a map that cannot be read refuses the opening.
TEST_F(Faults, MapOfTheSourceImage) {
    ImageBuilder img(8);
    img.add_recording("Film", load_sample_ts());
    std::fill_n(img.boot().begin() + kFat2Offset, 512, 0);
    const char map[] = "# a rescue\n0x00080200 ?\n0 0x80000 +  # finished\n0x80000 512 -\n0x80200 0x8FFE00 +\n";
    write_file("qvdisk.img.map", Bytes(map, map + strlen(map)));
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(capture().messages,
              (Messages{"Using the map qvdisk.img.map: blocks it does not mark rescued count as unreadable\n",
                        "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n"}));
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
    for (const char* bad : {"0 +\n0 100\n", "0 +\n0 512 +\n1024 512 +\n", "0 X 1\n", "0 + 1\n-5 512 +\n"}) {
        SCOPED_TRACE(bad);
        write_file("qvdisk.img.map", Bytes(bad, bad + strlen(bad)));
        EXPECT_EQ(open_disk(img), 1);
    }
    EXPECT_STREQ(qv_error, "The map qvdisk.img.map cannot be used: line 2 is not a block line \"pos size status\"\n");
    write_file("qvdisk.img.map", Bytes{'#', '\n'});
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_STREQ(qv_error, "The map qvdisk.img.map cannot be used: it has no status line\n");
    fs::remove("qvdisk.img.map");
}

// Nothing can be created where a directory of that name stands, whoever runs.
TEST_F(Faults, OutputThatCannotBeCreatedIsAnErrorInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(mount_film());
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        fs::create_directory(m.output);
        clear_capture();
        int result = m.run(capture_progress);
        if (m.whole_disk) {
            EXPECT_EQ(result, kCopyFailed);
            EXPECT_STREQ(qv_error, "Cannot open output\n");
        } else if (!m.conversion) {
            EXPECT_EQ(result, kCopyFailed);
            EXPECT_STREQ(qv_error, "Cannot open 'Film' for output\n");
        } else {
            EXPECT_EQ(result, 2);
            EXPECT_STREQ(qv_error, "Output file creation failed\n");
        }
        EXPECT_FALSE(shown_completion());
        EXPECT_TRUE(fs::is_directory(m.output));
        EXPECT_TRUE(fs::is_empty(m.output));
        fs::remove(m.output);
    }
}

#ifndef _WIN32

constexpr uid_t kNobody = 65534;

TEST_F(Faults, OutputDirectoryWithoutWritePermissionIsAnErrorInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(mount_film());
    fs::create_directory("locked");
    fs::current_path("locked");
    ASSERT_EQ(chmod(".", 0555), 0);
    // The superuser writes into such a directory all the same: it works as
    // "nobody" for the length of the test (its saved user id takes it back).
    const uid_t user = geteuid();
    if (user == 0) {
        ASSERT_EQ(seteuid(kNobody), 0);
    }
    FILE* probe = fopen("probe", "wb");
    if (probe) {
        fclose(probe);
        fs::remove("probe");
        if (user == 0) {
            ASSERT_EQ(seteuid(0), 0);
        }
        chmod(".", 0755);
        GTEST_SKIP() << "this user can write into a directory without write permission";
    }
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        clear_capture();
        int result = m.run(capture_progress);
        if (m.whole_disk)
            EXPECT_STREQ(qv_error, "Cannot open output\n");
        else if (!m.conversion)
            EXPECT_STREQ(qv_error, "Cannot open 'Film' for output\n");
        else
            EXPECT_STREQ(qv_error, "Output file creation failed\n");
        EXPECT_EQ(result, m.conversion ? 2 : 1);
        EXPECT_FALSE(fs::exists(m.output));
        EXPECT_FALSE(shown_completion());
    }
    if (user == 0) {
        ASSERT_EQ(seteuid(0), 0);
    }
    chmod(".", 0755);
}

TEST_F(Faults, WritesToAFullDeviceAreAnErrorInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(mount_film());
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        fs::create_symlink("/dev/full", m.output);
        clear_capture();
        int result = m.run(capture_progress);
        if (m.conversion) {
            EXPECT_EQ(result, kCopyIncomplete);
            EXPECT_STREQ(qv_error, "Write to disk failed, disk full?\n");
        } else {
            EXPECT_EQ(result, kCopyIncomplete);
            EXPECT_STREQ(qv_error, "Write failed (disk full?)\n");
        }
        EXPECT_FALSE(shown_completion());
        fs::remove(m.output);
    }
}

#endif  // _WIN32

// The user's interrupt, as the driver's handler gives it: the flag is set
// while the copy runs (here when the percentage first reaches 30).
void interrupt_at_30(int value) {
    capture_progress(value);
    if (value >= 30) qv_interrupted = 1;
}

int run_interrupted(const Mode& m) {
    int result = m.run(interrupt_at_30);
    qv_interrupted = 0;
    return result;
}

TEST_F(Faults, InterruptStopsEveryModeAndLeavesThePartialOutput) {
    ASSERT_NO_FATAL_FAILURE(mount_film());
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        // The whole output, for comparison (the disk copy's is the image).
        Bytes whole;
        if (m.whole_disk) {
            whole = disk_.image;
        } else {
            ASSERT_EQ(m.run(capture_progress), 0) << qv_error;
            whole = slurp(m.output);
            fs::remove(m.output);
        }
        clear_capture();
        int result = run_interrupted(m);
        EXPECT_EQ(result, kCopyIncomplete);
        EXPECT_STREQ(qv_error, kInterrupted);
        EXPECT_FALSE(shown_completion());
        Bytes part = slurp(m.output);
        EXPECT_GT(part.size(), 0u);
        EXPECT_LT(part.size(), whole.size());
        EXPECT_TRUE(is_prefix(part, whole));
        // The whole-cluster copies stop behind the cluster that reached 30 %:
        // 2 of the recording's 4, 3 of the disk's 9.
        if (!m.conversion) {
            EXPECT_EQ(part.size(), (m.whole_disk ? 3u : 2u) * kMiB);
        }
        fs::remove(m.output);
    }
}

#ifndef _WIN32

// pvrcopy as a subprocess in dir, standard input from a pipe held by the
// caller, standard output to a pipe, standard error to a file.
struct Child {
    pid_t pid;
    int in;    // write end of its standard input
    int out;   // read end of its standard output
};

Child start(const fs::path& dir, const char* mode, const fs::path& err) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return {-1, -1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (e < 0 || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(e, 2) < 0) _exit(126);
        close(in[1]);
        close(out[0]);
        alarm(60);   // survives exec: a hang ends as SIGALRM
        execl(PVRCOPY_EXE, PVRCOPY_EXE, mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return {pid, in[1], out[0]};
}

// Drains the child's standard output before waiting, so that its last
// messages never meet a closed pipe.
int finish(Child& c) {
    close(c.in);
    char buf[4096];
    while (read(c.out, buf, sizeof buf) > 0) {
    }
    close(c.out);
    int ws = 0;
    waitpid(c.pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

// Reads the child's standard output until it has shown the prompt.
bool wait_for_prompt(int fd) {
    std::string seen;
    char buf[256];
    while (seen.find("---> ") == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen.append(buf, size_t(n));
    }
    return true;
}

std::string text_of(const fs::path& path) {
    Bytes b = slurp(path);
    return std::string(b.begin(), b.end());
}

class Interrupts : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempDirTest::SetUp());
        ImageBuilder img(8);
        img.add_recording("Film", load_sample_ts());
        img.write("qvdisk.img");
        image_ = slurp("qvdisk.img");
    }
    Bytes image_;
};

// The output is a FIFO that the test reads: the conversion cannot get past
// its first full output buffer before the test has read it, so the interrupt
// is sure to come while it runs.
TEST_F(Interrupts, SigintDuringAConversionEndsWithStatus130AndThePartialOutput) {
    // The whole output first.
    Child whole = start(dir_, "TS", dir_ / "err.txt");
    ASSERT_GT(whole.pid, 0);
    ASSERT_TRUE(wait_for_prompt(whole.out));
    ASSERT_EQ(write(whole.in, "1\n0\n", 4), 4);
    ASSERT_EQ(finish(whole), 0);
    const Bytes full = slurp("Film.ts");
    ASSERT_GT(full.size(), 2u * kMiB);
    fs::remove("Film.ts");

    ASSERT_EQ(mkfifo("Film.ts", 0644), 0);
    Child c = start(dir_, "TS", dir_ / "err.txt");
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(wait_for_prompt(c.out));
    ASSERT_EQ(write(c.in, "1\n", 2), 2);
    int fifo = open("Film.ts", O_RDONLY);
    ASSERT_GE(fifo, 0);
    Bytes got;
    char buf[65536];
    while (got.size() < 65536) {
        ssize_t n = read(fifo, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buf, buf + n);
    }
    ASSERT_EQ(kill(c.pid, SIGINT), 0);
    for (ssize_t n; (n = read(fifo, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
    close(fifo);
    EXPECT_EQ(finish(c), 130);

    std::string err = text_of(dir_ / "err.txt");
    const std::string tail = std::string("ERROR: ") + kInterrupted;
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(err.find("Processing completed"), std::string::npos);
    EXPECT_LT(got.size(), full.size());
    EXPECT_TRUE(is_prefix(got, full));
    EXPECT_EQ(slurp("qvdisk.img"), image_);
}

TEST_F(Interrupts, SigintAtThePromptEndsWithStatus130) {
    Child c = start(dir_, "VOB", dir_ / "err.txt");
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(wait_for_prompt(c.out));
    ASSERT_EQ(kill(c.pid, SIGINT), 0);
    EXPECT_EQ(finish(c), 130);
    EXPECT_FALSE(fs::exists("Film.vob"));
    EXPECT_EQ(slurp("qvdisk.img"), image_);
}

#endif  // _WIN32

}  // namespace
