// Mode "TS": the recording reduced to its own program. The packets of the
// PMT, video and audio PIDs (and of the PCR PID when the PMT names another
// one) are copied in order, unchanged but for the PMT's list of streams; a
// program association packet that names the program is written in front of
// every PMT packet.
#include <cstring>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

constexpr uint32_t kNoPid = kPidCount;  // matches no packet

// The program association packet: header, pointer_field 0, then one section.
constexpr size_t kPatCounter = 3;                          // byte holding the continuity_counter
constexpr uint8_t kPatHeader[] = {0x47, 0x40, 0x00, 0x10,  // PID 0, payload only
                                  0x00,                    // pointer_field
                                  0x00,                    // table_id
                                  0x80, 0x0D,   // section_syntax_indicator, section_length 13
                                  0x00, 0x00,   // transport_stream_id
                                  0x01,         // version 0, current_next_indicator 1
                                  0x00, 0x00};  // section_number, last_section_number
constexpr size_t kPatSection = 5;               // table_id
constexpr size_t kPatProgramNumber = 13;
constexpr size_t kPatPmtPid = 15;
constexpr size_t kPatCrc = 17;  // CRC_32 over table_id .. program entry
constexpr uint8_t kStuffing = 0xFF;

// The PMT section fields read for the PCR PID.
constexpr size_t kPmtPcrPidOffset = 8;      // from table_id
constexpr size_t kPmtHeadSize = 10;         // table_id .. PCR_PID
constexpr uint32_t kFirstStreamPid = 0x10;  // below: PAT and the other tables

uint8_t pat[kTsPacketSize];

// CRC_32 of MPEG-2 systems: polynomial 0x04C11DB7, initial value all ones,
// most significant bit first, no final inversion.
uint32_t mpeg_crc32(const uint8_t* p, size_t n) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            table[i] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

void build_pat(const uint8_t* header) {
    memset(pat, kStuffing, sizeof pat);
    memcpy(pat, kPatHeader, sizeof kPatHeader);
    memcpy(pat + kPatProgramNumber, header + kHeaderProgramNumber, 2);
    memcpy(pat + kPatPmtPid, header + kHeaderPmtPid, 2);
    put_be32(pat + kPatCrc, mpeg_crc32(pat + kPatSection, kPatCrc - kPatSection));
}

}  // namespace

uint32_t pmt_pcr_pid(const uint8_t* p) {
    const uint32_t at = ts_section(p, kPmtTableId, kPmtHeadSize);
    return at ? get_be16(p + at + kPmtPcrPidOffset) & kPidMask : kNoPid;
}

// The recording's PMT names every stream of the broadcast, also those left
// out here; a player then waits for streams that never come (and a remuxer
// refuses them). A PMT section that lies whole in one packet is therefore
// rewritten with only the entries of the video and audio PIDs. Sections that
// span packets, fail their CRC_32 or do not parse are copied unchanged.
constexpr size_t kProgramInfoOffset = 10;  // program_info_length, 12 bits
constexpr size_t kPmtLoopStart = 12;
constexpr size_t kEsEntryHead = 5;           // stream_type, elementary_PID, ES_info_length
constexpr size_t kMinPmtSectionLength = 13;  // from program_number to the CRC, no entries

namespace {
uint8_t reduced_pmt[kTsPacketSize];
}  // namespace

const uint8_t* reduce_pmt(const uint8_t* p, uint32_t video_pid, uint32_t audio_pid) {
    const size_t s = ts_section(p, kPmtTableId, kSectionHeadSize);
    if (!s) return p;
    const size_t length = get_be16(p + s + kSectionLengthOffset) & kSectionLengthMask;
    const size_t end = s + kSectionHeadSize + length;  // behind the CRC_32
    if (length < kMinPmtSectionLength || end > kTsPacketSize) return p;
    for (size_t i = end; i < kTsPacketSize; ++i)
        if (p[i] != kStuffing) return p;  // another section follows: leave the packet alone
    if (mpeg_crc32(p + s, end - s) != 0) return p;
    const size_t loop =
        s + kPmtLoopStart + (get_be16(p + s + kProgramInfoOffset) & kSectionLengthMask);
    const size_t loop_end = end - kCrcSize;
    if (loop > loop_end) return p;

    memcpy(reduced_pmt, p, loop);
    size_t out = loop;
    bool dropped = false;
    for (size_t e = loop; e < loop_end;) {
        if (e + kEsEntryHead > loop_end) return p;
        size_t entry = kEsEntryHead + (get_be16(p + e + 3) & kSectionLengthMask);
        if (e + entry > loop_end) return p;
        uint32_t pid = get_be16(p + e + 1) & kPidMask;
        if (pid == video_pid || pid == audio_pid) {
            memcpy(reduced_pmt + out, p + e, entry);
            out += entry;
        } else {
            dropped = true;
        }
        e += entry;
    }
    if (!dropped) return p;
    uint32_t new_length = uint32_t(out + kCrcSize - s - kSectionHeadSize);
    uint32_t field = get_be16(p + s + kSectionLengthOffset);
    put_be16(reduced_pmt + s + kSectionLengthOffset, (field & ~kSectionLengthMask) | new_length);
    put_be32(reduced_pmt + out, mpeg_crc32(reduced_pmt + s, out - s));
    out += kCrcSize;
    memset(reduced_pmt + out, kStuffing, kTsPacketSize - out);
    return reduced_pmt;
}

namespace {

// Kept packets that lie one after another in the reader's cluster are
// written with one call.
struct output_run {
    FILE* file;
    const uint8_t* start;
    size_t length;
    int failed;
};

void write_bytes(output_run& out, const uint8_t* p, size_t n) {
    if (out.failed || n == 0) return;
    if (fwrite(p, 1, n, out.file) != n) {
        qv_write_failed(kDiskFullMessage);
        out.failed = 1;
    }
}

void flush_run(output_run& out) {
    write_bytes(out, out.start, out.length);
    out.length = 0;
}

void keep(output_run& out, const uint8_t* p) {
    if (out.length != 0 && p == out.start + out.length) {
        out.length += kTsPacketSize;
        return;
    }
    flush_run(out);
    out.start = p;
    out.length = kTsPacketSize;
}

}  // namespace

int convert_ts(int index, progress_callback callback) {
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    packet_progress progress = start_packet_progress(reader, callback);
    const uint32_t video_pid = header_pid(reader, kHeaderVideoPid);
    const uint32_t audio_pid = header_pid(reader, kHeaderAudioPid);
    const uint32_t pmt_pid = header_pid(reader, kHeaderPmtPid);
    qv_inform(callback, "PMT PID is %d, video PID is %d, audio PID is %d\n", int(pmt_pid),
              int(video_pid), int(audio_pid));

    FILE* file = create_conversion_output(index, ".ts", reader);
    if (!file) return kCopyNoOutput;
    build_pat(reader->rec_header);

    // A PCR on a PID of its own is kept too, once a PMT has named it.
    uint32_t pcr_pid = kNoPid;
    uint8_t pat_counter = 0;
    uint64_t packet = 0;
    output_run out = {file, nullptr, 0, 0};

    while (!out.failed) {
        if (qv_interrupted) {
            qv_set_error("%s", kInterruptedMessage);
            out.failed = 1;
            break;
        }
        // The next call may load another cluster over the packets of the run.
        if (out.length != 0 && !reader_next_in_place(reader)) flush_run(out);
        const uint8_t* p = read_ts_packet(reader);
        if (!p) break;
        packet += uint64_t(reader->gap_packets) + 1;  // lost packets count for the percentage
        report_packet(progress, packet);
        if (p[0] != kTsSyncByte) continue;
        const uint32_t pid = ts_pid(p);
        if (pid == pmt_pid) {
            uint32_t named = pmt_pcr_pid(p);
            if (named != kNoPid) {
                bool own = named >= kFirstStreamPid && named != kNullPid && named != video_pid &&
                           named != audio_pid && named != pmt_pid;
                pcr_pid = own ? named : kNoPid;
            }
            flush_run(out);
            pat[kPatCounter] = uint8_t(kPayloadFlag | pat_counter);
            pat_counter = (pat_counter + 1) & kContinuityMask;
            write_bytes(out, pat, sizeof pat);
            const uint8_t* pmt = reduce_pmt(p, video_pid, audio_pid);
            if (pmt == p)
                keep(out, p);
            else
                write_bytes(out, pmt, kTsPacketSize);
        } else if (pid == video_pid || pid == audio_pid || pid == pcr_pid) {
            keep(out, p);
        }
    }
    flush_run(out);
    // A recording too small to hold one packet is all done.
    if (progress.expected == 0) qv_report_percent(callback, packet, 0, &progress.last_percent);

    // Everything is written before the end is told.
    if (!out.failed && fflush(file) != 0) {
        qv_write_failed(kDiskFullMessage);
        out.failed = 1;
    }
    const int failed = recording_verdict(reader, out.failed);
    if (!failed) qv_inform(callback, "\rProcessing completed.\n");
    return finish_conversion(reader, file, failed);
}
