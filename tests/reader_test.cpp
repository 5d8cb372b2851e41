// The recording reader (open_recording_file, read_ts_packet,
// close_recording_file) on recordings built here and stored on an in-memory
// disk of 1040-sector clusters (532480 bytes: a packet boundary moves on by
// 64 bytes per cluster, and a gap of g bytes behind the header splits the
// packet at the first boundary after (40 - g) mod 188 of its bytes).
//   | recording                                             | expected                                              |
//   | split after 0, 1, 2, 3 (inside the header), 4, 100,   | every packet back, in order; the split one joined,    |
//   | 186, 187 bytes at the first boundary                  | the one at a boundary in place at data[0]             |
//   | 37 stray bytes mid-cluster, 100 across a boundary,    | the stray bytes skipped, every packet after them back |
//   | a packet with its sync byte lost                      | (the damaged packet and what it hides are gone)       |
//   | first packet at 212 / 655 / 656; a lone 0x47 at 222   | data[212], data[655]; "Start of TS packets not found  |
//   |                                                       | in file Late.\n"; the lone byte not taken             |
//   | chain 5 -> 2 -> 7                                     | every packet back                                     |
//   | a whole packet behind the valid end of the last       | not returned; an incomplete last packet dropped       |
//   | cluster; one-cluster recording                        | quietly                                               |
//   | chain into 0xFFFFFF / out of the table / a marker /   | packets up to there, one warning naming the cluster,  |
//   | a loop                                                | error 0 (a table of their own)                        |
//   | slack above the cluster size (2 clusters / 1 cluster) | stream ends at the first cluster's end with one       |
//   |                                                       | warning / the opening fails                           |
//   | last cluster shorter than the rest of a split packet, | "... holds only 50 valid bytes, packet cut\n"         |
//   | or entered at a boundary with 100 bytes               | "... holds only 100 valid bytes, packet cut\n"        |
//   | unreadable sectors (a table of their own)             | their packets left out, the rest in step              |
//   | start cluster outside the table; closing null         | open fails with the reason; nothing happens           |
#include <cstring>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/packets.h"

namespace {

constexpr uint16_t kSectorsPerCluster = 1040;
constexpr uint32_t kCluster = kSectorsPerCluster * 512;   // 532480
constexpr uint32_t kHeader = 212;
constexpr uint32_t kPacket = kTsPacketSize;

// Packets of a recording that fills `bytes` behind header and gap.
uint32_t packets_for(uint64_t bytes, uint32_t gap) { return uint32_t((bytes - kHeader - gap) / kPacket); }

std::vector<Bytes> split(const Bytes& ts) {
    std::vector<Bytes> out;
    for (size_t at = 0; at + kPacket <= ts.size(); at += kPacket) out.emplace_back(ts.begin() + long(at), ts.begin() + long(at + kPacket));
    return out;
}

struct Read {
    std::vector<Bytes> packets;
    std::vector<size_t> joined;   // indexes of packets not returned in place
    std::vector<size_t> at_start; // indexes returned at data[0]
};

class Reader : public DiskTest {
protected:
    void TearDown() override {
        close_recording_file(reader_);
        DiskTest::TearDown();
    }
    void open(int index) {
        close_recording_file(reader_);
        reader_ = open_recording_file(index, capture_progress);
        ASSERT_NE(reader_, nullptr) << qv_error;
    }
    // Whether opening recording index fails.
    bool open_fails(int index) {
        close_recording_file(reader_);
        reader_ = open_recording_file(index, capture_progress);
        return reader_ == nullptr;
    }
    Read read_all() {
        Read r;
        // A reader that loops would stop here long before any harm.
        for (size_t n = 0; n < 100000; ++n) {
            const uint8_t* p = read_ts_packet(reader_);
            if (!p) return r;
            const uint8_t* data = reader_->data;   // the cluster the packet came from
            if (p < data || p >= data + kCluster) r.joined.push_back(r.packets.size());
            if (p == data) r.at_start.push_back(r.packets.size());
            r.packets.emplace_back(p, p + kPacket);
        }
        ADD_FAILURE() << "reader does not end";
        return r;
    }
    // Reads recording index to its end: the packets of ts, with warnings
    // shown, and the stream ended without error. Returns what was read.
    Read expect_stream(int index, const Bytes& ts, const Messages& warnings = {}) {
        Read r;
        open(index);
        if (!reader_) return r;
        r = read_all();
        EXPECT_TRUE(r.packets == split(ts));
        EXPECT_EQ(capture().messages, warnings);
        EXPECT_EQ(reader_->error, 0);
        clear_capture();
        return r;
    }
    recording_reader* reader_ = nullptr;
};

// Split packets: the first boundary cuts a packet after `first` bytes.
TEST_F(Reader, JoinsPacketsSplitAtEveryOffsetClass) {
    const std::vector<uint32_t> firsts = {0, 1, 2, 3, 4, 100, 186, 187};
    ImageBuilder img(2 * uint32_t(firsts.size()) + 2, kSectorsPerCluster);
    std::vector<Bytes> ts;
    for (uint32_t first : firsts) {
        uint32_t gap = (40 + kPacket - first) % kPacket;
        // Two clusters less a few packets: the second boundary is not reached.
        ts.push_back(ts_packets(0, packets_for(2 * uint64_t(kCluster), gap) - 3));
        img.add_recording("Split" + std::to_string(first), ts.back(), {}, {}, {}, gap);
    }
    mount(img);
    for (size_t i = 0; i < firsts.size(); ++i) {
        SCOPED_TRACE("first part " + std::to_string(firsts[i]));
        open(int(i));
        uint32_t gap = (40 + kPacket - firsts[i]) % kPacket;
        EXPECT_EQ(reader_->pos, kHeader + gap);
        Read r = read_all();
        std::vector<Bytes> want = split(ts[i]);
        ASSERT_EQ(r.packets.size(), want.size());
        EXPECT_TRUE(r.packets == want);
        size_t boundary = (kCluster - kHeader - gap) / kPacket;   // the packet the boundary meets
        if (firsts[i] == 0) {
            EXPECT_TRUE(r.joined.empty());
            EXPECT_EQ(r.at_start, std::vector<size_t>{boundary});
        } else {
            EXPECT_EQ(r.joined, std::vector<size_t>{boundary});
        }
        EXPECT_EQ(reader_->error, 0);
        EXPECT_EQ(read_ts_packet(reader_), nullptr);   // stays at its end
    }
    EXPECT_TRUE(capture().messages.empty());
}

// Out of step: stray bytes (never 0x47) mid-cluster and across the boundary,
// and a packet whose sync byte is lost (its payload holds no 0x47 either, so
// the scan lands on the packet after it).
TEST_F(Reader, SkipsToTheNextSyncByteAfterLostSync) {
    ImageBuilder img(4, kSectorsPerCluster);
    uint32_t n = packets_for(kCluster, 0);                // packets wholly in the first cluster
    Bytes ts = ts_packets(0, 10);
    append(ts, Bytes(37, 0x00));
    Bytes more = ts_packets(10, 10);
    more[5 * kPacket] = 0x00;                             // packet 15 loses its sync byte
    append(ts, more);
    // Up to 50 bytes before the first boundary, then 100 stray bytes across it.
    uint32_t fill = (kCluster - 50 - kHeader - uint32_t(ts.size())) / kPacket;
    append(ts, ts_packets(20, fill));
    ts.insert(ts.end(), kCluster - 50 - (kHeader + ts.size()), 0x22);
    append(ts, Bytes(100, 0x11));
    append(ts, ts_packets(20 + fill, 30));
    ASSERT_LT(n, 20 + fill + 30);
    img.add_recording("R", ts);
    mount(img);
    open(0);
    Read r = read_all();

    std::vector<Bytes> want;
    for (uint32_t s = 0; s < 20 + fill + 30; ++s)
        if (s != 15) want.push_back(ts_packet(s));
    ASSERT_EQ(r.packets.size(), want.size());
    EXPECT_TRUE(r.packets == want);
    EXPECT_TRUE(r.joined.empty());
    EXPECT_EQ(reader_->error, 0);
    EXPECT_TRUE(capture().messages.empty());
}

// The first packet is searched at 212 to 655 and needs a second sync byte a
// packet later.
TEST_F(Reader, FindsTheFirstPacketBehindTheHeader) {
    ImageBuilder img(6, kSectorsPerCluster);
    img.add_recording("Early", ts_packets(0, 20));
    img.add_recording("Last", ts_packets(0, 20), {}, {}, {}, 655 - kHeader);
    img.add_recording("Late", ts_packets(0, 20), {}, {}, {}, 656 - kHeader);
    Bytes lone(100, 0);
    lone[10] = 0x47;   // offset 222: no sync byte at 410
    append(lone, ts_packets(0, 20));
    img.add_recording("Lone", lone);
    mount(img);

    open(0);
    EXPECT_EQ(reader_->pos, 212u);
    EXPECT_EQ(read_ts_packet(reader_), reader_->data + 212);
    open(1);
    EXPECT_EQ(reader_->pos, 655u);
    EXPECT_EQ(read_ts_packet(reader_), reader_->data + 655);
    open(3);
    EXPECT_EQ(reader_->pos, 312u);
    EXPECT_EQ(read_all().packets.size(), 20u);

    EXPECT_TRUE(open_fails(2));
    EXPECT_STREQ(qv_error, "Start of TS packets not found in file Late.\n");
}

TEST_F(Reader, FollowsAFragmentedChain) {
    ImageBuilder img(10, kSectorsPerCluster);
    Bytes ts = ts_packets(0, packets_for(3 * uint64_t(kCluster), 0) - 1);
    img.add_recording("R", ts, {}, {}, {5, 2, 7});
    mount(img);
    EXPECT_EQ(expect_stream(0, ts).joined.size(), 2u);
    EXPECT_EQ(reader_->cluster, 7u);
}

// The last cluster's slack hides what lies behind the valid end; a packet
// cut by it is dropped without a word, as in a one-cluster recording.
TEST_F(Reader, SlackCutsTheLastCluster) {
    ImageBuilder img(6, kSectorsPerCluster);
    Bytes ts = ts_packets(0, packets_for(kCluster, 0) + 10);
    uint32_t start = img.add_recording("Hidden", ts);
    // A whole packet right behind the valid end of the second cluster.
    uint32_t end = kHeader + uint32_t(ts.size()) - kCluster;
    Bytes extra = ts_packet(999);
    std::memcpy(img.cluster(start + 1) + end, extra.data(), kPacket);

    Bytes cut = ts_packets(0, 30);
    Bytes half = ts_packet(30);
    cut.insert(cut.end(), half.begin(), half.begin() + 100);   // incomplete last packet
    img.add_recording("Single", cut);
    mount(img);

    expect_stream(0, ts);
    EXPECT_EQ(expect_stream(1, ts_packets(0, 30)).packets.size(), 30u);
}

// Damaged chains end the stream where they break, with one warning naming
// the cluster as the raw copy names it, and no error. Recording R has three
// clusters from s; the link of cluster s + 1 is damaged. Every row reads
// both clusters (the packet split at their end is dropped).
//   | link of s + 1              | warning                                                |
//   | 0xFFFFFF                   | "Recording R: chain ends at cluster s+1, which is marked free\n" |
//   | 6 (1 MiB clusters: within  | "Recording R: chain leaves the table at cluster s+1\n" |
//   | the disk, past the table)  |                                                        |
//   | 0xFFFFFB                   | "Recording R: chain ends at cluster s+1 with marker fffffb\n" |
//   | s: a loop                  | "Recording R: chain loops at cluster s\n": the first repeat |
TEST_F(Reader, DamagedChainsEndWhereTheyBreak) {
    constexpr uint32_t kBack = 0;   // the link goes back to s
    struct Row {
        uint32_t link;
        uint16_t sectors_per_cluster;
        const char* warning;   // %x: the cluster named (s + 1, or s for the loop)
    } rows[] = {
        {kFreeCluster, kSectorsPerCluster, "Recording R: chain ends at cluster %x, which is marked free\n"},
        {6, 2048, "Recording R: chain leaves the table at cluster %x\n"},
        {kMarkerLink, kSectorsPerCluster, "Recording R: chain ends at cluster %x with marker fffffb\n"},
        {kBack, kSectorsPerCluster, "Recording R: chain loops at cluster %x\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.warning);
        ImageBuilder img(6, row.sectors_per_cluster);
        const uint32_t cluster = img.cluster_size();
        Bytes ts = ts_packets(0, packets_for(3 * uint64_t(cluster), 0) - 1);
        uint32_t s = img.add_recording("R", ts);
        img.set_fat(s + 1, row.link == kBack ? s : row.link);
        mount(img);
        expect_stream(0, Bytes(ts.begin(), ts.begin() + (2 * cluster - kHeader) / kPacket * kPacket),
                      {format(row.warning, row.link == kBack ? s : s + 1)});
        EXPECT_EQ(read_ts_packet(reader_), nullptr);
    }
}

TEST_F(Reader, SlackAboveTheClusterSizeEndsAtOnce) {
    ImageBuilder img(6, kSectorsPerCluster);
    Bytes ts = ts_packets(0, packets_for(kCluster, 0) + 10);
    uint32_t two = img.add_recording("Two", ts);
    uint32_t one = img.add_recording("One", ts_packets(0, 10));
    img.dir_entry(0, 0, kTypeRecording, two, 2, kCluster + 1, "Two");
    img.dir_entry(0, 1, kTypeRecording, one, 1, kCluster + 1, "One");
    mount(img);

    expect_stream(0, ts_packets(0, packets_for(kCluster, 0)),
                  {format("Recording Two: slack %u of the last cluster %x is larger than the cluster\n",
                          kCluster + 1, two + 1)});
    EXPECT_TRUE(open_fails(1));
    EXPECT_STREQ(qv_error, "Start of TS packets not found in file One.\n");
    EXPECT_EQ(capture().messages,
              Messages{format("Recording One: slack %u of the last cluster %x is larger than the cluster\n",
                              kCluster + 1, one)});
}

// A last cluster with fewer valid bytes than the packet reaching into it.
TEST_F(Reader, TooShortLastClusterEndsTheStream) {
    ImageBuilder img(6, kSectorsPerCluster);
    // Split: the boundary cuts packet k after 40 bytes, 148 follow; 50 are valid.
    uint32_t k = packets_for(kCluster, 0);
    uint32_t split_start = img.add_recording("Split", ts_packets(0, k + 2));
    img.dir_entry(0, 0, kTypeRecording, split_start, 2, kCluster - 50, "Split");
    // Boundary: packets end exactly at the cluster end (gap 40), 100 valid bytes follow.
    uint32_t edge_start = img.add_recording("Edge", ts_packets(0, k + 2), {}, {}, {}, 40);
    img.dir_entry(0, 1, kTypeRecording, edge_start, 2, kCluster - 100, "Edge");
    mount(img);

    expect_stream(0, ts_packets(0, k),
                  {format("Recording Split: last cluster %x holds only 50 valid bytes, packet cut\n", split_start + 1)});
    expect_stream(1, ts_packets(0, k),
                  {format("Recording Edge: last cluster %x holds only 100 valid bytes, packet cut\n", edge_start + 1)});
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
    ImageBuilder img(4, kSectorsPerCluster);
    ASSERT_EQ(img.add_recording("R", ts_packets(0, total)), 1u);
    mount(img);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad.first);
        disk_.bad = {row.bad};
        if (row.bad.count == 0) disk_.fail_read = disk_.reads + 2;   // the second cluster, once
        clear_capture();
        open(0);
        Read r = read_all();
        std::vector<Bytes> want;
        for (uint32_t k = 0; k < total; ++k)
            if (k < row.first_lost || k >= row.first_lost + row.lost) want.push_back(ts_packet(k));
        ASSERT_EQ(r.packets.size(), want.size());
        EXPECT_TRUE(r.packets == want);
        EXPECT_EQ(capture().messages, row.shown ? Messages{row.shown} : Messages{});
        EXPECT_EQ(reader_->lost_packets, row.lost);
        EXPECT_EQ(reader_->unreadable_bytes, row.shown ? int64_t(row.bad.count) * 512 : 0);
        EXPECT_EQ(reader_->error, 0);
    }
    // The gap is told with the packet behind it.
    disk_.bad = {rows[0].bad};
    open(0);
    for (uint32_t k = 0; k < 26; ++k) ASSERT_NE(read_ts_packet(reader_), nullptr);
    EXPECT_EQ(reader_->gap_packets, 0);
    const uint8_t* p = read_ts_packet(reader_);
    EXPECT_TRUE(Bytes(p, p + kPacket) == ts_packet(32));
    EXPECT_EQ(reader_->gap_packets, 6);
    // An unreadable recording header: the PIDs are unknown. (The disk changes
    // only once no reader reads ahead on it.)
    close_recording_file(reader_);
    reader_ = nullptr;
    disk_.bad = {{2080, 1, BadKind::kEio}};
    EXPECT_TRUE(open_fails(0));
    EXPECT_STREQ(qv_error, "ReadFile failed on position 1064960 with code 5\n");
}

TEST_F(Reader, RefusesAStartOutsideTheTable) {
    ImageBuilder img(4, kSectorsPerCluster);
    img.add_recording("R", ts_packets(0, 10));
    mount(img);
    qv->recordings[0].start_cluster = qv->cluster_count;
    EXPECT_TRUE(open_fails(0));
    EXPECT_EQ(qv_error, format("Recording R starts outside the table at cluster %x\n", qv->cluster_count));
    close_recording_file(nullptr);   // accepted, nothing happens
}

}  // namespace
