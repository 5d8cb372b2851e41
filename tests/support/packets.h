// Transport packets and literal bytes as the tests write them, independently
// of the product's own code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "disk/qvdisk.h"

using Bytes = std::vector<uint8_t>;

inline void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// A packet of pid, payload only, continuity_counter seq mod 16, whose payload
// names seq in bytes that are never 0x47 (a scan for a sync byte never stops
// inside it, and no two packets of one PID are alike).
inline Bytes ts_packet(uint32_t seq, uint32_t pid = 0x101) {
    Bytes p(kTsPacketSize, 0xAA);
    p[0] = kTsSyncByte;
    p[1] = uint8_t(pid >> 8 & 0x1F);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (seq & 0x0F));
    for (int i = 0; i < 4; ++i) p[4 + i] = uint8_t(0x80 | (seq >> (6 * i) & 0x3F));
    return p;
}

// Packets first .. first + count - 1 of PID 0x101.
inline Bytes ts_packets(uint32_t first, uint32_t count) {
    Bytes out;
    for (uint32_t s = first; s < first + count; ++s) append(out, ts_packet(s));
    return out;
}

// Bytes written as hexadecimal pairs, spaces between them ignored:
// hex("47 40 00 10").
inline Bytes hex(const char* text) {
    Bytes out;
    for (const char* p = text; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        const char pair[3] = {p[0], p[1], 0};
        out.push_back(uint8_t(strtoul(pair, nullptr, 16)));
        p += 2;
    }
    return out;
}
