// The raw recording copy (dump_file) and the whole-disk copy (copy_disk), each test in its own
// directory; the faults every mode meets are in fault_test.cpp.
//   | raw: names, slack 0 / 1 / half / max, fragmented, beside an older file, a bad slack or start,
//   | a chain into a free entry, a loop on the largest table | disk on failing drives: failed
//   | reads per phase, the areas that matter first (and -r), maps after each phase, ddrescue going
//   | on from pvrcopy's map and pvrcopy from ddrescue's, a retry pass, an image without its map
//   | kept; from the parent directory to the last sector; on from an interruption |
#include "support/fixture.h"
namespace fs = std::filesystem;
namespace {
constexpr uint32_t kMiB = 1048576;
// Bytes that differ from their neighbours: a missed or doubled byte exchange or a misplaced cluster
// shows.
Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 12) + seed);
    return b;
}

using Copies = TempDirTest;
TEST_F(Copies, RawCopies) {
    // The recording: a pattern of size bytes in the clusters of chain (empty: from 1), "R" copied
    // to "R"; copied: its bytes in the file; at > 0: a table entry changed; start, count, slack >=
    // 0: the directory entry changed.
    struct Row {
        const char* name;
        size_t size;
        std::vector<uint32_t> chain;
        size_t copied;
        int result;
        const char* error;
        std::vector<int> percents;
        uint32_t at = 0, link = 0;
        int64_t start = -1, count = -1, slack = -1;
    };
    const size_t third = 3 * size_t(kMiB);
    std::vector<Row> rows = {
        {"Film: Teil 1/2", third - 1000, {}, third - 1000, 0, kCompleted, {33, 66, 100}},
        {"R", kMiB - 5000, {}, kMiB - 5000, 0, kCompleted, {100}},
        {"R", 2 * kMiB, {}, 2 * kMiB, 0, kCompleted, {100}, 0, 0, -1, 0},
        {"R",
         kMiB,
         {},
         0,
         kCopyFailed,
         "Recording R: last cluster slack 1048577 exceeds the cluster size 1048576\n",
         {},
         0,
         0,
         -1,
         1,
         kMiB + 1},
        {"R",
         kMiB,
         {},
         0,
         kCopyFailed,
         "Recording R: start cluster 30 lies outside the table\n",
         {},
         0,
         0,
         0x30},
        {"R",
         third,
         {1, 2, 3},
         2 * kMiB,
         kCopyIncomplete,
         "Recording R: chain ends at cluster 2, which is marked free\n",
         {33, 66},
         2,
         kFreeCluster},
    };
    for (uint32_t slack : {0u, 1u, kMiB / 2, kMiB - 2})
        rows.push_back(
            {"R", third - slack, {5, 2, 7}, third - slack, 0, kCompleted, {33, 66, 100}});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + std::to_string(row.size));
        ImageBuilder img(12);
        const Bytes data = pattern(row.size, unsigned(row.size));
        const uint32_t s = img.add_file(0, kTypeRecording, row.name, data, {}, row.chain);
        if (row.at) img.set_fat(row.at, row.link);
        if (row.start >= 0 || row.count >= 0 || row.slack >= 0)
            img.dir_entry(0, 0, kTypeRecording, row.start >= 0 ? uint32_t(row.start) : s,
                          uint32_t(row.count >= 0 ? row.count : 1),
                          uint32_t(std::max<int64_t>(row.slack, 0)), row.name);
        write_file("R", Bytes(5 * kMiB, 0xEE));
        mount(img, 1);
        EXPECT_EQ(dump_file(0), row.result);
        EXPECT_STREQ(row.result == 0 ? capture().messages.back().c_str() : qv_error, row.error);
        EXPECT_EQ(capture().percents, row.percents);
        // The older file "R" is kept, the copy goes to "R(2)"; nothing is created when nothing is
        // copied.
        const std::string file = row.name[0] == 'R' ? "R(2)" : "Film__Teil_1_2";
        EXPECT_TRUE(read_file("R") == Bytes(5 * kMiB, 0xEE));
        const Messages& shown = capture().messages;
        EXPECT_EQ(
            !shown.empty() && shown[0] == "R exists and is kept: the output is written as R(2)\n",
            row.result != kCopyFailed && file == "R(2)");
        EXPECT_TRUE(row.result == kCopyFailed
                        ? !fs::exists(file)
                        : read_file(file) == Bytes(data.begin(), data.begin() + long(row.copied)));
        fs::remove(file);
    }
    // Copies 2 to 998 of "R" there as well: the copy goes to "R(999)"; with that one there too it
    // is refused.
    ImageBuilder img(12);
    img.add_file(0, kTypeRecording, "R", pattern(1000, 1)), mount(img, 1);
    for (int n = 2; n <= 998; ++n) write_file("R(" + std::to_string(n) + ")", Bytes());
    EXPECT_EQ(dump_file(0), kCopyDone);
    EXPECT_EQ(dump_file(0), kCopyFailed);
    EXPECT_TRUE(read_file("R(999)") == pattern(1000, 1) && read_file("R") == Bytes(5 * kMiB, 0xEE));
}

// The largest table (131072 clusters of 1 MiB, zeros behind the system area and the root): a loop
// above cluster 116,504 ends at its first repeat.
TEST_F(Copies, LoopOnTheLargestTable) {
    ImageBuilder top(kMaxClusters);
    top.dir_entry(0, 0, kTypeRecording, 0x1FFFE, 3, 0, "Top"),
        top.link_chain({0x1FFFE, 0x1FFFF, 0x1C719});
    top.set_fat(0x1C719, 0x1FFFE);
    top.set_disk_sectors(2 * 2048);                  // the image: system area and root
    disk_.size = uint64_t(kMaxClusters + 1) * kMiB;  // the disk: every cluster
    ASSERT_EQ(open_disk(top), 0) << qv_error;
    EXPECT_EQ(capture().messages, Messages{"File Top: chain loops at cluster 1fffe\n"});
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
    EXPECT_EQ(dump_file(0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Recording Top: chain loops at cluster 1fffe\n");
    EXPECT_TRUE(read_file("Top") == Bytes(3 * size_t(kMiB), 0));
}

// Mode "disk" on failing drives (9 clusters of 1 MiB and 100 sectors; "Film" in disk clusters 2
// to 6, 7 and 8 free), set up when the disk is found, as the driver does. Each row: the failed
// reads when each of the rescue's lines is shown (the lines in order for the first row, the
// summary cut before its time) and the bytes rescued: a failed read is not split, the areas that
// matter come first, the good data before the drive dies.
struct FailingDrive {
    const char* damage;
    std::vector<BadSectors> bad;
    uint64_t dies_after;              // failed reads, then every read fails
    std::vector<uint64_t> failed_at;  // failed reads at each line shown
    int64_t rescued;
};
constexpr int64_t kDiskBytes = 9 * int64_t(kMiB) + 51200;
const BadSectors kBadMiB = {3 * 2048, 2048, BadKind::kEio};  // Film's second cluster
const FailingDrive kFailingDrives[] = {
    {"a whole bad MiB in the recording", {kBadMiB}, 0, {1, 3, 3, 3, 2049, 2049}, kDiskBytes - kMiB},
    {"three single bad sectors: recording, recording, free",
     {{3 * 2048 + 7, 1, BadKind::kEio},
      {5 * 2048 + 100, 1, BadKind::kWhole},
      {7 * 2048 + 9, 1, BadKind::kEio}},
     0,
     {2, 4, 4, 5, 6, 6, 6, 6},
     kDiskBytes - 3 * 512},
    {"a bad MiB in free space",
     {{7 * 2048, 2048, BadKind::kShort}},
     0,
     {1, 3, 2049, 2049},
     kDiskBytes - kMiB},
    {"a bad MiB in the recording, the drive dies after 3 failed reads",
     {kBadMiB},
     3,
     {1, 3, 3, 6, 8, 2054, 6248, 6248, 6248, 6248, 6248},
     6 * int64_t(kMiB)},
};
const Messages kBadMiBLines = {
    "Trimming the areas that matter: 1048576 bytes in 1 area\n",
    "The areas that matter are read: 6291456 bytes rescued, 1048576 bytes bad; the rest of the "
    "disk follows (Ctrl-C stops; a later run continues)\n",
    "Copying the rest of the disk: 2148352 bytes in 1 area\n",
    "Scraping the areas that matter: 1047552 bytes in 1 area\n",
    "Cannot read 1048576 bytes at position 3145728\n",
    "Rescue: 8439808 bytes rescued, 1048576 bytes bad in 1 area, 2049 failed reads, ",
};

class DiskCopies : public TempDirTest {
protected:
    static ImageBuilder film_disk() {
        ImageBuilder img(8);
        img.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 13));
        img.set_disk_sectors(kDiskBytes / 512);
        return img;
    }
    // Opens the failing drive with the copy set up when it is found; the source image is written
    // to source.img, the bad sectors as a ddrescue test-mode map to bad.map.
    void open_failing(const std::vector<BadSectors>& bad, uint64_t dies_after = 0,
                      ImageBuilder img = film_disk()) {
        disk_ = MemoryDisk(), disk_.bad = bad, disk_.dies_after = dies_after;
        disk_.log_reads = true;
        // The copy in out/: the source's name here is the in-memory disk's.
        fs::create_directories("out"), copy_options.output_dir = "out";
        qv_options.whole_disk = 1, qv_options.found = begin_disk_copy;
        ASSERT_NO_FATAL_FAILURE(mount(img));
        qv_options = qv_settings{};
        write_file("source.img", disk_.image);
        rescue_map test_map = {};
        test_map.current_status = kMapFinished, test_map.current_pass = 1;
        map_set(&test_map, 0, kDiskBytes, kMapFinished);
        for (const BadSectors& b : bad) map_set(&test_map, b.first * 512, b.count * 512, '-');
        map_write("bad.map", &test_map), map_free(&test_map);
    }
    // copy_disk, noting the failed reads at each line shown; stops (Ctrl-C) at the line that
    // begins with stop_at, or when the phase it begins reaches percent.
    int copy(const char* stop_at = nullptr, int percent = 0) {
        static MemoryDisk* disk;
        static const char* stop;
        static int stop_percent;
        static bool armed;
        static std::vector<uint64_t>* failed;
        disk = &disk_, stop = stop_at, stop_percent = percent, armed = false;
        failed = &failed_at_;
        failed_at_.clear();
        clear_capture();
        qv->progress = [](int value) {
            capture_progress(value);
            if (value < 0) failed->push_back(disk->failed);
            if (value < 0 && stop && strncmp(qv_error, stop, strlen(stop)) == 0) armed = true;
            if (armed && (stop_percent == 0 || value >= stop_percent)) qv_interrupted = 1;
        };
        const int result = copy_disk();
        qv->progress = capture_progress;
        qv_interrupted = 0;
        copy_options.output_dir = nullptr;
        return result;
    }
    std::vector<uint64_t> failed_at_;
};

TEST_F(DiskCopies, FailingDrives) {
    for (const FailingDrive& row : kFailingDrives) {
        SCOPED_TRACE(row.damage);
        fs::remove_all("out");
        ASSERT_NO_FATAL_FAILURE(open_failing(row.bad, row.dies_after));
        EXPECT_EQ(copy(), kCopyIncomplete);
        EXPECT_EQ(qv_error, format("%d bytes could not be read and were written as zeros\n",
                                   int(kDiskBytes - row.rescued)));
        EXPECT_EQ(failed_at_, row.failed_at);
        if (&row == kFailingDrives) {
            Messages lines = capture().messages;
            lines.back().resize(kBadMiBLines.back().size());  // its time cut off
            EXPECT_EQ(lines, kBadMiBLines);
        }
        Bytes rescued = disk_.image;
        for (const BadSectors& b : row.bad)
            std::fill_n(rescued.begin() + b.first * 512, b.count * 512, 0);
        EXPECT_TRUE(row.dies_after || read_file("out/qvdisk.img") == rescued);
        EXPECT_EQ(rescue_bytes(kMapFinished), row.rescued);
    }
}

// Two recordings, A (disk clusters 2-3) and B (4-5), B first as -r 2 asks: the opening's clusters
// once (the root is served from the image to the listing), B, A, then the free clusters. The
// domain map marks the areas that matter; ddrescue -m rescues only those.
TEST_F(DiskCopies, TheAreasThatMatterFirst) {
    ImageBuilder two(8);
    two.add_file(0, kTypeRecording, "A", pattern(2 * size_t(kMiB), 1));
    two.add_file(0, kTypeRecording, "B", pattern(2 * size_t(kMiB), 2));
    const int b_first[] = {1};
    copy_options.first_recordings = b_first, copy_options.first_count = 1;
    ASSERT_NO_FATAL_FAILURE(open_failing({}, 0, two));
    EXPECT_EQ(copy(), kCopyDone) << qv_error;
    std::vector<int64_t> read_at;
    for (const auto& [pos, count] : disk_.read_log) read_at.push_back(pos / kMiB);
    EXPECT_EQ(read_at, (std::vector<int64_t>{0, 0, 1, 4, 5, 2, 3, 6, 7, 8}));
#ifndef _WIN32
    REQUIRE_TOOL("ddrescue");
    ASSERT_EQ(write_domain_map("domain.map"), 0) << qv_error;
    copy_options.first_recordings = nullptr, copy_options.first_count = 0;
    EXPECT_EQ(std::system("ddrescue -q -m domain.map source.img d.img d.map"), 0);
    for (const char* map : {"domain.map", "d.map"})
        EXPECT_EQ(run_tool(std::string("ddrescuelog -b 1048576 -l+ ") + map + " | tr '\\n' ' '"),
                  "0 1 2 3 4 5 ")
            << map;
#endif
}

#ifndef _WIN32
// The bad MiB of the recording again. The map after each phase, as ddrescuelog reads it; the rescue
// stopped in the middle of the scraping and ddrescue (in its test mode, the same bad sectors) goes
// on from pvrcopy's map; pvrcopy goes on from ddrescue's, stopped in the copying or after the
// trimming: each ends with the image of an uninterrupted run. Then the drive is repaired and one
// retry pass reads only the bad sectors.
TEST_F(DiskCopies, MapsAfterEachPhaseAndDdrescueGoingOn) {
    REQUIRE_TOOL("ddrescue");
    REQUIRE_TOOL("ddrescuelog");
    auto list = [](const char* types) {
        return run_tool(std::string("ddrescuelog -b 1048576 -l'") + types +
                        "' out/qvdisk.img.map | tr '\\n' ' '");
    };
    ASSERT_NO_FATAL_FAILURE(open_failing({kBadMiB}));
    EXPECT_EQ(copy("Trimming"), kCopyIncomplete);
    EXPECT_EQ(std::vector<std::string>({list("?"), list("*"), list("/-")}),
              std::vector<std::string>({"7 8 9 ", "3 ", ""}));
    ASSERT_NO_FATAL_FAILURE(open_failing({kBadMiB}));
    EXPECT_EQ(copy("Scraping"), kCopyIncomplete);
    EXPECT_EQ(run_tool("ddrescuelog -l- out/qvdisk.img.map | tr '\\n' ' '"), "6144 8191 ");
    EXPECT_EQ(std::vector<std::string>({list("?*"), list("/")}),
              std::vector<std::string>({"", "3 "}));
    ASSERT_NO_FATAL_FAILURE(open_failing({kBadMiB}));
    EXPECT_EQ(copy("Scraping", 50), kCopyIncomplete);
    EXPECT_EQ(std::system("ddrescue -q -H bad.map source.img out/qvdisk.img out/qvdisk.img.map"),
              0);
    Bytes rescued = disk_.image;
    std::fill_n(rescued.begin() + 3 * kMiB, kMiB, 0);
    EXPECT_TRUE(read_file("out/qvdisk.img") == rescued);
    EXPECT_EQ(list("?*/"), "");
    const std::string ended = run_tool("ddrescuelog -t out/qvdisk.img.map | grep -v current");
    for (const char* ddrescue_first : {"-X 5", "-n"}) {
        SCOPED_TRACE(ddrescue_first);
        fs::remove_all("out");
        std::system(("ddrescue -q " + std::string(ddrescue_first) +
                     " -H bad.map source.img out/qvdisk.img out/qvdisk.img.map")
                        .c_str());
        ASSERT_NO_FATAL_FAILURE(open_failing({kBadMiB}));
        EXPECT_EQ(copy(), kCopyIncomplete);
        EXPECT_TRUE(read_file("out/qvdisk.img") == rescued);
        EXPECT_EQ(run_tool("ddrescuelog -t out/qvdisk.img.map | grep -v current"), ended);
    }
    ASSERT_NO_FATAL_FAILURE(open_failing({}));
    copy_options.retries = 1;
    EXPECT_EQ(copy(), kCopyDone) << qv_error;
    copy_options.retries = 0;
    EXPECT_EQ(capture().messages.at(1),
              "Retrying the areas that matter, pass 1 of 1: 1048576 bytes in 1 area\n");
    // The first sector, then each bad sector once: the opening's clusters come from the image.
    EXPECT_EQ(disk_.read_log.size(), 1 + 2048u);
    EXPECT_TRUE(read_file("out/qvdisk.img") == disk_.image);
    EXPECT_EQ(std::system("ddrescuelog -D out/qvdisk.img.map"), 0);
    EXPECT_GT(fs::last_write_time("out/qvdisk.img"),
              fs::file_time_type::clock::now() - std::chrono::hours(1));  // undated: now
    // All finished: nothing to read, 100 % at once. An image without its map is not a copy to go
    // on with: it is kept, the disk goes to qvdisk(2).img with its map.
    ASSERT_NO_FATAL_FAILURE(open_failing({}));
    EXPECT_EQ(copy(), kCopyDone) << qv_error;
    EXPECT_EQ(capture().percents, std::vector<int>{100});
    fs::remove("out/qvdisk.img.map");
    ASSERT_NO_FATAL_FAILURE(open_failing({}));
    EXPECT_EQ(copy(), kCopyDone) << qv_error;
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    EXPECT_TRUE(read_file("out/qvdisk(2).img") == disk_.image &&
                fs::exists("out/qvdisk(2).img.map"));
}
#endif

#ifndef _WIN32
// Real files in the parent directory: a disk of small clusters copied to its last sector; in mode
// "disk" an image with its map here is the copy to go on with (in other modes it is the source,
// read as its map tells).
TEST_F(Copies, FromTheParentDirectoryToTheLastSectorAndOnFromItsMap) {
    REQUIRE_TOOL("ddrescuelog");
    ImageBuilder small(8, 1026), img(8);
    small.set_disk_sectors(9 * 1026 + 100),
        img.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 12));
    const Bytes image = img.image();
    auto open_native = [this] {
        close_disk();
        int r = open_qvdisk(capture_progress);
        clear_capture();
        return r;
    };
    write_file("qvdisk.img", small.image()), fs::create_directory("sub"), fs::current_path("sub");
    ASSERT_EQ(open_native(), 0) << qv_error;
    ASSERT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_TRUE(read_file("qvdisk.img") == small.image());
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    EXPECT_EQ(run_tool("ddrescuelog -t qvdisk.img.map | grep rescued"),
              "       rescued:    4779 kB,  in      1 area(s)  (100%)\n");
    fs::remove("qvdisk.img"), fs::remove("qvdisk.img.map"), write_file("../qvdisk.img", image);
    qv_options.whole_disk = 1;
    qv_options.excluded = is_disk_copy_to_continue;
    ASSERT_EQ(open_native(), 0) << qv_error;
    qv->progress = [](int value) {
        capture_progress(value);
        if (value >= 30) qv_interrupted = 1;
    };
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    qv_interrupted = 0;
    EXPECT_STREQ(qv_error, "Interrupted, the partial output file is left in place\n");
    EXPECT_EQ(run_tool("ddrescuelog -l? -b 1048576 qvdisk.img.map | tr '\\n' ' '"), "3 4 5 6 7 8 ");
    EXPECT_EQ(run_tool("grep -c '^0x[0-9A-F]*  *? ' qvdisk.img.map"),
              "1\n");                         // its status: still copying
    ASSERT_EQ(open_native(), 0) << qv_error;  // the parent's image again
    EXPECT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_EQ(capture().percents, (std::vector<int>{16, 33, 50, 66, 83, 100}));
    qv_options = qv_settings{};
    EXPECT_TRUE(read_file("qvdisk.img") == image);
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
    close_disk(), clear_capture();
    ASSERT_EQ(open_qvdisk(capture_progress), 0)
        << qv_error;  // in another mode the copy here is the source
    EXPECT_EQ(
        capture().messages,
        Messages{
            "Using the map qvdisk.img.map: blocks it does not mark rescued count as unreadable\n"});
}

#endif  // _WIN32
}  // namespace
