// Stream describers: find the first video sequence header or MPEG-1 audio
// frame header in a collected PES packet, show a one-line description of the
// stream and hand back its bit rate.
#include <cstdio>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

constexpr int32_t kSequenceHeaderBytes = 13;  // bytes read behind the start code
constexpr int kBitRateUnit = 400;             // bit_rate_value counts 400 bit/s
constexpr int kVariableBitRate = 0x3FFFF;     // bit_rate_value of a variable-rate stream
constexpr uint8_t kAudioSyncHigh = 0xFF;
constexpr uint8_t kAudioSyncLowMask = 0xF8;  // four more sync bits and ID = 1
constexpr int kAudioHeaderBytes = 4;
// AC-3: the bit stream information up to lfeon lies in the first 8 bytes.
constexpr int32_t kAc3InfoBytes = 8;
constexpr size_t kAc3ModeOffset = 6;  // acmod, bits 7..5
// Full-range channels by acmod (0 is two independent mono channels).
const int ac3_channels[8] = {2, 1, 2, 3, 3, 4, 4, 5};

// Kbit/s by layer (I, II, III) and bitrate_index, MPEG-1 audio.
const int32_t bitrates[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};

const char* const aspect_labels[16] = {
    ", aspect RESERVED", ", aspect 1:1",      ", aspect 4:3",      ", aspect 16:9",
    ", aspect 2.21:1",   ", aspect RESERVED", ", aspect RESERVED", ", aspect RESERVED",
    ", aspect RESERVED", ", aspect RESERVED", ", aspect RESERVED", ", aspect RESERVED",
    ", aspect RESERVED", ", aspect RESERVED", ", aspect RESERVED", ", aspect RESERVED",
};

const char* const frame_rate_labels[16] = {
    ", frame rate RESERVED", ", frame rate 23.976",   ", frame rate 24",
    ", frame rate 25",       ", frame rate 29.97",    ", frame rate 30",
    ", frame rate 50",       ", frame rate 59.94",    ", frame rate 60",
    ", frame rate RESERVED", ", frame rate RESERVED", ", frame rate RESERVED",
    ", frame rate RESERVED", ", frame rate RESERVED", ", frame rate RESERVED",
    ", frame rate RESERVED",
};

}  // namespace

int32_t find_sequence_header(const uint8_t* b, int32_t n) {
    int32_t i = 0;
    while (i + int32_t(kStartCodeSize) < n && get_be32(b + i) != kSequenceHeaderCode) ++i;
    // No code at all leaves fewer than kStartCodeSize bytes behind i.
    return n - i - int32_t(kStartCodeSize) < kSequenceHeaderBytes ? -1 : i;
}

int get_vinfo(const demux_stream* stream, int* rate) {
    *rate = 0;
    const uint8_t* b = stream->buffer;
    int32_t at = find_sequence_header(b, stream->length);
    if (at < 0) return 0;
    int p = at + int(kStartCodeSize);

    int width = b[p] << 4 | b[p + 1] >> 4;
    int height = (b[p + 1] & 0x0F) << 8 | b[p + 2];
    int aspect = b[p + 3] >> 4;
    int frame_rate = b[p + 3] & 0x0F;
    int bit_rate_value = b[p + 4] << 10 | b[p + 5] << 2 | b[p + 6] >> 6;

    char bit_rate[32] = "variable";
    if (bit_rate_value != kVariableBitRate)
        snprintf(bit_rate, sizeof bit_rate, "%.2f Mbit/s",
                 bit_rate_value * double(kBitRateUnit) / 1000000.0);
    qv_warn("Video: size = %d x %d%s%s, bit rate = %s\n", width, height, aspect_labels[aspect],
            frame_rate_labels[frame_rate], bit_rate);
    *rate = bit_rate_value * kBitRateUnit;
    return 1;
}

int32_t mpeg_audio_kbits(int layer_code, int bitrate_index) {
    return bitrates[3 - layer_code][bitrate_index & 0x0F];
}

int get_ainfo(const demux_stream* stream, int* rate) {
    return describe_audio(stream, "Audio", rate);
}

int describe_audio(const demux_stream* stream, const char* label, int* rate) {
    *rate = 0;
    const uint8_t* b = stream->buffer;
    int n = stream->length;
    if (n <= int(kPesHeaderLengthOffset)) return 0;
    int i = b[kPesHeaderLengthOffset] + int(kPesFixedHeaderSize);
    while (i + 2 < n &&
           !(b[i] == kAudioSyncHigh && (b[i + 1] & kAudioSyncLowMask) == kAudioSyncLowMask))
        ++i;
    if (i + kAudioHeaderBytes > n) return 0;

    int layer_code = (b[i + 1] >> 1) & 0x03;  // 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int bitrate_index = b[i + 2] >> 4;
    int sampling = (b[i + 2] >> 2) & 0x03;
    // The reserved layer code, met only in a false sync, has no bit rate.
    int kbits = layer_code == 0 ? 0 : mpeg_audio_kbits(layer_code, bitrate_index);

    qv_warn("%s: Layer %d, bit rate=%d kb/s, frequency=%2.1f kHz\n", label, 4 - layer_code, kbits,
            mpeg_audio_rate(sampling) / 1000.0);
    *rate = kbits * 1000;
    return 2;
}

int describe_ac3(const demux_stream* stream, const char* label, int* rate) {
    *rate = 0;
    const uint8_t* b = stream->buffer;
    const int32_t n = stream->length;
    if (n <= int32_t(kPesHeaderLengthOffset)) return 0;
    audio_frame f;
    int32_t i = b[kPesHeaderLengthOffset] + int32_t(kPesFixedHeaderSize);
    while (i + kAc3InfoBytes <= n && !read_audio_frame(kStreamAc3, b + i, n - i, &f)) ++i;
    if (i + kAc3InfoBytes > n) return 0;
    // acmod, then the mix levels and the surround mode it has, then lfeon.
    const int acmod = b[i + kAc3ModeOffset] >> 5;
    int skip = ((acmod & 1) && acmod != 1 ? 2 : 0) + (acmod & 4 ? 2 : 0) + (acmod == 2 ? 2 : 0);
    const int lfe = (get_be16(b + i + kAc3ModeOffset) >> (12 - skip)) & 1;
    qv_warn("%s: AC-3, bit rate=%d kb/s, frequency=%2.1f kHz, channels=%d%s\n", label, f.kbits,
            f.rate / 1000.0, ac3_channels[acmod], lfe ? ".1" : "");
    *rate = f.kbits * 1000;
    return 2;
}
