// Modes "M2V" and "MP3" (convert_m2v, convert_mp3, out_es) on a disk built
// from the bundled sample, and the opening every conversion shares. Every
// test runs in its own temporary directory.
//   | recording / case                                   | expected                                            |
//   | the sample, M2V and MP3, each twice                | ffmpeg's mpeg2video / mp2 copy, its last PES packet |
//   |                                                    | included, the same file both times; PID line, the   |
//   |                                                    | audio description both times, completed; the MP3    |
//   |                                                    | decodes without a message                           |
//   | sample with a video packet doubled, another video  | M2V: the clean output without the PES that lost a   |
//   | packet dropped, an audio sync byte corrupted       | packet, 1 out of sequence; MP3 likewise             |
//   | output symlinked to /dev/full (POSIX)              | 4, "Write to disk failed, disk full?\n", no         |
//   |                                                    | completion                                          |
//   | every mode: output name taken by a directory       | 2, "Output file creation failed\n", its PID line    |
//   | every mode: recording without transport packets    | 1, "Open of recording Empty failed.\n", no file     |
//   | out_es: see OutEs.WritesThePayloadFromTheFirstSequenceHeader;                                            |
//   | write to /dev/full                                 | 1, "Write to disk failed, disk full?\n"             |
// (Recordings that start inside a GOP, checked with ffmpeg: ps_convert_test.)
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/packets.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kVideoPid = 0x101;
constexpr uint32_t kAudioPid = 0x102;

size_t es_offset(const std::vector<Pes>& pes, size_t index) {
    size_t offset = 0;
    for (size_t i = 0; i < index; ++i) offset += pes[i].es_bytes;
    return offset;
}

bool no_sync_byte_inside(const Bytes& ts, size_t packet) {
    for (size_t i = 1; i < kTsPacketSize; ++i)
        if (ts[packet * kTsPacketSize + i] == kTsSyncByte) return false;
    return true;
}

// Elementary stream bytes without the PES packet `index`.
Bytes without(const Bytes& es, const std::vector<Pes>& pes, size_t index) {
    size_t from = es_offset(pes, index);
    Bytes out(es.begin(), es.begin() + long(from));
    out.insert(out.end(), es.begin() + long(from + pes[index].es_bytes), es.end());
    return out;
}

using ElementaryStreams = ConversionTest;

TEST_F(ElementaryStreams, OutputIsFfmpegsStream) {
    struct Mode {
        Conversion conversion;
        const char* file;
        uint32_t pid;
        size_t min_pes;   // the sample's PES packets are more than this
        Messages messages;
        const char* ffmpeg_output;
    };
    const Mode modes[] = {
        {convert_m2v, "Sample.m2v", kVideoPid, 100, {"Video PID is 257\n", kCompleted},
         "-map 0:v:0 -c copy -f mpeg2video"},
        {convert_mp3, "Sample.mp3", kAudioPid, 50, {"Audio PID is 258\n", kAudioLine, kCompleted},
         "-map 0:a:0 -c copy -f mp2"},
    };
    mount_recordings({{"Sample", ts_}});
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.file);
        ASSERT_EQ(convert(m.conversion, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, m.messages);
        Bytes out = read_file(m.file);
        // A second conversion shows the same and writes the same file.
        ASSERT_EQ(convert(m.conversion, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, m.messages);
        EXPECT_TRUE(read_file(m.file) == out);
        std::vector<Pes> pes = pes_of(ts_, m.pid);
        ASSERT_GT(pes.size(), m.min_pes);
        EXPECT_EQ(out.size(), es_offset(pes, pes.size()));
    }
#ifndef _WIN32
    REQUIRE_TOOL("ffmpeg");
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.file);
        Bytes ref = run_tool_bytes("ffmpeg -v error -i '" + sample_path() + "' " + m.ffmpeg_output + " -");
        EXPECT_TRUE(read_file(m.file) == ref);
    }
    EXPECT_EQ(run_tool("ffmpeg -v error -i Sample.mp3 -f null - 2>&1"), "");
#endif
}

// Damage in the recording: a video packet doubled (dropped as a duplicate),
// another video packet missing (its PES lost), an audio packet whose sync
// byte is corrupted (the reader passes it over, its PES lost).
TEST_F(ElementaryStreams, DamagedRecordingLosesOnlyTheDamagedPes) {
    std::vector<Pes> video = pes_of(ts_, kVideoPid), audio = pes_of(ts_, kAudioPid);
    const size_t doubled_pes = 10, dropped_pes = 20;
    ASSERT_GE(video[doubled_pes].packets.size(), 3u);
    ASSERT_GE(video[dropped_pes].packets.size(), 3u);
    size_t doubled = video[doubled_pes].packets[1], dropped = video[dropped_pes].packets[1];
    size_t corrupt_pes = 5, corrupted = 0;
    for (; corrupt_pes < audio.size(); ++corrupt_pes) {
        const Pes& p = audio[corrupt_pes];
        if (p.packets.size() >= 3 && no_sync_byte_inside(ts_, p.packets[1])) {
            corrupted = p.packets[1];
            break;
        }
    }
    ASSERT_NE(corrupted, 0u) << "no audio packet without 0x47 inside";

    Bytes damaged;
    for (size_t i = 0; i * kTsPacketSize < ts_.size(); ++i) {
        auto packet = ts_.begin() + long(i * kTsPacketSize);
        if (i == dropped) continue;
        size_t at = damaged.size();
        damaged.insert(damaged.end(), packet, packet + kTsPacketSize);
        if (i == corrupted) damaged[at] = 0x00;
        if (i == doubled) damaged.insert(damaged.end(), packet, packet + kTsPacketSize);
    }
    mount_recordings({{"Clean", ts_}, {"Damaged", damaged}});
    ASSERT_EQ(convert(convert_m2v, 0), 0);
    ASSERT_EQ(convert(convert_mp3, 0), 0);
    Bytes clean_m2v = read_file("Clean.m2v"), clean_mp3 = read_file("Clean.mp3");

    const int64_t delivered = int64_t(ts_.size() / kTsPacketSize) + 1 - 1 - 1;
    ASSERT_EQ(convert(convert_m2v, 1), 0);
    EXPECT_EQ(capture().messages, (Messages{"Video PID is 257\n", kCompleted, "1 packets out of sequence\n"}));
    const demux_counts* c = last_demux_counts();
    EXPECT_EQ(c->packets, delivered);
    EXPECT_EQ(c->out_of_sequence, 1);
    EXPECT_EQ(c->scrambled, 0);
    EXPECT_EQ(c->bad_sync, 0);
    EXPECT_TRUE(read_file("Damaged.m2v") == without(clean_m2v, video, dropped_pes));

    ASSERT_EQ(convert(convert_mp3, 1), 0);
    EXPECT_EQ(capture().messages,
              (Messages{"Audio PID is 258\n", kAudioLine, kCompleted, "1 packets out of sequence\n"}));
    EXPECT_EQ(last_demux_counts()->out_of_sequence, 1);
    EXPECT_TRUE(read_file("Damaged.mp3") == without(clean_mp3, audio, corrupt_pes));
}

#ifndef _WIN32
TEST_F(ElementaryStreams, DiskFullIsAFailure) {
    mount_recordings({{"Sample", ts_}});
    fs::create_symlink("/dev/full", "Sample.m2v");
    EXPECT_EQ(convert(convert_m2v, 0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, Messages{"Video PID is 257\n"});

    // A stream small enough to stay in the write buffer fails at the flush.
    mount_recordings({{"Small", Bytes(ts_.begin(), ts_.begin() + 2000 * kTsPacketSize)}});
    fs::create_symlink("/dev/full", "Small.mp3");
    EXPECT_EQ(convert(convert_mp3, 0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, (Messages{"Audio PID is 258\n", kAudioLine}));
}
#endif

// The opening every conversion shares, mode by mode.
TEST_F(ElementaryStreams, EveryModeReportsAnOutputOrRecordingThatCannotBeOpened) {
    ImageBuilder img(4);
    img.add_recording("Sample", Bytes(ts_.begin(), ts_.begin() + 100 * kTsPacketSize));
    img.add_file(0, kTypeRecording, "Empty", Bytes(2000, 0x00));
    mount(img, 2);
    const struct {
        Conversion conversion;
        const char* extension;
        const char* pid_line;
    } modes[] = {
        {convert_m2v, ".m2v", "Video PID is 257\n"},
        {convert_mp3, ".mp3", "Audio PID is 258\n"},
        {convert_vob, ".vob", "Video PID is 257, audio PID is 258\n"},
        {convert_m2p, ".m2p", "Video PID is 257, audio PID is 258\n"},
        {convert_ts, ".ts", "PMT PID is 256, video PID is 257, audio PID is 258\n"},
    };
    for (const auto& m : modes) {
        SCOPED_TRACE(m.extension);
        fs::create_directory(std::string("Sample") + m.extension);
        EXPECT_EQ(convert(m.conversion, 0), 2);
        EXPECT_STREQ(qv_error, "Output file creation failed\n");
        EXPECT_EQ(capture().messages, Messages{m.pid_line});

        EXPECT_EQ(convert(m.conversion, 1), 1);
        EXPECT_STREQ(qv_error, "Open of recording Empty failed.\n");
        EXPECT_EQ(capture().messages, Messages{});
        EXPECT_FALSE(fs::exists(std::string("Empty") + m.extension));
    }
}

class OutEs : public StreamTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StreamTest::SetUp());
        reset_es_state();
    }
};

// A PES packet of stream id with the given PES_header_data_length and bytes
// behind the fixed header (the optional fields, then the payload).
Bytes es_packet(uint8_t id, uint8_t header_length, const Bytes& rest) {
    // Built in place: mingw's -Warray-bounds takes an insert behind 9 bytes for an overflow.
    Bytes b(9 + rest.size());
    const uint8_t head[9] = {0, 0, 1, id, 0, 0, 0x80, uint8_t(header_length ? 0x80 : 0), header_length};
    std::copy(head, head + 9, b.begin());
    std::copy(rest.begin(), rest.end(), b.begin() + 9);
    return b;
}

// out_es, one row a conversion (the state reset before it).
//   | packets (stream id: bytes behind the header)          | written                               |
//   | C0 (header length 0): 11 22; C0 (4): 21 1 1 1 33;     | 11 22 33: exactly the header taken    |
//   | C0 (20, longer than the packet); 00 00 01 alone       | off; the short packets write nothing  |
//   | E0: 01 02; E0: AA 00 00 01 B3 BB; E0: CC; C0: 55      | 00 00 01 B3 BB CC 55: video from its  |
//   |                                                       | first sequence header, audio unheld   |
//   | E0: 7 00 00 | E0: 01 B3 1 (code across two packets)   | 00 00 01 B3 1                         |
//   | E0: 00 | E0: 00 01 B3 2; E0: 00 00 01 | E0: B3 3      | 00 00 01 B3 2 / 00 00 01 B3 3         |
//   | E0: 00 | E0: 00 | E0: 01 | E0: B3 4 (one byte each)   | 00 00 01 B3 4                         |
//   | E0: 00 00 01 00 (a picture, no sequence header)       | nothing                               |
TEST_F(OutEs, WritesThePayloadFromTheFirstSequenceHeader) {
    const uint8_t E0 = 0xE0, C0 = 0xC0;
    const struct {
        std::vector<Bytes> packets;
        Bytes written;
    } rows[] = {
        {{es_packet(C0, 0, {0x11, 0x22}), es_packet(C0, 4, {0x21, 1, 1, 1, 0x33}), es_packet(C0, 20, {0x21, 1, 1, 1, 0x44}),
          {0, 0, 1}},
         {0x11, 0x22, 0x33}},
        {{es_packet(E0, 0, {1, 2}), es_packet(E0, 0, {0xAA, 0, 0, 1, 0xB3, 0xBB}), es_packet(E0, 0, {0xCC}),
          es_packet(C0, 0, {0x55})},
         {0, 0, 1, 0xB3, 0xBB, 0xCC, 0x55}},
        {{es_packet(E0, 0, {7, 0, 0}), es_packet(E0, 0, {1, 0xB3, 1})}, {0, 0, 1, 0xB3, 1}},
        {{es_packet(E0, 0, {0}), es_packet(E0, 0, {0, 1, 0xB3, 2})}, {0, 0, 1, 0xB3, 2}},
        {{es_packet(E0, 0, {0, 0, 1}), es_packet(E0, 0, {0xB3, 3})}, {0, 0, 1, 0xB3, 3}},
        {{es_packet(E0, 0, {0}), es_packet(E0, 0, {0}), es_packet(E0, 0, {1}), es_packet(E0, 0, {0xB3, 4})},
         {0, 0, 1, 0xB3, 4}},
        {{es_packet(E0, 0, {0, 0, 1, 0})}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.written));
        reset_es_state();
        clear_written();
        for (const Bytes& p : row.packets) EXPECT_EQ(feed(out_es, p), 0);
        EXPECT_EQ(written(), row.written);
    }
#ifndef _WIN32
    ASSERT_NO_FATAL_FAILURE(write_to_full_device());
    qv_set_error("before");
    EXPECT_EQ(feed(out_es, es_packet(C0, 0, {0x11, 0x22})), 1);
    EXPECT_STREQ(qv_error, kWriteFailed);
#endif
}

}  // namespace
