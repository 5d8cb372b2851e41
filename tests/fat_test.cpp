// Loading and checking the allocation table (read_fat, check_dir): one row per damage class, each
// opened plainly and with the salvage. 8 clusters of 1 MiB unless said otherwise (link bound: the
// size in MiB). The salvage opens a disk the plain run refuses, with its own warnings.
#include <cstring>
#include "support/fixture.h"
namespace {
constexpr char kRefused[] = "FAT has errors, please correct!\n";
constexpr char kNoTable[] = "No valid FAT24 found!\n";
constexpr char kSalvaged[] =
    "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's "
    "data\n";
using Entries = std::vector<std::pair<uint32_t, uint32_t>>;
using Img = ImageBuilder&;

using FatCheck = DiskTest;

// A file of the given clusters (in chain order), its stored length right.
void add_file(Img img, uint32_t dir, const std::string& name, std::vector<uint32_t> clusters,
              uint8_t type = 0) {
    Bytes content(clusters.size() * size_t(img.cluster_size()), 0x5A);
    img.add_file(dir, type, name, content, {}, clusters);
}
// A file of one cluster whose stored length says `stored` clusters.
void add_wrong_length(Img img, uint32_t dir, const std::string& name, uint32_t stored) {
    uint32_t cluster = img.free_clusters(1)[0];
    img.link_chain({cluster});
    img.dir_entry(dir, img.free_slot(dir), 0, cluster, stored, 0, name);
}
// The lost-cluster findings for these clusters and their summary.
Messages lost(std::vector<std::string> clusters) {
    Messages found;
    for (const std::string& cluster : clusters)
        found.push_back("FAT item " + cluster + " not accessible\n");
    found.push_back("Total of " + std::to_string(clusters.size()) + " lost clusters found\n");
    return found;
}
Messages operator+(Messages first, const Messages& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}
using Files = std::vector<std::pair<std::string, std::vector<uint32_t>>>;

// Each damage class: the disk (files in the root, links set in both copies or in one, other damage
// by hand), the result, warnings and qv_error of the plain opening (the check's verdict stays there
// when the disk is used), the entries it takes; the salvage opens every disk, with the plain
// warnings then kRefused and kSalvaged unless it has warnings of its own.
struct DamageRow {
    const char* name;
    uint32_t clusters = 8;
    uint16_t spc = 2048;
    Files files = {};
    Entries links = {};
    Entries fat1 = {};
    Entries fat2 = {};
    std::function<void(Img)> more = [](Img) {};
    std::vector<BadSectors> bad = {};
    int result = 0;
    Messages warnings = {};
    std::string error = kRefused;  // qv_error after the plain opening: its failure, or the verdict
    Entries entries = {};
    Messages salvage_warnings = {};
    Entries salvage_entries = {};
};

TEST_F(FatCheck, EveryDamageClassPlainAndWithTheSalvage) {
    const Messages crossed = {"Crosslinked block 2 in chain 0 and 1\n",
                              "Crosslinked block 3 in chain 0 and 1\n"};
    const Messages wrong_links = {"FAT1 1 item 100 wrong!\n", "FAT1 5 item 300 wrong!\n",
                                  "FAT2 2 item 200 wrong!\n", "FAT2 5 item 300 wrong!\n",
                                  "FAT: 6: fffffe != ffffff\n"};
    // Unreadable sectors of the tables and directories: what is taken from where. The archive:
    // Film (clusters 5, 6), directory Archiv (1) holding Alt (2, 3); cluster 7 end of chain in
    // FAT1, free in FAT2. FAT1's entries lie in sector 256, FAT2's in 1024; the root is sectors
    // 2048 on (4 entries, in its first sector), cluster 1 sectors 4096 on.
    auto archive = [](Img img) {
        add_file(img, 0, "Film", {5, 6});
        add_file(img, img.add_dir(0, "Archiv"), "Alt", {2, 3});
        img.set_fat1(7, kEndOfChain);
    };
    const char* differ = "FAT: 7: fffffe != ffffff\n";
    const char* from_fat1 = "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n";
    const char* from_fat2 = "FAT1 entries 0 to 7 cannot be read: taken from FAT2\n";
    auto unusable = [](const char* copy) {
        return format("Salvage: %s cannot be used (unreadable): its findings are left out\n", copy);
    };
    auto skipped = [&](int cluster, int last, Messages lost_ones) {
        return Messages{differ,
                        format("Directory at cluster %d: entries 0 to %d cannot be read, skipped\n",
                               cluster, last)} +
               lost_ones;
    };
    const std::vector<DamageRow> rows = {
        {.name = "a healthy disk with a subdirectory and a list file",
         .clusters = 10,
         .files = {{"Film", {1, 2, 3}}, {"Split", {6, 4}}},
         .more =
             [](Img img) {
                 add_file(img, img.add_dir(0, "Archiv"), "Alt", {7});
                 img.add_list_file({"Film"});
             },
         .error = "",
         .entries = {{1, 2}, {3, kEndOfChain}, {6, 4}}},
        {.name = "a link equal to the size in MiB (21546 sectors: 10 whole MiB)",
         .clusters = 20,
         .spc = 1026,
         .files = {{"Edge", {5, 10}}, {"Over", {6, 7}}},
         .fat1 = {{6, 11}},
         .warnings = {"FAT1 6 item 11 wrong!\n"},
         .error = "",
         .entries = {{5, 10}, {6, 7}}},
        {.name = "the highest plain link value in FAT1: beyond the disk like any other",
         .files = {{"Film", {1, 2, 3}}},
         .fat1 = {{2, kLastLink}},
         .warnings = {"FAT1 2 item 16777210 wrong!\n"},
         .error = "",
         .entries = {{2, 3}}},
        {.name = "marker values (the first walked as a link)",
         .links = {{1, kMarkerLink}, {2, 0xFFFFFC}, {3, 0xFFFFFD}, {4, 0xFFFFFE}, {5, 0xFFFFFF}},
         .warnings = Messages{"Chain 0 ends at cluster 1 with marker fffffb\n"} +
                     lost({"1", "2", "3", "4"})},
        {.name = "wrong links in both copies; the copies differ (the salvage takes FAT1's)",
         .files = {{"Film", {1, 2, 3}}},
         .links = {{5, 300}},
         .fat1 = {{1, 100}, {6, kEndOfChain}},
         .fat2 = {{2, 200}},
         .result = 1,
         .warnings = wrong_links,
         .error = kNoTable,
         .entries = {{1, 0}},
         .salvage_warnings = wrong_links +
                             Messages{"FAT1 1 item wrong, taken from FAT2: 2\n",
                                      "FAT2 2 item wrong, taken from FAT1: 3\n",
                                      "FAT 5 item wrong in both copies, taken as end of chain\n"} +
                             lost({"5", "6"}) + Messages{kSalvaged},
         .salvage_entries = {{1, 2}, {2, 3}, {5, kEndOfChain}, {6, kEndOfChain}}},
        {.name = "two chains merging",
         .files = {{"A", {1, 2, 3}}, {"B", {4, 5}}},
         .links = {{5, 2}},
         .more = [](Img img) { img.dir_entry(0, 1, 0, 4, 4, 0, "B"); },
         .warnings = crossed},
        {.name = "the root's entry linking on",
         .files = {{"A", {1, 2, 3}}},
         .links = {{0, 5}, {5, kEndOfChain}},
         .warnings = lost({"5"})},
        {.name = "a start cluster marked free",
         .more = [](Img img) { img.dir_entry(0, 0, 0, 5, 1, 0, "Ghost"); },
         .result = 1,
         .warnings = {"Crosslinked single block 5\n",
                      "File Ghost: chain ends at cluster 5, which is marked free\n"}},
        {.name = "the shared types naming one chain",
         .files = {{"A", {1, 2}}},
         .more =
             [](Img img) {
                 img.dir_entry(0, 1, kTypeShared0, 1, 2, 0, "0");
                 img.dir_entry(0, 2, kTypeShared1, 1, 3, 0, "One");
             },
         .warnings = {"File One has incorrect length 3/2\n"}},
        {.name = "stored lengths that differ from the chain, directories checked breadth first",
         .clusters = 12,
         .more =
             [](Img img) {
                 uint32_t a = img.add_dir(0, "A");
                 uint32_t b = img.add_dir(0, "B");
                 add_wrong_length(img, img.add_dir(a, "A1"), "deep", 9);
                 add_wrong_length(img, a, "in_a", 7);
                 add_wrong_length(img, b, "in_b", 8);
                 add_wrong_length(img, 0, "top", 6);
             },
         .warnings = {"File top has incorrect length 6/1\n", "File in_a has incorrect length 7/1\n",
                      "File in_b has incorrect length 8/1\n",
                      "File deep has incorrect length 9/1\n"}},
        {.name = "loops: 1 2 3 2 … with a head, 5 6 5 … without",
         .files = {{"Tail", {1, 2, 3}}, {"Ring", {5, 6}}},
         .links = {{3, 2}, {6, 5}},
         .warnings = {"Chain 0 loops at cluster 2\n", "File Tail: chain loops at cluster 2\n",
                      "File Ring: chain loops at cluster 5\n"}},
        {.name = "a chain linking into a free cluster, the check's only finding",
         .files = {{"Film", {1, 2}}},
         .links = {{2, 0xFFFFFF}},
         .warnings = {"File Film: chain ends at cluster 2, which is marked free\n"}},
        {.name = "a link out of the table but in range (9)",
         .files = {{"Out", {1, 2}}},
         .links = {{2, 8}},
         .warnings = {"Chain 0 leaves the table at cluster 2\n",
                      "File Out: chain leaves the table at cluster 2\n"}},
        {.name = "starts outside the table",
         .more =
             [](Img img) {
                 img.dir_entry(0, 0, 0, 0x20, 1, 0, "Far");
                 img.dir_entry(0, 1, 0, kEndOfChain, 1, 0, "End");
             },
         .warnings = {"File Far: start cluster 20 lies outside the table\n",
                      "File End: start cluster fffffe lies outside the table\n"}},
        {.name = "directories pointing back at themselves and the root",
         .more =
             [](Img img) {
                 uint32_t sub = img.add_dir(0, "Sub");
                 img.dir_entry(sub, 0, kTypeSubdir, sub, 1, 0, "Self");
                 img.dir_entry(sub, 1, kTypeSubdir, 0, 1, 0, "Up");
             },
         .result = 1,
         .warnings = {"Crosslinked single block 1\n",
                      "Directory Self at cluster 1 already reached, not checked again\n",
                      "Crosslinked single block 0\n",
                      "Directory Up at cluster 0 already reached, not checked again\n"}},
        {.name = "a name without NUL",
         .more =
             [](Img img) {
                 uint8_t raw[108];
                 memset(raw, 'N', sizeof raw);
                 add_wrong_length(img, 0, "x", 4);
                 img.dir_entry_raw_name(0, 0, raw);
             },
         .warnings = {"File " + std::string(108, 'N') + " has incorrect length 4/1\n"}},
        {.name = "the root beyond the disk's end",
         .clusters = 2,
         .more = [](Img img) { img.set_disk_sectors(8); },
         .result = 1,
         .warnings = {"Attempt to read after end of disk!\n"}},
        {.name = "FAT1's sector unreadable",
         .more = archive,
         .bad = {{256, 1, BadKind::kEio}},
         .warnings = {from_fat2},
         .error = "ReadFile failed on position 131072 with code 5\n",
         .salvage_warnings = {unusable("FAT1"), from_fat2}},
        {.name = "FAT2's sector unreadable",
         .more = archive,
         .bad = {{1024, 1, BadKind::kWhole}},
         .warnings = Messages{from_fat1} + lost({"7"}),
         .salvage_warnings = Messages{unusable("FAT2"), from_fat1} + lost({"7"})},
        {.name = "both copies' sectors unreadable (the salvage: no table)",
         .more = archive,
         .bad = {{256, 1, BadKind::kShort}, {1024, 1, BadKind::kShort}},
         .result = 1,
         .warnings = {"FAT entries 0 to 7 cannot be read in either copy\n"},
         .error = kNoTable,
         .salvage_warnings = {"Salvage: neither copy of the allocation table can be used (FAT1 "
                              "unreadable, FAT2 unreadable): the table's findings are left out, "
                              "every chain is found by content\n",
                              kSalvaged}},
        {.name = "the subdirectory's second sector unreadable, of empty entries only",
         .more = archive,
         .bad = {{4097, 1, BadKind::kEio}},
         .warnings = {differ, "Directory at cluster 1: entries 4 to 7 cannot be read, skipped\n"}},
        {.name = "the whole subdirectory unreadable",
         .more = archive,
         .bad = {{4096, 2048, BadKind::kWhole}},
         .warnings = skipped(1, 8191, lost({"2", "3"}))},
        {.name = "the root's first two sectors unreadable",
         .more = archive,
         .bad = {{2048, 2, BadKind::kEio}},
         .warnings = skipped(0, 3, lost({"1", "2", "3", "5", "6"}))},
        {.name = "the root's unused second sector unreadable",
         .more = archive,
         .bad = {{2049, 1, BadKind::kEio}},
         .warnings = {differ},
         .error = "ReadFile failed on position 1049088 with code 5\n"},
    };
    for (const DamageRow& row : rows) {
        ImageBuilder img(row.clusters, row.spc);
        for (const auto& [name, chain] : row.files) add_file(img, 0, name, chain);
        for (auto [cluster, link] : row.links) img.set_fat(cluster, link);
        for (auto [cluster, link] : row.fat1) img.set_fat1(cluster, link);
        for (auto [cluster, link] : row.fat2) img.set_fat2(cluster, link);
        row.more(img);
        disk_.bad = row.bad;
        for (int salvage : {0, 1}) {
            SCOPED_TRACE(std::string(row.name) + (salvage ? ", salvaged" : ""));
            qv_options.salvage = salvage;
            qv_set_error("%s", "");
            const bool salvaged = salvage && row.result != 0;
            Messages expected = row.warnings;
            if (salvage && !row.salvage_warnings.empty())
                expected = row.salvage_warnings;
            else if (salvaged)
                expected = row.warnings + Messages{kRefused, kSalvaged};
            EXPECT_EQ(open_disk(img), salvage ? 0 : row.result);
            EXPECT_EQ(capture().messages, expected);
            if (!salvage) {
                EXPECT_EQ(qv_error, row.error);
            }
            const Entries& entries =
                salvage && !row.salvage_entries.empty() ? row.salvage_entries : row.entries;
            for (auto [cluster, link] : entries) EXPECT_EQ(qv->fat[cluster], link) << cluster;
        }
    }
}

// check_dir directly: the list has room for cluster_size / 128 directories; with one place left,
// the second subdirectory is not written past it. The root's entry count follows the slack.
TEST_F(FatCheck, FullDirectoryListAndTheRootEntryCount) {
    ImageBuilder img(8);
    img.set_root_dir_slack(1047552);
    uint32_t sub = img.add_dir(0, "Sub");
    uint32_t one = img.add_dir(sub, "One");
    ASSERT_EQ(img.add_dir(sub, "Two"), 3u);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(root_entry_count(), 12u);
    const uint32_t room = qv->cluster_size / 128;
    std::vector<uint32_t> marks(qv->fat, qv->fat + kMaxClusters);
    std::vector<uint32_t> list(room, 0);
    uint32_t count = room - 1;
    clear_capture();
    EXPECT_EQ(check_dir(sub, room, marks.data(), list.data(), &count), 1);
    EXPECT_EQ(count, room);
    EXPECT_EQ(list[room - 1], one);
    EXPECT_EQ(capture().messages,
              Messages{"Too many subdirectories: directory Two at cluster 3 not checked\n"});
}
}  // namespace
