// Mode "TS" (convert_ts) on recordings built from the bundled sample and from
// packets made here, stored on an in-memory disk of 1040-sector clusters so
// that the recording crosses several cluster boundaries. Every test runs in
// its own temporary directory.
//   | recording / case                                  | expected                                               |
//   | the sample (PMT 0x100, video 0x101, audio 0x102,  | the three PIDs in order, video and audio unchanged,    |
//   | second audio 0x103, PCR on the video)             | the PMT without 0x103 (length, CRC made anew), our PAT |
//   |                                                   | before each PMT packet, nothing else; PID line,        |
//   |                                                   | completed; percentages rising from 0                   |
//   | the same with program 0x1234, PMT field 0xE100    | PATs: CRC_32 checks by a bitwise computation,          |
//   |                                                   | counters 0..15 round, that program entry               |
//   | ffprobe -show_programs (POSIX)                    | one program, streams 0x101 video and 0x102 audio;      |
//   |                                                   | ffmpeg remuxes every stream of it                      |
//   | PMT naming PCR PID 0x1FF; PCR packets before it,  | 0x1FF copied from the first PMT on; a PMT that cannot  |
//   | a damaged PMT, one naming a third stream, one     | be parsed changes nothing; the third stream's entry    |
//   | naming the video as PCR PID                       | taken out, CRC made anew; then 0x1FF dropped again     |
//   | output symlinked to /dev/full (POSIX)             | 4, "Write to disk failed, disk full?\n", no completion;|
//   |                                                   | the next conversion works                              |
//   | two unreadable sectors, one under a split packet  | 4, "1024 bytes could not be read; 8 packets were lost",|
//   |                                                   | the output of the sample without those 8 packets       |
//   | entry with num_clusters 0 (expected count 0)      | percentages {100}                                      |
// (An output or recording that cannot be opened: es_test, for every mode.)
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/packets.h"

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kSectorsPerCluster = 1040;
constexpr uint32_t kPacket = kTsPacketSize;
constexpr uint32_t kPmt = 0x100, kVideo = 0x101, kAudio = 0x102;
constexpr char kPidLine[] = "PMT PID is 256, video PID is 257, audio PID is 258\n";

// CRC_32 of MPEG-2 systems, one bit at a time.
uint32_t crc_bitwise(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            bool in = ((p[i] >> bit) & 1) != ((crc >> 31) & 1);
            crc <<= 1;
            if (in) crc ^= 0x04C11DB7;
        }
    return crc;
}

// The PAT the output must carry: payload only, pointer_field 0, the section
// with the header's program entry, its CRC_32, 0xFF behind it.
Bytes expected_pat(uint16_t program_number, uint16_t pmt_field, int counter) {
    Bytes p(kPacket, 0xFF);
    const uint8_t head[] = {0x47, 0x40, 0x00, uint8_t(0x10 | counter), 0x00,
                            0x00, 0x80, 0x0D, 0x00, 0x00, 0x01, 0x00, 0x00,
                            uint8_t(program_number >> 8), uint8_t(program_number),
                            uint8_t(pmt_field >> 8), uint8_t(pmt_field)};
    std::copy(head, head + sizeof head, p.begin());
    uint32_t crc = crc_bitwise(&p[5], 12);
    for (int i = 0; i < 4; ++i) p[17 + i] = uint8_t(crc >> (24 - 8 * i));
    return p;
}

// The sample's PMT packet with the entries of every PID but the video and
// the audio taken out, section_length and CRC_32 made anew.
Bytes reduced_pmt(const uint8_t* p) {
    size_t s = 5 + p[4];
    size_t crc_at = s + 3 + (size_t(p[s + 1] & 0x0F) << 8 | p[s + 2]) - 4;
    size_t e = s + 12 + (size_t(p[s + 10] & 0x0F) << 8 | p[s + 11]);
    Bytes section(p + s, p + e);
    while (e < crc_at) {
        size_t n = 5 + (size_t(p[e + 3] & 0x0F) << 8 | p[e + 4]);
        uint32_t pid = pid_of(p + e);   // the entry's PID sits like a packet's
        if (pid == kVideo || pid == kAudio) section.insert(section.end(), p + e, p + e + n);
        e += n;
    }
    size_t length = section.size() + 4 - 3;
    section[1] = uint8_t((section[1] & 0xF0) | length >> 8);
    section[2] = uint8_t(length);
    uint32_t crc = crc_bitwise(section.data(), section.size());
    for (int i = 0; i < 4; ++i) section.push_back(uint8_t(crc >> (24 - 8 * i)));
    Bytes out(p, p + s);
    append(out, section);
    out.resize(kPacket, 0xFF);
    return out;
}

// The sample reduced by hand: the three PIDs, a PAT before each PMT packet,
// the PMT naming only the two streams kept.
Bytes reduce(const Bytes& ts, uint16_t program_number = 1, uint16_t pmt_field = kPmt) {
    Bytes out;
    int counter = 0;
    for (size_t at = 0; at + kPacket <= ts.size(); at += kPacket) {
        const uint8_t* p = &ts[at];
        uint32_t pid = pid_of(p);
        if (pid == kPmt) {
            append(out, expected_pat(program_number, pmt_field, counter));
            counter = (counter + 1) % 16;
            append(out, reduced_pmt(p));
        } else if (pid == kVideo || pid == kAudio) {
            out.insert(out.end(), p, p + kPacket);
        }
    }
    return out;
}

// A PMT packet of program 1 naming pcr_pid and the given streams (type,
// PID); with_crc false leaves the CRC_32 out (the section does not check);
// damaged puts the pointer_field beyond the packet.
Bytes pmt_packet(uint32_t pcr_pid, const std::vector<std::pair<uint8_t, uint32_t>>& streams, bool with_crc,
                 bool damaged = false) {
    Bytes section = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00,
                     uint8_t(0xE0 | pcr_pid >> 8), uint8_t(pcr_pid), 0xF0, 0x00};
    for (const auto& st : streams) {
        const uint8_t entry[] = {st.first, uint8_t(0xE0 | st.second >> 8), uint8_t(st.second), 0xF0, 0x00};
        section.insert(section.end(), entry, entry + sizeof entry);
    }
    section[2] = uint8_t(section.size() + 4 - 3);
    uint32_t crc = with_crc ? crc_bitwise(section.data(), section.size()) : 0;
    for (int i = 0; i < 4; ++i) section.push_back(uint8_t(crc >> (24 - 8 * i)));
    const uint8_t header[] = {0x47, uint8_t(0x40 | kPmt >> 8), uint8_t(kPmt), 0x10, uint8_t(damaged ? 183 : 0)};
    Bytes p(kPacket, 0xFF);
    std::copy(header, header + sizeof header, p.begin());
    std::copy(section.begin(), section.begin() + std::min(section.size(), kPacket - sizeof header),
              p.begin() + sizeof header);
    return p;
}

class TransportStream : public ConversionTest {
protected:
    // The sample as recording "Film", and with the header *other as "Other".
    void mount_sample(const RecordingHeader* other = nullptr) {
        ImageBuilder img(other ? 16 : 9, kSectorsPerCluster);
        img.add_recording("Film", ts_);
        if (other) img.add_recording("Other", ts_, *other);
        mount(img);
    }
};

TEST_F(TransportStream, SampleReducedToItsProgram) {
    RecordingHeader h;
    h.program_number = 0x1234;
    h.pmt_pid = 0xE100;
    mount_sample(&h);
    ASSERT_EQ(convert(convert_ts, 0), 0) << qv_error;
    EXPECT_EQ(capture().messages, (Messages{kPidLine, kCompleted}));
    Bytes out = read_file("Film.ts");
    Bytes want = reduce(ts_);
    // The sample's PMT names the second audio track, the output's does not.
    const uint8_t* first_pmt = &ts_[0];
    while (pid_of(first_pmt) != kPmt) first_pmt += kPacket;
    ASSERT_NE(reduced_pmt(first_pmt), Bytes(first_pmt, first_pmt + kPacket));
    ASSERT_EQ(out.size(), want.size());
    EXPECT_TRUE(out == want);
    // Percentages: from 0, each one new.
    const std::vector<int>& percents = capture().percents;
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 0);
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_EQ(percents[i], percents[i - 1] + 1);
    EXPECT_LE(percents.back(), 100);

    // The PATs of the header with program 0x1234 and a PMT field with its top
    // bits set, checked without the expected packet.
    ASSERT_EQ(convert(convert_ts, 1), 0) << qv_error;
    Bytes other = read_file("Other.ts");
    EXPECT_TRUE(other == reduce(ts_, 0x1234, 0xE100));
    int pats = 0;
    for (size_t at = 0; at + kPacket <= other.size(); at += kPacket) {
        const uint8_t* p = &other[at];
        if (pid_of(p) != 0) continue;
        EXPECT_EQ(p[1], 0x40);
        EXPECT_EQ(p[3], 0x10 | (pats % 16));
        EXPECT_EQ(p[4], 0);                            // pointer_field
        EXPECT_EQ(crc_bitwise(p + 5, 16), 0u);         // section and CRC_32 together check to 0
        EXPECT_EQ(p[13] << 8 | p[14], 0x1234);
        EXPECT_EQ(p[15] << 8 | p[16], 0xE100);
        EXPECT_EQ(pid_of(p + kPacket), kPmt);          // a PMT packet behind each
        ++pats;
    }
    EXPECT_GT(pats, 16);
#ifndef _WIN32
    REQUIRE_TOOL("ffprobe");
    REQUIRE_TOOL("ffmpeg");
    EXPECT_EQ(run_tool("ffprobe -v error -show_programs -show_entries "
                       "program=program_num,nb_streams,pmt_pid,pcr_pid:program_stream=id,codec_type:disposition= "
                       "-of flat Film.ts"),
              "programs.program.0.program_num=1\n"
              "programs.program.0.nb_streams=2\n"
              "programs.program.0.pmt_pid=256\n"
              "programs.program.0.pcr_pid=257\n"
              "programs.program.0.streams.stream.0.codec_type=\"video\"\n"
              "programs.program.0.streams.stream.0.id=\"0x101\"\n"
              "programs.program.0.streams.stream.1.codec_type=\"audio\"\n"
              "programs.program.0.streams.stream.1.id=\"0x102\"\n");
    // Every stream it announces can be remuxed (an announced stream without
    // packets makes this fail).
    EXPECT_EQ(std::system("ffmpeg -v error -i Film.ts -map 0 -c copy -f mpegts -y out.ts 2>/dev/null"), 0);
#endif
}

// The PCR on a PID of its own is kept once a PMT names it; a PMT naming a
// stream that is left out is rewritten without it.
TEST_F(TransportStream, KeepsThePcrPidAndReducesThePmt) {
    const uint32_t kPcr = 0x1FF, kOther = 0x1FE;
    const std::vector<std::pair<uint8_t, uint32_t>> kKept = {{0x02, kVideo}, {0x04, kAudio}};
    const std::vector<std::pair<uint8_t, uint32_t>> kAll = {{0x02, kVideo}, {0x04, kOther}, {0x04, kAudio}};
    Bytes ts;
    std::vector<Bytes> kept;
    auto add = [&](const Bytes& p, const Bytes& out) {
        append(ts, p);
        if (!out.empty()) kept.push_back(out);
    };
    const Bytes none;
    add(ts_packet(0, kPcr), none);                                   // before any PMT
    add(ts_packet(0, kVideo), ts_packet(0, kVideo));
    Bytes pmt = pmt_packet(kPcr, kKept, false);                      // no CRC: kept as it is
    add(pmt, pmt);
    add(ts_packet(1, kPcr), ts_packet(1, kPcr));
    add(ts_packet(0, kOther), none);
    add(ts_packet(0, kAudio), ts_packet(0, kAudio));
    pmt = pmt_packet(0, kKept, false, true);                         // cannot be parsed: changes nothing
    add(pmt, pmt);
    add(ts_packet(2, kPcr), ts_packet(2, kPcr));
    add(pmt_packet(kPcr, kAll, true), pmt_packet(kPcr, kKept, true));   // 0x1FE taken out
    pmt = pmt_packet(kPcr, kKept, true);                             // nothing to take out
    add(pmt, pmt);
    add(pmt_packet(kVideo, kKept, true), pmt_packet(kVideo, kKept, true));   // the PCR moves to the video
    add(ts_packet(3, kPcr), none);
    add(ts_packet(1, kVideo), ts_packet(1, kVideo));
    ImageBuilder img(4, kSectorsPerCluster);
    img.add_recording("Pcr", ts);
    mount(img);
    ASSERT_EQ(convert(convert_ts, 0), 0) << qv_error;
    Bytes want;
    int counter = 0;
    for (const Bytes& p : kept) {
        if (pid_of(p.data()) == kPmt) append(want, expected_pat(1, kPmt, counter++));
        append(want, p);
    }
    EXPECT_TRUE(read_file("Pcr.ts") == want);
}

#ifndef _WIN32
TEST_F(TransportStream, DiskFullFailsTheConversion) {
    mount_sample();
    fs::create_symlink("/dev/full", "Film.ts");
    EXPECT_EQ(convert(convert_ts, 0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, kWriteFailed);
    EXPECT_EQ(capture().messages, Messages{kPidLine});
    // The next conversion is not affected.
    fs::remove("Film.ts");
    EXPECT_EQ(convert(convert_ts, 0), 0) << qv_error;
    EXPECT_TRUE(read_file("Film.ts") == reduce(ts_));
}
#endif

// Packets 2828 to 2831 (the last one split) and 5227 to 5230 lie in
// unreadable sectors: the output is that of the recording without them.
TEST_F(TransportStream, UnreadableSectorsLeaveOutTheirPackets) {
    disk_.fail_sectors(3119, 1, BadKind::kWhole);
    disk_.fail_sectors(4000, 1, BadKind::kShort);
    mount_sample();
    EXPECT_EQ(convert(convert_ts, 0), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "1024 bytes could not be read; 8 packets were lost\n");
    // The first cluster's hole is shown when the recording is opened.
    EXPECT_EQ(capture().messages, (Messages{"Cannot read 512 bytes at position 1596928\n", kPidLine,
                                            "Cannot read 512 bytes at position 2048000\n"}));
    Bytes kept(ts_.begin(), ts_.begin() + 2828 * kPacket);
    kept.insert(kept.end(), ts_.begin() + 2832 * kPacket, ts_.begin() + 5227 * kPacket);
    kept.insert(kept.end(), ts_.begin() + 5231 * kPacket, ts_.end());
    EXPECT_TRUE(read_file("Film.ts") == reduce(kept));
}

TEST_F(TransportStream, NoExpectedPacketsReportsAllDone) {
    ImageBuilder img(4, kSectorsPerCluster);
    Bytes ts;
    for (uint32_t i = 0; i < 5; ++i) append(ts, ts_packet(i, kVideo));
    img.add_recording("Short", ts);
    mount(img);
    qv->recordings[0].num_clusters = 0;
    EXPECT_EQ(convert(convert_ts, 0), 0) << qv_error;
    EXPECT_EQ(capture().percents, std::vector<int>{100});
    EXPECT_EQ(read_file("Short.ts").size(), 5u * kPacket);
}

}  // namespace
