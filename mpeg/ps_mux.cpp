// The program stream multiplexer: PES packets of the recording's video and
// audio PIDs leave either as 2048-byte program stream packs (mode "VOB") or
// as a plain sequence of PES packets (mode "M2P"). Long PES packets are cut
// into pieces by repack_pes, each piece after the first carrying a short
// continuation header. Both outputs begin where a player can begin: at the
// first video packet with a PTS and a sequence header, the audio in step
// with it (playback_start).
#include <cinttypes>
#include <cstring>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

// Pack header.
constexpr uint32_t kPackStartCode = 0x000001BA;
constexpr uint32_t kPesStartCodePrefix = 0x000001;
constexpr uint8_t kMuxRate[3] = {0x01, 0x89, 0xC3};  // 25200 x 50 bytes/s, two marker bits
constexpr size_t kScrOffset = 4;
constexpr size_t kMuxRateOffset = 10;
constexpr size_t kStuffingLengthOffset = 13;
constexpr uint8_t kStuffingLengthBase = 0xF8;  // five reserved bits 1, 3-bit length
constexpr uint32_t kMaxPackStuffing = 7;
constexpr uint8_t kFillByte = 0xFF;
constexpr uint8_t kScrPrefix = 0x40;  // '01' in front of the SCR
constexpr uint8_t kScrMarker = 0x04;
constexpr uint64_t kScrBaseMask = kClockMask33;

// Padding packet: start code, stream id, length; the smallest one is 8 bytes,
// so that at least two fill bytes follow its header.
constexpr uint32_t kPaddingHeaderSize = kPesLengthBase;
constexpr uint32_t kMinPadding = kMaxPackStuffing + 1;

// PES header bits.
constexpr uint8_t kMpeg2HeaderMask = 0xC0;
constexpr uint8_t kMpeg2HeaderBits = 0x80;
constexpr uint8_t kPtsFlag = 0x80;
constexpr uint8_t kDtsFlag = 0x40;
constexpr uint8_t kContinuationFlagsMask = 0xF3;  // PES_priority, data_alignment cleared
constexpr uint8_t kTimeStampPrefixMask = 0xF0;
constexpr uint32_t kTimeStampSize = 5;
constexpr uint32_t kMaxPesLengthField = 0xFFFF;

// Bits of init.
constexpr int kVideoBit = 1;
constexpr int kAudioBit = 2;

// A time stamp difference modulo 2^33 below this is a step forward.
constexpr uint64_t kHalfTimeStampRange = uint64_t(1) << 32;

// Where the output of one writer begins, so that it plays from its first
// byte: the video with its first packet that carries a PTS and a sequence
// header (a decoder can start there), the audio with its first packet whose
// PTS is not earlier than that video packet's.
struct playback_start {
    bool video;          // the video has begun
    bool audio;          // the audio has begun
    uint64_t video_pts;  // PTS of the packet the video began with (90 kHz)
};

// The state of one writer (out_pack or out_pes) in one conversion.
struct writer_state {
    int init;  // streams described (kVideoBit, kAudioBit)
    int vr, ar;
    playback_start start;
};

// The multiplexer state of one conversion; reset_ps_state clears it.
struct ps_state {
    writer_state pack;
    uint64_t first_scr;  // 27 MHz: the scr of the first pack, taken as the video begins
    writer_state pes;
    // the packet warnings
    int64_t bad_starts;
    int64_t bad_lengths;
    int first_declared, first_true;  // the first wrong length
    int64_t too_long_for_pack;
    int64_t unbounded;  // M2P packets written with length 0
};

ps_state state;

int write_failed() {
    qv_write_failed(kDiskFullMessage);
    return 1;
}

// The later pieces of a packet that was dropped for a bad start carry an
// all-zero header instead of a continuation header: they go with it, and
// are not counted again. (The later pieces of a packet dropped because the
// output has not begun need no mark: they carry no PTS, and so cannot begin
// a stream.)
constexpr uint8_t kDroppedPiece[kPesFixedHeaderSize] = {};

bool dropped_piece(const uint8_t* b, int32_t n) {
    return n >= int32_t(kPesFixedHeaderSize) && memcmp(b, kDroppedPiece, sizeof kDroppedPiece) == 0;
}

// A packet too short for the fixed PES header, or without the start code
// prefix, is dropped and counted.
bool good_start(const uint8_t* b, int32_t n) {
    if (n >= int32_t(kPesFixedHeaderSize) && get_be24(b) == kPesStartCodePrefix) return true;
    if (!dropped_piece(b, n)) ++state.bad_starts;
    return false;
}

// Counts a nonzero PES_packet_length that is not the collected length.
void check_length(uint32_t declared, int32_t n) {
    if (declared == 0 || int64_t(declared) == int64_t(n) - kPesLengthBase) return;
    if (state.bad_lengths++ == 0) {
        state.first_declared = int(declared);
        state.first_true = int(n - int32_t(kPesLengthBase));
    }
}

// Describes the streams from the packets until both are known; each
// description is shown once.
void describe(const demux_stream* stream, writer_state& w) {
    uint8_t id = stream->buffer[kPesStreamIdOffset];
    if (!(w.init & kVideoBit) && is_video_stream(id)) w.init |= get_vinfo(stream, &w.vr);
    if (!(w.init & kAudioBit) && is_audio_stream(id)) w.init |= get_ainfo(stream, &w.ar);
}

// The PTS of the packet b of n bytes into *pts; false when it has none.
bool packet_pts(const uint8_t* b, int32_t n, uint64_t* pts) {
    if ((b[kPesFlagsOffset] & kMpeg2HeaderMask) != kMpeg2HeaderBits ||
        !(b[kPesPtsDtsFlagsOffset] & kPtsFlag) || n < int32_t(kPesPtsOffset + kTimeStampSize))
        return false;
    *pts = get_pts_dts(b + kPesPtsOffset);
    return true;
}

// Whether the packet b of n bytes is written, by the rules of
// playback_start. Pieces without a PTS (later pieces of a packet, packets
// without one) go the way of the stream; other stream ids go with the video.
bool playing(playback_start& start, const uint8_t* b, int32_t n) {
    uint64_t pts = 0;
    if (is_video_stream(b[kPesStreamIdOffset])) {
        if (!start.video && packet_pts(b, n, &pts) && find_sequence_header(b, n) >= 0) {
            start.video = true;
            start.video_pts = pts;
        }
        return start.video;
    }
    if (!is_audio_stream(b[kPesStreamIdOffset])) return start.video;
    // "Not earlier" across the wrap of the 33-bit clock: the difference
    // modulo 2^33 read as a signed number is not negative.
    if (start.video && !start.audio && packet_pts(b, n, &pts) &&
        ((pts - start.video_pts) & kClockMask33) < kHalfTimeStampRange)
        start.audio = true;
    return start.audio;
}

void put_scr(uint8_t* p, uint64_t base, uint32_t extension) {
    base &= kScrBaseMask;
    p[0] = uint8_t(kScrPrefix | ((base >> 27) & 0x38) | kScrMarker | ((base >> 28) & 0x03));
    p[1] = uint8_t(base >> 20);
    p[2] = uint8_t(((base >> 12) & 0xF8) | kScrMarker | ((base >> 13) & 0x03));
    p[3] = uint8_t(base >> 5);
    p[4] = uint8_t(((base << 3) & 0xF8) | kScrMarker | ((extension >> 7) & 0x03));
    p[5] = uint8_t(((extension << 1) & 0xFE) | 1);
}

// Moves the time stamp at field back by origin (90 kHz), modulo 2^33.
void move_time_stamp(uint8_t* field, uint64_t origin) {
    uint64_t t = (get_pts_dts(field) - origin) & kClockMask33;
    set_pts_dts(t, field[0] & kTimeStampPrefixMask, field);
}

}  // namespace

uint64_t get_pts_dts(const uint8_t* field) {
    return uint64_t((field[0] >> 1) & 0x07) << 30 | uint64_t(field[1]) << 22 |
           uint64_t(field[2] >> 1) << 15 | uint64_t(field[3]) << 7 | uint64_t(field[4] >> 1);
}

void set_pts_dts(uint64_t value, int prefix, uint8_t* field) {
    field[0] = uint8_t(uint8_t(prefix) | ((value >> 29) & 0x0E) | 1);
    field[1] = uint8_t(value >> 22);
    field[2] = uint8_t(((value >> 14) & 0xFE) | 1);
    field[3] = uint8_t(value >> 7);
    field[4] = uint8_t(((value << 1) & 0xFE) | 1);
}

void reset_ps_state() { state = ps_state{}; }

int repack_pes(demux_stream* stream) {
    uint8_t* b = stream->buffer;
    // A piece of a dropped packet goes the way of its first piece.
    bool dropped = dropped_piece(b, stream->length);
    int64_t bad_starts = state.bad_starts;
    int result = 0;
    if (!dropped) {
        put_be16(b + kPesLengthOffset, uint32_t(stream->length) - kPesLengthBase);
        result = stream->out_fn(stream);
    }
    if (dropped || state.bad_starts != bad_starts) {
        memcpy(b, kDroppedPiece, sizeof kDroppedPiece);
    } else {
        put_be24(b, kPesStartCodePrefix);
        put_be16(b + kPesLengthOffset, 0);
        b[kPesFlagsOffset] &= kContinuationFlagsMask;
        b[kPesPtsDtsFlagsOffset] = 0;
        b[kPesHeaderLengthOffset] = 0;
    }
    stream->length = int32_t(kPesFixedHeaderSize);
    return result;
}

int out_pack(demux_stream* stream) {
    const uint8_t* b = stream->buffer;
    int32_t n = stream->length;
    if (!good_start(b, n)) return 0;
    uint8_t id = b[kPesStreamIdOffset];
    // Only video and MPEG audio packets belong in the packs; the pack
    // arithmetic holds for packets of up to 2034 bytes.
    if (!is_audio_stream(id) && !is_video_stream(id)) {
        ++state.bad_starts;
        return 0;
    }
    if (n > int32_t(kVobPiece)) {
        ++state.too_long_for_pack;
        return 0;
    }
    check_length(get_be16(b + kPesLengthOffset), n);

    describe(stream, state.pack);
    bool first = !state.pack.start.video;
    if (!playing(state.pack.start, b, n)) return 0;
    // The clock's origin is the first pack's scr: that pack has SCR 0.
    if (first) state.first_scr = stream->scr;
    uint64_t d = (stream->scr - state.first_scr) & kClockMask42;

    // The whole pack is built here and written at once.
    uint8_t pack[kPackSize];
    uint32_t room = kVobPiece - uint32_t(n);
    uint32_t stuffing = room <= kMaxPackStuffing ? room : 0;
    put_be32(pack, kPackStartCode);
    put_scr(pack + kScrOffset, d / kPcrTicksPerBase, uint32_t(d % kPcrTicksPerBase));
    memcpy(pack + kMuxRateOffset, kMuxRate, sizeof kMuxRate);
    pack[kStuffingLengthOffset] = uint8_t(kStuffingLengthBase + stuffing);
    memset(pack + kPackHeaderSize, kFillByte, stuffing);

    uint8_t* pes = pack + kPackHeaderSize + stuffing;
    memcpy(pes, b, size_t(n));
    pes[kPesStreamIdOffset] = uint8_t(id & kStreamIdAudioMask);  // 0xE0 or 0xC0
    put_be16(pes + kPesLengthOffset, uint32_t(n) - kPesLengthBase);
    if ((pes[kPesFlagsOffset] & kMpeg2HeaderMask) == kMpeg2HeaderBits) {
        uint64_t origin = state.first_scr / kPcrTicksPerBase;
        uint8_t flags = pes[kPesPtsDtsFlagsOffset];
        if ((flags & kPtsFlag) && n >= int32_t(kPesPtsOffset + kTimeStampSize))
            move_time_stamp(pes + kPesPtsOffset, origin);
        if ((flags & kDtsFlag) && n >= int32_t(kPesDtsOffset + kTimeStampSize))
            move_time_stamp(pes + kPesDtsOffset, origin);
    }

    if (room >= kMinPadding) {
        uint8_t* padding = pes + n;
        put_be24(padding, kPesStartCodePrefix);
        padding[kPesStreamIdOffset] = kPaddingStreamId;
        put_be16(padding + kPesLengthOffset, room - kPaddingHeaderSize);
        memset(padding + kPaddingHeaderSize, kFillByte, room - kPaddingHeaderSize);
    }
    if (fwrite(pack, 1, kPackSize, stream->file) != kPackSize) return write_failed();
    return 0;
}

int out_pes(demux_stream* stream) {
    uint8_t* b = stream->buffer;
    int32_t n = stream->length;
    if (!good_start(b, n)) return 0;
    uint32_t declared = get_be16(b + kPesLengthOffset);
    check_length(declared, n);
    describe(stream, state.pes);
    if (!playing(state.pes.start, b, n)) return 0;

    // A program stream carries the true length of every packet; one too long
    // for the 16-bit field can only leave unbounded.
    uint32_t length = uint32_t(n) - kPesLengthBase;
    if (length > kMaxPesLengthField) {
        length = 0;
        ++state.unbounded;
    }
    if (length != declared) put_be16(b + kPesLengthOffset, length);
    if (fwrite(b, 1, size_t(n), stream->file) != size_t(n)) return write_failed();
    return 0;
}

void report_ps_warnings(progress_callback callback) {
    if (state.bad_starts)
        qv_inform(callback,
                  "%" PRId64 " PES packets with a bad start dropped (Bad PES packet start)\n",
                  state.bad_starts);
    if (state.bad_lengths)
        qv_inform(callback,
                  "%" PRId64
                  " PES packets with a wrong length (first: bad PES packet length %d != %d)\n",
                  state.bad_lengths, state.first_declared, state.first_true);
    if (state.too_long_for_pack)
        qv_inform(callback, "%" PRId64 " PES packets longer than %u bytes dropped\n",
                  state.too_long_for_pack, kVobPiece);
    if (state.unbounded)
        qv_inform(callback,
                  "%" PRId64
                  " PES packets too long for their length field were written with length 0; "
                  "a repack size of at most %u avoids them\n",
                  state.unbounded, kMaxPesPacketLength);
}
