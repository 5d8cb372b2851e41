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

constexpr uint32_t kFirstStreamPid = 0x10;  // below: PAT and the other tables

uint8_t pat[kTsPacketSize];

void build_pat(const uint8_t* header) {
    memset(pat, kStuffing, sizeof pat);
    memcpy(pat, kPatHeader, sizeof kPatHeader);
    memcpy(pat + kPatProgramNumber, header + kHeaderProgramNumber, 2);
    memcpy(pat + kPatPmtPid, header + kHeaderPmtPid, 2);
    put_be32(pat + kPatCrc, mpeg_crc32(pat + kPatSection, kPatCrc - kPatSection));
}

// The recording's PMT names every stream of the broadcast, also those left
// out here; a player then waits for streams that never come (and a remuxer
// refuses them). A PMT section that lies whole in one packet is therefore
// rewritten with only the entries of the video and audio PIDs. Sections that
// span packets, fail their CRC_32 or do not parse are copied unchanged.
uint8_t reduced_pmt[kTsPacketSize];
}  // namespace

const uint8_t* reduce_pmt(const uint8_t* p, uint32_t video_pid, uint32_t audio_pid) {
    const size_t s = ts_section(p, kPmtTableId, kSectionHeadSize);
    size_t loop, loop_end;
    if (!s || !pmt_stream_loop(p + s, kTsPacketSize - s, &loop, &loop_end)) return p;
    const size_t end = s + loop_end + kCrcSize;
    for (size_t i = end; i < kTsPacketSize; ++i)
        if (p[i] != kStuffing) return p;  // another section follows: leave the packet alone
    memcpy(reduced_pmt, p, s + loop);
    size_t out = s + loop;
    bool dropped = false;
    for (size_t e = loop, entry; e < loop_end; e += entry) {
        entry = pmt_entry_size(p + s, e, loop_end);
        if (entry == 0) return p;
        const uint32_t pid = pmt_entry_pid(p + s, e);
        if (pid == video_pid || pid == audio_pid) {
            memcpy(reduced_pmt + out, p + s + e, entry);
            out += entry;
        } else {
            dropped = true;
        }
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

// Mode TS takes the header's video and audio (at least one of them must
// occur), with --all-streams every stream of the PMT.
constexpr int kTsAudioKinds = 1 << kStreamMpegAudio | 1 << kStreamAc3;
constexpr stream_request kTsRequest = {kRoleVideo | kRoleAudio, 0, (1 << kStreamKindCount) - 1,
                                       kTsAudioKinds,           0, 0};

}  // namespace

namespace {

// What the copy keeps and where it writes.
struct ts_copy {
    output_run out;
    pid_set kept;
    uint32_t pmt_pid;
    uint32_t video_pid;
    uint32_t audio_pid;
    bool whole_pmt;
    uint32_t pcr_pid;  // a PCR on a PID of its own, kept once a PMT has named it
    uint8_t pat_counter;
};

// A PMT packet: the PCR PID it names taken, a PAT in front, and the PMT
// reduced to the header's streams unless every stream is kept.
void copy_pmt(ts_copy& c, const uint8_t* p) {
    const uint32_t named = pmt_pcr_pid(p);
    if (named != kNoPid) {
        bool own = named >= kFirstStreamPid && named != kNullPid && named != c.video_pid &&
                   named != c.audio_pid && named != c.pmt_pid;
        c.pcr_pid = own ? named : kNoPid;
    }
    flush_run(c.out);
    pat[kPatCounter] = uint8_t(kPayloadFlag | c.pat_counter);
    c.pat_counter = (c.pat_counter + 1) & kContinuityMask;
    write_bytes(c.out, pat, sizeof pat);
    const uint8_t* pmt = c.whole_pmt ? p : reduce_pmt(p, c.video_pid, c.audio_pid);
    if (pmt == p)
        keep(c.out, p);
    else
        write_bytes(c.out, pmt, kTsPacketSize);
}

// Every packet of the recording, the kept ones written; the packets counted,
// the lost ones too.
uint64_t copy_packets(ts_copy& c, recording_reader* reader, packet_progress& progress) {
    uint64_t packet = 0;
    while (!c.out.failed) {
        if (qv_interrupted) {
            qv_set_error("%s", kInterruptedMessage);
            c.out.failed = 1;
            break;
        }
        // The next call may load another cluster over the packets of the run.
        if (c.out.length != 0 && !reader_next_in_place(reader)) flush_run(c.out);
        const uint8_t* p = read_ts_packet(reader);
        if (!p) break;
        packet += uint64_t(reader->gap_packets) + 1;  // lost packets count for the percentage
        report_packet(progress, packet);
        if (p[0] != kTsSyncByte) continue;
        const uint32_t pid = ts_pid(p);
        if (pid == c.pmt_pid)
            copy_pmt(c, p);
        else if (has_pid(c.kept, pid) || pid == c.pcr_pid)
            keep(c.out, p);
    }
    flush_run(c.out);
    return packet;
}

}  // namespace

int convert_ts(int index, progress_callback callback) {
    recording_probe probe;
    probe_recording(index, &probe);
    recording_reader* reader = open_conversion_source(index, callback);
    if (!reader) return kCopyFailed;
    packet_progress progress = start_packet_progress(reader, callback);
    const uint32_t pmt_pid = header_pid(reader, kHeaderPmtPid);
    qv_inform(callback, "PMT PID is %d, video PID is %d, audio PID is %d\n", int(pmt_pid),
              int(header_pid(reader, kHeaderVideoPid)), int(header_pid(reader, kHeaderAudioPid)));
    static stream_plan plan;
    if (plan_streams(reader, probe, kTsRequest, &plan, callback) != 0) {
        close_recording_file(reader);
        return kCopyFailed;
    }
    FILE* file = create_conversion_output(index, ".ts", reader);
    if (!file) return kCopyNoOutput;
    build_pat(reader->rec_header);
    ts_copy copy = {};
    copy.out = {file, nullptr, 0, 0};
    copy.pmt_pid = pmt_pid;
    copy.video_pid = plan.video_pid;
    copy.audio_pid = plan.audio_pid;
    copy.whole_pmt = stream_options.all_streams != 0;
    copy.pcr_pid = kNoPid;
    for (int i = 0; i < plan.count; ++i) add_pid(copy.kept, plan.tracks[i].pid);
    const uint64_t packets = copy_packets(copy, reader, progress);
    // A recording too small to hold one packet is all done.
    if (progress.expected == 0) qv_report_percent(callback, packets, 0, &progress.last_percent);
    // Everything is written before the end is told.
    if (!copy.out.failed && fflush(file) != 0) {
        qv_write_failed(kDiskFullMessage);
        copy.out.failed = 1;
    }
    const int failed = recording_verdict(reader, copy.out.failed);
    if (!failed) qv_inform(callback, "\rProcessing completed.\n");
    return finish_conversion(reader, file, failed);
}
