// The transport stream demultiplexer (demux_loop and the demux table) on packets built here, stored
// as a recording on an in-memory disk of 1 MiB clusters. Video PID 0x101 and audio PID 0x102 are
// attached; their functions record what they see and leave a message, as the writers do.
#include <tuple>
#include "support/fixture.h"
namespace {

constexpr uint32_t kVideo = 0x101;
constexpr uint32_t kAudio = 0x102;
constexpr uint32_t kClock = 0x1FF;  // never attached: the PCRs ride on it
// A packet's flags.
constexpr int kStart = 1;          // payload unit start, with a PES header
constexpr int kNoPayload = 2;      // adaptation field only
constexpr int kScrambled = 4;      // transport scrambling control set
constexpr int kDiscontinuity = 8;  // the adaptation field's discontinuity indicator
constexpr uint64_t kLead = 8640000;
constexpr uint64_t kPre = 4398037871104;  // before any PCR: 2^42 - 8640000

// n packets with counters from cc on; field: adaptation_field_length, -1 as the flags need (none,
// 183, 7, 1).
struct Packet {
    uint32_t pid;
    uint32_t cc;
    int flags = 0;
    int64_t pcr = -1;
    int field = -1;
    size_t n = 1;
    Packet with_field(int length) const {
        Packet p = *this;
        p.field = length;
        return p;
    }
    Packet times(size_t count) const {
        Packet p = *this;
        p.n = count;
        return p;
    }
};
Packet video(uint32_t cc, int flags = 0) { return {kVideo, cc, flags}; }
Packet audio(uint32_t cc, int flags = 0) { return {kAudio, cc, flags}; }
// A packet with a PCR (-1: none), by default on kClock.
Packet clock(uint32_t cc, int64_t pcr, int flags = kNoPayload, uint32_t pid = kClock) {
    return {pid, cc, flags, pcr};
}

// The bytes of packet k of a row (its payload bytes are k x 13 + 1) and its payload.
int field_length(const Packet& p) {
    if (p.field >= 0) return p.field;
    if (p.flags & kNoPayload) return 183;
    if (p.pcr >= 0) return 7;
    return (p.flags & kDiscontinuity) ? 1 : -1;
}
Bytes packet_bytes(const Packet& p, size_t k, Bytes* payload) {
    Bytes b(kTsPacketSize, uint8_t(k * 13 + 1));
    const int af = field_length(p);
    b[0] = 0x47;
    b[1] = uint8_t((p.flags & kStart ? 0x40 : 0) | p.pid >> 8);
    b[2] = uint8_t(p.pid);
    b[3] = uint8_t((p.flags & kScrambled ? 0x80 : 0) | (af >= 0 ? 0x20 : 0) |
                   (p.flags & kNoPayload ? 0 : 0x10) | (p.cc & 15));
    size_t at = 4;
    if (af >= 0) {
        b[4] = uint8_t(af);
        at = std::min<size_t>(5 + size_t(af), kTsPacketSize);
        std::fill(b.begin() + 5, b.begin() + long(at), 0xFF);
        if (af >= 1)
            b[5] = uint8_t((p.flags & kDiscontinuity ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
    }
    if (p.pcr >= 0) {  // behind a field shorter than 7 bytes these lie in the payload
        const uint64_t base = uint64_t(p.pcr) / 300;
        const uint64_t ext = uint64_t(p.pcr) % 300;
        put_be32(&b[6], uint32_t(base >> 1));
        b[10] = uint8_t((base & 1) << 7 | 0x7E | ext >> 8);
        b[11] = uint8_t(ext);
    }
    const uint8_t pes[9] = {0, 0, 1, uint8_t(p.pid == kAudio ? 0xC0 : 0xE0), 0, 0, 0x80, 0, 0};
    if (p.flags & kStart) std::copy(pes, pes + 9, b.begin() + long(at));
    *payload = (p.flags & kNoPayload) ? Bytes() : Bytes(b.begin() + long(at), b.end());
    return b;
}

// What a function saw: 'O' (out_fn) or 'R' (the split function), the PID, the bytes (from .. to of
// the payloads of packets k), the scr.
using Seen = std::tuple<char, uint32_t, Bytes, uint64_t>;
struct Part {
    size_t k;
    size_t from = 0;
    size_t to = kTsPacketSize;
};
struct Event {
    char kind;
    uint32_t pid;
    std::vector<Part> parts;
    uint64_t scr;
};
Event out(uint32_t pid, std::vector<Part> parts, uint64_t scr = kPre) {
    return {'O', pid, parts, scr};
}
Event split_out(std::vector<Part> parts) { return {'R', kVideo, parts, kPre}; }

std::vector<Part> whole(size_t k, size_t n) {
    std::vector<Part> out;
    for (size_t i = k; i < k + n; ++i) out.push_back({i});
    return out;
}
demux_table* table = nullptr;
std::vector<Seen> seen;
int fail_at = 0;      // the call (from 1) that fails; 0 none
int split_keeps = 9;  // the bytes the split function keeps

int record(demux_stream* s, char kind) {
    const uint32_t pid = s == table->slot[kAudio] ? kAudio : kVideo;
    seen.emplace_back(kind, pid, Bytes(s->buffer, s->buffer + s->length), s->scr);
    if (int(seen.size()) == fail_at) qv_set_error("%s", kWriteFailed);
    if (kind == 'R')
        s->length = split_keeps;  // 9: the first 9 bytes, as the program-stream writer's split
    return int(seen.size()) == fail_at;
}
int record_out(demux_stream* s) { return record(s, 'O'); }
int record_split(demux_stream* s) { return record(s, 'R'); }

using Demux = DiskTest;

struct Counts {
    int64_t packets;
    int64_t scrambled = 0;
    int64_t out_of_sequence = 0;
    int64_t bad_sync = 0;
    bool operator==(const Counts&) const = default;
};

// One recording a row: what out_fn and the split function saw, the counts, what was shown (the
// completion and the counts), the result and error; the video's split size, the call that fails,
// the last percentage shown (from 0 on), unreadable sectors, the sectors the disk ends at after
// the opening, zero bytes behind the last packet, the bytes the split keeps.
struct DemuxRow {
    const char* name;
    std::vector<Packet> packets;
    std::vector<Event> seen;
    Counts counts;
    Messages shown = {};
    const char* error = nullptr;  // result 1 with this in qv_error; none: 0 and the last shown
    int32_t repack = 0;
    int fail_at = 0;
    int last_percent = 0;
    std::vector<uint64_t> bad = {};
    int64_t disk_end = 0;
    size_t tail = 0;
    int32_t split_keeps = 9;
};

TEST_F(Demux, Scenarios) {
    const std::vector<Packet> ends({clock(0, 27000000), video(0, kStart), clock(1, 27030080),
                                    video(1, kStart), audio(0, kStart), video(2), audio(1)});
    const std::vector<Packet> split = {video(0, kStart), video(1), video(2)};
    const Event ends_v1 = out(kVideo, {{1}}, 27030080 + 14323 - kLead);
    const uint64_t at_pcr = 27000000 - kLead;
    const std::vector<DemuxRow> rows = {
        {.name = "collection: an unattached PID, a short field",
         .packets = {video(0), video(1, kStart), video(2), video(3).with_field(20),
                     audio(7, kStart), clock(0, -1, kStart), video(4, kStart), video(5)},
         .seen = {out(kVideo, whole(1, 3)), out(kAudio, {{4}}), out(kVideo, whole(6, 2))},
         .counts = {8},
         .shown = {kCompleted}},
        {.name = "scrambled: the first finds nothing, the second drops its packet",
         .packets = {video(0, kStart), video(1), video(2, kScrambled), video(2), video(3, kStart),
                     video(4, kScrambled), video(5), video(6, kStart)},
         .seen = {out(kVideo, {{7}})},
         .counts = {.packets = 8, .scrambled = 2, .out_of_sequence = 1},
         .shown = {kCompleted, "2 packets scrambled\n", "1 packets out of sequence\n"}},
        {.name = "counter gaps, the last one marked a discontinuity",
         .packets = {video(0, kStart), video(1), video(3), video(4), video(7, kStart),
                     video(8, kStart), video(9), video(2, kDiscontinuity)},
         .seen = {out(kVideo, whole(5, 3))},
         .counts = {.packets = 8, .out_of_sequence = 2},
         .shown = {kCompleted, "2 packets out of sequence\n"}},
        {.name = "a duplicate, a wrap: cc 14 15 15 0 .. 2 2 2 3",
         .packets = {video(14, kStart), video(15), video(15), video(0), video(1, kStart), video(2),
                     video(2), video(2), video(3, kStart)},
         .seen = {out(kVideo, {{0}, {1}, {3}}), out(kVideo, {{8}})},
         .counts = {.packets = 9, .out_of_sequence = 1},
         .shown = {kCompleted, "1 packets out of sequence\n"}},
        {.name = "no payload, too long a field",
         .packets = {video(0, kStart), clock(0, 27000000, kNoPayload, kVideo), video(1),
                     video(9, kNoPayload), video(2), video(5).with_field(200), video(3, kStart)},
         .seen = {out(kVideo, {{0}, {2}, {4}}, at_pcr), out(kVideo, {{6}}, at_pcr)},
         .counts = {7},
         .shown = {kCompleted}},
        {.name = "too long: 5699 packets, then two more",
         .packets = {video(0, kStart).with_field(39), video(1).times(5698),
                     video(5699).with_field(182).times(2)},
         .seen = {out(kVideo, whole(0, 5699))},
         .counts = {5701},
         .shown = {"\nPacket too long!\n", "\nPacket too long!\n", kCompleted},
         .last_percent = 51},
        {.name = "split at 368",
         .packets = {video(0, kStart), video(1), video(2, kStart), video(3), video(4)},
         .seen = {out(kVideo, whole(0, 2)), split_out(whole(2, 2)), out(kVideo, {{2, 0, 9}, {4}})},
         .counts = {5},
         .shown = {kCompleted},
         .repack = 368},
        {.name = "split at 193",
         .packets = split,
         .seen = {split_out({{0}, {1, 0, 9}}), split_out({{0, 0, 9}, {1, 9}, {2, 0, 9}}),
                  out(kVideo, {{0, 0, 9}, {2, 9}})},
         .counts = {3},
         .shown = {kCompleted},
         .repack = 193},
        {.name = "a split that keeps more than leaves room loses the PES packet and goes on",
         .packets = split,
         .seen = {split_out({{0}, {1, 0, 9}})},
         .counts = {3},
         .shown = {kCompleted},
         .repack = 193,
         .split_keeps = 193},
        {.name = "the split fails",
         .packets = split,
         .seen = {split_out({{0}, {1, 0, 9}})},
         .counts = {2},
         .error = kWriteFailed,
         .repack = 193,
         .fail_at = 1},
        // 2: the PCR flag of a 6-byte adaptation field is no PCR. 6: 2 x 1504 bits in 30080 ticks,
        // the estimate 1504 / (0.1 x 1.05) = 14323 ticks a packet. 9: a lower PCR starts again, 10
        // stays at 8's estimate. 11: 0.05 bit a tick. 13: a discontinuity starts again at
        // 270000000.
        {.name = "the clock",
         .packets = {video(0, kStart), video(1, kStart), clock(0, 99000000, 0).with_field(6),
                     video(2, kStart), clock(1, 27000000), video(3, kStart), clock(2, 27030080),
                     video(4, kStart), video(5, kStart), clock(3, 27020000), video(6, kStart),
                     clock(4, 27080160), video(7, kStart),
                     clock(5, 270000000, kNoPayload | kDiscontinuity), video(8, kStart),
                     video(9, kStart), video(10)},
         .seen = {out(kVideo, {{0}}), out(kVideo, {{1}}), out(kVideo, {{3}}, at_pcr),
                  out(kVideo, {{5}}, 27030080 + 14323 - kLead),
                  out(kVideo, {{7}}, 27030080 + 28647 - kLead),
                  out(kVideo, {{8}}, 27030080 + 28647 - kLead),
                  out(kVideo, {{10}}, 27080160 + 28647 - kLead),
                  out(kVideo, {{12}}, 270000000 + 28647 - kLead),
                  out(kVideo, {{14}}, 270000000 + 57295 - kLead),
                  out(kVideo, whole(15, 2), 270000000 + 85942 - kLead)},
         .counts = {17},
         .shown = {kCompleted}},
        {.name = "the end: the last PES packets written at the end",
         .packets = ends,
         .seen = {ends_v1, out(kVideo, {{3}, {5}}, 27087375 - kLead),
                  out(kAudio, {{4}, {6}}, 27087375 - kLead)},
         .counts = {7},
         .shown = {kCompleted}},
        {.name = "out_fn fails, a count is shown, the failure is reported with its own reason",
         .packets = {video(0, kStart), video(2), video(3, kStart), video(4), video(5, kStart)},
         .seen = {out(kVideo, whole(2, 2))},
         .counts = {.packets = 5, .out_of_sequence = 1},
         .shown = {"1 packets out of sequence\n"},
         .error = kWriteFailed,
         .fail_at = 1},
        {.name = "writing fails at the end",
         .packets = ends,
         .seen = {ends_v1, out(kVideo, {{3}, {5}}, 27087375 - kLead)},
         .counts = {7},
         .error = kWriteFailed,
         .fail_at = 2},
        {.name = "lost packets (9 x 1504 bits in 135360 ticks)",
         .packets = {clock(0, 27000000), video(0, kStart), video(1).times(6), video(9),
                     clock(1, 27135360), video(10, kStart), video(11), video(12, kStart),
                     video(13).times(5)},
         .seen = {out(kVideo, whole(10, 2), 27135360 + 42971 - kLead)},
         .counts = {11},
         .shown = {"Rec: 0.00 s lost at 0:00:00 (1024 bytes unreadable in 2 areas from position "
                   "2098176)\n"},
         .error =
             "1024 bytes could not be read; 7 packets were lost: 0.00 s in 1 place of 0:00:00\n",
         .bad = {4098, 4102}},
        {.name = "a read error: the disk ends behind cluster 1",
         .packets = {video(0, kStart), video(1).times(5599)},
         .seen = {out(kVideo, whole(0, 5576))},
         .counts = {5576},
         .error = "Attempt to read after end of disk!\n",
         .last_percent = 49,
         .disk_end = 3 * 2048},
        {.name = "an unreadable tail: 10 bytes lost, no packet",
         .packets = {video(0, kStart), video(1)},
         .seen = {out(kVideo, whole(0, 2))},
         .counts = {2},
         .shown = {"Rec: lost at 99 % (10 bytes unreadable at position 2098176)\n"},
         .error = "10 bytes could not be read; 0 packets were lost in 1 place\n",
         .bad = {4098},
         .tail = 446},
    };
    for (const DemuxRow& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes ts;
        std::vector<Bytes> payloads;
        for (const Packet& p : row.packets)
            for (size_t i = 0; i < p.n; ++i) {
                payloads.emplace_back();
                Packet one = p;
                one.cc = p.cc + uint32_t(i);
                append(ts, packet_bytes(one, payloads.size() - 1, &payloads.back()));
            }
        std::vector<Seen> want;
        for (const Event& e : row.seen) {
            Bytes bytes;
            for (const Part& p : e.parts)
                for (size_t i = p.from; i < std::min(p.to, payloads[p.k].size()); ++i)
                    bytes.push_back(payloads[p.k][i]);
            want.emplace_back(e.kind, e.pid, bytes, e.scr);
        }
        ImageBuilder img(4);
        ts.resize(ts.size() + row.tail);
        img.add_recording("Rec", ts);
        disk_.bad.clear();
        for (uint64_t sector : row.bad) disk_.fail_sectors(sector, 1);
        ASSERT_NO_FATAL_FAILURE(mount(img, 1));
        if (row.disk_end) qv->disk_sectors = row.disk_end;
        // Scraped before (as the file system's reads are): the reader then meets exactly the bad
        // sectors, not the untrimmed middle between them.
        bad_sectors scraped;
        if (!row.bad.empty()) qv_read_cluster_salvage(1, cluster_buffer, &scraped, kEffortScrape);
        recording_reader* reader = open_recording_file(0, capture_progress);
        ASSERT_NE(reader, nullptr) << qv_error;
        table = new_demux_table();
        demux_fn split_fn = row.repack ? record_split : nullptr;
        ASSERT_EQ(demux_set(table, kVideo, record_out, nullptr, row.repack, split_fn), 0);
        ASSERT_EQ(demux_set(table, kAudio, record_out, nullptr, 0, nullptr), 0);
        seen.clear();
        fail_at = row.fail_at;
        split_keeps = row.split_keeps;
        clear_capture();
        EXPECT_EQ(demux_loop(table, reader), row.error ? 1 : 0);
        if (row.error) {
            EXPECT_STREQ(qv_error, row.error);
        }
        EXPECT_EQ(seen, want);
        const demux_counts* c = last_demux_counts();
        EXPECT_EQ((Counts{c->packets, c->scrambled, c->out_of_sequence, c->bad_sync}), row.counts);
        EXPECT_EQ(capture().messages, row.shown);
        EXPECT_EQ(capture().percents.size(), size_t(row.last_percent + 1));
        for (size_t p = 0; p < capture().percents.size(); ++p)
            EXPECT_EQ(capture().percents[p], int(p));
        free_demux_table(table);
        close_recording_file(reader);
    }
}
}  // namespace
