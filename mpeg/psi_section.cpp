// PSI sections: where a section of the program association or program map
// table begins in a transport packet.
#include "mpeg/mpeg.h"

uint32_t ts_section(const uint8_t* p, uint8_t table_id, uint32_t head) {
    if (!ts_unit_start(p) || ts_scrambled(p)) return 0;
    uint32_t pointer = ts_payload_offset(p);
    if (pointer == kNoPayload || pointer >= kTsPacketSize) return 0;
    uint32_t at = pointer + 1 + p[pointer];  // behind the pointer_field
    if (at + head > kTsPacketSize || p[at] != table_id) return 0;
    return at;
}
