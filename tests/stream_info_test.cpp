// get_vinfo (1), get_ainfo and describe_ac3 (2) on packets written here: the result, the bit rate,
// the line shown; a header cut short, a code alone or none: 0, rate 0, nothing shown, qv_error kept
#include "support/fixture.h"
namespace {
using StreamInfo = StreamTest;
Bytes pes(std::string header, std::string payload) { return hex((header + " " + payload).c_str()); }
Bytes audio(const char* payload) { return pes("00 00 01 C0 00 00 80 00 00", payload); }
Bytes ac3(const char* payload) { return pes("00 00 01 BD 00 00 80 00 00", payload); }
// A video PES packet holding a sequence header: the code, seven bytes, six zeros.
Bytes video(const std::string& header) {
    return pes("00 00 01 E0 00 00 80 00 00 00 00 01 B3", header + " 00 00 00 00 00 00");
}
int ac3_audio(const demux_stream* stream, int* rate) { return describe_ac3(stream, "Audio", rate); }

struct Row {
    Bytes packet = {};
    int result = 0;
    int rate = 0;
    std::string line = {};  // without its newline; empty: nothing shown
    int (*describe)(const demux_stream*, int*) = get_ainfo;
};

TEST_F(StreamInfo, DescribesTheFirstHeader) {
    const Row rows[] = {
        // Sizes, aspect and frame rate codes, bit rates; behind the PES header or first; cut short.
        {video("16 01 20 3F FF FF C0"), 1, 104857200,
         "Video: size = 352 x 288, aspect 16:9, frame rate RESERVED, bit rate = variable",
         get_vinfo},
        {hex("00 00 01 B3 1E 11 E0 F4 04 E2 00 00 00 00 00 00 00"), 1, 2000000,
         "Video: size = 481 x 480, aspect RESERVED, frame rate 29.97, bit rate = 2.00 Mbit/s",
         get_vinfo},
        {hex("00 00 01 B3 2D 02 40 33 24 9F 23 00 00 00 00 00"), 0, 0, "", get_vinfo},
        {hex("00 00 01 B3"), 0, 0, "", get_vinfo},
        // Layers I, III, II, the reserved "Layer 4", index 15, the sampling codes; false syncs.
        {audio("FF FF E0 00"), 2, 448000, "Audio: Layer 1, bit rate=448 kb/s, frequency=44.1 kHz"},
        {audio("FF FB 98 00"), 2, 128000, "Audio: Layer 3, bit rate=128 kb/s, frequency=32.0 kHz"},
        {audio("FF FD 7C 00"), 2, 112000, "Audio: Layer 2, bit rate=112 kb/s, frequency=0.0 kHz"},
        {audio("FF F9 C4 00"), 2, 0, "Audio: Layer 4, bit rate=0 kb/s, frequency=48.0 kHz"},
        {audio("FF FD F4 00"), 2, 0, "Audio: Layer 2, bit rate=0 kb/s, frequency=48.0 kHz"},
        {audio("FF F0 FF F7 FF FD 54 00"), 2, 80000,
         "Audio: Layer 2, bit rate=80 kb/s, frequency=48.0 kHz"},
        {pes("00 00 01 C0 FF F8 80 00 05", "FF FF FF FF FF FF FB 20 00"), 2, 40000,
         "Audio: Layer 3, bit rate=40 kb/s, frequency=44.1 kHz"},
        {audio("FF FD C4")},
        {pes("00 00 01 C0 00 00 80 00 C8", "FF FD C4 00")},
        {hex("00 00 01 C0 00")},
        // AC-3 of chosen rates and channel modes (one behind a false sync); cut short; E-AC-3.
        {ac3("0B 77 00 00 1C 40 EB 00"), 2, 384000,
         "Audio: AC-3, bit rate=384 kb/s, frequency=48.0 kHz, channels=5.1", ac3_audio},
        {ac3("0B 77 00 00 4A 40 40 00"), 2, 80000,
         "Audio: AC-3, bit rate=80 kb/s, frequency=44.1 kHz, channels=2", ac3_audio},
        {ac3("0B 77 00 00 C0 40 0B 77 00 00 80 40 30 00"), 2, 32000,
         "Audio: AC-3, bit rate=32 kb/s, frequency=32.0 kHz, channels=1.1", ac3_audio},
        {ac3("0B 77 00 00 1C 40 EB"), 0, 0, "", ac3_audio},
        {ac3("0B 77 00 00 1C 80 EB 00"), 0, 0, "", ac3_audio},
    };
    for (const Row& row : rows) {
        load(row.packet);
        clear_capture();
        qv_set_error("before");
        int rate = -1;
        const std::string shown = row.line + "\n";
        EXPECT_EQ(row.describe(stream_, &rate), row.result) << testing::PrintToString(row.packet);
        EXPECT_EQ(rate, row.rate);
        EXPECT_STREQ(qv_error, "before");  // a line shown leaves qv_error as it was
        EXPECT_EQ(capture().messages, row.line.empty() ? Messages{} : Messages{shown});
    }
}
// read_audio_frame on headers written here: the frame measured, or no frame when the bytes at hand
// are fewer than its header or it names no bit rate.
struct FrameRow {
    const char* name;
    stream_kind kind;
    const char* header;
    bool found = false;
    audio_frame frame = {};
};
TEST(AudioFrames, OneFrameMeasuredFromItsHeader) {
    const FrameRow rows[] = {
        {.name = "Layer II at 256 kbit/s and 48 kHz: 144 x 256000 / 48000 bytes",
         .kind = kStreamMpegAudio,
         .header = "FF FD C4 00",
         .found = true,
         .frame = {.size = 768, .samples = 1152, .rate = 48000, .kbits = 256}},
        {.name = "AC-3 at 320 kbit/s and 48 kHz: 640 words",
         .kind = kStreamAc3,
         .header = "0B 77 00 00 1A 40",
         .found = true,
         .frame = {.size = 1280, .samples = 1536, .rate = 48000, .kbits = 320}},
        {.name = "AC-3 a byte short of its header", .kind = kStreamAc3, .header = "0B 77 00 00 1A"},
        {.name = "AC-3 with the first sync byte only",
         .kind = kStreamAc3,
         .header = "0B 00 00 00 1A 40"},
        {.name = "Layer III in free format (bit rate index 0): not measured",
         .kind = kStreamMpegAudio,
         .header = "FF FB 04 00"},
    };
    for (const FrameRow& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes header = hex(row.header);
        audio_frame frame = {};
        EXPECT_EQ(read_audio_frame(row.kind, header.data(), int32_t(header.size()), &frame),
                  row.found);
        EXPECT_EQ(frame.size, row.frame.size);
        EXPECT_EQ(frame.samples, row.frame.samples);
        EXPECT_EQ(frame.rate, row.frame.rate);
        EXPECT_EQ(frame.kbits, row.frame.kbits);
    }
}
#ifndef _WIN32
// Every bit rate at every sampling frequency, measured by read_audio_frame and by ffprobe: a track
// of one frame of each, in order (its header, then zeros), for MPEG-1 audio Layers I to III (layer
// codes 3 to 1, every other frame padded) and for AC-3 (every frmsizecod).
struct Track {
    std::string name;
    stream_kind kind;
    std::vector<Bytes> headers;
};
Track mpeg_track(int layer_code, int sampling) {
    Track track = {format("MPEG audio, layer code %d, sampling code %d", layer_code, sampling),
                   kStreamMpegAudio,
                   {}};
    for (int index = 1; index <= 14; ++index) {
        const int padding = index & 1;
        const uint8_t rate_byte = uint8_t(index << 4 | sampling << 2 | padding << 1);
        track.headers.push_back({0xFF, uint8_t(0xF9 | layer_code << 1), rate_byte, 0xC0});
    }
    return track;
}
Track ac3_track(int fscod) {
    Track track = {format("AC-3, fscod %d", fscod), kStreamAc3, {}};
    for (int frmsizecod = 0; frmsizecod < 38; ++frmsizecod)
        track.headers.push_back({0x0B, 0x77, 0x00, 0x00, uint8_t(fscod << 6 | frmsizecod), 0x40});
    return track;
}
using AudioTracks = TempDirTest;
TEST_F(AudioTracks, CutIntoTheFramesFfprobeFinds) {
    REQUIRE_TOOL("ffprobe");
    std::vector<Track> tracks;
    for (int layer_code : {3, 2, 1})
        for (int sampling : {0, 1, 2}) tracks.push_back(mpeg_track(layer_code, sampling));
    for (int fscod : {0, 1, 2}) tracks.push_back(ac3_track(fscod));
    for (const Track& track : tracks) {
        SCOPED_TRACE(track.name);
        Bytes file;
        std::string sizes;
        for (const Bytes& header : track.headers) {
            audio_frame frame = {};
            EXPECT_TRUE(
                read_audio_frame(track.kind, header.data(), int32_t(header.size()), &frame));
            Bytes bytes = header;
            bytes.resize(size_t(std::max(frame.size, int32_t(header.size()))));
            append(file, bytes);
            sizes += std::to_string(frame.size) + " ";
        }
        write_file("track", file);
        const std::string demuxer = track.kind == kStreamAc3 ? "ac3" : "mp3";
        EXPECT_EQ(run_tool("ffprobe -v quiet -f " + demuxer +
                           " -show_entries packet=size -of csv=p=0 track | tr '\\n' ' '"),
                  sizes);
    }
}
#endif
// walk_frames over the pieces of one MPEG audio track, out of step at first: Layer II frames at
// 48 kHz of 96 bytes (32 kbit/s, "FF FD 14 C0") and 192 bytes (64 kbit/s, "FF FD 44 C0"), 1152
// samples each; 0x55 where no frame begins. Each piece: the frames that begin in it, the first
// one's offset and PTS, where the next frame begins in the next piece (-1: out of step).
struct WalkRow {
    const char* name;
    Bytes piece;
    int32_t frames = 0;
    int32_t first = 0;
    uint64_t pts = 0;
    int32_t ahead = -1;
};
Bytes piece(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) append(bytes, part);
    return bytes;
}
TEST(AudioFrames, WalkedAcrossPieces) {
    const Bytes small = hex("FF FD 14 C0");
    const Bytes large = hex("FF FD 44 C0");
    const WalkRow rows[] = {
        {.name = "a PTS of 9000, 10 bytes before a small frame, a large one's header at the end",
         .piece = piece({Bytes(10, 0x55), small, Bytes(92, 0x55), large}),
         .frames = 2,
         .first = 10,
         .pts = 9000,
         .ahead = 188},
        {.name = "the large frame's rest, two bytes of a header: a frame as long as the last",
         .piece = piece({Bytes(188, 0x55), hex("FF FD")}),
         .frames = 1,
         .first = 188,
         .pts = 9000 + 2 * 2160,
         .ahead = 190},
        {.name = "the frame's rest, two bytes of no header: out of step",
         .piece = Bytes(192, 0x55)},
        {.name = "out of step, one byte of what may be a header: no frame", .piece = hex("FF")},
    };
    frame_walk walk = {};
    walk.ahead = -1;
    note_pes_pts(walk, 9000);
    for (const WalkRow& row : rows) {
        SCOPED_TRACE(row.name);
        const frame_span span =
            walk_frames(walk, kStreamMpegAudio, row.piece.data(), int32_t(row.piece.size()));
        EXPECT_EQ(span.frames, row.frames);
        EXPECT_EQ(span.frames ? span.first : 0, row.first);
        EXPECT_EQ(span.frames ? span.pts : 0, row.pts);
        EXPECT_EQ(walk.ahead, row.ahead);
    }
}
}  // namespace
