// The program stream multiplexer, fed by hand with PES packets as the
// demultiplexer leaves them. O is 900000, the 90 kHz origin of a first scr of 270000000.
#include "support/fixture.h"
namespace {

constexpr uint64_t kFirstScr = 270000000, O = 900000, kWrap = uint64_t(1) << 33;
// b with the bytes of text at offset at.
Bytes with(Bytes b, size_t at, const char* text) {
    for (uint8_t x : hex(text)) b[at++] = x;
    return b;
}
Bytes handed;
int record_out(demux_stream* s) {
    handed.assign(s->buffer, s->buffer + s->length);
    return 7;
}

using Multiplexer = StreamTest;

// out_pack, the rows in order on one state (the first two begin the streams): a pack is 00 00 01
// BA, the SCR, 01 89 C3, F8 + stuffing, that many FF, the PES packet (id, length n - 6, time stamps
// as given), padding.
//   | first packs of video and audio | an SCR far on; one before (wraps) | 2027 bytes: 7 stuffing;
//   2026: 8 padding | | the bare 9-byte piece          | PTS 0 (wraps back)                | 19
//   bytes with PTS and DTS               |
TEST_F(Multiplexer, PacksOf2048Bytes) {
    reset_ps_state();
    const char* zero = "44 00 04 00 04 01";
    const struct {
        Bytes packet;
        uint64_t scr;
        const char *scr_field, *id, *pts, *dts;
        size_t stuffing, padding;  // null: as is
    } rows[] = {
        {pes(0xE3, 300, O + 7200, O + 3600, true), kFirstScr, zero, "E0", "31 00 01 38 41",
         "11 00 01 1C 21", 0, 1734},
        {pes(0xC5, 100, O + 7200, kNone, true), kFirstScr, zero, "C0", "21 00 01 38 41", nullptr, 0,
         1934},
        {pes(0xE0, 2034), kFirstScr + 0x1ABCDEF01ull * 300 + 0x123, "76 BC DF 78 0E 47", nullptr,
         nullptr, nullptr, 0, 0},
        {pes(0xE0, 2027), kFirstScr - 180000, "6E 9D 05 A2 2C 09", nullptr, nullptr, nullptr, 7, 0},
        {pes(0xE0, 2026), kFirstScr, zero, nullptr, nullptr, nullptr, 0, 8},
        {hex("00 00 01 E0 00 00 80 00 00"), kFirstScr, zero, nullptr, nullptr, nullptr, 0, 2025},
        {pes(0xE0, 300, 0), kFirstScr, zero, nullptr, "2F FF C9 88 C1", nullptr, 0, 1734},
        {pes(0xE0, 19, O + 10, O + 5), kFirstScr, zero, nullptr, "31 00 01 00 15", "11 00 01 00 0B",
         0, 2015},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.packet.size());
        clear_written();
        stream_->scr = row.scr;
        ASSERT_EQ(feed(out_pack, row.packet), 0);
        Bytes want = hex("00 00 01 BA"), p = row.packet;
        append(want, hex(row.scr_field));
        append(want, {0x01, 0x89, 0xC3, uint8_t(0xF8 + row.stuffing)});
        want.resize(want.size() + row.stuffing, 0xFF);
        put_be16(&p[4], uint32_t(p.size() - 6));
        const std::pair<size_t, const char*> changes[] = {{3, row.id}, {9, row.pts}, {14, row.dts}};
        for (const auto& c : changes) p = c.second ? with(p, c.first, c.second) : p;
        append(want, p);
        if (row.padding)
            append(want,
                   {0, 0, 1, 0xBE, uint8_t((row.padding - 6) >> 8), uint8_t(row.padding - 6)});
        want.resize(kPackSize, 0xFF);
        EXPECT_EQ(written(), want);
    }
}

// Pieces, bad packets and M2P lengths, the rows in order on one state (each writer begins with its
// first two rows): the result, PES_packet_length written (-1 nothing), the buffer the split leaves;
// then the warnings.
//   | repack_pes: to a function returning 7; bad starts (dropped with their pieces); another
//   stream; good  | | out_pack: a bad start, 5 bytes, another stream, 2035 bytes; lengths declared
//   wrong                   | | out_pes: length 0 declared; 65541 / 65542 bytes (too long for the
//   field); 1000 declared for 100      |
TEST_F(Multiplexer, PiecesBadPacketsAndLengths) {
    reset_ps_state();
    const char* zeros = "00 00 00 00 00 00 00 00 00";
    const struct {
        demux_fn fn, out;
        Bytes packet;
        int result, length;
        const char* left;
    } rows[] = {
        {out_pack, nullptr, pes(0xE0, 300, O, kNone, true), 0, 294, nullptr},
        {out_pack, nullptr, pes(0xC0, 100, O, kNone, true), 0, 94, nullptr},
        {repack_pes, record_out, with(pes(0xE0, 2034, O, O), 6, "8D"), 7, 2028,
         "00 00 01 E0 00 00 81 00 00"},
        {repack_pes, out_pack, with(pes(0xE0, 2034, O), 2, "02"), 0, -1, zeros},
        {repack_pes, out_pack, with(pes(0xE0, 2034), 0, zeros), 0, -1, zeros},
        {repack_pes, out_pack, pes(0xBD, 2034), 0, -1, zeros},
        {repack_pes, out_pack, pes(0xE0, 2034), 0, 2028, "00 00 01 E0 00 00 80 00 00"},
        {out_pack, nullptr, with(pes(0xE0, 300), 0, "01"), 0, -1, nullptr},
        {out_pack, nullptr, hex("00 00 01 E0 00"), 0, -1, nullptr},
        {out_pack, nullptr, pes(0xBD, 300), 0, -1, nullptr},
        {out_pack, nullptr, pes(0xE0, 2035), 0, -1, nullptr},
        {out_pack, nullptr, pes(0xC0, 300, kNone, kNone, false, 100), 0, 294, nullptr},
        {out_pack, nullptr, pes(0xC0, 300, kNone, kNone, false, 5), 0, 294, nullptr},
        {out_pes, nullptr, pes(0xE0, 300, O, kNone, true, 0), 0, 294, nullptr},
        {out_pes, nullptr, pes(0xC5, 100, O, kNone, true), 0, 94, nullptr},
        {out_pes, nullptr, pes(0xE0, 65541, kNone, kNone, false, 0), 0, 65535, nullptr},
        {out_pes, nullptr, pes(0xE0, 65542, kNone, kNone, false, 0), 0, 0, nullptr},
        {out_pes, nullptr, pes(0xC0, 100, kNone, kNone, false, 1000), 0, 94, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(Bytes(row.packet.begin(), row.packet.begin() + 5)));
        clear_written();
        handed.clear();
        stream_->out_fn = row.out;
        EXPECT_EQ(feed(row.fn, row.packet), row.result);
        const Bytes out = row.out == record_out ? handed : written();
        if (row.left) {
            EXPECT_EQ(Bytes(stream_->buffer, stream_->buffer + stream_->length), hex(row.left));
        }
        Bytes want = row.packet;
        if (row.length >= 0) put_be16(&want[4], uint32_t(row.length));
        if (row.length < 0 || row.fn == out_pes || row.out == record_out)
            EXPECT_EQ(out, row.length < 0 ? Bytes() : want);
        else
            EXPECT_TRUE(out.size() == kPackSize && get_be16(&out[18]) == uint32_t(row.length));
    }
    clear_capture();
    report_ps_warnings(capture_progress);
    EXPECT_EQ(
        capture().messages,
        (Messages{
            "5 PES packets with a bad start dropped (Bad PES packet start)\n",
            "3 PES packets with a wrong length (first: bad PES packet length 100 != 294)\n",
            "1 PES packets longer than 2034 bytes dropped\n",
            "1 PES packets too long for their length field were written with length 0; a repack "
            "size of at most 65541 avoids them\n"}));
}

// Where the output begins: the video at its first packet with a PTS and a sequence header ("seq"),
// the audio at its first packet whose PTS is not earlier (modulo 2^33, half the range either way)
// than that one's, also when it comes before the video's. Each row from a reset state through
// out_pack and out_pes; V video E0, A audio C0 ("frame": a frame header).
//   | the PTS and the header on separate packets | audio before the video | audio before and in
//   step | wraps | | a later video packet | a stream id of neither kind | no sequence header:
//   nothing                        |
TEST_F(Multiplexer, OutputBeginsAtASequenceHeaderWithTheAudioInStep) {
    struct Packet {
        uint8_t id;
        int64_t pts;
        bool frame;
    };
    const uint8_t V = 0xE0, A = 0xC0;
    const int64_t o = int64_t(O), wrap = int64_t(kWrap);
    const struct {
        std::vector<Packet> packets;
        std::vector<size_t> written;
    } rows[] = {
        {{{V, o, false}, {V, kNone, true}, {V, o + 10, true}, {V, kNone, false}}, {2, 3}},
        {{{A, o + 100, true}, {V, o, true}, {A, o + 10, false}}, {1, 0, 2}},
        {{{V, o, true}, {A, o - 1, true}, {A, kNone, false}, {A, o, false}, {A, kNone, false}},
         {0, 3, 4}},
        {{{V, wrap - 10, true}, {A, wrap - 20, true}, {A, 5, false}}, {0, 2}},
        {{{V, 5, true}, {A, wrap - 5, true}}, {0}},
        {{{V, 0, true}, {A, wrap / 2, true}}, {0}},
        {{{V, o, true}, {V, o + 100, true}, {A, o + 50, true}}, {0, 1, 2}},
        {{{V, o, true}, {0xD0, kNone, true}, {0xD0, o, false}}, {0, 2}},
        {{{V, o, false}, {A, o, true}, {V, o + 10, false}}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.written));
        std::vector<Bytes> packets;
        for (const Packet& p : row.packets)
            packets.push_back(pes(p.id, 100 + packets.size(), p.pts, kNone, p.frame));
        for (demux_fn fn : {out_pack, out_pes}) {
            reset_ps_state();
            clear_written();
            for (const Bytes& p : packets) EXPECT_EQ(feed(fn, p), 0);
            Bytes out = written(), want;
            for (size_t i : row.written) append(want, packets[i]);
            if (fn == out_pes) {
                EXPECT_EQ(out, want);
                continue;
            }
            // The packs carry the same packets, told apart by their length.
            ASSERT_EQ(out.size(), row.written.size() * kPackSize);
            for (size_t k = 0; k < row.written.size(); ++k)
                EXPECT_EQ(get_be16(&out[k * kPackSize + 18]), packets[row.written[k]].size() - 6);
        }
    }
}
}  // namespace
