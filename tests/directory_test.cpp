// The recording table (parse_dir) and the listing's dates (convert_date_time).
//   | root directory                                  | expected table                              |
//   | recordings B, A; a file; a subdirectory with one| B, A in directory order, fields in host order|
//   | types 0xD0, 0xD3, 0x51, 0xD1                    | only 0xD1 with mask 0xFF; with mask 0 (takes|
//   |                                                 | every type) the empty slots still skipped   |
//   | list file: reorders, renames, unmatched, double | N records in list order, long names         |
//   | list count 5000 in 1 MiB clusters               | bounded to 2047, reported                   |
//   | list name of 512 bytes without NUL              | cut at 511                                  |
//   | directory name of 108 bytes without NUL         | cut at 108                                  |
//   | 14336 recordings in a 3584-sector root          | all 14336, never past the cluster           |
//   | unreadable list file sectors, root sectors      | directory order with a warning; entries skipped |
//   | the salvage: list names some, none; lost chains | unnamed ones after the list's; lost_%06x after  |
//   | MJD 52275 / 0xFFFF / 15079 / 15078 / 0          | 1-1-2002 / 22-4-2038 / 1-3-1900 / 31-2-1900 / 0 |
#include <cstring>
#include <string>
#include <vector>

#include "disk/bytes.h"
#include "support/fixture.h"

namespace {

class RecordingTable : public DiskTest {
protected:
    void TearDown() override {
        qv_options.salvage = 0;
        DiskTest::TearDown();
    }
    // Opens img; the root is then parsed as the driver does.
    void open(const ImageBuilder& img) {
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        clear_capture();
    }
    static int parse_root() { return parse_dir(0, root_entry_count(), 0xFF, kTypeRecording); }
    static std::string name(int i) { return qv->recordings[i].name; }
};

std::vector<uint8_t> bytes(size_t n, uint8_t fill = 0x11) { return std::vector<uint8_t>(n, fill); }

TEST_F(RecordingTable, NoListFileKeepsDirectoryOrder) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "B", bytes(1500000), {52275, 20, 15});
    img.add_file(0, 0x00, "plain file", bytes(10));
    uint32_t sub = img.add_dir(0, "Archiv");
    img.add_file(sub, kTypeRecording, "hidden", bytes(10));
    img.add_file(0, kTypeRecording, "A", bytes(100), {}, {7});
    open(img);
    ASSERT_EQ(parse_root(), 2);
    const recording_entry& b = qv->recordings[0];
    EXPECT_EQ(name(0), "B");
    EXPECT_EQ(b.type, kTypeRecording);
    EXPECT_EQ(b.mjd[0], 52275 >> 8);
    EXPECT_EQ(b.mjd[1], 52275 & 0xFF);
    EXPECT_EQ(b.hour, 20);
    EXPECT_EQ(b.minute, 15);
    EXPECT_EQ(b.start_cluster, 1u);
    EXPECT_EQ(b.num_clusters, 2u);
    EXPECT_EQ(b.last_cluster_slack, 2u * 1048576 - 1500000);
    EXPECT_EQ(recording_size_mb(&b), 2);
    EXPECT_EQ(name(1), "A");
    EXPECT_EQ(qv->recordings[1].start_cluster, 7u);
    EXPECT_EQ(name(2), "");
    EXPECT_EQ(capture().messages, Messages{});
}

TEST_F(RecordingTable, OnlyTypeD1IsARecordingAndEmptySlotsAreSkipped) {
    ImageBuilder img(8);
    img.add_file(0, 0xD0, "d0", bytes(10));
    img.add_file(0, 0xD3, "d3", bytes(10));
    img.add_file(0, 0x51, "51", bytes(10));
    img.add_file(0, kTypeRecording, "d1", bytes(10));
    open(img);
    ASSERT_EQ(parse_root(), 1);
    EXPECT_EQ(name(0), "d1");
    // Mask 0 takes every type, yet the empty slots after the four entries are skipped.
    EXPECT_EQ(parse_dir(0, root_entry_count(), 0x00, 0x00), 4);
}

TEST_F(RecordingTable, ListFileOrdersAndNamesTheTable) {
    const std::string dir107(107, 'L');
    ImageBuilder img(10);
    img.set_root_dir_slack(512);   // the whole root cluster is in use
    img.add_file(0, kTypeRecording, "Film", bytes(10), {}, {1});
    img.add_file(0, kTypeRecording, "News", bytes(10), {}, {2});
    img.add_file(0, kTypeRecording, "Unlisted", bytes(10), {}, {3});
    img.add_file(0, kTypeRecording, dir107 + "cut by the directory", bytes(10), {}, {4});
    img.add_list_file({"News", "Film", "Nowhere", dir107 + " and the rest of the long name", "Film"});
    open(img);
    ASSERT_EQ(parse_root(), 5);
    EXPECT_EQ(name(0), "News");
    EXPECT_EQ(qv->recordings[0].start_cluster, 2u);
    EXPECT_EQ(name(1), "Film");
    EXPECT_EQ(qv->recordings[1].start_cluster, 1u);
    EXPECT_EQ(name(2), "");                       // no entry: left as it was
    EXPECT_EQ(qv->recordings[2].num_clusters, 0u);
    EXPECT_EQ(name(3), dir107 + " and the rest of the long name");
    EXPECT_EQ(qv->recordings[3].start_cluster, 4u);
    EXPECT_EQ(name(4), "Film");
    EXPECT_EQ(qv->recordings[4].start_cluster, 1u);
    EXPECT_EQ(capture().messages, Messages{});
}

TEST_F(RecordingTable, ListCountBeyondTheFirstClusterIsBounded) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "Film", bytes(10));
    img.add_list_file({"Film"}, 5000);
    open(img);
    EXPECT_EQ(parse_root(), 2047);
    EXPECT_EQ(capture().messages,
              Messages{"List file names 5000 recordings, its first cluster holds only 2047: the rest are ignored\n"});
    EXPECT_EQ(name(0), "Film");
}

TEST_F(RecordingTable, ListNameWithoutNulIsCutAt511) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, std::string(107, 'x'), bytes(10));
    uint32_t list = img.add_list_file({"x"});
    std::memset(img.cluster(list) + 512, 'x', 1024);  // record 1 without NUL, and more behind it
    open(img);
    ASSERT_EQ(parse_root(), 1);
    EXPECT_EQ(name(0), std::string(511, 'x'));
}

TEST_F(RecordingTable, DirectoryNameWithoutNulIsCutAt108) {
    ImageBuilder img(8);
    img.add_file(0, kTypeRecording, "x", bytes(10));
    uint8_t raw[108];
    std::memset(raw, 'N', sizeof raw);
    img.dir_entry_raw_name(0, 0, raw);
    open(img);
    ASSERT_EQ(parse_root(), 1);
    EXPECT_EQ(name(0), std::string(108, 'N'));
}

TEST_F(RecordingTable, TableHoldsAFullClusterOf14336Recordings) {
    // 3584-sector clusters: the root directory holds exactly kMaxRecordings entries.
    ImageBuilder healthy(2, 3584);
    open(healthy);
    ImageBuilder full(2, 3584);
    for (uint32_t slot = 0; slot < kMaxRecordings; ++slot)
        full.dir_entry(0, slot, kTypeRecording, 1, 1, 0, "r" + std::to_string(slot));
    disk_.image = full.image();   // parse_dir reads the disk anew
    changed_by_test();
    EXPECT_EQ(parse_dir(0, 20000, 0xFF, kTypeRecording), int(kMaxRecordings));
    EXPECT_EQ(name(0), "r0");
    EXPECT_EQ(name(kMaxRecordings - 1), "r14335");
}

// Unreadable sectors. The root holds B (slot 0), three plain files, A (slot
// 4, the root's second sector) and a list file naming A, B.
//   | unreadable                         | table     | shown                                          |
//   | nothing                            | A, B      | nothing                                        |
//   | the list's first sector (its count)| B, A      | "List file cannot be read: the recordings are  |
//   | the list's record 2                | B, A      | listed in directory order\n"                   |
//   | the list's sector 3 (no record)    | A, B      | nothing                                        |
//   | the root's second sector           | B         | nothing (the check has told it)                |
TEST_F(RecordingTable, UnreadableSectorsOfRootAndListFile) {
    ImageBuilder img(12);
    img.set_root_dir_slack(1048576 - 1024);   // 12 root entries, 3 sectors
    img.add_file(0, kTypeRecording, "B", bytes(10));
    for (int i = 0; i < 3; ++i) img.add_file(0, 0x00, "f" + std::to_string(i), bytes(10));
    img.add_file(0, kTypeRecording, "A", bytes(10));
    const uint64_t list = (img.add_list_file({"A", "B"}) + 1) * 2048;
    const uint64_t root = 2048;
    struct Row {
        uint64_t sector;
        std::vector<std::string> names;
        bool warned;
    } rows[] = {{0, {"A", "B"}, false},       {list, {"B", "A"}, true}, {list + 2, {"B", "A"}, true},
                {list + 3, {"A", "B"}, false}, {root + 1, {"B"}, false}};
    open(img);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sector);
        disk_.bad.clear();
        if (row.sector) disk_.fail_sectors(row.sector, 1);
        memset(qv->recordings, 0, sizeof qv->recordings);
        clear_capture();
        ASSERT_EQ(parse_root(), int(row.names.size()));
        std::vector<std::string> names;
        for (size_t i = 0; i < row.names.size(); ++i) names.push_back(name(int(i)));
        EXPECT_EQ(names, row.names);
        EXPECT_EQ(capture().messages,
                  row.warned ? Messages{"List file cannot be read: the recordings are listed in directory order\n"}
                             : Messages{});
    }
}

// A list file that names only some recordings, plainly and with the
// salvage, which lists the ones it does not name after its own in directory
// order, also when it names none.
//   | list file (root: Film, News, Unlisted, Other) | plain table, shown  | salvage table, shown                     |
//   | News, Film                                    | News, Film          | News, Film, Unlisted, Other; "Salvage: the list file does not name 2 of the recordings: listed after its 2\n" |
//   | count 0                                       | none                | Film, News, Unlisted, Other; "... 4 ... after its 0\n" |
//   | count -3                                      | none, "List file names -3 recordings: taken as none\n" | the same, that first |
//   | all four                                      | as listed           | as listed                                |
// Then lost chains (salvage): slots emptied of Gone (clusters 8-9), Short
// (10), Data (11, no header) and Bad (12, its first sector unreadable); a
// table with room for only one more.
TEST_F(RecordingTable, ListFileNamingSomeAndLostChains) {
    const std::vector<std::string> four = {"Film", "News", "Unlisted", "Other"};
    const char* negative = "List file names -3 recordings: taken as none\n";
    const char* none = "Salvage: the list file does not name 4 of the recordings: listed after its 0\n";
    struct Row {
        std::vector<std::string> list;
        int32_t count;   // -1: as many as listed
        std::vector<std::string> plain, salvage;
        Messages shown;                // plain
        const char* salvage_shown;    // added by the salvage
    } rows[] = {
        {{"News", "Film"}, -1, {"News", "Film"}, {"News", "Film", "Unlisted", "Other"}, {},
         "Salvage: the list file does not name 2 of the recordings: listed after its 2\n"},
        {{"News"}, 0, {}, four, {}, none},
        {{"News"}, -3, {}, four, {negative}, none},
        {four, -1, four, four, {}, nullptr},
    };
    for (const Row& row : rows) {
        for (int salvage : {0, 1}) {
            qv_options.salvage = salvage;
            ImageBuilder img(8);
            img.set_root_dir_slack(512);
            for (const std::string& n : four) img.add_file(0, kTypeRecording, n, bytes(10));
            uint32_t list = img.add_list_file(row.list);
            if (row.count != -1) put_be32(img.cluster(list), uint32_t(row.count));
            open(img);
            const std::vector<std::string>& table = salvage ? row.salvage : row.plain;
            ASSERT_EQ(parse_root(), int(table.size()));
            EXPECT_EQ(qv->recording_count, int(table.size()));
            for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(name(int(i)), table[i]);
            Messages shown = row.shown;
            if (salvage && row.salvage_shown) shown.push_back(row.salvage_shown);
            EXPECT_EQ(capture().messages, shown);
        }
    }

    qv_options.salvage = 1;
    ImageBuilder img(14);
    img.set_root_dir_slack(512);
    const Bytes ts(20 * kTsPacketSize, kTsSyncByte);   // sync bytes a packet apart
    img.add_recording("Film", ts, {}, {}, {1});
    // Each file takes slot 1 and leaves it empty again.
    for (auto [cluster, size] : {std::pair{8u, 1500000u}, {10u, 1000u}, {12u, 1000u}}) {
        std::vector<uint32_t> clusters = {cluster};
        if (size > 1048576) clusters.push_back(cluster + 1);
        img.add_recording("x", Bytes(size - kRecordingHeaderSize, kTsSyncByte), {}, {}, clusters);
        img.dir_entry(0, 1, kTypeEmpty, 0, 0, 0, "");
    }
    img.add_file(0, 0x00, "Data", bytes(1000), {}, {11});
    img.dir_entry(0, 1, kTypeEmpty, 0, 0, 0, "");
    disk_.fail_sectors(13 * 2048, 1);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    clear_capture();
    ASSERT_EQ(parse_root(), 1);
    EXPECT_EQ(add_lost_recordings(1), 3);
    EXPECT_EQ(qv->recording_count, 3);
    EXPECT_EQ(name(1), "lost_000008");
    EXPECT_EQ(qv->recordings[1].start_cluster, 8u);
    EXPECT_EQ(qv->recordings[1].num_clusters, 2u);
    EXPECT_EQ(qv->recordings[1].last_cluster_slack, 0u);
    EXPECT_EQ(qv->recordings[1].mjd[0] | qv->recordings[1].mjd[1], 0);
    EXPECT_EQ(name(2), "lost_00000a");
    EXPECT_EQ(qv->recordings[2].num_clusters, 1u);
    EXPECT_EQ(capture().messages,
              (Messages{"Salvage: lost chain at cluster 8, length 2, holds a recording: listed as lost_000008\n",
                        "Salvage: lost chain at cluster a, length 1, holds a recording: listed as lost_00000a\n",
                        "Salvage: lost chain at cluster c cannot be read: not listed\n"}));
    // A full table: the rest is told, not listed.
    clear_capture();
    EXPECT_EQ(add_lost_recordings(int(kMaxRecordings) - 1), int(kMaxRecordings));
    EXPECT_EQ(capture().messages,
              (Messages{"Salvage: lost chain at cluster 8, length 2, holds a recording: listed as lost_000008\n",
                        "Salvage: the recording table is full: lost chains from cluster a on are not listed\n"}));
    memset(qv->recordings, 0, sizeof qv->recordings);
}

struct Date {
    int year, month, day, hour, minute;
    bool operator==(const Date& o) const {
        return year == o.year && month == o.month && day == o.day && hour == o.hour && minute == o.minute;
    }
};

Date convert(uint16_t mjd, uint8_t hour = 7, uint8_t minute = 45) {
    const uint8_t src[4] = {uint8_t(mjd >> 8), uint8_t(mjd), hour, minute};
    Date d{-1, -1, -1, -1, -1};
    convert_date_time(src, &d.year, &d.month, &d.day, &d.hour, &d.minute);
    return d;
}

TEST(DateConversion, ModifiedJulianDays) {
    EXPECT_TRUE(convert(52275) == (Date{2002, 1, 1, 7, 45}));
    EXPECT_TRUE(convert(0xFFFF, 23, 59) == (Date{2038, 4, 22, 23, 59}));
    EXPECT_TRUE(convert(15079) == (Date{1900, 3, 1, 7, 45}));
    EXPECT_TRUE(convert(15078) == (Date{1900, 2, 31, 7, 45}));   // below the calendar range
    EXPECT_TRUE(convert(0, 20, 15) == (Date{0, 0, 0, 20, 15}));  // no date, still a time
}

}  // namespace
