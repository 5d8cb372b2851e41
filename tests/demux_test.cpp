// The transport stream demultiplexer (demux_loop and the demux table), fed
// with packets built here and stored as a recording on an in-memory disk of
// 1 MiB clusters. The video PID 0x101 and the audio PID 0x102 are attached;
// their functions record what they see and leave a message, as the writers do.
#include <algorithm>
#include <tuple>

#include "support/fixture.h"
#include "support/packets.h"

namespace {

constexpr uint32_t V = 0x101, A = 0x102, O = 0x1FF;   // O is never attached
constexpr int S = 1, N = 2, X = 4, D = 8;   // unit start (with a PES header), no payload, scrambled, discontinuity
constexpr uint64_t kLead = 8640000;
constexpr uint64_t kPre = 4398037871104;    // before any PCR: 2^42 - 8640000

// adaptation_field_length af -1: as the flags need (none, 183 without payload, 7 for a PCR, 1).
struct Packet { uint32_t pid, cc; int flags = 0; int64_t pcr = -1; int af = -1; };

// The bytes of packet k of a row (its payload bytes are k x 13 + 1) and its payload.
Bytes packet_bytes(const Packet& p, size_t k, Bytes* payload) {
    Bytes b(kTsPacketSize, uint8_t(k * 13 + 1));
    int af = p.af >= 0 ? p.af : (p.flags & N) ? 183 : p.pcr >= 0 ? 7 : (p.flags & D) ? 1 : -1;
    b[0] = 0x47;
    b[1] = uint8_t((p.flags & S ? 0x40 : 0) | p.pid >> 8);
    b[2] = uint8_t(p.pid);
    b[3] = uint8_t((p.flags & X ? 0x80 : 0) | (af >= 0 ? 0x20 : 0) | (p.flags & N ? 0 : 0x10) | (p.cc & 15));
    size_t at = 4;
    if (af >= 0) {
        b[4] = uint8_t(af);
        at = std::min<size_t>(5 + size_t(af), kTsPacketSize);
        std::fill(b.begin() + 5, b.begin() + long(at), 0xFF);
        if (af >= 1) b[5] = uint8_t((p.flags & D ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
    }
    if (p.pcr >= 0) {   // behind a field shorter than 7 bytes these lie in the payload
        uint64_t base = uint64_t(p.pcr) / 300, ext = uint64_t(p.pcr) % 300;
        const uint8_t f[6] = {uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9), uint8_t(base >> 1),
                              uint8_t((base & 1) << 7 | 0x7E | ext >> 8), uint8_t(ext)};
        std::copy(f, f + 6, b.begin() + 6);
    }
    if (p.flags & S) {
        const uint8_t pes[9] = {0, 0, 1, uint8_t(p.pid == A ? 0xC0 : 0xE0), 0, 0, 0x80, 0, 0};
        std::copy(pes, pes + 9, b.begin() + long(at));
    }
    *payload = (p.flags & N) ? Bytes() : Bytes(b.begin() + long(at), b.end());
    return b;
}

// What a function saw: O (out_fn) or R (the split function), the PID, the bytes, the scr.
using Seen = std::tuple<char, uint32_t, Bytes, uint64_t>;

// Bytes from .. to (at most the payload's end) of the payload of packet k.
struct Part { size_t k, from = 0, to = kTsPacketSize; };
struct Event { char kind; uint32_t pid; std::vector<Part> parts; uint64_t scr; };

// Packets k .. k + n - 1 whole.
std::vector<Part> whole(size_t k, size_t n) {
    std::vector<Part> out;
    for (size_t i = k; i < k + n; ++i) out.push_back({i});
    return out;
}
// n continuation packets of pid with counters from cc on.
std::vector<Packet> continuations(uint32_t pid, uint32_t cc, size_t n, int af = -1) {
    std::vector<Packet> out;
    for (size_t i = 0; i < n; ++i) out.push_back({pid, uint32_t(cc + i), 0, -1, af});
    return out;
}
std::vector<Packet> cat(std::vector<Packet> a, const std::vector<Packet>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<int> upto(int last) {
    std::vector<int> out;
    for (int i = 0; i <= last; ++i) out.push_back(i);
    return out;
}

demux_table* table = nullptr;
std::vector<Seen> seen;
int fail_at = 0;   // the call (from 1) that fails; 0 none

int record(demux_stream* s, char kind) {
    seen.emplace_back(kind, s == table->slot[A] ? A : V, Bytes(s->buffer, s->buffer + s->length), s->scr);
    qv_set_error("seen");
    if (int(seen.size()) == fail_at) {
        qv_set_error("%s", kWriteFailed);
        return 1;
    }
    return 0;
}
int record_out(demux_stream* s) { return record(s, 'O'); }
// Keeps the first 9 bytes, as the program-stream writer's split does.
int record_split(demux_stream* s) {
    int result = record(s, 'R');
    s->length = 9;
    return result;
}

using Demux = DiskTest;

// One recording a row; seen: what out_fn (O) and the split function (R) got
// and its scr; counts: packets, scrambled, out of sequence, bad sync; shown:
// "\rProcessing completed.\n" and the counts, unless the loop failed. Video
// packets unless A; s: unit start; PCRs on 0x1FF, which is not attached.
//   | row             | packets (0-based)                                   | seen                                 |
//   | collection      | 0, 1 s, 2, 3 (short), 4 A s, 5 0x1FF s, 6 s, 7      | V 1-3; at the end A 4, V 6-7         |
//   | scrambled       | 0 s, 1, 2 scrambled, 3 (cc 2), 4 s, 5 scr., 6 cc 5  | V 7: 3 finds nothing, 5 drops 4, 6   |
//   |                 | 7 s                                                 | out of sequence                      |
//   | counter gaps    | 0 s, 1, 2 cc 3, 3 cc 4, 4 s cc 7, 5 s, 6            | V 5-6: a gap drops PES and packet    |
//   | duplicate, wrap | cc 14 s, 15, 15, 0, 1 s, 2, 2, 2, 3 s               | V 0, 1, 3; V 8: a repeat is dropped, |
//   |                 |                                                     | the next one counted                 |
//   | no payload      | 0 s, 1 PCR only, 2, 3 none, 4, 5 too long a field, 6| V 0, 2, 4; V 6; no counter steps     |
//   | discontinuity   | 0 s, 1, 2 cc 7 with discontinuity_indicator, 3      | V 0-3                                |
//   | too long        | s of 144 bytes, 5698 of 184, two of 1               | V 0-5698; "\nPacket too long!\n" x 2 |
//   | split at 368    | 0 s, 1 (368 bytes), 2 s, 3, 4                       | V 0-1; R 2-3; V 9 of 2, 4            |
//   | split at 193    | 0 s, 1, 2                                           | R 0, 9 of 1; R 9 of 0, rest of 1, 9  |
//   |                 |                                                     | of 2; V 9 of 0, rest of 2            |
//   | split fails     | the same                                            | R 0, 9 of 1; the error               |
//   | clock           | starts between PCRs (see the row)                   | every start's scr                    |
//   | end             | 0 PCR, 1 s, 2 PCR, 3 s, 4 A s, 5, 6 A               | V 1; V 3, 5 and A 4, 6 at the end    |
//   | out_fn fails    | 0 s, 1 cc 2, 2 s, 3, 4 s; "end" failing at the end  | V 2-3 / V 1, V 3-5; the error        |
//   | lost packets    | sectors 4098 (packets 4-7), 4102 (15-17) unreadable | V 10-11 (8 a first packet), 12 cut   |
//   | read error      | 5600 packets, the disk ends behind cluster 1        | V 0-5575; the reader's error         |
//   | unreadable tail | 0 s, 1, 446 zeros; sector 4098 holds the last 10    | V 0-1; 10 bytes lost, no packet      |
//   | progress        | 5576 packets of 0x1FF (the cluster holds 5577)      | nothing; percentages 0 to 99         |
TEST_F(Demux, Scenarios) {
    const std::vector<Packet> ends = {{O, 0, N, 27000000}, {V, 0, S}, {O, 1, N, 27030080}, {V, 1, S}, {A, 0, S},
                                      {V, 2}, {A, 1}};
    const std::vector<Packet> split = {{V, 0, S}, {V, 1}, {V, 2}};
    const Event ends_v1 = {'O', V, {{1}}, 27030080 + 14323 - kLead};
    const struct Row {
        const char* name;
        std::vector<Packet> packets;
        std::vector<Event> seen;
        std::vector<int64_t> counts;
        Messages shown;
        const char* error = nullptr;   // result 1 with this in qv_error; none: 0
        int32_t repack = 0;            // split size of the video PID
        int fail_at = 0;               // the call (from 1) that fails
        std::vector<int> percents = {0};
        std::vector<uint64_t> bad = {};   // unreadable disk sectors
        int64_t disk_end = 0;             // sectors left on the disk after the opening; 0 all
        size_t tail = 0;                  // zero bytes behind the last packet
    } rows[] = {
        {"collection", {{V, 0}, {V, 1, S}, {V, 2}, {V, 3, 0, -1, 20}, {A, 7, S}, {O, 0, S}, {V, 4, S}, {V, 5}},
         {{'O', V, whole(1, 3), kPre}, {'O', A, {{4}}, kPre}, {'O', V, whole(6, 2), kPre}}, {8, 0, 0, 0}, {kCompleted}},
        {"scrambled", {{V, 0, S}, {V, 1}, {V, 2, X}, {V, 2}, {V, 3, S}, {V, 4, X}, {V, 5}, {V, 6, S}},
         {{'O', V, {{7}}, kPre}}, {8, 2, 1, 0}, {kCompleted, "2 packets scrambled\n", "1 packets out of sequence\n"}},
        {"counter gaps", {{V, 0, S}, {V, 1}, {V, 3}, {V, 4}, {V, 7, S}, {V, 8, S}, {V, 9}},
         {{'O', V, whole(5, 2), kPre}}, {7, 0, 2, 0}, {kCompleted, "2 packets out of sequence\n"}},
        {"duplicate, wrap", {{V, 14, S}, {V, 15}, {V, 15}, {V, 0}, {V, 1, S}, {V, 2}, {V, 2}, {V, 2}, {V, 3, S}},
         {{'O', V, {{0}, {1}, {3}}, kPre}, {'O', V, {{8}}, kPre}}, {9, 0, 1, 0},
         {kCompleted, "1 packets out of sequence\n"}},
        {"no payload", {{V, 0, S}, {V, 0, N, 27000000}, {V, 1}, {V, 9, N}, {V, 2}, {V, 5, 0, -1, 200}, {V, 3, S}},
         {{'O', V, {{0}, {2}, {4}}, 27000000 - kLead}, {'O', V, {{6}}, 27000000 - kLead}}, {7, 0, 0, 0}, {kCompleted}},
        {"discontinuity", {{V, 0, S}, {V, 1}, {V, 7, D}, {V, 8}}, {{'O', V, whole(0, 4), kPre}}, {4, 0, 0, 0},
         {kCompleted}},
        {"too long", cat(cat({{V, 0, S, -1, 39}}, continuations(V, 1, 5698)), continuations(V, 5699, 2, 182)),
         {{'O', V, whole(0, 5699), kPre}}, {5701, 0, 0, 0},
         {"\nPacket too long!\n", "\nPacket too long!\n", kCompleted}, nullptr, 0, 0, upto(51)},
        {"split at 368", {{V, 0, S}, {V, 1}, {V, 2, S}, {V, 3}, {V, 4}},
         {{'O', V, whole(0, 2), kPre}, {'R', V, whole(2, 2), kPre}, {'O', V, {{2, 0, 9}, {4}}, kPre}}, {5, 0, 0, 0},
         {kCompleted}, nullptr, 368},
        {"split at 193", split,
         {{'R', V, {{0}, {1, 0, 9}}, kPre}, {'R', V, {{0, 0, 9}, {1, 9}, {2, 0, 9}}, kPre},
          {'O', V, {{0, 0, 9}, {2, 9}}, kPre}}, {3, 0, 0, 0}, {kCompleted}, nullptr, 193},
        {"split fails", split, {{'R', V, {{0}, {1, 0, 9}}, kPre}}, {2, 0, 0, 0}, {}, kWriteFailed, 193, 1},
        // 2: the PCR flag of a 1-byte adaptation field is no PCR. 6: 2 x 1504 bits in 30080 ticks, the
        // estimate 1504 / (0.1 x 1.05) = 14323 ticks a packet. 9: a lower PCR starts again, 10 stays
        // at 8's estimate. 11: 0.05 bit a tick. 13: a discontinuity starts again at 270000000.
        {"clock", {{V, 0, S}, {V, 1, S}, {O, 0, 0, 99000000, 1}, {V, 2, S}, {O, 1, N, 27000000}, {V, 3, S},
                   {O, 2, N, 27030080}, {V, 4, S}, {V, 5, S}, {O, 3, N, 27020000}, {V, 6, S}, {O, 4, N, 27080160},
                   {V, 7, S}, {O, 5, N | D, 270000000}, {V, 8, S}, {V, 9, S}, {V, 10}},
         {{'O', V, {{0}}, kPre}, {'O', V, {{1}}, kPre}, {'O', V, {{3}}, 27000000 - kLead},
          {'O', V, {{5}}, 27030080 + 14323 - kLead}, {'O', V, {{7}}, 27030080 + 28647 - kLead},
          {'O', V, {{8}}, 27030080 + 28647 - kLead}, {'O', V, {{10}}, 27080160 + 28647 - kLead},
          {'O', V, {{12}}, 270000000 + 28647 - kLead}, {'O', V, {{14}}, 270000000 + 57295 - kLead},
          {'O', V, whole(15, 2), 270000000 + 85942 - kLead}}, {17, 0, 0, 0}, {kCompleted}},
        {"end", ends, {ends_v1, {'O', V, {{3}, {5}}, 27087375 - kLead}, {'O', A, {{4}, {6}}, 27087375 - kLead}},
         {7, 0, 0, 0}, {kCompleted}},
        {"out_fn fails", {{V, 0, S}, {V, 2}, {V, 3, S}, {V, 4}, {V, 5, S}}, {{'O', V, whole(2, 2), kPre}},
         {5, 0, 1, 0}, {"1 packets out of sequence\n"}, kWriteFailed, 0, 1},
        {"fails at the end", ends, {ends_v1, {'O', V, {{3}, {5}}, 27087375 - kLead}}, {7, 0, 0, 0}, {}, kWriteFailed,
         0, 2},
        {"lost packets", {{O, 0, N, 27000000}, {V, 0, S}, {V, 1}, {V, 2}, {V, 3}, {V, 4}, {V, 5}, {V, 6}, {V, 9},
                          {O, 1, N, 27135360}, {V, 10, S}, {V, 11}, {V, 12, S}, {V, 13}, {V, 14}, {V, 15}, {V, 16},
                          {V, 17}},
         {{'O', V, whole(10, 2), 27135360 + 42971 - kLead}},   // 9 x 1504 bits in 135360 ticks
         {11, 0, 0, 0}, {}, "1024 bytes could not be read; 7 packets were lost\n", 0, 0, {0}, {4098, 4102}},
        {"read error", cat({{V, 0, S}}, continuations(V, 1, 5599)), {{'O', V, whole(0, 5576), kPre}},
         {5576, 0, 0, 0}, {}, "Attempt to read after end of disk!\n", 0, 0, upto(49), {}, 3 * 2048},
        {"unreadable tail", {{V, 0, S}, {V, 1}}, {{'O', V, whole(0, 2), kPre}}, {2, 0, 0, 0}, {},
         "10 bytes could not be read; 0 packets were lost\n", 0, 0, {0}, {4098}, 0, 446},
        {"progress", continuations(O, 0, 5576), {}, {5576, 0, 0, 0}, {kCompleted}, nullptr, 0, 0, upto(99)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes ts;
        std::vector<Bytes> payloads(row.packets.size());
        for (size_t k = 0; k < row.packets.size(); ++k) append(ts, packet_bytes(row.packets[k], k, &payloads[k]));
        std::vector<Seen> want;
        for (const Event& e : row.seen) {
            Bytes bytes;
            for (const Part& p : e.parts)
                bytes.insert(bytes.end(), payloads[p.k].begin() + long(p.from),
                             payloads[p.k].begin() + long(std::min(p.to, payloads[p.k].size())));
            want.emplace_back(e.kind, e.pid, bytes, e.scr);
        }
        ImageBuilder img(4);
        ts.resize(ts.size() + row.tail);
        img.add_recording("Rec", ts);
        disk_.bad.clear();
        for (uint64_t sector : row.bad) disk_.fail_sectors(sector, 1);
        ASSERT_NO_FATAL_FAILURE(mount(img, 1));
        if (row.disk_end) qv->disk_sectors = row.disk_end;
        recording_reader* reader = open_recording_file(0, capture_progress);
        ASSERT_NE(reader, nullptr) << qv_error;
        table = new_demux_table();
        ASSERT_EQ(demux_set(table, V, record_out, nullptr, row.repack, row.repack ? record_split : nullptr), 0);
        ASSERT_EQ(demux_set(table, A, record_out, nullptr, 0, nullptr), 0);
        seen.clear();
        fail_at = row.fail_at;
        clear_capture();
        EXPECT_EQ(demux_loop(table, reader), row.error ? 1 : 0);
        EXPECT_STREQ(qv_error, row.error ? row.error : row.shown.back().c_str());
        EXPECT_EQ(seen, want);
        const demux_counts* c = last_demux_counts();
        EXPECT_EQ((std::vector<int64_t>{c->packets, c->scrambled, c->out_of_sequence, c->bad_sync}), row.counts);
        EXPECT_EQ(capture().messages, row.shown);
        EXPECT_EQ(capture().percents, row.percents);
        free_demux_table(table);
        close_recording_file(reader);
    }
}

// Attaching a PID, the rows in order on one table: a refused one leaves its
// slot as it was, an accepted one fills it with a new record (next_cc -1,
// length 0, scr all ones; the second on 0x101 replaces the first). "Split size %d not supported: use 0 or a size from 193 to 1048576\n".
//   | PID, split size, split function             | result, message                                        |
//   | 8192, 0                                     | 1, "PID 8192 is not a transport stream PID (0 to 8191)\n"|
//   | 0x101: -1, 192, 1048577; 2034 without one   | 1, "Split size ... not supported ..."                  |
//   | 8191: 193; 0x101: 1048576, then 0           | 0                                                      |
TEST(DemuxTable, AttachRules) {
    const char* refused = "Split size %d not supported: use 0 or a size from 193 to 1048576\n";
    const struct {
        uint32_t pid;
        int32_t size;
        demux_fn split;
        std::string error;
    } rows[] = {{8192, 0, nullptr, "PID 8192 is not a transport stream PID (0 to 8191)\n"},
                {V, -1, record_split, format(refused, -1)},     {V, 192, record_split, format(refused, 192)},
                {V, 1048577, record_split, format(refused, 1048577)}, {V, 2034, nullptr, format(refused, 2034)},
                {kMaxPid, 193, record_split, ""},               {V, 1048576, record_split, ""},
                {V, 0, nullptr, ""}};
    demux_table* t = new_demux_table();
    ASSERT_NE(t, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        const demux_stream* before = t->slot[row.pid & kMaxPid];
        EXPECT_EQ(demux_set(t, row.pid, record_out, nullptr, row.size, row.split), row.error.empty() ? 0 : 1);
        if (!row.error.empty()) {
            EXPECT_EQ(qv_error, row.error);
            EXPECT_EQ(t->slot[row.pid & kMaxPid], before);
        } else {   // a fresh record: nothing collected, no counter seen yet
            const demux_stream* s = t->slot[row.pid];
            EXPECT_TRUE(s->repack_size == row.size && s->next_cc == -1 && s->length == 0 && s->scr == ~uint64_t(0));
        }
    }
    free_demux_table(t);
}

}  // namespace
