// The stream describers get_vinfo and get_ainfo: the description line shown
// through the disk's progress callback, the rate and the result.
//   | PES packet                                         | result, rate, line                                  |
//   | the worked example (720x576, 16:9, 25)             | 1, 15000000, "... bit rate = 15.00 Mbit/s\n"        |
//   | every aspect and frame-rate code                   | the labels, 7 "59.94", reserved codes "RESERVED"    |
//   | bit_rate_value 0x3FFFF                             | 104857200, "104.86"                                 |
//   | header behind other start codes, then a second one | the first described                                 |
//   | 12 / 13 bytes behind the start code, 4-byte buffer | 0 / described / 0                                   |
//   | audio FF FD C4                                     | 2, 256000, Layer 2 256 kb/s 48.0 kHz                |
//   | layer codes 3, 2, 1, 0                             | Layers 1, 2, 3, 4; layer code 0 has bit rate 0      |
//   | bitrate_index 0 and 15, sampling_frequency 3       | bit rate 0 (still 2), frequency 0.0                 |
//   | FF F0..F7 before the header; header length past end| skipped; 0                                          |
//   | nothing found                                      | 0, rate 0, nothing shown, qv_error left alone       |
//   | the sample's video and both audio tracks           | their lines                                         |
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mpeg/mpeg.h"
#include "support/capture.h"
#include "support/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

const Bytes kPesHeader = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
const Bytes kSequenceHeader = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0x24,
                               0x9F, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

class StreamInfo : public ::testing::Test {
protected:
    void SetUp() override {
        clear_capture();
        saved_ = qv->progress;
        qv->progress = capture_progress;
        stream_.reset(new demux_stream);
    }
    void TearDown() override { qv->progress = saved_; }
    // Puts bytes into the stream's buffer as the collected PES packet.
    demux_stream* pes(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), stream_->buffer);
        stream_->length = int32_t(bytes.size());
        return stream_.get();
    }
    // Runs get_vinfo on bytes; returns the line shown, "" when none.
    std::string video(const Bytes& bytes, int expect_result = 1) {
        clear_capture();
        int rate = -1;
        EXPECT_EQ(get_vinfo(pes(bytes), &rate), expect_result);
        rate_ = rate;
        return capture().messages.empty() ? "" : capture().messages.back();
    }
    std::string audio(const Bytes& bytes, int expect_result = 2) {
        clear_capture();
        int rate = -1;
        EXPECT_EQ(get_ainfo(pes(bytes), &rate), expect_result);
        rate_ = rate;
        return capture().messages.empty() ? "" : capture().messages.back();
    }
    progress_callback saved_ = nullptr;
    std::unique_ptr<demux_stream> stream_;
    int rate_ = 0;
};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A sequence header with the given aspect and frame-rate codes and bit rate value.
Bytes sequence(int aspect, int frame_rate, uint32_t bit_rate_value = 37500) {
    Bytes b = kSequenceHeader;
    b[7] = uint8_t(aspect << 4 | frame_rate);
    b[8] = uint8_t(bit_rate_value >> 10);
    b[9] = uint8_t(bit_rate_value >> 2);
    b[10] = uint8_t((bit_rate_value & 3) << 6 | 0x23);
    return b;
}

// An audio PES: header (PES_header_data_length 0) and the given payload.
Bytes audio_pes(const Bytes& payload) {
    Bytes b = kPesHeader;
    b[3] = 0xC0;
    return cat(b, payload);
}

TEST_F(StreamInfo, VideoExampleOfTheRecorder) {
    EXPECT_EQ(video(cat(kPesHeader, kSequenceHeader)),
              "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 15.00 Mbit/s\n");
    EXPECT_EQ(rate_, 15000000);
    EXPECT_EQ(video(sequence(3, 3, 0x3FFFF)),
              "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 104.86 Mbit/s\n");
    EXPECT_EQ(rate_, 104857200);
}

TEST_F(StreamInfo, VideoLabelsForEveryCode) {
    const char* aspects[16] = {"RESERVED", "1:1", "4:3", "16:9", "2.21:1"};
    const char* rates[16] = {"RESERVED", "23.976", "24", "25", "29.97", "30", "50", "59.94", "60"};
    for (int code = 0; code < 16; ++code) {
        std::string aspect = aspects[code] ? aspects[code] : "RESERVED";
        std::string rate = rates[code] ? rates[code] : "RESERVED";
        EXPECT_EQ(video(sequence(code, 3)),
                  "Video: size = 720 x 576, aspect " + aspect + ", frame rate 25, bit rate = 15.00 Mbit/s\n");
        EXPECT_EQ(video(sequence(3, code)),
                  "Video: size = 720 x 576, aspect 16:9, frame rate " + rate + ", bit rate = 15.00 Mbit/s\n");
    }
}

TEST_F(StreamInfo, VideoScanAndBounds) {
    // Behind a picture and a slice start code; a second header (1:1) is not looked at.
    Bytes deep = cat(cat(kPesHeader, {0, 0, 1, 0x00, 0x12, 0x34, 0, 0, 1, 0x01, 0x55}), kSequenceHeader);
    deep = cat(deep, sequence(1, 1));
    EXPECT_EQ(video(deep), "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 15.00 Mbit/s\n");

    Bytes code_and_12(kSequenceHeader.begin(), kSequenceHeader.begin() + 16);
    EXPECT_EQ(video(code_and_12, 0), "");
    EXPECT_EQ(rate_, 0);
    Bytes code_and_13(kSequenceHeader.begin(), kSequenceHeader.begin() + 17);
    EXPECT_NE(video(code_and_13), "");
    EXPECT_EQ(video({0, 0, 1, 0xB3}, 0), "");
    EXPECT_EQ(video(kPesHeader, 0), "");
}

TEST_F(StreamInfo, AudioExampleAndLayers) {
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFD, 0xC4, 0x00})), "Audio: Layer 2, bit rate=256 kb/s, frequency=48.0 kHz\n");
    EXPECT_EQ(rate_, 256000);
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFF, 0xC0, 0x00})), "Audio: Layer 1, bit rate=384 kb/s, frequency=44.1 kHz\n");
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFB, 0x98, 0x00})), "Audio: Layer 3, bit rate=128 kb/s, frequency=32.0 kHz\n");
    EXPECT_EQ(rate_, 128000);
    // The reserved layer code (a false sync): layer number 4, no bit rate.
    EXPECT_EQ(audio(audio_pes({0xFF, 0xF9, 0xC4, 0x00})), "Audio: Layer 4, bit rate=0 kb/s, frequency=48.0 kHz\n");
    EXPECT_EQ(rate_, 0);
}

TEST_F(StreamInfo, AudioFreeAndForbiddenIndexesAndReservedFrequency) {
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFD, 0x04, 0x00})), "Audio: Layer 2, bit rate=0 kb/s, frequency=48.0 kHz\n");
    EXPECT_EQ(rate_, 0);
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFD, 0xF4, 0x00})), "Audio: Layer 2, bit rate=0 kb/s, frequency=48.0 kHz\n");
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFD, 0xCC, 0x00})), "Audio: Layer 2, bit rate=256 kb/s, frequency=0.0 kHz\n");
}

TEST_F(StreamInfo, AudioScanAndBounds) {
    // FF F0 to FF F7 (ID 0) are passed over; the PES header itself is never looked at.
    Bytes header = audio_pes({0xFF, 0xF0, 0xFF, 0xF7, 0xFF, 0xFD, 0xC4, 0x00});
    header[4] = 0xFF;
    header[5] = 0xF8;
    EXPECT_EQ(audio(header), "Audio: Layer 2, bit rate=256 kb/s, frequency=48.0 kHz\n");
    // Behind a PES_header_data_length of 5.
    Bytes longer = audio_pes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB, 0x98, 0x00});
    longer[8] = 5;
    EXPECT_EQ(audio(longer), "Audio: Layer 3, bit rate=128 kb/s, frequency=32.0 kHz\n");

    qv_set_error("before");
    EXPECT_EQ(audio(audio_pes({0xFF, 0xFD, 0xC4}), 0), "");   // the fourth byte missing
    Bytes past = audio_pes({0xFF, 0xFD, 0xC4, 0x00});
    past[8] = 200;
    EXPECT_EQ(audio(past, 0), "");
    EXPECT_EQ(rate_, 0);
    EXPECT_EQ(audio({0, 0, 1}, 0), "");
    EXPECT_STREQ(qv_error, "before");
}

// The first PES packet of pid in a transport stream that holds whole packets
// without adaptation-only gaps at its start.
Bytes first_pes(const Bytes& ts, uint32_t pid) {
    Bytes out;
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        const uint8_t* p = &ts[at];
        if ((uint32_t(p[1] & 0x1F) << 8 | p[2]) != pid || !(p[3] & 0x10)) continue;
        bool start = (p[1] & 0x40) != 0;
        if (start && !out.empty()) break;
        if (!start && out.empty()) continue;
        size_t payload = 4 + ((p[3] & 0x20) ? p[4] + 1u : 0u);
        out.insert(out.end(), p + payload, p + kTsPacketSize);
    }
    return out;
}

TEST_F(StreamInfo, TheSamplesStreams) {
    Bytes ts = load_sample_ts();
    ASSERT_FALSE(ts.empty());
    EXPECT_EQ(video(first_pes(ts, 0x101)),
              "Video: size = 720 x 576, aspect 16:9, frame rate 25, bit rate = 2.50 Mbit/s\n");
    EXPECT_EQ(rate_, 2500000);
    EXPECT_EQ(audio(first_pes(ts, 0x102)), "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n");
    EXPECT_EQ(rate_, 192000);
    EXPECT_EQ(audio(first_pes(ts, 0x103)), "Audio: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n");
}

}  // namespace
