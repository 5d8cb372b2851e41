// Recording headers: a recording's first cluster begins with the 212-byte
// recording header, and its transport packets follow behind it.
#include "disk/fs/fs.h"

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
