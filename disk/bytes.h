// Byte-order helpers. The recorder stores every multi-byte number big-endian
// once the 16-bit words of its disk are back in recorder order; the PC sees
// each of those words with its two bytes exchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint32_t get_be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t get_be24(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}
inline uint32_t get_be32(const uint8_t* p) { return get_be16(p) << 16 | get_be16(p + 2); }

inline void put_be16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_be24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, v >> 16);
    put_be16(p + 2, v);
}

// Exchanges the two bytes of every 16-bit word of buf (count bytes, an odd
// last byte is left alone). Every byte of a recording passes through here, so
// it is written as a rotation of 16-bit words (the same on either byte order),
// which the compiler turns into vector shifts; the byte-by-byte exchange
// vectorises only to a far slower shuffle.
inline void swap16_words(uint8_t* buf, size_t count) {
    for (size_t i = 0; i + 1 < count; i += 2) {
        uint16_t w;
        memcpy(&w, buf + i, sizeof w);
        w = uint16_t(w << 8 | w >> 8);
        memcpy(buf + i, &w, sizeof w);
    }
}
