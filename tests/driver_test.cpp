// The command-line driver: the list, the percentage line, and the whole
// program run as a subprocess on built images.
//
//   | case                                  | expected                                              |
//   | showpercent 5, 100, 150, -1           | "  5% completed...\r", "100%…", "150%…", "INFO: " text |
//   | pr_dir: dated, undated, wide, 0 MB    | exact lines; whole clusters; 64-bit product           |
//   | no argument, "foo", three arguments   | usage line with the program name twice, status 1       |
//   | image with a wrong signature          | "ERROR: Bad signature in saved image!\n", status 1     |
//   | image without recordings              | "ERROR: No recordings found on the disk\n", status 1   |
//   | answers "0", "-2", "abc", "", no input| the list once, one prompt on stdout, status 0          |
//   | " 3", "3abc", "0x3", "003"; "010"     | banner of recording 3; of recording 8                  |
//   | "10" with 9 recordings                | "ERROR: No recording 10 on this disk\n", list again   |
//   | "mp3", "Mp3", "MP3"; repack "abc"     | same mode, banner shows the word as typed              |
//   | answer longer than the line buffer    | its rest is dropped, not read as the next answer       |
//   | mode "disk" beside the open image     | refused, status 0, the image unchanged                 |
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/driver.h"
#include "disk/qvdisk.h"
#include "support/image_builder.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define getpid _getpid
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs f with standard error sent to a file and returns what it printed.
template <class F> std::string capture_stderr(F f) {
    // One file per process: ctest runs the cases of this file side by side.
    fs::path path = fs::temp_directory_path() / ("pvr_driver_stderr." + std::to_string(getpid()));
    fflush(stderr);
    int saved = dup(fileno(stderr));
    FILE* file = fopen(path.string().c_str(), "wb");
    dup2(fileno(file), fileno(stderr));
    f();
    fflush(stderr);
    dup2(saved, fileno(stderr));
    fclose(file);
    std::string text = slurp(path);
    fs::remove(path);
#ifdef _WIN32
    for (size_t i; (i = text.find("\r\n")) != std::string::npos;) text.erase(i, 1);
#endif
    return text;
}

}  // namespace

TEST(Showpercent, PrintsPercentagesUnchangedAndInformation) {
    EXPECT_EQ(capture_stderr([] { showpercent(5); }), "  5% completed...\r");
    EXPECT_EQ(capture_stderr([] { showpercent(100); }), "100% completed...\r");
    EXPECT_EQ(capture_stderr([] { showpercent(150); }), "150% completed...\r");
    snprintf(qv_error, sizeof qv_error, "Video PID is %d\nsecond line\n", 257);
    EXPECT_EQ(capture_stderr([] { showpercent(-1); }), "INFO: Video PID is 257\nsecond line\n");
}

TEST(PrDir, ColumnsDatesAndSizesInWholeClusters) {
    auto set = [](int i, uint16_t mjd, int hour, int minute, uint32_t clusters, const char* name) {
        recording_entry* e = &qv->recordings[i];
        e->mjd[0] = uint8_t(mjd >> 8);
        e->mjd[1] = uint8_t(mjd);
        e->hour = uint8_t(hour);
        e->minute = uint8_t(minute);
        e->num_clusters = clusters;
        snprintf(e->name, sizeof e->name, "%s", name);
    };
    qv->cluster_size = 1048576;
    set(0, 52632, 20, 15, 1234, "Film");   // 24 December 2002
    set(11, 0, 9, 30, 17, "News");         // no date: 16 blanks, time not shown
    set(122, 52671, 7, 5, 123456, "x");    // 1 February 2003, wider size field
    std::string list = capture_stderr([] { pr_dir(123); });
    EXPECT_EQ(list.substr(0, 40), "\n\n  1: 24-12-2002 20:15  1234 MB 'Film'\n");
    EXPECT_NE(list.find("\n  2:                      0 MB ''\n"), std::string::npos);
    EXPECT_NE(list.find("\n 12:                     17 MB 'News'\n"), std::string::npos);
    EXPECT_EQ(list.substr(list.size() - 36), "123: 01-02-2003 07:05 123456 MB 'x'\n");

    qv->cluster_size = 700000;              // 3 clusters are 2,100,000 bytes
    set(0, 0, 0, 0, 3, "Three");
    set(1, 0, 0, 0, 0, "Empty");
    EXPECT_EQ(capture_stderr([] { pr_dir(2); }),
              "\n\n  1:                      2 MB 'Three'\n  2:                      0 MB 'Empty'\n");

    qv->cluster_size = kClusterBufferSize;  // the product needs 64 bits
    set(0, 0, 0, 0, kMaxClusters, "Big");
    EXPECT_EQ(capture_stderr([] { pr_dir(1); }), "\n\n  1:                  229376 MB 'Big'\n");
    memset(qv->recordings, 0, sizeof qv->recordings);
    qv->cluster_size = 0;
}

#ifndef _WIN32

struct Outcome {
    int status;   // exit status, or 128 + signal
    std::string out, err;
};

class DriverRun : public ::testing::Test {
protected:
    static fs::path root;

    static void SetUpTestSuite() {
        char pattern[] = "/tmp/pvr_driver_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        // 9 recordings: one of 3 clusters, one without a date, seven alike.
        ImageBuilder list(12);
        list.set_root_dir_slack(512);   // the whole cluster holds root entries
        std::vector<uint8_t> packet(kTsPacketSize, 0xFF), one, big;
        packet[0] = kTsSyncByte, packet[1] = 0x1F, packet[2] = 0xFF, packet[3] = 0x10;
        one = packet;
        for (int i = 0; i < 11155; ++i) big.insert(big.end(), packet.begin(), packet.end());
        list.add_recording("Film", big, {}, {52632, 20, 15});
        list.add_recording("News", one);
        for (int i = 3; i <= 9; ++i)
            list.add_recording("Rec" + std::to_string(i), one, {}, {52671, 7, 5});
        write_image("list", list);
        write_image("empty", ImageBuilder(4));
        ImageBuilder bad(4);
        bad.set_signature(std::string("VELMORAN PVR HDX\0", 17));
        write_image("badsig", bad);
    }
    static void TearDownTestSuite() { fs::remove_all(root); }

    static void write_image(const char* dir, const ImageBuilder& img) {
        fs::create_directory(root / dir);
        img.write((root / dir / "qvdisk.img").string());
    }

    // Runs pvrcopy with args in root/dir, answers on standard input (none: /dev/null).
    static Outcome run(const char* dir, std::vector<std::string> args, const std::string* input = nullptr) {
        fs::path d = root / dir, in = root / "in.txt", out = root / "out.txt", err = root / "err.txt";
        std::ofstream(in, std::ios::binary) << (input ? *input : std::string());
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(d.c_str()) != 0) _exit(126);
            if (!freopen(in.c_str(), "rb", stdin) || !freopen(out.c_str(), "wb", stdout) ||
                !freopen(err.c_str(), "wb", stderr))
                _exit(126);
            std::vector<char*> argv{const_cast<char*>(PVRCOPY_EXE)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            alarm(60);   // survives exec: a hang ends as SIGALRM
            execv(PVRCOPY_EXE, argv.data());
            _exit(127);
        }
        int ws = 0;
        waitpid(pid, &ws, 0);
        return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), slurp(out), slurp(err)};
    }
    static Outcome answer(const std::string& input, const char* mode = "raw") {
        return run("list", {mode}, &input);
    }
};
fs::path DriverRun::root;

const std::string kList =
    "\n\n"
    "  1: 24-12-2002 20:15     3 MB 'Film'\n"
    "  2:                      1 MB 'News'\n"
    "  3: 01-02-2003 07:05     1 MB 'Rec3'\n"
    "  4: 01-02-2003 07:05     1 MB 'Rec4'\n"
    "  5: 01-02-2003 07:05     1 MB 'Rec5'\n"
    "  6: 01-02-2003 07:05     1 MB 'Rec6'\n"
    "  7: 01-02-2003 07:05     1 MB 'Rec7'\n"
    "  8: 01-02-2003 07:05     1 MB 'Rec8'\n"
    "  9: 01-02-2003 07:05     1 MB 'Rec9'\n";

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool ends_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

TEST_F(DriverRun, UsageLineForBadCommandLines) {
    std::string usage = std::string(PVRCOPY_EXE) + ": Usage: " + PVRCOPY_EXE +
                        " (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n";
    for (auto args : {std::vector<std::string>{}, {"foo"}, {"raw", "1", "2"}, {"vobx"}}) {
        Outcome r = run("list", args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(DriverRun, FailedOpeningAndEmptyDiskEndWithStatus1) {
    Outcome bad = run("badsig", {"raw"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "ERROR: Bad signature in saved image!\n");
    Outcome empty = run("empty", {"VOB"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "ERROR: No recordings found on the disk\n");
    EXPECT_EQ(empty.out, "");
}

TEST_F(DriverRun, AnswersWithoutANumberAboveZeroEndTheProgram) {
    for (std::string input : {"0\n", "-2\n", "abc\n", "\n", "", "0x0\n"}) {
        Outcome r = answer(input);
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_EQ(r.err, kList) << input;
        EXPECT_EQ(r.out, "---> ") << input;
    }
}

TEST_F(DriverRun, NumbersAreReadInBase0) {
    const std::string rec3 = kList + "\nRecording 'Rec3' size 1 MB raw copy\n\n";
    for (std::string input : {"3\n", " 3\n", "3abc\n", "0x3\n", "003\n", "+3"}) {
        Outcome r = answer(input);
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_TRUE(starts_with(r.err, rec3)) << input << r.err;
        EXPECT_TRUE(ends_with(r.err, kList)) << input;
        EXPECT_EQ(r.out, "---> ---> ") << input;
    }
    Outcome octal = answer("010\n");
    EXPECT_TRUE(starts_with(octal.err, kList + "\nRecording 'Rec8' size 1 MB raw copy\n\n"));
}

TEST_F(DriverRun, NumberAboveTheCountIsRefusedAndTheLoopGoesOn) {
    Outcome r = answer("10\n0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kList + "ERROR: No recording 10 on this disk\n" + kList);
    EXPECT_EQ(r.out, "---> ---> ");
}

TEST_F(DriverRun, ModeWordsInAnyCaseAndTheBannerShowsTheWordTyped) {
    const std::string two = "2\n";
    for (const char* word : {"mp3", "Mp3", "MP3"}) {
        Outcome r = run("list", {word, "abc"}, &two);
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_TRUE(starts_with(r.err, kList + "\nRecording 'News' size 1 MB " + word + " copy\n\n"))
            << word << r.err;
        EXPECT_EQ(r.out, "---> ---> ");
    }
}

TEST_F(DriverRun, RestOfAnOverlongAnswerIsDropped) {
    // 511 characters reach the program as "1" and blanks; the "2" behind them
    // belongs to the same line and must not select recording 2.
    Outcome r = answer("1" + std::string(510, ' ') + "2\n");
    EXPECT_TRUE(starts_with(r.err, kList + "\nRecording 'Film' size 3 MB raw copy\n\n"));
    EXPECT_EQ(r.err.find("Recording 'News'"), std::string::npos);
    EXPECT_EQ(r.out, "---> ---> ");
}

TEST_F(DriverRun, DiskModeNeverWritesOverTheImageItReads) {
    std::string before = slurp(root / "list" / "qvdisk.img");
    Outcome r = run("list", {"DISK", "7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(starts_with(r.err, "Copying whole Velmoran disk to PC file\nERROR: ")) << r.err;
    EXPECT_EQ(slurp(root / "list" / "qvdisk.img"), before);
}

#endif  // _WIN32
