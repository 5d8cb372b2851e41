// The program stream multiplexer, fed by hand with PES packets as the demultiplexer leaves them.
// kOrigin is 900000, the 90 kHz origin of a first scr of 270000000; "44 00 04 00 04 01" is SCR 0.
#include <tuple>
#include "support/fixture.h"
namespace {

constexpr uint64_t kFirstScr = 270000000, kOrigin = 900000, kWrap = uint64_t(1) << 33;
// bytes with those of text at offset at.
Bytes with(Bytes bytes, size_t at, const char* text) {
    for (uint8_t byte : hex(text)) bytes[at++] = byte;
    return bytes;
}
Bytes handed;
int record_out(demux_stream* stream) {
    handed.assign(stream->buffer, stream->buffer + stream->length);
    return 7;
}
using Multiplexer = StreamTest;

// Each row a packet through out_pack, out_pes or repack_pes (handing over to out), in order on one
// state: the result, the buffer repack_pes leaves, and what is written (or handed over): the packet
// with its true PES_packet_length (n - 6), stream_id and time stamps as given; by out_pack in a
// pack: 00 00 01 BA, the SCR, 01 89 C3, F8 + stuffing, that many FF, the packet, a padding packet
// over the rest.
struct PacketRow {
    Bytes packet;
    demux_fn fn = out_pack;
    bool dropped = false;
    int length = -1;  // -1: n - 6
    uint8_t id = 0;   // 0: as it came
    const char* times = nullptr;
    uint64_t scr = kFirstScr;
    const char* scr_field = "44 00 04 00 04 01";
    size_t stuffing = 0;
    demux_fn out = out_pack;
    int result = 0;
    const char* left = nullptr;
};
TEST_F(Multiplexer, PacketsAndPacks) {
    const char* zeros = "00 00 00 00 00 00 00 00 00";
    const PacketRow rows[] = {
        // The first video and audio packs: E3 as E0, C5 as C0 (its PTS ending it), the times moved
        // back by kOrigin.
        {.packet = pes(0xE3, 300, kOrigin + 7200, kOrigin + 3600, true),
         .id = 0xE0,
         .times = "31 00 01 38 41 11 00 01 1C 21"},
        {.packet = pes(0xC5, 14, kOrigin + 7200), .id = 0xC0, .times = "21 00 01 38 41"},
        // An SCR far on; one before the first (wraps) and 2027 bytes: 7 stuffing; 2026: padding 8.
        {.packet = pes(0xE0, 2034),
         .scr = kFirstScr + 0x1ABCDEF01ull * 300 + 0x123,
         .scr_field = "76 BC DF 78 0E 47"},
        {.packet = pes(0xE0, 2027),
         .scr = kFirstScr - 180000,
         .scr_field = "6E 9D 05 A2 2C 09",
         .stuffing = 7},
        {.packet = pes(0xE0, 2026)},
        // PTS 0 (wraps back); 19 bytes with PTS and DTS; a length declared wrong.
        {.packet = pes(0xE0, 300, 0), .times = "2F FF C9 88 C1"},
        {.packet = pes(0xE0, 19, kOrigin + 10, kOrigin + 5),
         .times = "31 00 01 00 15 11 00 01 00 0B"},
        {.packet = pes(0xC0, 300, kNone, kNone, false, 100)},
        // Nine bytes, the fixed header alone: kept.
        {.packet = pes(0xE0, 9)},
        // Dropped: a bad start, 5 bytes, another stream, 2035 bytes.
        {.packet = with(pes(0xE0, 300), 0, "01"), .dropped = true},
        {.packet = hex("00 00 01 E0 00"), .dropped = true},
        {.packet = pes(0xBD, 300), .dropped = true},
        {.packet = pes(0xE0, 2035), .dropped = true},
        // repack_pes: the result handed back and a continuation header left; a bad start dropped,
        // the pieces behind it marked; a marked piece dropped, not counted again.
        {.packet = with(pes(0xE0, 2034, kOrigin, kOrigin), 6, "8D"),
         .fn = repack_pes,
         .out = record_out,
         .result = 7,
         .left = "00 00 01 E0 00 00 81 00 00"},
        {.packet = with(pes(0xE0, 2034, kOrigin), 2, "02"),
         .fn = repack_pes,
         .dropped = true,
         .left = zeros},
        {.packet = with(pes(0xE0, 2034), 0, zeros),
         .fn = repack_pes,
         .dropped = true,
         .left = zeros},
        // out_pes: length 0 declared; C5 as it came; 65541 and 65542 bytes (too long for the
        // field: 0); 1000 declared for 100.
        {.packet = pes(0xE0, 300, kOrigin, kNone, true, 0), .fn = out_pes},
        {.packet = pes(0xC5, 100, kOrigin, kNone, true), .fn = out_pes},
        {.packet = pes(0xE0, 65541, kNone, kNone, false, 0), .fn = out_pes},
        {.packet = pes(0xE0, 65542, kNone, kNone, false, 0), .fn = out_pes, .length = 0},
        {.packet = pes(0xC0, 100, kNone, kNone, false, 1000), .fn = out_pes},
    };
    reset_ps_state();
    for (const PacketRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(Bytes(row.packet.begin(), row.packet.begin() + 5)));
        clear_written();
        stream_->scr = row.scr;
        stream_->out_fn = row.out;
        EXPECT_EQ(feed(row.fn, row.packet), row.result);
        if (row.left) {
            EXPECT_EQ(Bytes(stream_->buffer, stream_->buffer + stream_->length), hex(row.left));
        }
        Bytes want = row.times ? with(row.packet, 9, row.times) : row.packet;
        if (row.id) want[3] = row.id;
        if (row.dropped)
            want.clear();
        else
            put_be16(&want[4], uint32_t(row.length < 0 ? want.size() - 6 : row.length));
        if (row.fn == out_pack && !row.dropped) {
            const Bytes packet = want;
            want = hex("00 00 01 BA");
            append(want, hex(row.scr_field));
            append(want, {0x01, 0x89, 0xC3, uint8_t(0xF8 + row.stuffing)});
            want.resize(want.size() + row.stuffing, 0xFF);
            append(want, packet);
            const size_t padding = kPackSize - want.size();
            if (padding)
                append(want, {0, 0, 1, 0xBE, uint8_t((padding - 6) >> 8), uint8_t(padding - 6)});
            want.resize(kPackSize, 0xFF);
        }
        EXPECT_EQ(row.out == record_out ? handed : written(), want);
    }
    clear_capture();
    report_ps_warnings(capture_progress);
    EXPECT_EQ(capture().messages,
              (Messages{"4 PES packets with a bad start dropped (Bad PES packet start)\n",
                        "2 PES packets with a wrong length (first: bad PES packet length 100 != "
                        "294)\n",
                        "1 PES packets longer than 2034 bytes dropped\n",
                        "1 PES packets too long for their length field were written with length "
                        "0; a repack size of at most 65541 avoids them\n"}));
}

// --dvd, the tracks video, an AC-3 and two MPEG audio: a navigation pack (pack header, system
// header with audio_bound 3, PCI and DSI naming its sector, the group's start and its SCR) goes
// before each video packet with a PTS and a sequence or group header.
TEST_F(Multiplexer, DvdNavigationPacks) {
    output_track tracks[4] = {};
    tracks[0].kind = kStreamVideo;
    tracks[1].kind = kStreamAc3;
    tracks[1].sub_id = 0x80;
    tracks[2].kind = kStreamMpegAudio;
    tracks[3].kind = kStreamMpegAudio;
    set_conversion_tracks(tracks, 4);
    stream_options.dvd = 1;
    reset_ps_state();
    stream_->scr = kFirstScr;
    EXPECT_EQ(feed(out_pack, pes(0xE0, 300, kOrigin + 7200, kNone, true)), 0);
    stream_->scr = kFirstScr + 300 * 9000;
    EXPECT_EQ(feed(out_pack, with(pes(0xE0, 300), 9, "00 00 01 B8")), 0);  // no PTS
    EXPECT_EQ(feed(out_pack, pes(0xE0, 300, kOrigin + 50000)), 0);         // no header
    // A group header in the packet's last four bytes.
    EXPECT_EQ(feed(out_pack, with(pes(0xE0, 300, kOrigin + 60000), 296, "00 00 01 B8")), 0);
    stream_->track = 1;  // an AC-3 piece in which no frame begins: no time, no first access
    EXPECT_EQ(feed(out_pack, pes(0xBD, 300, kOrigin + 60000)), 0);
    set_conversion_tracks(nullptr, 0);
    const Bytes out = written();
    ASSERT_EQ(out.size(), 7 * kPackSize);
    const Bytes ac3_head(out.begin() + 6 * kPackSize + 14, out.begin() + 6 * kPackSize + 27);
    EXPECT_EQ(ac3_head, hex("00 00 01 BD 01 25 84 00 00 80 00 00 00"));
    for (size_t pack : {0, 4}) {
        const uint32_t sector = uint32_t(pack);
        Bytes want = with(Bytes(kPackSize, 0), 0,
                          pack ? "00 00 01 BA 44 00 05 19 44 01" : "00 00 01 BA 44 00 04 00 04 01");
        want = with(want, 10, "01 89 C3 F8 00 00 01 BB 00 12 80 C4 E1 0C E1 7F B9 E0 E8 B8 C0 20");
        want = with(want, 32, "BD E0 3A BF E0 02 00 00 01 BF 03 D4 00");
        want = with(want, 1024, "00 00 01 BF 03 FA 01");
        put_be32(&want[45], sector);
        put_be32(&want[57], pack ? 60000 : 7200);  // the group's PTS less kOrigin
        put_be32(&want[1031], pack ? 9000 : 0);    // the SCR, 90 kHz
        put_be32(&want[1035], sector);
        EXPECT_EQ(
            Bytes(out.begin() + long(pack * kPackSize), out.begin() + long((pack + 1) * kPackSize)),
            want);
    }
}

// Where the output begins, from a reset state through out_pack and through out_pes: the video at
// its first packet with a PTS and a sequence header, the audio at its first packet whose PTS is not
// earlier (modulo 2^33, half the range either way) than that one's, also when it comes first. Each
// packet: stream_id (E0 video, C0 or D0 audio), PTS, whether it holds a sequence or frame header.
struct BeginRow {
    const char* name;
    std::vector<std::tuple<uint8_t, int64_t, bool>> packets;
    std::vector<size_t> written = {};
};
TEST_F(Multiplexer, OutputBeginsAtASequenceHeaderWithTheAudioInStep) {
    const int64_t origin = int64_t(kOrigin), wrap = int64_t(kWrap), half = wrap / 2;
    const BeginRow rows[] = {
        {"the PTS and the header apart",
         {{0xE0, origin, false},
          {0xE0, kNone, true},
          {0xE0, origin + 10, true},
          {0xE0, kNone, false}},
         {2, 3}},
        {"audio first",
         {{0xC0, origin + 100, true}, {0xE0, origin, true}, {0xC0, origin + 10, false}},
         {1, 0, 2}},
        {"audio in step with the first picture, not a later one",
         {{0xE0, origin, true},
          {0xE0, origin + 100, true},
          {0xC0, origin - 1, true},
          {0xC0, kNone, false},
          {0xC0, origin, false},
          {0xC0, kNone, false}},
         {0, 1, 4, 5}},
        {"earlier across the wrap by less than half and by half; later across it",
         {{0xE0, wrap - 10, true},
          {0xC0, wrap - 20, true},
          {0xC0, half - 10, true},
          {0xC0, 5, false}},
         {0, 3}},
        {"audio without a PTS waits",
         {{0xE0, origin, true}, {0xD0, kNone, true}, {0xD0, origin, false}},
         {0, 2}},
        {"no sequence header: nothing",
         {{0xE0, origin, false}, {0xC0, origin, true}, {0xE0, origin + 10, false}}},
    };
    for (const BeginRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Bytes> packets;
        for (const auto& [id, pts, header] : row.packets)
            packets.push_back(pes(id, 100 + packets.size(), pts, kNone, header));
        for (demux_fn fn : {out_pack, out_pes}) {
            reset_ps_state();
            clear_written();
            for (const Bytes& packet : packets) EXPECT_EQ(feed(fn, packet), 0);
            const Bytes out = written();
            Bytes want;
            for (size_t i : row.written) append(want, packets[i]);
            const size_t size = fn == out_pes ? want.size() : row.written.size() * kPackSize;
            EXPECT_EQ(out.size(), size);
            EXPECT_TRUE(fn == out_pack || out == want);
        }
    }
}

// Audio held is bounded. Of 200 packets of 2000 bytes before the first picture, the oldest go;
// those in step with it (PTS origin + 150 on) follow it. Of 200 behind it on track 2, waiting for
// track 1 that never begins, none is lost: when the hold fills, all are written in order, the rest
// at once.
TEST_F(Multiplexer, AudioHeldIsBounded) {
    output_track tracks[3] = {};
    tracks[0].kind = kStreamVideo;
    tracks[1].kind = tracks[2].kind = kStreamMpegAudio;
    const Bytes picture = pes(0xE0, 300, int64_t(kOrigin) + 150, kNone, true);
    for (const bool waiting : {true, false}) {  // the fresh stream is track 0
        reset_ps_state();
        clear_written();
        set_conversion_tracks(tracks, waiting ? 3 : 0);
        if (waiting) {
            EXPECT_EQ(feed(out_pes, picture), 0);
        }
        stream_->track = 2;
        Bytes want = picture;
        for (int64_t k = 0; k < 200; ++k) {
            const Bytes audio = pes(0xC0, 2000, int64_t(kOrigin + 150 * waiting) + k, kNone, true);
            EXPECT_EQ(feed(out_pes, audio), 0);
            if (waiting || k >= 150) append(want, audio);
        }
        if (!waiting) {
            EXPECT_EQ(feed(out_pes, picture), 0);
        }
        EXPECT_EQ(written(), want);
    }
    set_conversion_tracks(nullptr, 0);
}
}  // namespace
