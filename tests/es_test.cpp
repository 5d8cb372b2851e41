// The elementary stream writer out_es, fed by hand with PES packets as the
// demultiplexer leaves them (whole recordings: ps_convert_test).
#include "support/fixture.h"
namespace {

using OutEs = StreamTest;

// A PES packet: stream id, PES_header_data_length, the bytes behind the fixed header.
Bytes es(uint8_t id, uint8_t header_length, const char* rest) {
    Bytes b = {0, 0, 1, id, 0, 0, 0x80, uint8_t(header_length ? 0x80 : 0), header_length};
    append(b, hex(rest));
    return b;
}

// Each row feeds its packets to out_es from a reset state: what it writes and shows.
struct EsRow {
    const char* name;
    std::vector<Bytes> packets;
    const char* written;
    Messages shown = {};
};

TEST_F(OutEs, WritesThePayloadFromTheFirstSequenceHeader) {
    const uint8_t video = 0xE0;
    const uint8_t audio = 0xC0;
    const std::vector<EsRow> rows = {
        {.name = "headers of 0, 4 and 20 bytes (beyond the packet) taken off exactly",
         .packets = {es(audio, 0, "11 22"),
                     es(audio, 4, "21 01 01 01 33"),
                     es(audio, 20, "21 01 01 01 44"),
                     {0, 0, 1}},
         .written = "11 22 33"},
        {.name = "two audio frames, described once",
         .packets = {es(audio, 0, "FF FD C4 00"), es(audio, 0, "FF FD C4 00")},
         .written = "FF FD C4 00 FF FD C4 00",
         .shown = {"Audio: Layer 2, bit rate=256 kb/s, frequency=48.0 kHz\n"}},
        {.name = "video from its sequence header on",
         .packets = {es(video, 0, "01 02"), es(video, 0, "AA 00 00 01 B3 BB"), es(video, 0, "CC"),
                     es(audio, 0, "55")},
         .written = "00 00 01 B3 BB CC 55"},
        {.name = "the start code split after 2 bytes",
         .packets = {es(video, 0, "07 00 00"), es(video, 0, "01 B3 01")},
         .written = "00 00 01 B3 01"},
        {.name = "the start code split after 1 byte",
         .packets = {es(video, 0, "00"), es(video, 0, "00 01 B3 02")},
         .written = "00 00 01 B3 02"},
        {.name = "the start code split at every place (the last after 3 bytes)",
         .packets = {es(video, 0, "00"), es(video, 0, "00"), es(video, 0, "01"),
                     es(video, 0, "B3 04")},
         .written = "00 00 01 B3 04"},
        {.name = "a picture without a sequence header: nothing",
         .packets = {es(video, 0, "00 00 01 00")},
         .written = ""},
    };
    for (const EsRow& row : rows) {
        SCOPED_TRACE(row.name);
        reset_es_state();
        clear_written();
        clear_capture();
        for (const Bytes& packet : row.packets) EXPECT_EQ(feed(out_es, packet), 0);
        EXPECT_EQ(written(), hex(row.written));
        EXPECT_EQ(capture().messages, row.shown);
    }
}
}  // namespace
