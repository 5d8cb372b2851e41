// Recording headers: a recording's first cluster begins with the 212-byte
// recording header, and its transport packets follow behind it.
#include "disk/fs/fs.h"

namespace {

// Whether a packet of pid is among the packets in step from pos on (whole
// headers within limit), up to the first place that holds no sync byte.
bool pid_behind(const uint8_t* data, uint32_t pos, uint32_t limit, uint32_t pid) {
    for (uint32_t p = pos; p + kTsHeaderSize <= limit && data[p] == kTsSyncByte; p += kTsPacketSize)
        if (ts_pid(data + p) == pid) return true;
    return false;
}

// Whether the bytes in front of the first packet at pos hold a packet in
// step with it whose PID the packets behind it carry: the stream runs on
// from before, as in a cluster from the middle of a recording.
bool packet_in_front(const uint8_t* data, uint32_t pos, uint32_t limit) {
    for (uint32_t q = pos; q >= kTsPacketSize; q -= kTsPacketSize) {
        const uint8_t* p = data + q - kTsPacketSize;
        if (p[0] == kTsSyncByte && pid_behind(data, pos, limit, ts_pid(p))) return true;
    }
    return false;
}

// Whether the header names pid (at offset) and a packet behind it carries it.
bool named_pid_behind(const uint8_t* data, uint32_t pos, uint32_t limit, size_t offset) {
    const uint32_t pid = header_field_pid(data, offset);
    return pid != 0 && pid != kNullPid && pid_behind(data, pos, limit, pid);
}

}  // namespace

bool find_first_packet(const uint8_t* data, uint32_t limit, uint32_t* pos) {
    // A packet that ends exactly where the recording ends has no successor
    // to test and is taken as it is.
    for (uint32_t o = kRecordingHeaderSize; o <= kFirstPacketSearchEnd; ++o) {
        if (o + kTsPacketSize > limit) break;
        if (data[o] != kTsSyncByte) continue;
        if (o + kTsPacketSize == limit || data[o + kTsPacketSize] == kTsSyncByte) {
            *pos = o;
            return true;
        }
    }
    return false;
}

bool holds_recording_header(const uint8_t* data, uint32_t limit) {
    uint32_t pos = 0;
    if (!find_first_packet(data, limit, &pos) || packet_in_front(data, pos, limit)) return false;
    return named_pid_behind(data, pos, limit, kHeaderVideoPid) ||
           named_pid_behind(data, pos, limit, kHeaderAudioPid);
}

uint32_t header_field_pid(const uint8_t* header, size_t offset) {
    return get_be16(header + offset) & kPidMask;
}
