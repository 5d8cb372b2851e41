// Mode "TS" (convert_ts) on packets written here and on the bundled sample,
// on an in-memory disk of 1040-sector clusters. The recording header names
// PMT PID 0x100, video 0x101 and audio 0x102; sections carry literal CRC_32s.
#include <filesystem>
#include "support/fixture.h"
namespace {

constexpr uint16_t kSectorsPerCluster = 1040;
constexpr char kPidLine[] = "PMT PID is 256, video PID is 257, audio PID is 258\n";

// The bytes of head, then fill to the end of the packet.
Bytes packet(const std::string& head, uint8_t fill = 0xFF) {
    Bytes p = hex(head.c_str());
    p.resize(kTsPacketSize, fill);
    return p;
}
// A packet of PID 0x100 holding section behind a pointer_field 0.
Bytes pmt(const char* section) { return packet(std::string("47 41 00 10 00 ") + section); }
// The PAT written before every PMT packet: counter cc, the header's program entry, the CRC_32.
Bytes pat(int cc, const char* entry_and_crc) {
    Bytes p = packet(std::string("47 40 00 10 00 00 80 0D 00 00 01 00 00 ") + entry_and_crc);
    p[3] |= uint8_t(cc);
    return p;
}

using TransportStream = ConversionTest;

// The recording's packets and what the output holds for each; a PAT (counter 0, 1, ...) before each
// PMT packet.
//   | PID 0; 0x1FF before any PMT: dropped | PMT naming PCR PID 0x1FF, CRC 0: kept as it is; then
//   0x1FF kept | | PMT without payload or pointing beyond the packet: kept  | PMT naming 0x1FE too:
//   that entry cut, new CRC | | PMT naming the video as PCR PID: 0x1FF dropped again     | 0x1FE
//   dropped; video, audio kept              |
// Run again with num_clusters 0 (percentages {100}), and into a full device (POSIX: 4, "Write to
// disk failed, disk full?\n" from the flush; no completion).
TEST_F(TransportStream, KeepsTheProgram) {
    const Bytes video_audio =
        pmt("02 B0 17 00 01 C1 00 00 E1 FF F0 00 02 E1 01 F0 00 04 E1 02 F0 00 31 50 76 BE");
    const struct {
        Bytes packet;
        bool kept;
        Bytes replaced = {};
    } rows[] = {
        {numbered_packet(0, 0), false},
        {numbered_packet(0, 0x1FF), false},
        {numbered_packet(0, 0x101), true},
        {pmt("02 B0 17 00 01 C1 00 00 E1 FF F0 00 02 E1 01 F0 00 04 E1 02 F0 00 00 00 00 00"),
         true},
        {numbered_packet(1, 0x1FF), true},
        {numbered_packet(0, 0x1FE), false},
        {numbered_packet(0, 0x102), true},
        {packet("47 41 00 21 B7 00"), true},
        {numbered_packet(2, 0x1FF), true},
        {packet("47 41 00 12 B7", 0x00), true},
        {numbered_packet(3, 0x1FF), true},
        {pmt("02 B0 1C 00 01 C1 00 00 E1 FF F0 00 02 E1 01 F0 00 04 E1 FE F0 00 04 E1 02 F0 00 58 "
             "05 C3 E9"),
         true, video_audio},
        {video_audio, true},
        {pmt("02 B0 17 00 01 C1 00 00 E1 01 F0 00 02 E1 01 F0 00 04 E1 02 F0 00 BC C5 57 07"),
         true},
        {numbered_packet(4, 0x1FF), false},
        {numbered_packet(1, 0x101), true},
    };
    Bytes ts, want;
    int pats = 0;
    for (const auto& row : rows) {
        append(ts, row.packet);
        if (!row.kept) continue;
        if (row.packet[1] == 0x41) append(want, pat(pats++, "12 34 E1 00 82 62 8E 1A"));
        append(want, row.replaced.empty() ? row.packet : row.replaced);
    }
    RecordingHeader h;
    h.program_number = 0x1234;
    h.pmt_pid = 0xE100;
    ImageBuilder img(4, kSectorsPerCluster);
    img.add_recording("Rec", ts, h);
    mount(img);
#ifdef _WIN32
    const int runs = 2;
#else
    const int runs = 3;  // the third into a full device
#endif
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove(
            "Rec.ts");  // each run writes a new Rec.ts, the third into a full device
        if (run == 2) std::filesystem::create_symlink("/dev/full", "Rec.ts");
        qv->recordings[0].num_clusters = run == 1 ? 0 : 1;
        EXPECT_EQ(convert(convert_ts, 0), run == 2 ? kCopyIncomplete : 0) << qv_error;
        EXPECT_EQ(capture().percents, std::vector<int>{run == 1 ? 100 : 0});
        const std::string left_out =
            "The PMT lists streams this output leaves out: PID 510 (MPEG "
            "audio); --all-streams keeps them\n";
        Messages shown = {kPidLine, left_out, kCompleted};
        if (run == 2) shown.pop_back();
        EXPECT_EQ(capture().messages, shown);
        if (run == 2)
            EXPECT_STREQ(qv_error, kWriteFailed);
        else
            EXPECT_EQ(read_file("Rec.ts"), want);
    }
}

// The sample: every PAT is that of program 1 (PMT field 0x0100), counters 0 to 15 in turn, each
// before a PMT packet; ffprobe sees one program of video 0x101 and audio 0x102 (the sample's PMT
// names a second audio stream too), and ffmpeg remuxes all of it.
TEST_F(TransportStream, SampleIsOneProgram) {
    ImageBuilder img(9, kSectorsPerCluster);
    img.add_recording("Film", ts_);
    mount(img);
    ASSERT_EQ(convert(convert_ts, 0), 0) << qv_error;
    const Bytes out = read_file("Film.ts");
    int pats = 0;
    for (size_t at = 0; at + kTsPacketSize <= out.size(); at += kTsPacketSize) {
        if (out[at + 1] != 0x40) continue;
        EXPECT_EQ(Bytes(&out[at], &out[at + kTsPacketSize]),
                  pat(pats++ % 16, "00 01 01 00 0A 20 4F 99"));
        EXPECT_EQ(Bytes(&out[at + kTsPacketSize], &out[at + kTsPacketSize + 3]), hex("47 41 00"));
    }
    EXPECT_GT(pats, 16);
#ifndef _WIN32
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("ffmpeg");
    EXPECT_EQ(
        run_tool("ffprobe -v error -show_programs -show_entries "
                 "program=program_num,nb_streams,pmt_pid,pcr_pid:program_stream=id,codec_type:"
                 "disposition= "
                 "-of flat Film.ts"),
        "programs.program.0.program_num=1\nprograms.program.0.nb_streams=2\nprograms.program.0.pmt_"
        "pid=256\n"
        "programs.program.0.pcr_pid=257\nprograms.program.0.streams.stream.0.codec_type=\"video\"\n"
        "programs.program.0.streams.stream.0.id=\"0x101\"\nprograms.program.0.streams.stream.1."
        "codec_type="
        "\"audio\"\nprograms.program.0.streams.stream.1.id=\"0x102\"\n");
    EXPECT_EQ(
        std::system("ffmpeg -v error -i Film.ts -map 0 -c copy -f mpegts -y out.ts 2>/dev/null"),
        0);
#endif
}

// A PMT naming video 0x101, audio 0x102, AC-3 by descriptor 0x6A (0x103), by registration "AC-3"
// (0x104) and by stream type 0x81 (0x105), teletext (0x106), subtitles (0x107) and H.264 (0x108),
// then a packet of each: without --all-streams the others are named as left out, with it every
// one is kept and the PMT with them.
TEST_F(TransportStream, AllStreams) {
    const Bytes all = pmt(
        "02 B0 4F 00 01 C1 00 00 E1 01 F0 00 02 E1 01 F0 00 03 E1 02 F0 00 06 E1 03 F0 03 6A 01 00 "
        "06 E1 04 F0 06 05 04 41 43 2D 33 81 E1 05 F0 00 06 E1 06 F0 07 56 05 64 65 75 09 00 06 E1 "
        "07 F0 0A 59 08 64 65 75 10 00 01 00 01 1B E1 08 F0 00 D3 08 DA 84");
    Bytes ts = all;
    for (uint32_t pid = 0x101; pid <= 0x108; ++pid) append(ts, numbered_packet(0, pid));
    ImageBuilder img(4, kSectorsPerCluster);
    img.add_recording("Rec", ts);
    mount(img);
    const struct {
        int all_streams;
        std::vector<uint32_t> pids;  // of the packets written, the PAT's 0 first
        Messages shown;
    } rows[] = {
        {0,
         {0, 0x100, 0x101, 0x102},
         {kPidLine,
          "The PMT lists streams this output leaves out: PID 259 (AC-3 audio), PID 260 (AC-3 "
          "audio), PID 261 (AC-3 audio), PID 262 (teletext), PID 263 (subtitles), PID 264 (stream "
          "type 0x1B); --all-streams keeps them\n",
          kCompleted}},
        {1,
         {0, 0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108},
         {kPidLine, kCompleted}},
    };
    for (const auto& row : rows) {
        stream_options.all_streams = row.all_streams;
        std::filesystem::remove("Rec.ts");
        EXPECT_EQ(convert(convert_ts, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, row.shown);
        const Bytes out = read_file("Rec.ts");
        std::vector<uint32_t> pids;
        for (size_t at = 0; at + kTsPacketSize <= out.size(); at += kTsPacketSize)
            pids.push_back(get_be16(&out[at + 1]) & 0x1FFF);
        EXPECT_EQ(pids, row.pids);
        EXPECT_EQ(Bytes(out.begin() + kTsPacketSize, out.begin() + 2 * kTsPacketSize) == all,
                  row.all_streams == 1);
    }
    stream_options.all_streams = 0;
}
}  // namespace
