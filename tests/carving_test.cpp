// Carving (salvage_recordings): chains followed by content where the allocation table cannot tell.
// One disk of 32 clusters of 1025 sectors (links padded): "Film" is the sample's first 3.3
// clusters of packets in clusters 1-4, "News" the rest of the sample, the same channel recorded
// right after it (the same PIDs, counters and clock running on), fragmented in 5, 1e, 1f, 6.
// Each row damages it, opens it with the salvage and checks the chains found, the messages, the
// reads (no byte twice, a percentage only with them), and raw copies equal to those of the intact
// disk (with the same unreadable sectors).
#include <cstring>
#include <optional>
#include "support/fixture.h"
namespace {
using Chains = std::vector<std::pair<std::string, std::vector<uint32_t>>>;
constexpr uint16_t kSectors = 1025;  // the smallest clusters that hold FAT2 behind 0x80000
constexpr size_t kPcrRoom = 12;  // a packet's header, adaptation field length and flags, its PCR
const std::vector<uint32_t> kFilm = {1, 2, 3, 4};
const std::vector<uint32_t> kNews = {5, 0x1e, 0x1f, 6};
constexpr char kSalvaged[] =
    "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's "
    "data\n";
std::string no_table(const char* why) {
    return format(
        "Salvage: neither copy of the allocation table can be used (FAT1 %s, FAT2 %s): "
        "the table's findings are left out, every chain is found by content\n",
        why, why);
}
std::string carved(const char* name, uint32_t from, uint32_t clusters) {
    return format(
        "Recording %s: allocation table unusable from cluster %x; %u clusters followed "
        "by content\n",
        name, from, clusters);
}

// The disk, of the sample's packets ts.
ImageBuilder disk(const Bytes& ts) {
    ImageBuilder img(32, kSectors);
    const size_t film = (3 * img.cluster_size() + img.cluster_size() / 3) / kTsPacketSize;
    img.set_root_dir_slack(512);
    img.add_recording("Film", Bytes(ts.begin(), ts.begin() + long(film * kTsPacketSize)));
    img.add_recording("News", Bytes(ts.begin() + long(film * kTsPacketSize), ts.end()), {}, {},
                      kNews);
    img.pad_for_links();
    return img;
}
// Changes every packet of cluster c that begins in step with the stream and holds a PCR's room.
void each_packet(ImageBuilder& img, uint32_t c, const std::function<void(uint8_t*)>& change) {
    uint8_t* data = img.cluster(c);
    size_t at = 0;
    while (data[at] != kTsSyncByte || data[at + kTsPacketSize] != kTsSyncByte) ++at;
    for (; at + kPcrRoom <= img.cluster_size(); at += kTsPacketSize) change(data + at);
}
// The chain of every recording of the table as qv->fat gives it.
Chains chains(int count) {
    Chains out;
    for (int i = 0; i < count; ++i) {
        std::vector<uint32_t> chain = {qv->recordings[i].start_cluster};
        for (uint32_t next; chain.size() < 64 && chain_next(chain.back(), &next) == kLinkNext;)
            chain.push_back(next);
        out.push_back({qv->recordings[i].name, chain});
    }
    return out;
}
// The raw copy of every recording of the table.
std::vector<Bytes> copies(int count) {
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) {
        char name[kOutputNameSize];
        dump_file(i);
        recording_file_name(name, i, "");
        out.push_back(read_file(name));
        std::filesystem::remove(name);
    }
    return out;
}

using Carving = ConversionTest;
TEST_F(Carving, EveryDamageClassFindsTheChainsByContent) {
    using Img = ImageBuilder&;
    using enum TableDamage;
    // Each damage: both copies of the table damaged, what else is done to the disk, the sectors
    // unreadable, the chains found, the first messages of the opening, what the carving shows;
    // cut: the recording whose copy differs from the intact disk's.
    struct Row {
        const char* damage;
        std::optional<TableDamage> tables = {};
        std::function<void(Img)> make = [](Img) {};
        std::vector<BadSectors> bad = {};
        Chains found = {{"Film", kFilm}, {"News", kNews}};
        Messages opened = {};
        Messages shown = {};
        std::string cut = "";
        size_t reads = 120;  // of the salvage: by default both windows of the 60 clusters but 0
    };
    const Messages both_carved = {carved("Film", 1, 3), carved("News", 5, 3)};
    // What a row that spoils News's cluster 1f leaves: its chain ends at 1e.
    const Chains news_to_1e = {{"Film", kFilm}, {"News", {5, 0x1e}}};
    const Messages news_ends = {
        carved("Film", 1, 3), carved("News", 5, 1),
        "Recording News: no cluster continues the stream after cluster 1e; the chain ends there "
        "with 2 of its 4 clusters\n"};
    // A row that spoils News's cluster 1f in a disk whose tables are zeroed.
    auto spoils_1f = [&](const char* damage, std::function<void(Img)> make) {
        return Row{.damage = damage,
                   .tables = kZeroed,
                   .make = make,
                   .found = news_to_1e,
                   .shown = news_ends,
                   .cut = "News"};
    };
    const std::vector<Row> rows = {
        {.damage = "an intact disk keeps the table's chains, reading none", .reads = 0},
        {.damage = "both copies unreadable: every chain by content",
         .bad = {{256, 1, BadKind::kEio}, {1024, 1, BadKind::kEio}},  // the tables' sectors
         .opened = {no_table("unreadable"), kSalvaged},
         .shown = both_carved},
        {.damage = "both copies zeroed",
         .tables = kZeroed,
         .opened = {no_table("zeroed"), kSalvaged},
         .shown = both_carved},
        {.damage = "both copies junk",
         .tables = kJunk,
         .opened = {no_table("out of range"), kSalvaged},
         .shown = both_carved},
        {.damage = "FAT2 half-written, FAT1 zeroed: News's link from 1f to 0 is found by content",
         .make =
             [](Img img) {
                 img.damage_fat(1, kZeroed);
                 img.damage_fat(2, kZeroed, 31);
             },
         .opened = {"Salvage: FAT1 cannot be used (zeroed): its findings are left out\n"},
         .shown = {carved("News", 0x1f, 1)},
         .reads = 112},  // not Film's clusters, which the table gives whole
        {.damage = "News's link at 1e out of range in both copies: an end, then found by content",
         .make = [](Img img) { img.set_fat(0x1e, 0x7FFFFF); },
         .shown = {carved("News", 0x1e, 1)},
         .reads = 112},
        {.damage = "Film's link at 2 into News's header: the next cluster continues Film",
         .make = [](Img img) { img.set_fat(2, kNews[0]); },
         .shown = {carved("Film", 2, 1)},
         .reads = 112},
        {.damage =
             "Film's link at 2 into a file's start, its cluster 3 overwritten: Film ends at 2",
         .make =
             [](Img img) {
                 img.add_file(0, 0, "Other", Bytes(100, 1), {}, {7});
                 img.set_fat(2, 7);
                 memset(img.cluster(3), 0, img.cluster_size());
             },
         .found = {{"Film", {1, 2}}, {"News", kNews}},
         .shown = {"Recording Film: no cluster continues the stream after cluster 2; the chain "
                   "ends there with 2 of its 4 clusters\n"},
         .cut = "Film",
         .reads = 110},
        {.damage = "News's chain through a directory: 1e links to Archiv's cluster 7, 7 to 6",
         .make =
             [](Img img) {
                 img.set_fat(0x1e, img.add_dir(0, "Archiv"));
                 img.set_fat(7, 6);
             },
         .shown = {carved("News", 0x1e, 1)},
         .reads = 112},  // Archiv, reached before the check came to it, too
        {.damage = "FAT2 runs News through 5, 1f, 1e, 6, FAT1 does not: News's chain by content",
         .make =
             [](Img img) {
                 img.set_fat2(5, 0x1f);
                 img.set_fat2(0x1f, 0x1e);
                 img.set_fat2(0x1e, 6);
             },
         .shown = {carved("News", 5, 3)},
         .reads = 112},
        {.damage = "News in a subdirectory's subdirectory is carved as those of the root are",
         .tables = kZeroed,
         .make =
             [](Img img) {
                 for (uint32_t dir : {7, 8})
                     memset(img.cluster(dir), kTypeEmpty, img.cluster_size());
                 memcpy(img.cluster(8), img.cluster(0) + kDirEntrySize, kDirEntrySize);
                 img.dir_entry(0, 1, kTypeSubdir, 7, 1, 0, "Archiv");
                 img.dir_entry(7, 0, kTypeSubdir, 8, 1, 0, "2002");
             },
         .found = {{"Film", kFilm}, {"Archiv/2002/News", kNews}},
         .shown = {carved("Film", 1, 3), carved("Archiv/2002/News", 5, 3)},
         .reads = 116},
        {.damage = "unreadable sectors inside News's cluster 1f do not break its chain",
         .tables = kZeroed,
         .bad = {{(0x1f + 1) * kSectors + 500, 8, BadKind::kEio}},
         .shown = both_carved},
        {.damage =
             "a copy of News's cluster 1f in free cluster 8: the physically next one is taken",
         .tables = kZeroed,
         .make = [](Img img) { memcpy(img.cluster(8), img.cluster(0x1f), img.cluster_size()); },
         .shown = both_carved},
        {.damage = "News's last cluster 6 overwritten: its chain ends before it, 20 holds no rest",
         .tables = kZeroed,
         .make = [](Img img) { memset(img.cluster(6), 0, img.cluster_size()); },
         .found = {{"Film", kFilm}, {"News", {5, 0x1e, 0x1f}}},
         .shown = {carved("Film", 1, 3), carved("News", 5, 2),
                   "Recording News: no cluster continues the stream after cluster 1f; the chain "
                   "ends there with 3 of its 4 clusters\n"},
         .cut = "News"},
        spoils_1f(
            "News's cluster 1f of stuffing in step: no PID of News runs on, its chain ends",
            [](Img img) { each_packet(img, 0x1f, [](uint8_t* p) { put_be16(p + 1, 0x1FFF); }); }),
        spoils_1f("News's clock 13 hours ahead in 1f: the counters agree, the clock does not",
                  [](Img img) {
                      each_packet(img, 0x1f, [](uint8_t* p) {
                          if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) p[6] ^= 0x80;
                      });
                  }),
        {.damage =
             "the directory wiped as well: both are lost recordings, as long as their streams",
         .tables = kZeroed,
         .make = [](Img img) { memset(img.cluster(0), kTypeEmpty, img.cluster_size()); },
         .found = {{"lost_000001", kFilm}, {"lost_000005", kNews}},
         .shown = {carved("lost_000001", 1, 3),
                   "Salvage: lost chain at cluster 1, length 4, holds a recording whose stream "
                   "ends 174964 bytes into its last cluster: listed as lost_000001\n",
                   carved("lost_000005", 5, 3),
                   "Salvage: lost chain at cluster 5, length 4, holds a recording whose stream "
                   "ends 179852 bytes into its last cluster: listed as lost_000005\n"},
         .reads = 122},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.damage);
        ImageBuilder img = disk(ts_);
        // The intact disk fails where the damaged one does, but for its tables.
        qv_options.salvage = 0;
        disk_.bad.clear();
        std::copy_if(row.bad.begin(), row.bad.end(), std::back_inserter(disk_.bad),
                     [](const BadSectors& b) { return b.first >= kSectors; });
        mount(img, 2);
        const std::vector<Bytes> intact = copies(2);
        if (row.tables) {
            img.damage_fat(1, *row.tables);
            img.damage_fat(2, *row.tables);
        }
        row.make(img);
        qv_options.salvage = 1;
        disk_.bad = row.bad;
        ASSERT_EQ(open_disk(img), 0) << qv_error;
        const Messages& opening = capture().messages;
        EXPECT_TRUE(std::equal(row.opened.begin(), row.opened.end(), opening.begin(),
                               opening.begin() + long(std::min(opening.size(), row.opened.size()))))
            << opening[0];
        const int listed = parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
        clear_capture();
        disk_.log_reads = true;
        disk_.read_log.clear();
        ASSERT_EQ(salvage_recordings(listed), 2);
        EXPECT_EQ(capture().messages, row.shown);
        EXPECT_EQ(chains(2), row.found);
        EXPECT_EQ(disk_.read_log.size(), row.reads);
        EXPECT_EQ(capture().percents.empty(), row.reads == 0);
        // Every byte read once at most (a failing read is read again in pieces).
        std::vector<std::pair<int64_t, uint32_t>> reads = disk_.read_log;
        std::sort(reads.begin(), reads.end());
        for (size_t r = 1; r < reads.size() && row.bad.empty(); ++r)
            EXPECT_LE(reads[r - 1].first + reads[r - 1].second, reads[r].first) << r;
        const std::vector<Bytes> copied = copies(2);
        for (size_t i = 0; i < copied.size(); ++i)
            EXPECT_EQ(copied[i] == intact[i], row.found[i].first != row.cut) << i;
    }
    memset(qv->recordings, 0, sizeof qv->recordings);
}

// Streams without a clock, their first packet 66 and 68 bytes behind the header: the packet across
// clusters 1 and 2 is split two bytes into its header, cluster 5 begins with a packet; Rest's
// cluster 8 holds only the rest of the packet split at the end of 7, as Back's 11 does of 9's,
// but the cluster behind 9 is Back's own. Both tables zeroed, the chains are followed by content;
// then the directory too, and they are lost recordings.
TEST_F(Carving, ClockLessPacketsSplitInsideTheirHeaderAndBetween) {
    ImageBuilder img(12, kSectors);
    img.set_root_dir_slack(512);
    const uint32_t packets = 2 * img.cluster_size() / kTsPacketSize + 100;
    img.add_recording("Split", numbered_packets(0, packets), {}, {}, {1, 2, 3}, 66);
    img.add_recording("Whole", numbered_packets(0, packets / 2), {}, {}, {4, 5}, 68);
    img.add_recording("Rest", numbered_packets(0, 5582), {}, {}, {6, 7, 8});  // 28 bytes in 8
    img.add_recording("Back", numbered_packets(0, 5582), {}, {}, {10, 9, 11});
    img.pad_for_links();
    img.damage_fat(1, TableDamage::kZeroed);
    img.damage_fat(2, TableDamage::kZeroed);
    qv_options.salvage = 1;
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    const int listed = parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
    clear_capture();
    EXPECT_EQ(salvage_recordings(listed), 4);
    EXPECT_EQ(capture().messages,
              (Messages{carved("Split", 1, 2), carved("Whole", 4, 1), carved("Rest", 6, 2),
                        carved("Back", 10, 1),
                        "Recording Back: no cluster continues the stream after cluster 9; the "
                        "chain ends there with 2 of its 3 clusters\n"}));
    EXPECT_EQ(
        chains(4),
        (Chains{{"Split", {1, 2, 3}}, {"Whole", {4, 5}}, {"Rest", {6, 7, 8}}, {"Back", {10, 9}}}));
    memset(img.cluster(0), kTypeEmpty, img.cluster_size());
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(salvage_recordings(0), 4);
    EXPECT_EQ(chains(4), (Chains{{"lost_000001", {1, 2, 3}},
                                 {"lost_000004", {4, 5}},
                                 {"lost_000006", {6, 7, 8}},
                                 {"lost_00000a", {10, 9}}}));
    const Messages& lost = capture().messages;
    EXPECT_EQ(
        Messages(lost.end() - 3, lost.end()),
        (Messages{"Salvage: lost chain at cluster 6, length 3, holds a recording whose "
                  "stream ends 28 bytes into its last cluster: listed as lost_000006\n",
                  carved("lost_00000a", 0xa, 1),
                  "Salvage: lost chain at cluster a, length 2, holds a recording whose "
                  "stream ends 524640 bytes into its last cluster: listed as lost_00000a\n"}));
}

// News's directory slot emptied, the table intact: the salvage reads what the plain opening reads,
// and News's head and last cluster (its windows and its middle, where its stream ends), without a
// percentage. Mode "disk" with the salvage then reads News, lost_000005, before the free space.
TEST_F(Carving, AnIntactTableCostsTheLostHeadsAndMatters) {
    ImageBuilder img = disk(ts_);
    memset(img.cluster(0) + kDirEntrySize, kTypeEmpty, kDirEntrySize);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
    const uint64_t plain = disk_.reads;
    qv_options.salvage = 1;
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    const int listed = parse_dir(0, root_entry_count(), 0xFF, kTypeRecording);
    EXPECT_EQ(disk_.reads, plain);
    clear_capture();
    EXPECT_EQ(salvage_recordings(listed), 2);
    EXPECT_EQ(disk_.reads - plain, 4u);
    EXPECT_EQ(capture().percents, std::vector<int>{});
    EXPECT_EQ(chains(2), (Chains{{"Film", kFilm}, {"lost_000005", kNews}}));
    qv_options.whole_disk = 1;
    qv_options.found = begin_disk_copy;
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(salvage_recordings(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording)), 2);
    disk_.log_reads = true;
    EXPECT_EQ(copy_disk(), kCopyDone);
    auto first_read_of = [&](uint32_t c) {
        const auto& log = disk_.read_log;
        return std::find_if(log.begin(), log.end(),
                            [&](const std::pair<int64_t, uint32_t>& r) {
                                return r.first + r.second > cluster_position(c) &&
                                       r.first < cluster_position(c + 1);
                            }) -
               log.begin();
    };
    EXPECT_LT(first_read_of(0x1e), first_read_of(7));  // 7: the first free cluster
}
}  // namespace
