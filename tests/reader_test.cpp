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
    void TearDown() override { close_recording_file(reader_), DiskTest::TearDown(); }
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
        Numbers packets;
        const char* shown;
        const char* error = "";
        uint16_t sectors = kSectors;
        BadSectors bad = {0, 0, BadKind::kEio};
        int joined = -1;
        uint32_t lost = 0;
    };
    const uint32_t n1 = packets_for(kCluster), n2 = packets_for(2ull * kCluster),
                   n3 = packets_for(3ull * kCluster);
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
    auto add = [](Bytes& ts, const Bytes& more) { ts.insert(ts.end(), more.begin(), more.end()); };
    const char *slack_large =
                   "Recording R: slack 532481 of the last cluster %x is larger than the cluster\n",
               *not_found = "Start of TS packets not found in file R.\n";
    std::vector<Row> rows = {
        {"stray bytes and a lost sync byte",
         [add](ImageBuilder& img) {  // 15 loses its sync byte; 2819 ends 50 bytes
             Bytes ts = numbered_packets(0, 10),
                   more = numbered_packets(10, 10);  // before the boundary
             ts.insert(ts.end(), 37, 0x00), more[5 * kPacket] = 0x00, add(ts, more),
                                                     add(ts, numbered_packets(20, 2800));
             ts.insert(ts.end(), kCluster - 50 - (kHeader + ts.size()), 0x22),
                 ts.insert(ts.end(), 100, 0x11);
             add(ts, numbered_packets(2820, 30)), img.add_recording("R", ts);
         },
         range(0, 2850, 15, 1), nullptr},
        {"first packet at 655", plain(20, 443), range(0, 20), nullptr},
        {"first packet at 656", plain(20, 444), {}, nullptr, not_found},
        {"a lone sync byte at 222",
         [add](ImageBuilder& img) {
             Bytes lone(100, 0);
             lone[10] = kTsSyncByte, add(lone, numbered_packets(0, 20)),
             img.add_recording("R", lone);
         },
         range(0, 20), nullptr},
        {"fragmented chain", plain(n3 - 1, 0, {5, 2, 7}), range(0, n3 - 1), nullptr},
        {"packet behind the slack",
         [=](ImageBuilder& img) {
             const uint32_t s = img.add_recording("R", numbered_packets(0, n1 + 10));
             std::memcpy(img.cluster(s + 1) + kHeader + (n1 + 10) * kPacket - kCluster,
                         numbered_packet(999).data(), kPacket);
         },
         range(0, n1 + 10), nullptr},
        {"half a packet at the end",
         [](ImageBuilder& img) {
             Bytes ts = numbered_packets(0, 31);
             ts.resize(30 * kPacket + 100), img.add_recording("R", ts);
         },
         range(0, 30), nullptr},
        {"free link", damaged(kFreeCluster, false), range(0, n2),
         "Recording R: chain ends at cluster %x, which is marked free\n"},
        {"chain out of the table", damaged(10, false),
         range(0, packets_for(2 * 1048576ull)),  // 1 MiB: 10 is a link
         "Recording R: chain leaves the table at cluster %x\n", "", 2048},
        {"marker link", damaged(kMarkerLink, false), range(0, n2),
         "Recording R: chain ends at cluster %x with marker fffffb\n"},
        {"chain loops", damaged(0, true), range(0, n2), "Recording R: chain loops at cluster %x\n"},
        {"slack above the cluster", slack(n1 + 10, 2, 0, kCluster + 1), range(0, n1), slack_large},
        {"slack above the only cluster", slack(10, 1, 0, kCluster + 1), {}, slack_large, not_found},
        {"last cluster shorter than a split packet's rest", slack(n1 + 2, 2, 0, kCluster - 50),
         range(0, n1), "Recording R: last cluster %x holds only 50 valid bytes, packet cut\n"},
        {"last cluster entered at a boundary", slack(n1 + 2, 2, 40, kCluster - 100), range(0, n1),
         "Recording R: last cluster %x holds only 100 valid bytes, packet cut\n"},
        {"2090-2091 unreadable",
         plain(5655),
         range(0, 5655, 26, 6),
         "Cannot read 1024 bytes at position 1070080\n",
         "",
         kSectors,
         {2090, 2, BadKind::kEio},
         -1,
         6},
        {"3119 unreadable",
         plain(5655),
         range(0, 5655, 2828, 4),
         "Cannot read 512 bytes at position 1596928\n",
         "",
         kSectors,
         {3119, 1, BadKind::kShort},
         -1,
         4},
        {"3120 unreadable",
         plain(5655),
         range(0, 5655, 2831, 3),
         "Cannot read 512 bytes at position 1597440\n",
         "",
         kSectors,
         {3120, 1, BadKind::kWhole},
         -1,
         3},
        {"4159 unreadable",
         plain(5655),
         range(0, 5655),
         nullptr,
         "",
         kSectors,
         {4159, 1, BadKind::kEio}},
        {"the header unreadable",
         plain(5655),
         {},
         nullptr,
         "ReadFile failed on position 1064960 with code 5\n",
         kSectors,
         {2080, 1, BadKind::kEio}},
    };
    for (uint32_t first : {0, 1, 2, 3, 4, 100, 186, 187}) {
        const uint32_t gap = (40 + kPacket - first) % kPacket,
                       n = packets_for(2 * uint64_t(kCluster), gap) - 3;
        rows.push_back({"split after " + std::to_string(first),
                        plain(n, gap),
                        range(0, n),
                        nullptr,
                        "",
                        kSectors,
                        {},
                        first == 0 ? 0 : 1});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        close_recording_file(reader_),
            reader_ = nullptr;  // no reader reads ahead while the disk changes
        ImageBuilder img(10, row.sectors);
        row.build(img);
        mount(img);
        const uint32_t s = qv->recordings[0].start_cluster;
        const bool named_start = row.name.find("loops") != std::string::npos ||
                                 row.name.find("only") != std::string::npos;
        const Messages shown =
            row.shown ? Messages{format(row.shown, named_start ? s : s + 1)} : Messages{};
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
        int64_t gaps = 0, lost = row.lost;
        EXPECT_EQ(read_all(&joined, &gaps), row.packets);
        EXPECT_EQ(capture().messages, shown);
        EXPECT_EQ(std::vector<int64_t>({row.joined < 0 ? -1 : int64_t(joined), gaps,
                                        reader_->lost_packets, reader_->unreadable_bytes}),
                  std::vector<int64_t>(
                      {row.joined, lost, lost, lost ? int64_t(row.bad.count) * 512 : 0}));
        EXPECT_EQ(reader_->error, 0);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);  // stays at its end
    }
    qv->recordings[0].start_cluster = qv->cluster_count;
    close_recording_file(reader_);
    EXPECT_EQ(reader_ = open_recording_file(0, capture_progress), nullptr);
    EXPECT_EQ(qv_error,
              format("Recording R starts outside the table at cluster %x\n", qv->cluster_count));
    close_recording_file(nullptr);  // accepted, nothing happens
}
}  // namespace
