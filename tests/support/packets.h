// Transport packets and program stream packs as the tests build them and take
// them apart, independently of the product's own code.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/bytes.h"
#include "disk/qvdisk.h"

using Bytes = std::vector<uint8_t>;

inline void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// --- transport packets ---
inline uint32_t pid_of(const uint8_t* p) { return uint32_t(p[1] & 0x1F) << 8 | p[2]; }
inline bool unit_starts(const uint8_t* p) { return (p[1] & 0x40) != 0; }
inline bool has_payload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
// Where the payload starts, behind the header and the adaptation field.
inline size_t payload_at(const uint8_t* p) { return 4 + ((p[3] & 0x20) ? p[4] + 1u : 0u); }

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

// One PES packet of a PID in a transport stream: the indexes of its
// transport packets with payload and the number of elementary stream bytes
// they carry behind the PES header.
struct Pes {
    std::vector<size_t> packets;
    size_t es_bytes = 0;
};

inline std::vector<Pes> pes_of(const Bytes& ts, uint32_t pid) {
    std::vector<Pes> out;
    for (size_t i = 0; (i + 1) * kTsPacketSize <= ts.size(); ++i) {
        const uint8_t* p = &ts[i * kTsPacketSize];
        if (pid_of(p) != pid || !has_payload(p)) continue;
        size_t at = payload_at(p);
        if (unit_starts(p)) {
            out.emplace_back();
            at += 9 + p[at + 8];
        } else if (out.empty()) {
            continue;
        }
        out.back().packets.push_back(i);
        out.back().es_bytes += kTsPacketSize - at;
    }
    return out;
}

// --- program stream packs ---
constexpr size_t kPack = 2048;

struct Pack {
    uint64_t base;          // SCR base
    uint32_t extension;     // SCR extension
    Bytes scr_bytes;        // the six bytes of the SCR field
    Bytes pes;              // the one PES packet of the pack
    uint64_t scr() const { return base * 300 + extension; }
};

// The SCR base of the pack header field at p (pack byte 4).
inline uint64_t scr_base(const uint8_t* p) {
    return uint64_t((p[0] >> 3) & 7) << 30 | uint64_t(p[0] & 3) << 28 | uint64_t(p[1]) << 20 |
           uint64_t(p[2] >> 3) << 15 | uint64_t(p[2] & 3) << 13 | uint64_t(p[3]) << 5 | uint64_t(p[4] >> 3);
}

// Splits a VOB into its packs and checks each: 2048 bytes of pack header
// (mux rate 25200, stuffing of 0xFF), one video or audio PES packet, and
// either stuffing or a padding packet of 0xFF filling the rest. Stops at the
// first pack that cannot be read.
inline std::vector<Pack> packs_of(const Bytes& file) {
    std::vector<Pack> out;
    EXPECT_EQ(file.size() % kPack, 0u);
    for (size_t at = 0; at + kPack <= file.size(); at += kPack) {
        const uint8_t* p = &file[at];
        if (get_be32(p) != 0x000001BAu) {
            ADD_FAILURE() << "no pack header at " << at;
            return out;
        }
        EXPECT_EQ(Bytes(p + 10, p + 13), (Bytes{0x01, 0x89, 0xC3})) << "pack at " << at;
        EXPECT_EQ(p[13] & 0xF8, 0xF8) << "pack at " << at;
        size_t stuffing = p[13] & 7;
        for (size_t i = 0; i < stuffing; ++i) EXPECT_EQ(p[14 + i], 0xFF);
        const uint8_t* q = p + 14 + stuffing;
        EXPECT_EQ(get_be24(q), 1u) << "pack at " << at;
        EXPECT_TRUE(q[3] == 0xE0 || q[3] == 0xC0) << "pack at " << at;
        size_t n = get_be16(q + 4) + 6u;
        if (14 + stuffing + n > kPack) {
            ADD_FAILURE() << "PES packet beyond the pack at " << at;
            return out;
        }
        size_t room = kPack - 14 - stuffing - n;
        if (room != 0) {
            EXPECT_EQ(stuffing, 0u);
            if (room < 8) {
                ADD_FAILURE() << "no room for a padding packet in the pack at " << at;
                return out;
            }
            const uint8_t* pad = q + n;
            EXPECT_EQ(get_be32(pad), 0x000001BEu) << "pack at " << at;
            EXPECT_EQ(get_be16(pad + 4), room - 6) << "pack at " << at;
            for (size_t i = 6; i < room; ++i) EXPECT_EQ(pad[i], 0xFF);
        }
        out.push_back(Pack{scr_base(p + 4), uint32_t(p[8] & 3) << 7 | uint32_t(p[9] >> 1), Bytes(p + 4, p + 10),
                           Bytes(q, q + n)});
    }
    return out;
}
