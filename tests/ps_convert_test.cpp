// The conversions through the demultiplexer ("VOB", "M2P", "M2V", "MP3") end to end, each test in
// its own temporary directory: on the bundled sample, and on recordings made by ffmpeg, checked
// with ffmpeg and ffprobe.
#include "support/fixture.h"
namespace {

using Conversions = ConversionTest;

// The sample's first 3000 packets as "Cut"; as "Same" with a header naming 0x101 for the audio too;
// as "Damaged" with the 5th audio PES without its start code and the 8th declaring one byte more. A
// VOB holds packs, an M2P PES packets of true lengths up to the repack size (0: 65541).
//   | VOB 100; M2P 193, 65541; M2V; MP3 | M2P 192, 65542 refused | Same | Damaged VOB, M2P 0: the
//   warnings |
TEST_F(Conversions, OfTheSampleAndItsDamage) {
    Bytes cut(ts_.begin(), ts_.begin() + 3000 * kTsPacketSize), damaged = cut;
    uint32_t declared = 0;
    for (size_t at = 0, audio = 0; at < damaged.size() && !declared; at += kTsPacketSize) {
        uint8_t* p = &damaged[at];
        if (get_be16(p + 1) != 0x4102 || ++audio < 5) continue;  // audio unit starts
        uint8_t* pes = p + 4 + ((p[3] & 0x20) ? p[4] + 1 : 0);
        if (audio == 5) pes[2] = 0x02;
        if (audio == 8) put_be16(pes + 4, (declared = get_be16(pes + 4)) + 1);
    }
    ImageBuilder img(16);
    img.add_recording("Cut", cut);
    img.add_recording("Same", cut, {1, 0x100, 0x101, 0x101});
    img.add_recording("Damaged", damaged);
    mount(img, 3);
    const std::string pids = "Video PID is 257, audio PID is 258\n", v = kVideoLine, a = kAudioLine,
                      end = kCompleted,
                      out =
                          "The PMT lists streams this output leaves out: PID 259 (MPEG audio); "
                          "--all-streams keeps them\n";
    const std::string bad = "1 PES packets with a bad start dropped (Bad PES packet start)\n";
    const std::string wrong =
        format("1 PES packets with a wrong length (first: bad PES packet length %u != %u)\n",
               declared + 1, declared);
    const char* refused = "Repack size %d not supported: use 0 or a size from 193 to 65541\n";
    const struct {
        Conversion conversion;
        int repack;
        const char* file;
        int result;
        std::string error;
        Messages shown;
    } rows[] = {
        {convert_vob, 100, "Cut.vob", 0, "", {pids, out, v, a, end}},
        {convert_m2p, 192, "Cut.m2p", 1, format(refused, 192), {}},
        {convert_m2p, 65542, "Cut.m2p", 1, format(refused, 65542), {}},
        {convert_m2p, 193, "Cut.m2p", 0, "", {pids, out, v, a, end}},
        {convert_m2p, 65541, "Cut.m2p", 0, "", {pids, out, v, a, end}},
        {convert_m2v, 0, "Cut.m2v", 0, "", {"Video PID is 257\n", end}},
        {convert_mp3, 0, "Cut.mp3", 0, "", {"Audio PID is 258\n", out, a, end}},
        {convert_vob,
         0,
         "Same.vob",
         1,
         "Video and audio PID are both 257: the recording cannot be multiplexed\n",
         {"Video PID is 257, audio PID is 257\n"}},
        {convert_vob, 0, "Damaged.vob", 0, "", {pids, out, v, a, end, bad}},
        {convert_m2p, 0, "Damaged.m2p", 0, "", {pids, out, v, a, end, bad, wrong}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.file) + " " + std::to_string(row.repack));
        const std::string file = row.file, type = file.substr(file.size() - 3);
        repack = row.repack;
        EXPECT_EQ(convert(row.conversion, file[0] == 'S'   ? 1
                                          : file[0] == 'D' ? 2
                                                           : 0),
                  row.result)
            << qv_error;
        EXPECT_EQ(capture().messages, row.shown);
        if (row.result != 0) {
            EXPECT_EQ(qv_error, row.error);
            EXPECT_FALSE(std::filesystem::exists(file));
            continue;
        }
        const Bytes out = read_file(file);
        const bool ps = type == "vob" || type == "m2p";
        size_t at = 0, count = 0;  // the packs or PES packets one behind the other
        for (; ps && at + 6 <= out.size() && get_be24(&out[at]) == 1; ++count) {
            size_t n = type == "vob" ? kPackSize : get_be16(&out[at + 4]) + 6u;
            EXPECT_TRUE(type == "vob" ? get_be32(&out[at]) == 0x1BAu
                                      : n > 6 && n <= size_t(row.repack ? row.repack : 65541))
                << at;
            at += n;
        }
        EXPECT_TRUE(ps ? at == out.size() && count > 40 : out.size() > 1000);
        std::filesystem::remove(file);
    }
    repack = 0;
}

#ifndef _WIN32
// ffprobe on stream "v" or "a" of file: the frames it decodes (count), or the time of the first one
// in seconds (the lines of side data between the frames' lines begin with a comma).
double probe(const std::string& file, const char* stream, bool count) {
    const char* entries = count ? "-count_frames -show_entries stream=nb_read_frames"
                                : "-show_entries frame=pts_time";
    return atof(run_tool(std::string("ffprobe -v error -select_streams ") + stream + ":0 " +
                         entries + " -of csv=p=0 '" + file +
                         "' 2>/dev/null | grep '^[0-9]' | sort -g | head -n 1")
                    .c_str());
}

// Recordings made by ffmpeg (tools/make_gop_samples.sh: 176x144 MPEG-2 video in open GOPs, MPEG-1
// Layer II audio), whole and without their first 37 % (every stream then starts in mid-packet,
// inside a GOP): VOB, M2P and M2V decode without an error line to all the pictures ffmpeg decodes
// from the recording; in VOB and M2P the first audio lies 0 to 0.25 s behind the first picture and
// "-c copy" into Matroska works; M2V is 176x144 MPEG-2 video; MP3 holds all the audio frames of the
// recording.
TEST_F(Conversions, RecordingsPlayFromTheFirstPictureToTheLast) {
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    const struct {
        const char* source;
        int cut_percent, pictures;
    } rows[] = {{"gop_short.ts", 0, 100},
                {"gop_long.ts", 0, 225},
                {"gop_short.ts", 37, 64},
                {"gop_long.ts", 37, 123}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.source) + " cut " + std::to_string(row.cut_percent) + " %");
        Bytes ts = read_file(std::string(PVR_SOURCE_DIR) + "/data/" + row.source);
        const size_t cut =
            ts.size() / kTsPacketSize * size_t(row.cut_percent) / 100 * kTsPacketSize;
        ts.erase(ts.begin(), ts.begin() + long(cut));
        write_file("Rec.ts", ts);
        ASSERT_EQ(probe("Rec.ts", "v", true), row.pictures);
        ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
        for (Conversion c : {convert_vob, convert_m2p, convert_m2v, convert_mp3})
            ASSERT_EQ(convert(c, 0), 0);
        for (const std::string file : {"Rec.vob", "Rec.m2p", "Rec.m2v"}) {
            SCOPED_TRACE(file);
            EXPECT_EQ(run_tool("ffmpeg -nostdin -v error -i " + file + " -f null - 2>&1"), "");
            EXPECT_EQ(probe(file, "v", true), row.pictures);
            if (file == "Rec.m2v") break;
            const double lead = probe(file, "a", false) - probe(file, "v", false);
            EXPECT_TRUE(lead >= 0.0 && lead <= 0.25) << lead;
            EXPECT_EQ(run_tool("ffmpeg -nostdin -v error -y -i " + file +
                               " -map 0 -c copy Rec.mkv 2>&1 && echo ok"),
                      "ok\n");
        }
        EXPECT_EQ(run_tool("ffprobe -v error -show_entries stream=codec_name,width,height -of "
                           "default=nw=1 Rec.m2v"),
                  "codec_name=mpeg2video\nwidth=176\nheight=144\n");
        EXPECT_EQ(probe("Rec.mp3", "a", true), probe("Rec.ts", "a", true));
        for (const char* file : {"Rec.vob", "Rec.m2p", "Rec.m2v", "Rec.mp3"})
            std::filesystem::remove(file);
    }
}
#endif
}  // namespace
