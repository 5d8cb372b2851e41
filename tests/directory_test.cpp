// The recording table (parse_dir, salvage_recordings), the output names and the listing's dates.
// Root directories of 1 MiB clusters whose every slot is read (slack 512), built per row; "Four" is
// Film, News, Unlisted and Other in clusters 1 to 4.
#include <sys/stat.h>
#include <cstring>
#include <ctime>
#include "disk/bytes.h"
#include "support/fixture.h"
namespace {
using Names = std::vector<std::string>;
class RecordingTable : public DiskTest {
protected:
    void TearDown() override {
        memset(qv->recordings, 0, sizeof qv->recordings);
        qv->recording_count = 0;
        DiskTest::TearDown();
    }
    static int parse_root() { return parse_dir(0, root_entry_count(), 0xFF, kTypeRecording); }
    static Names table(int n) {
        Names names;
        for (int i = 0; i < n; ++i) names.push_back(qv->recordings[i].name);
        return names;
    }
};

using Img = ImageBuilder&;
Bytes bytes(size_t n) { return Bytes(n, 0x11); }
// A recording of size bytes in the root directory.
void rec(Img img, const std::string& name, size_t size = 10, EntryDate date = {},
         std::vector<uint32_t> clusters = {}) {
    img.add_file(0, kTypeRecording, name, bytes(size), date, clusters);
}
const Names kFour = {"Film", "News", "Unlisted", "Other"};
void add_four(Img img) {
    for (const std::string& name : kFour) rec(img, name);
}
const std::string kL(107, 'L');

// Each root directory and list file: the count parse_dir gives (-1: that of names), the table's
// first names, with the salvage or without, what it shows; a sector unreadable after the opening.
struct TableRow {
    const char* name;
    std::function<void(Img)> build;
    int salvage = 0;
    int count = -1;
    Names names;
    Messages shown = {};
    uint64_t bad_sector = 0;
};
// 12 root entries in 3 sectors (2048-2050): B, three other files, A; a list naming A and B (its
// count in sector 14336, its records in 14337 and 14338); salvaged, with nothing to add.
void with_list_ab(Img img) {
    img.set_root_dir_slack(1048576 - 1024);
    rec(img, "B");
    for (int n = 0; n < 3; ++n) img.add_file(0, 0x00, format("f%d", n), bytes(10));
    rec(img, "A");
    EXPECT_EQ(img.add_list_file({"A", "B"}), 6u);
}
TableRow list_ab(const char* name, uint64_t bad, Names names, Messages shown = {}) {
    return {.name = name,
            .build = with_list_ab,
            .salvage = 1,
            .names = names,
            .shown = shown,
            .bad_sector = bad};
}

TEST_F(RecordingTable, EveryRootAndListFilePlainAndWithTheSalvage) {
    auto listed = [](int32_t stored_count) {  // Four, a list naming News with this count
        return [=](Img img) {
            add_four(img);
            put_be32(img.cluster(img.add_list_file({"News"})), uint32_t(stored_count));
        };
    };
    const char* unread = "List file cannot be read: the recordings are listed in directory order\n";
    const char* not_named =
        "Salvage: the list file does not name %d of the recordings: listed after its %d\n";
    const char* taken_as_none = "List file names -3 recordings: taken as none\n";
    const std::vector<TableRow> rows = {
        {.name =
             "no list: recordings only, in directory order, other types and subdirectories skipped",
         .build =
             [](Img img) {
                 rec(img, "B", 1500000, {52275, 20, 15});
                 for (uint8_t type : {0x00, 0xD0, 0xD3, 0x51})
                     img.add_file(0, type, format("%x", type), bytes(10));
                 img.add_file(img.add_dir(0, "Archiv"), kTypeRecording, "hidden", bytes(10));
                 rec(img, "A", 100, {}, {12});
             },
         .names = {"B", "A"}},
        {.name = "the list's order, a name not found (the long name's first 106 characters), a "
                 "long name cut, one named twice",
         .build =
             [](Img img) {
                 for (std::string name : {"Film", "News", "Unlisted"}) rec(img, name);
                 rec(img, kL + "cut");
                 const std::string near = kL.substr(0, 106) + "!";
                 img.add_list_file({"News", "Film", near, kL + " and the rest", "Film"});
             },
         .names = {"News", "Film", "", kL + " and the rest", "Film"}},
        {.name = "a list count larger than its cluster",
         .build =
             [](Img img) {
                 rec(img, "Film");
                 img.add_list_file({"Film"}, 5000);
             },
         .count = 2047,
         .names = {"Film", ""},
         .shown = {"List file names 5000 recordings, its first cluster holds only 2047: the rest "
                   "are ignored\n"}},
        {.name = "names without NUL in the list and the directory, salvaged",
         .build =
             [](Img img) {
                 rec(img, std::string(107, 'x'));
                 rec(img, "y");
                 std::memset(img.cluster(img.add_list_file({"x", "y"})) + 512, 'x', 512);
                 uint8_t raw[108];
                 std::memset(raw, 'N', sizeof raw);
                 img.dir_entry_raw_name(0, 1, raw);
             },
         .salvage = 1,
         .names = {std::string(511, 'x'), "", std::string(108, 'N')},
         .shown = {format(not_named, 1, 2)}},
        {.name = "a list beyond the table",
         .build =
             [](Img img) {
                 add_four(img);
                 img.dir_entry(0, 4, 0x00, 0x40, 1, 0, kListFileName);
             },
         .names = kFour,
         .shown = {"List file starts outside the table at cluster 40: not used\n"}},
        {.name = "a list count of 0", .build = listed(0), .names = {}},
        {.name = "a list count of -3, salvaged",
         .build = listed(-3),
         .salvage = 1,
         .names = kFour,
         .shown = {taken_as_none, format(not_named, 4, 0)}},
        list_ab("a readable list naming every recording: nothing told", 0, {"A", "B"}),
        list_ab("the list's count unreadable", 14336, {"B", "A"}, {unread}),
        list_ab("the list's last record unreadable", 14338, {"B", "A"}, {unread}),
        list_ab("the sector behind the list's last record unreadable", 14339, {"A", "B"}),
        list_ab("the root's second sector unreadable", 2049, {"B"}),
    };
    for (const TableRow& row : rows) {
        SCOPED_TRACE(row.name);
        ImageBuilder img(14);
        qv_options.salvage = row.salvage;
        img.set_root_dir_slack(512);
        row.build(img);
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        memset(qv->recordings, 0, sizeof qv->recordings);
        clear_capture();
        if (row.bad_sector) disk_.fail_sectors(row.bad_sector, 1);
        const int count = row.count < 0 ? int(row.names.size()) : row.count;
        EXPECT_EQ(parse_root(), count);
        EXPECT_EQ(qv->recording_count, count);
        EXPECT_EQ(table(int(row.names.size())), row.names);
        EXPECT_EQ(capture().messages, row.shown);
        disk_.bad.clear();
    }
}

// 3584-sector clusters: a root of exactly kMaxRecordings entries, a list naming r1 thrice and r1 to
// r14335; with the salvage the table fills and one recording finds no room, nor do recordings of
// subdirectories joining the full table. Fields in host order.
TEST_F(RecordingTable, AFullRootOf14336) {
    ImageBuilder full(3, 3584);
    ASSERT_EQ(open_disk(full), 0) << qv_error;
    EXPECT_EQ(parse_dir(0, 20000, 0x00, 0x00), 0);  // every type, but empty slots are skipped
    full.add_list_file({"r1", "r1", "r1"});
    for (uint32_t n = 1; n < kMaxRecordings; ++n)
        full.dir_entry(0, n, kTypeRecording, 1, 2, 5, format("r%u", n), {52275, 20, 15});
    disk_.image = full.image();  // parse_dir reads the disk anew; the table check never sees it
    changed_by_test();
    qv_options.salvage = 1;
    clear_capture();
    EXPECT_EQ(parse_dir(0, 20000, 0xFF, kTypeRecording), int(kMaxRecordings));
    const recording_entry& last = qv->recordings[kMaxRecordings - 1];
    EXPECT_EQ(format("%s %s %x %d %d:%d %u %u %u", qv->recordings[0].name, last.name, last.type,
                     last.mjd[0] << 8 | last.mjd[1], last.hour, last.minute, last.start_cluster,
                     last.num_clusters, last.last_cluster_slack),
              "r1 r14334 d1 52275 20:15 1 2 5");
    EXPECT_EQ(
        capture().messages,
        (Messages{
            "Salvage: the list file does not name 14334 of the recordings: listed after its 3\n",
            "Salvage: the recording table is full: 1 recordings are not listed\n"}));
    recording_entry nested[2] = {};
    salvage_findings* found = opening_findings();
    found->nested = nested;
    found->nested_count = 2;
    clear_capture();
    EXPECT_EQ(add_nested_recordings(int(kMaxRecordings) - 1), int(kMaxRecordings));
    EXPECT_EQ(capture().messages,
              Messages{"Salvage: the recording table is full: 1 recordings are not listed\n"});
    found->nested = nullptr;
    found->nested_count = 0;
}

// Lost recordings (salvage): slots emptied of recordings at 8-9 and a, of a cluster b its header
// does not fit, and of one at c, its first sector unreadable; then a table with room for one
// more.
TEST_F(RecordingTable, LostRecordingsAreListedAfterTheDirectory) {
    ImageBuilder img(14);
    qv_options.salvage = 1;
    img.set_root_dir_slack(512);
    img.add_recording("Film", numbered_packets(0, 20), {}, {}, {1});
    auto lost_chain = [&img](const Bytes& packets, std::vector<uint32_t> clusters, uint32_t gap) {
        img.add_recording("x", packets, {}, {}, clusters, gap);
        img.dir_entry(0, 1, kTypeEmpty, 0, 0, 0, "");
    };
    lost_chain(numbered_packets(0, 7980), {8, 9}, 0);  // ending inside cluster 9
    // Filling cluster a to its last byte, 76 bytes behind the header.
    lost_chain(numbered_packets(0, 5576), {10}, 76);
    // No recording: the PIDs its header names occur only behind bytes out of step.
    Bytes out_of_step = numbered_packet(0, 0x300);
    append(out_of_step, numbered_packet(1, 0x300));
    append(out_of_step, Bytes(kTsPacketSize, 0));
    append(out_of_step, numbered_packets(2, 2));
    lost_chain(out_of_step, {11}, 0);
    lost_chain(numbered_packets(0, 5), {12}, 0);
    disk_.fail_sectors(13 * 2048, 1);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    ASSERT_EQ(parse_root(), 1);
    clear_capture();
    EXPECT_EQ(salvage_recordings(1), 3);
    EXPECT_EQ(qv->recording_count, 3);
    EXPECT_EQ(table(3), (Names{"Film", "lost_000008", "lost_00000a"}));
    const recording_entry& lost = qv->recordings[2];
    EXPECT_EQ(format("%u %u %u %d", lost.start_cluster, lost.num_clusters, lost.last_cluster_slack,
                     lost.mjd[0] | lost.mjd[1]),
              "10 1 0 0");
    const std::string unread =
        "Salvage: 1 clusters cannot be read whole at their start or end: no chain is followed by "
        "content across them\n";
    const std::string at8 =
        "Salvage: lost chain at cluster 8, length 2, holds a recording whose stream ends 451876 "
        "bytes into its last cluster: listed as lost_000008\n";
    EXPECT_EQ(
        capture().messages,
        (Messages{unread, at8,
                  "Salvage: lost chain at cluster a, length 1, holds a recording whose "
                  "stream ends 1048576 bytes into its last cluster: listed as lost_00000a\n"}));
    memset(&qv->recordings[1], 0, 2 * sizeof(recording_entry));
    clear_capture();
    EXPECT_EQ(salvage_recordings(int(kMaxRecordings) - 1), int(kMaxRecordings));
    EXPECT_EQ(capture().messages, (Messages{unread,
                                            "Salvage: the recording table is full: lost chains "
                                            "from cluster a on are not listed\n",
                                            at8}));
    qv_options.salvage = 0;
    EXPECT_EQ(salvage_recordings(1), 1);  // nothing without the salvage
}

// Output names: make_name keeps the allowed characters and replaces every other byte; recordings
// that would share an output name (case ignored) get their list number, a name of its own stays
// plain.
TEST_F(RecordingTable, OutputNamesOfSafeCharactersAndListNumbers) {
    const char allowed[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+=;$!@#%^&()[]{}_";
    const std::string longest(511, 'n');
#ifdef _WIN32
    const std::string device = "_";  // a name Windows keeps for a device
#else
    const std::string device;
#endif
    struct MadeName {
        std::string recording;
        std::string extension;
        std::string made;
    };
    std::vector<MadeName> made = {
        {.recording = allowed, .extension = ".ts", .made = std::string(allowed) + ".ts"},
        {.recording = "\t\x7f\x80\xe4\xff\\|\"*?<>`, :/~'",
         .extension = "",
         .made = std::string(19, '_')},
        {.recording = longest, .extension = ".m2v", .made = longest + ".m2v"},
        {.recording = "COM0", .extension = ".ts", .made = "COM0.ts"},
        {.recording = "CONSOLE", .extension = "", .made = "CONSOLE"},
        {.recording = "lpt10", .extension = ".ts", .made = "lpt10.ts"}};
    for (std::string device_name : {"con", "NUL", "Com1", "lpt9", "aux.x", "pRn"})
        made.push_back({device_name, ".ts", device + device_name + ".ts"});
    for (const MadeName& row : made) {
        char out[kOutputNameSize];
        make_name(out, row.recording.c_str(), row.extension.c_str());
        EXPECT_EQ(std::string(out), row.made);
    }
    // The recordings of one table, and the names their outputs get.
    struct Numbering {
        Names recordings;
        Names outputs;
    };
    const std::vector<Numbering> tables = {
        {.recordings = {"News", "Film", "NEWS", "news"},
         .outputs = {"News_1", "Film", "NEWS_3", "news_4"}},
        {.recordings = {"News", "News", "News_2", "News_2_3"},
         .outputs = {"News_1", "News_2", "News_2_3", "News_2_3_4"}},
        {.recordings = {"Film: 1", "Film/ 1", ""}, .outputs = {"Film__1_1", "Film__1_2", "_3"}},
        {.recordings = {"News", "News", "Nichts"}, .outputs = {"News_1", "News_2", "Nichts"}},
    };
    for (const Numbering& row : tables) {
        for (size_t i = 0; i < row.recordings.size(); ++i)
            snprintf(qv->recordings[i].name, kNameSize, "%s", row.recordings[i].c_str());
        qv->recording_count = int(row.recordings.size());
        for (size_t i = 0; i < row.recordings.size(); ++i) {
            char out[kOutputNameSize];
            recording_file_name(out, int(i), ".ts");
            EXPECT_EQ(std::string(out), row.outputs[i] + ".ts");
        }
    }
}

// The recorder's date as the listing shows it, and as an output's modification time (local time;
// -1: no date a clock shows, the file keeps the time of writing).
using DateConversion = TempDirTest;
TEST_F(DateConversion, ModifiedJulianDaysAndOutputTimes) {
    struct DateRow {
        int mjd;
        std::vector<int> shown;  // year, month, day, and the hour and minute stored
        bool dated = true;
    };
    const std::vector<DateRow> rows = {
        {.mjd = 52275, .shown = {2002, 1, 1, 7, 45}},
        {.mjd = 0xFFFF, .shown = {2038, 4, 22, 23, 59}},
        {.mjd = 52639, .shown = {2002, 12, 31, 12, 0}},
        {.mjd = 40738, .shown = {1970, 6, 1, 12, 0}},
        {.mjd = 40586, .shown = {1969, 12, 31, 12, 0}, .dated = false},
        {.mjd = 15079, .shown = {1900, 3, 1, 7, 45}, .dated = false},
        {.mjd = 15078, .shown = {1900, 2, 31, 7, 45}, .dated = false},
        {.mjd = 0, .shown = {0, 0, 0, 20, 15}, .dated = false},
        {.mjd = 52275, .shown = {2002, 1, 1, 24, 0}, .dated = false},
        {.mjd = 52275, .shown = {2002, 1, 1, 7, 60}, .dated = false},
    };
    const time_t start = time(nullptr);
    for (const DateRow& row : rows) {
        SCOPED_TRACE(row.mjd);
        recording_entry entry = {};
        put_be16(entry.mjd, uint32_t(row.mjd));
        entry.hour = uint8_t(row.shown[3]);
        entry.minute = uint8_t(row.shown[4]);
        std::vector<int> shown(5, -1);
        convert_date_time(entry.mjd, &shown[0], &shown[1], &shown[2], &shown[3], &shown[4]);
        EXPECT_EQ(shown, row.shown);
        ASSERT_EQ(close_output(open_output("dated", &entry)), 0) << qv_error;
        struct stat st = {};
        ASSERT_EQ(stat("dated", &st), 0);
        struct tm local = {};
        local.tm_year = row.shown[0] - 1900;
        local.tm_mon = row.shown[1] - 1;
        local.tm_mday = row.shown[2];
        local.tm_hour = row.shown[3];
        local.tm_min = row.shown[4];
        local.tm_isdst = -1;
        EXPECT_TRUE(row.dated ? st.st_mtime == mktime(&local) : st.st_mtime >= start)
            << st.st_mtime;
#ifndef _WIN32
        EXPECT_TRUE(!row.dated || st.st_mtim.tv_nsec == 0) << st.st_mtim.tv_nsec;  // whole minutes
#endif
        std::filesystem::remove("dated");
    }
}
}  // namespace
