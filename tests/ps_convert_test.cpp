// The conversions through the demultiplexer ("VOB", "M2P", "M2V", "MP3"; "TS" beside them) end to
// end, each test in its own temporary directory: on recordings made here from the bundled sample
// and by hand, and on recordings made by ffmpeg, checked with ffmpeg, ffprobe and dvdauthor.
#include <map>
#include <tuple>
#include "support/fixture.h"
namespace {
#ifndef _WIN32

using Conversions = ConversionTest;

// The file a row's name begins with: "Rec.vob --all-streams: ..." names Rec.vob.
std::string file_of(const std::string& name) { return name.substr(0, name.find_first_of(" :")); }

// Runs the conversion a row's name begins with: "Rec.vob --all-streams --dvd: ..." converts the
// recording Rec (its index in names) to VOB with those options, left set. Its result.
int run_named(const std::string& name, const std::vector<std::string>& names) {
    const std::string command = name.substr(0, name.find(':'));
    const std::string file = file_of(name);
    const size_t dot = file.rfind('.');
    const auto recording = std::find(names.begin(), names.end(), file.substr(0, dot));
    const std::map<std::string, Conversion> kinds = {{"vob", convert_vob},
                                                     {"m2p", convert_m2p},
                                                     {"m2v", convert_m2v},
                                                     {"mp3", convert_mp3},
                                                     {"ts", convert_ts}};
    stream_options.all_streams = command.find("--all-streams") != std::string::npos;
    stream_options.dvd = command.find("--dvd") != std::string::npos;
    clear_capture();
    return kinds.at(file.substr(dot + 1))(int(recording - names.begin()), capture_progress);
}

// The stream_id of each pack of a VOB, a navigation pack's as "BB:" and its audio_bound.
std::string pack_ids(const Bytes& vob) {
    std::string ids;
    for (size_t at = 0; at + kPackSize <= vob.size(); at += kPackSize)
        ids += vob[at + 17] == 0xBB ? format("BB:%d ", vob[at + 23] >> 2)
                                    : format("%02X ", vob[at + 17]);
    return ids;
}

// The transport packet of pid with counter cc that carries pes, 184 bytes.
Bytes ts_packet(uint32_t pid, int cc, const Bytes& pes) {
    Bytes packet = {0x47, uint8_t(0x40 | pid >> 8), uint8_t(pid), uint8_t(0x10 | cc)};
    append(packet, pes);
    return packet;
}

// A recording ffmpeg makes here: MPEG-2 video (352x288, 25 fps, groups of 12 pictures with two B
// pictures) on PID 0x101, two MPEG-1 Layer II tracks (48 kHz mono, 48 kbit/s) on 0x102 and 0x103,
// an AC-3 track (48 kHz mono, 32 kbit/s) on 0x104, the PMT on 0x100; 2 s, 711 packets. Every audio
// PES packet holds one frame, as some muxers write them.
Bytes streams_recording() {
    run_tool(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=352x288:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=660:sample_rate=48000 "
        "-f lavfi -i sine=frequency=880:sample_rate=48000 -t 2 -map 0:v -map 1:a -map 2:a -map 3:a "
        "-c:v mpeg2video -b:v 150k -maxrate 150k -bufsize 300k -g 12 -bf 2 -sc_threshold "
        "1000000000 -aspect 4:3 -c:a:0 mp2 -b:a:0 48k -ac:a:0 1 -c:a:1 mp2 -b:a:1 48k -ac:a:1 1 "
        "-c:a:2 ac3 -b:a:2 32k -ac:a:2 1 -f mpegts -pes_payload_size 0 -mpegts_service_id 1 "
        "-mpegts_pmt_start_pid 0x100 -streamid 0:0x101 -streamid 1:0x102 -streamid 2:0x103 "
        "-streamid 3:0x104 -fflags +bitexact streams.ts 2>/dev/null");
    const Bytes ts = read_file("streams.ts");
    std::filesystem::remove("streams.ts");
    return ts;
}

// The streams ffprobe decodes in file, each "codec,id,frames ", in the order it finds them.
std::string streams_in(const std::string& file) {
    return run_tool(
        "ffprobe -v error -count_frames -show_entries stream=codec_name,id,nb_read_frames "
        "-of csv=p=0 '" +
        file + "' | grep , | cut -d, -f1-3 | awk '!seen[$0]++' | tr '\\n' ' '");
}

// The time of the first frame ffprobe decodes of stream "v" or "a" of file, in seconds (the lines
// of side data between the frames' lines begin with a comma).
double first_time(const std::string& file, const char* stream) {
    return atof(run_tool("ffprobe -v error -select_streams " + std::string(stream) +
                         ":0 -show_entries frame=pts_time -of csv=p=0 '" + file +
                         "' 2>/dev/null | grep '^[0-9]' | sort -g | head -n 1")
                    .c_str());
}

// The last part of bytes, without the first percent of its packets.
Bytes without_first(const Bytes& bytes, size_t percent) {
    return Bytes(bytes.begin() + long(bytes.size() / 188 * percent / 100 * 188), bytes.end());
}

// Recordings: the sample's first 3000 packets as "Cut"; as "Same" with a header naming 0x101 for
// the audio too; as "Damaged" with the 5th audio PES without its start code and the 8th declaring
// one byte more; "Nine": a PMT naming video 0x101, MPEG audio 0x102 to 0x10A, teletext 0x10B, a
// picture with a sequence header, a frame of each (0x103's too early), a packet of 0x102 cut short
// inside its header, a picture with a group header; streams_recording() as "All", as "Lost" with
// the header naming audio PID 0x1F0 (nowhere), as "Bare" the same without PAT and PMT; "Blank":
// packets that hold no PES packet; without their first 37 % (the video inside an open group)
// streams_recording() as "Open" (header audio 0x103), data/gop_long.ts as "LongCut"; "Sample": the
// sample without its first 30 % (five audio frames a PES packet). A row: the result, the lines
// shown (qv_error last on a failure; none: not looked at) or one line among them, the files
// written, a VOB's pack ids, the streams ffprobe decodes in them. With streams given, a video
// output decodes without an error, a program stream's audio begins 0 to 0.25 s behind its first
// picture, and with --dvd dvdauthor makes a title of the VOB, its streams and navigation packets,
// audio channel 0 the header's track.
struct ConversionRow {
    const char* name;
    int repack = 0;
    int result = 0;
    Messages shown = {};
    std::string told = "";
    std::vector<std::string> files = {};
    std::string streams = "";
    std::string packs = "";
};
TEST_F(Conversions, OfRecordingsMadeHereAndByFfmpeg) {
    REQUIRE_TOOL("ffmpeg");
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("dvdauthor");
    const Bytes cut(ts_.begin(), ts_.begin() + 3000 * kTsPacketSize);
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
    Bytes nine = hex("47 41 00 10 00 02 B0 46 00 01 C1 00 00 E1 01 F0 00 02 E1 01 F0 00");
    for (uint8_t pid = 0x02; pid <= 0x0A; ++pid) append(nine, {0x03, 0xE1, pid, 0xF0, 0x00});
    append(nine, hex("06 E1 0B F0 02 56 00 00 00 00 00"));
    put_be32(&nine[nine.size() - 4], mpeg_crc32(&nine[5], nine.size() - 9));
    nine.resize(kTsPacketSize, 0xFF);
    append(nine, ts_packet(0x101, 0, pes(0xE0, 184, 900000, kNone, true)));
    for (uint32_t pid = 0x102; pid <= 0x10A; ++pid)
        append(nine, ts_packet(pid, 0, pes(0xC0, 184, 900000 - (pid == 0x103), kNone, true)));
    Bytes cut_short = pes(0xC0, 184);
    cut_short[8] = 0xFF;  // a header longer than the packet
    append(nine, ts_packet(0x102, 1, cut_short));
    append(nine, numbered_packet(0, 0x10B));
    Bytes group = pes(0xE0, 184, 903600);
    put_be32(&group[14], 0x1B8);
    append(nine, ts_packet(0x101, 1, group));
    const Bytes all = streams_recording();
    Bytes bare;
    Bytes blank;
    for (size_t at = 0; at < all.size(); at += kTsPacketSize)
        if (get_be16(&all[at + 1]) % 0x100 != 0)  // PIDs 0 and 0x100 left out
            append(bare, Bytes(all.begin() + long(at), all.begin() + long(at + kTsPacketSize)));
    for (uint32_t i = 0; i < 20; ++i) append(blank, numbered_packet(i / 2, 0x101 + i % 2));
    const std::string data = std::string(PVR_SOURCE_DIR) + "/data/";
    const RecordingHeader lost = {1, 0x100, 0x101, 0x1F0};
    const std::vector<std::tuple<std::string, Bytes, RecordingHeader>> recordings = {
        {"Cut", cut, {}},
        {"Same", cut, {1, 0x100, 0x101, 0x101}},
        {"Damaged", damaged, {}},
        {"Nine", nine, {}},
        {"All", all, {}},
        {"Lost", all, lost},
        {"Bare", bare, lost},
        {"Blank", blank, {}},
        {"Open", without_first(all, 37), {1, 0x100, 0x101, 0x103}},
        {"Sample", without_first(ts_, 30), {}},
        {"LongCut", without_first(read_file(data + "gop_long.ts"), 37), {}}};
    std::vector<std::string> names;
    ImageBuilder img(56);
    img.set_root_dir_slack(512);
    for (const auto& [name, bytes, header] : recordings) img.add_recording(name, bytes, header);
    for (const auto& recording : recordings) names.push_back(std::get<0>(recording));
    mount(img, int(recordings.size()));
    const std::string pids = "Video PID is 257, audio PID is 258\n";
    const std::string sample_out =
        "The PMT lists streams this output leaves out: PID 259 (MPEG audio); --all-streams keeps "
        "them\n";
    const Messages good = {pids, sample_out, kVideoLine, kAudioLine, kCompleted};
    Messages bad = good;
    bad.push_back("1 PES packets with a bad start dropped (Bad PES packet start)\n");
    Messages wrong = bad;
    wrong.push_back(
        format("1 PES packets with a wrong length (first: bad PES packet length %u != %u)\n",
               declared + 1, declared));
    const std::string video =
        "Video: size = 352 x 288, aspect 4:3, frame rate 25, bit rate = 0.15 Mbit/s\n";
    const std::string mp2 = "Layer 2, bit rate=48 kb/s, frequency=48.0 kHz\n";
    const std::string ac3 = "AC-3, bit rate=32 kb/s, frequency=48.0 kHz, channels=1\n";
    const std::string taken =
        "The recording header's audio PID 496 occurs in none of the first 711 packets; the PMT's "
        "audio PID 258 is taken instead\n";
    const std::string none =
        "The recording has no audio: its header's audio PID 496 occurs in none of the first 675 "
        "packets, and no PMT names another\n";
    const std::string out =
        "The PMT lists streams this output leaves out: PID 259 (MPEG audio), PID 260 (AC-3 audio); "
        "--all-streams keeps them\n";
    const ConversionRow rows[] = {
        {.name = "Cut.m2p: repack 193", .repack = 193, .shown = good},
        {.name = "Cut.m2p: repack 65542 refused",
         .repack = 65542,
         .result = 1,
         .shown = {"Repack size 65542 not supported: use 0 or a size from 193 to 65541\n"}},
        {.name = "Same.vob: one PID for both",
         .result = 1,
         .shown = {"Video PID is 257, audio PID is 257\n",
                   "Video and audio PID are both 257: the recording cannot be multiplexed\n"}},
        {.name = "Damaged.vob: the repack size ignored", .repack = 100, .shown = bad},
        {.name = "Damaged.m2p", .shown = wrong},
        {.name = "Nine.vob --all-streams --dvd: 8 tracks at most, those behind 0x103 at the end",
         .told = "The PMT lists streams this output leaves out: PID 266 (MPEG audio); it holds 8 "
                 "audio tracks at most\n",
         .packs = "BB:8 E0 C0 C0 BB:8 E0 C2 C3 C4 C5 C6 C7 "},
        {.name = "Open.m2p --all-streams: the header's track first, the others in the PMT's order",
         .shown = {"Video PID is 257, audio PID is 259\n", "Audio PID 259 as 0xC0: " + mp2, video,
                   "Audio PID 258 as 0xC1: " + mp2, "Audio PID 260 as 0xBD 0x82: " + ac3,
                   kCompleted},
         .streams = "mpeg2video,0x1e0,26 mp2,0x1c0,43 mp2,0x1c1,43 ac3,0x82,32 "},
        {.name = "All.mp3 --all-streams: a file a track, every frame (84, 84, 63 in the recording)",
         .shown = {"Audio PID is 258\n", "Audio PID 258: " + mp2, "Audio PID 259: " + mp2,
                   "Audio PID 260: " + ac3, kCompleted},
         .files = {"All-259.mp3", "All-260.ac3", "All.mp3"},
         .streams = "mp2,N/A,84 ac3,N/A,63 mp2,N/A,84 "},
        {.name = "Nine.mp3 --all-streams: eight tracks at most, the teletext named",
         .told = "The PMT lists streams this output leaves out: PID 267 (teletext); it cannot "
                 "write streams of their kind\n",
         .files = {"Nine-259.mp3", "Nine-260.mp3", "Nine-261.mp3", "Nine-262.mp3", "Nine-263.mp3",
                   "Nine-264.mp3", "Nine-265.mp3", "Nine.mp3"}},
        {.name = "Lost.vob: the PMT's audio taken",
         .shown = {"Video PID is 257, audio PID is 496\n", taken, out, video, "Audio: " + mp2,
                   kCompleted}},
        {.name = "Bare.vob: no audio, a failure though the video is there",
         .result = 1,
         .shown = {"Video PID is 257, audio PID is 496\n", none}},
        {.name = "Bare.ts --all-streams: no audio, goes on",
         .shown = {"PMT PID is 256, video PID is 257, audio PID is 496\n", none,
                   "No PMT in the first 675 packets: only the header's streams are taken\n",
                   kCompleted}},
        {.name = "Blank.vob: nothing written",
         .result = 4,
         .shown = {pids, kCompleted,
                   "Nothing was written: the video has no sequence header in a packet with a time "
                   "stamp\n"}},
        {.name = "Blank.m2v: nothing written",
         .result = 4,
         .shown = {"Video PID is 257\n", kCompleted,
                   "Nothing was written: the video has no sequence header\n"}},
        {.name = "Open.vob --all-streams --dvd: the title from the closed group on, the header's "
                 "track as channel 0",
         .streams = "mpeg2video,0x1e0,26 mp2,0x1c0,43 mp2,0x1c1,43 ac3,0x82,32 "},
        {.name = "Sample.vob --dvd: each audio piece with a frame has its time",
         .streams = "mpeg2video,0x1e0,128 mp2,0x1c0,209 "},
        {.name = "LongCut.m2v", .streams = "mpeg2video,N/A,123 "},
    };
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = file_of(row.name);
        const std::string type = file.substr(file.rfind('.') + 1);
        repack = row.repack;
        EXPECT_EQ(run_named(row.name, names), row.result);
        Messages shown = capture().messages;
        if (row.result) shown.push_back(qv_error);
        if (!row.shown.empty()) {
            EXPECT_EQ(shown, row.shown);
        }
        if (!row.told.empty()) {
            EXPECT_EQ(std::count(shown.begin(), shown.end(), row.told), 1);
        }
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator("."))
            files.push_back(entry.path().filename().string());
        std::sort(files.begin(), files.end());
        std::vector<std::string> want = row.files;
        if (want.empty() && row.result != 1) want.push_back(file);
        EXPECT_EQ(files, want);
        const Bytes written = row.result == 0 ? read_file(file) : Bytes();
        size_t at = 0;
        for (; type == "vob" && at + kPackSize <= written.size(); at += kPackSize)
            EXPECT_EQ(get_be32(&written[at]), 0x1BAu) << at;
        for (size_t size = 0; type == "m2p" && at + 6 <= written.size(); at += size) {
            size = get_be16(&written[at + 4]) + 6u;
            EXPECT_TRUE(get_be24(&written[at]) == 1 && size > 6 &&
                        size <= size_t(row.repack ? row.repack : 65541))
                << at;
        }
        EXPECT_TRUE(at == written.size() || type == "m2v" || type == "mp3" || type == "ts");
        if (!row.packs.empty()) {
            EXPECT_EQ(pack_ids(written), row.packs);
        }
        if (!row.streams.empty()) {
            std::string streams;
            for (const std::string& name : files) streams += streams_in(name);
            EXPECT_EQ(streams, row.streams);
        }
        if (!row.streams.empty() && type != "mp3") {
            EXPECT_EQ(run_tool("ffmpeg -nostdin -v error -i " + file + " -f null - 2>&1"), "");
        }
        const bool ps = !row.streams.empty() && (type == "vob" || type == "m2p");
        const double lead = ps ? first_time(file, "a") - first_time(file, "v") : 0.0;
        EXPECT_TRUE(lead >= 0.0 && lead <= 0.25) << lead;
        for (const std::string& name : files)
            EXPECT_EQ(std::filesystem::file_size(name) != 0, row.result == 0) << name;
        if (stream_options.dvd && !row.streams.empty()) {
            EXPECT_EQ(run_tool("export VIDEO_FORMAT=PAL; (dvdauthor -o dvd -t " + file +
                               " && dvdauthor -o dvd -T) 2>&1 | grep -E 'WARN|ERR|Audio ch 0'"),
                      "INFO: Audio ch 0 format: mp2/2ch,  48khz 20bps\n");
            std::string title = streams_in("dvd/VIDEO_TS/VTS_01_1.VOB");
            const size_t nav = title.find("dvd_nav_packet,0x1bf,N/A ");
            EXPECT_EQ(title.erase(nav, 25), row.streams);
        }
        for (const auto& entry : std::filesystem::directory_iterator("."))
            std::filesystem::remove_all(entry);
    }
}
#endif
}  // namespace
