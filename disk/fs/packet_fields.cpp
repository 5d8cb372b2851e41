// Transport packet fields: the adaptation field (its discontinuity_indicator
// and PCR) and where the payload begins. The adaptation field's own length
// bounds everything read from it.
#include <cstring>

#include "disk/fs/fs.h"

namespace {

constexpr size_t kAdaptationLengthOffset = 4;
constexpr size_t kAdaptationFlagsOffset = 5;
constexpr size_t kPcrOffset = 6;
constexpr uint8_t kDiscontinuityFlag = 0x80;  // adaptation field flags byte
constexpr uint8_t kPcrFlag = 0x10;
// A PCR needs the flags byte and its six bytes: with a shorter adaptation
// field the PCR flag points into the payload, which is no clock reference.
constexpr uint32_t kMinPcrAdaptationLength = 7;
// The PES header behind the start code prefix: PTS_DTS_flags in byte 7, the
// PTS at bytes 9 to 13 and the DTS at 14 to 18 (33 bits among marker bits).
constexpr uint8_t kPesStartCode[] = {0x00, 0x00, 0x01};
constexpr size_t kPesFlagsOffset = 7;
constexpr uint8_t kPtsFlag = 0x80;
constexpr uint8_t kDtsFlag = 0x40;
constexpr size_t kPesPtsOffset = 9;
constexpr size_t kPesDtsOffset = 14;
constexpr size_t kTimeStampSize = 5;

uint64_t time_stamp(const uint8_t* f) {
    return uint64_t(f[0] >> 1 & 0x07) << 30 | uint64_t(get_be16(f + 1) >> 1) << 15 |
           uint64_t(get_be16(f + 3) >> 1);
}

// The adaptation field's length byte, or 0 without an adaptation field
// (where a length of 0 holds no flags byte either).
uint32_t adaptation_length(const uint8_t* p) {
    return (p[3] & kAdaptationFieldFlag) ? p[kAdaptationLengthOffset] : 0;
}

}  // namespace

uint32_t ts_payload_offset(const uint8_t* p) {
    if (!ts_has_payload(p)) return kNoPayload;
    uint32_t offset =
        kTsHeaderSize + ((p[3] & kAdaptationFieldFlag) ? 1 + p[kAdaptationLengthOffset] : 0);
    return offset <= kTsPacketSize ? offset : kNoPayload;
}

bool ts_discontinuity(const uint8_t* p) {
    return adaptation_length(p) >= 1 && (p[kAdaptationFlagsOffset] & kDiscontinuityFlag) != 0;
}

bool ts_pcr(const uint8_t* p, uint64_t* pcr) {
    if (adaptation_length(p) < kMinPcrAdaptationLength || !(p[kAdaptationFlagsOffset] & kPcrFlag))
        return false;
    const uint8_t* f = p + kPcrOffset;
    uint64_t base = uint64_t(f[0]) << 25 | uint64_t(f[1]) << 17 | uint64_t(f[2]) << 9 |
                    uint64_t(f[3]) << 1 | uint64_t(f[4] >> 7);
    uint64_t extension = uint64_t(f[4] & 0x01) << 8 | f[5];
    *pcr = base * kPcrTicksPerBase + extension;
    return true;
}

bool ts_pes_time(const uint8_t* p, uint64_t* time) {
    const uint32_t offset = ts_payload_offset(p);
    if (!ts_unit_start(p) || ts_scrambled(p) || offset == kNoPayload) return false;
    const uint8_t* pes = p + offset;
    const size_t room = kTsPacketSize - offset;
    if (room < kPesPtsOffset || memcmp(pes, kPesStartCode, sizeof kPesStartCode) != 0) return false;
    const uint8_t flags = pes[kPesFlagsOffset];
    const size_t at = (flags & kDtsFlag) ? kPesDtsOffset : kPesPtsOffset;
    if (!(flags & kPtsFlag) || room < at + kTimeStampSize) return false;
    *time = time_stamp(pes + at);
    return true;
}
