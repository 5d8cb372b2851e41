// The recording reader (open_recording_file, read_ts_packet, close_recording_file) on recordings of
// numbered packets in 1040-sector clusters (532480 bytes: a packet boundary moves on by 64 bytes per
// cluster; a gap of g bytes behind the header splits a packet (40 - g) mod 188 bytes after its start).
//   | recording                                              | packets back             | shown / error                 |
//   | split after 0, 1, 2, 3, 4, 100, 186, 187 bytes         | all, the split one joined| nothing                       |
//   | 37 stray bytes, packet 15 without its sync byte, 100 stray bytes across the boundary | all but 15 | nothing |
//   | first packet at 655 / 656; a lone 0x47 at 222          | all / fails / all        | "Start of TS packets not found…" |
//   | chain 5 -> 2 -> 7; a packet behind the last slack; 30.5 packets | all; not the hidden; 30 | nothing         |
//   | second cluster's link free / out of the table / marker / back | the first two clusters' | "Recording R: chain …" |
//   | slack above the cluster size (2 clusters / 1)          | the first cluster's / —  | "… slack … larger than …"     |
//   | last cluster shorter than a split packet's rest, or entered at a boundary | up to the cut one | "… holds only 50 / 100 …" |
//   | start cluster outside the table; closing null          | opening fails            | "Recording R starts outside…" |
//   | unreadable sectors                                     | a table of their own                                     |
#include <cstring>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace {

constexpr uint16_t kSectors = 1040;
constexpr uint32_t kCluster = kSectors * 512;   // 532480
constexpr uint32_t kHeader = 212;
constexpr uint32_t kPacket = kTsPacketSize;

// Packets of a recording that fills `bytes` behind header and gap; the numbers from to to - 1.
uint32_t packets_for(uint64_t bytes, uint32_t gap = 0) { return uint32_t((bytes - kHeader - gap) / kPacket); }
std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> r;
    for (uint32_t k = from; k < to; ++k) r.push_back(k);
    return r;
}

class Reader : public DiskTest {
protected:
    void TearDown() override {
        close_recording_file(reader_);
        DiskTest::TearDown();
    }
    bool open(int index) {
        close_recording_file(reader_);
        clear_capture();
        reader_ = open_recording_file(index, capture_progress);
        return reader_ != nullptr;
    }
    // Reads to the end: the number of every packet (numbered_packet's, ~0 for any other), and
    // how many were joined from two clusters.
    std::vector<uint32_t> read_all(size_t* joined = nullptr) {
        std::vector<uint32_t> seen;
        for (size_t n = 0; n < 100000; ++n) {   // a reader that loops stops here
            const uint8_t* p = read_ts_packet(reader_);
            if (!p) return seen;
            if (joined && (p < reader_->data || p >= reader_->data + kCluster)) ++*joined;
            uint32_t seq = 0;
            for (int i = 0; i < 4; ++i) seq |= uint32_t(p[4 + i] & 0x3F) << (6 * i);
            seen.push_back(Bytes(p, p + kPacket) == numbered_packet(seq) ? seq : ~0u);
        }
        ADD_FAILURE() << "reader does not end";
        return seen;
    }
    recording_reader* reader_ = nullptr;
};

TEST_F(Reader, JoinsPacketsSplitAtEveryOffsetClass) {
    const std::vector<uint32_t> firsts = {0, 1, 2, 3, 4, 100, 186, 187};
    ImageBuilder img(2 * uint32_t(firsts.size()) + 2, kSectors);
    for (uint32_t first : firsts) {
        uint32_t gap = (40 + kPacket - first) % kPacket;
        img.add_recording("S", numbered_packets(0, packets_for(2 * uint64_t(kCluster), gap) - 3), {}, {}, {}, gap);
    }
    mount(img);
    for (size_t i = 0; i < firsts.size(); ++i) {
        SCOPED_TRACE(firsts[i]);
        uint32_t gap = (40 + kPacket - firsts[i]) % kPacket;
        ASSERT_TRUE(open(int(i))) << qv_error;
        EXPECT_EQ(reader_->pos, kHeader + gap);
        size_t joined = 0;
        EXPECT_EQ(read_all(&joined), range(0, packets_for(2 * uint64_t(kCluster), gap) - 3));
        EXPECT_EQ(joined, firsts[i] == 0 ? 0u : 1u);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);   // stays at its end
        EXPECT_EQ(reader_->error, 0);
    }
    EXPECT_EQ(capture().messages, Messages{});
}

TEST_F(Reader, StreamsOfEveryShape) {
    struct Row {
        const char* name;
        std::function<void(ImageBuilder&)> build;   // recording "R" on ImageBuilder(10, kSectors)
        std::vector<uint32_t> packets;              // empty: the opening fails
        const char* shown;                          // %x: the first cluster
        const char* error = "";                     // of a failed opening
        uint16_t sectors = kSectors;
    };
    const uint32_t n1 = packets_for(kCluster), n2 = packets_for(2 * uint64_t(kCluster)), n3 = packets_for(3 * uint64_t(kCluster));
    auto damaged = [](uint32_t link, bool back) {
        return [link, back](ImageBuilder& img) {
            uint32_t s = img.add_recording("R", numbered_packets(0, packets_for(3 * uint64_t(img.cluster_size())) - 1));
            img.set_fat(s + 1, back ? s : link);
        };
    };
    auto slack = [](uint32_t packets, uint32_t count, uint32_t gap, uint32_t slack_bytes) {
        return [=](ImageBuilder& img) {
            uint32_t s = img.add_recording("R", numbered_packets(0, packets), {}, {}, {}, gap);
            img.dir_entry(0, 0, kTypeRecording, s, count, slack_bytes, "R");
        };
    };
    std::vector<uint32_t> resync = range(0, 15), tail = range(16, 20 + 2800 + 30);
    resync.insert(resync.end(), tail.begin(), tail.end());
    auto add = [](Bytes& ts, const Bytes& more) { ts.insert(ts.end(), more.begin(), more.end()); };
    const char* slack_large = "Recording R: slack 532481 of the last cluster %x is larger than the cluster\n";
    const std::vector<Row> rows = {
        {"stray bytes and a lost sync byte", [add](ImageBuilder& img) {
             Bytes ts = numbered_packets(0, 10), more = numbered_packets(10, 10);
             ts.insert(ts.end(), 37, 0x00);
             more[5 * kPacket] = 0x00;   // packet 15 loses its sync byte
             add(ts, more), add(ts, numbered_packets(20, 2800));   // up to 50 bytes before the boundary
             ts.insert(ts.end(), kCluster - 50 - (kHeader + ts.size()), 0x22);
             ts.insert(ts.end(), 100, 0x11);
             add(ts, numbered_packets(2820, 30)), img.add_recording("R", ts);
         }, resync, nullptr},
        {"first packet at 655", [](ImageBuilder& img) { img.add_recording("R", numbered_packets(0, 20), {}, {}, {}, 443); },
         range(0, 20), nullptr},
        {"first packet at 656", [](ImageBuilder& img) { img.add_recording("Late", numbered_packets(0, 20), {}, {}, {}, 444); },
         {}, nullptr, "Start of TS packets not found in file Late.\n"},
        {"a lone sync byte at 222", [add](ImageBuilder& img) {
             Bytes lone(100, 0);
             lone[10] = kTsSyncByte;
             add(lone, numbered_packets(0, 20)), img.add_recording("R", lone);
         }, range(0, 20), nullptr},
        {"fragmented chain", [=](ImageBuilder& img) { img.add_recording("R", numbered_packets(0, n3 - 1), {}, {}, {5, 2, 7}); },
         range(0, n3 - 1), nullptr},
        {"packet behind the slack", [=](ImageBuilder& img) {
             uint32_t s = img.add_recording("R", numbered_packets(0, n1 + 10));
             Bytes hidden = numbered_packet(999);
             std::memcpy(img.cluster(s + 1) + kHeader + (n1 + 10) * kPacket - kCluster, hidden.data(), kPacket);
         }, range(0, n1 + 10), nullptr},
        {"half a packet at the end", [](ImageBuilder& img) {
             Bytes ts = numbered_packets(0, 31);
             ts.resize(30 * kPacket + 100), img.add_recording("R", ts);
         }, range(0, 30), nullptr},
        {"chain into a free entry", damaged(kFreeCluster, false), range(0, n2), "Recording R: chain ends at cluster %x, which is marked free\n"},
        {"chain out of the table", damaged(10, false), range(0, packets_for(2 * 1048576ull)),   // 1 MiB: 10 is a link
         "Recording R: chain leaves the table at cluster %x\n", "", 2048},
        {"chain into a marker", damaged(kMarkerLink, false), range(0, n2), "Recording R: chain ends at cluster %x with marker fffffb\n"},
        {"chain loops", damaged(0, true), range(0, n2), "Recording R: chain loops at cluster %x\n"},
        {"slack above the cluster", slack(n1 + 10, 2, 0, kCluster + 1), range(0, n1), slack_large},
        {"slack above the only cluster", slack(10, 1, 0, kCluster + 1), {}, slack_large, "Start of TS packets not found in file R.\n"},
        {"last cluster shorter than a split packet's rest", slack(n1 + 2, 2, 0, kCluster - 50), range(0, n1),
         "Recording R: last cluster %x holds only 50 valid bytes, packet cut\n"},
        {"last cluster entered at a boundary", slack(n1 + 2, 2, 40, kCluster - 100), range(0, n1),
         "Recording R: last cluster %x holds only 100 valid bytes, packet cut\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImageBuilder img(10, row.sectors);
        row.build(img);
        mount(img);
        const uint32_t s = qv->recordings[0].start_cluster;
        // The cluster a message names: the damaged link's, the loop's target, the last one.
        const uint32_t named = strstr(row.name, "loops") ? s : strstr(row.name, "only cluster") ? s : s + 1;
        const Messages shown = row.shown ? Messages{format(row.shown, named)} : Messages{};
        if (row.packets.empty()) {
            EXPECT_FALSE(open(0));
            EXPECT_STREQ(qv_error, row.error);
            EXPECT_EQ(capture().messages, shown);
            continue;
        }
        ASSERT_TRUE(open(0)) << qv_error;
        EXPECT_EQ(read_all(), row.packets);
        EXPECT_EQ(capture().messages, shown);
        EXPECT_EQ(reader_->error, 0);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);
    }
    qv->recordings[0].start_cluster = qv->cluster_count;
    EXPECT_FALSE(open(0));
    EXPECT_EQ(qv_error, format("Recording R starts outside the table at cluster %x\n", qv->cluster_count));
    close_recording_file(nullptr);   // accepted, nothing happens
}

// Unreadable sectors of recording R (clusters 1 and 2: disk sectors 2080 to
// 3119 and 3120 to 4159; packet k at 212 + 188 k, packet 2831 split after 40
// bytes; 5655 packets leave the last 1608 bytes of cluster 2 as slack).
//   | failing sectors (kind)      | packets left out     | shown                                       |
//   | 2090-2091 (error 5)         | 26 to 31             | "Cannot read 1024 bytes at position 1070080"|
//   | 3119 (short read)           | 2828 to 2831 (split) | "Cannot read 512 bytes at position 1596928" |
//   | 3120 (whole request)        | 2831 to 2833 (split) | "Cannot read 512 bytes at position 1597440" |
//   | 4159 (error 5, slack only)  | none                 | nothing                                     |
//   | none, one read fails once   | none                 | nothing                                     |
//   | 2080 (the header)           | opening fails with the read's message                              |
TEST_F(Reader, UnreadableSectorsLeaveOutTheirPacketsOnly) {
    struct Row {
        BadSectors bad;
        uint32_t first_lost, lost;
        const char* shown;
    } rows[] = {
        {{2090, 2, BadKind::kEio}, 26, 6, "Cannot read 1024 bytes at position 1070080\n"},
        {{3119, 1, BadKind::kShort}, 2828, 4, "Cannot read 512 bytes at position 1596928\n"},
        {{3120, 1, BadKind::kWhole}, 2831, 3, "Cannot read 512 bytes at position 1597440\n"},
        {{4159, 1, BadKind::kEio}, 0, 0, nullptr},
        {{0, 0, BadKind::kEio}, 0, 0, nullptr},
    };
    const uint32_t total = 5655;
    ImageBuilder img(4, kSectors);
    ASSERT_EQ(img.add_recording("R", numbered_packets(0, total)), 1u);
    mount(img);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad.first);
        disk_.bad = {row.bad};
        if (row.bad.count == 0) disk_.fail_read = disk_.reads + 2;   // the second cluster, once
        ASSERT_TRUE(open(0)) << qv_error;
        std::vector<uint32_t> want = range(0, row.first_lost);
        for (uint32_t k = row.first_lost + row.lost; k < total; ++k) want.push_back(k);
        EXPECT_EQ(read_all(), want);
        EXPECT_EQ(capture().messages, row.shown ? Messages{row.shown} : Messages{});
        EXPECT_EQ(reader_->lost_packets, row.lost);
        EXPECT_EQ(reader_->unreadable_bytes, row.shown ? int64_t(row.bad.count) * 512 : 0);
        EXPECT_EQ(reader_->error, 0);
    }
    // The gap is told with the packet behind it.
    disk_.bad = {rows[0].bad};
    ASSERT_TRUE(open(0));
    for (uint32_t k = 0; k < 26; ++k) ASSERT_NE(read_ts_packet(reader_), nullptr);
    EXPECT_EQ(reader_->gap_packets, 0);
    const uint8_t* p = read_ts_packet(reader_);
    EXPECT_TRUE(Bytes(p, p + kPacket) == numbered_packet(32));
    EXPECT_EQ(reader_->gap_packets, 6);
    // An unreadable recording header: the PIDs are unknown. (The disk changes
    // only once no reader reads ahead on it.)
    close_recording_file(reader_);
    reader_ = nullptr;
    disk_.bad = {{2080, 1, BadKind::kEio}};
    EXPECT_FALSE(open(0));
    EXPECT_STREQ(qv_error, "ReadFile failed on position 1064960 with code 5\n");
}

}  // namespace
