// Raw recording copies (dump_file), the whole-disk copy (copy_disk) and output
// names (make_name). Every test runs in its own temporary directory.
//   | case                                          | expected                                          |
//   | 3 contiguous 1 MiB clusters, slack 1000       | recording_bytes(), 33/66/100, "\rProcessing completed.\n" |
//   | fragmented chain 5-2-7, slacks 0/1/half/max   | byte-identical each time                          |
//   | one cluster (output exists, larger); count 0  | cluster_size - slack bytes, replaced; 100         |
//   | slack > cluster_size                          | refused naming the recording, no file             |
//   | chain into a free entry / loop / start outside| result 1, message naming it, partial file left    |
//   | (also on the largest table)                   |                                                   |
//   | recordings of one name                        | list numbers in their names, each copy exact      |
//   | raw and disk copy outputs are symlinks to     | "Write failed (disk full?)\n" each, no completion |
//   | /dev/full (POSIX)                             |                                                   |
//   | disk opened from ./qvdisk.img (POSIX)         | "disk" and a recording named qvdisk.img refused,  |
//   |                                               | image unchanged                                   |
//   | disk opened from ../qvdisk.img (POSIX)        | image copied byte for byte, 11..100, "\nProcessing completed.\n" |
//   | 1026-sector clusters, partial last cluster    | every whole cluster copied                        |
//   | make_name                                     | the document's three cases, the allowed set       |
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;

// Bytes that differ from their neighbours, so a missed or doubled byte
// exchange or a misplaced cluster shows.
Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 12) + seed);
    return b;
}

// Transport-like packets (a sync byte every 188 bytes), n bytes.
Bytes packets(size_t n) {
    Bytes b = pattern(n, 3);
    for (size_t i = 0; i < n; i += kTsPacketSize) b[i] = kTsSyncByte;
    return b;
}

using Copies = TempDirTest;

TEST_F(Copies, RawCopyOfAContiguousRecording) {
    ImageBuilder img(8);
    RecordingHeader h;
    h.video_pid = 0x1E0;
    const Bytes ts = packets(3 * kMiB - 1000 - kRecordingHeaderSize);
    img.add_recording("Film: Teil 1/2", ts, h);
    mount(img);
    ASSERT_EQ(qv->recordings[0].last_cluster_slack, 1000u);
    ASSERT_EQ(dump_file(0), 0) << qv_error;
    EXPECT_EQ(read_file("Film__Teil_1_2"), recording_bytes(ts, h));
    EXPECT_EQ(fs::file_size("Film__Teil_1_2"), 3144728u);
    EXPECT_EQ(capture().percents, (std::vector<int>{33, 66, 100}));
    EXPECT_EQ(capture().messages, Messages{"\rProcessing completed.\n"});
}

TEST_F(Copies, RawCopyFollowsAFragmentedChainForEverySlack) {
    for (uint32_t slack : {0u, 1u, kMiB / 2, kMiB - 2}) {
        SCOPED_TRACE(slack);
        ImageBuilder img(8);
        const Bytes data = pattern(3 * size_t(kMiB) - slack, slack);
        img.add_file(0, kTypeRecording, "Frag", data, {}, {5, 2, 7});
        mount(img);
        ASSERT_EQ(qv->recordings[0].last_cluster_slack, slack);
        ASSERT_EQ(dump_file(0), 0) << qv_error;
        EXPECT_EQ(read_file("Frag"), data);
    }
}

TEST_F(Copies, RawCopyOfOneClusterOverAnOldFileAndOfAZeroCount) {
    ImageBuilder img(8);
    const Bytes one = pattern(kMiB - 5000, 1);
    img.add_file(0, kTypeRecording, "One", one);
    const Bytes two = pattern(2 * size_t(kMiB), 2);
    uint32_t start = img.add_file(0, kTypeRecording, "Zero", two);
    img.dir_entry(0, 1, kTypeRecording, start, 0, 0, "Zero");   // stored count 0
    mount(img);
    write_file("One", Bytes(5 * kMiB, 0xEE));                   // replaced, not appended to
    ASSERT_EQ(dump_file(0), 0) << qv_error;
    EXPECT_EQ(read_file("One"), one);
    EXPECT_EQ(capture().percents, std::vector<int>{100});
    clear_capture();
    ASSERT_EQ(dump_file(1), 0) << qv_error;
    EXPECT_EQ(read_file("Zero"), two);
    EXPECT_EQ(capture().percents, std::vector<int>{100});   // nothing to divide by: all done
}

TEST_F(Copies, SlackBeyondTheClusterIsRefused) {
    ImageBuilder img(8);
    uint32_t start = img.add_file(0, kTypeRecording, "Film", pattern(kMiB, 0));
    img.dir_entry(0, 0, kTypeRecording, start, 1, kMiB + 1, "Film");
    mount(img);
    EXPECT_EQ(dump_file(0), kCopyFailed);
    EXPECT_STREQ(qv_error, "Recording Film: last cluster slack 1048577 exceeds the cluster size 1048576\n");
    EXPECT_FALSE(fs::exists("Film"));
}

// Damaged chains end the raw copy as a failure that names the cluster as the
// reader names it; what was written stays.
//   | chain                                       | error; the file                                    |
//   | 1-2-3, cluster 2 marked free                | "Recording Free: chain ends at cluster 2, which is marked free\n"; 2 clusters |
//   | 4-5-6-5                                     | "Recording Loop: chain loops at cluster 5\n"; 3 clusters |
//   | start 0x30                                  | "Recording Far: start cluster 30 lies outside the table\n"; none |
//   | the largest table (131072 clusters of 1 MiB,| "Recording Top: chain loops at cluster 1fffe\n"; 3 clusters of |
//   | zeros behind the first two): 1fffe-1ffff-   | zeros                                              |
//   | 1c719-1fffe                                 |                                                    |
TEST_F(Copies, DamagedChainsFailAndLeaveThePartialFile) {
    ImageBuilder img(12);
    const Bytes free_end = pattern(3 * size_t(kMiB), 4);
    img.add_file(0, kTypeRecording, "Free", free_end, {}, {1, 2, 3});
    img.set_fat(2, kFreeCluster);
    const Bytes loop = pattern(3 * size_t(kMiB), 5);
    img.add_file(0, kTypeRecording, "Loop", loop, {}, {4, 5, 6});
    img.set_fat(6, 5);
    img.dir_entry(0, img.free_slot(0), kTypeRecording, 0x30, 1, 0, "Far");
    mount(img);

    EXPECT_EQ(dump_file(0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Recording Free: chain ends at cluster 2, which is marked free\n");
    EXPECT_EQ(read_file("Free"), Bytes(free_end.begin(), free_end.begin() + 2 * kMiB));

    EXPECT_EQ(dump_file(1), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Recording Loop: chain loops at cluster 5\n");
    EXPECT_EQ(read_file("Loop"), loop);

    EXPECT_EQ(dump_file(2), kCopyFailed);
    EXPECT_STREQ(qv_error, "Recording Far: start cluster 30 lies outside the table\n");
    EXPECT_FALSE(fs::exists("Far"));
    EXPECT_FALSE(shown_completion());

    ImageBuilder top(kMaxClusters);
    top.dir_entry(0, 0, kTypeRecording, 0x1FFFE, 3, 0, "Top");
    top.link_chain({0x1FFFE, 0x1FFFF, 0x1C719});
    top.set_fat(0x1C719, 0x1FFFE);
    top.set_disk_sectors(2 * 2048);                      // the image: system area and root
    disk_.size = uint64_t(kMaxClusters + 1) * kMiB;      // the disk: every cluster
    ASSERT_EQ(open_disk(top), 0) << qv_error;
    EXPECT_EQ(capture().messages, Messages{"File Top: chain loops at cluster 1fffe\n"});
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
    EXPECT_EQ(dump_file(0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Recording Top: chain loops at cluster 1fffe\n");
    EXPECT_EQ(read_file("Top"), Bytes(3 * size_t(kMiB), 0));
}

// Recordings that would give one output name each get their list number;
// a name of its own stays plain, so every name is the same in every run.
//   | names (list numbers 1, 2, ...)     | raw names                                |
//   | Tagesschau, Film, Tagesschau        | Tagesschau_1, Film, Tagesschau_3         |
//   | News, NEWS, news                    | News_1, NEWS_2, news_3 (case ignored)    |
//   | News, News, News_2, News_2_3        | News_1, News_2, News_2_3, News_2_3_4     |
//   | Film: 1, Film/ 1, "" (empty)        | Film__1_1, Film__1_2, _3                 |
TEST(OutputNames, RecordingsOfOneNameGetTheirListNumbers) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> rows = {
        {{"Tagesschau", "Film", "Tagesschau"}, {"Tagesschau_1", "Film", "Tagesschau_3"}},
        {{"News", "NEWS", "news"}, {"News_1", "NEWS_2", "news_3"}},
        {{"News", "News", "News_2", "News_2_3"}, {"News_1", "News_2", "News_2_3", "News_2_3_4"}},
        {{"Film: 1", "Film/ 1", ""}, {"Film__1_1", "Film__1_2", "_3"}},
    };
    for (const auto& [names, want] : rows) {
        for (size_t i = 0; i < names.size(); ++i) snprintf(qv->recordings[i].name, kNameSize, "%s", names[i].c_str());
        qv->recording_count = int(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            char out[kOutputNameSize];
            recording_file_name(out, int(i), "");
            EXPECT_EQ(std::string(out), want[i]);
            recording_file_name(out, int(i), ".ts");
            EXPECT_EQ(std::string(out), want[i] + ".ts");
        }
    }
    memset(qv->recordings, 0, sizeof qv->recordings);
    qv->recording_count = 0;
}

// Three recordings of one name beside one of its own, copied twice: each
// copy byte for byte under its own name, the second run over the first.
TEST_F(Copies, RecordingsOfOneNameAreCopiedSideBySide) {
    ImageBuilder img(12);
    std::vector<Bytes> data;
    for (const char* name : {"Tagesschau", "Film", "Tagesschau", "Tagesschau"}) {
        data.push_back(pattern(kMiB + 1000 * data.size(), unsigned(data.size())));
        img.add_file(0, kTypeRecording, name, data.back());
    }
    mount(img, 4);
    const std::vector<std::string> names = {"Tagesschau_1", "Film", "Tagesschau_3", "Tagesschau_4"};
    for (int run = 0; run < 2; ++run) {
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(dump_file(i), 0) << qv_error;
            EXPECT_EQ(read_file(names[size_t(i)]), data[size_t(i)]) << names[size_t(i)];
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 4);
}

// The disk copy of a failing disk (in memory; 9 clusters of 1 MiB and 100
// sectors): sectors 3000 to 3007 fail with error 5, the last one (18531)
// fails the whole request.
//   | run                           | expected                                                       |
//   | the copy                      | the image whole, zeros there; "Cannot read 4096 bytes at        |
//   |                               | position 1536000\n", "... 512 bytes at position 9487872\n";    |
//   |                               | 1, "4608 bytes could not be read and were written as zeros\n"; |
//   |                               | the map lists exactly those sectors bad (ddrescuelog -l-)      |
//   | the copy again, disk repaired | only the 9 bad sectors read (in 2 reads); completed; the image |
//   |                               | equals the source; ddrescuelog -D: all finished                |
//   | ddrescue -r3 from the source, | goes on from the first map: the image equals the source        |
//   | the first copy's image and map|                                                                |
TEST_F(Copies, DiskCopyOfAFailingDiskKeepsAMap) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 13));
    img.set_disk_sectors(9 * 2048 + 100);
    disk_.fail_sectors(3000, 8);
    disk_.fail_sectors(18531, 1, BadKind::kWhole);
    mount(img);
    const Bytes source = disk_.image;
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "4608 bytes could not be read and were written as zeros\n");
    EXPECT_EQ(capture().messages, (Messages{"Cannot read 4096 bytes at position 1536000\n",
                                            "Cannot read 512 bytes at position 9487872\n"}));
    Bytes partial = source;
    std::fill_n(partial.begin() + 3000 * 512, 4096, 0);
    std::fill_n(partial.end() - 512, 512, 0);
    EXPECT_EQ(read_file("qvdisk.img"), partial);
    const Bytes map = read_file("qvdisk.img.map");

    // pvrcopy goes on from the map, reading only what it does not mark finished.
    disk_.bad.clear();
    disk_.log_reads = true;
    clear_capture();
    EXPECT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_EQ(disk_.read_log, (std::vector<std::pair<int64_t, uint32_t>>{{1536000, 4096}, {9487872, 512}}));
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    EXPECT_EQ(read_file("qvdisk.img"), source);
#ifndef _WIN32
    REQUIRE_TOOL("ddrescuelog");
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
    // The first map, as GNU ddrescue reads it, and a ddrescue run that goes
    // on from it with the source as a file.
    write_file("qvdisk.img", partial);
    write_file("qvdisk.img.map", map);
    EXPECT_EQ(run_tool("ddrescuelog -l- qvdisk.img.map | tr '\\n' ' '"),
              "3000 3001 3002 3003 3004 3005 3006 3007 18531 ");
    write_file("source.img", source);
    EXPECT_EQ(std::system("ddrescue -q -r3 source.img qvdisk.img qvdisk.img.map"), 0);
    EXPECT_EQ(read_file("qvdisk.img"), source);
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
#endif
}

TEST(MakeName, ReplacesEveryByteOutsideTheAllowedSet) {
    char out[kOutputNameSize];
    make_name(out, "Film: Teil 1/2", ".mp3");
    EXPECT_STREQ(out, "Film__Teil_1_2.mp3");
    make_name(out, "News, 20:00", "");
    EXPECT_STREQ(out, "News__20_00");
    make_name(out, "a~b'c", ".vob");
    EXPECT_STREQ(out, "a_b_c.vob");
    const char allowed[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+=;$!@#%^&()[]{}_";
    make_name(out, allowed, ".ts");
    EXPECT_EQ(std::string(out), std::string(allowed) + ".ts");
    make_name(out, "\t\x7f\x80\xe4\xff\\|\"*?<>`,", "");
    EXPECT_STREQ(out, "______________");
    const std::string longest(511, 'n');
    make_name(out, longest.c_str(), ".m2v");
    EXPECT_EQ(std::string(out), longest + ".m2v");
}

#ifndef _WIN32

// Native backend: the image is a real file, opened where the product finds it.
class DiskCopy : public TempDirTest {
protected:
    int open_native() {
        close_disk();
        clear_capture();
        int r = open_qvdisk(capture_progress);
        clear_capture();
        return r;
    }
    // Copies image, stored in the test directory, from a directory below it.
    void copy_from_parent(const Bytes& image) {
        write_file("qvdisk.img", image);
        fs::create_directory("sub");
        fs::current_path("sub");
        ASSERT_EQ(open_native(), 0) << qv_error;
        ASSERT_EQ(copy_disk(), 0) << qv_error;
    }
};

TEST_F(DiskCopy, FromTheParentDirectoryCopiesEveryByte) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", pattern(3 * size_t(kMiB), 10));
    const Bytes image = img.image();
    ASSERT_NO_FATAL_FAILURE(copy_from_parent(image));
    EXPECT_EQ(read_file("qvdisk.img"), image);
    EXPECT_EQ(capture().percents, (std::vector<int>{11, 22, 33, 44, 55, 66, 77, 88, 100}));
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
}

TEST_F(DiskCopy, FromTheCurrentDirectoryIsRefusedAndTheImageKept) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "qvdisk.img", pattern(kMiB, 11));
    const Bytes image = img.image();
    write_file("qvdisk.img", image);
    ASSERT_EQ(open_native(), 0) << qv_error;
    EXPECT_EQ(copy_disk(), kCopyFailed);
    EXPECT_STREQ(qv_error, "Cannot open output\n");
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
    EXPECT_EQ(dump_file(0), kCopyFailed);   // a recording of that name must not truncate it either
    EXPECT_STREQ(qv_error, "Cannot open 'qvdisk.img' for output\n");
    qv_close();
    EXPECT_EQ(read_file("qvdisk.img"), image);
    EXPECT_FALSE(shown_completion());
}

TEST_F(DiskCopy, SmallClustersAreCopiedToTheLastSector) {
    ImageBuilder img(8, 1026);
    img.set_disk_sectors(9 * 1026 + 100);   // a partial cluster at the end
    const Bytes image = img.image();
    ASSERT_NO_FATAL_FAILURE(copy_from_parent(image));
    EXPECT_EQ(read_file("qvdisk.img"), image);
    REQUIRE_TOOL("ddrescuelog");
    EXPECT_EQ(run_tool("ddrescuelog -t qvdisk.img.map | grep rescued"),
              "       rescued:    4779 kB,  in      1 area(s)  (100%)\n");
}

// In mode "disk" an image with its map in the current directory is the copy
// to go on with: the source is the image of the parent directory (in other
// modes that image is the source, read as its map tells).
TEST_F(DiskCopy, AnInterruptedCopyGoesOnFromItsMap) {
    REQUIRE_TOOL("ddrescuelog");
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 12));
    const Bytes image = img.image();
    write_file("qvdisk.img", image);
    fs::create_directory("sub");
    fs::current_path("sub");
    qv_disk_mode = 1;
    ASSERT_EQ(open_native(), 0) << qv_error;
    qv->progress = [](int value) {
        capture_progress(value);
        if (value >= 30) qv_interrupted = 1;
    };
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    qv_interrupted = 0;
    EXPECT_STREQ(qv_error, "Interrupted, the partial output file is left in place\n");
    EXPECT_EQ(run_tool("ddrescuelog -l? -b 1048576 qvdisk.img.map | tr '\\n' ' '"), "3 4 5 6 7 8 ");
    ASSERT_EQ(open_native(), 0) << qv_error;   // the parent's image again
    EXPECT_EQ(capture().messages, Messages{});
    EXPECT_EQ(copy_disk(), 0) << qv_error;
    EXPECT_EQ(capture().percents, (std::vector<int>{16, 33, 50, 66, 83, 100}));
    qv_disk_mode = 0;
    EXPECT_EQ(read_file("qvdisk.img"), image);
    EXPECT_EQ(std::system("ddrescuelog -D qvdisk.img.map"), 0);
    // In another mode the copy here is the source, with its map.
    close_disk();
    clear_capture();
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(capture().messages,
              Messages{"Using the map qvdisk.img.map: blocks it does not mark rescued count as unreadable\n"});
}

TEST_F(DiskCopy, WriteFailureIsReportedNeverCompleted) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", pattern(2 * size_t(kMiB) - 10, 8));
    img.add_file(0, kTypeRecording, "Small", pattern(100, 9));   // fits the file buffer: fails on close
    img.write("qvdisk.img");
    ASSERT_EQ(open_native(), 0) << qv_error;
    ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 2);
    fs::create_symlink("/dev/full", "Film");
    fs::create_symlink("/dev/full", "Small");
    EXPECT_EQ(dump_file(0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Write failed (disk full?)\n");
    EXPECT_EQ(dump_file(1), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Write failed (disk full?)\n");
    // The disk copy of another directory goes to a full device.
    fs::create_directory("sub");
    fs::current_path("sub");
    fs::create_symlink("/dev/full", "qvdisk.img");
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "Write failed (disk full?)\n");
    EXPECT_FALSE(shown_completion());
}

#endif  // _WIN32

}  // namespace
