// The program stream multiplexer: PES packets of the recording's streams
// leave either as 2048-byte program stream packs (mode "VOB") or as a plain
// sequence of PES packets (mode "M2P"). Long PES packets are cut into pieces
// by repack_pes, each piece after the first carrying a short continuation
// header. Both outputs begin where a player can begin: at the first video
// packet with a PTS and a sequence header, each audio track in step with it
// (playback_start). AC-3 leaves as a DVD carries it, in private stream 1
// behind a sub-stream header; with --dvd a VOB gets a navigation pack in
// front of each group of pictures and a time stamp on each audio piece.
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
constexpr uint8_t kPtsOnlyPrefix = 0x20;          // '0010' in front of a PTS without DTS
constexpr uint8_t kContinuationFlagsMask = 0xF3;  // PES_priority, data_alignment cleared
constexpr uint8_t kTimeStampPrefixMask = 0xF0;
constexpr uint32_t kTimeStampSize = 5;
constexpr uint32_t kMaxPesLengthField = 0xFFFF;
constexpr int kMaxHeaderDataLength = 0xFF;

// AC-3 in private stream 1, as a DVD carries it: the sub-stream number, the
// count of frames that begin in the packet and where the first of them
// begins, counted from the last byte of this field (0: none begins).
constexpr uint32_t kSubstreamHeaderSize = 4;
constexpr int32_t kMaxFrameCount = 0xFF;

// The DVD navigation pack: pack header, system header, then the
// presentation control (PCI) and data search (DSI) packets in private stream
// 2. dvdauthor fills in their tables; written here are where the pack lies
// (its sector), its SCR and the start time of its unit.
constexpr uint32_t kSystemHeaderCode = 0x000001BB;
constexpr uint8_t kSystemHeader[] = {
    0x00, 0x12,        // header_length 18
    0x80, 0xC4, 0xE1,  // marker, rate_bound 25200 (50 bytes/s), marker
    0x00,              // audio_bound (set per conversion), fixed_flag 0, CSPS_flag 0
    0xE1,              // audio and video locked, marker, video_bound 1
    0x7F,              // no packet rate restriction, reserved
    // The buffer bounds of DVD-Video ('11', scale, size):
    0xB9, 0xE0, 0xE8,  // every video stream: 232 x 1024 bytes
    0xB8, 0xC0, 0x20,  // every MPEG audio stream: 32 x 128 bytes
    0xBD, 0xE0, 0x3A,  // private stream 1: 58 x 1024 bytes
    0xBF, 0xE0, 0x02,  // private stream 2: 2 x 1024 bytes
};
constexpr size_t kAudioBoundOffset = 5;  // in kSystemHeader
constexpr uint32_t kAudioBoundShift = 2;
constexpr size_t kSystemHeaderSize = kStartCodeSize + sizeof kSystemHeader;  // 24
constexpr uint8_t kPrivateStream2 = 0xBF;
constexpr size_t kPciOffset = kPackHeaderSize + kSystemHeaderSize;  // 38
constexpr uint32_t kPciLength = 980;                                // PES_packet_length
constexpr size_t kDsiOffset = 1024;
constexpr uint32_t kDsiLength = 1018;
constexpr uint8_t kPciSubstream = 0x00;
constexpr uint8_t kDsiSubstream = 0x01;
constexpr size_t kNavDataOffset = kPesLengthBase + 1;  // behind the sub-stream number
constexpr size_t kPciSector = 0;                       // nv_pck_lbn
constexpr size_t kPciStartTime = 12;                   // vobu_s_ptm
constexpr size_t kDsiScr = 0;                          // nv_pck_scr
constexpr size_t kDsiSector = 4;                       // nv_pck_lbn
constexpr uint32_t kGroupStartCode = 0x000001B8;

// A time stamp difference modulo 2^33 below this is a step forward.
constexpr uint64_t kHalfTimeStampRange = uint64_t(1) << 32;

// The track a packet belongs to and how it leaves: without the
// conversion's tracks, the kind its stream_id tells (track 0 video, 1 MPEG
// audio, -1 another kind).
struct packet_track {
    int index;
    stream_kind kind;
    uint8_t id;  // the stream_id it leaves with; 0: as it came (M2P), its kind's first (VOB)
    uint8_t sub_id;
    const char* label;
};

// What one writer knows of one track.
struct track_state {
    bool described;
    bool begun;       // audio: its output has begun
    frame_walk walk;  // the frames of AC-3, and with --dvd of every audio track
};

// Where the output of one writer begins, so that it plays from its first
// byte: the video with its first packet that carries a PTS and a sequence
// header (a decoder can start there), each audio track with its first packet
// whose PTS is not earlier than that video packet's. With --dvd the pictures
// behind the first one that show before it (and need pictures before the
// start) are left out, so that the title begins with a closed group.
struct writer_state {
    bool video;  // the video has begun
    uint64_t video_pts;
    bool leading;    // --dvd: the pictures behind the first one are still passing
    bool dropping;   // --dvd: the video packet passing shows before the first
    bool unordered;  // the audio tracks go on as they come (the hold filled while one waited)
    track_state tracks[kMaxTracks];
};

// The conversion's tracks: the video, the header's audio, then the others.
constexpr int kHeaderAudioTrack = 1;

// Audio handed over before the video begins is held: whether it belongs to
// the output depends on the video's first PTS, and the video's first packet
// may come after it (M2P hands a PES packet over only when it is whole).
// When the hold is full its older half is dropped. With more audio tracks
// (--all-streams), each is also held while the one before it has not begun,
// so that they begin in the conversion's order, the header's first: players
// and dvdauthor take the first as the default track. A hold that fills while
// one waits lets every track go on as its packets come.
constexpr size_t kHoldSize = 256 * 1024;
struct held_head {
    packet_track track;
    int32_t length;
};
uint8_t hold[kHoldSize];

typedef int (*write_fn)(writer_state& w, FILE* file, const packet_track& t, uint8_t* b, int32_t n,
                        uint64_t scr);

// Where held packets go when they are let out: the writer, file and clock of
// the packet that lets them out.
struct hold_target {
    writer_state* w;
    FILE* file;
    write_fn write;
    bool closed;
    uint64_t scr;
};

// The multiplexer state of one conversion; reset_ps_state clears it.
struct ps_state {
    writer_state pack;
    uint64_t first_scr;  // 27 MHz: the scr of the first pack, taken as the video begins
    uint32_t packs;      // packs written: the sector of the next one
    writer_state pes;
    size_t held;         // bytes of hold in use
    hold_target target;  // of the last packet passed, for what is held at the end
    bool write_failed;
    // the packet warnings
    int64_t bad_starts;
    int64_t bad_lengths;
    int first_declared, first_true;  // the first wrong length
    int64_t too_long_for_pack;
    int64_t unbounded;  // M2P packets written with length 0
};

ps_state state;

int write_failed() {
    state.write_failed = true;
    qv_write_failed(kDiskFullMessage);
    return 1;
}

int write_bytes(FILE* file, const uint8_t* p, size_t n) {
    return n != 0 && fwrite(p, 1, n, file) != n ? write_failed() : 0;
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

bool mpeg2_header(const uint8_t* b) {
    return (b[kPesFlagsOffset] & kMpeg2HeaderMask) == kMpeg2HeaderBits;
}

// Where the payload of the packet b of n bytes begins.
int32_t payload_offset(const uint8_t* b, int32_t n) {
    const int32_t h = int32_t(kPesFixedHeaderSize) + b[kPesHeaderLengthOffset];
    return h < n ? h : n;
}

// The track of the packet b (n bytes, whole fixed header) of stream. False
// when it belongs to none: with the conversion's tracks, one whose stream_id
// is not of its track's kind (AC-3 also needs an MPEG-2 header).
bool track_of(const demux_stream* stream, const uint8_t* b, packet_track* t) {
    const uint8_t id = b[kPesStreamIdOffset];
    const output_track* o = conversion_track(stream);
    if (!o) {
        const bool video = is_video_stream(id), audio = is_audio_stream(id);
        *t = {video   ? 0
              : audio ? 1
                      : -1,
              video   ? kStreamVideo
              : audio ? kStreamMpegAudio
                      : kStreamOther,
              0, 0, video ? "Video" : "Audio"};
        return true;
    }
    *t = {stream->track, o->kind, o->stream_id, o->sub_id, o->label};
    switch (o->kind) {
    case kStreamVideo: return is_video_stream(id);
    case kStreamAc3: return id == kPrivateStream1Id && mpeg2_header(b);
    default: return is_audio_stream(id);
    }
}

// A packet too short for the fixed PES header, without the start code
// prefix, or of no track, is dropped and counted.
bool good_start(const demux_stream* stream, const uint8_t* b, int32_t n, packet_track* t) {
    if (n >= int32_t(kPesFixedHeaderSize) && get_be24(b) == kPesStartCodePrefix &&
        track_of(stream, b, t))
        return true;
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

// Describes each track from its packets until it is known; each description
// is shown once. The tracks behind the header's audio are described in
// their order, each once those before it are.
void describe(const demux_stream* stream, const packet_track& t, writer_state& w) {
    if (t.index < 0 || w.tracks[t.index].described) return;
    for (int before = 0; t.index > kHeaderAudioTrack && before < t.index; ++before)
        if (!w.tracks[before].described) return;
    int rate = 0;
    const int found = t.kind == kStreamVideo ? get_vinfo(stream, &rate)
                      : t.kind == kStreamAc3 ? describe_ac3(stream, t.label, &rate)
                                             : describe_audio(stream, t.label, &rate);
    w.tracks[t.index].described = found != 0;
}

// The PTS of the packet b of n bytes into *pts; false when it has none.
bool packet_pts(const uint8_t* b, int32_t n, uint64_t* pts) {
    if (!mpeg2_header(b) || !(b[kPesPtsDtsFlagsOffset] & kPtsFlag) ||
        n < int32_t(kPesPtsOffset + kTimeStampSize))
        return false;
    *pts = get_pts_dts(b + kPesPtsOffset);
    return true;
}

// "Earlier" across the wrap of the 33-bit clock: the difference modulo 2^33
// read as a signed number is negative.
bool earlier(uint64_t a, uint64_t b) { return ((a - b) & kClockMask33) >= kHalfTimeStampRange; }

// Whether the packet b of n bytes of track t is written, by the rules of
// writer_state; closed: the --dvd rule for the pictures behind the first.
// Pieces without a PTS (later pieces of a packet, packets without one) go
// the way of their track; packets of no track go with the video.
bool playing(writer_state& w, const packet_track& t, const uint8_t* b, int32_t n, bool closed) {
    uint64_t pts = 0;
    const bool timed = packet_pts(b, n, &pts);
    if (t.kind == kStreamVideo) {
        if (!w.video) {
            if (!timed || find_sequence_header(b, n) < 0) return false;
            w.video = true;
            w.video_pts = pts;
            w.leading = closed;
            return true;
        }
        if (w.leading && timed) w.leading = w.dropping = earlier(pts, w.video_pts);
        return !w.dropping;
    }
    if (t.index < 0) return w.video;
    track_state& s = w.tracks[t.index];
    if (w.video && !s.begun && timed && !earlier(pts, w.video_pts)) s.begun = true;
    return s.begun;
}

// Whether the packet of track t waits in the hold.
bool waits(const writer_state& w, const packet_track& t) {
    if (t.index < 0 || t.kind == kStreamVideo) return false;
    return !w.video ||
           (!w.unordered && t.index > kHeaderAudioTrack && !w.tracks[t.index - 1].begun);
}

bool fits_hold(int32_t n) {
    const size_t entry = sizeof(held_head) + size_t(n);
    return entry <= kHoldSize / 2 && state.held + entry <= kHoldSize;
}

void hold_packet(const packet_track& t, const uint8_t* b, int32_t n) {
    const size_t entry = sizeof(held_head) + size_t(n);
    if (entry > kHoldSize / 2) return;  // lost, as anything before the start
    if (state.held + entry > kHoldSize) {
        size_t at = 0;
        while (state.held - at > kHoldSize / 2) {
            held_head h;
            memcpy(&h, hold + at, sizeof h);
            at += sizeof h + size_t(h.length);
        }
        memmove(hold, hold + at, state.held - at);
        state.held -= at;
    }
    const held_head h = {t, n};
    memcpy(hold + state.held, &h, sizeof h);
    memcpy(hold + state.held + sizeof h, b, size_t(n));
    state.held += entry;
}

// The held packets of the tracks that no longer wait, those that belong to
// the output written: a track at a time in the conversion's order, each
// track's in the order they came. The others stay.
int release_held(const hold_target& to) {
    writer_state& w = *to.w;
    for (int track = 0; track < kMaxTracks && state.held != 0; ++track) {
        size_t kept = 0;
        for (size_t at = 0; at < state.held;) {
            held_head h;
            memcpy(&h, hold + at, sizeof h);
            const size_t entry = sizeof h + size_t(h.length);
            uint8_t* b = hold + at + sizeof h;
            if (h.track.index != track || waits(w, h.track)) {
                memmove(hold + kept, hold + at, entry);
                kept += entry;
            } else if (playing(w, h.track, b, h.length, to.closed) &&
                       to.write(w, to.file, h.track, b, h.length, to.scr) != 0) {
                return 1;
            }
            at += entry;
        }
        state.held = kept;
    }
    return 0;
}

// One packet through a writer: held while it waits, written when it belongs
// to the output; the video's first packet, and an audio track's, bring the
// held ones behind it that no longer wait.
int pass(writer_state& w, demux_stream* stream, const packet_track& t, uint8_t* b, int32_t n,
         write_fn write, bool closed) {
    const hold_target to = {&w, stream->file, write, closed, stream->scr};
    state.target = to;
    if (waits(w, t)) {
        if (!w.video || fits_hold(n)) return hold_packet(t, b, n), 0;
        w.unordered = true;
        if (release_held(to) != 0) return 1;
    }
    const bool first = !w.video;
    const bool waiting_to_begin = t.index >= 0 && !w.tracks[t.index].begun;
    if (!playing(w, t, b, n, closed)) return 0;
    // The clock's origin is the first pack's scr: that pack has SCR 0.
    if (first) state.first_scr = stream->scr;
    if (write(w, stream->file, t, b, n, stream->scr) != 0) return 1;
    const bool began = first || (waiting_to_begin && w.tracks[t.index].begun);
    return began && state.held != 0 ? release_held(to) : 0;
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

// The pack header for the clock d (27 MHz from the first pack) with stuffing bytes.
void put_pack_header(uint8_t* pack, uint64_t d, uint32_t stuffing) {
    put_be32(pack, kPackStartCode);
    put_scr(pack + kScrOffset, d / kPcrTicksPerBase, uint32_t(d % kPcrTicksPerBase));
    memcpy(pack + kMuxRateOffset, kMuxRate, sizeof kMuxRate);
    pack[kStuffingLengthOffset] = uint8_t(kStuffingLengthBase + stuffing);
    memset(pack + kPackHeaderSize, kFillByte, stuffing);
}

// Moves the time stamp at field back by origin (90 kHz), modulo 2^33.
void move_time_stamp(uint8_t* field, uint64_t origin) {
    uint64_t t = (get_pts_dts(field) - origin) & kClockMask33;
    set_pts_dts(t, field[0] & kTimeStampPrefixMask, field);
}

// Moves the PTS and DTS of the packet pes of n bytes back by origin.
void move_time_stamps(uint8_t* pes, int32_t n, uint64_t origin) {
    if (!mpeg2_header(pes)) return;
    const uint8_t flags = pes[kPesPtsDtsFlagsOffset];
    if ((flags & kPtsFlag) && n >= int32_t(kPesPtsOffset + kTimeStampSize))
        move_time_stamp(pes + kPesPtsOffset, origin);
    if ((flags & kDtsFlag) && n >= int32_t(kPesDtsOffset + kTimeStampSize))
        move_time_stamp(pes + kPesDtsOffset, origin);
}

// The frames of the audio packet b (n bytes) that begin in its payload.
frame_span walk_packet(track_state& s, const packet_track& t, const uint8_t* b, int32_t n) {
    uint64_t pts = 0;
    if (packet_pts(b, n, &pts)) note_pes_pts(s.walk, pts);
    const int32_t h = payload_offset(b, n);
    return walk_frames(s.walk, t.kind, b + h, n - h);
}

void put_substream_header(uint8_t* p, uint8_t sub_id, const frame_span& span) {
    p[0] = sub_id;
    p[1] = uint8_t(span.frames < kMaxFrameCount ? span.frames : kMaxFrameCount);
    put_be16(p + 2, span.frames ? uint32_t(span.first) + 1 : 0);
}

// The packet b of n bytes as it leaves in a pack, composed at out; its size.
// As it came, with its stream_id, length and time stamps set; AC-3 with the
// sub-stream header; with --dvd an audio piece with the time stamp of the
// first frame that begins in it, or none when none begins.
int32_t compose_pes(writer_state& w, uint8_t* out, const packet_track& t, const uint8_t* b,
                    int32_t n) {
    const uint64_t origin = state.first_scr / kPcrTicksPerBase;
    const bool ac3 = t.kind == kStreamAc3;
    const bool timed_audio =
        stream_options.dvd && t.index >= 0 && t.kind != kStreamVideo && mpeg2_header(b);
    int32_t at = n;
    if (!ac3 && !timed_audio) {
        memcpy(out, b, size_t(n));
        move_time_stamps(out, n, origin);
    } else {
        const frame_span span = walk_packet(w.tracks[t.index], t, b, n);
        const int32_t h = payload_offset(b, n);
        if (timed_audio) {
            memcpy(out, b, kPesFixedHeaderSize);
            const bool stamp = span.frames != 0 && span.timed;
            out[kPesPtsDtsFlagsOffset] = stamp ? kPtsFlag : 0;
            out[kPesHeaderLengthOffset] = stamp ? uint8_t(kTimeStampSize) : 0;
            if (stamp)
                set_pts_dts((span.pts - origin) & kClockMask33, kPtsOnlyPrefix,
                            out + kPesPtsOffset);
            at = int32_t(kPesFixedHeaderSize) + out[kPesHeaderLengthOffset];
        } else {
            memcpy(out, b, size_t(h));
            move_time_stamps(out, h, origin);
            at = h;
        }
        if (ac3)
            put_substream_header(out + at, t.sub_id, span), at += int32_t(kSubstreamHeaderSize);
        memcpy(out + at, b + h, size_t(n - h));
        at += n - h;
    }
    out[kPesStreamIdOffset] = ac3    ? kPrivateStream1Id
                              : t.id ? t.id
                                     : uint8_t(b[kPesStreamIdOffset] & kStreamIdAudioMask);
    put_be16(out + kPesLengthOffset, uint32_t(at) - kPesLengthBase);
    return at;
}

// A packet of private stream 2 of length bytes behind its header, its
// sub-stream number first.
void put_private_stream_2(uint8_t* p, uint32_t length, uint8_t substream) {
    put_be24(p, kPesStartCodePrefix);
    p[kPesStreamIdOffset] = kPrivateStream2;
    put_be16(p + kPesLengthOffset, length);
    p[kPesLengthBase] = substream;
}

int audio_track_count() {
    int count = 0;
    const output_track* tracks = conversion_tracks(&count);
    int audio = tracks ? 0 : 1;
    for (int i = 0; i < count; ++i) audio += tracks[i].kind != kStreamVideo;
    return audio;
}

// The navigation pack in front of a group of pictures whose first packet
// has the time stamp pts, at the clock d.
int write_nav_pack(FILE* file, uint64_t d, uint64_t pts) {
    uint8_t pack[kPackSize] = {};
    put_pack_header(pack, d, 0);
    uint8_t* system = pack + kPackHeaderSize;
    put_be32(system, kSystemHeaderCode);
    memcpy(system + kStartCodeSize, kSystemHeader, sizeof kSystemHeader);
    system[kStartCodeSize + kAudioBoundOffset] = uint8_t(audio_track_count() << kAudioBoundShift);
    put_private_stream_2(pack + kPciOffset, kPciLength, kPciSubstream);
    put_private_stream_2(pack + kDsiOffset, kDsiLength, kDsiSubstream);
    uint8_t *pci = pack + kPciOffset + kNavDataOffset, *dsi = pack + kDsiOffset + kNavDataOffset;
    put_be32(pci + kPciSector, state.packs);
    put_be32(pci + kPciStartTime,
             uint32_t((pts - state.first_scr / kPcrTicksPerBase) & kClockMask33));
    put_be32(dsi + kDsiScr, uint32_t(d / kPcrTicksPerBase));
    put_be32(dsi + kDsiSector, state.packs);
    ++state.packs;
    return write_bytes(file, pack, kPackSize);
}

bool has_start_code(const uint8_t* b, int32_t n, uint32_t code) {
    for (int32_t i = 0; i + int32_t(kStartCodeSize) <= n; ++i)
        if (get_be32(b + i) == code) return true;
    return false;
}

// A video packet with a time stamp that holds a sequence or group header
// begins a group of pictures.
bool begins_group(const uint8_t* b, int32_t n, uint64_t* pts) {
    return packet_pts(b, n, pts) &&
           (has_start_code(b, n, kSequenceHeaderCode) || has_start_code(b, n, kGroupStartCode));
}

// A DVD pack has no pack stuffing (dvdauthor finds its packet at byte 14):
// the few bytes a packet leaves, too few for a padding packet, go into the
// packet's own header as stuffing bytes. The packet's new size.
int32_t stuff_header(uint8_t* pes, int32_t size) {
    const int32_t room = int32_t(kVobPiece) - size;
    const int32_t h = payload_offset(pes, size);
    if (room == 0 || room > int32_t(kMaxPackStuffing) || !mpeg2_header(pes) ||
        pes[kPesHeaderLengthOffset] + room > kMaxHeaderDataLength)
        return size;
    memmove(pes + h + room, pes + h, size_t(size - h));
    memset(pes + h, kFillByte, size_t(room));
    pes[kPesHeaderLengthOffset] = uint8_t(pes[kPesHeaderLengthOffset] + room);
    put_be16(pes + kPesLengthOffset, uint32_t(kVobPiece) - kPesLengthBase);
    return int32_t(kVobPiece);
}

// One pack: the pack header with the SCR, the packet, then padding or
// stuffing to 2048 bytes; with --dvd a navigation pack before a group of
// pictures.
int write_pack(writer_state& w, FILE* file, const packet_track& t, uint8_t* b, int32_t n,
               uint64_t scr) {
    const uint64_t d = (scr - state.first_scr) & kClockMask42;
    uint64_t pts = 0;
    if (stream_options.dvd && t.kind == kStreamVideo && begins_group(b, n, &pts) &&
        write_nav_pack(file, d, pts) != 0)
        return 1;
    uint8_t pack[kPackSize];
    uint8_t* pes = pack + kPackHeaderSize;
    int32_t size = compose_pes(w, pes, t, b, n);
    if (stream_options.dvd) size = stuff_header(pes, size);
    const uint32_t room = kVobPiece - uint32_t(size);
    const uint32_t stuffing = room <= kMaxPackStuffing ? room : 0;
    if (stuffing) memmove(pes + stuffing, pes, size_t(size));
    put_pack_header(pack, d, stuffing);
    if (room >= kMinPadding) {
        uint8_t* padding = pes + size;
        put_be24(padding, kPesStartCodePrefix);
        padding[kPesStreamIdOffset] = kPaddingStreamId;
        put_be16(padding + kPesLengthOffset, room - kPaddingHeaderSize);
        memset(padding + kPaddingHeaderSize, kFillByte, room - kPaddingHeaderSize);
    }
    ++state.packs;
    return write_bytes(file, pack, kPackSize);
}

// One PES packet of M2P, its true length in place (AC-3 with the sub-stream
// header, every track with its stream_id when the conversion gives one).
int write_pes(writer_state& w, FILE* file, const packet_track& t, uint8_t* b, int32_t n, uint64_t) {
    uint8_t sub[kSubstreamHeaderSize];
    int32_t h = n, extra = 0;
    if (t.kind == kStreamAc3) {
        put_substream_header(sub, t.sub_id, walk_packet(w.tracks[t.index], t, b, n));
        h = payload_offset(b, n);
        extra = int32_t(kSubstreamHeaderSize);
    }
    if (t.id) b[kPesStreamIdOffset] = t.id;
    // A program stream carries the true length of every packet; one too long
    // for the 16-bit field can only leave unbounded.
    uint32_t length = uint32_t(n + extra) - kPesLengthBase;
    if (length > kMaxPesLengthField) {
        length = 0;
        ++state.unbounded;
    }
    if (length != get_be16(b + kPesLengthOffset)) put_be16(b + kPesLengthOffset, length);
    if (write_bytes(file, b, size_t(h)) || write_bytes(file, sub, size_t(extra)) ||
        write_bytes(file, b + h, size_t(n - h)))
        return 1;
    return 0;
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

int finish_ps_output() {
    writer_state* w = state.target.w;
    if (state.held == 0 || !w || !w->video || state.write_failed || qv_interrupted) return 0;
    w->unordered = true;
    return release_held(state.target);
}

int32_t ps_growth(stream_kind kind, bool pack) {
    const bool timed_audio = pack && stream_options.dvd && kind != kStreamVideo;
    return (kind == kStreamAc3 ? int32_t(kSubstreamHeaderSize) : 0) +
           (timed_audio ? int32_t(kTimeStampSize) : 0);
}

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
    uint8_t* b = stream->buffer;
    int32_t n = stream->length;
    packet_track t;
    // Only the tracks' packets belong in the packs, and of no other stream
    // ids; the pack arithmetic holds for packets of up to 2034 bytes.
    if (!good_start(stream, b, n, &t)) return 0;
    if (t.index < 0) {
        ++state.bad_starts;
        return 0;
    }
    if (n + ps_growth(t.kind, true) > int32_t(kVobPiece)) {
        ++state.too_long_for_pack;
        return 0;
    }
    check_length(get_be16(b + kPesLengthOffset), n);
    describe(stream, t, state.pack);
    return pass(state.pack, stream, t, b, n, write_pack, stream_options.dvd != 0);
}

int out_pes(demux_stream* stream) {
    uint8_t* b = stream->buffer;
    int32_t n = stream->length;
    packet_track t;
    if (!good_start(stream, b, n, &t)) return 0;
    check_length(get_be16(b + kPesLengthOffset), n);
    describe(stream, t, state.pes);
    return pass(state.pes, stream, t, b, n, write_pes, false);
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
