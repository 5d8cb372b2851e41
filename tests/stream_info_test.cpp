// The stream describers get_vinfo, get_ainfo and describe_ac3 on PES packets written here:
// the result, the rate and the line shown through the disk's callback.
//   | PES packet                                         | result, rate, line | | sequence headers
//   of chosen sizes, aspect, frame    | 1, the bit rate, their line; of two headers the first| |
//   rate and bit rate codes; one behind other codes    | | | audio headers of layer codes 3 to 0,
//   chosen bitrate| 2, the bit rate, their line; layer code 0 "Layer 4", | | and sampling indexes;
//   behind FF F0..F7 or all ones | indexes 0 and 15 no bit rate; what precedes skipped  | | a
//   header cut short, the code alone, none at all    | 0, rate 0, nothing shown, qv_error left as
//   it was    |
// describe_ac3 on AC-3 frame headers of chosen rates and channel modes (one behind a false sync):
// 2, the rate, "Audio: AC-3, ..."; cut short or E-AC-3 (bsid 16): 0.
#include "support/fixture.h"
namespace {

using StreamInfo = StreamTest;

Bytes pes(const char* header, const char* payload) {
    Bytes b = hex(header);
    append(b, hex(payload));
    return b;
}
Bytes audio(const char* payload) { return pes("00 00 01 C0 00 00 80 00 00", payload); }
Bytes ac3(const char* payload) { return pes("00 00 01 BD 00 00 80 00 00", payload); }
// A video PES packet holding a sequence header: the code, seven bytes, six zeros.
Bytes video(const char* header) {
    return pes("00 00 01 E0 00 00 80 00 00 00 00 01 B3",
               (std::string(header) + " 00 00 00 00 00 00").c_str());
}

TEST_F(StreamInfo, DescribesTheFirstHeader) {
    // The line is "Video: size = " or "Audio: Layer " and the row's text, then " Mbit/s\n" or "
    // kHz\n".
    const struct {
        Bytes packet;
        int result, rate;
        std::string line;
    } rows[] = {
        {video("2D 02 40 33 24 9F 23"), 1, 15000000,
         "720 x 576, aspect 16:9, frame rate 25, bit rate = 15.00"},
        {video("16 01 20 11 FF FF C0"), 1, 104857200,
         "352 x 288, aspect 1:1, frame rate 23.976, bit rate = 104.86"},
        {video("1E 11 E0 24 04 E2 00"), 1, 2000000,
         "481 x 480, aspect 4:3, frame rate 29.97, bit rate = 2.00"},
        {video("2D 02 40 47 00 00 40"), 1, 400,
         "720 x 576, aspect 2.21:1, frame rate 59.94, bit rate = 0.00"},
        {video("2D 02 40 08 24 9F 23"), 1, 15000000,
         "720 x 576, aspect RESERVED, frame rate 60, bit rate = 15.00"},
        {video("2D 02 40 52 24 9F 23"), 1, 15000000,
         "720 x 576, aspect RESERVED, frame rate 24, bit rate = 15.00"},
        {video("2D 02 40 F5 24 9F 23"), 1, 15000000,
         "720 x 576, aspect RESERVED, frame rate 30, bit rate = 15.00"},
        {video("2D 02 40 36 24 9F 23"), 1, 15000000,
         "720 x 576, aspect 16:9, frame rate 50, bit rate = 15.00"},
        {video("2D 02 40 10 24 9F 23"), 1, 15000000,
         "720 x 576, aspect 1:1, frame rate RESERVED, bit rate = 15.00"},
        {video("2D 02 40 29 24 9F 23"), 1, 15000000,
         "720 x 576, aspect 4:3, frame rate RESERVED, bit rate = 15.00"},
        {pes("00 00 01 E0 00 00 80 00 00 00 00 01 00 12 34 00 00 01 01 55",
             "00 00 01 B3 2D 02 40 3F 24 9F 23 "
             "00 00 00 00 00 00 00 00 01 B3 2D 02 40 11 24 9F 23 00 00 00 00 00 00"),
         1, 15000000, "720 x 576, aspect 16:9, frame rate RESERVED, bit rate = 15.00"},
        {pes("00 00 01 E0 00 00 80 00 00 00 00 01 B3", "2D 02 40 33 24 9F 23 00 00 00 00 00"), 0, 0,
         ""},
        {hex("00 00 01 B3"), 0, 0, ""},
        {audio("FF FD C4 00"), 2, 256000, "2, bit rate=256 kb/s, frequency=48.0"},
        {audio("FF FF 20 00"), 2, 64000, "1, bit rate=64 kb/s, frequency=44.1"},
        {audio("FF FF E4 00"), 2, 448000, "1, bit rate=448 kb/s, frequency=48.0"},
        {audio("FF FB 98 00"), 2, 128000, "3, bit rate=128 kb/s, frequency=32.0"},
        {audio("FF FB 20 00"), 2, 40000, "3, bit rate=40 kb/s, frequency=44.1"},
        {audio("FF FB 50 00"), 2, 64000, "3, bit rate=64 kb/s, frequency=44.1"},
        {audio("FF FD 7C 00"), 2, 112000, "2, bit rate=112 kb/s, frequency=0.0"},
        {audio("FF F9 C4 00"), 2, 0, "4, bit rate=0 kb/s, frequency=48.0"},
        {audio("FF FD 04 00"), 2, 0, "2, bit rate=0 kb/s, frequency=48.0"},
        {audio("FF FD F4 00"), 2, 0, "2, bit rate=0 kb/s, frequency=48.0"},
        {audio("FF F0 FF F7 FF FD C4 00"), 2, 256000, "2, bit rate=256 kb/s, frequency=48.0"},
        {pes("00 00 01 C0 FF F8 80 00 05", "FF FF FF FF FF FF FB 98 00"), 2, 128000,
         "3, bit rate=128 kb/s, frequency=32.0"},
        {audio("FF FD C4"), 0, 0, ""},
        {pes("00 00 01 C0 00 00 80 00 C8", "FF FD C4 00"), 0, 0, ""},
        {hex("00 00 01 C0 00"), 0, 0, ""},
        {ac3("0B 77 00 00 1C 40 EB 00"), 2, 384000,
         "AC-3, bit rate=384 kb/s, frequency=48.0 kHz, channels=5.1"},
        {ac3("0B 77 00 00 4A 40 40 00"), 2, 80000,
         "AC-3, bit rate=80 kb/s, frequency=44.1 kHz, channels=2"},
        {ac3("0B 77 00 00 C0 40 0B 77 00 00 80 40 30 00"), 2, 32000,
         "AC-3, bit rate=32 kb/s, frequency=32.0 kHz, channels=1.1"},
        {ac3("0B 77 00 00 1C 40 EB"), 0, 0, ""},
        {ac3("0B 77 00 00 1C 80 EB 00"), 0, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.packet));
        load(row.packet);
        clear_capture();
        qv_set_error("before");
        int rate = -1;
        const bool is_audio = row.packet[3] == 0xC0, is_ac3 = row.packet[3] == 0xBD;
        EXPECT_EQ(is_ac3     ? describe_ac3(stream_, "Audio", &rate)
                  : is_audio ? get_ainfo(stream_, &rate)
                             : get_vinfo(stream_, &rate),
                  row.result);
        EXPECT_EQ(rate, row.rate);
        const std::string line = row.line.empty() ? "before"
                                 : is_ac3         ? "Audio: " + row.line + "\n"
                                 : is_audio       ? "Audio: Layer " + row.line + " kHz\n"
                                                  : "Video: size = " + row.line + " Mbit/s\n";
        EXPECT_EQ(qv_error, line);
        EXPECT_EQ(capture().messages, row.line.empty() ? Messages{} : Messages{line});
    }
}
}  // namespace
