// The recording reader (open_recording_file, read_ts_packet, close_recording_file) on a recording
// "R" of numbered packets from cluster 1 on. In 532480-byte clusters a packet boundary moves on by
// 64 bytes a cluster; a gap of g bytes behind the header splits a packet (40 - g) mod 188 bytes in.
#include <cstring>
#include "support/fixture.h"
namespace {
constexpr uint16_t kSectors = 1040;
constexpr uint32_t kCluster = kSectors * 512, kHeader = 212, kPacket = kTsPacketSize;
using Numbers = std::vector<uint32_t>;
// Packets of a recording that fills `bytes` behind header and gap.
uint32_t packets_for(uint64_t bytes, uint32_t gap = 0) {
    return uint32_t((bytes - kHeader - gap) / kPacket);
}
// The numbers from to to - 1 but the lost ones from first_lost on.
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
    // Reads to the end: the number of every packet (numbered_packet's, ~0 for any other); joined_:
    // how many were joined from two clusters; gaps_: the gaps told with the packets.
    Numbers read_all() {
        Numbers seen;
        for (size_t n = 0; n < 100000; ++n) {  // a reader that loops stops here
            const uint8_t* p = read_ts_packet(reader_);
            if (!p) return seen;
            if (p < reader_->data || p >= reader_->data + kCluster) ++joined_;
            gaps_ += reader_->gap_packets;
            uint32_t seq = 0;
            for (int i = 0; i < 4; ++i) seq |= uint32_t(p[4 + i] & 0x3F) << (6 * i);
            seen.push_back(Bytes(p, p + kPacket) == numbered_packet(seq) ? seq : ~0u);
        }
        ADD_FAILURE() << "reader does not end";
        return seen;
    }
    recording_reader* reader_ = nullptr;
    size_t joined_ = 0;
    int64_t gaps_ = 0;
};

using Build = std::function<void(ImageBuilder&)>;
// On ImageBuilder(10, sectors); joined -1: not counted; the numbers missing are the lost packets.
struct Row {
    std::string name;
    Build build;
    Numbers packets = {};
    Messages shown = {};
    uint16_t sectors = kSectors;
    std::vector<BadSectors> bad = {};
    int joined = -1;
};
Build plain(uint32_t count, uint32_t gap = 0, std::vector<uint32_t> clusters = {}) {
    return [=](ImageBuilder& img) {
        img.add_recording("R", numbered_packets(0, count), {}, {}, clusters, gap);
    };
}
// The recording's entry stating count clusters and slack_bytes of slack.
Build slack(uint32_t packets, uint32_t count, uint32_t gap, uint32_t slack_bytes) {
    return [=](ImageBuilder& img) {
        uint32_t s = img.add_recording("R", numbered_packets(0, packets), {}, {}, {}, gap);
        img.dir_entry(0, 0, kTypeRecording, s, count, slack_bytes, "R");
    };
}
// 5655 packets (two clusters, the last 1504 bytes slack), the sectors bad unreadable (the reader
// itself tells nothing: its timeline tells the places when the conversion ends).
Row unreadable(const char* name, std::vector<BadSectors> bad, Numbers packets) {
    return {.name = name, .build = plain(5655), .packets = packets, .bad = bad};
}

TEST_F(Reader, StreamsOfEveryShape) {
    Bytes stray = numbered_packets(0, 10);
    stray.insert(stray.end(), 37, 0x00);
    append(stray, numbered_packets(10, 2810));
    stray.resize(kCluster + 50 - kHeader, 0x11);
    append(stray, numbered_packets(2820, 30));
    Bytes lone(443, 0);
    lone[10] = kTsSyncByte;
    append(lone, numbered_packets(0, 20));
    Bytes half = numbered_packets(0, 31);
    half.resize(30 * kPacket + 100);
    std::vector<Row> rows = {
        {.name = "stray bytes, stray bytes across a cluster's end",
         .build = [&](ImageBuilder& img) { img.add_recording("R", stray); },
         .packets = range(0, 2850)},
        {.name = "a lone sync byte at 222, the first packet at 655",
         .build = [&](ImageBuilder& img) { img.add_recording("R", lone); },
         .packets = range(0, 20)},
        {.name = "a fragmented chain",
         .build = plain(packets_for(3ull * kCluster) - 1, 0, {5, 2, 7}),
         .packets = range(0, packets_for(3ull * kCluster) - 1)},
        {.name = "half a packet at the end",
         .build = [&](ImageBuilder& img) { img.add_recording("R", half); },
         .packets = range(0, 30)},
        {.name = "a link out of the table (1 MiB clusters: 10, the disk's size in MiB, is a link)",
         .build =
             [](ImageBuilder& img) {
                 plain(packets_for(3 * 1048576ull) - 1)(img);
                 img.set_fat(2, 10);
             },
         .packets = range(0, packets_for(2 * 1048576ull)),
         .shown = {"Recording R: chain leaves the table at cluster 2\n"},
         .sectors = 2048},
        {.name = "a slack above the cluster",
         .build = slack(packets_for(kCluster) + 10, 2, 0, kCluster + 1),
         .packets = range(0, packets_for(kCluster)),
         .shown = {"Recording R: slack 532481 of the last cluster 2 is larger than the cluster\n"}},
        {.name = "a last cluster shorter than a split packet's rest",
         .build = slack(packets_for(kCluster) + 2, 2, 0, kCluster - 50),
         .packets = range(0, packets_for(kCluster)),
         .shown = {"Recording R: last cluster 2 holds only 50 valid bytes, packet cut\n"}},
        {.name = "a last cluster entered at a boundary",
         .build = slack(packets_for(kCluster) + 2, 2, 40, kCluster - 100),
         .packets = range(0, packets_for(kCluster)),
         .shown = {"Recording R: last cluster 2 holds only 100 valid bytes, packet cut\n"}},
        unreadable("sectors 2094 and 4159 (behind the stream): packet 36, ending at 2094, is kept",
                   {{2094, 1, BadKind::kEio}, {4159, 1, BadKind::kEio}}, range(0, 5655, 37, 3)),
        unreadable("sector 3119 unreadable (a short read): a split packet's first part",
                   {{3119, 1, BadKind::kShort}}, range(0, 5655, 2828, 4)),
        unreadable("sector 3120 unreadable (a whole failure): a split packet's second part",
                   {{3120, 1, BadKind::kWhole}}, range(0, 5655, 2831, 3)),
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
        disk_.bad = row.bad;
        clear_capture();
        reader_ = open_recording_file(0, capture_progress);
        ASSERT_NE(reader_, nullptr) << qv_error;
        joined_ = 0;
        gaps_ = 0;
        EXPECT_EQ(read_all(), row.packets);
        EXPECT_EQ(capture().messages, row.shown);
        EXPECT_TRUE(row.joined < 0 || joined_ == size_t(row.joined)) << joined_;
        const uint32_t lost = row.packets.back() + 1 - uint32_t(row.packets.size());
        EXPECT_EQ(gaps_, lost);
        EXPECT_EQ(reader_->lost_packets, lost);
        EXPECT_EQ(reader_->unreadable_bytes, lost ? 512 : 0);  // one sector in the stream
        EXPECT_EQ(reader_->error, 0);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);  // stays at its end
    }
    close_recording_file(reader_);
    reader_ = nullptr;
    ImageBuilder late(10, kSectors);
    plain(20, 444)(late);  // the first packet at 656
    mount(late);
    EXPECT_EQ(open_recording_file(0, capture_progress), nullptr);
    EXPECT_STREQ(qv_error, "Start of TS packets not found in file R.\n");
    qv->recordings[0].start_cluster = qv->cluster_count;
    EXPECT_EQ(open_recording_file(0, capture_progress), nullptr);
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
    using Reads = std::vector<std::pair<int64_t, uint32_t>>;
    disk_.log_reads = true;
    reader_ = open_recording_file(0, capture_progress);
    ASSERT_NE(reader_, nullptr) << qv_error;
    EXPECT_NE(read_ts_packet(reader_), nullptr);
    close_recording_file(reader_);
    EXPECT_EQ(disk_.read_log, (Reads{{2 * kCluster, kCluster}}));
    disk_.read_log.clear();
    reader_ = open_recording_file(0, capture_progress);
    EXPECT_EQ(read_all().size(), packets_for(3 * uint64_t(kCluster)));
    EXPECT_EQ(
        disk_.read_log,
        (Reads{{2 * kCluster, kCluster}, {3 * kCluster, kCluster}, {4 * kCluster, kCluster}}));
}
}  // namespace
