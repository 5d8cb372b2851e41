// The recording reader (open_recording_file, read_ts_packet, close_recording_file) on recordings of
// numbered packets "R" in 1040-sector clusters (532480 bytes: a packet boundary moves on by 64
// bytes per cluster; a gap of g bytes behind the header splits a packet (40 - g) mod 188 bytes
// after its start).
//   | stray and lost sync bytes; the first packet at 655 / 656 | chains: fragmented, free, out of
//   the table, a | marker, a loop | slack: hiding a packet, too large, cutting one | unreadable
//   sectors: the packets touching | them left out, told with the next | a packet split after 0 to
//   187 bytes | a start outside the table |
#include <cstring>
#include "support/fixture.h"
namespace {
constexpr uint16_t kSectors = 1040;
constexpr uint32_t kCluster = kSectors * 512, kHeader = 212, kPacket = kTsPacketSize;
using Numbers = std::vector<uint32_t>;
// Packets of a recording that fills `bytes` behind header and gap; the numbers from to to - 1 but
// the lost ones from first_lost on.
uint32_t packets_for(uint64_t bytes, uint32_t gap = 0) {
    return uint32_t((bytes - kHeader - gap) / kPacket);
}
Numbers range(uint32_t from, uint32_t to, uint32_t first_lost = 0, uint32_t lost = 0) {
    Numbers r;
    for (uint32_t k = from; k < to; ++k)
        if (k < first_lost || k >= first_lost + lost) r.push_back(k);
    return r;
}
class Reader : public DiskTest {
protected:
    void TearDown() override {
        close_recording_file(reader_);
        DiskTest::TearDown();
    }
    // Reads to the end: the number of every packet (numbered_packet's, ~0 for any other); how many
    // were joined from two clusters; the gaps told with the packets.
    Numbers read_all(size_t* joined, int64_t* gaps) {
        Numbers seen;
        for (size_t n = 0; n < 100000; ++n) {  // a reader that loops stops here
            const uint8_t* p = read_ts_packet(reader_);
            if (!p) return seen;
            if (p < reader_->data || p >= reader_->data + kCluster) ++*joined;
            *gaps += reader_->gap_packets;
            uint32_t seq = 0;
            for (int i = 0; i < 4; ++i) seq |= uint32_t(p[4 + i] & 0x3F) << (6 * i);
            seen.push_back(Bytes(p, p + kPacket) == numbered_packet(seq) ? seq : ~0u);
        }
        ADD_FAILURE() << "reader does not end";
        return seen;
    }
    recording_reader* reader_ = nullptr;
};

TEST_F(Reader, StreamsOfEveryShape) {
    using Build = std::function<void(ImageBuilder&)>;
    // On ImageBuilder(10, sectors); packets empty: the opening fails with error; shown %x: the
    // cluster named (the start cluster with "loops"/"only", else the second); joined -1: not
    // counted.
    struct Row {
        std::string name;
        Build build;
        Numbers packets = {};  // none: the opening fails with error
        const char* shown = nullptr;
        const char* error = "";
        uint16_t sectors = kSectors;
        BadSectors bad = {0, 0, BadKind::kEio};
        int joined = -1;
        uint32_t lost = 0;
        bool shows_start = false;  // the message names the start cluster, not the second
    };
    const uint32_t n1 = packets_for(kCluster);
    const uint32_t n2 = packets_for(2ull * kCluster);
    const uint32_t n3 = packets_for(3ull * kCluster);
    auto damaged = [](uint32_t link, bool back) -> Build {
        return [link, back](ImageBuilder& img) {
            uint32_t s = img.add_recording(
                "R", numbered_packets(0, packets_for(3 * uint64_t(img.cluster_size())) - 1));
            img.set_fat(s + 1, back ? s : link);
        };
    };
    auto slack = [](uint32_t packets, uint32_t count, uint32_t gap, uint32_t slack_bytes) -> Build {
        return [=](ImageBuilder& img) {
            uint32_t s = img.add_recording("R", numbered_packets(0, packets), {}, {}, {}, gap);
            img.dir_entry(0, 0, kTypeRecording, s, count, slack_bytes, "R");
        };
    };
    auto plain = [](uint32_t count, uint32_t gap = 0,
                    std::vector<uint32_t> clusters = {}) -> Build {
        return [=](ImageBuilder& img) {
            img.add_recording("R", numbered_packets(0, count), {}, {}, clusters, gap);
        };
    };
    const char* slack_large =
        "Recording R: slack 532481 of the last cluster %x is larger than the cluster\n";
    const char* not_found = "Start of TS packets not found in file R.\n";
    std::vector<Row> rows = {
        {.name = "stray bytes, a lost sync byte (15) and a last packet 50 bytes short (2819)",
         .build =
             [](ImageBuilder& img) {
                 Bytes ts = numbered_packets(0, 10);
                 ts.insert(ts.end(), 37, 0x00);  // before the boundary
                 Bytes without_sync = numbered_packets(10, 10);
                 without_sync[5 * kPacket] = 0x00;
                 append(ts, without_sync);
                 append(ts, numbered_packets(20, 2800));
                 ts.insert(ts.end(), kCluster - 50 - (kHeader + ts.size()), 0x22);
                 ts.insert(ts.end(), 100, 0x11);
                 append(ts, numbered_packets(2820, 30));
                 img.add_recording("R", ts);
             },
         .packets = range(0, 2850, 15, 1)},
        {.name = "the first packet at 655", .build = plain(20, 443), .packets = range(0, 20)},
        {.name = "the first packet at 656", .build = plain(20, 444), .error = not_found},
        {.name = "a lone sync byte at 222",
         .build =
             [](ImageBuilder& img) {
                 Bytes lone(100, 0);
                 lone[10] = kTsSyncByte;
                 append(lone, numbered_packets(0, 20));
                 img.add_recording("R", lone);
             },
         .packets = range(0, 20)},
        {.name = "a fragmented chain",
         .build = plain(n3 - 1, 0, {5, 2, 7}),
         .packets = range(0, n3 - 1)},
        {.name = "a packet behind the slack",
         .build =
             [=](ImageBuilder& img) {
                 const uint32_t start = img.add_recording("R", numbered_packets(0, n1 + 10));
                 std::memcpy(img.cluster(start + 1) + kHeader + (n1 + 10) * kPacket - kCluster,
                             numbered_packet(999).data(), kPacket);
             },
         .packets = range(0, n1 + 10)},
        {.name = "half a packet at the end",
         .build =
             [](ImageBuilder& img) {
                 Bytes ts = numbered_packets(0, 31);
                 ts.resize(30 * kPacket + 100);
                 img.add_recording("R", ts);
             },
         .packets = range(0, 30)},
        {.name = "a free link",
         .build = damaged(kFreeCluster, false),
         .packets = range(0, n2),
         .shown = "Recording R: chain ends at cluster %x, which is marked free\n"},
        {.name = "a chain out of the table (1 MiB clusters: 10 is a link)",
         .build = damaged(10, false),
         .packets = range(0, packets_for(2 * 1048576ull)),
         .shown = "Recording R: chain leaves the table at cluster %x\n",
         .sectors = 2048},
        {.name = "a marker link",
         .build = damaged(kMarkerLink, false),
         .packets = range(0, n2),
         .shown = "Recording R: chain ends at cluster %x with marker fffffb\n"},
        {.name = "a chain that loops",
         .build = damaged(0, true),
         .packets = range(0, n2),
         .shown = "Recording R: chain loops at cluster %x\n",
         .shows_start = true},
        {.name = "a slack above the cluster",
         .build = slack(n1 + 10, 2, 0, kCluster + 1),
         .packets = range(0, n1),
         .shown = slack_large},
        {.name = "a slack above the only cluster",
         .build = slack(10, 1, 0, kCluster + 1),
         .shown = slack_large,
         .error = not_found,
         .shows_start = true},
        {.name = "a last cluster shorter than a split packet's rest",
         .build = slack(n1 + 2, 2, 0, kCluster - 50),
         .packets = range(0, n1),
         .shown = "Recording R: last cluster %x holds only 50 valid bytes, packet cut\n"},
        {.name = "a last cluster entered at a boundary",
         .build = slack(n1 + 2, 2, 40, kCluster - 100),
         .packets = range(0, n1),
         .shown = "Recording R: last cluster %x holds only 100 valid bytes, packet cut\n"},
        {.name = "sectors 2090-2091 unreadable",
         .build = plain(5655),
         .packets = range(0, 5655, 26, 6),
         .shown = "Cannot read 1024 bytes at position 1070080\n",
         .bad = {2090, 2, BadKind::kEio},
         .lost = 6},
        {.name = "sector 2094 unreadable: packet 36, ending at its first byte, is kept",
         .build = plain(5655),
         .packets = range(0, 5655, 37, 3),
         .shown = "Cannot read 512 bytes at position 1072128\n",
         .bad = {2094, 1, BadKind::kEio},
         .lost = 3},
        {.name = "sector 3119 unreadable (a short read)",
         .build = plain(5655),
         .packets = range(0, 5655, 2828, 4),
         .shown = "Cannot read 512 bytes at position 1596928\n",
         .bad = {3119, 1, BadKind::kShort},
         .lost = 4},
        {.name = "sector 3120 unreadable (a whole failure)",
         .build = plain(5655),
         .packets = range(0, 5655, 2831, 3),
         .shown = "Cannot read 512 bytes at position 1597440\n",
         .bad = {3120, 1, BadKind::kWhole},
         .lost = 3},
        {.name = "sector 4159 unreadable, behind the stream",
         .build = plain(5655),
         .packets = range(0, 5655),
         .bad = {4159, 1, BadKind::kEio}},
        {.name = "the header unreadable",
         .build = plain(5655),
         .error = "ReadFile failed on position 1064960 with code 5\n",
         .bad = {2080, 1, BadKind::kEio}},
    };
    for (uint32_t first : {0, 1, 2, 3, 4, 100, 186, 187}) {
        const uint32_t gap = (40 + kPacket - first) % kPacket;
        const uint32_t n = packets_for(2 * uint64_t(kCluster), gap) - 3;
        rows.push_back({.name = "a packet split after " + std::to_string(first) + " bytes",
                        .build = plain(n, gap),
                        .packets = range(0, n),
                        .joined = first == 0 ? 0 : 1});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        close_recording_file(reader_);
        reader_ = nullptr;  // no reader reads ahead while the disk changes
        ImageBuilder img(10, row.sectors);
        row.build(img);
        mount(img);
        const uint32_t s = qv->recordings[0].start_cluster;
        const uint32_t named = row.shows_start ? s : s + 1;
        const Messages shown = row.shown ? Messages{format(row.shown, named)} : Messages{};
        disk_.bad = {row.bad};
        clear_capture();
        reader_ = open_recording_file(0, capture_progress);
        if (row.packets.empty()) {
            EXPECT_EQ(reader_, nullptr);
            EXPECT_EQ(capture().messages, shown);
            EXPECT_STREQ(qv_error, row.error);
            continue;
        }
        ASSERT_NE(reader_, nullptr) << qv_error;
        size_t joined = 0;
        int64_t gaps = 0;
        EXPECT_EQ(read_all(&joined, &gaps), row.packets);
        EXPECT_EQ(capture().messages, shown);
        if (row.joined >= 0) {
            EXPECT_EQ(joined, size_t(row.joined));
        }
        EXPECT_EQ(gaps, row.lost);
        EXPECT_EQ(reader_->lost_packets, row.lost);
        const int64_t unreadable = row.lost ? int64_t(row.bad.count) * 512 : 0;
        EXPECT_EQ(reader_->unreadable_bytes, unreadable);
        EXPECT_EQ(reader_->error, 0);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);  // stays at its end
    }
    qv->recordings[0].start_cluster = qv->cluster_count;
    close_recording_file(reader_);
    EXPECT_EQ(reader_ = open_recording_file(0, capture_progress), nullptr);
    EXPECT_EQ(qv_error,
              format("Recording R starts outside the table at cluster %x\n", qv->cluster_count));
    EXPECT_EQ(open_recording_file(int(kMaxRecordings), capture_progress), nullptr);
    EXPECT_STREQ(qv_error, "Recording 14337 does not exist\n");
    close_recording_file(nullptr);  // accepted, nothing happens
}

// Nothing is read ahead of a reader that stops within the recording's first cluster (the probe of
// its streams): on a failing drive that would spend reads on clusters nobody asked for. A reader
// that goes on has each cluster read once, in chain order.
TEST_F(Reader, ReadsAheadOnlyOnceTheSecondClusterIsTaken) {
    ImageBuilder img(10, kSectors);
    img.add_recording("R", numbered_packets(0, packets_for(3 * uint64_t(kCluster))));
    mount(img, 1);
    const std::vector<std::pair<int64_t, uint32_t>> first_cluster = {{2 * kCluster, kCluster}};
    const std::vector<std::pair<int64_t, uint32_t>> every_cluster = {
        {2 * kCluster, kCluster}, {3 * kCluster, kCluster}, {4 * kCluster, kCluster}};
    disk_.log_reads = true;
    reader_ = open_recording_file(0, capture_progress);
    ASSERT_NE(reader_, nullptr) << qv_error;
    EXPECT_NE(read_ts_packet(reader_), nullptr);
    close_recording_file(reader_);
    EXPECT_EQ(disk_.read_log, first_cluster);
    disk_.read_log.clear();
    reader_ = open_recording_file(0, capture_progress);
    size_t joined = 0;
    int64_t gaps = 0;
    EXPECT_EQ(read_all(&joined, &gaps).size(), packets_for(3 * uint64_t(kCluster)));
    EXPECT_EQ(disk_.read_log, every_cluster);
}
}  // namespace
