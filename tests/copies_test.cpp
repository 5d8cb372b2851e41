// The raw recording copy (dump_file) and the whole-disk copy (copy_disk), each test in its own
// directory; the faults every mode meets are in fault_test.cpp.
//   | raw: names, slack 0 / 1 / half / max, fragmented, beside an older file, a bad slack or start,
//   a | chain into a free entry, a loop on the largest table | disk: failing sectors with a map,
//   continued | by pvrcopy and by ddrescue, an image without its map kept; from the parent
//   directory to the last sector; | on from an interruption |
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

// The disk copy of a failing disk (9 clusters of 1 MiB and 100 sectors): sectors 3000 to 3007 fail
// with error 5, the last one (18531) the whole request. Copied again from the repaired disk only
// those are read; ddrescue -r3 goes on from the first map as well.
TEST_F(Copies, DiskCopyOfAFailingDiskKeepsAMap) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 13)),
        img.set_disk_sectors(9 * 2048 + 100);
    disk_.fail_sectors(3000, 8), disk_.fail_sectors(18531, 1, BadKind::kWhole);
    mount(img);
    const Bytes source = disk_.image;
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "4608 bytes could not be read and were written as zeros\n");
    EXPECT_EQ(capture().messages, (Messages{"Cannot read 4096 bytes at position 1536000\n",
                                            "Cannot read 512 bytes at position 9487872\n"}));
    Bytes partial = source;
    std::fill_n(partial.begin() + 3000 * 512, 4096, 0), std::fill_n(partial.end() - 512, 512, 0);
    EXPECT_TRUE(read_file("qvdisk.img") == partial);
    EXPECT_GT(fs::last_write_time("qvdisk.img"),
              fs::file_time_type::clock::now() - std::chrono::hours(1));  // undated: now
    const Bytes map = read_file("qvdisk.img.map");
    disk_.bad.clear(), disk_.log_reads = true, clear_capture();
    EXPECT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_EQ(disk_.read_log,
              (std::vector<std::pair<int64_t, uint32_t>>{{1536000, 4096}, {9487872, 512}}));
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    EXPECT_TRUE(read_file("qvdisk.img") == source);
    clear_capture();
    EXPECT_EQ(copy_disk(), 0)
        << qv_error;  // the map marks all finished: nothing to read, 100 % at once
    EXPECT_EQ(capture().percents, std::vector<int>{100});
#ifndef _WIN32
    REQUIRE_TOOL("ddrescuelog");
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
    write_file("qvdisk.img", partial), write_file("qvdisk.img.map", map);
    EXPECT_EQ(run_tool("ddrescuelog -l- qvdisk.img.map | tr '\\n' ' '"),
              "3000 3001 3002 3003 3004 3005 3006 3007 18531 ");
    write_file("source.img", source);
    EXPECT_EQ(std::system("ddrescue -q -r3 source.img qvdisk.img qvdisk.img.map"), 0);
    EXPECT_TRUE(read_file("qvdisk.img") == source);
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
#endif
    // An image without its map is not a copy to go on with: it is kept, the disk goes to
    // qvdisk(2).img with its map.
    write_file("qvdisk.img", partial), fs::remove("qvdisk.img.map"), clear_capture();
    EXPECT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_EQ(capture().messages,
              (Messages{"qvdisk.img exists and is kept: the output is written as qvdisk(2).img\n",
                        "\nProcessing completed.\n"}));
    EXPECT_TRUE(read_file("qvdisk.img") == partial && read_file("qvdisk(2).img") == source &&
                fs::exists("qvdisk(2).img.map"));
}

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
