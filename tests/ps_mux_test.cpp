// The program stream multiplexer, fed by hand with PES packets in a
// demux_stream record as the demultiplexer leaves them.
//   | case                                                 | expected                                             |
//   | time stamp 0x1ABCDEF01 / 0x1FFFFFFFF / 0, prefixes   | 3D AF 37 DE 03 / 2F FF FF FF FF / 11 00 01 00 01;    |
//   | 3x, 2x, 1x; bits above 32                            | read back the same, prefix and markers ignored       |
//   | repack_pes on 2034 bytes (flags 8D, PTS+DTS)         | out_fn sees length 2028; buffer left 00 00 01 E0 00  |
//   |                                                      | 00 81 00 00, length 9, out_fn's result passed on     |
//   | repack_pes on packets with a bad start / id BD       | pieces get a zero header, dropped uncounted: 2 in all|
//   | out_pack 2034 / 2027 / 2026 / bare 9-byte piece      | no stuffing / 7 stuffing / padding 8 / padding 2025; |
//   |                                                      | every pack 2048 bytes                                |
//   | scr = first, first + 0x1ABCDEF01 x 300 + 0x123,      | SCR 44 00 04 00 04 01, 76 BC DF 78 0E 47,            |
//   | first - 180000                                       | 6E 9D 05 A2 2C 09 (42-bit wrap, base bits 32..0)     |
//   | PTS/DTS moved by first_scr / 300, PTS 0              | prefixes kept; 0 wraps to 2^33 - 900000              |
//   | stream ids E3 / C5                                   | written as E0 / C0                                   |
//   | scr 0 at the first video pack                        | first_scr 0 is taken: the next pack measures from it |
//   | where the output begins: see Multiplexer.Output-     | the same packets by out_pack and out_pes             |
//   | BeginsAtASequenceHeaderWithTheAudioInStep            |                                                      |
//   | bad start, shorter than 9, stream id BD, wrong       | counted, shown by report_ps_warnings; the wrong      |
//   | length, 2035 bytes                                   | length is written true; reset clears the counts      |
//   | out_pes: length 0 (fits / 65542), wrong length       | true length / 0 + the repack note / true length      |
//   | write to /dev/full (POSIX)                           | 1, "Write to disk failed, disk full?\n"              |
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/packets.h"

namespace {

constexpr uint64_t kFirstScr = 270000000;   // 10 s; 900000 in 90 kHz units
constexpr uint64_t kOrigin = kFirstScr / 300;

Bytes ts_field(uint64_t value, int prefix) {
    Bytes f(5);
    set_pts_dts(value, prefix, f.data());
    return f;
}

struct PesSpec {
    uint8_t id = 0xE0;
    size_t size = 200;
    bool pts = false;
    uint64_t pts_value = kOrigin;
    bool dts = false;
    uint64_t dts_value = kOrigin;
    bool frame = false;   // a sequence header (video) or an audio frame header
    int declared = -1;    // PES_packet_length; -1: size - 6
};

// A PES packet with an MPEG-2 header as the transport stream carries it.
Bytes pes(const PesSpec& s) {
    Bytes b = {0, 0, 1, s.id, 0, 0, 0x84, 0, 0};
    if (s.pts) {
        append(b, ts_field(s.pts_value, s.dts ? 0x30 : 0x20));
        b[7] |= 0x80;
    }
    if (s.dts) {
        append(b, ts_field(s.dts_value, 0x10));
        b[7] |= 0x40;
    }
    b[8] = uint8_t(b.size() - 9);
    if (s.frame && (s.id & 0xF0) == 0xE0)   // 720 x 576, 16:9, 25 fps, 6250 x 400 bit/s
        append(b, {0, 0, 1, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0x06, 0x1A, 0xA0, 0, 0, 0, 0, 0, 0});
    else if (s.frame)                       // Layer II, 192 kb/s, 48 kHz
        append(b, {0xFF, 0xFD, 0xA4, 0x04});
    b.resize(s.size, 0x55);
    put_be16(&b[4], s.declared >= 0 ? uint32_t(s.declared) : uint32_t(s.size - 6));
    return b;
}

// The bare continuation header repack_pes leaves.
Bytes piece(uint8_t id, size_t size) {
    Bytes b = {0, 0, 1, id, 0, 0, 0x80, 0, 0};
    b.resize(size, 0x66);
    return b;
}

class Multiplexer : public StreamTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StreamTest::SetUp());
        stream_->scr = kFirstScr;
        reset_ps_state();
    }
    int pack(const Bytes& packet) { return feed(out_pack, packet); }
    // Both streams described and begun: two packs written.
    void begin_both() {
        ASSERT_EQ(pack(pes({0xE0, 300, true, kOrigin, false, 0, true})), 0);
        ASSERT_EQ(pack(pes({0xC0, 100, true, kOrigin, false, 0, true})), 0);
        ASSERT_EQ(capture().messages, (Messages{kVideoLine, kAudioLine}));
        ASSERT_EQ(written().size(), 2 * kPackSize);
        clear_written();
        clear_capture();
    }
};

TEST(TimeStamps, FieldsCarryPrefixMarkersAnd33Bits) {
    uint8_t f[5];
    set_pts_dts(0x1ABCDEF01, 0x30, f);
    EXPECT_EQ(Bytes(f, f + 5), (Bytes{0x3D, 0xAF, 0x37, 0xDE, 0x03}));
    EXPECT_EQ(get_pts_dts(f), 0x1ABCDEF01u);
    set_pts_dts(0x1FFFFFFFF, 0x20, f);
    EXPECT_EQ(Bytes(f, f + 5), (Bytes{0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(get_pts_dts(f), 0x1FFFFFFFFu);
    // Bits above 32 are not written.
    set_pts_dts(0x200000000, 0x10, f);
    EXPECT_EQ(Bytes(f, f + 5), (Bytes{0x11, 0x00, 0x01, 0x00, 0x01}));
    // Prefix and markers are not part of the value.
    const uint8_t g[5] = {0xF0, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(get_pts_dts(g), 0u);
}

std::vector<Bytes> handed;   // what the recording out_fn saw
int record_out(demux_stream* s) {
    handed.emplace_back(s->buffer, s->buffer + s->length);
    return 7;
}

TEST_F(Multiplexer, RepackPesLeavesAContinuationHeader) {
    begin_both();
    handed.clear();
    Bytes first = pes({0xE0, 2034, true, kOrigin, true, kOrigin, false, 0});
    first[6] = 0x8D;   // priority and data alignment set, original
    stream_->out_fn = record_out;
    EXPECT_EQ(feed(repack_pes, first), 7);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(get_be16(&handed[0][4]), 2028u);
    EXPECT_EQ(Bytes(handed[0].begin() + 6, handed[0].end()), Bytes(first.begin() + 6, first.end()));
    EXPECT_EQ(stream_->length, 9);
    EXPECT_EQ(Bytes(stream_->buffer, stream_->buffer + 9), (Bytes{0, 0, 1, 0xE0, 0, 0, 0x81, 0, 0}));

    // The last piece leaves with its true length.
    for (int i = 9; i < 109; ++i) stream_->buffer[i] = 0x77;
    stream_->length = 109;
    ASSERT_EQ(out_pack(stream_), 0);
    std::vector<Pack> packs = packs_of(written());
    ASSERT_EQ(packs.size(), 1u);
    EXPECT_EQ(packs[0].pes.size(), 109u);
    EXPECT_EQ(Bytes(packs[0].pes.begin(), packs[0].pes.begin() + 9), (Bytes{0, 0, 1, 0xE0, 0, 103, 0x81, 0, 0}));
}

TEST_F(Multiplexer, PiecesOfAPacketWithABadStartAreDropped) {
    begin_both();
    Bytes bad = pes({0xE0, 2034, true});
    bad[2] = 0x02;
    stream_->out_fn = out_pack;
    EXPECT_EQ(feed(repack_pes, bad), 0);
    EXPECT_EQ(stream_->length, 9);
    EXPECT_EQ(Bytes(stream_->buffer, stream_->buffer + 9), Bytes(9, 0x00));
    stream_->length = 2034;
    EXPECT_EQ(repack_pes(stream_), 0);
    EXPECT_EQ(Bytes(stream_->buffer, stream_->buffer + 9), Bytes(9, 0x00));
    stream_->length = 500;
    EXPECT_EQ(out_pack(stream_), 0);
    // The same with a stream id that has no place in a pack.
    EXPECT_EQ(feed(repack_pes, pes({0xBD, 2034})), 0);
    stream_->length = 500;
    EXPECT_EQ(out_pack(stream_), 0);
    EXPECT_EQ(written().size(), 0u);
    // A good packet behind them leaves normally.
    EXPECT_EQ(feed(repack_pes, pes({0xE0, 2034, true})), 0);
    stream_->length = 500;
    EXPECT_EQ(out_pack(stream_), 0);
    EXPECT_EQ(packs_of(written()).size(), 2u);
    report_ps_warnings(capture_progress);
    EXPECT_EQ(capture().messages, Messages{"2 PES packets with a bad start dropped (Bad PES packet start)\n"});
}

TEST_F(Multiplexer, EveryPackIs2048BytesWithStuffingOrPadding) {
    begin_both();
    Bytes p2034 = pes({0xE0, 2034}), p2027 = pes({0xE0, 2027}), p2026 = pes({0xE0, 2026});
    Bytes bare = piece(0xE0, 9);
    for (const Bytes* p : {&p2034, &p2027, &p2026, &bare}) ASSERT_EQ(pack(*p), 0);
    Bytes out = written();
    ASSERT_EQ(out.size(), 4 * kPackSize);
    const uint8_t* a = &out[0];
    EXPECT_EQ(a[13], 0xF8);
    EXPECT_EQ(Bytes(a + 14, a + 2048), p2034);
    const uint8_t* b = &out[kPackSize];
    EXPECT_EQ(b[13], 0xFF);
    EXPECT_EQ(Bytes(b + 14, b + 21), Bytes(7, 0xFF));
    EXPECT_EQ(Bytes(b + 21, b + 2048), p2027);
    const uint8_t* c = &out[2 * kPackSize];
    EXPECT_EQ(c[13], 0xF8);
    EXPECT_EQ(Bytes(c + 14, c + 2040), p2026);
    EXPECT_EQ(Bytes(c + 2040, c + 2048), (Bytes{0, 0, 1, 0xBE, 0, 2, 0xFF, 0xFF}));
    const uint8_t* d = &out[3 * kPackSize];
    EXPECT_EQ(d[13], 0xF8);
    EXPECT_EQ(Bytes(d + 14, d + 23), (Bytes{0, 0, 1, 0xE0, 0, 3, 0x80, 0, 0}));
    EXPECT_EQ(Bytes(d + 23, d + 29), (Bytes{0, 0, 1, 0xBE, 0x07, 0xE3}));
    EXPECT_EQ(Bytes(d + 29, d + 2048), Bytes(2019, 0xFF));
    EXPECT_EQ(packs_of(out).size(), 4u);
}

TEST_F(Multiplexer, ScrAndTimeStampsShareTheFirstScrAsOrigin) {
    // The first video pack sets first_scr; its pack has SCR 0.
    ASSERT_EQ(pack(pes({0xE3, 300, true, kOrigin + 7200, true, kOrigin + 3600, true})), 0);
    ASSERT_EQ(pack(pes({0xC5, 100, true, kOrigin + 7200, false, 0, true})), 0);
    stream_->scr = kFirstScr + 0x1ABCDEF01ull * 300 + 0x123;
    ASSERT_EQ(pack(pes({0xE0, 300, true, 0})), 0);
    stream_->scr = kFirstScr - 180000;
    ASSERT_EQ(pack(piece(0xE0, 50)), 0);
    std::vector<Pack> packs = packs_of(written());
    ASSERT_EQ(packs.size(), 4u);

    EXPECT_EQ(packs[0].scr_bytes, (Bytes{0x44, 0x00, 0x04, 0x00, 0x04, 0x01}));
    EXPECT_EQ(packs[0].pes[3], 0xE0);
    EXPECT_EQ(Bytes(&packs[0].pes[9], &packs[0].pes[14]), (Bytes{0x31, 0x00, 0x01, 0x38, 0x41}));   // 7200
    EXPECT_EQ(Bytes(&packs[0].pes[14], &packs[0].pes[19]), (Bytes{0x11, 0x00, 0x01, 0x1C, 0x21}));  // 3600

    EXPECT_EQ(packs[1].scr_bytes, packs[0].scr_bytes);
    EXPECT_EQ(packs[1].pes[3], 0xC0);
    EXPECT_EQ(Bytes(&packs[1].pes[9], &packs[1].pes[14]), (Bytes{0x21, 0x00, 0x01, 0x38, 0x41}));   // 7200

    EXPECT_EQ(packs[2].scr_bytes, (Bytes{0x76, 0xBC, 0xDF, 0x78, 0x0E, 0x47}));
    EXPECT_EQ(packs[2].base, 0x1ABCDEF01u);
    EXPECT_EQ(packs[2].extension, 0x123u);
    // PTS 0 lies before the origin: it wraps modulo 2^33.
    EXPECT_EQ(Bytes(&packs[2].pes[9], &packs[2].pes[14]), (Bytes{0x2F, 0xFF, 0xC9, 0x88, 0xC1}));
    EXPECT_EQ(get_pts_dts(&packs[2].pes[9]), (uint64_t(1) << 33) - kOrigin);

    // An scr before first_scr wraps modulo 2^42; only base bits 32..0 remain.
    EXPECT_EQ(packs[3].scr_bytes, (Bytes{0x6E, 0x9D, 0x05, 0xA2, 0x2C, 0x09}));
    EXPECT_EQ(packs[3].base, 6070219845u);
    EXPECT_EQ(packs[3].extension, 4u);
}

TEST_F(Multiplexer, FirstScrOfZeroIsTaken) {
    stream_->scr = 0;
    ASSERT_EQ(pack(pes({0xE0, 300, true, 90, false, 0, true})), 0);
    stream_->scr = kFirstScr;
    ASSERT_EQ(pack(pes({0xE0, 300, true, 180})), 0);
    std::vector<Pack> packs = packs_of(written());
    ASSERT_EQ(packs.size(), 2u);
    EXPECT_EQ(packs[0].base, 0u);
    EXPECT_EQ(get_pts_dts(&packs[0].pes[9]), 90u);
    EXPECT_EQ(packs[1].base, kOrigin);
    EXPECT_EQ(get_pts_dts(&packs[1].pes[9]), 180u);
}

// Where the output begins (V: video E0, A: audio C0, sizes tell the packets
// apart; O = 900000; "seq": with a sequence header, "frame": with an audio
// frame header; a video packet without PTS after the video has begun stands
// for the later pieces of a packet). Each row from a reset state, through
// out_pack and out_pes.
//   | packets                                                  | written          |
//   | V PTS O; V seq; V PTS O + 10 seq; continuation piece     | 3rd, 4th         |
//   | A PTS O + 100 frame; V PTS O seq; A PTS O + 10           | 2nd, 3rd         |
//   | V PTS O seq; A PTS O - 1; A no PTS; A PTS O; A no PTS    | 1st, 4th, 5th    |
//   | V PTS O seq; A PTS O + 1                                 | both             |
//   | V PTS 2^33 - 10 seq; A PTS 2^33 - 20; A PTS 5 (wrapped)  | 1st, 3rd         |
//   | V PTS 5 seq; A PTS 2^33 - 5 (before, across the wrap)    | 1st only         |
//   | V PTS O seq; A id D0 no PTS; A id D0 PTS O               | 1st, 3rd         |
//   | V PTS O; A PTS O frame; V PTS O + 10 (no sequence header)| nothing          |
TEST_F(Multiplexer, OutputBeginsAtASequenceHeaderWithTheAudioInStep) {
    const uint64_t wrap = uint64_t(1) << 33;
    struct Packet {
        uint8_t id;
        bool pts;
        uint64_t value;
        bool frame;
    };
    const struct {
        std::vector<Packet> packets;
        std::vector<size_t> written;
    } rows[] = {
        {{{0xE0, true, kOrigin, false}, {0xE0, false, 0, true}, {0xE0, true, kOrigin + 10, true}, {0xE0, false, 0, false}},
         {2, 3}},
        {{{0xC0, true, kOrigin + 100, true}, {0xE0, true, kOrigin, true}, {0xC0, true, kOrigin + 10, false}}, {1, 2}},
        {{{0xE0, true, kOrigin, true},
          {0xC0, true, kOrigin - 1, true},
          {0xC0, false, 0, false},
          {0xC0, true, kOrigin, false},
          {0xC0, false, 0, false}},
         {0, 3, 4}},
        {{{0xE0, true, kOrigin, true}, {0xC0, true, kOrigin + 1, true}}, {0, 1}},
        {{{0xE0, true, wrap - 10, true}, {0xC0, true, wrap - 20, true}, {0xC0, true, 5, false}}, {0, 2}},
        {{{0xE0, true, 5, true}, {0xC0, true, wrap - 5, true}}, {0}},
        {{{0xE0, true, kOrigin, true}, {0xD0, false, 0, true}, {0xD0, true, kOrigin, false}}, {0, 2}},
        {{{0xE0, true, kOrigin, false}, {0xC0, true, kOrigin, true}, {0xE0, true, kOrigin + 10, false}}, {}},
    };
    for (size_t r = 0; r < std::size(rows); ++r) {
        SCOPED_TRACE("row " + std::to_string(r + 1));
        std::vector<Bytes> packets;
        for (const Packet& p : rows[r].packets)
            packets.push_back(pes({p.id, 100 + packets.size(), p.pts, p.value, false, 0, p.frame}));
        Bytes m2p;
        std::vector<size_t> pack_sizes;
        for (size_t i : rows[r].written) {
            append(m2p, packets[i]);
            pack_sizes.push_back(packets[i].size());
        }
        for (demux_fn fn : {out_pack, out_pes}) {
            reset_ps_state();
            clear_written();
            for (const Bytes& p : packets) EXPECT_EQ(feed(fn, p), 0);
            if (fn == out_pes) {
                EXPECT_EQ(written(), m2p);
                continue;
            }
            std::vector<size_t> sizes;
            for (const Pack& p : packs_of(written())) sizes.push_back(p.pes.size());
            EXPECT_EQ(sizes, pack_sizes);
        }
    }
}

TEST_F(Multiplexer, BadPacketsAreCountedAndShownAtTheEnd) {
    begin_both();
    Bytes bad_start = pes({0xE0, 300});
    bad_start[0] = 0x01;
    Bytes other_id = pes({0xBD, 300});
    Bytes wrong = pes({0xC0, 300, false, 0, false, 0, false, 100});
    Bytes wrong2 = pes({0xC0, 300, false, 0, false, 0, false, 5});
    EXPECT_EQ(pack(bad_start), 0);
    EXPECT_EQ(pack(Bytes{0, 0, 1, 0xE0, 0}), 0);
    EXPECT_EQ(pack(other_id), 0);
    EXPECT_EQ(pack(wrong), 0);
    EXPECT_EQ(pack(wrong2), 0);
    EXPECT_EQ(pack(pes({0xE0, 2035})), 0);
    std::vector<Pack> packs = packs_of(written());
    ASSERT_EQ(packs.size(), 2u);
    EXPECT_EQ(get_be16(&packs[0].pes[4]), 294u);   // written with the true length
    EXPECT_EQ(capture().messages, Messages{});       // nothing shown per packet
    report_ps_warnings(capture_progress);
    EXPECT_EQ(capture().messages,
              (Messages{"3 PES packets with a bad start dropped (Bad PES packet start)\n",
                        "2 PES packets with a wrong length (first: bad PES packet length 100 != 294)\n",
                        "1 PES packets longer than 2034 bytes dropped\n"}));
    clear_capture();
    reset_ps_state();
    report_ps_warnings(capture_progress);
    EXPECT_EQ(capture().messages, Messages{});
}

TEST_F(Multiplexer, OutPesWritesTrueLengths) {
    Bytes video = pes({0xE0, 300, true, 12345, false, 0, true, 0});
    Bytes audio = pes({0xC5, 100, true, 12345, false, 0, true});
    Bytes fits = pes({0xE0, 65541, true, 99, false, 0, false, 0});
    Bytes unbounded = pes({0xE0, 65542, false, 0, false, 0, false, 0});
    Bytes wrong = pes({0xC0, 100, false, 0, false, 0, false, 1000});
    for (const Bytes* p : {&video, &audio, &fits, &unbounded, &wrong}) EXPECT_EQ(feed(out_pes, *p), 0);
    video[5] = 294 - 256, video[4] = 1;
    Bytes expect = video;
    append(expect, audio);   // the stream id unchanged
    fits[4] = 0xFF, fits[5] = 0xFF;
    append(expect, fits);
    append(expect, unbounded);
    wrong[4] = 0, wrong[5] = 94;
    append(expect, wrong);
    EXPECT_TRUE(written() == expect);
    report_ps_warnings(capture_progress);
    EXPECT_EQ(capture().messages,
              (Messages{kVideoLine, kAudioLine,
                        "1 PES packets with a wrong length (first: bad PES packet length 1000 != 94)\n",
                        "1 PES packets too long for their length field were written with length 0; a repack "
                        "size of at most 65541 avoids them\n"}));
}

#ifndef _WIN32
TEST_F(Multiplexer, ShortWriteIsReported) {
    begin_both();
    ASSERT_NO_FATAL_FAILURE(write_to_full_device());
    EXPECT_EQ(pack(pes({0xE0, 300})), 1);
    EXPECT_STREQ(qv_error, kWriteFailed);
    qv_set_error("before");
    reset_ps_state();
    EXPECT_EQ(feed(out_pes, pes({0xE0, 300, true, kOrigin, false, 0, true})), 1);
    EXPECT_STREQ(qv_error, kWriteFailed);
}
#endif

}  // namespace
