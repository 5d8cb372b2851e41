// The program map table (PMT): the recording's list of the elementary
// streams of its program, each with its stream_type, PID and descriptors,
// read into what each stream is (video, MPEG audio, AC-3, teletext,
// subtitles). Also the CRC_32 that checks every PSI section.
#include <cstdio>
#include <cstring>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

// PMT section fields, from table_id.
constexpr size_t kPcrPidOffset = 8;
constexpr size_t kProgramInfoOffset = 10;  // program_info_length, 12 bits
constexpr size_t kLoopOffset = 12;         // the first entry of the elementary stream loop
constexpr size_t kPmtHeadSize = kPcrPidOffset + 2;
constexpr size_t kMinSectionLength = 13;  // from program_number to the CRC, no entries
// One entry of the loop: stream_type, elementary_PID, ES_info_length, descriptors.
constexpr size_t kEntryPidOffset = 1;
constexpr size_t kEntryInfoLengthOffset = 3;
constexpr size_t kEntryHeadSize = 5;
constexpr uint32_t kInfoLengthMask = 0x0FFF;

// Stream types (ISO/IEC 13818-1; 0x81 ATSC A/53).
constexpr uint8_t kTypeMpeg1Video = 0x01;
constexpr uint8_t kTypeMpeg2Video = 0x02;
constexpr uint8_t kTypeMpeg1Audio = 0x03;
constexpr uint8_t kTypeMpeg2Audio = 0x04;
constexpr uint8_t kTypePrivatePes = 0x06;
constexpr uint8_t kTypeAtscAc3 = 0x81;

// Descriptor tags that tell what a private stream holds (ISO/IEC 13818-1, ETSI EN 300 468).
constexpr uint8_t kRegistrationTag = 0x05;
constexpr uint8_t kTeletextTag = 0x56;
constexpr uint8_t kSubtitlingTag = 0x59;
constexpr uint8_t kAc3Tag = 0x6A;
constexpr uint8_t kAc3FormatIdentifier[4] = {'A', 'C', '-', '3'};
constexpr size_t kDescriptorHeadSize = 2;  // tag and length

constexpr uint32_t kCrcPolynomial = 0x04C11DB7u;

// What the descriptors of a private stream say it holds.
stream_kind kind_by_descriptors(const uint8_t* d, size_t length) {
    for (size_t at = 0; at + kDescriptorHeadSize <= length;) {
        const uint8_t tag = d[at];
        const size_t size = d[at + 1];
        if (at + kDescriptorHeadSize + size > length) break;
        const uint8_t* body = d + at + kDescriptorHeadSize;
        if (tag == kAc3Tag) return kStreamAc3;
        if (tag == kRegistrationTag && size >= sizeof kAc3FormatIdentifier &&
            memcmp(body, kAc3FormatIdentifier, sizeof kAc3FormatIdentifier) == 0)
            return kStreamAc3;
        if (tag == kTeletextTag) return kStreamTeletext;
        if (tag == kSubtitlingTag) return kStreamSubtitles;
        at += kDescriptorHeadSize + size;
    }
    return kStreamOther;
}

stream_kind kind_of(uint8_t type, const uint8_t* descriptors, size_t length) {
    switch (type) {
    case kTypeMpeg1Video:
    case kTypeMpeg2Video: return kStreamVideo;
    case kTypeMpeg1Audio:
    case kTypeMpeg2Audio: return kStreamMpegAudio;
    case kTypeAtscAc3: return kStreamAc3;
    case kTypePrivatePes: return kind_by_descriptors(descriptors, length);
    }
    // A registration "AC-3" marks AC-3 under other stream types too.
    return kind_by_descriptors(descriptors, length) == kStreamAc3 ? kStreamAc3 : kStreamOther;
}

}  // namespace

// CRC_32 of MPEG-2 systems: most significant bit first, initial value all
// ones, no final inversion. Over a whole section with its CRC_32 it gives 0.
uint32_t mpeg_crc32(const uint8_t* p, size_t n) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolynomial : c << 1;
            table[i] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

bool pmt_stream_loop(const uint8_t* s, size_t size, size_t* loop, size_t* loop_end) {
    if (size < kSectionHeadSize || s[0] != kPmtTableId) return false;
    const size_t length = get_be16(s + kSectionLengthOffset) & kSectionLengthMask;
    const size_t end = kSectionHeadSize + length;  // behind the CRC_32
    if (length < kMinSectionLength || end > size || mpeg_crc32(s, end) != 0) return false;
    *loop = kLoopOffset + (get_be16(s + kProgramInfoOffset) & kInfoLengthMask);
    *loop_end = end - kCrcSize;
    return *loop <= *loop_end;
}

size_t pmt_entry_size(const uint8_t* s, size_t at, size_t loop_end) {
    if (at + kEntryHeadSize > loop_end) return 0;
    const size_t size =
        kEntryHeadSize + (get_be16(s + at + kEntryInfoLengthOffset) & kInfoLengthMask);
    return at + size <= loop_end ? size : 0;
}

uint32_t pmt_entry_pid(const uint8_t* s, size_t at) {
    return get_be16(s + at + kEntryPidOffset) & kPidMask;
}

int read_program_map(const uint8_t* s, size_t size, program_map* map) {
    size_t at, loop_end;
    if (!pmt_stream_loop(s, size, &at, &loop_end)) return 0;
    map->pcr_pid = get_be16(s + kPcrPidOffset) & kPidMask;
    map->count = 0;
    for (size_t n; at < loop_end && map->count < kMaxPmtStreams; at += n) {
        n = pmt_entry_size(s, at, loop_end);
        if (n == 0) return map->count = 0, 0;
        pmt_stream& e = map->streams[map->count++];
        e.stream_type = s[at];
        e.pid = pmt_entry_pid(s, at);
        e.kind = kind_of(e.stream_type, s + at + kEntryHeadSize, n - kEntryHeadSize);
    }
    return 1;
}

uint32_t pmt_pcr_pid(const uint8_t* p) {
    const uint32_t at = ts_section(p, kPmtTableId, kPmtHeadSize);
    return at ? get_be16(p + at + kPcrPidOffset) & kPidMask : kPidCount;
}

void describe_pmt_stream(char* out, size_t size, const pmt_stream& s) {
    static const char* const names[kStreamKindCount] = {"MPEG video", "MPEG audio", "AC-3 audio",
                                                        "teletext",   "subtitles",  nullptr};
    if (names[s.kind])
        snprintf(out, size, "PID %u (%s)", s.pid, names[s.kind]);
    else
        snprintf(out, size, "PID %u (stream type 0x%02X)", s.pid, s.stream_type);
}
