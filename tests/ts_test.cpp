// Mode "TS" (convert_ts) on packets written here and on the bundled sample, on an in-memory disk
// of 1040-sector clusters. The recording header names PMT PID 0x100, video 0x101 and audio 0x102;
// sections carry literal CRC_32s.
#include <filesystem>
#include "support/fixture.h"
namespace {
namespace fs = std::filesystem;
constexpr uint16_t kSectorsPerCluster = 1040;
constexpr char kPidLine[] = "PMT PID is 256, video PID is 257, audio PID is 258\n";

// The bytes of head, then fill to the end of the packet.
Bytes packet(const std::string& head, uint8_t fill = 0xFF) {
    Bytes p = hex(head.c_str());
    p.resize(kTsPacketSize, fill);
    return p;
}
// A packet of PID 0x100 holding section behind a pointer_field 0.
Bytes pmt(const std::string& section) { return packet("47 41 00 10 00 " + section); }
// A PMT section of length 0x17 naming the PCR PID (its two bytes), video 0x101 and audio 0x102.
Bytes program(const char* pcr, const char* crc) {
    return pmt("02 B0 17 00 01 C1 00 00 " + std::string(pcr) +
               " F0 00 02 E1 01 F0 00 04 E1 02 F0 00 " + crc);
}
// The PAT written before every PMT packet: counter cc, the header's program entry, the CRC_32.
Bytes pat(int cc, const char* entry_and_crc) {
    Bytes p = packet(std::string("47 40 00 10 00 00 80 0D 00 00 01 00 00 ") + entry_and_crc);
    p[3] |= uint8_t(cc);
    return p;
}

using TransportStream = ConversionTest;

// The recording's packets, in order, and what the output holds for each: the packet itself when
// kept, a PAT (counter 0, 1, ...) before each PMT packet. Run as recorded and with num_clusters 0
// (all done at once: 100 %); a full device is met in fault_test.cpp.
struct ProgramRow {
    const char* name = "";
    Bytes packet = {};
    bool kept = true;
    Bytes written = {};  // what the output holds instead when it differs
};

TEST_F(TransportStream, KeepsTheProgram) {
    const Bytes with_1fe = pmt(
        "02 B0 1C 00 01 C1 00 00 E1 FF F0 00 02 E1 01 F0 00 04 E1 FE F0 00 04 E1 02 F0 00 58 05 C3 "
        "E9");
    const Bytes video_audio = program("E1 FF", "31 50 76 BE");
    Bytes followed = with_1fe;
    followed.back() = 0x00;  // another section behind it
    const Bytes overrun = pmt(
        "02 B0 21 00 01 C1 00 00 E1 FF F0 00 04 E1 FE F0 00 02 E1 01 F0 00 04 E1 02 F0 00 06 E1 03 "
        "F0 05 60 E5 A6 D2");  // its last entry longer than the loop
    const ProgramRow rows[] = {
        {.name = "PID 0: dropped", .packet = numbered_packet(0, 0), .kept = false},
        {.name = "0x1FF before a PMT: dropped", .packet = numbered_packet(0, 0x1FF), .kept = false},
        {.name = "video", .packet = numbered_packet(0, 0x101)},
        {.name = "a PMT naming PCR PID 0x1FF, CRC 0: kept as it is",
         .packet = program("E1 FF", "00 00 00 00")},
        {.name = "0x1FF once a PMT named it: kept", .packet = numbered_packet(1, 0x1FF)},
        {.name = "a PMT packet that starts no section, E1 FE where a PCR PID would be: kept",
         .packet = packet("47 01 00 10 00 00 00 00 00 E1 FE")},
        {.name = "0x1FE: dropped", .packet = numbered_packet(0, 0x1FE), .kept = false},
        {.name = "audio", .packet = numbered_packet(0, 0x102)},
        {.name = "a PMT without payload: kept", .packet = packet("47 41 00 21 B7 00")},
        {.name = "0x1FF still", .packet = numbered_packet(2, 0x1FF)},
        {.name = "a PMT pointing beyond the packet: kept", .packet = packet("47 41 00 12 B7", 0)},
        {.name = "0x1FF still", .packet = numbered_packet(3, 0x1FF)},
        {.name = "a PMT naming 0x1FE: cut, a new CRC", .packet = with_1fe, .written = video_audio},
        {.name = "a PMT naming 0x1FE, another section behind: kept", .packet = followed},
        {.name = "a PMT naming 0x1FE, an entry overrunning: kept", .packet = overrun},
        {.name = "a PMT naming only video and audio: kept", .packet = video_audio},
        {.name = "a PMT naming PCR PID 0x10", .packet = program("E0 10", "A5 5D 0F 99")},
        {.name = "0x10: kept", .packet = numbered_packet(0, 0x10)},
        {.name = "a PMT naming PCR PID 0x0F, a table's", .packet = program("E0 0F", "DA 0C B6 9B")},
        {.name = "0x0F: dropped", .packet = numbered_packet(0, 0x0F), .kept = false},
        {.name = "a PMT naming the video as PCR PID", .packet = program("E1 01", "BC C5 57 07")},
        {.name = "0x1FF: dropped again", .packet = numbered_packet(4, 0x1FF), .kept = false},
        {.name = "video", .packet = numbered_packet(1, 0x101)},
    };
    Bytes ts;
    Bytes want;
    int pats = 0;
    for (const ProgramRow& row : rows) {
        append(ts, row.packet);
        if (!row.kept) continue;
        if (ts_pid(row.packet.data()) == 0x100)
            append(want, pat(pats++, "12 34 E1 00 82 62 8E 1A"));
        append(want, row.written.empty() ? row.packet : row.written);
    }
    RecordingHeader header;
    header.program_number = 0x1234;
    header.pmt_pid = 0xE100;
    ImageBuilder img(4, kSectorsPerCluster);
    img.add_recording("Rec", ts, header);
    mount(img);
    const Messages shown = {kPidLine,
                            "The PMT lists streams this output leaves out: PID 510 (MPEG audio); "
                            "--all-streams keeps them\n",
                            kCompleted};
    for (uint32_t clusters : {1, 0}) {
        fs::remove("Rec.ts");
        qv->recordings[0].num_clusters = clusters;
        EXPECT_EQ(convert(convert_ts, 0), kCopyDone);
        EXPECT_EQ(capture().percents, std::vector<int>{clusters ? 0 : 100});
        EXPECT_EQ(capture().messages, shown);
        EXPECT_TRUE(read_file("Rec.ts") == want);
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
    for (size_t at = 0; at < out.size(); at += kTsPacketSize) {
        if (out[at + 1] != 0x40) continue;
        EXPECT_EQ(Bytes(&out[at], &out[at + kTsPacketSize]),
                  pat(pats++ % 16, "00 01 01 00 0A 20 4F 99"));
        EXPECT_EQ(Bytes(&out[at + kTsPacketSize], &out[at + kTsPacketSize + 3]), hex("47 41 00"));
    }
    EXPECT_GT(pats, 16);
    // A recording number beyond the table opens nothing and names no recording.
    EXPECT_EQ(convert(convert_ts, int(kMaxRecordings)), 1);
    EXPECT_STREQ(qv_error, "Open of recording  failed.\n");
#ifndef _WIN32
    // Into a full device the conversion stops at the first write that fails.
    fs::create_symlink("/dev/full", "Film(2).ts");
    EXPECT_EQ(convert(convert_ts, 0), kCopyIncomplete);
    EXPECT_EQ(capture().percents.back(), 33);
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("ffmpeg");
    EXPECT_EQ(run_tool("ffprobe -v error -show_entries program=program_num,pmt_pid,pcr_pid:"
                       "program_stream=id,codec_type -of csv=p=0 Film.ts"),
              "1,256,257,video,0x101,\n\naudio,0x102\n\n");
    EXPECT_EQ(std::system("ffmpeg -v error -i Film.ts -map 0 -c copy -f mpegts -y o.ts 2>&1"), 0);
#endif
}

// A PMT naming video 0x101, audio 0x102, AC-3 by descriptor 0x6A (0x103), by registration "AC-3"
// behind a language descriptor (0x104) and by stream type 0x81 (0x105), teletext behind a
// registration "HDMV" (0x106), subtitles (0x107), H.264 (0x108) and MPEG-1 video (0x109), or none,
// then a packet of each PID. The rows vary the PMT and --all-streams; each checks the lines shown
// and the PIDs written: without it the others are named as left out, with it every one is kept and
// the PMT as it came.
struct StreamsRow {
    const char* name = "";
    const char* section = "";
    int all_streams = 0;
    uint32_t header_audio = 0x102;  // the recording header's audio PID
    uint32_t absent = 0;            // a PID whose packet is left out
    bool split = false;             // the section 120 bytes into its packet, ending in the next
    bool pmt_as_it_came = false;    // nothing cut from it
    Messages shown = {kPidLine, kCompleted};
    std::vector<uint32_t> pids = {0, 0x100, 0x101, 0x102};  // of the packets written, PAT first
};
constexpr char kEveryKind[] =
    "02 B0 60 00 01 C1 00 00 E1 01 F0 00 02 E1 01 F0 00 03 E1 02 F0 00 06 E1 03 F0 03 6A 01 00 "
    "06 E1 04 F0 0C 0A 04 64 65 75 00 05 04 41 43 2D 33 81 E1 05 F0 00 06 E1 06 F0 0D 05 04 48 "
    "44 4D 56 56 05 64 65 75 09 00 06 E1 07 F0 0A 59 08 64 65 75 10 00 01 00 01 1B E1 08 F0 00 "
    "01 E1 09 F0 00 5F 2F AE 9D";
// The two packets of PID 0x100 that hold section behind a pointer_field of 0x78: 120 bytes of
// stuffing, then as much of the section as the first packet has room for.
Bytes split_pmt(const std::string& section) {
    constexpr size_t kStuffing = 0x78;
    const Bytes bytes = hex(section.c_str());
    Bytes packets = hex("47 41 00 10 78");
    packets.resize(packets.size() + kStuffing, 0xFF);
    const auto rest = bytes.begin() + long(kTsPacketSize - packets.size());
    packets.insert(packets.end(), bytes.begin(), rest);
    append(packets, packet("47 01 00 11"));
    std::copy(rest, bytes.end(), packets.begin() + kTsPacketSize + 4);
    return packets;
}
// A PMT naming PCR PID 0x101 and no streams.
constexpr char kNoStreams[] = "02 B0 0D 00 01 C1 00 00 E1 01 F0 00 64 2D B3 B0";
const Messages kEveryKindLeftOut = {
    kPidLine,
    "The PMT lists streams this output leaves out: PID 259 (AC-3 audio), PID 260 (AC-3 "
    "audio), PID 261 (AC-3 audio), PID 262 (teletext), PID 263 (subtitles), PID 264 "
    "(stream type 0x1B), PID 265 (MPEG video); --all-streams keeps them\n",
    kCompleted};
const StreamsRow kStreamsRows[] = {
    {.name = "every kind, the header's streams kept",
     .section = kEveryKind,
     .shown = kEveryKindLeftOut},
    {.name = "every kind kept with --all-streams",
     .section = kEveryKind,
     .all_streams = 1,
     .pmt_as_it_came = true,
     .pids = {0, 0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109}},
    {.name = "the header's audio PID nowhere, nor the PMT's first audio: the next one taken, the "
             "one nowhere not named as left out",
     .section = kEveryKind,
     .header_audio = 0x1F0,
     .absent = 0x102,
     .shown = {"PMT PID is 256, video PID is 257, audio PID is 496\n",
               "The recording header's audio PID 496 occurs in none of the first 9 packets; the "
               "PMT's audio PID 259 is taken instead\n",
               "The PMT lists streams this output leaves out: PID 260 (AC-3 audio), PID 261 (AC-3 "
               "audio), PID 262 (teletext), PID 263 (subtitles), PID 264 (stream type 0x1B), PID "
               "265 (MPEG video); --all-streams keeps them\n",
               kCompleted},
     .pids = {0, 0x100, 0x101, 0x103}},
    {.name = "every kind in a section across two packets",
     .section = kEveryKind,
     .split = true,
     .shown = kEveryKindLeftOut,
     .pids = {0, 0x100, 0, 0x100, 0x101, 0x102}},
    {.name = "a PMT of no streams with --all-streams: a PMT still",
     .section = kNoStreams,
     .all_streams = 1,
     .pmt_as_it_came = true},
    {.name = "the header's audio PID nowhere, a PMT of no streams: the video alone",
     .section = kNoStreams,
     .header_audio = 0x1F0,
     .pmt_as_it_came = true,
     .shown = {"PMT PID is 256, video PID is 257, audio PID is 496\n",
               "The recording has no audio: its header's audio PID 496 occurs in none of the first "
               "10 packets, and no PMT names another\n",
               kCompleted},
     .pids = {0, 0x100, 0x101}},
};

TEST_F(TransportStream, AllStreams) {
    for (const StreamsRow& row : kStreamsRows) {
        SCOPED_TRACE(row.name);
        Bytes ts = row.split ? split_pmt(row.section) : pmt(row.section);
        for (uint32_t pid = 0x101; pid <= 0x109; ++pid)
            if (pid != row.absent) append(ts, numbered_packet(0, pid));
        RecordingHeader header;
        header.audio_pid = uint16_t(row.header_audio);
        ImageBuilder img(4, kSectorsPerCluster);
        img.add_recording("Rec", ts, header);
        mount(img);
        stream_options.all_streams = row.all_streams;
        fs::remove("Rec.ts");
        EXPECT_EQ(convert(convert_ts, 0), 0) << qv_error;
        EXPECT_EQ(capture().messages, row.shown);
        const Bytes out = read_file("Rec.ts");
        std::vector<uint32_t> pids;
        for (size_t at = 0; at < out.size(); at += kTsPacketSize) pids.push_back(ts_pid(&out[at]));
        EXPECT_EQ(pids, row.pids);
        const Bytes written_pmt(out.begin() + kTsPacketSize, out.begin() + 2 * kTsPacketSize);
        EXPECT_EQ(written_pmt == pmt(row.section), row.pmt_as_it_came);
    }
}

// The program map table's reader on sections cut from the packets above: a whole PMT section is
// read; the PAT's section (another table, its CRC_32 right), a PMT section cut short by the bytes
// at hand, and one with a byte changed (its CRC_32 wrong) are not.
TEST(ProgramMap, OnlyAWholePmtSectionWithItsCrc) {
    const Bytes program_packet = program("E1 FF", "31 50 76 BE");
    const Bytes pat_packet = pat(0, "00 01 01 00 0A 20 4F 99");
    const Bytes pmt_section(program_packet.begin() + 5, program_packet.begin() + 5 + 26);
    const Bytes pat_section(pat_packet.begin() + 5, pat_packet.begin() + 5 + 16);
    Bytes changed = pmt_section;
    changed[12] ^= 0x01;
    program_map map = {};
    EXPECT_EQ(read_program_map(pmt_section.data(), pmt_section.size(), &map), 1);
    EXPECT_EQ(map.count, 2);
    EXPECT_EQ(read_program_map(pat_section.data(), pat_section.size(), &map), 0);
    EXPECT_EQ(read_program_map(pmt_section.data(), pmt_section.size() - 1, &map), 0);
    EXPECT_EQ(read_program_map(changed.data(), changed.size(), &map), 0);
}
}  // namespace
