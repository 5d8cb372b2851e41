// Loading and checking the allocation table (read_fat, check_dir): one row per damage class, each
// opened plainly and with the salvage. 8 clusters of 1 MiB unless said otherwise (link bound: size
// in MiB).
//   | healthy | a link out of range in one copy, in both; markers; the copies differ | chains
//   merging, the root's | entry linking into one, two entries with one start, a free start, shared
//   types, wrong lengths, lost clusters, | breadth-first order, loops, a link beyond the table,
//   starts outside it, directories reached twice, a name | without NUL, the root beyond the end |
//   The salvage opens a refused disk: its warnings, kRefused, kSalvaged.
#include <cstring>
#include "support/fixture.h"
namespace {
constexpr char kRefused[] = "FAT has errors, please correct!\n";
constexpr char kSalvaged[] =
    "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's "
    "data\n";
using Entries = std::vector<std::pair<uint32_t, uint32_t>>;
class FatCheck : public DiskTest {
protected:
    void TearDown() override { qv_options.salvage = 0, DiskTest::TearDown(); }
};
// A file of the given clusters (in chain order), its stored length right; one whose stored length
// disagrees with its one-cluster chain.
void add_file(ImageBuilder& img, uint32_t dir, const std::string& name,
              std::vector<uint32_t> clusters, uint8_t type = 0) {
    img.add_file(dir, type, name, Bytes(clusters.size() * size_t(img.cluster_size()), 0x5A), {},
                 clusters);
}
void add_wrong_length(ImageBuilder& img, uint32_t dir, const std::string& name, uint32_t stored) {
    uint32_t c = img.free_clusters(1)[0];
    img.link_chain({c}), img.dir_entry(dir, img.free_slot(dir), 0, c, stored, 0, name);
}
Messages lost(std::vector<std::string> clusters) {
    Messages m;
    for (const std::string& c : clusters) m.push_back("FAT item " + c + " not accessible\n");
    return m.push_back("Total of " + std::to_string(clusters.size()) + " lost clusters found\n"), m;
}
Messages operator+(Messages a, const Messages& b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
}

TEST_F(FatCheck, EveryDamageClassPlainAndWithTheSalvage) {
    using Img = ImageBuilder&;
    struct Row {  // error null: the last warning; fat: entries taken; salvage: its warnings where
                  // not the plain ones
        const char* name;
        std::function<ImageBuilder()> make;
        int result;
        Messages warnings;
        const char* error = kRefused;
        Entries fat = {};
        Messages salvage = {};
        Entries salvage_fat = {};
    };
    auto with = [](uint32_t n, std::function<void(Img)> build) {
        return [=] {
            ImageBuilder img(n);
            build(img);
            return img;
        };
    };
    const Messages crossed = {"Crosslinked block 2 in chain 0 and 1\n",
                              "Crosslinked block 3 in chain 0 and 1\n"};
    const Messages wrong = {"FAT1 1 item 100 wrong!\n", "FAT1 5 item 300 wrong!\n",
                            "FAT2 2 item 200 wrong!\n", "FAT2 5 item 300 wrong!\n",
                            "FAT: 6: fffffe != ffffff\n"};
    const std::vector<Row> rows = {
        {"healthy",
         with(10,
              [](Img i) {
                  add_file(i, 0, "Film", {1, 2, 3}), add_file(i, 0, "Split", {6, 4}),
                      add_file(i, i.add_dir(0, "Archiv"), "Alt", {7});
                  i.add_list_file({"Film"});
              }),
         0,
         {},
         nullptr,
         {{1, 2}, {3, kEndOfChain}, {6, 4}}},
        {"sample", sample_disk, 0, {}, nullptr, {}},
        {"FAT2 link beyond the disk",
         with(8,
              [](Img i) {
                  add_file(i, 0, "F", {1, 2, 3}), i.set_fat2(3, 10);
              }),
         0,
         {"FAT2 3 item 10 wrong!\n"},
         nullptr,
         {{3, kEndOfChain}}},
        {"link equal to the size in MiB",
         [] {  // 21546 sectors, 10 whole MiB
             ImageBuilder i(20, 1026);
             return add_file(i, 0, "Edge", {5, 10}), add_file(i, 0, "Over", {6, 7}),
                    i.set_fat1(6, 11), i;
         },
         0,
         {"FAT1 6 item 11 wrong!\n"},
         nullptr,
         {{5, 10}, {6, 7}}},
        {"marker values",
         with(8,
              [](Img i) {
                  for (uint32_t c : {1, 2, 3, 4, 5}) i.set_fat(c, kMarkerLink + c - 1);
              }),
         0,
         Messages{"Chain 0 ends at cluster 1 with marker fffffb\n"} +
             lost({"1", "2", "3", "4"})},  // 1 walked as a link
        {"wrong links in both copies",
         with(8,
              [](Img i) {
                  add_file(i, 0, "Film", {1, 2, 3}), i.set_fat1(1, 100), i.set_fat2(2, 200),
                      i.set_fat(5, 300);
                  i.set_fat1(6, kEndOfChain);  // a difference: the salvage takes FAT1's
              }),
         1,
         wrong,
         "No valid FAT24 found!\n",
         {{1, 0}},
         wrong +
             Messages{"FAT1 1 item wrong, taken from FAT2: 2\n",
                      "FAT2 2 item wrong, taken from FAT1: 3\n",
                      "FAT 5 item wrong in both copies, taken as end of chain\n"} +
             lost({"5", "6"}) + Messages{kSalvaged},
         {{1, 2}, {2, 3}, {5, kEndOfChain}, {6, kEndOfChain}}},
        {"copies differ in range",
         with(8,
              [](Img i) {
                  add_file(i, 0, "F", {1, 2}), i.set_fat1(6, kEndOfChain);
              }),
         0,
         {"FAT: 6: fffffe != ffffff\n"},
         nullptr,
         {{6, kFreeCluster}}},
        {"merging chains",
         with(8,
              [](Img i) {
                  add_file(i, 0, "A", {1, 2, 3}), add_file(i, 0, "B", {4, 5}), i.set_fat(5, 2),
                      i.dir_entry(0, 1, 0, 4, 4, 0, "B");
              }),
         0, crossed},
        {"root entry links into a chain",
         with(8,
              [](Img i) {
                  add_file(i, 0, "A", {1, 2, 3}), i.set_fat(0, 2);
              }),
         0, crossed},
        {"root entry links on",
         with(8,
              [](Img i) {
                  add_file(i, 0, "A", {1, 2, 3}), i.set_fat(0, 5), i.set_fat(5, kEndOfChain);
              }),
         0, lost({"5"})},
        {"two entries with one start",
         with(8,
              [](Img i) {  // 6 lost, found later
                  add_file(i, 0, "A", {1, 2}), i.dir_entry(0, 1, 0, 1, 2, 0, "B"),
                      i.set_fat(6, kEndOfChain);
              }),
         1, Messages{"Crosslinked single block 1\n"} + lost({"6"})},
        {"start cluster free",
         with(8, [](Img i) { i.dir_entry(0, 0, 0, 5, 1, 0, "Ghost"); }),
         1,
         {"Crosslinked single block 5\n",
          "File Ghost: chain ends at cluster 5, which is marked free\n"}},
        {"shared types",
         with(8,
              [](Img i) {
                  add_file(i, 0, "A", {1, 2}), i.dir_entry(0, 1, kTypeShared0, 1, 2, 0, "0");
                  i.dir_entry(0, 2, kTypeShared1, 1, 3, 0, "One");
              }),
         0,
         {"File One has incorrect length 3/2\n"}},
        {"stored length differs",
         with(8,
              [](Img i) {
                  add_file(i, 0, "Film", {1, 2, 3}), i.dir_entry(0, 0, 0, 1, 5, 0, "Film");
              }),
         0,
         {"File Film has incorrect length 5/3\n"}},
        {"lost clusters",
         with(8,
              [](Img i) {
                  add_file(i, 0, "Film", {1}), i.link_chain({5, 6}), i.set_fat(7, kEndOfChain);
              }),
         0, lost({"5", "6", "7"})},
        {"breadth first",
         with(12,
              [](Img i) {
                  uint32_t a = i.add_dir(0, "A"), b = i.add_dir(0, "B");
                  add_wrong_length(i, i.add_dir(a, "A1"), "deep", 9),
                      add_wrong_length(i, a, "in_a", 7);
                  add_wrong_length(i, b, "in_b", 8), add_wrong_length(i, 0, "top", 6);
              }),
         0,
         {"File top has incorrect length 6/1\n", "File in_a has incorrect length 7/1\n",
          "File in_b has incorrect length 8/1\n", "File deep has incorrect length 9/1\n"}},
        {"loops",
         with(8,
              [](Img i) {  // 1 -> 2 -> 3 -> 2 ...: a head, then a loop; 5 -> 6 -> 5 ...: no head
                  add_file(i, 0, "Tail", {1, 2, 3}), i.set_fat(3, 2),
                      add_file(i, 0, "Ring", {5, 6}), i.set_fat(6, 5);
              }),
         0,
         {"Chain 0 loops at cluster 2\n", "File Tail: chain loops at cluster 2\n",
          "File Ring: chain loops at cluster 5\n"}},
        {"out of the table",
         with(8,
              [](Img i) {
                  add_file(i, 0, "Out", {1, 2}), i.set_fat(2, 8);
              }),
         0,  // in range (9)
         {"Chain 0 leaves the table at cluster 2\n",
          "File Out: chain leaves the table at cluster 2\n"}},
        {"start outside the table",
         with(8,
              [](Img i) {
                  i.dir_entry(0, 0, 0, 0x20, 1, 0, "Far"),
                      i.dir_entry(0, 1, 0, kEndOfChain, 1, 0, "End");
              }),
         0,
         {"File Far: start cluster 20 lies outside the table\n",
          "File End: start cluster fffffe lies outside the table\n"}},
        {"directory pointing back",
         with(8,
              [](Img i) {
                  uint32_t sub = i.add_dir(0, "Sub");
                  i.dir_entry(sub, 0, kTypeSubdir, sub, 1, 0, "Self"),
                      i.dir_entry(sub, 1, kTypeSubdir, 0, 1, 0, "Up");
              }),
         1,
         {"Crosslinked single block 1\n",
          "Directory Self at cluster 1 already reached, not checked again\n",
          "Crosslinked single block 0\n",
          "Directory Up at cluster 0 already reached, not checked again\n"}},
        {"name without NUL",
         with(8,
              [](Img i) {
                  uint8_t raw[108];
                  memset(raw, 'N', sizeof raw), add_wrong_length(i, 0, "x", 4),
                      i.dir_entry_raw_name(0, 0, raw);
              }),
         0,
         {"File " + std::string(108, 'N') + " has incorrect length 4/1\n"}},
        {"root beyond the disk's end",
         with(2, [](Img i) { i.set_disk_sectors(8); }),
         1,
         {"Attempt to read after end of disk!\n"}},
    };
    for (const Row& row : rows) {
        for (int salvage : {0, 1}) {
            SCOPED_TRACE(std::string(row.name) + (salvage ? " salvaged" : ""));
            qv_options.salvage = salvage;
            qv_set_error("%s", "");
            const bool refused = row.result != 0;
            EXPECT_EQ(open_disk(row.make()), salvage ? 0 : row.result);
            Messages want = salvage && !row.salvage.empty() ? row.salvage
                            : salvage && refused ? row.warnings + Messages{kRefused, kSalvaged}
                                                 : row.warnings;
            EXPECT_EQ(capture().messages, want);
            if (!(salvage && refused)) {
                EXPECT_EQ(qv_error, row.error ? row.error : want.empty() ? "" : want.back());
            }
            for (auto [n, v] : salvage && !row.salvage_fat.empty() ? row.salvage_fat : row.fat)
                EXPECT_EQ(qv->fat[n], v) << n;
        }
    }
}

// Unreadable sectors. Film (clusters 5, 6), directory Archiv (1) holding Alt (2, 3); cluster 7 end
// of chain in FAT1, free in FAT2. FAT1 entries lie in sector 256, FAT2's in 1024; the root is
// sectors 2048 on (4 entries, in its first sector), cluster 1 sectors 4096 on.
//   | unreadable: 256 / 1024 | 256 and 1024, plain / salvaged (no table) | 4096 / 4096-6143 |
//   2048-2049 | 2049 (unused slots) |
TEST_F(FatCheck, UnreadableSectorsOfTablesAndDirectories) {
    const char* diff = "FAT: 7: fffffe != ffffff\n";
    auto dir = [&](int cluster, int last, Messages lost_ones) {
        return Messages{diff,
                        format("Directory at cluster %d: entries 0 to %d cannot be read, skipped\n",
                               cluster, last)} +
               lost_ones;
    };
    const std::vector<BadSectors> both = {{256, 1, BadKind::kShort}, {1024, 1, BadKind::kShort}};
    struct Row {  // error null: the last warning
        std::vector<BadSectors> bad;
        Messages warnings;
        int result;
        const char* error;
        int salvage = 0;
    } rows[] = {
        {{{256, 1, BadKind::kEio}},
         {"FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"},
         0,
         nullptr},
        {{{1024, 1, BadKind::kWhole}},
         Messages{"FAT2 entries 0 to 7 cannot be read: taken from FAT1\n"} + lost({"7"}),
         0,
         kRefused},
        {both,
         {"FAT entries 0 to 7 cannot be read in either copy\n"},
         1,
         "No valid FAT24 found!\n"},
        {both,
         {"Salvage: neither copy of the allocation table can be used (FAT1 unreadable, FAT2 "
          "unreadable): the table's findings are left out, every chain is found by content\n",
          kSalvaged},
         0,
         nullptr,
         1},
        {{{4096, 1, BadKind::kEio}}, dir(1, 3, lost({"2", "3"})), 0, kRefused},
        {{{4096, 2048, BadKind::kWhole}}, dir(1, 8191, lost({"2", "3"})), 0, kRefused},
        {{{2048, 2, BadKind::kEio}}, dir(0, 3, lost({"1", "2", "3", "5", "6"})), 0, kRefused},
        {{{2049, 1, BadKind::kEio}},
         {diff},
         0,
         "ReadFile failed on position 1049088 with code 5\n"},
    };
    ImageBuilder img(8);
    ASSERT_EQ((add_file(img, 0, "Film", {5, 6}), img.add_dir(0, "Archiv")), 1u);
    add_file(img, 1, "Alt", {2, 3}), img.set_fat1(7, kEndOfChain);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad[0].first);
        disk_.bad = row.bad, qv_options.salvage = row.salvage;
        qv_set_error("%s", "");
        EXPECT_EQ(open_disk(img), row.result);
        EXPECT_EQ(capture().messages, row.warnings);
        EXPECT_STREQ(qv_error, row.error ? row.error : row.warnings.back().c_str());
    }
}

// check_dir directly: the list has room for cluster_size / 128 directories; with one place left,
// the second subdirectory is not written past it. The root's entry count follows the slack.
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
    EXPECT_EQ(std::make_pair(count, list[room - 1]), std::make_pair(room, one));
    EXPECT_EQ(capture().messages,
              Messages{"Too many subdirectories: directory Two at cluster 3 not checked\n"});
}
}  // namespace
