// The conversions through the demultiplexer ("VOB", "M2P", "M2V", "MP3") end to end, each test in
// its own temporary directory: on the bundled sample, and on recordings made by ffmpeg, checked
// with ffmpeg and ffprobe.
#include <set>
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
// A recording ffmpeg makes here: MPEG-2 video (352x288, 25 fps, groups of 12 pictures with two B
// pictures) on PID 0x101, two MPEG-1 Layer II tracks (48 kHz mono, 48 kbit/s) on 0x102 and 0x103,
// an AC-3 track (48 kHz mono, 32 kbit/s) on 0x104, the PMT on 0x100; 2 s. Every audio PES packet
// holds one frame, as some muxers write them.
Bytes streams_recording() {
    run_tool(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=660:sample_rate=48000 "
        "-f lavfi -i sine=frequency=880:sample_rate=48000 -t 2 -map 0:v -map 1:a -map 2:a -map 3:a "
        "-c:v mpeg2video -b:v 150k -maxrate 150k -bufsize 300k -g 12 -bf 2 -sc_threshold "
        "1000000000 -aspect 4:3 -c:a:0 mp2 -b:a:0 48k -ac:a:0 1 -c:a:1 mp2 -b:a:1 48k -ac:a:1 1 "
        "-c:a:2 ac3 -b:a:2 32k -ac:a:2 1 -f mpegts -pes_payload_size 0 -mpegts_service_id 1 "
        "-mpegts_pmt_start_pid 0x100 -streamid 0:0x101 -streamid 1:0x102 -streamid 2:0x103 "
        "-streamid 3:0x104 -fflags +bitexact streams.ts");
    const Bytes ts = read_file("streams.ts");
    std::filesystem::remove("streams.ts");
    return ts;
}

// The stream ids of a VOB or M2P, AC-3 with its sub-stream: "E0 C0 C1 BD80".
std::string stream_ids(const Bytes& out, bool vob) {
    std::set<std::string> ids;
    for (size_t at = 0; at + 14 <= out.size();) {
        const size_t pes = vob ? at + 14 + (out[at + 13] & 7) : at;
        const uint8_t* b = &out[pes];
        if (b[3] >= 0xBD && b[3] != 0xBE && b[3] != 0xBF)
            ids.insert(format("%02X", b[3]) + (b[3] == 0xBD ? format("%02X", b[9 + b[8]]) : ""));
        at += vob ? kPackSize : get_be16(b + 4) + 6u;
    }
    std::string list;
    for (const std::string& id : ids) list += (list.empty() ? "" : " ") + id;
    return list;
}

// streams_recording() (video 0x101; MPEG audio 0x102, 0x103; AC-3 0x104; 711 packets) as "All"; as
// "Lost" with the header naming audio PID 0x1F0, which occurs nowhere; as "Bare" the same without
// its PAT and PMT (675 packets); "Blank" video and audio packets that hold no PES packet. Each row
// a conversion with or without --all-streams: its result, the lines shown (qv_error last for a
// failure), the files written, the stream ids of a program stream.
//   | All: the tracks left out named; with the option each track described, MP3 one file each    |
//   | Lost: the PMT's audio taken, with a warning      | Bare: no audio: MP3 fails, TS goes on   |
//   | Blank: nothing written, a failure                                                         |
TEST_F(Conversions, StreamsOfTheRecording) {
    REQUIRE_TOOL("ffmpeg");
    const Bytes all = streams_recording();
    Bytes bare, blank;
    for (size_t at = 0; at < all.size(); at += kTsPacketSize)
        if (get_be16(&all[at + 1]) % 0x100 != 0)  // PIDs 0 and 0x100 left out
            append(bare, Bytes(all.begin() + long(at), all.begin() + long(at + kTsPacketSize)));
    for (uint32_t i = 0; i < 20; ++i) append(blank, numbered_packet(i / 2, 0x101 + i % 2));
    ImageBuilder img(26);
    img.add_recording("All", all);
    img.add_recording("Lost", all, {1, 0x100, 0x101, 0x1F0});
    img.add_recording("Bare", bare, {1, 0x100, 0x101, 0x1F0});
    img.add_recording("Blank", blank);
    mount(img, 4);
    const std::string
        v = "Video: size = 352 x 288, aspect 4:3, frame rate 25, bit rate = 0.15 Mbit/s\n",
        a = "Layer 2, bit rate=48 kb/s, frequency=48.0 kHz\n",
        ac3 = "AC-3, bit rate=32 kb/s, frequency=48.0 kHz, channels=1\n", end = kCompleted,
        pids = "Video PID is 257, audio PID is 258\n",
        lost = "Video PID is 257, audio PID is 496\n",
        ts_lost = "PMT PID is 256, video PID is 257, audio PID is 496\n",
        taken =
            "The recording header's audio PID 496 occurs in none of the first 711 "
            "packets; the PMT's audio PID 258 is taken instead\n",
        none =
            "The recording has no audio: its header's audio PID 496 occurs in none "
            "of the first 675 packets, and no PMT names another\n",
        out = "The PMT lists streams this output leaves out: ";
    const struct {
        Conversion conversion;
        int all_streams;
        int index, result;
        Messages shown;
        std::vector<std::string> files;
        std::string ids = "";
    } rows[] = {
        {convert_vob,
         0,
         0,
         0,
         {pids, out + "PID 259 (MPEG audio), PID 260 (AC-3 audio); --all-streams keeps them\n", v,
          "Audio: " + a, end},
         {"All.vob"},
         "C0 E0"},
        {convert_m2p,
         1,
         0,
         0,
         {pids, v, "Audio PID 258 as 0xC0: " + a, "Audio PID 259 as 0xC1: " + a,
          "Audio PID 260 as 0xBD 0x80: " + ac3, end},
         {"All.m2p"},
         "BD80 C0 C1 E0"},
        {convert_mp3,
         1,
         0,
         0,
         {"Audio PID is 258\n", "Audio PID 258: " + a, "Audio PID 259: " + a, end},
         {"All-259.mp3", "All.mp3"}},
        {convert_ts,
         0,
         1,
         0,
         {ts_lost, taken,
          out + "PID 259 (MPEG audio), PID 260 (AC-3 audio); --all-streams keeps them\n", end},
         {"Lost.ts"}},
        {convert_vob,
         0,
         1,
         0,
         {lost, taken,
          out + "PID 259 (MPEG audio), PID 260 (AC-3 audio); --all-streams keeps them\n", v,
          "Audio: " + a, end},
         {"Lost.vob"},
         "C0 E0"},
        {convert_mp3, 0, 2, 1, {"Audio PID is 496\n", none}, {}},
        {convert_ts,
         1,
         2,
         0,
         {ts_lost, none, "No PMT in the first 675 packets: only the header's streams are taken\n",
          end},
         {"Bare.ts"}},
        {convert_vob,
         0,
         3,
         4,
         {pids, end,
          "Nothing was written: the video has no sequence header in a packet with a time "
          "stamp\n"},
         {"Blank.vob"}},
        {convert_m2v,
         0,
         3,
         4,
         {"Video PID is 257\n", end, "Nothing was written: the video has no sequence header\n"},
         {"Blank.m2v"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.shown));
        stream_options.all_streams = row.all_streams;
        EXPECT_EQ(convert(row.conversion, row.index), row.result);
        Messages shown = capture().messages;
        if (row.result) shown.push_back(qv_error);
        EXPECT_EQ(shown, row.shown);
        std::vector<std::string> files;
        for (const auto& f : std::filesystem::directory_iterator("."))
            files.push_back(f.path().filename().string());
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, row.files);
        for (const std::string& file : files) {
            EXPECT_EQ(std::filesystem::file_size(file) != 0, row.result == 0) << file;
            const std::string type = file.substr(file.size() - 3);
            if (type == "vob" || type == "m2p") {
                EXPECT_EQ(stream_ids(read_file(file), type == "vob"), row.ids);
            }
            std::filesystem::remove(file);
        }
    }
    stream_options.all_streams = 0;
}

#endif

// The transport packets of the PES packet pes on pid, counters from cc on (the last one filled by
// its adaptation field).
Bytes ts_of(uint32_t pid, const Bytes& pes, int& cc) {
    Bytes out;
    for (size_t at = 0; at < pes.size(); at += 184) {
        const size_t n = std::min<size_t>(184, pes.size() - at);
        Bytes p = {0x47, uint8_t((at ? 0 : 0x40) | pid >> 8), uint8_t(pid),
                   uint8_t((n < 184 ? 0x30 : 0x10) | (cc++ & 15))};
        if (n < 184) p.push_back(uint8_t(183 - n)), p.resize(188 - n, 0xFF);
        if (n < 183) p[5] = 0;
        p.insert(p.end(), pes.begin() + long(at), pes.begin() + long(at + n));
        append(out, p);
    }
    return out;
}
// The PTS of the first PES packet of stream_id class id (0xE0 or 0xC0) in a VOB or M2P.
int64_t first_pts(const Bytes& out, bool vob, uint8_t id) {
    for (size_t at = 0; at + 14 <= out.size();) {
        const size_t pes = vob ? at + 14 + (out[at + 13] & 7) : at;
        const uint8_t* b = &out[pes];
        if ((b[3] & 0xF0) == id && (b[7] & 0x80))
            return int64_t(b[9] >> 1 & 7) << 30 | b[10] << 22 | (b[11] >> 1) << 15 | b[12] << 7 |
                   b[13] >> 1;
        at += vob ? kPackSize : get_be16(b + 4) + 6u;
    }
    return -1;
}

// VOB and M2P begin with the same video and audio packets: recordings made here whose audio
// holds one frame per PES packet, each row's packets in order (V video PES packet k of 3000 bytes,
// PTS 900000 + 3600 k, the first with a sequence header, in TS packets from .. to; A an audio PES
// packet with the PTS 900000 + d). Before, M2P lost the audio that came while the first picture's
// packet was collected (row 1), both the audio that came before it (row 2).
//   | the first audio frame in step comes in the first picture's packet: written | audio in step
//   before the video: written |
TEST_F(Conversions, VobAndM2pBeginAlike) {
    struct Piece {
        char kind;
        int k_or_d;
        size_t from = 0, to = 17;
    };
    const struct {
        std::vector<Piece> pieces;
        int64_t audio_behind_video;
    } rows[] = {
        {{{'A', -2160},
          {'V', 0, 0, 13},
          {'A', 0},
          {'V', 0, 13, 15},
          {'A', 2160},
          {'V', 0, 15},
          {'V', 1},
          {'A', 4320}},
         0},
        {{{'A', -2160}, {'A', 100}, {'V', 0}, {'A', 2260}, {'V', 1}, {'A', 4420}}, 100},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.audio_behind_video);
        Bytes ts, video[2];
        int video_cc = 0, audio_cc = 0;
        for (const Piece& p : row.pieces) {
            if (p.kind == 'A') {
                append(ts, ts_of(0x102, pes(0xC0, 150, 900000 + p.k_or_d, kNone, true), audio_cc));
                continue;
            }
            Bytes& v = video[p.k_or_d];
            if (v.empty())
                v = ts_of(0x101, pes(0xE0, 3000, 900000 + 3600 * p.k_or_d, kNone, p.k_or_d == 0),
                          video_cc);
            append(ts, Bytes(v.begin() + long(p.from * 188), v.begin() + long(p.to * 188)));
        }
        ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
        for (Conversion c : {convert_vob, convert_m2p}) {
            ASSERT_EQ(convert(c, 0), 0) << qv_error;
            const bool vob = c == convert_vob;
            const Bytes out = read_file(vob ? "Rec.vob" : "Rec.m2p");
            EXPECT_EQ(first_pts(out, vob, 0xC0) - first_pts(out, vob, 0xE0), row.audio_behind_video)
                << (vob ? "VOB" : "M2P");
        }
        std::filesystem::remove("Rec.vob"), std::filesystem::remove("Rec.m2p");
    }
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

// The streams ffprobe decodes in file, each "codec,id,frames " (sorted).
std::string streams_in(const std::string& file) {
    return run_tool(
        "ffprobe -v error -count_frames -show_entries stream=codec_name,id,nb_read_frames "
        "-of csv=p=0 '" +
        file + "' | grep , | cut -d, -f1-3 | sort -u | tr '\\n' ' '");
}

// streams_recording() whole, and without its first 37 % (every stream begins in mid-packet, the
// video inside an open group): ffprobe decodes every stream of each output to every frame the start
// rule keeps (audio from the first picture's time on). With --dvd, dvdauthor (PAL) makes a title of
// the VOB with no "WARN" and no "ERR", and the title holds all of the VOB's frames; so it does of
// the sample without its first 30 %.
//   | --all-streams: TS all four with every frame; VOB, M2P all four; MP3 a file a track |
//   | without: VOB the header's two | --dvd --all-streams: the title                      |
TEST_F(Conversions, EveryStreamPlaysAndMakesADvd) {
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("dvdauthor");
    const std::string ps_all = "ac3,0x80,62 mp2,0x1c0,83 mp2,0x1c1,83 mpeg2video,0x1e0,50 ";
    const struct {
        const char* source;
        int cut_percent;
        Conversion conversion;
        int all_streams, dvd;
        const char* file;
        std::string streams, title = "";
    } rows[] = {
        {"streams.ts", 0, convert_ts, 1, 0, "Rec.ts",
         "ac3,0x104,63 mp2,0x102,84 mp2,0x103,84 mpeg2video,0x101,50 "},
        {"streams.ts", 0, convert_vob, 1, 0, "Rec.vob", ps_all},
        {"streams.ts", 0, convert_m2p, 1, 0, "Rec.m2p", ps_all},
        {"streams.ts", 0, convert_mp3, 1, 0, "Rec-259.mp3", "mp2,N/A,84 "},
        {"streams.ts", 0, convert_vob, 0, 0, "Rec.vob", "mp2,0x1c0,83 mpeg2video,0x1e0,50 "},
        {"streams.ts", 37, convert_vob, 1, 1, "Rec.vob",
         "ac3,0x80,32 mp2,0x1c0,43 mp2,0x1c1,43 mpeg2video,0x1e0,26 ",
         "ac3,0x80,32 dvd_nav_packet,0x1bf,N/A mp2,0x1c0,43 mp2,0x1c1,43 mpeg2video,0x1e0,26 "},
        // Five audio frames a PES packet, cut into pieces: each piece with a frame has its time.
        {"sample.ts", 30, convert_vob, 0, 1, "Rec.vob", "mp2,0x1c0,209 mpeg2video,0x1e0,128 ",
         "dvd_nav_packet,0x1bf,N/A mp2,0x1c0,209 mpeg2video,0x1e0,128 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.source) + " " + row.file);
        Bytes ts = std::string(row.source) == "streams.ts"
                       ? streams_recording()
                       : read_file(std::string(PVR_SOURCE_DIR) + "/data/" + row.source);
        ts.erase(ts.begin(),
                 ts.begin() + long(ts.size() / 188 * size_t(row.cut_percent) / 100 * 188));
        ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
        stream_options = {row.all_streams, row.dvd};
        EXPECT_EQ(convert(row.conversion, 0), 0) << qv_error;
        stream_options = {};
        EXPECT_EQ(streams_in(row.file), row.streams);
        if (row.dvd) {
            EXPECT_EQ(run_tool("export VIDEO_FORMAT=PAL; (dvdauthor -o dvd -t Rec.vob && "
                               "dvdauthor -o dvd -T) 2>&1 | grep -E 'WARN|ERR'"),
                      "");
            EXPECT_EQ(streams_in("dvd/VIDEO_TS/VTS_01_1.VOB"), row.title);
        }
        for (const auto& f : std::filesystem::directory_iterator("."))
            std::filesystem::remove_all(f);
    }
}
#endif
}  // namespace
