// The driver as a child process (run_child) on built images: the percentage line, the list, whole
// runs compared exactly (status, standard output and error, files written). No run writes to the
// disk it reads.
#ifndef _WIN32
#include "cli/driver.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include "support/fixture.h"
namespace fs = std::filesystem;

namespace {
std::string text_of(const fs::path& path) {
    return [](Bytes b) { return std::string(b.begin(), b.end()); }(read_file(path.string()));
}
std::string fd_text(int fd) {
    std::string t(size_t(lseek(fd, 0, SEEK_END)), '\0');
    return pread(fd, t.data(), t.size(), 0) == ssize_t(t.size()) ? t : "";
}

// run_pvrcopy (or body) as a child in dir, input on a pipe; meanwhile(pid, its stdout) runs before
// the input is closed; file_limit > 0: writes beyond fail (EFBIG); a hang ends after 60 s. status:
// exit status or 128 + signal.
struct Outcome {
    int status;
    std::string out, err;
};
Outcome run_child(const fs::path& dir, std::vector<std::string> args, const std::string& input = "",
                  const std::function<void(int pid, int out)>& meanwhile = {}, long file_limit = 0,
                  const std::function<int()>& body = {}) {
    FILE *out = tmpfile(), *err = tmpfile();
    int in[2];
    if (!out || !err || pipe(in) != 0) return {-1, "", ""};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(in[1]);
        rlimit limit = {rlim_t(file_limit), rlim_t(file_limit)};
        if (chdir(dir.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(fileno(out), 1) < 0 ||
            dup2(fileno(err), 2) < 0 ||
            (file_limit &&
             (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)))
            _exit(126);
        alarm(60);
        std::vector<char*> argv{const_cast<char*>("pvrcopy")};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int status = body ? body() : run_pvrcopy(int(argv.size() - 1), argv.data());
        _exit((fflush(nullptr), status));
    }
    if (close(in[0]), write(in[1], input.data(), input.size()) != ssize_t(input.size()))
        perror("run_child: input");
    if (meanwhile) meanwhile(pid, fileno(out));
    int ws = 0;
    close(in[1]), waitpid(pid, &ws, 0);
    Outcome r{WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), fd_text(fileno(out)),
              fd_text(fileno(err))};
    return fclose(out), fclose(err), r;
}

// What a run did, in order: the recordings it began to copy (the name in each banner) and its
// errors.
std::vector<std::string> events(const std::string& err) {
    std::vector<std::string> seen;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 11, "Recording '") == 0)
            seen.push_back(line.substr(11, line.find("' size") - 11));
        if (line.find("ERROR: ") != std::string::npos)
            seen.push_back(line.substr(line.find("ERROR: ")));
    }
    return seen;
}
std::set<std::string> files_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}
// The local time the recorder's clock showed, and a file's modification time.
time_t local_time(int year, int month, int day, int hour, int minute) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour,
    t.tm_min = minute, t.tm_isdst = -1;
    return mktime(&t);
}
time_t modified(const fs::path& path) {
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}
}  // namespace

// The percentage line, an information line, and a size beyond 32 bits (131072 clusters of 1.75
// MiB); the list's other forms are in the runs below.
TEST(Display, PercentagesInformationAndTheList) {
    auto stderr_of = [](std::function<void()> f) {
        return run_child(".", {}, "", {}, 0, [&] { return f(), fflush(stderr), 0; }).err;
    };
    EXPECT_EQ(stderr_of([] { showpercent(5), showpercent(100), showpercent(150); }),
              "  5% completed...\r100% completed...\r150% completed...\r");
    EXPECT_EQ(stderr_of([] {
                  snprintf(qv_error, sizeof qv_error, "Video PID is %d\nsecond line\n", 257),
                      showpercent(-1);
              }),
              "INFO: Video PID is 257\nsecond line\n");
    EXPECT_EQ(stderr_of([] {
                  qv->cluster_size = kClusterBufferSize,
                  qv->recordings[1].num_clusters = kMaxClusters;
                  snprintf(qv->recordings[1].name, sizeof qv->recordings[1].name, "Big"), pr_dir(2);
              }),
              "\n\n  1:                      0 MB ''\n  2:                  229376 MB 'Big'\n");
}

namespace {

const std::string kUsage = "pvrcopy: Usage: pvrcopy (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n";
const std::string kList = [] {
    std::string list =
        "\n\n  1: 24-12-2002 20:15     3 MB 'Film'\n  2:                      1 MB 'News'\n";
    for (int i = 3; i <= 9; ++i) list += format("%3d: 01-02-2003 07:05     1 MB 'Rec%d'\n", i, i);
    return list;
}();

// Disks under root: list/qvdisk.img 9 recordings of null packets (kList); sample/qvdisk.img Film
// (24-12-2002 20:15), News (no date), Doku (05-01-2003 21:45); badsig (wrong signature); empty; the
// decoy site/qvdisk.img (bad) in the parent of site/work; store/pvr-2024.img and drives/sdi
// (removable) the list disk; drives/sdj bad.
class DriverRun : public ::testing::Test {
protected:
    static inline fs::path root;
    static constexpr const char* kSources[] = {"list/qvdisk.img", "sample/qvdisk.img",
                                               "store/pvr-2024.img", "drives/sdi"};
    static inline std::map<std::string, std::string> sources;
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("pvr_driver_" + std::to_string(getpid()));
        ImageBuilder list(12), bad(4);
        list.set_root_dir_slack(512);             // the whole cluster holds root entries
        Bytes film(11155 * kTsPacketSize, 0xFF);  // null packets
        for (size_t i = 0; i < film.size(); i += kTsPacketSize)
            film[i] = kTsSyncByte, film[i + 1] = 0x1F, film[i + 3] = 0x10;
        const Bytes packet(film.begin(), film.begin() + kTsPacketSize);
        list.add_recording("Film", film, {}, {52632, 20, 15});
        list.add_recording("News", packet);
        for (int i = 3; i <= 9; ++i)
            list.add_recording("Rec" + std::to_string(i), packet, {}, {52671, 7, 5});
        bad.set_signature(std::string("VELMORAN PVR HDX\0", 17));
        for (const char* dir :
             {"list", "sample", "badsig", "empty", "site/work", "store", "drives", "sys/block/sdi"})
            fs::create_directories(root / dir);
        for (const char* path : {"list/qvdisk.img", "store/pvr-2024.img", "drives/sdi"})
            list.write((root / path).string());
        write_file((root / "sys/block/sdi/removable").string(), {'1', '\n'});
        sample_disk().write((root / "sample/qvdisk.img").string());
        ImageBuilder(4).write((root / "empty/qvdisk.img").string());
        for (const char* path : {"badsig/qvdisk.img", "site/qvdisk.img", "drives/sdj"})
            bad.write((root / path).string());
        qv_posix_set_drive_paths((root / "drives/sd%c").c_str(), (root / "sys").c_str());
        for (const char* path : kSources) sources[path] = text_of(root / path);
    }
    void TearDown() override {  // no run writes to a source
        for (const char* path : kSources)
            EXPECT_TRUE(text_of(root / path) == sources[path]) << path << " was written to";
    }
    static void TearDownTestSuite() {
        qv_posix_set_drive_paths(nullptr, nullptr), fs::remove_all(root);
    }
    static fs::path fresh(const std::string& name) {
        return fs::remove_all(root / name), fs::create_directories(root / name), root / name;
    }
};

// Whole runs (in list, site/work or nowhere), compared exactly.
//   | bad words, counts: 1, the usage | options, -r lists: 1, the error, the usage with options |
//   | -o, -i, -d wrong; no disk; badsig; empty: 1, "ERROR: …" | -l (with or without a mode), -i,
//   --image=, -d, --device; raw answered 0, "", abc …: 0, the list | raw answered 10, 0; -r
//   0,12-99: 1 | -h; -l --help -x; --version: 0, the help or the version on standard output |
TEST_F(DriverRun, CommandLines) {
    struct Row {
        fs::path dir;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out, err;
    };
    const fs::path list = root / "list", work = root / "site/work", nowhere = fresh("nowhere");
    const std::string sdj = (root / "drives/sdj").string(),
                      nvme = (root / "drives/nvme0n1").string();
    const std::string badsig = "ERROR: Bad signature in saved image!\n",
                      ten = "ERROR: No recording 10 on this disk\n";
    std::vector<Row> rows = {
        {list,
         {"-o", "missing", "raw"},
         "",
         1,
         "",
         "ERROR: Output directory missing: No such file or directory\n"},
        {list,
         {"--output=qvdisk.img", "raw"},
         "",
         1,
         "",
         "ERROR: Output directory qvdisk.img: Not a directory\n"},
        {list,
         {"-i", "nope.img", "raw"},
         "",
         1,
         "",
         "ERROR: Cannot open image nope.img: No such file or directory\n"},
        {root / "badsig", {"raw"}, "", 1, "", badsig},
        {root / "empty", {"VOB"}, "", 1, "", "ERROR: No recordings found on the disk\n"},
        {list, {"-l", "raw"}, "", 0, "", kList},
        {list,
         {"--salvage", "--list", "--", "DISK"},
         "",
         0,
         "",
         "  0% completed...\r  8% completed...\r 16% completed...\r 25% completed...\r 33% "
         "completed...\r 41% completed...\r 50% completed...\r 58% completed...\r 66% "
         "completed...\r 75% completed...\r 83% completed...\r 91% completed...\r100% "
         "completed...\r" +
             kList},  // the salvage reads every cluster's signature
        {list,
         {"--domain-map", "qvdisk.img", "-l", "raw"},
         "",
         1,
         "",
         "ERROR: Cannot write the map qvdisk.img\n"},
        {list, {"raw"}, "10\n0\n", 1, "---> ---> ", kList + ten + kList},
        {list,
         {"-r", "0,12-99", "-o", list.string(), "raw"},
         "",
         1,
         "",
         kList + "ERROR: No recording 0 on this disk\nERROR: No recording 12 on this disk\n"},
        {work, {"-l", "raw"}, "", 1, "", badsig},
        {work, {"-i", "../qvdisk.img", "-l", "raw"}, "", 1, "", badsig},
        {work, {"-i", "../../store/pvr-2024.img", "-l", "raw"}, "", 0, "", kList},
        {work,
         {"--image=" + (root / "store/pvr-2024.img").string(), "-l", "raw"},
         "",
         0,
         "",
         kList},
        {work, {"-d", (root / "drives/sdi").string(), "-l", "raw"}, "", 0, "", kList},
        {work, {"--device", "8", "-l", "raw"}, "", 0, "", kList},
        {nowhere, {"-l", "raw"}, "", 1, "", "ERROR: No Velmoran disk found!\n"},
        {nowhere,
         {"-d", sdj, "-l", "raw"},
         "",
         1,
         "",
         "ERROR: Bad signature on drive " + sdj + "!\n"},
        {nowhere,
         {"-d", nvme, "-l", "raw"},
         "",
         1,
         "",
         "ERROR: Cannot open drive " + nvme + ": No such file or directory\n"},
    };
    // Without options the recorder's usage line alone; an option error's line, then the usage
    // line with the options.
    const std::string option_usage =
        "pvrcopy: Usage: pvrcopy [options] (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size] (-h for "
        "help)\n";
    struct UsageRow {
        std::vector<std::string> args;
        std::string error;
    };
    std::vector<UsageRow> usage_rows = {
        {{}, ""},
        {{"foo"}, ""},
        {{"raw", "1", "2"}, ""},
        {{"vobx"}, ""},
        {{"-x", "raw"}, "unknown option -x"},
        {{"--bogus", "raw"}, "unknown option --bogus"},
        {{"--list=1", "raw"}, "--list takes no value"},
        {{"-o"}, "-o needs a directory name"},
        {{"-l", "--image"}, "--image needs a file name"},
        {{"-o", "out"}, "the mode word is missing"},
        {{"-o", "out", "vobx"}, "unknown mode vobx"},
        {{"--", "raw", "1", "2"}, "unexpected argument 2"},
        {{"-i", "qvdisk.img", "-d", "/dev/sdb", "raw"}, "-i and -d exclude each other"},
        {{"-r", "1", "--recordings", "2", "raw"}, "-r given twice"},
        {{"--dvd", "TS"}, "--dvd needs mode VOB"},
        {{"--retries", "1", "raw"}, "--retries is for mode disk only"},
        {{"--retries", "1x", "disk"}, "--retries 1x is not a number of passes"},
    };
    for (const char* bad : {"1,,2", "1,", "3-1", "-1", "1234567890", "alle"})
        usage_rows.push_back(
            {{"-r", bad, "raw"},
             "-r " + std::string(bad) + " is not a list of recordings (1,3,5-7 or all)"});
    for (const UsageRow& u : usage_rows)
        rows.push_back({list, u.args, "", 1, "",
                        u.error.empty() ? kUsage : "pvrcopy: " + u.error + "\n" + option_usage});
    rows.push_back({list, {"-l"}, "", 0, "", kList});
    rows.push_back({list, {"--version"}, "", 0, "pvrcopy " PVR_VERSION "\n", ""});
    for (std::string input : {"0\n", "-2\n", "abc\n", "\n", "", "0x0\n"})
        rows.push_back({list, {"raw"}, input, 0, "---> ", kList});
    std::string help =
        "pvrcopy: Usage: pvrcopy [options] (disk|raw|MP3|M2V|M2P|VOB|TS) [repack_size]\n";
    for (
        const char* line :
        {"-i, --image FILE         read FILE as the disk image; nothing else is tried",
         "-d, --device PATH        read this drive (/dev/sdX, /dev/nvmeXnY, removable too); "
         "nothing else is tried",
         "-o, --output DIR         write every output file into DIR, which must exist",
         "-r, --recordings LIST    copy these recordings without asking: \"1,3,5-7\" or \"all\"",
         "-l, --list               print the list of recordings and end; no mode word needed",
         "    --salvage            use a disk that the file system check refuses, as it stands",
         "    --all-streams        keep every sound track (and with TS every stream) the PMT lists",
         "    --dvd                with VOB: navigation packs and buffer sizes for dvdauthor",
         "    --retries N          mode disk: try the bad sectors again, N passes (default 0)",
         "    --domain-map FILE    write a ddrescue domain mapfile of the areas that matter",
         "-h, --help               print this help and end",
         "    --version            print the version and end",
         "disk                     the whole disk into qvdisk.img, for later runs without the "
         "drive",
         "raw                      the recording file byte for byte",
         "MP3                      the audio for editing: MPEG audio of the recording's layer "
         "(usually Layer II)",
         "M2V                      the video for editing (with MP3)",
         "M2P                      video and audio for editing: PES packets, repack_size cuts them",
         "VOB                      video and audio in 2048-byte packs; with --dvd for a DVD "
         "(dvdauthor)",
         "TS                       for players: the recording's program as a transport stream"})
        help += std::string("  ") + line + "\n";
    rows.push_back({list, {"-h"}, "", 0, help, ""});
    rows.push_back({list, {"-l", "--help", "-x"}, "", 0, help, ""});
    for (const Row& row : rows) {
        Outcome r = run_child(row.dir, row.args, row.input);
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(row.status, row.out, row.err))
            << ::testing::PrintToString(row.args);
    }
}

// The manual page lists the options --help lists: each help line and each ".TP" line of the
// page's OPTIONS section reduced to its names and value ("-i --image FILE").
TEST(Manual, ListsTheOptionsOfTheHelp) {
    auto names_of = [](std::string line) {
        line = std::regex_replace(line, std::regex(R"(\\f[BIRP]|,)"), "");
        line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
        std::istringstream words(line);
        std::string names, word;
        while (words >> word &&
               (word[0] == '-' || std::all_of(word.begin(), word.end(), ::isupper)))
            names += (names.empty() ? "" : " ") + word;
        return names;
    };
    std::vector<std::string> in_help, in_manual;
    std::istringstream help(run_child(".", {"--help"}).out);
    for (std::string line; std::getline(help, line);)
        if (line.rfind("  -", 0) == 0 || line.rfind("      -", 0) == 0)  // not the modes' lines
            in_help.push_back(names_of(line));
    std::istringstream page(text_of(fs::path(PVR_SOURCE_DIR) / "doc/pvrcopy.1"));
    std::string line, previous, section;
    for (; std::getline(page, line); previous = line) {
        if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
        if (section == "OPTIONS" && previous == ".TP") in_manual.push_back(names_of(line));
    }
    EXPECT_EQ(in_manual, in_help);
    EXPECT_EQ(in_help.front(), "-i --image FILE");
}

// Copies chosen at the prompt or with -r into -o OUT: the banners and errors in order, the files.
//   | "3", " 3", "3abc", "0x3", "003", "+3"; "010"; "1", 510 blanks, "2" | Rec3; Rec8; Film only  |
//   | -r all; 3,1-2,2; 8-12; 5-999999999; 12,1  | each once, in order; "No recording 10" after 9 |
//   | -r 1-2; "2", "1" with News a directory    | 1: its copy fails, the others run              |
//   | -r 2 M2P 5; "2" with mp3, Mp3, MP3 abc    | repack refused; the mode word as typed         |
// The list comes first, once with -r; nothing is written beside the source.
TEST_F(DriverRun, CopiesIntoTheOutputDirectory) {
    struct Row {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::vector<std::string> events;
        std::set<std::string> files;
    };
    const std::vector<std::string> all = {"Film", "News", "Rec3", "Rec4", "Rec5",
                                          "Rec6", "Rec7", "Rec8", "Rec9"};
    const std::string blocked = "ERROR: Cannot open 'News' for output",
                      ten = "ERROR: No recording 10 on this disk";
    std::vector<Row> rows = {
        {{"raw"}, "010\n", 0, {"Rec8"}, {"Rec8"}},
        {{"raw"}, "1" + std::string(510, ' ') + "2\n", 0, {"Film"}, {"Film"}},
        {{"-r", "all", "raw"}, "", 0, all, {all.begin(), all.end()}},
        {{"-r", "3,1-2,2", "raw"}, "", 0, {"Rec3", "Film", "News"}, {"Rec3", "Film", "News"}},
        {{"-r", "8-12", "raw"}, "", 1, {"Rec8", "Rec9", ten}, {"Rec8", "Rec9"}},
        {{"--recordings", "5-999999999", "raw"},
         "",
         1,
         {"Rec5", "Rec6", "Rec7", "Rec8", "Rec9", ten},
         {"Rec5", "Rec6", "Rec7", "Rec8", "Rec9"}},
        {{"-r", "12,1", "raw"}, "", 1, {"ERROR: No recording 12 on this disk", "Film"}, {"Film"}},
        {{"-r", "1-2", "raw"}, "", 1, {"Film", "News", blocked}, {"Film", "News"}},
        {{"raw"}, "2\n1\n", 1, {"News", blocked, "Film"}, {"Film", "News"}},
        {{"-r", "2", "M2P", "5"},
         "",
         1,
         {"News", "ERROR: Repack size 5 not supported: use 0 or a size from 193 to 65541"},
         {}},
    };
    for (std::string three : {"3\n", " 3\n", "3abc\n", "0x3\n", "003\n", "+3"})
        rows.push_back({{"raw"}, three, 0, {"Rec3"}, {"Rec3"}});
    for (const Row& row : rows) {
        fs::path out = fresh("out");
        if (std::count(row.events.begin(), row.events.end(), blocked))
            fs::create_directory(out / "News");
        std::vector<std::string> args = {"-o", out.string()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Outcome r = run_child(root / "list", args, row.input);
        EXPECT_EQ(std::make_tuple(r.status, events(r.err), files_in(out)),
                  std::make_tuple(row.status, row.events, row.files))
            << ::testing::PrintToString(row.args) << " answers "
            << ::testing::PrintToString(row.input) << r.err;
        EXPECT_EQ(r.err.compare(0, kList.size(), kList), 0) << r.err;
        EXPECT_EQ(r.err.find(kList, 1) == std::string::npos, row.input.empty()) << r.err;
    }
    EXPECT_EQ(files_in(root / "list"), std::set<std::string>{"qvdisk.img"});
    for (const char* word : {"mp3", "Mp3", "MP3"})
        EXPECT_EQ(run_child(root / "list", {"-o", fresh("out").string(), word, "abc"}, "2\n")
                      .err.rfind(kList + "\nRecording 'News' size 1 MB " + word + " copy\n\n", 0),
                  0u)
            << word;
}

// Mode "disk": never over the image it reads, with or without -o (the copy elsewhere: the salvage
// run); with -r (its missing number told, the copy made) and a domain map of the areas that matter
// (the system area, the root and the recordings: disk clusters 0 to 12).
TEST_F(DriverRun, DiskModeWithAndWithoutOutputDirectory) {
    const std::string refused =
        "Copying whole Velmoran disk to PC file\nERROR: Cannot open output\n";
    for (Outcome r : {run_child(root / "list", {"DISK", "7"}),
                      run_child(root / "store", {"-i", (root / "list/qvdisk.img").string(), "-o",
                                                 (root / "list").string(), "disk"})})
        EXPECT_EQ(std::make_pair(r.status, r.err), std::make_pair(1, refused));
    const fs::path out = fresh("image");
    Outcome r = run_child(root / "list", {"-o", out.string(), "-r", "9,12", "--domain-map",
                                          (out / "domain.map").string(), "disk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ERROR: No recording 12 on this disk\nCopying whole Velmoran disk", 0),
              0u);
    EXPECT_TRUE(text_of(out / "qvdisk.img") == sources["list/qvdisk.img"]);
    REQUIRE_TOOL("ddrescuelog");
    EXPECT_EQ(
        run_tool("ddrescuelog -b 1048576 -l+ " + (out / "domain.map").string() + " | tr '\\n' ' '"),
        "0 1 2 3 4 5 6 7 8 9 10 11 12 ");
}

// Outputs carry the recording's date and time (local), undated ones (News) the time of writing; so
// do the outputs of raw, TS, VOB, MP3 cut short by a file size limit of 100000 bytes (status 1).
TEST_F(DriverRun, OutputTimesAndFileSizeLimit) {
    const time_t start = time(nullptr);
    const fs::path out = fresh("news");
    EXPECT_EQ(run_child(root / "sample", {"-o", out.string(), "-r", "3", "raw"}).status, 0);
    EXPECT_GE(modified(out / "News__20_00"), start);
    for (auto [mode, name] :
         {std::pair{"raw", ""}, {"TS", ".ts"}, {"VOB", ".vob"}, {"MP3", ".mp3"}}) {
        const fs::path file = fresh("out") / (std::string("Film__Teil_1_2") + name);
        Outcome r = run_child(root / "sample", {"-o", (root / "out").string(), "-r", "2", mode}, "",
                              {}, 100000);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(events(r.err).back(),
                  "ERROR: Write failed: the output file system cannot hold files of this size")
            << r.err;
        EXPECT_LE(fs::file_size(file), 100000u) << mode;
        EXPECT_EQ(modified(file), local_time(2002, 12, 24, 20, 15)) << mode;
    }
}

// B's slot zeroed (its clusters 3-4 lost): refused plainly; with --salvage B's chain is listed as
// lost_000003, as long as its stream, and "-r all" copies A and it byte for byte; mode "disk"
// copies the disk as it is.
TEST_F(DriverRun, SalvageCopiesFromADiskTheCheckRefuses) {
    ImageBuilder img(12);
    img.set_root_dir_slack(512);
    const Bytes a = numbered_packets(0, 8000), b = numbered_packets(8000, 8000);
    img.add_recording("A", a);
    img.add_recording("B", b);
    memset(img.cluster(0) + 128, 0, 128);
    const fs::path dir = fresh("salvage"), out = fresh("out");
    img.write((dir / "qvdisk.img").string());
    const std::string check =
        "INFO: Crosslinked single block 0\nINFO: File  has incorrect length 0/1\nINFO: FAT item 3 "
        "not "
        "accessible\nINFO: FAT item 4 not accessible\nINFO: Total of 2 lost clusters found\n";
    Outcome plain = run_child(dir, {"-l", "raw"});
    EXPECT_EQ(std::make_pair(plain.status, plain.err),
              std::make_pair(1, check + "ERROR: FAT has errors, please correct!\n"));
    Outcome r = run_child(dir, {"--salvage", "-o", out.string(), "-r", "all", "raw"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, r.err.find("\nRecording '")),
              check +
                  "INFO: FAT has errors, please correct!\nINFO: Salvage: the disk is used as it "
                  "stands; recordings that "
                  "share clusters may hold each other's data\n" +
                  "  0% completed...\r  8% completed...\r 16% completed...\r 25% completed...\r "
                  "33% completed...\r 41% completed...\r 50% completed...\r 58% completed...\r "
                  "66% completed...\r 75% completed...\r 83% completed...\r 91% completed...\r"
                  "100% completed...\rINFO: Salvage: lost chain at cluster 3, length 2, holds a "
                  "recording whose stream ends 455636 bytes into its last cluster: listed as "
                  "lost_000003\n\n\n  1:                      2 MB 'A'\n  2:                      "
                  "2 MB 'lost_000003'\n");
    EXPECT_EQ(events(r.err), (std::vector<std::string>{"A", "lost_000003"}));
    EXPECT_TRUE(read_file((out / "A").string()) == recording_bytes(a, {}));
    EXPECT_TRUE(read_file((out / "lost_000003").string()) == recording_bytes(b, {}));
    EXPECT_EQ(run_child(dir, {"-o", out.string(), "disk"}).status, 0);
    for (const fs::path& copy : {out, dir})
        EXPECT_TRUE(read_file((copy / "qvdisk.img").string()) == img.image()) << copy;
}

// Ctrl-C: status 130 while TS writes into a FIFO the test reads (so the interrupt comes while it
// runs), after the part written; at the prompt at once, nothing written.
TEST_F(DriverRun, SigintEndsTheProgramWithStatus130) {
    const fs::path out = fresh("out"), ts = out / "Film__Teil_1_2.ts";
    ASSERT_EQ(mkfifo(ts.c_str(), 0644), 0);
    size_t got = 0;
    Outcome r =
        run_child(root / "sample", {"-o", out.string(), "-r", "2", "TS"}, "", [&](int pid, int) {
            int fifo = open(ts.c_str(), O_RDONLY);
            char buf[65536];
            for (ssize_t n; got < 65536 && (n = read(fifo, buf, sizeof buf)) > 0;) got += size_t(n);
            kill(pid, SIGINT);
            while (read(fifo, buf, sizeof buf) > 0) {}
            close(fifo);
        });
    const std::string tail = "ERROR: Interrupted, the partial output file is left in place\n";
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail);
    EXPECT_EQ(r.err.find("Processing completed"), std::string::npos);
    r = run_child(root / "sample", {"-o", out.string(), "VOB"}, "", [](int pid, int out) {
        for (int i = 0; i < 6000 && fd_text(out).find("---> ") == std::string::npos; ++i)
            usleep(10000);  // 60 s at most
        kill(pid, SIGINT);
    });
    EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(130, std::string("---> ")));
    EXPECT_EQ(files_in(out), std::set<std::string>{"Film__Teil_1_2.ts"});
}
}  // namespace

#endif  // _WIN32
