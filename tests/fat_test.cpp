// Loading and checking the allocation table (read_fat, check_dir): one row
// per damage class, each opened plainly and with the salvage. Disks of 8
// clusters of 1 MiB unless said otherwise; the link bound is the size in MiB (9).
//   | disk                                        | warnings                                   | result, qv_error     |
//   | healthy: files, subdirectory, list file;    | none                                       | 0, ""                |
//   | the sample disk                             |                                            |                      |
//   | FAT2 link 10 at entry 3                     | "FAT2 3 item 10 wrong!\n", FAT1 used       | 0                    |
//   | link == size in MiB (1026-sector clusters)  | accepted; FAT1 range error only            | 0                    |
//   | marker values 0xFFFFFB..0xFFFFFF            | never "wrong"; only FB ends a chain loudly | 0, errors            |
//   | wrong links in both copies (1, 2, 5 in both)| FAT1 first, then FAT2/difference per entry;| 1, "No valid FAT24…" |
//   | and a difference (6)                        | salvage: entry by entry, 5 ends a chain    | salvage 0            |
//   | copies differ inside the range              | one difference message, FAT2 used          | 0                    |
//   | chains 1-2-3 and 4-5-2-3 merge, lengths right| "Crosslinked block 2/3 in chain 0 and 1"  | 0, errors            |
//   | the root's own entry links into 1-2-3       | the same                                   | 0, errors            |
//   | two entries start at cluster 1, lost 6      | "Crosslinked single block 1\n", lost       | 1                    |
//   | entry starts at a free cluster              | single block + "marked free"               | 1                    |
//   | 0xF0/0xF1 entries share a start             | only their length is checked               | 0, errors            |
//   | stored length differs                       | "File %s has incorrect length %u/%u\n"     | 0, errors            |
//   | allocated clusters nobody reaches           | one line each, then the total              | 0, errors            |
//   | directories two levels deep                 | breadth-first order of messages            | 0, errors            |
//   | chain loops (with and without a head)       | "Chain 0 loops", "File %s: chain loops"    | 0, errors            |
//   | link >= cluster_count                       | "leaves the table" (walk and entry)        | 0, errors            |
//   | entries start outside the table             | "start cluster %x lies outside the table"  | 0, errors            |
//   | directory points to itself and to the root  | single block + "already reached"           | 1                    |
//   | name of 108 bytes without NUL               | cut at 108 in the message                  | 0, errors            |
//   | disk of 8 sectors: the root beyond its end  | "Attempt to read after end of disk!\n"     | 1                    |
// "errors": qv_error is "FAT has errors, please correct!\n"; else the last
// warning. With the salvage a refused disk is used: its warnings, then that
// line and the salvage line (unless said).
#include "support/fixture.h"

namespace {

constexpr char kRefused[] = "FAT has errors, please correct!\n";
constexpr char kSalvaged[] = "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's data\n";
using Entries = std::vector<std::pair<uint32_t, uint32_t>>;

class FatCheck : public DiskTest {
protected:
    void TearDown() override {
        qv_options.salvage = 0;
        DiskTest::TearDown();
    }
};

// A file of the given clusters (in chain order), its stored length right;
// one whose stored length disagrees with its one-cluster chain.
void add_file(ImageBuilder& img, uint32_t dir, const std::string& name, std::vector<uint32_t> clusters, uint8_t type = 0) {
    img.add_file(dir, type, name, Bytes(clusters.size() * size_t(img.cluster_size()), 0x5A), {}, clusters);
}
void add_wrong_length(ImageBuilder& img, uint32_t dir, const std::string& name, uint32_t stored) {
    uint32_t c = img.free_clusters(1)[0];
    img.link_chain({c});
    img.dir_entry(dir, img.free_slot(dir), 0, c, stored, 0, name);
}
Messages lost(std::vector<std::string> clusters) {
    Messages m;
    for (const std::string& c : clusters) m.push_back("FAT item " + c + " not accessible\n");
    m.push_back("Total of " + std::to_string(clusters.size()) + " lost clusters found\n");
    return m;
}
Messages operator+(Messages a, const Messages& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(FatCheck, EveryDamageClassPlainAndWithTheSalvage) {
    struct Row {
        const char* name;
        std::function<ImageBuilder()> make;
        int result;
        Messages warnings;
        const char* error;   // null: the last warning
        Entries fat;         // entries of the table taken
        Messages salvage = {};   // the salvage's warnings where they are not the plain ones (+ the two lines)
        Entries salvage_fat = {};
    };
    auto with = [](uint32_t clusters, std::function<void(ImageBuilder&)> build) {
        return [=] {
            ImageBuilder img(clusters);
            build(img);
            return img;
        };
    };
    const std::vector<Row> rows = {
        {"healthy", with(10, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1, 2, 3});
             add_file(img, 0, "Split", {6, 4});
             add_file(img, img.add_dir(0, "Archiv"), "Alt", {7});
             img.add_list_file({"Film"});
         }), 0, {}, nullptr, {{1, 2}, {3, kEndOfChain}, {6, 4}}},
        {"sample", sample_disk, 0, {}, nullptr, {}},
        {"FAT2 link beyond the disk", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1, 2, 3});
             img.set_fat2(3, 10);
         }), 0, {"FAT2 3 item 10 wrong!\n"}, nullptr, {{3, kEndOfChain}}},
        {"link equal to the size in MiB", [] {
             ImageBuilder img(20, 1026);   // 21546 sectors, 10 whole MiB
             add_file(img, 0, "Edge", {5, 10});
             add_file(img, 0, "Over", {6, 7});
             img.set_fat1(6, 11);
             return img;
         }, 0, {"FAT1 6 item 11 wrong!\n"}, nullptr, {{5, 10}, {6, 7}}},
        {"marker values", with(8, [](ImageBuilder& img) {
             for (uint32_t c : {1, 2, 3, 4, 5}) img.set_fat(c, kMarkerLink + c - 1);   // 1 is walked as a link
         }), 0, Messages{"Chain 0 ends at cluster 1 with marker fffffb\n"} + lost({"1", "2", "3", "4"}), kRefused, {}},
        {"wrong links in both copies", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1, 2, 3});
             img.set_fat1(1, 100), img.set_fat2(2, 200), img.set_fat(5, 300);
             img.set_fat1(6, kEndOfChain);   // a difference: the salvage takes FAT1's
         }), 1, {"FAT1 1 item 100 wrong!\n", "FAT1 5 item 300 wrong!\n", "FAT2 2 item 200 wrong!\n",
                 "FAT2 5 item 300 wrong!\n", "FAT: 6: fffffe != ffffff\n"},
         "No valid FAT24 found!\n", {{1, 0}},
         {"FAT1 1 item 100 wrong!\n", "FAT1 5 item 300 wrong!\n", "FAT2 2 item 200 wrong!\n", "FAT2 5 item 300 wrong!\n",
          "FAT: 6: fffffe != ffffff\n", "FAT1 1 item wrong, taken from FAT2: 2\n", "FAT2 2 item wrong, taken from FAT1: 3\n",
          "FAT 5 item wrong in both copies, taken as end of chain\n", "FAT item 5 not accessible\n",
          "FAT item 6 not accessible\n", "Total of 2 lost clusters found\n", kSalvaged},
         {{1, 2}, {2, 3}, {5, kEndOfChain}, {6, kEndOfChain}}},
        {"copies differ in range", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1, 2});
             img.set_fat1(6, kEndOfChain);
         }), 0, {"FAT: 6: fffffe != ffffff\n"}, nullptr, {{6, kFreeCluster}}},
        {"merging chains", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "A", {1, 2, 3});
             add_file(img, 0, "B", {4, 5});
             img.set_fat(5, 2);
             img.dir_entry(0, 1, 0, 4, 4, 0, "B");
         }), 0, {"Crosslinked block 2 in chain 0 and 1\n", "Crosslinked block 3 in chain 0 and 1\n"}, kRefused, {}},
        {"root entry links into a chain", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "A", {1, 2, 3});
             img.set_fat(0, 2);
         }), 0, {"Crosslinked block 2 in chain 0 and 1\n", "Crosslinked block 3 in chain 0 and 1\n"}, kRefused, {}},
        {"two entries with one start", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "A", {1, 2});
             img.dir_entry(0, 1, 0, 1, 2, 0, "B");
             img.set_fat(6, kEndOfChain);   // lost, found later
         }), 1, Messages{"Crosslinked single block 1\n"} + lost({"6"}), kRefused, {}},
        {"start cluster free", with(8, [](ImageBuilder& img) { img.dir_entry(0, 0, 0, 5, 1, 0, "Ghost"); }), 1,
         {"Crosslinked single block 5\n", "File Ghost: chain ends at cluster 5, which is marked free\n"}, kRefused, {}},
        {"shared types", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "A", {1, 2});
             img.dir_entry(0, 1, kTypeShared0, 1, 2, 0, "Zero");
             img.dir_entry(0, 2, kTypeShared1, 1, 3, 0, "One");
         }), 0, {"File One has incorrect length 3/2\n"}, kRefused, {}},
        {"stored length differs", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1, 2, 3});
             img.dir_entry(0, 0, 0, 1, 5, 0, "Film");
         }), 0, {"File Film has incorrect length 5/3\n"}, kRefused, {}},
        {"lost clusters", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Film", {1});
             img.link_chain({5, 6});
             img.set_fat(7, kEndOfChain);
         }), 0, lost({"5", "6", "7"}), kRefused, {}},
        {"breadth first", with(12, [](ImageBuilder& img) {
             uint32_t a = img.add_dir(0, "A"), b = img.add_dir(0, "B");
             add_wrong_length(img, img.add_dir(a, "A1"), "deep", 9);
             add_wrong_length(img, a, "in_a", 7);
             add_wrong_length(img, b, "in_b", 8);
             add_wrong_length(img, 0, "top", 6);
         }), 0, {"File top has incorrect length 6/1\n", "File in_a has incorrect length 7/1\n",
                 "File in_b has incorrect length 8/1\n", "File deep has incorrect length 9/1\n"}, kRefused, {}},
        {"loops", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Tail", {1, 2, 3});
             img.set_fat(3, 2);   // 1 -> 2 -> 3 -> 2 ...: a head, then a loop
             add_file(img, 0, "Ring", {5, 6});
             img.set_fat(6, 5);   // 5 -> 6 -> 5 ...: no head at all
         }), 0, {"Chain 0 loops at cluster 2\n", "File Tail: chain loops at cluster 2\n",
                 "File Ring: chain loops at cluster 5\n"}, kRefused, {}},
        {"out of the table", with(8, [](ImageBuilder& img) {
             add_file(img, 0, "Out", {1, 2});
             img.set_fat(2, 8);   // passes the range check (bound 9), beyond the 8 entries
         }), 0, {"Chain 0 leaves the table at cluster 2\n", "File Out: chain leaves the table at cluster 2\n"}, kRefused, {}},
        {"start outside the table", with(8, [](ImageBuilder& img) {
             img.dir_entry(0, 0, 0, 0x20, 1, 0, "Far");
             img.dir_entry(0, 1, 0, kEndOfChain, 1, 0, "End");
         }), 0, {"File Far: start cluster 20 lies outside the table\n", "File End: start cluster fffffe lies outside the table\n"},
         kRefused, {}},
        {"directory pointing back", with(8, [](ImageBuilder& img) {
             uint32_t sub = img.add_dir(0, "Sub");
             img.dir_entry(sub, 0, kTypeSubdir, sub, 1, 0, "Self");
             img.dir_entry(sub, 1, kTypeSubdir, 0, 1, 0, "Up");
         }), 1, {"Crosslinked single block 1\n", "Directory Self at cluster 1 already reached, not checked again\n",
                 "Crosslinked single block 0\n", "Directory Up at cluster 0 already reached, not checked again\n"},
         kRefused, {}},
        {"name without NUL", with(8, [](ImageBuilder& img) {
             add_wrong_length(img, 0, "x", 4);
             uint8_t raw[108];
             memset(raw, 'N', sizeof raw);
             img.dir_entry_raw_name(0, 0, raw);
         }), 0, {"File " + std::string(108, 'N') + " has incorrect length 4/1\n"}, kRefused, {}},
        {"root beyond the disk's end", with(2, [](ImageBuilder& img) { img.set_disk_sectors(8); }), 1,
         {"Attempt to read after end of disk!\n"}, kRefused, {}},
    };
    for (const Row& row : rows) {
        for (int salvage : {0, 1}) {
            SCOPED_TRACE(std::string(row.name) + (salvage ? " salvaged" : ""));
            qv_options.salvage = salvage;
            qv_set_error("%s", "");
            const bool refused = row.result != 0;
            EXPECT_EQ(open_disk(row.make()), salvage ? 0 : row.result);
            Messages want = salvage && !row.salvage.empty() ? row.salvage
                            : salvage && refused           ? row.warnings + Messages{kRefused, kSalvaged}
                                                           : row.warnings;
            EXPECT_EQ(capture().messages, want);
            if (!(salvage && refused)) {
                EXPECT_EQ(qv_error, std::string(row.error ? row.error : want.empty() ? "" : want.back().c_str()));
            }
            for (auto [n, value] : salvage && !row.salvage_fat.empty() ? row.salvage_fat : row.fat)
                EXPECT_EQ(qv->fat[n], value) << n;
        }
    }
}

// Unreadable sectors. The disk: file Film (clusters 5, 6), directory Archiv
// (cluster 1) holding Alt (clusters 2, 3) in its first sector; FAT1 says
// cluster 7 is the end of a chain, FAT2 that it is free. FAT1 entries 0 to 7
// lie in sector 256, FAT2's in sector 1024; the root is sectors 2048 on
// (4 entries, all in its first sector), cluster 1 sectors 4096 on. Where both
// copies were read, "FAT: 7: fffffe != ffffff\n" comes first.
//   | unreadable          | warnings                                                     | result, qv_error |
//   | 256                 | "FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"      | 0, that line     |
//   | 1024                | "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n",     | 0, errors        |
//   |                     | then cluster 7 lost                                          |                  |
//   | 256 and 1024        | "FAT entries 0 to 7 cannot be read in either copy\n"         | 1, no FAT        |
//   | the same, salvaged  | "...: taken as end of chain\n": every chain one cluster long | 0                |
//   | 4096                | "Directory at cluster 1: entries 0 to 3 cannot be read,      | 0, errors        |
//   |                     | skipped\n", clusters 2 and 3 lost                            |                  |
//   | 4096 to 6143 (all)  | the same for entries 0 to 8191                               | 0, errors        |
//   | 2048 and 2049       | "Directory at cluster 0: entries 0 to 3 …", all else lost    | 0, errors        |
//   | 2049 (unused slots) | none: the root has 4 entries                                 | 0                |
TEST_F(FatCheck, UnreadableSectorsOfTablesAndDirectories) {
    const char* diff = "FAT: 7: fffffe != ffffff\n";
    const Messages alt_lost = lost({"2", "3"});
    auto first = [&](const char* line, Messages rest) { return Messages{diff, line} + rest; };
    struct Row {
        std::vector<BadSectors> bad;
        Messages warnings;
        int result;
        const char* error;
        int salvage = 0;
    } rows[] = {
        {{{256, 1, BadKind::kEio}}, {"FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"}, 0,
         "FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"},
        {{{1024, 1, BadKind::kWhole}}, Messages{"FAT2 entries 0 to 7 cannot be read: taken from FAT1\n"} + lost({"7"}), 0, kRefused},
        {{{256, 1, BadKind::kShort}, {1024, 1, BadKind::kShort}}, {"FAT entries 0 to 7 cannot be read in either copy\n"}, 1,
         "No valid FAT24 found!\n"},
        {{{256, 1, BadKind::kShort}, {1024, 1, BadKind::kShort}},
         Messages{"FAT entries 0 to 7 cannot be read in either copy: taken as end of chain\n",
                  "File Film has incorrect length 2/1\n", "File Alt has incorrect length 2/1\n"} +
             lost({"3", "4", "6", "7"}) + Messages{kSalvaged},
         0, kSalvaged, 1},
        {{{4096, 1, BadKind::kEio}}, first("Directory at cluster 1: entries 0 to 3 cannot be read, skipped\n", alt_lost), 0, kRefused},
        {{{4096, 2048, BadKind::kWhole}}, first("Directory at cluster 1: entries 0 to 8191 cannot be read, skipped\n", alt_lost),
         0, kRefused},
        {{{2048, 2, BadKind::kEio}},
         first("Directory at cluster 0: entries 0 to 3 cannot be read, skipped\n", lost({"1", "2", "3", "5", "6"})), 0,
         kRefused},
        {{{2049, 1, BadKind::kEio}}, {diff}, 0, "ReadFile failed on position 1049088 with code 5\n"},
    };
    ImageBuilder img(8);
    add_file(img, 0, "Film", {5, 6});
    ASSERT_EQ(img.add_dir(0, "Archiv"), 1u);
    add_file(img, 1, "Alt", {2, 3});
    img.set_fat1(7, kEndOfChain);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad[0].first);
        disk_.bad = row.bad;
        qv_options.salvage = row.salvage;
        qv_set_error("%s", "");
        EXPECT_EQ(open_disk(img), row.result);
        EXPECT_EQ(capture().messages, row.warnings);
        EXPECT_STREQ(qv_error, row.error);
    }
}

// check_dir directly: the list has room for cluster_size / 128 directories;
// with one place left, the second subdirectory is not written past it.
// The root's entry count follows the slack: 1047552 gives 12.
TEST_F(FatCheck, FullDirectoryListAndTheRootEntryCount) {
    ImageBuilder img(8);
    img.set_root_dir_slack(1047552);
    uint32_t sub = img.add_dir(0, "Sub"), one = img.add_dir(sub, "One");
    ASSERT_EQ(img.add_dir(sub, "Two"), 3u);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(root_entry_count(), 12u);
    const uint32_t room = qv->cluster_size / 128;
    std::vector<uint32_t> marks(qv->fat, qv->fat + kMaxClusters), list(room, 0);
    uint32_t count = room - 1;
    clear_capture();
    EXPECT_EQ(check_dir(sub, room, marks.data(), list.data(), &count), 1);
    EXPECT_EQ(count, room);
    EXPECT_EQ(list[room - 1], one);
    EXPECT_EQ(capture().messages, Messages{"Too many subdirectories: directory Two at cluster 3 not checked\n"});
}

}  // namespace
