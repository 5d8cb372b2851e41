// The raw recording copy (dump_file) and the whole-disk copy (copy_disk), each test in its own
// directory; the faults every mode meets are in fault_test.cpp.
#include "support/fixture.h"
namespace fs = std::filesystem;
namespace {
constexpr uint32_t kMiB = 1048576;
constexpr size_t kThreeMiB = 3 * size_t(kMiB);
constexpr char kKept[] = "R exists and is kept: the output is written as R(2)\n";
// Bytes that differ from their neighbours: a missed or doubled byte exchange or a misplaced cluster
// shows.
Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 12) + seed);
    return b;
}

// Mode "raw" of one recording of 12 clusters, a pattern of .size bytes in the clusters of .chain
// (from cluster 1 when empty), beside an older file "R", which is kept: the copy goes to "R(2)".
// The rows vary the chain, its last cluster's slack, the directory entry and the output; each
// checks the result, the lines shown (qv_error last when not done), the percentages and the bytes
// written (no file when refused).
struct RawRow {
    const char* name = "";
    size_t size = kThreeMiB;
    std::vector<uint32_t> chain = {5, 2, 7};
    int result = kCopyDone;
    std::string last = kCompleted;  // the last line shown, or qv_error when not done
    std::vector<int> percents = {33, 66, 100};
    size_t copied = SIZE_MAX;          // the pattern's bytes in the file: all of them
    std::vector<uint32_t> entry = {};  // start, count, slack written to the directory entry
    bool full_device = false;          // the output a link to /dev/full
};
const RawRow kRawRows[] = {
    {.name = "a fragmented chain, its last cluster full"},
    {.name = "a slack of the whole last cluster",
     .size = 2 * kMiB + 1,
     .copied = 2 * kMiB,
     .entry = {5, 3, kMiB}},
    {.name = "a count of 0: the whole chain, 100 % at once",
     .size = 2 * kMiB - 5000,
     .chain = {},
     .percents = {100},
     .entry = {1, 0, 5000}},
    {.name = "a slack above the cluster size: refused",
     .result = kCopyFailed,
     .last = "Recording R: last cluster slack 1048577 exceeds the cluster size 1048576\n",
     .percents = {},
     .entry = {5, 3, kMiB + 1}},
    {.name = "a start just outside the table: refused",
     .result = kCopyFailed,
     .last = "Recording R: start cluster c lies outside the table\n",
     .percents = {},
     .entry = {12, 3, 0}},
    {.name = "into a full device: the close fails, the one cluster's write buffered",
     .size = kMiB - 5000,
     .chain = {},
     .result = kCopyIncomplete,
     .last = "Write failed (disk full?)\n",
     .percents = {100},
     .full_device = true},
};

using Copies = TempDirTest;
TEST_F(Copies, RawCopies) {
    const Bytes older(5 * kMiB, 0xEE);
    for (const RawRow& row : kRawRows) {
        SCOPED_TRACE(row.name);
#ifdef _WIN32
        if (row.full_device) continue;
#endif
        ImageBuilder img(12);
        const Bytes data = pattern(row.size, unsigned(row.size));
        img.add_file(0, kTypeRecording, "R", data, {}, row.chain);
        if (!row.entry.empty())
            img.dir_entry(0, 0, kTypeRecording, row.entry[0], row.entry[1], row.entry[2], "R");
        write_file("R", older);
        if (row.full_device) fs::create_symlink("/dev/full", "R(2)");
        mount(img, 1);
        EXPECT_EQ(dump_file(0), row.result);
        Messages told = capture().messages;
        if (row.result != kCopyDone) told.push_back(qv_error);
        Messages want = {row.last};  // the older file named first when a copy is made
        if (row.result != kCopyFailed) want.insert(want.begin(), kKept);
        EXPECT_EQ(told, want);
        EXPECT_EQ(capture().percents, row.percents);
        EXPECT_TRUE(read_file("R") == older);
        EXPECT_EQ(fs::exists("R(2)"), row.result != kCopyFailed);
        if (row.result != kCopyFailed && !row.full_device) {
            EXPECT_TRUE(read_file("R(2)") ==
                        Bytes(data.begin(), data.begin() + std::min(row.copied, data.size())));
        }
        fs::remove("R(2)");
    }
    // With "R(2)" to "R(998)" there too the copy goes to "R(999)"; with that one too it is refused.
    ImageBuilder img(12);
    img.add_file(0, kTypeRecording, "R", pattern(1000, 1));
    mount(img, 1);
    for (int n = 2; n <= 998; ++n) write_file("R(" + std::to_string(n) + ")", Bytes());
    EXPECT_EQ(dump_file(0), kCopyDone);
    EXPECT_EQ(dump_file(0), kCopyFailed);
    EXPECT_STREQ(qv_error, "Cannot open 'R' for output\n");
    EXPECT_TRUE(read_file("R(999)") == pattern(1000, 1));
    // A number outside the directory's table is refused before any slot is looked at.
    EXPECT_EQ(dump_file(-1), kCopyFailed);
    EXPECT_STREQ(qv_error, "No recording 0 on this disk\n");
    EXPECT_EQ(dump_file(int(kMaxRecordings)), kCopyFailed);
    EXPECT_STREQ(qv_error, "No recording 14337 on this disk\n");
}

// Raw copies of "R", 10500 packets whose clock runs 1 ms a packet (the PCR, or the PES time stamps
// of the video in every packet; the first one begins the first picture) in disk clusters 2 and 3:
// recording byte x is disk byte 2097152 + x, (x - 212) / 188 ms into it. The image's map marks 40
// sectors at 2.0 s, 20 at 2.5 s (one place with them) and 100 at 5.4 s (across the first
// cluster's end) unreadable; the rows vary the clock and the chain.
enum Clock { kPcrClock, kPtsClock, kNoClock };
// From packet 4000 on (4.0 s) the clock is jump_ms ahead.
Bytes clocked_packets(Clock clock, uint32_t count, int64_t jump_ms) {
    Bytes ts;
    for (uint32_t k = 0; k < count; ++k) {
        const bool stamped = clock == kPtsClock || (k == 0 && clock == kPcrClock);
        Bytes p = {0x47, uint8_t(stamped ? 0x41 : 0x01), 0x01,
                   uint8_t((clock == kPcrClock ? 0x30 : 0x10) | (k & 0x0F))};
        const uint64_t base = uint64_t(k + (k >= 4000 ? jump_ms : 0)) * 90;  // 90 kHz
        if (clock == kPcrClock)
            append(p, {7, 0x10, uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9),
                       uint8_t(base >> 1), uint8_t(base << 7 | 0x7E), 0});
        append(p, stamped ? pes(0xE0, kTsPacketSize - p.size(), int64_t(base))
                          : Bytes(kTsPacketSize - p.size(), 0xAA));
        append(ts, p);
    }
    return ts;
}
// R's clusters at disk bytes 2097152 and 3145728: holes in the first (two) and in the second.
constexpr char kHoles[] =
    "0 + 1\n0 2473472 +\n2473472 20480 -\n2493952 74240 +\n2568192 10240 -\n"
    "2578432 541696 +\n3120128 51200 -\n3171328 2071552 +\n";
struct LossRow {
    const char* name = "";
    Clock clock = kPcrClock;
    int64_t jump_ms = 0;
    const char* map = kHoles;  // the unreadable areas; none: a healthy disk
    bool cut = false;          // the first cluster links back to itself
    Messages lines = {};
    std::string error = {};
    std::string outcome = {};
};
const std::string kHolesAt2And4 =
    "81920 bytes could not be read and were written as zeros: 0.44 s in 2 places of 0:00:10\n";
const Messages kPlacesAt2And4 = {
    "R: 0.16 s lost at 0:00:02 (30720 bytes unreadable in 2 areas from position 2473472)\n",
    "R: 0.27 s lost at 0:00:05 (51200 bytes unreadable at position 3120128)\n"};
const LossRow kLossRows[] = {
    {.name = "the PCR",
     .lines = kPlacesAt2And4,
     .error = kHolesAt2And4,
     .outcome = "0.44 s lost in 2 places"},
    {.name = "PTS only", .clock = kPtsClock, .lines = kPlacesAt2And4, .error = kHolesAt2And4},
    {.name = "the PCR an hour ahead from 4.0 s: a jump, not time",
     .jump_ms = 3600000,
     .lines = kPlacesAt2And4,
     .error = kHolesAt2And4},
    {.name = "the PCR back to 0 at 4.0 s",
     .jump_ms = -4000,
     .lines = kPlacesAt2And4,
     .error = kHolesAt2And4},
    {.name = "no clock: shares of the recording",
     .clock = kNoClock,
     .lines = {"R: lost at 19 % (20480 bytes unreadable at position 2473472)\n",
               "R: lost at 23 % (10240 bytes unreadable at position 2568192)\n",
               "R: lost at 51 % (51200 bytes unreadable at position 3120128)\n"},
     .error = "81920 bytes could not be read and were written as zeros in 3 places\n",
     .outcome = "lost in 3 places"},
    {.name =
         "the first cluster unreadable: timed from the first packet behind it, the first picture",
     .map = "0 + 1\n0 2097152 +\n2097152 1048576 -\n3145728 354304 +\n3500032 51200 -\n"
            "3551232 1691648 +\n",
     .lines = {"R: 5.6 s lost at 0:00:00 (1048576 bytes unreadable at position 2097152)\n",
               "R: 0.27 s lost at 0:00:01 (51200 bytes unreadable at position 3500032)\n"},
     .error = "1099776 bytes could not be read and were written as zeros: 5.8 s in 2 places of "
              "0:00:04\n",
     .outcome = "5.8 s lost in 2 places"},
    {.name = "the chain cut after 1048576 bytes",
     .map = nullptr,
     .cut = true,
     .lines = {"R: 4.9 s lost at 0:00:05 (its chain ends 925636 bytes early)\n"},
     .error = "Recording R: chain loops at cluster 1\n",
     .outcome = "cut at 0:00:05 of 0:00:10"},
};

TEST_F(Copies, LossesInTheRecordingsTime) {
    for (const LossRow& row : kLossRows) {
        SCOPED_TRACE(row.name);
        ImageBuilder img(4);
        img.add_recording("R", clocked_packets(row.clock, 10500, row.jump_ms));
        if (row.cut) img.set_fat(1, 1);
        if (row.map) write_file("qvdisk.img.map", Bytes(row.map, row.map + strlen(row.map)));
        mount(img, 1);
        copy_outcome() = copy_account{};
        EXPECT_EQ(dump_file(0), kCopyIncomplete);
        EXPECT_EQ(qv_error, row.error);
        EXPECT_EQ(capture().messages, row.lines);
        char outcome[256];
        describe_outcome(outcome, sizeof outcome);
        EXPECT_EQ(outcome, row.outcome.empty() ? "0.44 s lost in 2 places" : row.outcome);
        fs::remove("R");
        fs::remove("qvdisk.img.map");
    }
}

// Mode "disk" on failing drives: 9 clusters of 1 MiB and 100 sectors, "Film" in disk clusters 2 to
// 6, 7 and 8 free.
constexpr int64_t kDiskBytes = 9 * int64_t(kMiB) + 51200;
const BadSectors kBadMiB = {3 * 2048, 2048, BadKind::kEio};  // Film's second cluster

// A run of mode "disk": the drive's bad sectors, the failed reads after which every read fails,
// the recordings first (-r), the retry passes; stopped (Ctrl-C) at the line that begins with
// stop_at, or once that line is shown when its phase reaches percent.
struct DiskRun {
    std::vector<BadSectors> bad = {};
    uint64_t dies_after = 0;
    std::vector<int> first = {};
    int retries = 0;
    const char* stop_at = nullptr;
    int percent = -1;
};

class DiskCopies : public TempDirTest {
protected:
    // The run on the drive (two, or Film's disk) into out/, the copy set up when the disk is found
    // as the driver does; the failed reads noted at each line shown.
    int rescue(const DiskRun& run, ImageBuilder* two = nullptr) {
        static DiskCopies* test;
        static const DiskRun* current;
        test = this;
        current = &run;
        ImageBuilder film(8);
        film.add_file(0, kTypeRecording, "Film", pattern(5 * size_t(kMiB), 13));
        film.set_disk_sectors(kDiskBytes / 512);
        disk_ = MemoryDisk();
        disk_.bad = run.bad;
        disk_.dies_after = run.dies_after;
        disk_.log_reads = true;
        fs::create_directories("out");
        copy_options = {"out", run.first.data(), int(run.first.size()), run.retries};
        qv_options.whole_disk = 1;
        qv_options.found = begin_disk_copy;
        const bool opened = open_disk(two ? *two : film) == 0 &&
                            parse_dir(0, root_entry_count(), 0xFF, kTypeRecording) > 0;
        qv_options = qv_settings{};
        armed_ = false;
        failed_at_.clear();
        clear_capture();
        qv->progress = [](int value, const char* line) {
            capture_progress(value, line);
            const char* stop = current->stop_at;
            if (value < 0) test->failed_at_.push_back(test->disk_.failed);
            if (value < 0 && stop && strncmp(line, stop, strlen(stop)) == 0) test->armed_ = true;
            if (test->armed_ && value >= current->percent) qv_interrupted = 1;
        };
        const int result = opened ? copy_disk() : -1;
        qv->progress = capture_progress;
        qv_interrupted = 0;
        return result;
    }
    bool armed_ = false;
    std::vector<uint64_t> failed_at_;
};

// Each row: the damage, the failed reads when each of the rescue's lines is shown (the lines
// themselves for the first row, the summary cut before its time) and the bytes rescued: a failed
// read is not split, the areas that matter come first, the good data before the drive dies.
struct FailingDrive {
    const char* damage = "";
    DiskRun run = {};
    std::vector<uint64_t> failed_at = {};
    int64_t rescued = 0;
    Messages lines = {};  // empty: not checked
};
const FailingDrive kFailingDrives[] = {
    {.damage = "a whole bad MiB in the recording",
     .run = {.bad = {kBadMiB}},
     .failed_at = {1, 3, 3, 3, 2049, 2049, 2049},
     .rescued = kDiskBytes - kMiB,
     .lines = {"Trimming the areas that matter: 1048576 bytes in 1 area\n",
               "The areas that matter are read: 6291456 bytes rescued, 1048576 bytes bad; the rest "
               "of the disk follows (Ctrl-C stops; a later run continues)\n",
               "Copying the rest of the disk: 2148352 bytes in 1 area\n",
               "Scraping the areas that matter: 1047552 bytes in 1 area\n",
               "Cannot read 1048576 bytes at position 3145728\n",
               "Rescue: 8439808 bytes rescued, 1048576 bytes bad in 1 area, 2049 failed reads, ",
               "Film: lost at 20 % (1048576 bytes unreadable at position 3145728)\n"}},
    {.damage = "three single bad sectors: recording, recording, free; one retry pass",
     .run = {.bad = {{3 * 2048 + 7, 1, BadKind::kEio},
                     {5 * 2048 + 100, 1, BadKind::kWhole},
                     {7 * 2048 + 9, 1, BadKind::kShort}},
             .retries = 1},
     .failed_at = {2, 4, 4, 5, 6, 8, 9, 9, 9, 9, 9, 9},
     .rescued = kDiskBytes - 3 * 512},
    {.damage = "a bad MiB in the recording, the drive dies after 3 failed reads",
     .run = {.bad = {kBadMiB}, .dies_after = 3},
     .failed_at = {1, 3, 3, 6, 8, 2054, 6248, 6248, 6248, 6248, 6248, 6248},
     .rescued = 6 * int64_t(kMiB)},
};

TEST_F(DiskCopies, FailingDrives) {
    for (const FailingDrive& row : kFailingDrives) {
        SCOPED_TRACE(row.damage);
        fs::remove_all("out");
        EXPECT_EQ(rescue(row.run), kCopyIncomplete);
        EXPECT_EQ(qv_error, format("%d bytes could not be read and were written as zeros\n",
                                   int(kDiskBytes - row.rescued)));
        EXPECT_EQ(failed_at_, row.failed_at);
        Messages lines = capture().messages;
        for (std::string& line : lines)  // the summary's time cut off
            if (line.rfind("Rescue: ", 0) == 0) line.resize(line.find("reads, ") + 7);
        EXPECT_TRUE(row.lines.empty() || lines == row.lines);
        Bytes rescued = disk_.image;
        for (const BadSectors& b : row.run.bad)
            std::fill_n(rescued.begin() + b.first * 512, b.count * 512, 0);
        EXPECT_TRUE(row.run.dies_after || read_file("out/qvdisk.img") == rescued);
        EXPECT_EQ(rescue_bytes(kMapFinished), row.rescued);
    }
    // Without an open disk nothing is copied, no file made.
    qv_close();
    EXPECT_EQ(copy_disk(), kCopyFailed);
    EXPECT_STREQ(qv_error, "No disk is open.\n");
    EXPECT_FALSE(fs::exists("qvdisk.img"));
}

// Two recordings, A (disk clusters 2-3) and B (4-5), B first as -r 2 asks: the opening's clusters
// once (the root is served from the image to the listing), B, A, then the free clusters.
TEST_F(DiskCopies, TheAreasThatMatterFirst) {
    ImageBuilder two(8);
    two.add_file(0, kTypeRecording, "A", pattern(2 * size_t(kMiB), 1));
    const uint32_t b = two.add_file(0, kTypeRecording, "B", pattern(2 * size_t(kMiB), 2));
    EXPECT_EQ(rescue({.first = {1}}, &two), kCopyDone) << qv_error;
    std::vector<int64_t> read_at;
    for (const auto& [pos, count] : disk_.read_log) read_at.push_back(pos / kMiB);
    EXPECT_EQ(read_at, (std::vector<int64_t>{0, 0, 1, 4, 5, 2, 3, 6, 7, 8}));
    // Bad sectors across A's end and B's start: B's trim finds its first sector bad, so A's trim
    // ends at A's first bad sector and does not read A's end from behind. Failed reads at each
    // line: the copy's reads of B and A (2); B's trim from both ends, A's from its start (5); A's
    // last sector, scraped (6).
    const BadSectors across = {4 * 2048 - 2, 4, BadKind::kEio};
    fs::remove_all("out");
    EXPECT_EQ(rescue({.bad = {across}, .first = {1}}, &two), kCopyIncomplete);
    EXPECT_EQ(failed_at_, (std::vector<uint64_t>{2, 5, 5, 5, 6, 6, 6, 6, 6}));
    // A bad sector in B's first cluster alone: B's one place (its pattern holds no clock), then A
    // complete.
    fs::remove_all("out");
    EXPECT_EQ(rescue({.bad = {{4 * 2048, 1, BadKind::kEio}}}, &two), kCopyIncomplete);
    const Messages& told = capture().messages;
    EXPECT_EQ(Messages(told.end() - 2, told.end()),
              (Messages{"B: lost at 0 % (512 bytes unreadable at position 4194304)\n",
                        "The other recordings are complete (1 of 2)\n"}));
    // B's entry says its last cluster holds nothing (a whole cluster of slack): a bad sector there
    // touches no recording.
    two.dir_entry(0, 1, kTypeRecording, b, 2, kMiB, "B");
    fs::remove_all("out");
    EXPECT_EQ(rescue({.bad = {{5 * 2048, 1, BadKind::kEio}}}, &two), kCopyIncomplete);
    EXPECT_EQ(capture().messages.back(), "Every recording is complete\n");
}

#ifndef _WIN32
// The blocks of the copy's map of the given statuses, in MiB, as ddrescuelog lists them.
std::string blocks(const char* statuses) {
    return run_tool(std::string("ddrescuelog -b 1048576 -l'") + statuses +
                    "' out/qvdisk.img.map | tr '\\n' ' '");
}

// The bad MiB of the recording again. The map after each phase, as ddrescuelog reads it; the rescue
// stopped in the middle of the scraping and ddrescue (in its test mode, the same bad sectors) goes
// on from pvrcopy's map, ending with the image of an uninterrupted run. Then the drive is repaired
// and one retry pass reads only the bad sectors.
TEST_F(DiskCopies, MapsAfterEachPhaseAndDdrescueGoingOn) {
    REQUIRE_TOOL("ddrescue");
    REQUIRE_TOOL("ddrescuelog");
    const char bad_map[] = "0 + 1\n0 3145728 +\n3145728 1048576 -\n4194304 5294080 +\n";
    write_file("bad.map", Bytes(bad_map, bad_map + strlen(bad_map)));
    const std::string ddrescue =
        "ddrescue -q -H bad.map source.img out/qvdisk.img out/qvdisk.img.map";
    EXPECT_EQ(rescue({.bad = {kBadMiB}, .stop_at = "Trimming"}), kCopyIncomplete);
    write_file("source.img", disk_.image);
    EXPECT_EQ(blocks("?") + "| " + blocks("*") + "| " + blocks("/-"), "7 8 9 | 3 | ");
    // Its status: trimming, stopped at MiB 4.
    EXPECT_EQ(run_tool("sed -n 3p out/qvdisk.img.map"), "0x00400000     *               1\n");
    EXPECT_EQ(rescue({.bad = {kBadMiB}, .stop_at = "Scraping"}), kCopyIncomplete);
    EXPECT_EQ(capture().percents, (std::vector<int>{0, 48, 97, 100}));  // the phases gone on with
    EXPECT_EQ(run_tool("ddrescuelog -l- out/qvdisk.img.map | tr '\\n' ' '"), "6144 8191 ");
    EXPECT_EQ(blocks("?*") + "| " + blocks("/"), "| 3 ");
    EXPECT_EQ(rescue({.bad = {kBadMiB}, .stop_at = "Scraping", .percent = 50}), kCopyIncomplete);
    EXPECT_EQ(std::system(ddrescue.c_str()), 0);
    Bytes rescued = disk_.image;
    std::fill_n(rescued.begin() + 3 * kMiB, kMiB, 0);
    EXPECT_TRUE(read_file("out/qvdisk.img") == rescued);
    EXPECT_EQ(blocks("?*/"), "");
    // Two retry passes while the sectors stay bad: backwards, then forwards from the first.
    EXPECT_EQ(rescue({.bad = {kBadMiB}, .retries = 2}), kCopyIncomplete);
    EXPECT_EQ(disk_.read_log.at(1 + 2048).first, 3 * int64_t(kMiB));
    EXPECT_EQ(rescue({.retries = 1}), kCopyDone) << qv_error;
    EXPECT_EQ(capture().messages.at(1),
              "Retrying the areas that matter, pass 1 of 1: 1048576 bytes in 1 area\n");
    // The first sector, then each bad sector once: the opening's clusters come from the image.
    EXPECT_EQ(disk_.read_log.size(), 1 + 2048u);
    EXPECT_EQ(disk_.read_log.at(1).first, 4 * int64_t(kMiB) - 512);  // the pass goes backwards
    EXPECT_TRUE(read_file("out/qvdisk.img") == disk_.image);
    EXPECT_EQ(std::system("ddrescuelog -D out/qvdisk.img.map"), 0);
    // All finished: nothing to read, 100 % at once, no rescue told. An image without its map is not
    // a copy to go on with: it is kept, the disk goes to qvdisk(2).img with its map.
    EXPECT_EQ(rescue({}), kCopyDone) << qv_error;
    EXPECT_EQ(capture().percents, std::vector<int>{100});
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    copy_options.output_dir = "out";
    EXPECT_EQ(is_disk_copy_to_continue("out/qvdisk.img"), 1);
    EXPECT_EQ(is_disk_copy_to_continue("qvdisk.img"), 0);  // the source, not the copy in out/
    EXPECT_EQ(is_disk_copy_to_continue("other.img"), 0);   // a file that does not open
    fs::remove("out/qvdisk.img.map");
    EXPECT_EQ(is_disk_copy_to_continue("out/qvdisk.img"), 0);
    EXPECT_EQ(rescue({}), kCopyDone) << qv_error;
    EXPECT_EQ(capture().messages, Messages{"\nProcessing completed.\n"});
    EXPECT_TRUE(read_file("out/qvdisk(2).img") == disk_.image);
    EXPECT_TRUE(fs::exists("out/qvdisk(2).img.map"));
}
#endif  // _WIN32
}  // namespace
