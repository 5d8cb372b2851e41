// Loading and checking the allocation table (read_fat, check_dir), one test
// per damage class. Disks of 8 clusters of 1 MiB unless said otherwise; the
// link bound is the disk size in MiB (9).
//   | disk                                        | expected warnings                          | result |
//   | healthy: files, subdirectory, list file;   | none                                       | 0      |
//   | the demo's sample disk                      |                                            |        |
//   | FAT2 link 10 at entry 3                     | "FAT2 3 item 10 wrong!\n", FAT1 used       | 0      |
//   | link == size in MiB (small clusters)        | accepted; FAT1 range error only            | 0      |
//   | marker values 0xFFFFFB..0xFFFFFF            | never "wrong"; FB walked as a link         | 0      |
//   | range errors in both copies + differences   | FAT1 first, then FAT2/difference per entry | 1, "No valid FAT24 found!\n" |
//   | copies differ inside the range              | one difference message, FAT2 used          | 0      |
//   | chains 1-2-3 and 4-5-2-3 merge              | "Crosslinked block 2/3 in chain 0 and 1"   | 0      |
//   | two entries start at cluster 1, lost 6      | "Crosslinked single block 1\n", lost       | 1      |
//   | entry starts at a free cluster              | single block + "marked free"               | 1      |
//   | 0xF0/0xF1 entries share a start             | only their length is checked               | 0      |
//   | stored length differs                       | "File %s has incorrect length %u/%u\n"     | 0      |
//   | allocated clusters nobody reaches           | one line each, then the total              | 0      |
//   | unreadable FAT and directory sectors        | entries from the other copy / skipped      | 0 or 1 |
//   | directories two levels deep                 | breadth-first order of messages            | 0      |
//   | chain loops (with and without a head)       | "Chain 0 loops", "File %s: chain loops"    | 0      |
//   | link >= cluster_count, start out of table   | "leaves the table", "start cluster"        | 0      |
//   | directory points to itself and to the root  | single block + "already reached"           | 1      |
//   | directory list full (check_dir directly)    | "Too many subdirectories", no write past   | -      |
//   | name of 108 bytes without NUL               | cut at 108 in the message                  | 0      |
#include <string>
#include <vector>

#include "support/fixture.h"

namespace {

constexpr uint8_t kTypeFile = 0x00;

class FatCheck : public DiskTest {
protected:
    static const Messages& warnings() { return capture().messages; }
};

// A file of the given clusters (in chain order), its stored length right.
uint32_t add_file(ImageBuilder& img, uint32_t dir, const std::string& name, std::vector<uint32_t> clusters,
                  uint8_t type = kTypeFile) {
    std::vector<uint8_t> data(clusters.size() * size_t(img.cluster_size()), 0x5A);
    return img.add_file(dir, type, name, data, {}, clusters);
}

// An entry whose stored length (stored) disagrees with its one-cluster chain.
void add_wrong_length_file(ImageBuilder& img, uint32_t dir, const std::string& name, uint32_t stored) {
    uint32_t c = img.free_clusters(1)[0];
    img.link_chain({c});
    img.dir_entry(dir, img.free_slot(dir), kTypeFile, c, stored, 0, name);
}

TEST_F(FatCheck, HealthyDiskGivesNoWarning) {
    ImageBuilder img(10);
    add_file(img, 0, "Film", {1, 2, 3});
    add_file(img, 0, "Split", {6, 4});
    uint32_t sub = img.add_dir(0, "Archiv");
    add_file(img, sub, "Alt", {7});
    img.add_list_file({"Film"});
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{});
    EXPECT_EQ(qv->fat[1], 2u);
    EXPECT_EQ(qv->fat[3], kEndOfChain);
    EXPECT_EQ(qv->fat[6], 4u);
    // The demo's sample disk as well.
    ImageBuilder sample = sample_disk();
    ASSERT_EQ(open_disk(sample), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{});
    EXPECT_EQ(qv->cluster_size, 1048576u);
    EXPECT_EQ(qv->cluster_count, sample.cluster_count());
}

TEST_F(FatCheck, Fat2LinkBeyondDiskUsesFat1) {
    ImageBuilder img(8);
    add_file(img, 0, "Film", {1, 2, 3});
    img.set_fat2(3, 10);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"FAT2 3 item 10 wrong!\n"});
    EXPECT_EQ(qv->fat[3], kEndOfChain);
}

TEST_F(FatCheck, LinkEqualToDiskSizeInMiBIsAccepted) {
    // 20 clusters of 1026 sectors: 21546 sectors, 10 whole MiB.
    ImageBuilder img(20, 1026);
    add_file(img, 0, "Edge", {5, 10});
    add_file(img, 0, "Over", {6, 7});
    img.set_fat1(6, 11);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"FAT1 6 item 11 wrong!\n"});
    EXPECT_EQ(qv->fat[5], 10u);
    EXPECT_EQ(qv->fat[6], 7u);
}

TEST_F(FatCheck, MarkerValuesAreNeverWrong) {
    ImageBuilder img(8);
    img.set_fat(1, 0xFFFFFB);   // still a link for the chain walk: it leaves the table
    img.set_fat(2, 0xFFFFFC);
    img.set_fat(3, 0xFFFFFD);
    img.set_fat(4, kEndOfChain);
    img.set_fat(5, kFreeCluster);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"Chain 0 leaves the table at cluster 1\n", "FAT item 1 not accessible\n",
                                    "FAT item 2 not accessible\n", "FAT item 3 not accessible\n",
                                    "FAT item 4 not accessible\n", "Total of 4 lost clusters found\n"}));
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(FatCheck, BothCopiesBadStopsTheCheck) {
    ImageBuilder img(8);
    add_file(img, 0, "Film", {1, 2, 3});
    img.set_fat1(5, 100);
    img.set_fat1(1, 3);          // difference, both in range
    img.set_fat2(2, 200);
    img.set_fat2(4, kEndOfChain);  // difference, both in range
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_EQ(warnings(), (Messages{"FAT1 5 item 100 wrong!\n", "FAT: 1: 3 != 2\n", "FAT2 2 item 200 wrong!\n",
                                    "FAT: 4: ffffff != fffffe\n"}));
    EXPECT_STREQ(qv_error, "No valid FAT24 found!\n");
    EXPECT_EQ(qv->fat[1], 0u);   // nothing chosen
}

TEST_F(FatCheck, CopiesDifferingInRangeUseFat2) {
    ImageBuilder img(8);
    add_file(img, 0, "Film", {1, 2});
    img.set_fat1(6, kEndOfChain);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"FAT: 6: fffffe != ffffff\n"});
    EXPECT_EQ(qv->fat[6], kFreeCluster);
}

TEST_F(FatCheck, MergingChainsReportEverySharedCluster) {
    ImageBuilder img(8);
    add_file(img, 0, "A", {1, 2, 3});
    add_file(img, 0, "B", {4, 5});
    img.set_fat(5, 2);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"Crosslinked block 2 in chain 0 and 1\n", "Crosslinked block 3 in chain 0 and 1\n",
                                    "File B has incorrect length 2/4\n"}));
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(FatCheck, TwoEntriesWithOneStartClusterAreFatal) {
    ImageBuilder img(8);
    add_file(img, 0, "A", {1, 2});
    img.dir_entry(0, img.free_slot(0), kTypeFile, 1, 2, 0, "B");
    img.set_fat(6, kEndOfChain);   // lost, found later
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_EQ(warnings(), (Messages{"Crosslinked single block 1\n", "FAT item 6 not accessible\n",
                                    "Total of 1 lost clusters found\n"}));
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(FatCheck, FreeStartClusterIsASingleBlockCrossLink) {
    ImageBuilder img(8);
    img.dir_entry(0, 0, kTypeFile, 5, 1, 0, "Ghost");
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_EQ(warnings(), (Messages{"Crosslinked single block 5\n", "File Ghost: cluster 5 of its chain is marked free\n"}));
}

TEST_F(FatCheck, SharedTypesMayShareTheirStartCluster) {
    ImageBuilder img(8);
    add_file(img, 0, "A", {1, 2});
    img.dir_entry(0, img.free_slot(0), kTypeShared0, 1, 2, 0, "Zero");
    img.dir_entry(0, img.free_slot(0), kTypeShared1, 1, 3, 0, "One");
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"File One has incorrect length 3/2\n"});
}

TEST_F(FatCheck, WrongStoredLengthIsReported) {
    ImageBuilder img(8);
    add_file(img, 0, "Film", {1, 2, 3});
    img.dir_entry(0, 0, kTypeFile, 1, 5, 0, "Film");
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"File Film has incorrect length 5/3\n"});
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(FatCheck, LostClustersAreCountedWithTheirTotal) {
    ImageBuilder img(8);
    add_file(img, 0, "Film", {1});
    img.link_chain({5, 6});
    img.set_fat(7, kEndOfChain);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"FAT item 5 not accessible\n", "FAT item 6 not accessible\n",
                                    "FAT item 7 not accessible\n", "Total of 3 lost clusters found\n"}));
}

// Unreadable sectors. The disk: file Film (clusters 5, 6), directory Archiv
// (cluster 1) holding Alt (clusters 2, 3) in its first sector; FAT1 says
// cluster 7 is the end of a chain, FAT2 that it is free. FAT1 entries 0 to 7
// lie in sector 256, FAT2's in sector 1024; cluster 1 is sectors 4096 on.
// Where both copies were read, "FAT: 7: fffffe != ffffff\n" comes first.
//   | unreadable          | warnings                                                     | result      |
//   | 256                 | "FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"      | 0           |
//   | 1024                | "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n",     | 0 (7 lost)  |
//   |                     | then cluster 7 lost                                          |             |
//   | 256 and 1024        | "FAT entries 0 to 7 cannot be read in either copy\n"         | 1, no FAT   |
//   | 4096                | "Directory at cluster 1: entries 0 to 3 cannot be read,      | 0, errors   |
//   |                     | skipped\n", clusters 2 and 3 lost                            |             |
//   | 4096 to 6143 (all)  | the same for entries 0 to 8191                               | 0, errors   |
//   | 2049 (root slots 4  | none: the root has 4 entries                                 | 0           |
//   | to 7, unused)       |                                                              |             |
TEST_F(FatCheck, UnreadableSectorsOfTablesAndDirectories) {
    const char* diff = "FAT: 7: fffffe != ffffff\n";   // where both copies were read
    const Messages lost = {"FAT item 2 not accessible\n", "FAT item 3 not accessible\n",
                           "Total of 2 lost clusters found\n"};
    auto with = [&](const char* first, Messages rest) {
        rest.insert(rest.begin(), first);
        rest.insert(rest.begin(), diff);
        return rest;
    };
    struct Row {
        std::vector<BadSectors> bad;
        Messages warnings;
        int result;
        const char* error;
    } rows[] = {
        {{{256, 1, BadKind::kEio}}, {"FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"}, 0,
         "FAT1 entries 0 to 7 cannot be read: taken from FAT2\n"},
        {{{1024, 1, BadKind::kWhole}},
         {"FAT2 entries 0 to 7 cannot be read: taken from FAT1\n", "FAT item 7 not accessible\n",
          "Total of 1 lost clusters found\n"},
         0, "FAT has errors, please correct!\n"},
        {{{256, 1, BadKind::kShort}, {1024, 1, BadKind::kShort}},
         {"FAT entries 0 to 7 cannot be read in either copy\n"}, 1, "No valid FAT24 found!\n"},
        {{{4096, 1, BadKind::kEio}}, with("Directory at cluster 1: entries 0 to 3 cannot be read, skipped\n", lost),
         0, "FAT has errors, please correct!\n"},
        {{{4096, 2048, BadKind::kWhole}},
         with("Directory at cluster 1: entries 0 to 8191 cannot be read, skipped\n", lost), 0,
         "FAT has errors, please correct!\n"},
        {{{2049, 1, BadKind::kEio}}, {diff}, 0, "ReadFile failed on position 1049088 with code 5\n"},
    };
    ImageBuilder img(8);
    add_file(img, 0, "Film", {5, 6});
    uint32_t sub = img.add_dir(0, "Archiv");
    ASSERT_EQ(sub, 1u);
    add_file(img, sub, "Alt", {2, 3});
    img.set_fat1(7, kEndOfChain);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad[0].first);
        disk_.bad = row.bad;
        qv_set_error("%s", "");
        EXPECT_EQ(open_disk(img), row.result);
        EXPECT_EQ(warnings(), row.warnings);
        EXPECT_STREQ(qv_error, row.error);
    }
}

TEST_F(FatCheck, SubdirectoriesAreCheckedBreadthFirst) {
    ImageBuilder img(12);
    uint32_t a = img.add_dir(0, "A");
    uint32_t b = img.add_dir(0, "B");
    uint32_t a1 = img.add_dir(a, "A1");
    add_wrong_length_file(img, a1, "deep", 9);
    add_wrong_length_file(img, a, "in_a", 7);
    add_wrong_length_file(img, b, "in_b", 8);
    add_wrong_length_file(img, 0, "top", 6);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"File top has incorrect length 6/1\n", "File in_a has incorrect length 7/1\n",
                                    "File in_b has incorrect length 8/1\n", "File deep has incorrect length 9/1\n"}));
}

TEST_F(FatCheck, ChainLoopsAreReportedAndEnd) {
    ImageBuilder img(8);
    add_file(img, 0, "Tail", {1, 2, 3});
    img.set_fat(3, 2);                 // 1 -> 2 -> 3 -> 2 ...: a head, then a loop
    add_file(img, 0, "Ring", {5, 6});
    img.set_fat(6, 5);                 // 5 -> 6 -> 5 ...: no head at all
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"Chain 0 loops at cluster 2\n", "File Tail: chain loops at cluster 3\n",
                                    "File Ring: chain loops at cluster 5\n"}));
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(FatCheck, LinksOutOfTheTableAreReported) {
    ImageBuilder img(8);
    add_file(img, 0, "Out", {1, 2});
    img.set_fat(2, 8);                 // passes the range check (bound 9), beyond the 8 entries
    img.dir_entry(0, img.free_slot(0), kTypeFile, 0x20, 1, 0, "Far");
    img.dir_entry(0, img.free_slot(0), kTypeFile, kEndOfChain, 1, 0, "End");
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), (Messages{"Chain 0 leaves the table at cluster 2\n",
                                    "File Out: chain leaves the table at cluster 2\n",
                                    "File Far: start cluster 20 lies outside the table\n",
                                    "File End: start cluster fffffe lies outside the table\n"}));
}

TEST_F(FatCheck, DirectoryPointingBackIsNotWalkedAgain) {
    ImageBuilder img(8);
    uint32_t sub = img.add_dir(0, "Sub");
    img.dir_entry(sub, 0, kTypeSubdir, sub, 1, 0, "Self");
    img.dir_entry(sub, 1, kTypeSubdir, 0, 1, 0, "Up");
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_EQ(warnings(), (Messages{"Crosslinked single block 1\n", "Directory Self at cluster 1 already reached, not checked again\n",
                                    "Crosslinked single block 0\n", "Directory Up at cluster 0 already reached, not checked again\n"}));
}

TEST_F(FatCheck, FullDirectoryListIsNotWrittenPast) {
    ImageBuilder img(8);
    uint32_t sub = img.add_dir(0, "Sub");
    uint32_t one = img.add_dir(sub, "One");
    uint32_t two = img.add_dir(sub, "Two");
    ASSERT_EQ(open_disk(img), 0) << qv_error;

    // The list has room for cluster_size / 128 directories; one is left.
    const uint32_t room = qv->cluster_size / 128;
    std::vector<uint32_t> marks(qv->fat, qv->fat + kMaxClusters);
    std::vector<uint32_t> list(room, 0);
    uint32_t count = room - 1;
    clear_capture();
    EXPECT_EQ(check_dir(sub, room, marks.data(), list.data(), &count), 1);
    EXPECT_EQ(count, room);
    EXPECT_EQ(list[room - 1], one);
    ASSERT_EQ(two, 3u);
    EXPECT_EQ(warnings(), Messages{"Too many subdirectories: directory Two at cluster 3 not checked\n"});
}

TEST_F(FatCheck, NameWithoutNulIsCutAt108) {
    ImageBuilder img(8);
    add_wrong_length_file(img, 0, "x", 4);
    uint8_t raw[108];
    for (auto& c : raw) c = 'N';
    img.dir_entry_raw_name(0, 0, raw);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(warnings(), Messages{"File " + std::string(108, 'N') + " has incorrect length 4/1\n"});
}

TEST_F(FatCheck, RootEntryCountFollowsTheSlack) {
    ImageBuilder img(8);
    img.set_root_dir_slack(1047552);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(root_entry_count(), 12u);
}

}  // namespace
