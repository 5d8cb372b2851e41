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

// One row a conversion, from a reset state.
//   | packets                                                        | written | | C0 behind
//   headers of 0, 4, 20 bytes (beyond the packet); 000001| 11 22 33: the header taken off exactly|
//   | C0 FF FD C4 00 twice                                           | both; described once | | E0
//   01 02; E0 AA 00 00 01 B3 BB; E0 CC; C0 55                   | video from its sequence header |
//   | the code 00 00 01 B3 split across packets at every place       | the code and the byte behind
//   it      | | E0 00 00 01 00 (a picture, no sequence header)                 | nothing |
TEST_F(OutEs, WritesThePayloadFromTheFirstSequenceHeader) {
    const uint8_t E0 = 0xE0, C0 = 0xC0;
    const struct {
        std::vector<Bytes> packets;
        const char* written;
        Messages shown;
    } rows[] = {
        {{es(C0, 0, "11 22"), es(C0, 4, "21 01 01 01 33"), es(C0, 20, "21 01 01 01 44"), {0, 0, 1}},
         "11 22 33",
         {}},
        {{es(C0, 0, "FF FD C4 00"), es(C0, 0, "FF FD C4 00")},
         "FF FD C4 00 FF FD C4 00",
         {"Audio: Layer 2, bit rate=256 kb/s, frequency=48.0 kHz\n"}},
        {{es(E0, 0, "01 02"), es(E0, 0, "AA 00 00 01 B3 BB"), es(E0, 0, "CC"), es(C0, 0, "55")},
         "00 00 01 B3 BB CC 55",
         {}},
        {{es(E0, 0, "07 00 00"), es(E0, 0, "01 B3 01")}, "00 00 01 B3 01", {}},
        {{es(E0, 0, "00"), es(E0, 0, "00 01 B3 02")}, "00 00 01 B3 02", {}},
        {{es(E0, 0, "00 00 01"), es(E0, 0, "B3 03")}, "00 00 01 B3 03", {}},
        {{es(E0, 0, "00"), es(E0, 0, "00"), es(E0, 0, "01"), es(E0, 0, "B3 04")},
         "00 00 01 B3 04",
         {}},
        {{es(E0, 0, "00 00 01 00")}, "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.written);
        reset_es_state();
        clear_written();
        clear_capture();
        for (const Bytes& p : row.packets) EXPECT_EQ(feed(out_es, p), 0);
        EXPECT_EQ(written(), hex(row.written));
        EXPECT_EQ(capture().messages, row.shown);
    }
}
}  // namespace
