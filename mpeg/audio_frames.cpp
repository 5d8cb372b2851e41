// Audio frames of MPEG-1 audio and AC-3: how a frame header is told, how
// long its frame is and how many samples it holds; and the walk over the
// frames of a stream that arrives in pieces (PES packets, or the pieces they
// are cut into), which tells for each piece the frames that begin in it and
// the time stamp of the first.
#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

// MPEG-1 audio (ISO/IEC 11172-3): 12-bit syncword, ID 1, layer, protection;
// bitrate_index, sampling_frequency, padding_bit.
constexpr uint8_t kMpegSyncHigh = 0xFF;
constexpr uint8_t kMpegSyncLowMask = 0xF8;  // four more sync bits and ID = 1
constexpr int32_t kMpegHeaderBytes = 4;
constexpr int32_t kLayerISamples = 384;
constexpr int32_t kLayerIiSamples = 1152;  // Layers II and III
constexpr int32_t kLayerISlot = 4;         // bytes of a Layer I slot
constexpr int32_t kLayerICoefficient = 12;
constexpr int32_t kLayerIiCoefficient = 144;
constexpr int kMpegRateCount = 3;  // sampling_frequency 3 is reserved
constexpr int32_t kMpegRates[kMpegRateCount] = {44100, 48000, 32000};

// AC-3 (ATSC A/52): syncword 0B 77, crc1, fscod and frmsizecod, bsid.
constexpr uint8_t kAc3Sync[2] = {0x0B, 0x77};
constexpr int32_t kAc3HeaderBytes = 6;
constexpr size_t kAc3RateOffset = 4;
constexpr size_t kAc3BsidOffset = 5;
constexpr int kAc3MaxBsid = 8;  // higher ones are E-AC-3, another frame syntax
constexpr int32_t kAc3Samples = 1536;
constexpr int32_t kAc3Rates[3] = {48000, 44100, 32000};
constexpr int kAc3FrameSizeCodes = 38;
// Kbit/s by frmsizecod / 2.
constexpr int32_t kAc3Bitrates[kAc3FrameSizeCodes / 2] = {
    32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr int32_t kBitsPerWord = 16;

constexpr uint64_t kPtsClock = 90000;

bool read_mpeg_frame(const uint8_t* p, audio_frame* f) {
    if (p[0] != kMpegSyncHigh || (p[1] & kMpegSyncLowMask) != kMpegSyncLowMask) return false;
    const int layer_code = (p[1] >> 1) & 0x03;  // 3 Layer I, 2 Layer II, 1 Layer III
    const int bitrate_index = p[2] >> 4, sampling = (p[2] >> 2) & 0x03, padding = (p[2] >> 1) & 1;
    f->kbits = layer_code == 0 ? 0 : mpeg_audio_kbits(layer_code, bitrate_index);
    const int32_t rate = mpeg_audio_rate(sampling);
    if (f->kbits == 0 || rate == 0) return false;  // free format, reserved values
    f->rate = rate;
    const int32_t bits = f->kbits * 1000;
    if (layer_code == 3) {
        f->samples = kLayerISamples;
        f->size = (kLayerICoefficient * bits / f->rate + padding) * kLayerISlot;
    } else {
        f->samples = kLayerIiSamples;
        f->size = kLayerIiCoefficient * bits / f->rate + padding;
    }
    return true;
}

bool read_ac3_frame(const uint8_t* p, audio_frame* f) {
    if (p[0] != kAc3Sync[0] || p[1] != kAc3Sync[1]) return false;
    const int fscod = p[kAc3RateOffset] >> 6, frmsizecod = p[kAc3RateOffset] & 0x3F;
    if (fscod == 3 || frmsizecod >= kAc3FrameSizeCodes || (p[kAc3BsidOffset] >> 3) > kAc3MaxBsid)
        return false;
    f->kbits = kAc3Bitrates[frmsizecod / 2];
    f->rate = kAc3Rates[fscod];
    f->samples = kAc3Samples;
    // Words of 16 bits a frame; at 44.1 kHz the odd codes add one.
    const int32_t words = f->kbits * 1000 * kAc3Samples / f->rate / kBitsPerWord +
                          (fscod == 1 ? (frmsizecod & 1) : 0);
    f->size = words * (kBitsPerWord / 8);
    return true;
}

// Whether the first avail bytes at p (fewer than a header) may begin a frame.
bool may_begin_frame(stream_kind kind, const uint8_t* p, int32_t avail) {
    const uint8_t first = kind == kStreamAc3 ? kAc3Sync[0] : kMpegSyncHigh;
    return avail < 1 || p[0] == first;
}

}  // namespace

int32_t mpeg_audio_rate(int sampling) {
    return sampling >= 0 && sampling < kMpegRateCount ? kMpegRates[sampling] : 0;
}

int32_t audio_header_bytes(stream_kind kind) {
    return kind == kStreamAc3 ? kAc3HeaderBytes : kMpegHeaderBytes;
}

bool read_audio_frame(stream_kind kind, const uint8_t* p, int32_t avail, audio_frame* f) {
    if (avail < audio_header_bytes(kind)) return false;
    return kind == kStreamAc3 ? read_ac3_frame(p, f) : read_mpeg_frame(p, f);
}

void note_pes_pts(frame_walk& w, uint64_t pts) {
    w.pending = true;
    w.pending_pts = pts;
}

frame_span walk_frames(frame_walk& w, stream_kind kind, const uint8_t* d, int32_t m) {
    frame_span span = {0, 0, false, 0};
    bool in_step = w.ahead >= 0;
    int32_t i = in_step ? w.ahead : 0;
    const int32_t need = audio_header_bytes(kind);
    while (i < m) {
        audio_frame f;
        const int32_t avail = m - i;
        // A header cut off by the end of the piece: in step, its frame is
        // taken as long as the one before.
        bool found = avail >= need
                         ? read_audio_frame(kind, d + i, avail, &f)
                         : in_step && w.last.size > 0 && may_begin_frame(kind, d + i, avail);
        if (found && avail < need) f = w.last;
        if (!found) {
            if (avail < need && !in_step) break;
            in_step = false;  // out of step: the next header from here on
            ++i;
            continue;
        }
        in_step = true;
        w.last = f;
        if (w.pending) {
            w.timed = true;
            w.base_pts = w.pending_pts;
            w.samples = 0;
            w.pending = false;
        }
        if (span.frames++ == 0) {
            span.first = i;
            span.timed = w.timed;
            span.pts =
                (w.base_pts + uint64_t(w.samples) * kPtsClock / uint64_t(f.rate)) & kClockMask33;
        }
        w.samples += f.samples;
        i += f.size;
    }
    w.ahead = in_step ? i - m : -1;
    return span;
}
