// The transport stream demultiplexer (demux_loop and the demux table) on packets built here, stored
// as a recording on an in-memory disk of 1 MiB clusters. Video PID 0x101 and audio PID 0x102 are
// attached; their functions record what they see and leave a message, as the writers do.
#include <tuple>
#include "support/fixture.h"
namespace {

constexpr uint32_t V = 0x101, A = 0x102, O = 0x1FF;  // O is never attached
constexpr int S = 1, N = 2, X = 4,
              D = 8;  // unit start (with a PES header), no payload, scrambled, discontinuity
constexpr uint64_t kLead = 8640000;
constexpr uint64_t kPre = 4398037871104;  // before any PCR: 2^42 - 8640000

// n packets with counters from cc on; adaptation_field_length af -1: as the flags need (none, 183,
// 7, 1).
struct Packet {
    uint32_t pid, cc;
    int flags = 0;
    int64_t pcr = -1;
    int af = -1;
    size_t n = 1;
};

// The bytes of packet k of a row (its payload bytes are k x 13 + 1) and its payload.
Bytes packet_bytes(const Packet& p, size_t k, Bytes* payload) {
    Bytes b(kTsPacketSize, uint8_t(k * 13 + 1));
    int af = p.af >= 0 ? p.af : (p.flags & N) ? 183 : p.pcr >= 0 ? 7 : (p.flags & D) ? 1 : -1;
    b[0] = 0x47;
    b[1] = uint8_t((p.flags & S ? 0x40 : 0) | p.pid >> 8);
    b[2] = uint8_t(p.pid);
    b[3] = uint8_t((p.flags & X ? 0x80 : 0) | (af >= 0 ? 0x20 : 0) | (p.flags & N ? 0 : 0x10) |
                   (p.cc & 15));
    size_t at = 4;
    if (af >= 0) {
        b[4] = uint8_t(af);
        at = std::min<size_t>(5 + size_t(af), kTsPacketSize);
        std::fill(b.begin() + 5, b.begin() + long(at), 0xFF);
        if (af >= 1) b[5] = uint8_t((p.flags & D ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
    }
    if (p.pcr >= 0) {  // behind a field shorter than 7 bytes these lie in the payload
        uint64_t base = uint64_t(p.pcr) / 300, ext = uint64_t(p.pcr) % 300;
        const uint8_t f[6] = {uint8_t(base >> 25),
                              uint8_t(base >> 17),
                              uint8_t(base >> 9),
                              uint8_t(base >> 1),
                              uint8_t((base & 1) << 7 | 0x7E | ext >> 8),
                              uint8_t(ext)};
        std::copy(f, f + 6, b.begin() + 6);
    }
    const uint8_t pes[9] = {0, 0, 1, uint8_t(p.pid == A ? 0xC0 : 0xE0), 0, 0, 0x80, 0, 0};
    if (p.flags & S) std::copy(pes, pes + 9, b.begin() + long(at));
    *payload = (p.flags & N) ? Bytes() : Bytes(b.begin() + long(at), b.end());
    return b;
}

// What a function saw: O (out_fn) or R (the split function), the PID, the bytes (from .. to of the
// payloads of packets k), the scr.
using Seen = std::tuple<char, uint32_t, Bytes, uint64_t>;
struct Part {
    size_t k, from = 0, to = kTsPacketSize;
};
struct Event {
    char kind;
    uint32_t pid;
    std::vector<Part> parts;
    uint64_t scr;
};

std::vector<Part> whole(size_t k, size_t n) {
    std::vector<Part> out;
    for (size_t i = k; i < k + n; ++i) out.push_back({i});
    return out;
}
demux_table* table = nullptr;
std::vector<Seen> seen;
int fail_at = 0;  // the call (from 1) that fails; 0 none

int record(demux_stream* s, char kind) {
    seen.emplace_back(kind, s == table->slot[A] ? A : V, Bytes(s->buffer, s->buffer + s->length),
                      s->scr);
    qv_set_error("%s", int(seen.size()) == fail_at ? kWriteFailed : "seen");
    if (kind == 'R')
        s->length = 9;  // keeps the first 9 bytes, as the program-stream writer's split does
    return int(seen.size()) == fail_at;
}
int record_out(demux_stream* s) { return record(s, 'O'); }
int record_split(demux_stream* s) { return record(s, 'R'); }

using Demux = DiskTest;

// One recording a row (video packets unless A; PCRs on 0x1FF); seen: what out_fn (O) and the split
// function (R) got; counts: packets, scrambled, out of sequence, bad sync; shown: the completion
// and the counts.
//   | collection: an unattached PID, a short field | scrambled: 3 finds nothing, 5 drops 4 |
//   counter gaps   | | duplicate, wrap: cc 14 15 15 0 .. 2 2 2 3     | no payload, too long a field
//   | discontinuity  | | too long: 5699 packets, then two more         | split at 368 and 193;
//   split fails     | clock (below)  | | end: the last PES packets at the end; fails   | out_fn
//   fails                          | lost packets   | | read error: the disk ends behind cluster 1
//   | unreadable tail: 10 bytes lost, no packet              |
TEST_F(Demux, Scenarios) {
    const std::vector<Packet> ends = {
        {O, 0, N, 27000000}, {V, 0, S}, {O, 1, N, 27030080}, {V, 1, S}, {A, 0, S}, {V, 2}, {A, 1}};
    const std::vector<Packet> split = {{V, 0, S}, {V, 1}, {V, 2}};
    const Event ends_v1 = {'O', V, {{1}}, 27030080 + 14323 - kLead};
    const struct Row {
        const char* name;
        std::vector<Packet> packets;
        std::vector<Event> seen;
        std::vector<int64_t> counts;
        Messages shown;
        const char* error = nullptr;  // result 1 with this in qv_error; none: 0
        int32_t repack = 0;
        int fail_at = 0, last_percent = 0;  // the video's split size; percentages 0 to last
        std::vector<uint64_t> bad = {};
        int64_t disk_end = 0;  // unreadable sectors; sectors left after opening
        size_t tail = 0;       // zero bytes behind the last packet
    } rows[] = {
        {"collection",
         {{V, 0}, {V, 1, S}, {V, 2}, {V, 3, 0, -1, 20}, {A, 7, S}, {O, 0, S}, {V, 4, S}, {V, 5}},
         {{'O', V, whole(1, 3), kPre}, {'O', A, {{4}}, kPre}, {'O', V, whole(6, 2), kPre}},
         {8, 0, 0, 0},
         {kCompleted}},
        {"scrambled",
         {{V, 0, S}, {V, 1}, {V, 2, X}, {V, 2}, {V, 3, S}, {V, 4, X}, {V, 5}, {V, 6, S}},
         {{'O', V, {{7}}, kPre}},
         {8, 2, 1, 0},
         {kCompleted, "2 packets scrambled\n", "1 packets out of sequence\n"}},
        {"counter gaps",
         {{V, 0, S}, {V, 1}, {V, 3}, {V, 4}, {V, 7, S}, {V, 8, S}, {V, 9}},
         {{'O', V, whole(5, 2), kPre}},
         {7, 0, 2, 0},
         {kCompleted, "2 packets out of sequence\n"}},
        {"duplicate, wrap",
         {{V, 14, S}, {V, 15}, {V, 15}, {V, 0}, {V, 1, S}, {V, 2}, {V, 2}, {V, 2}, {V, 3, S}},
         {{'O', V, {{0}, {1}, {3}}, kPre}, {'O', V, {{8}}, kPre}},
         {9, 0, 1, 0},
         {kCompleted, "1 packets out of sequence\n"}},
        {"no payload",
         {{V, 0, S}, {V, 0, N, 27000000}, {V, 1}, {V, 9, N}, {V, 2}, {V, 5, 0, -1, 200}, {V, 3, S}},
         {{'O', V, {{0}, {2}, {4}}, 27000000 - kLead}, {'O', V, {{6}}, 27000000 - kLead}},
         {7, 0, 0, 0},
         {kCompleted}},
        {"discontinuity",
         {{V, 0, S}, {V, 1}, {V, 7, D}, {V, 8}},
         {{'O', V, whole(0, 4), kPre}},
         {4, 0, 0, 0},
         {kCompleted}},
        {"too long",
         {{V, 0, S, -1, 39}, {V, 1, 0, -1, -1, 5698}, {V, 5699, 0, -1, 182, 2}},
         {{'O', V, whole(0, 5699), kPre}},
         {5701, 0, 0, 0},
         {"\nPacket too long!\n", "\nPacket too long!\n", kCompleted},
         nullptr,
         0,
         0,
         51},
        {"split at 368",
         {{V, 0, S}, {V, 1}, {V, 2, S}, {V, 3}, {V, 4}},
         {{'O', V, whole(0, 2), kPre},
          {'R', V, whole(2, 2), kPre},
          {'O', V, {{2, 0, 9}, {4}}, kPre}},
         {5, 0, 0, 0},
         {kCompleted},
         nullptr,
         368},
        {"split at 193",
         split,
         {{'R', V, {{0}, {1, 0, 9}}, kPre},
          {'R', V, {{0, 0, 9}, {1, 9}, {2, 0, 9}}, kPre},
          {'O', V, {{0, 0, 9}, {2, 9}}, kPre}},
         {3, 0, 0, 0},
         {kCompleted},
         nullptr,
         193},
        {"split fails",
         split,
         {{'R', V, {{0}, {1, 0, 9}}, kPre}},
         {2, 0, 0, 0},
         {},
         kWriteFailed,
         193,
         1},
        // 2: the PCR flag of a 6-byte adaptation field is no PCR. 6: 2 x 1504 bits in 30080 ticks,
        // the estimate 1504 / (0.1 x 1.05) = 14323 ticks a packet. 9: a lower PCR starts again, 10
        // stays at 8's estimate. 11: 0.05 bit a tick. 13: a discontinuity starts again at
        // 270000000.
        {"clock",
         {{V, 0, S},
          {V, 1, S},
          {O, 0, 0, 99000000, 6},
          {V, 2, S},
          {O, 1, N, 27000000},
          {V, 3, S},
          {O, 2, N, 27030080},
          {V, 4, S},
          {V, 5, S},
          {O, 3, N, 27020000},
          {V, 6, S},
          {O, 4, N, 27080160},
          {V, 7, S},
          {O, 5, N | D, 270000000},
          {V, 8, S},
          {V, 9, S},
          {V, 10}},
         {{'O', V, {{0}}, kPre},
          {'O', V, {{1}}, kPre},
          {'O', V, {{3}}, 27000000 - kLead},
          {'O', V, {{5}}, 27030080 + 14323 - kLead},
          {'O', V, {{7}}, 27030080 + 28647 - kLead},
          {'O', V, {{8}}, 27030080 + 28647 - kLead},
          {'O', V, {{10}}, 27080160 + 28647 - kLead},
          {'O', V, {{12}}, 270000000 + 28647 - kLead},
          {'O', V, {{14}}, 270000000 + 57295 - kLead},
          {'O', V, whole(15, 2), 270000000 + 85942 - kLead}},
         {17, 0, 0, 0},
         {kCompleted}},
        {"end",
         ends,
         {ends_v1, {'O', V, {{3}, {5}}, 27087375 - kLead}, {'O', A, {{4}, {6}}, 27087375 - kLead}},
         {7, 0, 0, 0},
         {kCompleted}},
        {"out_fn fails",
         {{V, 0, S}, {V, 2}, {V, 3, S}, {V, 4}, {V, 5, S}},
         {{'O', V, whole(2, 2), kPre}},
         {5, 0, 1, 0},
         {"1 packets out of sequence\n"},
         kWriteFailed,
         0,
         1},
        {"fails at the end",
         ends,
         {ends_v1, {'O', V, {{3}, {5}}, 27087375 - kLead}},
         {7, 0, 0, 0},
         {},
         kWriteFailed,
         0,
         2},
        {"lost packets",
         {{O, 0, N, 27000000},
          {V, 0, S},
          {V, 1, 0, -1, -1, 6},
          {V, 9},
          {O, 1, N, 27135360},
          {V, 10, S},
          {V, 11},
          {V, 12, S},
          {V, 13, 0, -1, -1, 5}},
         {{'O', V, whole(10, 2), 27135360 + 42971 - kLead}},  // 9 x 1504 bits in 135360 ticks
         {11, 0, 0, 0},
         {},
         "1024 bytes could not be read; 7 packets were lost\n",
         0,
         0,
         0,
         {4098, 4102}},
        {"read error",
         {{V, 0, S}, {V, 1, 0, -1, -1, 5599}},
         {{'O', V, whole(0, 5576), kPre}},
         {5576, 0, 0, 0},
         {},
         "Attempt to read after end of disk!\n",
         0,
         0,
         49,
         {},
         3 * 2048},
        {"unreadable tail",
         {{V, 0, S}, {V, 1}},
         {{'O', V, whole(0, 2), kPre}},
         {2, 0, 0, 0},
         {},
         "10 bytes could not be read; 0 packets were lost\n",
         0,
         0,
         0,
         {4098},
         0,
         446},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes ts;
        std::vector<Bytes> payloads;
        for (const Packet& p : row.packets)
            for (size_t i = 0; i < p.n; ++i) {
                payloads.emplace_back();
                append(ts, packet_bytes({p.pid, p.cc + uint32_t(i), p.flags, p.pcr, p.af},
                                        payloads.size() - 1, &payloads.back()));
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
        ASSERT_EQ(demux_set(table, V, record_out, nullptr, row.repack,
                            row.repack ? record_split : nullptr),
                  0);
        ASSERT_EQ(demux_set(table, A, record_out, nullptr, 0, nullptr), 0);
        seen.clear();
        fail_at = row.fail_at;
        clear_capture();
        EXPECT_EQ(demux_loop(table, reader), row.error ? 1 : 0);
        EXPECT_STREQ(qv_error, row.error ? row.error : row.shown.back().c_str());
        EXPECT_EQ(seen, want);
        const demux_counts* c = last_demux_counts();
        EXPECT_EQ((std::vector<int64_t>{c->packets, c->scrambled, c->out_of_sequence, c->bad_sync}),
                  row.counts);
        EXPECT_EQ(capture().messages, row.shown);
        EXPECT_EQ(capture().percents.size(), size_t(row.last_percent + 1));
        for (size_t p = 0; p < capture().percents.size(); ++p)
            EXPECT_EQ(capture().percents[p], int(p));
        free_demux_table(table);
        close_recording_file(reader);
    }
}

// demux_set, the rows in order on one table: a refused PID or split size leaves the slot as it was;
// an accepted one fills it with a fresh record (next_cc -1, length 0, scr all ones), replacing the
// one before.
TEST(DemuxTable, AttachRules) {
    const char* refused = "Repack size %d not supported: use 0 or a size from 193 to 1048576\n";
    const struct {
        uint32_t pid;
        int32_t size;
        demux_fn split;
        std::string error;
    } rows[] = {{8192, 0, nullptr, "PID 8192 is not a transport stream PID (0 to 8191)\n"},
                {V, -1, record_split, format(refused, -1)},
                {V, 192, record_split, format(refused, 192)},
                {V, 1048577, record_split, format(refused, 1048577)},
                {V, 2034, nullptr, "Repack size 2034 needs a split function\n"},
                {kMaxPid, 193, record_split, ""},
                {V, 1048576, record_split, ""},
                {V, 0, nullptr, ""}};
    demux_table* t = new_demux_table();
    ASSERT_NE(t, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        const demux_stream* before = t->slot[row.pid & kMaxPid];
        EXPECT_EQ(demux_set(t, row.pid, record_out, nullptr, row.size, row.split),
                  row.error.empty() ? 0 : 1);
        const demux_stream* s = t->slot[row.pid & kMaxPid];
        EXPECT_TRUE(row.error.empty() ? s->repack_size == row.size && s->next_cc == -1 &&
                                            s->length == 0 && s->scr == ~uint64_t(0)
                                      : qv_error == row.error && s == before)
            << qv_error;
    }
    free_demux_table(t);
}
}  // namespace
