// The transport stream demultiplexer: collects the payload of the transport
// packets of each attached PID into PES packets, hands every finished PES
// packet to the stream's output function, and estimates the 27 MHz system
// clock from the PCRs for the program-stream writers.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "mpeg/mpeg.h"

namespace {

constexpr uint32_t kCounterModulo = 16;

constexpr double kBitsPerPacket = kTsPacketSize * 8.0;  // 1504
// The estimate advances 5 % slower than the measured rate, so it stays
// behind the true clock until the next PCR.
constexpr double kClockSlowdown = 1.05;
// An offset beyond the 42-bit clock range means nothing; it is held there.
constexpr double kOffsetLimit = double(kClockMask42);

demux_counts counts;

// The clock state of one run, shared by all PIDs.
struct clock_state {
    uint64_t last_pcr;         // 27 MHz units
    uint64_t last_pcr_packet;  // 0: no PCR seen yet
    double bit_rate;           // bits per 27 MHz tick; 0.0 unknown
    double divisor;            // bit_rate * kClockSlowdown, kept with it
    uint64_t latest;           // the estimate never goes below this
    bool restart;              // a discontinuity was signalled: the next PCR starts again
};

// A PCR measures the bit rate against the previous one. A PCR below the
// previous one (a clock jump, or the wrap after 26.5 hours) or a signalled
// discontinuity starts the measurement again from this PCR; the rate keeps
// its last value meanwhile.
void take_pcr(clock_state& clock, uint64_t pcr, uint64_t packet) {
    if (clock.last_pcr_packet != 0 && !clock.restart && pcr >= clock.last_pcr) {
        clock.bit_rate =
            double(packet - clock.last_pcr_packet) * kBitsPerPacket / double(pcr - clock.last_pcr);
        clock.divisor = clock.bit_rate * kClockSlowdown;
    }
    clock.last_pcr = pcr;
    clock.last_pcr_packet = packet;
    clock.restart = false;
}

// The estimated clock for packet number `packet`, less the lead, as the
// program-stream writer takes it for its SCR.
uint64_t estimate_scr(clock_state& clock, uint64_t packet) {
    uint64_t offset = 0;
    // Two equal PCRs give an infinite rate: no offset then either.
    if (clock.bit_rate != 0.0 && std::isfinite(clock.bit_rate)) {
        double d = double(packet - clock.last_pcr_packet) * kBitsPerPacket / clock.divisor;
        offset = d < kOffsetLimit ? uint64_t(d) : kClockMask42;
    }
    uint64_t estimate = (clock.last_pcr + offset) & kClockMask42;
    if (estimate < clock.latest)
        estimate = clock.latest;
    else
        clock.latest = estimate;
    return (estimate - kScrLead) & kClockMask42;
}

// Continuity of one PID as receivers check it: a packet that repeats the
// counter of the previous one is a duplicate and is dropped once; the
// discontinuity_indicator allows any counter. Returns true when the packet
// is to be used.
bool check_continuity(demux_stream* s, uint32_t cc, bool discontinuity) {
    if (s->next_cc >= 0 && !discontinuity && int32_t(cc) != s->next_cc) {
        if (int32_t(cc) != s->last_cc)
            s->duplicates = 0;
        else if (++s->duplicates == 1)
            return false;  // the one repeat a multiplexer may send
        ++counts.out_of_sequence;
        s->length = 0;
        s->last_cc = int32_t(cc);
        s->next_cc = int32_t((cc + 1) % kCounterModulo);
        return false;
    }
    s->duplicates = 0;
    s->last_cc = int32_t(cc);
    s->next_cc = int32_t((cc + 1) % kCounterModulo);
    return true;
}

// Appends a continuation payload, splitting through repack_fn at
// repack_size. Returns nonzero when an output function failed.
int append_payload(demux_stream* s, const uint8_t* payload, int32_t size,
                   progress_callback callback) {
    int32_t n = s->length + size;
    if (n > int32_t(kPesBufferSize)) {
        qv_inform(callback, "\nPacket too long!\n");
        return 0;
    }
    if (s->repack_size != 0 && n > s->repack_size) {
        int32_t first = s->repack_size - s->length;
        memcpy(s->buffer + s->length, payload, size_t(first));
        s->length = s->repack_size;
        if (s->repack_fn(s) != 0) return 1;
        int32_t rest = size - first;
        // A split function that keeps more than leaves room loses the packet
        // rather than overrunning the buffer.
        if (s->length < 0 || s->length + rest > s->repack_size) {
            s->length = 0;
            return 0;
        }
        memcpy(s->buffer + s->length, payload + first, size_t(rest));
        s->length += rest;
        return 0;
    }
    memcpy(s->buffer + s->length, payload, size_t(size));
    s->length = n;
    return 0;
}

// Flushes every attached output file; a flush that fails is a write failure.
int flush_outputs(demux_table* table) {
    for (int i = 0; i < table->attached; ++i) {
        demux_stream* s = table->streams[i];
        if (s->file && fflush(s->file) != 0) {
            qv_write_failed(kDiskFullMessage);
            return 1;
        }
    }
    return 0;
}

// Packets left out where the recording could not be read break the
// continuity of every stream: what was being collected is dropped, and the
// next counter of each PID is taken as its first.
void break_continuity(demux_table* table) {
    for (int i = 0; i < table->attached; ++i) {
        demux_stream* s = table->streams[i];
        s->length = 0;
        s->next_cc = -1;
        s->last_cc = -1;
        s->duplicates = 0;
    }
}

// At the end of the recording the PES packet each attached stream is still
// collecting is as whole as it will be: each goes to its output function, in
// the order in which they began, at the latest clock estimate. A read error
// that ended the recording keeps its message in qv_error. Returns nonzero
// when an output function failed.
int hand_over_last_packets(demux_table* table, const clock_state& clock) {
    uint64_t scr = (clock.latest - kScrLead) & kClockMask42;
    for (;;) {
        demux_stream* next = nullptr;
        for (int i = 0; i < table->attached; ++i) {
            demux_stream* s = table->streams[i];
            if (s->length != 0 && (!next || s->begun < next->begun)) next = s;
        }
        if (!next) break;
        next->scr = scr;
        int result = next->out_fn(next);
        next->length = 0;
        if (result != 0) return result;
    }
    return 0;
}

void show_counts(progress_callback callback) {
    if (counts.scrambled) qv_inform(callback, "%" PRId64 " packets scrambled\n", counts.scrambled);
    if (counts.out_of_sequence)
        qv_inform(callback, "%" PRId64 " packets out of sequence\n", counts.out_of_sequence);
    if (counts.bad_sync)
        qv_inform(callback, "%" PRId64 " packets with bad sync\n", counts.bad_sync);
}

// Every PCR counts for the clock, whatever its PID. The discontinuity may be
// signalled on a packet before the new time base's first PCR. Returns whether
// the packet signals one.
bool read_clock(clock_state& clock, const uint8_t* p, uint64_t packet) {
    const bool discontinuity = ts_discontinuity(p);
    if (discontinuity) clock.restart = true;
    uint64_t pcr;
    if (ts_pcr(p, &pcr)) take_pcr(clock, pcr, packet);
    return discontinuity;
}

// A packet of an attached stream: scrambled ones drop what was collected,
// the counter is checked, the payload collected; the PES packet before a
// unit start goes to the output function. Nonzero when an output or split
// function failed.
int take_packet(demux_stream* s, const uint8_t* p, bool discontinuity, clock_state& clock,
                uint64_t packet, progress_callback callback) {
    if (ts_scrambled(p)) {
        ++counts.scrambled;
        s->length = 0;
        return 0;
    }
    // Packets without payload carry no counter step.
    const uint32_t offset = ts_payload_offset(p);
    if (offset == kNoPayload) return 0;
    if (!check_continuity(s, ts_continuity(p), discontinuity)) return 0;
    s->scr = estimate_scr(clock, packet);
    const uint8_t* payload = p + offset;
    int32_t size = int32_t(kTsPacketSize - offset);
    if (!ts_unit_start(p)) return s->length != 0 ? append_payload(s, payload, size, callback) : 0;
    if (s->length != 0 && s->out_fn(s) != 0) return 1;
    memcpy(s->buffer, payload, size_t(size));
    s->length = size;
    s->begun = packet;
    return 0;
}

// The loop's verdict: the completion and the counts, or the failure, whose
// message the caller reports itself and which is kept across the counts.
int end_demux(const recording_reader* reader, int failed) {
    failed = recording_verdict(reader, failed);
    if (!failed) {
        qv_inform(reader->callback, "\rProcessing completed.\n");
        show_counts(reader->callback);
        return 0;
    }
    show_counts(reader->callback);
    return 1;
}

// Streams given back, kept for the next attach: each holds a PES buffer of
// a megabyte, which fresh would be mapped and faulted in anew for every
// conversion. Only the caller's thread attaches and frees.
struct stream_pool {
    demux_stream* kept[kMaxAttached];
    int count;
};
stream_pool pool;

demux_stream* take_stream() {
    if (pool.count > 0) return pool.kept[--pool.count];
    return static_cast<demux_stream*>(malloc(sizeof(demux_stream)));
}

void give_back_stream(demux_stream* s) {
    if (!s) return;
    if (pool.count < kMaxAttached) {
        pool.kept[pool.count++] = s;
        return;
    }
    free(s);
}

}  // namespace

demux_table* new_demux_table() {
    demux_table* table = static_cast<demux_table*>(calloc(1, sizeof(demux_table)));
    if (!table) qv_set_error("Allocation of demux table failed!\n");
    return table;
}

int demux_set(demux_table* table, uint32_t pid, demux_fn out_fn, FILE* file, int32_t repack_size,
              demux_fn repack_fn) {
    if (pid > kMaxPid) {
        qv_set_error("PID %u is not a transport stream PID (0 to %u)\n", pid, kMaxPid);
        return 1;
    }
    if (!repack_size_fits(repack_size, int32_t(kPesBufferSize))) return 1;
    if (repack_size != 0 && !repack_fn) {
        qv_set_error("Repack size %d needs a split function\n", repack_size);
        return 1;
    }
    // A second attach of the PID replaces the first, in its place in the order.
    int track = 0;
    while (track < table->attached && table->streams[track] != table->slot[pid]) ++track;
    if (track == kMaxAttached) {
        qv_set_error("No more than %d streams can be attached\n", kMaxAttached);
        return 1;
    }
    demux_stream* s = take_stream();
    if (!s) {
        qv_set_error("malloc of demux buffer failed!\n");
        return 1;
    }
    s->next_cc = -1;
    s->length = 0;
    s->repack_size = repack_size;
    s->scr = ~uint64_t(0);
    s->file = file;
    s->out_fn = out_fn;
    s->repack_fn = repack_fn;
    s->last_cc = -1;
    s->duplicates = 0;
    s->begun = 0;
    s->track = track;
    give_back_stream(table->slot[pid]);
    table->slot[pid] = s;
    table->streams[track] = s;
    if (track == table->attached) ++table->attached;
    return 0;
}

void free_demux_table(demux_table* table) {
    if (!table) return;
    for (int i = 0; i < table->attached; ++i) give_back_stream(table->streams[i]);
    free(table);
}

const demux_counts* last_demux_counts() { return &counts; }

int demux_loop(demux_table* table, recording_reader* reader) {
    counts = demux_counts{};
    progress_callback callback = reader->callback;
    packet_progress progress = start_packet_progress(reader, callback);
    clock_state clock{};
    uint64_t packet = 0;
    uint64_t skipped = 0;  // lost packets within the packet number
    int failed = 0;

    while (const uint8_t* p = read_ts_packet(reader)) {
        if (qv_interrupted) {
            qv_set_error("%s", kInterruptedMessage);
            failed = 1;
            break;
        }
        if (reader->gap_packets != 0) {
            packet += uint64_t(reader->gap_packets);  // the lost packets still count for the clock
            skipped += uint64_t(reader->gap_packets);
            break_continuity(table);
        }
        ++packet;
        report_packet(progress, packet);
        if (p[0] != kTsSyncByte) {
            ++counts.bad_sync;
            continue;
        }
        const bool discontinuity = read_clock(clock, p, packet);
        demux_stream* s = table->slot[ts_pid(p)];
        if (s && take_packet(s, p, discontinuity, clock, packet, callback) != 0) {
            failed = 1;
            break;
        }
    }
    counts.packets = int64_t(packet - skipped);
    // Packets lost at the very end cut what was being collected short.
    if (uint64_t(reader->lost_packets) > skipped) break_continuity(table);
    if (!failed) failed = hand_over_last_packets(table, clock);
    if (!failed) failed = flush_outputs(table);
    return end_demux(reader, failed);
}
