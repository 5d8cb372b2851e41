// The conversions through the demultiplexer ("VOB", "M2P", "M2V", "MP3") end to end, each test in
// its own temporary directory: on the bundled sample, on recordings made here and by ffmpeg, these
// checked with ffmpeg, ffprobe and dvdauthor.
#include "support/fixture.h"
namespace {

using Conversions = ConversionTest;

// The sample's first 3000 packets as "Cut"; as "Same" with a header naming 0x101 for the audio too;
// as "Damaged" with the 5th audio PES without its start code and the 8th declaring one byte more.
// Each row a conversion: the lines shown, the error; a VOB holds packs, an M2P PES packets of true
// lengths up to the repack size (0: 65541), one behind the other.
struct SampleRow {
    const char* name;
    const char* file;
    int recording = 0;
    int repack = 0;
    Messages shown;
    std::string error = "";
};
TEST_F(Conversions, OfTheSampleAndItsDamage) {
    Bytes cut(ts_.begin(), ts_.begin() + 3000 * kTsPacketSize);
    Bytes damaged = cut;
    uint32_t declared = 0;
    for (size_t at = 0, audio = 0; at < damaged.size() && !declared; at += kTsPacketSize) {
        uint8_t* packet = &damaged[at];
        if (get_be16(packet + 1) != 0x4102 || ++audio < 5) continue;  // audio unit starts
        uint8_t* pes = packet + 4 + ((packet[3] & 0x20) ? packet[4] + 1 : 0);
        if (audio == 5) pes[2] = 0x02;
        if (audio == 8) declared = get_be16(pes + 4);
        if (audio == 8) put_be16(pes + 4, declared + 1);
    }
    ImageBuilder img(16);
    img.add_recording("Cut", cut);
    img.add_recording("Same", cut, {1, 0x100, 0x101, 0x101});
    img.add_recording("Damaged", damaged);
    mount(img, 3);
    const Messages good = {"Video PID is 257, audio PID is 258\n",
                           "The PMT lists streams this output leaves out: PID 259 (MPEG audio); "
                           "--all-streams keeps them\n",
                           kVideoLine, kAudioLine, kCompleted};
    Messages bad = good;
    bad.push_back("1 PES packets with a bad start dropped (Bad PES packet start)\n");
    Messages wrong = bad;
    wrong.push_back(
        format("1 PES packets with a wrong length (first: bad PES packet length %u != %u)\n",
               declared + 1, declared));
    const SampleRow rows[] = {
        {.name = "VOB, the repack size ignored", .file = "Cut.vob", .repack = 100, .shown = good},
        {.name = "M2P 193", .file = "Cut.m2p", .repack = 193, .shown = good},
        {.name = "M2P 65542",
         .file = "Cut.m2p",
         .repack = 65542,
         .error = "Repack size 65542 not supported: use 0 or a size from 193 to 65541\n"},
        {.name = "one PID for both",
         .file = "Same.vob",
         .recording = 1,
         .shown = {"Video PID is 257, audio PID is 257\n"},
         .error = "Video and audio PID are both 257: the recording cannot be multiplexed\n"},
        {.name = "damaged VOB", .file = "Damaged.vob", .recording = 2, .shown = bad},
        {.name = "damaged M2P", .file = "Damaged.m2p", .recording = 2, .shown = wrong},
    };
    for (const SampleRow& row : rows) {
        SCOPED_TRACE(row.name);
        repack = row.repack;
        const bool vob = std::string(row.file).find(".vob") != std::string::npos;
        EXPECT_EQ(convert(vob ? convert_vob : convert_m2p, row.recording),
                  row.error.empty() ? 0 : 1);
        EXPECT_EQ(capture().messages, row.shown);
        if (!row.error.empty()) {
            EXPECT_EQ(qv_error, row.error);
            EXPECT_FALSE(std::filesystem::exists(row.file));
            continue;
        }
        const Bytes written = read_file(row.file);
        size_t at = 0;
        size_t count = 0;
        for (; vob && at + kPackSize <= written.size(); at += kPackSize, ++count)
            EXPECT_EQ(get_be32(&written[at]), 0x1BAu) << at;
        for (; !vob && at + 6 <= written.size() && get_be24(&written[at]) == 1; ++count) {
            const size_t size = get_be16(&written[at + 4]) + 6u;
            EXPECT_TRUE(size > 6 && size <= size_t(row.repack ? row.repack : 65541)) << at;
            at += size;
        }
        EXPECT_TRUE(at == written.size() && count > 40) << at;
        std::filesystem::remove(row.file);
    }
    repack = 0;
}

// The transport packets of the PES packet pes on pid, counters from cc on (the last one filled by
// its adaptation field).
Bytes ts_of(uint32_t pid, const Bytes& pes, int& cc) {
    Bytes out;
    for (size_t at = 0; at < pes.size(); at += 184) {
        const size_t n = std::min<size_t>(184, pes.size() - at);
        Bytes packet = {0x47, uint8_t((at ? 0 : 0x40) | pid >> 8), uint8_t(pid),
                        uint8_t((n < 184 ? 0x30 : 0x10) | (cc++ & 15))};
        if (n < 184) packet.push_back(uint8_t(183 - n));
        packet.resize(188 - n, 0xFF);
        if (n < 183) packet[5] = 0;
        packet.insert(packet.end(), pes.begin() + long(at), pes.begin() + long(at + n));
        append(out, packet);
    }
    return out;
}

// A recording whose PMT names the video 0x101 and nine MPEG audio tracks 0x102 to 0x10A: a picture
// with a sequence header, a frame of each track, a picture with a group header. As a VOB with
// --all-streams and --dvd it takes the first eight tracks as 0xC0 to 0xC7, says so, and puts a
// navigation pack with audio_bound 8 before each picture.
TEST_F(Conversions, AVobHoldsEightAudioTracksAtMost) {
    Bytes section = hex("02 B0 3F 00 01 C1 00 00 E1 01 F0 00 02 E1 01 F0 00");
    for (uint8_t pid = 0x02; pid <= 0x0A; ++pid) append(section, {0x03, 0xE1, pid, 0xF0, 0x00});
    append(section, {0, 0, 0, 0});
    put_be32(&section[section.size() - 4], mpeg_crc32(section.data(), section.size() - 4));
    Bytes ts = hex("47 41 00 10 00");
    append(ts, section);
    ts.resize(kTsPacketSize, 0xFF);
    int video_cc = 0;
    int audio_cc = 0;
    append(ts, ts_of(0x101, pes(0xE0, 1000, 900000, kNone, true), video_cc));
    for (uint32_t pid = 0x102; pid <= 0x10A; ++pid)
        append(ts, ts_of(pid, pes(0xC0, 500, 900000, kNone, true), audio_cc));
    Bytes group = pes(0xE0, 1000, 903600);
    put_be32(&group[14], 0x1B8);
    append(ts, ts_of(0x101, group, video_cc));
    ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
    stream_options = {1, 1};
    EXPECT_EQ(convert(convert_vob, 0), 0) << qv_error;
    stream_options = {};
    Messages shown = {"Video PID is 257, audio PID is 258\n",
                      "The PMT lists streams this output leaves out: PID 266 (MPEG audio); it "
                      "holds 8 audio tracks at most\n",
                      kVideoLine};
    for (uint32_t pid = 0x102; pid <= 0x109; ++pid)
        shown.push_back(
            format("Audio PID %u as 0x%02X: Layer 2, bit rate=192 kb/s, frequency=48.0 kHz\n", pid,
                   0xC0 + pid - 0x102));
    shown.push_back(kCompleted);
    EXPECT_EQ(capture().messages, shown);
    const Bytes vob = read_file("Rec.vob");
    std::string ids;
    for (size_t at = 0; at + kPackSize <= vob.size(); at += kPackSize)
        ids += format("%02X ", vob[at + 17]);
    EXPECT_EQ(ids, "BB E0 C0 C1 C2 C3 C4 C5 C6 C7 BB E0 ");
    EXPECT_EQ(vob[23], 8 << 2);
}

#ifndef _WIN32
// A recording ffmpeg makes here: MPEG-2 video (352x288, 25 fps, groups of 12 pictures with two B
// pictures) on PID 0x101, two MPEG-1 Layer II tracks (48 kHz mono, 48 kbit/s) on 0x102 and 0x103,
// an AC-3 track (48 kHz mono, 32 kbit/s) on 0x104, the PMT on 0x100; 2 s, 711 packets. Every audio
// PES packet holds one frame, as some muxers write them.
const Bytes& streams_recording() {
    static Bytes ts;
    if (!ts.empty()) return ts;
    run_tool(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=660:sample_rate=48000 "
        "-f lavfi -i sine=frequency=880:sample_rate=48000 -t 2 -map 0:v -map 1:a -map 2:a -map 3:a "
        "-c:v mpeg2video -b:v 150k -maxrate 150k -bufsize 300k -g 12 -bf 2 -sc_threshold "
        "1000000000 -aspect 4:3 -c:a:0 mp2 -b:a:0 48k -ac:a:0 1 -c:a:1 mp2 -b:a:1 48k -ac:a:1 1 "
        "-c:a:2 ac3 -b:a:2 32k -ac:a:2 1 -f mpegts -pes_payload_size 0 -mpegts_service_id 1 "
        "-mpegts_pmt_start_pid 0x100 -streamid 0:0x101 -streamid 1:0x102 -streamid 2:0x103 "
        "-streamid 3:0x104 -fflags +bitexact streams.ts");
    ts = read_file("streams.ts");
    std::filesystem::remove("streams.ts");
    return ts;
}

// The streams ffprobe decodes in file, each "codec,id,frames " (sorted).
std::string streams_in(const std::string& file) {
    return run_tool(
        "ffprobe -v error -count_frames -show_entries stream=codec_name,id,nb_read_frames "
        "-of csv=p=0 '" +
        file + "' | grep , | cut -d, -f1-3 | sort -u | tr '\\n' ' '");
}

// The conversion that writes file, by its extension.
Conversion conversion_of(const std::string& file) {
    const std::string type = file.substr(file.rfind('.') + 1);
    if (type == "vob") return convert_vob;
    if (type == "m2p") return convert_m2p;
    if (type == "m2v") return convert_m2v;
    return type == "mp3" ? convert_mp3 : convert_ts;
}

// streams_recording() as "All"; as "Lost" with the header naming audio PID 0x1F0, which occurs
// nowhere; as "Bare" the same without its PAT and PMT (675 packets); "Blank" video and audio
// packets that hold no PES packet; "Open" streams_recording() without its first 37 % (the video
// begins inside an open group), "Sample" the sample without its first 30 % (five audio frames a
// PES packet). Each row a conversion into file: its result, the lines shown (qv_error last for a
// failure), the files written (none after a failure before the output, else the file), the streams
// ffprobe decodes in the first one (a program stream's AC-3 by its sub-stream). With --dvd,
// dvdauthor (PAL) makes a title of the VOB with no "WARN" and no "ERR" and the streams given.
struct StreamsRow {
    const char* name;
    std::string file;
    int all_streams = 0;
    int dvd = 0;
    int result = 0;
    Messages shown;
    std::vector<std::string> files = {};
    std::string streams = "";
    std::string title = "";
};
TEST_F(Conversions, StreamsOfTheRecording) {
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("dvdauthor");
    const Bytes& all = streams_recording();
    Bytes bare;
    Bytes blank;
    for (size_t at = 0; at < all.size(); at += kTsPacketSize)
        if (get_be16(&all[at + 1]) % 0x100 != 0)  // PIDs 0 and 0x100 left out
            append(bare, Bytes(all.begin() + long(at), all.begin() + long(at + kTsPacketSize)));
    for (uint32_t i = 0; i < 20; ++i) append(blank, numbered_packet(i / 2, 0x101 + i % 2));
    const Bytes open(all.begin() + long(all.size() / 188 * 37 / 100 * 188), all.end());
    const Bytes sample(ts_.begin() + long(ts_.size() / 188 * 30 / 100 * 188), ts_.end());
    const std::vector<std::string> names = {"All", "Lost", "Bare", "Blank", "Open", "Sample"};
    ImageBuilder img(60);
    img.set_root_dir_slack(512);
    img.add_recording("All", all);
    img.add_recording("Lost", all, {1, 0x100, 0x101, 0x1F0});
    img.add_recording("Bare", bare, {1, 0x100, 0x101, 0x1F0});
    img.add_recording("Blank", blank);
    img.add_recording("Open", open);
    img.add_recording("Sample", sample);
    mount(img, 6);
    const std::string video =
        "Video: size = 352 x 288, aspect 4:3, frame rate 25, bit rate = 0.15 Mbit/s\n";
    const std::string mp2 = "Layer 2, bit rate=48 kb/s, frequency=48.0 kHz\n";
    const std::string pids = "Video PID is 257, audio PID is 258\n";
    const std::string ts_lost = "PMT PID is 256, video PID is 257, audio PID is 496\n";
    const std::string taken =
        "The recording header's audio PID 496 occurs in none of the first 711 packets; the PMT's "
        "audio PID 258 is taken instead\n";
    const std::string none =
        "The recording has no audio: its header's audio PID 496 occurs in none of the first 675 "
        "packets, and no PMT names another\n";
    const std::string out =
        "The PMT lists streams this output leaves out: PID 259 (MPEG audio), PID 260 (AC-3 audio); "
        "--all-streams keeps them\n";
    const Messages all_tracks = {
        pids,
        video,
        "Audio PID 258 as 0xC0: " + mp2,
        "Audio PID 259 as 0xC1: " + mp2,
        "Audio PID 260 as 0xBD 0x80: AC-3, bit rate=32 kb/s, frequency=48.0 "
        "kHz, channels=1\n",
        kCompleted};
    const std::string ps_all = "ac3,0x80,62 mp2,0x1c0,83 mp2,0x1c1,83 mpeg2video,0x1e0,50 ";
    const std::string ps_two = "mp2,0x1c0,83 mpeg2video,0x1e0,50 ";
    const StreamsRow rows[] = {
        {.name = "VOB: the tracks left out named",
         .file = "All.vob",
         .shown = {pids, out, video, "Audio: " + mp2, kCompleted},
         .streams = ps_two},
        {.name = "VOB --all-streams",
         .file = "All.vob",
         .all_streams = 1,
         .shown = all_tracks,
         .streams = ps_all},
        {.name = "M2P --all-streams",
         .file = "All.m2p",
         .all_streams = 1,
         .shown = all_tracks,
         .streams = ps_all},
        {.name = "MP3 --all-streams: a file a track",
         .file = "All.mp3",
         .all_streams = 1,
         .shown = {"Audio PID is 258\n", "Audio PID 258: " + mp2, "Audio PID 259: " + mp2,
                   kCompleted},
         .files = {"All-259.mp3", "All.mp3"},
         .streams = "mp2,N/A,84 "},
        {.name = "TS --all-streams: every frame",
         .file = "All.ts",
         .all_streams = 1,
         .shown = {"PMT PID is 256, video PID is 257, audio PID is 258\n", kCompleted},
         .streams = "ac3,0x104,63 mp2,0x102,84 mp2,0x103,84 mpeg2video,0x101,50 "},
        {.name = "VOB: the PMT's audio taken",
         .file = "Lost.vob",
         .shown = {"Video PID is 257, audio PID is 496\n", taken, out, video, "Audio: " + mp2,
                   kCompleted},
         .streams = ps_two},
        {.name = "MP3 without audio fails",
         .file = "Bare.mp3",
         .result = 1,
         .shown = {"Audio PID is 496\n", none}},
        {.name = "TS without audio goes on",
         .file = "Bare.ts",
         .all_streams = 1,
         .shown = {ts_lost, none,
                   "No PMT in the first 675 packets: only the header's streams are taken\n",
                   kCompleted}},
        {.name = "VOB of nothing",
         .file = "Blank.vob",
         .result = 4,
         .shown = {pids, kCompleted,
                   "Nothing was written: the video has no sequence header in a packet with a time "
                   "stamp\n"}},
        {.name = "M2V of nothing",
         .file = "Blank.m2v",
         .result = 4,
         .shown = {"Video PID is 257\n", kCompleted,
                   "Nothing was written: the video has no sequence header\n"}},
        {.name = "a DVD of all streams from inside an open group",
         .file = "Open.vob",
         .all_streams = 1,
         .dvd = 1,
         .shown = {pids, "Audio PID 258 as 0xC0: " + mp2, "Audio PID 259 as 0xC1: " + mp2,
                   all_tracks[4], video, kCompleted},
         .streams = "ac3,0x80,32 mp2,0x1c0,43 mp2,0x1c1,43 mpeg2video,0x1e0,26 ",
         .title =
             "ac3,0x80,32 dvd_nav_packet,0x1bf,N/A mp2,0x1c0,43 mp2,0x1c1,43 mpeg2video,0x1e0,26 "},
        {.name = "a DVD of the sample: each piece with a frame has its time",
         .file = "Sample.vob",
         .dvd = 1,
         .shown = {pids,
                   "The PMT lists streams this output leaves out: PID 259 (MPEG audio); "
                   "--all-streams keeps them\n",
                   kAudioLine, kVideoLine, kCompleted},
         .streams = "mp2,0x1c0,209 mpeg2video,0x1e0,128 ",
         .title = "dvd_nav_packet,0x1bf,N/A mp2,0x1c0,209 mpeg2video,0x1e0,128 "},
    };
    for (const StreamsRow& row : rows) {
        SCOPED_TRACE(row.name);
        stream_options = {row.all_streams, row.dvd};
        const std::string stem = row.file.substr(0, row.file.find('.'));
        const int recording = int(std::find(names.begin(), names.end(), stem) - names.begin());
        EXPECT_EQ(convert(conversion_of(row.file), recording), row.result);
        stream_options = {};
        Messages shown = capture().messages;
        if (row.result) shown.push_back(qv_error);
        EXPECT_EQ(shown, row.shown);
        std::vector<std::string> files = row.files;
        if (files.empty() && row.result != 1) files.push_back(row.file);
        for (const auto& entry : std::filesystem::directory_iterator("."))
            files.erase(std::remove(files.begin(), files.end(), entry.path().filename().string()),
                        files.end());
        EXPECT_EQ(files, std::vector<std::string>()) << "missing";
        if (!row.streams.empty()) EXPECT_EQ(streams_in(row.file), row.streams);
        if (row.dvd) {
            EXPECT_EQ(run_tool("export VIDEO_FORMAT=PAL; (dvdauthor -o dvd -t " + row.file +
                               " && dvdauthor -o dvd -T) 2>&1 | grep -E 'WARN|ERR'"),
                      "");
            EXPECT_EQ(streams_in("dvd/VIDEO_TS/VTS_01_1.VOB"), row.title);
        }
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            EXPECT_TRUE(entry.is_directory() || std::filesystem::file_size(entry) != 0 ||
                        row.result)
                << entry;
            std::filesystem::remove_all(entry);
        }
    }
}

// The time of the first frame ffprobe decodes of stream "v" or "a" of file, in seconds (the lines
// of side data between the frames' lines begin with a comma).
double first_time(const std::string& file, const char* stream) {
    return atof(run_tool("ffprobe -v error -select_streams " + std::string(stream) +
                         ":0 -show_entries frame=pts_time -of csv=p=0 '" + file +
                         "' 2>/dev/null | grep '^[0-9]' | sort -g | head -n 1")
                    .c_str());
}

// Recordings made by ffmpeg (tools/make_gop_samples.sh: 176x144 MPEG-2 video in open GOPs, MPEG-1
// Layer II audio), whole and without their first 37 % (every stream then starts in mid-packet,
// inside a GOP; ffmpeg decodes as many pictures from the recording as the row's): VOB, M2P and M2V
// decode without an error line to all those pictures, VOB and M2P with the audio frames from the
// first picture's time on, the first 0 to 0.25 s behind it; MP3 holds all the audio frames.
struct GopRow {
    const char* source;
    int cut_percent;
    int pictures;
    int audio_frames;
    int mp3_frames;
};
TEST_F(Conversions, RecordingsPlayFromTheFirstPictureToTheLast) {
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    const GopRow rows[] = {{"gop_short.ts", 0, 100, 162, 167},
                           {"gop_long.ts", 0, 225, 370, 375},
                           {"gop_short.ts", 37, 64, 102, 127},
                           {"gop_long.ts", 37, 123, 200, 250}};
    for (const GopRow& row : rows) {
        SCOPED_TRACE(std::string(row.source) + " cut " + std::to_string(row.cut_percent) + " %");
        Bytes ts = read_file(std::string(PVR_SOURCE_DIR) + "/data/" + row.source);
        ts.erase(ts.begin(),
                 ts.begin() + long(ts.size() / 188 * size_t(row.cut_percent) / 100 * 188));
        ASSERT_NO_FATAL_FAILURE(mount_recordings({{"Rec", ts}}));
        for (Conversion conversion : {convert_vob, convert_m2p, convert_m2v, convert_mp3})
            ASSERT_EQ(convert(conversion, 0), 0);
        const std::string ps =
            format("mp2,0x1c0,%d mpeg2video,0x1e0,%d ", row.audio_frames, row.pictures);
        for (const std::string file : {"Rec.vob", "Rec.m2p"}) {
            SCOPED_TRACE(file);
            EXPECT_EQ(streams_in(file), ps);
            const double lead = first_time(file, "a") - first_time(file, "v");
            EXPECT_TRUE(lead >= 0.0 && lead <= 0.25) << lead;
        }
        for (const std::string file : {"Rec.vob", "Rec.m2p", "Rec.m2v"})
            EXPECT_EQ(run_tool("ffmpeg -nostdin -v error -i " + file + " -f null - 2>&1"), "")
                << file;
        EXPECT_EQ(streams_in("Rec.m2v"), format("mpeg2video,N/A,%d ", row.pictures));
        EXPECT_EQ(streams_in("Rec.mp3"), format("mp2,N/A,%d ", row.mp3_frames));
        for (const auto& entry : std::filesystem::directory_iterator("."))
            std::filesystem::remove(entry);
    }
}

#endif
}  // namespace
