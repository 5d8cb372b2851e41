// repeat_ts: makes one long transport stream out of a short one by writing
// it several times in a row, for the benchmark (tools/bench).
//
//   repeat_ts IN.ts OUT.ts COUNT
//
// Each repetition k (0 for the first) is the input with every PCR, OPCR,
// PTS and DTS moved forward by k times the input's duration, and every
// continuity_counter moved on by k times the PID's step over the input, so
// that a demultiplexer sees one clean stream with time running on and no
// continuity errors. The duration is the time the input's bytes take at the
// rate its PCRs give (a constant-rate stream so keeps its rate), but at least
// the span of its time stamps, so they never go backwards.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kPacket = 188;
constexpr uint8_t kSync = 0x47;
constexpr uint32_t kPidCount = 8192;
constexpr uint32_t kNullPid = 0x1FFF;
constexpr uint64_t kTicksPerBase = 300;  // 27 MHz ticks per 90 kHz tick
constexpr uint64_t kBaseMask = (uint64_t(1) << 33) - 1;
constexpr size_t kOutputBuffer = 1 << 20;

uint32_t pid_of(const uint8_t* p) { return uint32_t(p[1] & 0x1F) << 8 | p[2]; }
bool has_payload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
bool has_adaptation(const uint8_t* p) { return (p[3] & 0x20) != 0; }

// A PCR or OPCR field (6 bytes) in 27 MHz ticks, and back.
uint64_t get_clock(const uint8_t* f) {
    uint64_t base = uint64_t(f[0]) << 25 | uint64_t(f[1]) << 17 | uint64_t(f[2]) << 9 |
                    uint64_t(f[3]) << 1 | uint64_t(f[4] >> 7);
    return base * kTicksPerBase + (uint64_t(f[4] & 1) << 8 | f[5]);
}
void set_clock(uint8_t* f, uint64_t ticks) {
    uint64_t base = (ticks / kTicksPerBase) & kBaseMask;
    uint32_t ext = uint32_t(ticks % kTicksPerBase);
    f[0] = uint8_t(base >> 25);
    f[1] = uint8_t(base >> 17);
    f[2] = uint8_t(base >> 9);
    f[3] = uint8_t(base >> 1);
    f[4] = uint8_t((base & 1) << 7 | 0x7E | ext >> 8);
    f[5] = uint8_t(ext);
}

// A PTS or DTS field (5 bytes) in 90 kHz ticks, and back (prefix kept).
uint64_t get_stamp(const uint8_t* f) {
    return uint64_t((f[0] >> 1) & 7) << 30 | uint64_t(f[1]) << 22 | uint64_t(f[2] >> 1) << 15 |
           uint64_t(f[3]) << 7 | uint64_t(f[4] >> 1);
}
void set_stamp(uint8_t* f, uint64_t t) {
    t &= kBaseMask;
    f[0] = uint8_t((f[0] & 0xF0) | ((t >> 29) & 0x0E) | 1);
    f[1] = uint8_t(t >> 22);
    f[2] = uint8_t(((t >> 14) & 0xFE) | 1);
    f[3] = uint8_t(t >> 7);
    f[4] = uint8_t(((t << 1) & 0xFE) | 1);
}

// The clock fields of a packet's adaptation field: PCR and OPCR offsets
// (0 when absent).
void clock_fields(const uint8_t* p, size_t* pcr, size_t* opcr) {
    *pcr = *opcr = 0;
    if (!has_adaptation(p) || p[4] < 1 || p[4] > 183) return;
    size_t end = 5 + size_t(p[4]);
    size_t at = 6;
    if (p[5] & 0x10) {
        if (at + 6 <= end) *pcr = at;
        at += 6;
    }
    if ((p[5] & 0x08) && at + 6 <= end) *opcr = at;
}

// The PTS and DTS offsets of a PES header that begins in this packet (0 when absent).
void stamp_fields(const uint8_t* p, size_t* pts, size_t* dts) {
    *pts = *dts = 0;
    if (!(p[1] & 0x40) || !has_payload(p)) return;
    size_t at = 4;
    if (has_adaptation(p)) at += 1 + size_t(p[4]);
    if (at + 19 > kPacket) return;
    const uint8_t* b = p + at;
    if (b[0] != 0 || b[1] != 0 || b[2] != 1) return;
    uint8_t id = b[3];
    // Streams without the optional PES header.
    if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 ||
        id == 0xF8 || id == 0xFF)
        return;
    if ((b[6] & 0xC0) != 0x80) return;
    uint8_t flags = b[7] >> 6;
    if (flags & 2) *pts = at + 9;
    if (flags == 3) *dts = at + 14;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: repeat_ts IN.ts OUT.ts COUNT\n");
        return 1;
    }
    long count = std::strtol(argv[3], nullptr, 10);
    if (count < 1) {
        std::fprintf(stderr, "repeat_ts: COUNT must be at least 1\n");
        return 1;
    }
    FILE* in = std::fopen(argv[1], "rb");
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> ts;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) ts.insert(ts.end(), chunk, chunk + n);
    std::fclose(in);
    if (ts.empty() || ts.size() % kPacket != 0) {
        std::fprintf(stderr, "repeat_ts: %s is not a whole number of 188-byte packets\n", argv[1]);
        return 1;
    }
    const size_t packets = ts.size() / kPacket;
    for (size_t i = 0; i < packets; ++i)
        if (ts[i * kPacket] != kSync) {
            std::fprintf(stderr, "repeat_ts: packet %zu of %s has no sync byte\n", i, argv[1]);
            return 1;
        }

    // The input's rate from its first and last PCR, the span of its time
    // stamps, and each PID's counter step.
    bool have_pcr = false;
    uint64_t first_pcr = 0, last_pcr = 0, first_pcr_at = 0, last_pcr_at = 0;
    std::vector<uint64_t> min_stamp(kPidCount, UINT64_MAX), max_stamp(kPidCount, 0);
    std::vector<int> first_cc(kPidCount, -1), last_cc(kPidCount, -1);
    for (size_t i = 0; i < packets; ++i) {
        const uint8_t* p = &ts[i * kPacket];
        uint32_t pid = pid_of(p);
        size_t pcr, opcr, pts, dts;
        clock_fields(p, &pcr, &opcr);
        if (pcr) {
            uint64_t v = get_clock(p + pcr);
            if (!have_pcr) {
                first_pcr = v;
                first_pcr_at = i;
                have_pcr = true;
            }
            last_pcr = v;
            last_pcr_at = i;
        }
        stamp_fields(p, &pts, &dts);
        for (size_t f : {pts, dts}) {
            if (!f) continue;
            uint64_t t = get_stamp(p + f);
            if (t < min_stamp[pid]) min_stamp[pid] = t;
            if (t > max_stamp[pid]) max_stamp[pid] = t;
        }
        if (has_payload(p)) {
            if (first_cc[pid] < 0) first_cc[pid] = p[3] & 0x0F;
            last_cc[pid] = p[3] & 0x0F;
        }
    }
    if (!have_pcr || last_pcr_at == first_pcr_at || last_pcr <= first_pcr) {
        std::fprintf(stderr, "repeat_ts: %s needs at least two rising PCRs\n", argv[1]);
        return 1;
    }
    // Duration of all the bytes at the PCR rate, in whole 90 kHz ticks.
    double ticks_per_packet = double(last_pcr - first_pcr) / double(last_pcr_at - first_pcr_at);
    uint64_t shift = uint64_t(ticks_per_packet * double(packets) / double(kTicksPerBase) + 0.5);
    uint64_t span = 0;
    for (uint32_t pid = 0; pid < kPidCount; ++pid)
        if (min_stamp[pid] <= max_stamp[pid] && max_stamp[pid] - min_stamp[pid] > span)
            span = max_stamp[pid] - min_stamp[pid];
    if (shift <= span) shift = span + 1;
    std::vector<int> step(kPidCount, 0);
    for (uint32_t pid = 0; pid < kPidCount; ++pid)
        if (first_cc[pid] >= 0) step[pid] = (last_cc[pid] + 1 - first_cc[pid]) & 0x0F;

    FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    static char buffer[kOutputBuffer];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    std::vector<uint8_t> rep(ts);
    for (long k = 0; k < count; ++k) {
        const uint64_t base_shift = shift * uint64_t(k);
        for (size_t i = 0; i < packets; ++i) {
            const uint8_t* src = &ts[i * kPacket];
            uint8_t* p = &rep[i * kPacket];
            uint32_t pid = pid_of(src);
            if (pid == kNullPid) continue;
            p[3] = uint8_t((src[3] & 0xF0) | ((src[3] + step[pid] * k) & 0x0F));
            size_t pcr, opcr, pts, dts;
            clock_fields(src, &pcr, &opcr);
            if (pcr) set_clock(p + pcr, get_clock(src + pcr) + base_shift * kTicksPerBase);
            if (opcr) set_clock(p + opcr, get_clock(src + opcr) + base_shift * kTicksPerBase);
            stamp_fields(src, &pts, &dts);
            if (pts) set_stamp(p + pts, get_stamp(src + pts) + base_shift);
            if (dts) set_stamp(p + dts, get_stamp(src + dts) + base_shift);
        }
        if (std::fwrite(rep.data(), 1, rep.size(), out) != rep.size()) {
            std::fprintf(stderr, "repeat_ts: write to %s failed\n", argv[2]);
            std::fclose(out);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "repeat_ts: write to %s failed\n", argv[2]);
        return 1;
    }
    std::fprintf(stderr, "repeat_ts: %s: %ld x %zu packets, each repetition %.3f s later\n",
                 argv[2], count, packets, double(shift) / 90000.0);
    return 0;
}
