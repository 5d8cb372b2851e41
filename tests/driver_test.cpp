// The driver as a child process (run_child) on built images: the command line and its errors, the
// list, the prompt and -r, the output directory, the modes' dispatch, the help against the manual
// page, Ctrl-C; what the modes write is checked by the lower tests. No run writes to its disk.
#ifndef _WIN32
#include "cli/driver.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <regex>
#include <set>
#include <sstream>
#include "support/fixture.h"
namespace fs = std::filesystem;
using Texts = std::vector<std::string>;
using Names = std::set<std::string>;

namespace {
std::string text_of(const fs::path& path) {
    const Bytes bytes = read_file(path.string());
    return std::string(bytes.begin(), bytes.end());
}
std::string fd_text(int fd) {
    std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != ssize_t(text.size())) return "";
    return text;
}

// run_pvrcopy as a child in dir, input on a pipe; meanwhile(pid, its stdout) runs before the input
// is closed; file_limit > 0: writes beyond fail (EFBIG); standard error to err_fd when given; a
// hang ends after 60 s. status: the exit status or 128 + signal.
struct Outcome {
    int status;
    std::string out, err;
};
Outcome run_child(const fs::path& dir, Texts args, const std::string& input = "",
                  const std::function<void(int pid, int out)>& meanwhile = {}, long file_limit = 0,
                  int err_fd = -1) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    int in[2];
    if (!out || !err || pipe(in) != 0) return {-1, "", ""};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit = {rlim_t(file_limit), rlim_t(file_limit)};
        if (file_limit && (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit)))
            _exit(126);
        if (close(in[1]) || chdir(dir.c_str()) || dup2(in[0], 0) < 0 || dup2(fileno(out), 1) < 0 ||
            dup2(err_fd >= 0 ? err_fd : fileno(err), 2) < 0)
            _exit(126);
        alarm(60);
        std::vector<char*> argv{const_cast<char*>("pvrcopy")};
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int status = run_pvrcopy(int(argv.size() - 1), argv.data());
        fflush(nullptr);
        _exit(status);
    }
    close(in[0]);
    if (write(in[1], input.data(), input.size()) != ssize_t(input.size())) perror("input");
    if (meanwhile) meanwhile(pid, fileno(out));
    close(in[1]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    const int status =
        WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    Outcome outcome{status, fd_text(fileno(out)), fd_text(fileno(err))};
    fclose(out);
    fclose(err);
    return outcome;
}

// What a run did, in order: the recordings it began to copy (the name in each banner) and its
// errors.
Texts events(const std::string& err) {
    Texts seen;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Recording '", 0) == 0)
            seen.push_back(line.substr(11, line.find("' size") - 11));
        if (line.find("ERROR: ") != std::string::npos)
            seen.push_back(line.substr(line.find("ERROR: ")));
    }
    return seen;
}
Names files_in(const fs::path& dir) {
    Names names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}
}  // namespace

// The percentage line, an information line, the list with a size beyond 32 bits (131072 clusters
// of 1.75 MiB); the list's other forms are in the runs below.
TEST(Display, PercentagesInformationAndTheList) {
    static qv_instance listed;  // the disk record of this test, in place of the run's
    struct Listing {
        qv_instance* const run = qv;
        ~Listing() { qv = run; }
    } listing;
    qv = &listed;
    testing::internal::CaptureStderr();
    showpercent(5, nullptr);
    showpercent(100, nullptr);
    showpercent(-1, "Video PID is 257\nsecond line\n");
    qv->cluster_size = kClusterBufferSize;
    qv->recordings[1].num_clusters = kMaxClusters;
    snprintf(qv->recordings[1].name, sizeof qv->recordings[1].name, "Big");
    pr_dir(2);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "  5% completed...\r100% completed...\rINFO: Video PID is 257\nsecond line\n\n\n  1:  "
        "                    0 MB ''\n  2:                  229376 MB 'Big'\n");
}

namespace {

const std::string kUsage = "pvrcopy: Usage: pvrcopy (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n";
const std::string kOptionUsage =
    "pvrcopy: Usage: pvrcopy [options] (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size] (-h for help)\n";
const std::string kList = [] {
    std::string list =
        "\n\n  1: 24-12-2002 20:15     3 MB 'Film'\n  2:                      1 MB 'News'\n";
    for (int i = 3; i <= 8; ++i) list += format("%3d: 01-02-2003 07:05     1 MB 'Rec%d'\n", i, i);
    return list + "  9: 01-02-2003 07:05     1 MB 'Film_1'\n";
}();

// Disks under root: list/qvdisk.img and drives/sdi (removable) of 9 recordings (kList; Film_1 is
// named as Film's output would be if numbered, and is not);
// sample/qvdisk.img the sample disk (its Film is "Film: Teil 1/2" of 24-12-2002 20:15);
// badsig/qvdisk.img and drives/sdj of a wrong signature; empty/qvdisk.img of none;
// refused/qvdisk.img one the table check refuses (B's slot zeroed, its clusters 3-4 lost).
class DriverRun : public ::testing::Test {
protected:
    static inline fs::path root;
    static constexpr const char* kSources[] = {"list/qvdisk.img", "sample/qvdisk.img", "drives/sdi",
                                               "refused/qvdisk.img"};
    static inline std::map<std::string, std::string> sources;
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("pvr_driver_" + std::to_string(getpid()));
        for (const char* dir :
             {"list", "sample", "badsig", "empty", "drives", "refused", "sys/block/sdi"})
            fs::create_directories(root / dir);
        ImageBuilder list(12);
        list.set_root_dir_slack(512);  // the whole cluster holds root entries
        list.add_recording("Film", numbered_packets(0, 11155), {}, {52632, 20, 15});
        list.add_recording("News", numbered_packet(0));
        for (int i = 3; i <= 8; ++i)
            list.add_recording("Rec" + std::to_string(i), numbered_packet(0), {}, {52671, 7, 5});
        list.add_recording("Film_1", numbered_packet(0), {}, {52671, 7, 5});
        list.write((root / "list/qvdisk.img").string());
        list.write((root / "drives/sdi").string());
        write_file((root / "sys/block/sdi/removable").string(), {'1', '\n'});
        sample_disk().write((root / "sample/qvdisk.img").string());
        ImageBuilder(4).write((root / "empty/qvdisk.img").string());
        ImageBuilder bad(4);
        bad.set_signature(std::string("VELMORAN PVR HDX\0", 17));
        bad.write((root / "badsig/qvdisk.img").string());
        bad.write((root / "drives/sdj").string());
        ImageBuilder refused(12);
        refused.set_root_dir_slack(512);
        refused.add_recording("A", numbered_packets(0, 8000));
        refused.add_recording("B", numbered_packets(8000, 8000));
        memset(refused.cluster(0) + 128, 0, 128);
        refused.write((root / "refused/qvdisk.img").string());
        qv_posix_set_drive_paths((root / "drives/sd%c").c_str(), (root / "sys").c_str());
        for (const char* path : kSources) sources[path] = text_of(root / path);
    }
    void TearDown() override {  // no run writes to the disk it reads
        for (const char* path : kSources)
            EXPECT_TRUE(text_of(root / path) == sources[path]) << path << " was written to";
    }
    static void TearDownTestSuite() {
        qv_posix_set_drive_paths(nullptr, nullptr);
        fs::remove_all(root);
    }
    static fs::path fresh(const std::string& name) {
        fs::remove_all(root / name);
        fs::create_directories(root / name);
        return root / name;
    }
};

// Whole runs in list (or badsig, whose own image the search would find) compared exactly: the
// status, standard output and standard error.
TEST_F(DriverRun, CommandLines) {
    struct Row {
        Texts args = {};
        std::string err = {};
        int status = 0;
        std::string dir = "list";
        std::string out = {};
        std::string input = {};
    };
    const std::string help = run_child(".", {"--help"}).out;  // as the manual test reads it
    std::vector<Row> rows = {
        // The disk named by -i or -d, nothing else tried; the list alone, -l ends a run.
        {.args = {"-i", "../list/qvdisk.img", "-l"}, .err = kList, .dir = "badsig"},
        {.args = {"-d", (root / "drives/sdi").string(), "-l"}, .err = kList, .dir = "badsig"},
        {.args = {"--device", "8", "-l", "raw"}, .err = kList, .dir = "badsig"},
        {.args = {"--list", "--", "DISK"}, .err = kList},
        // A number the disk does not have (a last line without its end), then the end of input.
        {.args = {"raw"},
         .err = kList + "ERROR: No recording 10 on this disk\n" + kList,
         .status = 1,
         .out = "---> ---> ",
         .input = "10"},
        {.args = {"-l", "--help", "-x"}, .out = help},  // the help ends the reading
    };
    for (const char* answer : {"0\n", "-2\n", ""})  // the prompt ends
        rows.push_back({.args = {"raw"}, .err = kList, .out = "---> ", .input = answer});
    // Status 1. Without options a wrong count of words or mode word: the recorder's usage line
    // alone; an option error: its line, then the usage line with the options; what the run
    // refuses: "ERROR: " and the reason.
    auto option_error = [](const std::string& error) {
        return "pvrcopy: " + error + "\n" + kOptionUsage;
    };
    const std::string sdj = (root / "drives/sdj").string(),
                      nvme = (root / "drives/nvme0n1").string(),
                      sdk = (root / "drives/sdk").string();
    const std::pair<Texts, std::string> failures[] = {
        {{}, kUsage},
        {{"raw", "1", "2"}, kUsage},
        {{"vobx"}, kUsage},
        {{"-x", "raw"}, option_error("unknown option -x")},
        {{"--list=1", "raw"}, option_error("--list takes no value")},
        {{"-l", "--image"}, option_error("--image needs a file name")},
        {{"-o", "out"}, option_error("the mode word is missing")},
        {{"-o", "out", "vobx"}, option_error("unknown mode vobx")},
        {{"--", "raw", "1", "2"}, option_error("unexpected argument 2")},
        {{"-i", "a.img", "-d", "/dev/sdb", "raw"}, option_error("-i and -d exclude each other")},
        {{"-r", "1", "--recordings", "2", "raw"}, option_error("-r given twice")},
        {{"--dvd", "TS"}, option_error("--dvd needs mode VOB")},
        {{"--retries", "1", "raw"}, option_error("--retries is for mode disk only")},
        {{"--retries", "1x", "disk"}, option_error("--retries 1x is not a number of passes")},
        {{"-o", "missing", "raw"}, "ERROR: Output directory missing: No such file or directory\n"},
        {{"--output=qvdisk.img", "raw"}, "ERROR: Output directory qvdisk.img: Not a directory\n"},
        {{"-i", "nope.img", "raw"},
         "ERROR: Cannot open image nope.img: No such file or directory\n"},
        {{"-i", "../empty/qvdisk.img", "VOB"}, "ERROR: No recordings found on the disk\n"},
        {{"-d", sdj, "-l", "raw"}, "ERROR: Bad signature on drive " + sdj + "!\n"},
        {{"-d", nvme, "-l"}, "ERROR: Cannot open drive " + nvme + ": No such file or directory\n"},
        {{"-d", "8x", "-l"}, "ERROR: Cannot open drive 8x: No such file or directory\n"},
        {{"-d", "", "-l"}, "ERROR: Cannot open drive : No such file or directory\n"},
        {{"-d", "10", "-l"}, "ERROR: Cannot open drive " + sdk + ": No such file or directory\n"},
        {{"-d", "26", "-l"}, "ERROR: Cannot open drive 26: No such file or directory\n"},
        {{"--domain-map", "qvdisk.img", "-l", "raw"}, "ERROR: Cannot write the map qvdisk.img\n"},
        {{"-r", "0,12-99", "-o", ".", "raw"},
         kList + "ERROR: No recording 0 on this disk\nERROR: No recording 12 on this disk\n"},
        {{"-r", "2", "M2P", "5"},
         kList + "\nRecording 'News' size 1 MB M2P copy\n\nERROR: Repack size 5 not supported: use "
                 "0 or a size from 193 to 65541\n"},
    };
    for (const auto& [args, err] : failures)
        rows.push_back({.args = args, .err = err, .status = 1});
    for (std::string list : {"1,", "2-", "3-1", "1234567890", "alle"})
        rows.push_back(
            {.args = {"-r", list, "raw"},
             .err = option_error("-r " + list + " is not a list of recordings (1,3,5-7 or all)"),
             .status = 1});
    for (const Row& row : rows) {
        const Outcome run = run_child(root / row.dir, row.args, row.input);
        EXPECT_EQ(std::tie(run.status, run.out, run.err), std::tie(row.status, row.out, row.err))
            << ::testing::PrintToString(row.args);
    }
}

// The help of pvrcopy and the image builder run by their installed names (-h as --help; status 0)
// and their manual pages name the same options in order (the help's names column, a ".TP" line of
// the page's OPTIONS section) and the same modes (of its MODES section); their versions.
TEST(Manual, ListsTheOptionsAndModesOfTheHelp) {
    const fs::path bin = fs::temp_directory_path() / ("pvr_bin_" + std::to_string(getpid()));
    fs::create_directories(bin);
    fs::create_symlink(PVRCOPY_EXE, bin / "pvrcopy");
    fs::create_symlink(MKIMAGE_EXE, bin / "pvrcopy-mkimage");
    const auto run = [&](const std::string& command) {
        return run_tool("PATH=" + bin.string() + ":$PATH; " + command + "; echo status $?");
    };
    const std::tuple<std::string, std::string, size_t> programs[] = {
        // the options and modes
        {"pvrcopy", "pvrcopy: Usage: pvrcopy [options] (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]",
         12 + 7},
        {"pvrcopy-mkimage", "usage: pvrcopy-mkimage OUT.img [options] FILE.ts[=NAME] ...", 6}};
    for (const auto& [program, usage, names] : programs) {
        SCOPED_TRACE(program);
        const std::string text = run(program + " --help");
        EXPECT_TRUE(text.ends_with("\nstatus 0\n"));
        EXPECT_EQ(run(program + " -h"), text);
        EXPECT_EQ(run(program + " --version"), program + " " PVR_VERSION "\nstatus 0\n");
        std::map<std::string, Texts> help, page;  // by section
        std::istringstream help_lines(text);
        std::string line, previous, section;
        std::getline(help_lines, line);
        EXPECT_EQ(line, usage);
        while (std::getline(help_lines, line)) {
            if (line.rfind("  ", 0) != 0) continue;  // the usage, a text, the status
            std::string names = line.substr(2, 24);  // "  %-24s %s"
            names.erase(names.find_last_not_of(' ') + 1);
            names.erase(0, names.find_first_not_of(' '));
            help[names[0] == '-' ? "OPTIONS" : "MODES"].push_back(names);
        }
        std::istringstream page_lines(text_of(fs::path(PVR_SOURCE_DIR) / "doc" / (program + ".1")));
        for (; std::getline(page_lines, line); previous = line) {
            if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
            line = std::regex_replace(line, std::regex(R"(\\f[BIRP]|^\.B )"), "");
            if (previous == ".TP" && (section == "OPTIONS" || section == "MODES"))
                page[section].push_back(std::regex_replace(line, std::regex(R"(\\-)"), "-"));
        }
        EXPECT_EQ(page["OPTIONS"], help["OPTIONS"]);
        EXPECT_EQ(Names(page["MODES"].begin(), page["MODES"].end()),
                  Names(help["MODES"].begin(), help["MODES"].end()));
        EXPECT_EQ(help["OPTIONS"].size() + help["MODES"].size(), names);
    }
    fs::remove_all(bin);
}

// Copies into -o OUT (News there a directory: its copy fails): the banners and errors in order, a
// file for each banner, the list first. At the prompt one session, an answer a line: numbers as C
// reads them (010 is 8, 0x9 is 9), 511 characters of a line, the rest dropped; it goes on after a
// failure and ends at an answer without a number above 0. With -r each number once, in the list's
// order, the first number the disk lacks told in its place; the list once.
TEST_F(DriverRun, CopiesAtThePromptAndWithRecordingLists) {
    auto copy = [](const Texts& args, const std::string& input, int status, const Texts& expected) {
        const fs::path out = fresh("out");
        fs::create_directory(out / "News");
        Texts all_args = {"-o", out.string()};
        all_args.insert(all_args.end(), args.begin(), args.end());
        const Outcome run = run_child(root / "list", all_args, input);
        EXPECT_EQ(std::make_pair(run.status, events(run.err)), std::make_pair(status, expected))
            << run.err;
        Names files = {"News"};
        for (const std::string& event : expected)
            if (event.rfind("ERROR", 0) != 0) files.insert(event);
        EXPECT_EQ(files_in(out), files);
        EXPECT_EQ(run.err.rfind(kList, 0), 0u);
        EXPECT_EQ(run.err.find(kList, 1) == std::string::npos, input.empty()) << run.err;
        return run;
    };
    const std::string blocked = "ERROR: Cannot open 'News' for output";
    const std::string ten = "ERROR: No recording 10 on this disk";
    const std::pair<std::string, Texts> session[] = {
        {"010\n", {"Rec8"}},
        {"0x9\n", {"Film_1"}},
        {std::string("1").append(510, ' ').append("2\n"), {"Film"}},
        {std::string(510, ' ') + "6\n", {"Rec6"}},
        {"2\n", {"News", blocked}},  // the one failure: the status says so
        {std::string(511, ' ') + "7\n", {}},
    };
    std::string input, prompts;
    Texts expected;
    for (const auto& [answer, answered] : session) {
        input += answer;
        prompts += "---> ";
        expected.insert(expected.end(), answered.begin(), answered.end());
    }
    EXPECT_EQ(copy({"raw"}, input, 1, expected).out, prompts);
    EXPECT_EQ(copy({"raw"}, "3\n", 0, {"Rec3"}).out, "---> ---> ");  // every copy done: status 0
    const Texts all = {"Film", "News", blocked, "Rec3", "Rec4",
                       "Rec5", "Rec6", "Rec7",  "Rec8", "Film_1"};
    const std::tuple<std::string, int, Texts> lists[] = {
        {"4-4,3", 0, {"Rec4", "Rec3"}},
        {"ALL", 1, all},
        {"3,1,1-2,3", 1, {"Rec3", "Film", "News", blocked}},
        {"9-999999999", 1, {"Film_1", ten}},
        {"12,1", 1, {"ERROR: No recording 12 on this disk", "Film"}},
    };
    for (const auto& [list, status, copied] : lists) copy({"-r", list, "raw"}, "", status, copied);
    EXPECT_EQ(files_in(root / "list"), Names{"qvdisk.img"});
}

// Mode "disk": never over the image it reads, with or without -o; with -r (its missing numbers
// told, the copy made), --retries and --domain-map, on the disk the table check refuses, which it
// copies as it is. --salvage offers B's chain there as lost_000003, and "-r all" copies A and it.
TEST_F(DriverRun, DiskModeAndSalvageOnADiskTheCheckRefuses) {
    const std::string refused =
        "Copying whole Velmoran disk to PC file\nERROR: Cannot open output\n";
    for (const Outcome& run :
         {run_child(root / "list", {"DISK", "7"}),
          run_child(root / "sample", {"-i", "../list/qvdisk.img", "-o", "../list", "disk"})})
        EXPECT_EQ(std::make_pair(run.status, run.err), std::make_pair(1, refused));
    const fs::path out = fresh("image");
    Outcome run =
        run_child(root / "refused", {"-o", out.string(), "-r", "2,12", "--retries", "2",
                                     "--domain-map", (out / "domain.map").string(), "disk"});
    EXPECT_EQ(std::make_pair(run.status, events(run.err)),
              std::make_pair(1, Texts{"ERROR: No recording 2 on this disk",
                                      "ERROR: No recording 12 on this disk"}));
    EXPECT_TRUE(text_of(out / "qvdisk.img") == sources["refused/qvdisk.img"]);
    // With the numbers all on the disk the copy is a success: with --salvage B, lost_000003, is 2.
    const fs::path again = fresh("again");
    EXPECT_EQ(
        run_child(root / "refused", {"--salvage", "-o", again.string(), "-r", "2", "disk"}).status,
        0);
    // The domain: the system area, the root and A's clusters (disk MiB 0 to 3); the rest not.
    const std::string domain = text_of(out / "domain.map");
    EXPECT_EQ(
        domain.substr(domain.find("#      pos")),
        "#      pos        size  status\n0x00000000  0x00400000  +\n0x00400000  0x00900000  ?\n");
    run = run_child(root / "refused", {"--salvage", "-o", out.string(), "-r", "all", "raw"});
    EXPECT_EQ(std::make_pair(run.status, events(run.err)),
              std::make_pair(0, Texts{"A", "lost_000003"}));
    EXPECT_EQ(files_in(out),
              (Names{"A", "lost_000003", "qvdisk.img", "qvdisk.img.map", "domain.map"}));
}

// A batch on the sample disk, its image's map marking 4096 bytes of Film bad, News's output blocked
// by a directory: with -r and at the prompt the copies, then the summary (its statuses and the
// counts), the status 1. Then one copy with a terminal for standard error.
TEST_F(DriverRun, ABatchEndsWithItsSummaryATerminalSeesTheRate) {
    const fs::path damaged = fresh("damaged");
    write_file((damaged / "qvdisk.img").string(),
               Bytes(sources["sample/qvdisk.img"].begin(), sources["sample/qvdisk.img"].end()));
    const std::string map = "0 + 1\n0 3196928 +\n3196928 4096 -\n3201024 14624768 +\n";
    write_file((damaged / "qvdisk.img.map").string(), Bytes(map.begin(), map.end()));
    const std::string summary =
        "\n  1: Doku.ts: complete\n"
        "  2: Film__Teil_1_2.ts: 0.01 s lost in 1 place\n"
        "  3: 'News, 20:00': failed: Output file creation failed\n"
        "3 recordings: 1 complete, 1 with losses, 1 failed\n";
    for (const char* input : {"", "1\n2\n3\n0\n"}) {
        fs::create_directories(fresh("out") / "News__20_00.ts");
        const Texts args =
            input[0] ? Texts{"-o", "../out", "TS"} : Texts{"-o", "../out", "-r", "all", "TS"};
        const Outcome run = run_child(damaged, args, input);
        EXPECT_EQ(run.status, 1);
        for (const char* line :
             {"INFO: Film: Teil 1/2: 0.01 s lost at 0:00:02 (4096 bytes unreadable at position "
              "3196928)\n",
              "ERROR: 4096 bytes could not be read; 23 packets were lost: 0.01 s in 1 place of "
              "0:00:08\n"})
            EXPECT_NE(run.err.find(line), std::string::npos) << line;
        EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), summary.size())),
                  summary);
    }
    // On a terminal (a pseudo-terminal here) the percentage line shows the rate and the time left;
    // to a file or a pipe it is the plain line (Display, and every run above).
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const Outcome run = run_child(root / "list", {"-o", fresh("out").string(), "-r", "1", "raw"},
                                  "", {}, 0, terminal);
    EXPECT_EQ(run.status, 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) shown.append(buf, size_t(n));
    close(terminal);
    close(master);
    EXPECT_TRUE(std::regex_search(
        shown, std::regex(R"( 66% completed\.\.\. \d+\.\d MB/s, \d+:\d\d:\d\d left)")))
        << shown;
}

// Each mode word runs its own conversion (the word in the banner as typed; --all-streams keeps
// the sample's second sound track, which the others leave out and tell); the outputs are cut short
// by a file size limit of 100000 bytes (status 1, the error that says so).
TEST_F(DriverRun, EveryModeWritesItsOutputUpToTheFileSizeLimit) {
    struct Row {
        std::string word;
        std::string file;
        bool all_streams = false;  // --all-streams given
        bool leaves_out = false;   // tells of the track it leaves out
    };
    const Row rows[] = {
        {.word = "raw", .file = "Film__Teil_1_2"},
        {.word = "ts", .file = "Film__Teil_1_2.ts", .all_streams = true},
        {.word = "VOB", .file = "Film__Teil_1_2.vob", .leaves_out = true},
        {.word = "Mp3", .file = "Film__Teil_1_2.mp3", .leaves_out = true},
        {.word = "M2V", .file = "Film__Teil_1_2.m2v"},
        {.word = "M2P", .file = "Film__Teil_1_2.m2p", .leaves_out = true},
    };
    const std::string too_large =
        "ERROR: Write failed: the output file system cannot hold files of this size";
    for (const Row& row : rows) {
        fresh("out");
        Texts args = {"-o", "../out", "-r", "2", row.word};
        if (row.all_streams) args.insert(args.begin(), "--all-streams");
        const Outcome run = run_child(root / "sample", args, "", {}, 100000);
        EXPECT_EQ(std::make_pair(run.status, events(run.err).back()), std::make_pair(1, too_large));
        const std::string banner =
            "\nRecording 'Film: Teil 1/2' size 4 MB " + row.word + " copy\n\n";
        EXPECT_NE(run.err.find(banner), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("--all-streams keeps them") != std::string::npos, row.leaves_out)
            << run.err;
        EXPECT_EQ(files_in(root / "out"), Names{row.file});
    }
}

// Ctrl-C: status 130 while TS writes into a FIFO the test reads (so the interrupt comes while it
// runs), after the part written; at the prompt at once, nothing written.
TEST_F(DriverRun, SigintEndsTheProgramWithStatus130) {
    const fs::path out = fresh("out"), ts = out / "Film__Teil_1_2.ts";
    ASSERT_EQ(mkfifo(ts.c_str(), 0644), 0);
    Outcome run =
        run_child(root / "sample", {"-o", out.string(), "-r", "2", "TS"}, "", [&](int pid, int) {
            const int fifo = open(ts.c_str(), O_RDONLY);
            char buf[65536];
            size_t got = 0;
            for (ssize_t n; got < 65536 && (n = read(fifo, buf, sizeof buf)) > 0;) got += size_t(n);
            kill(pid, SIGINT);
            while (read(fifo, buf, sizeof buf) > 0) {}
            close(fifo);
        });
    const std::string tail = "ERROR: Interrupted, the partial output file is left in place\n";
    EXPECT_EQ(run.status, 130);
    EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), tail.size())), tail);
    EXPECT_EQ(run.err.find("Processing completed"), std::string::npos);
    run = run_child(root / "sample", {"-o", out.string(), "VOB"}, "", [](int pid, int stdout_fd) {
        for (int i = 0; i < 6000 && fd_text(stdout_fd).find("---> ") == std::string::npos; ++i)
            usleep(10000);  // 60 s at most
        kill(pid, SIGINT);
    });
    EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(130, std::string("---> ")));
    EXPECT_EQ(files_in(out), Names{"Film__Teil_1_2.ts"});
}
}  // namespace

#endif  // _WIN32
