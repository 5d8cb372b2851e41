// The transport stream demultiplexer (demux_loop and the demux table), fed
// with packet sequences built here and stored as a recording on an in-memory
// disk. An output function records every PES packet handed over, with the
// clock estimate it saw; the PES packets still being collected at the end of
// the recording are handed over too. Each test opens with its scenario.
#include <algorithm>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "support/fixture.h"

bool operator==(const demux_counts& a, const demux_counts& b) {
    return a.packets == b.packets && a.scrambled == b.scrambled && a.out_of_sequence == b.out_of_sequence &&
           a.bad_sync == b.bad_sync;
}
std::ostream& operator<<(std::ostream& o, const demux_counts& c) {
    return o << "{packets " << c.packets << ", scrambled " << c.scrambled << ", out of sequence "
             << c.out_of_sequence << ", bad sync " << c.bad_sync << "}";
}

namespace {

constexpr uint32_t kVideo = 0x101;
constexpr uint32_t kAudio = 0x102;
constexpr uint32_t kOther = 0x1FF;   // never attached
constexpr uint64_t kPreClockScr = 4398037871104;   // 2^42 - 8640000

// One transport packet as the tests describe it.
struct Packet {
    uint32_t pid = kVideo;
    uint32_t cc = 0;
    bool start = false;          // payload_unit_start_indicator, with a PES header
    bool payload = true;
    uint8_t scrambling = 0;
    int adaptation = -1;         // adaptation_field_length; -1: no adaptation field
    bool discontinuity = false;
    int64_t pcr = -1;            // 27 MHz; -1: none
    uint8_t fill = 0xA5;         // payload bytes behind the PES header
};

// A transport stream under construction, with the payload of every packet
// kept for the expectations.
struct Stream {
    Bytes ts;
    std::vector<Bytes> payloads;

    // Adds the packet; returns its index.
    size_t add(Packet p) {
        Bytes b(kTsPacketSize, p.fill);
        int alen = p.adaptation;
        if (!p.payload && alen < 0) alen = 183;
        if (p.pcr >= 0 && alen < 7 && p.adaptation < 0) alen = 7;   // a shorter field is asked for on purpose
        if (p.discontinuity && alen < 1) alen = 1;
        b[0] = kTsSyncByte;
        b[1] = uint8_t((p.start ? 0x40 : 0) | p.pid >> 8);
        b[2] = uint8_t(p.pid);
        b[3] = uint8_t(p.scrambling << 6 | (alen >= 0 ? 0x20 : 0) | (p.payload ? 0x10 : 0) | (p.cc & 15));
        size_t at = 4;
        if (alen >= 0) {
            b[4] = uint8_t(alen);
            size_t end = std::min<size_t>(5 + size_t(alen), kTsPacketSize);
            for (size_t i = 5; i < end; ++i) b[i] = 0xFF;
            if (alen >= 1) b[5] = uint8_t((p.discontinuity ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
            if (p.pcr >= 0) {
                uint64_t base = uint64_t(p.pcr) / 300, ext = uint64_t(p.pcr) % 300;
                b[6] = uint8_t(base >> 25);
                b[7] = uint8_t(base >> 17);
                b[8] = uint8_t(base >> 9);
                b[9] = uint8_t(base >> 1);
                b[10] = uint8_t((base & 1) << 7 | 0x7E | ext >> 8);
                b[11] = uint8_t(ext);
            }
            at = end;
        }
        if (p.start && at + 9 <= kTsPacketSize) {
            const uint8_t pes[9] = {0, 0, 1, uint8_t(p.pid == kAudio ? 0xC0 : 0xE0), 0, 0, 0x80, 0, 0};
            memcpy(&b[at], pes, sizeof pes);
        }
        ts.insert(ts.end(), b.begin(), b.end());
        payloads.push_back(p.payload && at < kTsPacketSize ? Bytes(b.begin() + long(at), b.end()) : Bytes());
        return payloads.size() - 1;
    }
    // The concatenated payloads of the packets with these indexes.
    Bytes pes(std::initializer_list<size_t> packets) const {
        Bytes out;
        for (size_t i : packets) out.insert(out.end(), payloads[i].begin(), payloads[i].end());
        return out;
    }
};

// What the output function saw.
struct Handed {
    uint32_t pid;
    Bytes bytes;
    uint64_t scr;
    bool operator==(const Handed& o) const { return pid == o.pid && bytes == o.bytes && scr == o.scr; }
};

std::vector<Handed> handed;
std::map<const demux_stream*, uint32_t> pid_of;
std::vector<Bytes> repacked;   // what the split function saw
int fail_at_call = 0;          // the out_fn call (from 1) that fails; 0 none

int interrupt_at_call = 0;     // the out_fn call after which the user interrupts; 0 none

// Leaves a message in qv_error, as the stream describers do.
int record_out(demux_stream* s) {
    handed.push_back({pid_of[s], Bytes(s->buffer, s->buffer + s->length), s->scr});
    qv_set_error("handed over");
    if (int(handed.size()) == interrupt_at_call) qv_interrupted = 1;
    if (int(handed.size()) == fail_at_call) {
        qv_set_error("%s", kWriteFailed);
        return 1;
    }
    return 0;
}

// Keeps the first 9 bytes, as the program-stream writer's split does.
int record_repack(demux_stream* s) {
    repacked.push_back(Bytes(s->buffer, s->buffer + s->length));
    s->length = 9;
    return 0;
}

std::vector<uint64_t> scrs() {
    std::vector<uint64_t> out;
    for (const Handed& h : handed) out.push_back(h.scr);
    return out;
}

class Demux : public DiskTest {
protected:
    void SetUp() override {
        handed.clear();
        pid_of.clear();
        repacked.clear();
        fail_at_call = 0;
        interrupt_at_call = 0;
    }
    void TearDown() override {
        qv_interrupted = 0;
        close_recording_file(reader_);
        free_demux_table(table_);
        DiskTest::TearDown();
    }
    // Stores ts as the disk's only recording and opens a reader on it.
    void open(const Bytes& ts, uint32_t clusters = 4) {
        close_recording_file(reader_);
        free_demux_table(table_);
        ImageBuilder img(clusters);
        img.add_recording("Rec", ts);
        ASSERT_NO_FATAL_FAILURE(mount(img, 1));
        reader_ = open_recording_file(0, capture_progress);
        ASSERT_NE(reader_, nullptr) << qv_error;
        table_ = new_demux_table();
        ASSERT_NE(table_, nullptr);
        clear_capture();
    }
    void attach(uint32_t pid, int32_t repack_size = 0) {
        ASSERT_EQ(demux_set(table_, pid, record_out, nullptr, repack_size, repack_size ? record_repack : nullptr), 0);
        pid_of[table_->slot[pid]] = pid;
    }
    int run() { return demux_loop(table_, reader_); }
    // Opens, attaches the video PID, runs; expects a completed run.
    void run_video(const Stream& s) {
        open(s.ts);
        attach(kVideo);
        ASSERT_EQ(run(), 0);
    }
    std::vector<Bytes> video_pes() const {
        std::vector<Bytes> out;
        for (const Handed& h : handed) out.push_back(h.bytes);
        return out;
    }
    static demux_counts counts() { return *last_demux_counts(); }
    static demux_counts expected(int64_t packets, int64_t scrambled, int64_t out_of_sequence) {
        return demux_counts{packets, scrambled, out_of_sequence, 0};
    }
    recording_reader* reader_ = nullptr;
    demux_table* table_ = nullptr;
};

// PES collection.
//   | packets (video PID unless noted)                    | handed to out_fn                  |
//   | 0: continuation cc 0 before any start               | dropped                           |
//   | 1: start cc 1 (nothing collected before it)         | no call                           |
//   | 2, 3: continuations; 4: audio start (attached)      | audio collected apart             |
//   | 5: PID 0x1FF start (not attached)                   | ignored                           |
//   | 6: start cc 4                                       | PES of 1, 2, 3 with its scr       |
//   | 7: continuation, then the end                       | the audio PES, then the video PES |
//   |                                                     | of 6, 7: in the order they began  |
TEST_F(Demux, CollectsPesPacketsAcrossTransportPackets) {
    Stream s;
    s.add({kVideo, 0, false, true, 0, -1, false, -1, 0x10});
    size_t a = s.add({kVideo, 1, true, true, 0, -1, false, -1, 0x11});
    size_t b = s.add({kVideo, 2, false, true, 0, -1, false, -1, 0x12});
    size_t c = s.add({kVideo, 3, false, true, 0, 20, false, -1, 0x13});   // shorter payload
    size_t d = s.add({kAudio, 7, true, true, 0, -1, false, -1, 0x20});
    s.add({kOther, 0, true});
    size_t e = s.add({kVideo, 4, true, true, 0, -1, false, -1, 0x14});
    size_t f = s.add({kVideo, 5, false});
    open(s.ts);
    attach(kVideo);
    attach(kAudio);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(handed, (std::vector<Handed>{{kVideo, s.pes({a, b, c}), kPreClockScr},
                                           {kAudio, s.pes({d}), kPreClockScr},
                                           {kVideo, s.pes({e, f}), kPreClockScr}}));
    EXPECT_EQ(handed[0].bytes.size(), 184u + 184 + 163);
    EXPECT_EQ(counts(), expected(8, 0, 0));
    EXPECT_EQ(capture().messages, Messages{kCompleted});
    EXPECT_EQ(capture().percents, std::vector<int>{0});
}

// An empty table.
//   | packets                  | expected                                   |
//   | three starts on PID 0x101| nothing collected, counted for progress,   |
//   | none attached            | only "\rProcessing completed.\n"           |
TEST_F(Demux, EmptyTableReadsEveryPacket) {
    Stream s;
    for (uint32_t cc = 0; cc < 3; ++cc) s.add({kVideo, cc, true});
    open(s.ts);
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(counts(), expected(3, 0, 0));
    EXPECT_EQ(capture().messages, Messages{kCompleted});
}

// Scrambled packets.
//   | packets                                         | expected                                     |
//   | start cc 0, cont cc 1, scrambled cc 2, cont cc 3| PES dropped; next_cc stays 2, so cc 3 counts |
//   | start cc 4, then the end                        | PES of cc 4 handed                           |
//   | closing lines                                   | completed, "1 packets scrambled\n",          |
//   |                                                 | "1 packets out of sequence\n"                |
TEST_F(Demux, ScrambledPacketDropsThePesAndKeepsTheCounter) {
    Stream s;
    s.add({kVideo, 0, true});
    s.add({kVideo, 1});
    s.add({kVideo, 2, false, true, 2});
    s.add({kVideo, 3});
    size_t a = s.add({kVideo, 4, true, true, 0, -1, false, -1, 0x44});
    run_video(s);
    EXPECT_EQ(video_pes(), std::vector<Bytes>{s.pes({a})});
    EXPECT_EQ(counts(), expected(5, 1, 1));
    EXPECT_EQ(capture().messages,
              (Messages{kCompleted, "1 packets scrambled\n", "1 packets out of sequence\n"}));
}

// Gaps in the counters.
//   | packets                                          | expected                                 |
//   | start cc 0, cont cc 1, cont cc 3 (gap)           | counted; PES and the packet dropped      |
//   | cont cc 4                                        | dropped (nothing collected)              |
//   | start cc 7 (gap on a start)                      | counted, dropped itself                  |
//   | start cc 8, cont cc 9, then the end              | PES of cc 8, 9 handed                    |
TEST_F(Demux, CounterGapDropsPesAndPacket) {
    Stream s;
    s.add({kVideo, 0, true});
    s.add({kVideo, 1});
    s.add({kVideo, 3});
    s.add({kVideo, 4});
    s.add({kVideo, 7, true});
    size_t a = s.add({kVideo, 8, true, true, 0, -1, false, -1, 0x88});
    size_t b = s.add({kVideo, 9, false, true, 0, -1, false, -1, 0x99});
    run_video(s);
    EXPECT_EQ(video_pes(), std::vector<Bytes>{s.pes({a, b})});
    EXPECT_EQ(counts(), expected(7, 0, 2));
    EXPECT_EQ(capture().messages, (Messages{kCompleted, "2 packets out of sequence\n"}));
}

// Packets without payload (PCR-only packets on the video PID).
//   | packets                                                  | expected                    |
//   | start cc 0, adaptation-only cc 0 with a PCR, cont cc 1   | not checked, counter kept   |
//   | adaptation-only cc 9, cont cc 2                          | not checked either          |
//   | cc 5 with payload bit and adaptation_field_length 200    | no payload: ignored         |
//   | start cc 3                                               | PES of 0, 1, 2 whole, then  |
//   |                                                          | the PES of 3 at the end     |
TEST_F(Demux, PacketsWithoutPayloadKeepTheCounter) {
    Stream s;
    size_t a = s.add({kVideo, 0, true});
    s.add({kVideo, 0, false, false, 0, -1, false, 27000000});
    size_t b = s.add({kVideo, 1, false, true, 0, -1, false, -1, 0x01});
    s.add({kVideo, 9, false, false});
    size_t c = s.add({kVideo, 2, false, true, 0, -1, false, -1, 0x02});
    s.add({kVideo, 5, false, true, 0, 200});
    size_t d = s.add({kVideo, 3, true});
    run_video(s);
    EXPECT_EQ(video_pes(), (std::vector<Bytes>{s.pes({a, b, c}), s.pes({d})}));
    EXPECT_EQ(counts(), expected(7, 0, 0));
    EXPECT_EQ(capture().messages, Messages{kCompleted});
}

// Duplicate packets.
//   | packets                                              | expected                             |
//   | start cc 0, cont cc 1, cont cc 1 again, cont cc 2    | the repeat dropped silently, PES kept|
//   | start cc 3, cont cc 4, cc 4, cc 4 (two repeats)      | second repeat counted, PES dropped   |
//   | start cc 5, then the end                             | PES of cc 5 handed                   |
TEST_F(Demux, OneDuplicateIsDroppedTwoAreOutOfSequence) {
    Stream s;
    size_t a = s.add({kVideo, 0, true, true, 0, -1, false, -1, 0x00});
    size_t b = s.add({kVideo, 1, false, true, 0, -1, false, -1, 0x01});
    s.add({kVideo, 1, false, true, 0, -1, false, -1, 0x01});
    size_t c = s.add({kVideo, 2, false, true, 0, -1, false, -1, 0x02});
    s.add({kVideo, 3, true});
    s.add({kVideo, 4});
    s.add({kVideo, 4});
    s.add({kVideo, 4});
    size_t d = s.add({kVideo, 5, true, true, 0, -1, false, -1, 0x05});
    run_video(s);
    EXPECT_EQ(video_pes(), (std::vector<Bytes>{s.pes({a, b, c}), s.pes({d})}));
    EXPECT_EQ(counts(), expected(9, 0, 1));
    EXPECT_EQ(capture().messages, (Messages{kCompleted, "1 packets out of sequence\n"}));
}

// The discontinuity_indicator.
//   | packets                                               | expected                  |
//   | start cc 0, cont cc 1, cont cc 7 with discontinuity   | accepted, PES kept        |
//   | cont cc 8, then the end                               | PES of 0, 1, 7, 8 handed  |
TEST_F(Demux, DiscontinuityIndicatorAcceptsAnyCounter) {
    Stream s;
    size_t a = s.add({kVideo, 0, true});
    size_t b = s.add({kVideo, 1, false, true, 0, -1, false, -1, 0x01});
    size_t c = s.add({kVideo, 7, false, true, 0, -1, true, -1, 0x07});
    size_t d = s.add({kVideo, 8, false, true, 0, -1, false, -1, 0x08});
    run_video(s);
    EXPECT_EQ(video_pes(), std::vector<Bytes>{s.pes({a, b, c, d})});
    EXPECT_EQ(counts(), expected(4, 0, 0));
}

// The largest PES packet.
//   | packets                                                   | expected                         |
//   | start with 144 payload bytes, 5698 full continuations     | exactly 1048576 bytes: accepted  |
//   | continuation with 1 payload byte, another one             | "\nPacket too long!\n" each time |
//   | the end                                                   | the 1048576 bytes handed         |
TEST_F(Demux, PacketTooLongBeyondOneMebibyte) {
    Stream s;
    uint32_t cc = 0;
    s.add({kVideo, cc++, true, true, 0, 39});
    for (int i = 0; i < 5698; ++i) s.add({kVideo, cc++ & 15, false, true, 0, -1, false, -1, uint8_t(i)});
    s.add({kVideo, cc++ & 15, false, true, 0, 182});
    s.add({kVideo, cc++ & 15, false, true, 0, 182});
    run_video(s);
    ASSERT_EQ(handed.size(), 1u);
    Bytes want;
    for (size_t i = 0; i <= 5698; ++i) want.insert(want.end(), s.payloads[i].begin(), s.payloads[i].end());
    EXPECT_EQ(want.size(), 1048576u);
    EXPECT_EQ(handed[0].bytes, want);
    EXPECT_EQ(capture().messages, (Messages{"\nPacket too long!\n", "\nPacket too long!\n", kCompleted}));
}

// Splitting at repack_size 368.
//   | packets                            | expected                                          |
//   | start, cont (368 bytes exactly)    | no split yet                                      |
//   | cont                               | split fn sees 368 bytes, keeps 9, 184 appended    |
//   | the end                            | out_fn gets the 9 kept bytes and the 184          |
TEST_F(Demux, SplitsOnlyBeyondTheRepackSize) {
    Stream s;
    size_t a = s.add({kVideo, 0, true});
    size_t b = s.add({kVideo, 1, false, true, 0, -1, false, -1, 0x01});
    size_t c = s.add({kVideo, 2, false, true, 0, -1, false, -1, 0x02});
    open(s.ts);
    attach(kVideo, 368);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(repacked, std::vector<Bytes>{s.pes({a, b})});
    Bytes last(s.payloads[a].begin(), s.payloads[a].begin() + 9);
    last.insert(last.end(), s.payloads[c].begin(), s.payloads[c].end());
    EXPECT_EQ(video_pes(), std::vector<Bytes>{last});
}

// The bit rate and the clock estimate from the PCRs (PCRs on the unattached
// PID 0x1FF; every video packet starts a PES, so out_fn sees each estimate).
//   | packet | content                                 | scr seen by out_fn                  |
//   | 1, 2   | starts before any PCR                   | 2: 4398037871104 (2^42 - 8640000)   |
//   | -      | PCR flag in a 1-byte adaptation field,  | no effect: the "PCR" bytes are      |
//   |        | 99000000 in the payload behind it;start | payload; 4398037871104 still        |
//   | 3      | PCR 27000000                            |                                     |
//   | 4      | start, one PCR: no rate yet             | 27000000 - 8640000                  |
//   | 5      | PCR 27030080: rate 2 x 1504 / 30080     |                                     |
//   | 6, 7   | starts 1 and 2 packets later            | + 1504/(0.1 x 1.05) = 14323, 28647  |
//   | 8      | PCR 27020000, lower: restart, rate kept |                                     |
//   | 9      | start: 27034323 is behind               | held at packet 7's value            |
//   | 10     | PCR 27080160: rate 0.05                 |                                     |
//   | 11     | start                                   | 27080160 + 28647                    |
//   | 12     | PCR 270000000 with discontinuity        | restart, rate 0.05 kept             |
//   | 13, 14 | starts                                  | 270000000 + 28647, + 57295          |
//   | 15     | continuation, then the end              | 270000000 + 85942                   |
TEST_F(Demux, ClockEstimateFromPcrs) {
    Stream s;
    uint32_t cc = 0;
    auto start = [&] { s.add({kVideo, cc++, true}); };
    auto pcr = [&](int64_t value, bool discontinuity = false) {
        s.add({kOther, 0, false, false, 0, -1, discontinuity, value});
    };
    start();
    start();
    s.add({kOther, 0, false, true, 0, 1, false, 99000000});
    start();
    pcr(27000000);
    start();
    pcr(27030080);
    start();
    start();
    pcr(27020000);
    start();
    pcr(27080160);
    start();
    pcr(270000000, true);
    start();
    start();
    s.add({kVideo, cc++, false});
    run_video(s);
    const uint64_t lead = 8640000;
    EXPECT_EQ(scrs(), (std::vector<uint64_t>{kPreClockScr, kPreClockScr, 27000000 - lead, 27030080 + 14323 - lead,
                                             27030080 + 28647 - lead, 27030080 + 28647 - lead,
                                             27080160 + 28647 - lead, 270000000 + 28647 - lead,
                                             270000000 + 57295 - lead, 270000000 + 85942 - lead}));
}

// The end of the recording (PCRs on PID 0x1FF): 1 PCR 27000000, 2 video
// start V1, 3 PCR 27030080 (0.1 bit per tick), 4 video start V2, 5 audio
// start A1, 6 video and 7 audio continuation.
//   | stop                                | handed                                                |
//   | none                                | V1 at packet 4, then V2 (4, 6) and A1 (5, 7), in the  |
//   |                                     | order they began, at packet 7's estimate: 27030080 +  |
//   |                                     | 4 x 1504 / 0.105 = 27087375, less the lead            |
//   | out_fn fails on V1                  | V1 only, result 1, the failure's message              |
//   | the user interrupts after V1        | V1 only, result 1, "Interrupted, ..."                 |
TEST_F(Demux, PacketsStillCollectedAreHandedOverAtTheEnd) {
    Stream s;
    s.add({kOther, 0, false, false, 0, -1, false, 27000000});
    size_t v1 = s.add({kVideo, 0, true, true, 0, -1, false, -1, 0x01});
    s.add({kOther, 1, false, false, 0, -1, false, 27030080});
    size_t v2 = s.add({kVideo, 1, true, true, 0, -1, false, -1, 0x02});
    size_t a1 = s.add({kAudio, 0, true, true, 0, -1, false, -1, 0x03});
    size_t v2b = s.add({kVideo, 2, false, true, 0, -1, false, -1, 0x04});
    size_t a1b = s.add({kAudio, 1, false, true, 0, -1, false, -1, 0x05});
    const uint64_t lead = 8640000;
    const Handed first = {kVideo, s.pes({v1}), 27030080 + 14323 - lead};
    const struct {
        int fail_at, interrupt_at;
        std::vector<Handed> handed;
        const char* error;
    } rows[] = {
        {0, 0, {first, {kVideo, s.pes({v2, v2b}), 27087375 - lead}, {kAudio, s.pes({a1, a1b}), 27087375 - lead}},
         nullptr},
        {1, 0, {first}, kWriteFailed},
        {0, 1, {first}, kInterruptedMessage},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error ? row.error : "to the end");
        ASSERT_NO_FATAL_FAILURE(open(s.ts));
        attach(kVideo);
        attach(kAudio);
        handed.clear();
        fail_at_call = row.fail_at;
        interrupt_at_call = row.interrupt_at;
        EXPECT_EQ(run(), row.error ? 1 : 0);
        qv_interrupted = 0;
        EXPECT_EQ(handed, row.handed);
        EXPECT_STREQ(qv_error, row.error ? row.error : kCompleted);
    }
}

// Progress.
//   | recording                                          | percentages           |
//   | one 1 MiB cluster full of packets: 5576 of 5577    | 0 to 99, each once    |
//   | the same entry with num_clusters 0                 | 100 once              |
TEST_F(Demux, ProgressPercentages) {
    Stream s;
    for (uint32_t i = 0; i < 5576; ++i) s.add({kOther, i & 15});
    open(s.ts);
    ASSERT_EQ(qv->recordings[0].num_clusters, 1u);
    ASSERT_EQ(run(), 0);
    std::vector<int> all;
    for (int i = 0; i < 100; ++i) all.push_back(i);
    EXPECT_EQ(capture().percents, all);
    EXPECT_EQ(counts().packets, 5576);

    close_recording_file(reader_);
    qv->recordings[0].num_clusters = 0;
    reader_ = open_recording_file(0, capture_progress);
    ASSERT_NE(reader_, nullptr);
    clear_capture();
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(capture().percents, std::vector<int>{100});
}

// Failures end the loop without "Processing completed.".
//   | case                                    | expected                                              |
//   | out_fn fails on its first call          | loop left at once, result 1, error kept in qv_error,  |
//   |  (after a counter gap)                  | counts still shown, nothing handed over at the end    |
TEST_F(Demux, OutputFailureStopsTheLoop) {
    Stream s;
    s.add({kVideo, 0, true});
    s.add({kVideo, 2});
    s.add({kVideo, 3, true});
    s.add({kVideo, 4});
    s.add({kVideo, 5, true});
    open(s.ts);
    attach(kVideo);
    fail_at_call = 1;
    EXPECT_EQ(run(), 1);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, Messages{"1 packets out of sequence\n"});
    EXPECT_EQ(handed.size(), 1u);
    EXPECT_EQ(counts().packets, 5);
}

// Packets lost to an unreadable sector (disk sector 4098: recording bytes
// 1024 to 1535, packets 4 to 7) break the continuity of every stream and
// still count for the clock.
//   | packet | content                                   | expected                                  |
//   | 0      | PCR 27000000 on PID 0x1FF                 |                                           |
//   | 1-3    | video start cc 0, continuations cc 1, 2   | dropped with the gap, never handed        |
//   | 4-7    | unreadable                                | left out                                  |
//   | 8      | video continuation cc 9                   | taken as the PID's first: no out of seq.  |
//   | 9      | PCR 27135360: 9 packets since the first   | rate 9 x 1504 / 135360 = 0.1              |
//   | 10-12  | video start cc 10, cont cc 11, start cc 12| PES of 10, 11 with 27135360 + 42971 - lead|
//   | 13, 14 | continuations cc 13, 14                   | PES of 12 to 14 cut short by the loss at  |
//   | 15-17  | unreadable (disk sector 4102), the end    | the end: not handed over                  |
//   | end    | no "Processing completed."                | result 1, "1024 bytes could not be read; 7|
//   |        |                                           | packets were lost\n", 11 packets counted  |
TEST_F(Demux, LostPacketsBreakTheContinuityAndCountForTheClock) {
    Stream s;
    s.add({kOther, 0, false, false, 0, -1, false, 27000000});
    s.add({kVideo, 0, true});
    s.add({kVideo, 1});
    s.add({kVideo, 2});
    for (uint32_t cc = 3; cc < 7; ++cc) s.add({kVideo, cc, cc == 5});
    s.add({kVideo, 9});
    s.add({kOther, 1, false, false, 0, -1, false, 27135360});
    size_t a = s.add({kVideo, 10, true, true, 0, -1, false, -1, 0x10});
    size_t b = s.add({kVideo, 11, false, true, 0, -1, false, -1, 0x11});
    for (uint32_t cc = 12; cc < 18; ++cc) s.add({kVideo, cc, cc == 12});
    disk_.fail_sectors(4098, 1);
    disk_.fail_sectors(4102, 1);
    open(s.ts);
    attach(kVideo);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(handed, (std::vector<Handed>{{kVideo, s.pes({a, b}), 27135360 + 42971 - 8640000}}));
    EXPECT_EQ(counts(), expected(11, 0, 0));
    EXPECT_STREQ(qv_error, "1024 bytes could not be read; 7 packets were lost\n");
    EXPECT_EQ(capture().messages, Messages{});   // shown while the reader was opened
}

// The demux table.
//   | call                                    | expected                                        |
//   | demux_set on PID 8192                   | 1, message, slot 8191 and all others untouched  |
//   | split size 100 (no room for a packet)   | 1, message                                      |
//   | demux_set twice on PID 0x101            | the second record in the slot (the first freed: |
//   |                                         | the leak checker would see it)                  |
//   | PID 8191                                | accepted                                        |
TEST(DemuxTable, AttachRules) {
    demux_table* table = new_demux_table();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(demux_set(table, 8192, record_out, nullptr, 0, nullptr), 1);
    EXPECT_STREQ(qv_error, "PID 8192 is not a transport stream PID (0 to 8191)\n");
    EXPECT_EQ(demux_set(table, kVideo, record_out, nullptr, 100, record_repack), 1);
    EXPECT_STREQ(qv_error, "Split size 100 not supported: use 0 or a size from 193 to 1048576\n");
    for (uint32_t pid = 0; pid < kPidCount; ++pid) ASSERT_EQ(table->slot[pid], nullptr);

    ASSERT_EQ(demux_set(table, kVideo, record_out, nullptr, 0, nullptr), 0);
    ASSERT_EQ(demux_set(table, kVideo, record_out, stdout, 2034, record_repack), 0);
    const demux_stream* s = table->slot[kVideo];
    EXPECT_EQ(s->file, stdout);
    EXPECT_EQ(s->repack_size, 2034);
    EXPECT_EQ(s->next_cc, -1);
    EXPECT_EQ(s->length, 0);
    EXPECT_EQ(s->scr, ~uint64_t(0));
    EXPECT_EQ(demux_set(table, kMaxPid, record_out, nullptr, 193, record_repack), 0);
    free_demux_table(table);
    free_demux_table(nullptr);
}

}  // namespace
