// Modes "VOB" and "M2P" (convert_vob, convert_m2p) on a disk built from the
// bundled sample. Every test runs in its own temporary directory.
//   | recording / case                                  | expected                                             |
//   | the sample, VOB, twice                            | PID line, both descriptions, completed, the same     |
//   |                                                   | file both times; 2048-byte packs, SCRs never         |
//   |                                                   | decrease; ffprobe: one MPEG-2 video, one MPEG audio; |
//   |                                                   | the packs carry the sample's whole video and the end |
//   |                                                   | of its audio; ffmpeg decodes it without an error     |
//   | the sample, M2P with repack 0 (twice) and 2048    | a walk over the PES packets: every length nonzero    |
//   |                                                   | and true, pieces at most 2048; the same file both    |
//   |                                                   | times; ffprobe as above                              |
//   | one audio PES start and one audio length damaged  | VOB: "1 PES packets with a bad start dropped ..."    |
//   |                                                   | after the completion; M2P: that and "1 PES packets   |
//   |                                                   | with a wrong length (first: ... %d != %d)\n"         |
//   | output symlinked to /dev/full (POSIX)             | 4, "Write to disk failed, disk full?\n", no          |
//   |                                                   | completion                                           |
//   | (read faults of every mode: fault_test)           |                                                      |
//   | M2P repack -1, 100, 192, 65542                    | 1, "Repack size %d not supported: ...", nothing      |
//   |                                                   | shown, no file; 193 and 65541 accepted; VOB ignores  |
//   | video and audio PID the same                      | 1, error naming the PID, no file                     |
//   | recordings made by ffmpeg, whole and cut (POSIX)  | see RecordingsPlayFromTheFirstPictureToTheLast       |
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/packets.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kAudioPid = 0x102;
constexpr char kPidLine[] = "Video PID is 257, audio PID is 258\n";
const Messages kSampleMessages = {kPidLine, kVideoLine, kAudioLine, kCompleted};

// Walks a VOB (packs_of checks the layout of every pack): SCRs never
// decrease. Returns the number of packs.
size_t check_vob(const Bytes& vob) {
    std::vector<Pack> packs = packs_of(vob);
    for (size_t i = 1; i < packs.size(); ++i) EXPECT_GE(packs[i].scr(), packs[i - 1].scr()) << "pack " << i;
    return packs.size();
}

// Walks an M2P from PES packet to PES packet by their lengths: every length
// nonzero and every packet starting where the one before ends.
size_t check_m2p(const Bytes& m2p, size_t max_packet) {
    size_t at = 0, packets = 0;
    while (at < m2p.size()) {
        if (m2p.size() - at < 6 || get_be24(&m2p[at]) != 1) {
            ADD_FAILURE() << "no PES packet at " << at;
            return packets;
        }
        uint32_t length = get_be16(&m2p[at + 4]);
        EXPECT_NE(length, 0u) << "at " << at;
        EXPECT_LE(length + 6u, max_packet);
        at += 6 + length;
        ++packets;
    }
    EXPECT_EQ(at, m2p.size());
    return packets;
}

#ifndef _WIN32
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// The streams ffprobe finds, as sorted "codec_type,codec_name" lines.
std::vector<std::string> probe_streams(const std::string& file) {
    std::vector<std::string> streams;
    for (const std::string& line :
         lines_of(run_tool("ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 2>/dev/null '" +
                           file + "'"))) {
        size_t comma = line.find(',');
        if (comma == std::string::npos) continue;   // side data lines
        size_t second = line.find(',', comma + 1);
        streams.push_back(line.substr(comma + 1, second - comma - 1) + "," + line.substr(0, comma));
    }
    std::sort(streams.begin(), streams.end());
    return streams;
}

const std::vector<std::string> kOneVideoOneAudio = {"audio,mp2", "video,mpeg2video"};

// The error lines of decoding a file with ffmpeg, without the decoder's
// "[name @ address] " prefix.
std::vector<std::string> decode_errors(const std::string& file, const std::string& format = "") {
    std::vector<std::string> lines =
        lines_of(run_tool("ffmpeg -nostdin -v error " + format + " -i '" + file + "' -f null - 2>&1"));
    for (std::string& line : lines)
        if (line.compare(0, 1, "[") == 0 && line.find("] ") != std::string::npos) line = line.substr(line.find("] ") + 2);
    return lines;
}

// The payload of the PES packets of one stream id in a VOB.
Bytes vob_payload(const Bytes& vob, uint8_t id) {
    Bytes out;
    for (const Pack& pack : packs_of(vob))
        if (pack.pes[3] == id) out.insert(out.end(), pack.pes.begin() + 9 + pack.pes[8], pack.pes.end());
    return out;
}

// One number from ffprobe on file: the first line of its output.
double probe_number(const std::string& options, const std::string& file) {
    return atof(run_tool("ffprobe -v error " + options + " -of csv=p=0 '" + file + "' 2>/dev/null").c_str());
}

// The pictures (stream "v") or audio frames ("a") ffmpeg decodes from file.
int decoded(const std::string& file, const char* stream) {
    return int(probe_number(std::string("-count_frames -select_streams ") + stream +
                                ":0 -show_entries stream=nb_read_frames",
                            file));
}

// The time of the first decoded picture or audio frame of file, in seconds
// (the lines of side data between the frames' lines are empty).
double first_time(const std::string& file, const char* stream) {
    double first = 1e9;
    for (const std::string& line : lines_of(run_tool(std::string("ffprobe -v error -select_streams ") + stream +
                                                     ":0 -show_entries frame=pts_time -of csv=p=0 '" + file +
                                                     "' 2>/dev/null")))
        if (!line.empty() && line[0] != ',') first = std::min(first, atof(line.c_str()));
    return first;
}
#endif

class ProgramStreams : public ConversionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConversionTest::SetUp());
        repack = 0;
    }
    void TearDown() override {
        repack = 0;
        ConversionTest::TearDown();
    }
    // Converts recording 0 twice: the same messages and the same file both times.
    Bytes convert_twice(Conversion conversion, const std::string& file) {
        EXPECT_EQ(convert(conversion, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, kSampleMessages);
        Bytes first = read_file(file);
        EXPECT_EQ(convert(conversion, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, kSampleMessages);
        EXPECT_TRUE(read_file(file) == first);
        return first;
    }
};

TEST_F(ProgramStreams, VobOfTheSampleIsWellFormedAndPlays) {
    mount_recordings({{"Sample", ts_}});
    Bytes vob = convert_twice(convert_vob, "Sample.vob");
    EXPECT_GT(check_vob(vob), 1000u);
#ifndef _WIN32
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("ffmpeg");
    EXPECT_EQ(probe_streams("Sample.vob"), kOneVideoOneAudio);
    // The sample begins with a sequence header: the packs carry its whole
    // video, and its audio from the first PTS not before the video's on.
    const std::string sample = "ffmpeg -nostdin -v error -i '" + sample_path() + "' -map ";
    EXPECT_TRUE(vob_payload(vob, 0xE0) == run_tool_bytes(sample + "0:v:0 -c copy -f mpeg2video -"));
    Bytes audio = vob_payload(vob, 0xC0), all_audio = run_tool_bytes(sample + "0:a:0 -c copy -f mp2 -");
    ASSERT_LT(audio.size(), all_audio.size());
    EXPECT_TRUE(std::equal(audio.rbegin(), audio.rend(), all_audio.rbegin()));
    EXPECT_EQ(decode_errors("Sample.vob"), std::vector<std::string>{});
#endif
}

TEST_F(ProgramStreams, M2pCarriesTrueLengthsWithAndWithoutRepack) {
    mount_recordings({{"Sample", ts_}});
    size_t whole_packets = check_m2p(convert_twice(convert_m2p, "Sample.m2p"), kMaxPesPacketLength);
    fs::rename("Sample.m2p", "whole.m2p");

    repack = 2048;
    ASSERT_EQ(convert(convert_m2p, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, kSampleMessages);
    EXPECT_GT(check_m2p(read_file("Sample.m2p"), 2048), whole_packets);
#ifndef _WIN32
    REQUIRE_TOOL("ffprobe");
    EXPECT_EQ(probe_streams("whole.m2p"), kOneVideoOneAudio);
    EXPECT_EQ(probe_streams("Sample.m2p"), kOneVideoOneAudio);
#endif
}

TEST_F(ProgramStreams, DamagedPesPacketsAreCountedAtTheEnd) {
    Bytes damaged = ts_;
    std::vector<Pes> audio = pes_of(ts_, kAudioPid);
    ASSERT_GT(audio.size(), 30u);
    uint32_t declared = 0;
    for (size_t n : {20, 30}) {
        uint8_t* p = &damaged[audio[n].packets[0] * kTsPacketSize];
        uint8_t* payload = p + payload_at(p);
        ASSERT_EQ(get_be24(payload), 1u);
        if (n == 20) {
            payload[2] = 0x02;   // no start code
        } else {
            declared = get_be16(payload + 4);
            put_be16(payload + 4, declared + 1);
        }
    }
    mount_recordings({{"Damaged", damaged}});
    ASSERT_EQ(convert(convert_vob, 0), 0) << qv_error;
    Messages expected = kSampleMessages;
    // The packet with a bad start is dropped with all its pieces; the wrong
    // length of a packet split into pieces is not seen.
    expected.push_back("1 PES packets with a bad start dropped (Bad PES packet start)\n");
    EXPECT_EQ(capture().messages, expected);
    check_vob(read_file("Damaged.vob"));

    ASSERT_EQ(convert(convert_m2p, 0), 0) << qv_error;
    expected.push_back(format("1 PES packets with a wrong length (first: bad PES packet length %u != %u)\n",
                              declared + 1, declared));
    EXPECT_EQ(capture().messages, expected);
    check_m2p(read_file("Damaged.m2p"), kMaxPesPacketLength);
}

#ifndef _WIN32
TEST_F(ProgramStreams, DiskFullIsAFailure) {
    mount_recordings({{"Sample", ts_}});
    const std::pair<Conversion, const char*> modes[] = {{convert_vob, "Sample.vob"},
                                                        {convert_m2p, "Sample.m2p"}};
    for (const auto& [conversion, file] : modes) {
        fs::create_symlink("/dev/full", file);
        EXPECT_EQ(convert(conversion, 0), kCopyIncomplete);
        EXPECT_STREQ(qv_error, kWriteFailed);
        EXPECT_EQ(capture().messages, (Messages{kPidLine, kVideoLine, kAudioLine}));
    }
}
#endif

TEST_F(ProgramStreams, RepackSizeOutsideTheRangeIsRefused) {
    mount_recordings({{"Short", Bytes(ts_.begin(), ts_.begin() + 3000 * kTsPacketSize)}});
    for (int size : {-1, 100, 192, 65542}) {
        repack = size;
        EXPECT_EQ(convert(convert_m2p, 0), 1) << size;
        EXPECT_EQ(std::string(qv_error),
                  format("Repack size %d not supported: use 0 or a size from 193 to 65541\n", size));
        EXPECT_EQ(capture().messages, Messages{});
        EXPECT_FALSE(fs::exists("Short.m2p"));
    }
    for (int size : {193, 65541}) {
        repack = size;
        EXPECT_EQ(convert(convert_m2p, 0), 0) << qv_error;
        check_m2p(read_file("Short.m2p"), size_t(size));
    }
    repack = 100;
    EXPECT_EQ(convert(convert_vob, 0), 0) << qv_error;
    check_vob(read_file("Short.vob"));
}

TEST_F(ProgramStreams, SamePidForVideoAndAudioIsRefused) {
    RecordingHeader h;
    h.audio_pid = h.video_pid;
    mount_recordings({{"Sample", Bytes(ts_.begin(), ts_.begin() + 1000 * kTsPacketSize)}}, h);
    for (auto conversion : {convert_vob, convert_m2p}) {
        EXPECT_EQ(convert(conversion, 0), 1);
        EXPECT_STREQ(qv_error, "Video and audio PID are both 257: the recording cannot be multiplexed\n");
        EXPECT_EQ(capture().messages, Messages{"Video PID is 257, audio PID is 257\n"});
    }
    EXPECT_FALSE(fs::exists("Sample.vob"));
    EXPECT_FALSE(fs::exists("Sample.m2p"));
}

#ifndef _WIN32
// Recordings made by ffmpeg (tools/make_gop_samples.sh: 176x144 MPEG-2 video
// in open GOPs, MPEG-1 Layer II audio), whole and cut to start inside a GOP
// (the first 37 % of their transport packets dropped, so that every stream
// starts in mid-packet). Checked with ffmpeg and ffprobe:
//   | output   | expected                                                                             |
//   | VOB, M2P | decoded without an error line; as many pictures as the recording's transport stream; |
//   |          | the first audio 0 to 0.25 s after the first picture; "-c copy" into Matroska works   |
//   | M2V      | decoded without an error line; as many pictures; ffprobe finds 176x144 MPEG-2 video  |
//   | MP3      | as many audio frames as the recording's audio PID                                    |
// The count to meet is what ffmpeg decodes from the transport stream the
// recording holds (cut for the cut rows): what a player can show of it. That
// leaves out the pictures before its first sequence header (ffmpeg cannot
// decode them from the transport stream either) and the B pictures in front
// of a cut recording's first I picture, which refer to the GOP before it
// (the decoder skips them in every container). A whole recording gives
// every picture and every audio frame of the source. The rows run one after
// the other in one process: each conversion starts afresh.
TEST_F(ProgramStreams, RecordingsPlayFromTheFirstPictureToTheLast) {
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    const struct {
        const char* source;
        int cut_percent;
        int pictures;   // in the source, to check the recording's own count
    } rows[] = {{"gop_short.ts", 0, 100}, {"gop_long.ts", 0, 225}, {"gop_short.ts", 37, 64}, {"gop_long.ts", 37, 123}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.source) + " cut " + std::to_string(row.cut_percent) + " %");
        Bytes ts = read_file(std::string(PVR_SOURCE_DIR) + "/data/" + row.source);
        size_t cut = ts.size() / kTsPacketSize * size_t(row.cut_percent) / 100 * kTsPacketSize;
        ts.erase(ts.begin(), ts.begin() + long(cut));
        write_file("Rec.ts", ts);
        ASSERT_EQ(decoded("Rec.ts", "v"), row.pictures);
        ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
        for (Conversion c : {convert_vob, convert_m2p, convert_m2v, convert_mp3}) ASSERT_EQ(convert(c, 0), 0) << qv_error;

        for (const char* file : {"Rec.vob", "Rec.m2p", "Rec.m2v"}) {
            SCOPED_TRACE(file);
            EXPECT_EQ(decode_errors(file), std::vector<std::string>{});
            EXPECT_EQ(decoded(file, "v"), row.pictures);
        }
        for (const char* file : {"Rec.vob", "Rec.m2p"}) {
            SCOPED_TRACE(file);
            double lead = first_time(file, "a") - first_time(file, "v");
            EXPECT_GE(lead, 0.0);
            EXPECT_LE(lead, 0.25);
            EXPECT_EQ(run_tool("ffmpeg -nostdin -v error -y -i " + std::string(file) +
                               " -map 0 -c copy Rec.mkv 2>&1 && echo remuxed"),
                      "remuxed\n");
        }
        EXPECT_EQ(run_tool("ffprobe -v error -show_entries stream=codec_name,width,height -of default=nw=1 Rec.m2v"),
                  "codec_name=mpeg2video\nwidth=176\nheight=144\n");
        EXPECT_EQ(decoded("Rec.mp3", "a"), decoded("Rec.ts", "a"));
    }
}
#endif

}  // namespace
