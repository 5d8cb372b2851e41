// The recording reader: a recording is a chain of clusters that begins with
// the 212-byte recording header; transport packets follow and run on across
// cluster boundaries, so a packet may be split between two clusters. The
// reader hands out one whole packet at a time, in place where it can.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/qvdisk.h"

namespace {

// A packet split between two clusters is joined here. Shared by all readers.
uint8_t local_ts_packet[kTsPacketSize];

const char* name_of(const recording_reader* reader) { return qv->recordings[reader->index].name; }

// The stream is over: every later call returns null.
const uint8_t* end_stream(recording_reader* reader) {
    reader->limit = 0;
    reader->pos = 0;
    reader->next_cluster = kEndOfChain;
    reader->link = kLinkEnd;
    return nullptr;
}

// Valid bytes of the cluster now in data: all of it, or for the last cluster
// of the chain all but the recording's slack.
uint32_t valid_length(const recording_reader* reader) {
    if (reader->link != kLinkEnd) return qv->cluster_size;
    uint32_t slack = qv->recordings[reader->index].last_cluster_slack;
    if (slack > qv->cluster_size) {
        qv_inform(reader->callback,
                  "Recording %s: slack %u of the last cluster %x is larger than the cluster\n",
                  name_of(reader), slack, reader->cluster);
        return 0;
    }
    return qv->cluster_size - slack;
}

// Takes the next cluster of the chain into data, read ahead by the chain
// reader. Unreadable sectors are zero bytes in data and listed in bad; each
// area of them within the valid data is shown at once. Nonzero when there is
// no next cluster or it cannot be read at all (the read's message in
// qv_error, error set), or when it is the first and its recording header is
// unreadable.
int load_cluster(recording_reader* reader, int first) {
    const chain_cluster* c = next_chain_cluster(reader->chain);
    if (!c) return 1;
    if (c->result == kSalvageFailed ||
        (first && bad_bytes_touch(&c->bad, 0, kRecordingHeaderSize))) {
        qv_set_error("%s", c->message);
        reader->error = 1;
        return 1;
    }
    reader->now = c;
    reader->data = c->data;
    reader->bad = &c->bad;
    reader->cluster = c->cluster;
    reader->link = c->link;
    reader->next_cluster = c->next;
    reader->pos = 0;
    reader->bad_next = 0;
    reader->limit = valid_length(reader);
    reader->unreadable_bytes +=
        report_unreadable(reader->callback, int64_t(uint64_t(c->cluster + 1) * qv->cluster_size),
                          &c->bad, reader->limit);
    return 0;
}

// Byte offsets in data of run i of the unreadable sectors.
uint32_t run_start(const recording_reader* reader, uint32_t i) {
    return reader->bad->first[i] * kSectorSize;
}
uint32_t run_end(const recording_reader* reader, uint32_t i) {
    return (reader->bad->first[i] + reader->bad->length[i]) * kSectorSize;
}

// The first run that ends behind from, from bad_next on (runs before it end
// at or before pos, which only grows within a cluster).
uint32_t run_from(const recording_reader* reader, uint32_t from) {
    uint32_t i = reader->bad_next;
    while (i < reader->bad->count && run_end(reader, i) <= from) ++i;
    return i;
}

// Whether bytes [from, to) of data touch an unreadable sector.
int touches_bad(recording_reader* reader, uint32_t from, uint32_t to) {
    reader->bad_next = run_from(reader, from);
    return reader->bad_next < reader->bad->count && run_start(reader, reader->bad_next) < to;
}

// Where the next unreadable area at or behind from begins (limit when none).
uint32_t next_bad_start(recording_reader* reader, uint32_t from) {
    reader->bad_next = run_from(reader, from);
    if (reader->bad_next == reader->bad->count) return reader->limit;
    uint32_t start = run_start(reader, reader->bad_next);
    return start > from ? start : from;
}

// A packet that touches unreadable bytes is left out.
void lose_packet(recording_reader* reader) { reader->lost_packets++; }

// Hands out packet p, noting how many packets were left out just before it.
const uint8_t* hand_out(recording_reader* reader, const uint8_t* p) {
    reader->gap_packets = reader->lost_packets - reader->lost_at_return;
    reader->lost_at_return = reader->lost_packets;
    return p;
}

// Moves on to the next cluster of the chain. Nonzero when there is none: the
// end of the chain, a damaged link or a cluster read before (reported: the
// chain ends there, as in the raw copy), or a read error (error set).
int load_next(recording_reader* reader) {
    if (reader->link == kLinkEnd) return 1;
    if (recording_chain_damaged(reader->now, name_of(reader))) {
        if (reader->callback) reader->callback(-1);
        return 1;
    }
    if (load_cluster(reader, 0) != 0) return 1;
    // A slack larger than the cluster has been reported: nothing of it is valid.
    if (reader->link == kLinkEnd &&
        qv->recordings[reader->index].last_cluster_slack > qv->cluster_size)
        return 1;
    return 0;
}

// The last cluster ends before the packet that reaches into it.
void report_short_last_cluster(const recording_reader* reader) {
    qv_inform(reader->callback,
              "Recording %s: last cluster %x holds only %u valid bytes, packet cut\n",
              name_of(reader), reader->cluster, reader->limit);
}

}  // namespace

recording_reader* open_recording_file(int index, progress_callback callback) {
    if (index < 0 || uint32_t(index) >= kMaxRecordings) {
        qv_set_error("Recording %d does not exist\n", index + 1);
        return nullptr;
    }
    const recording_entry* entry = &qv->recordings[index];
    if (qv->cluster_size < kRecordingHeaderSize || qv->cluster_size > kClusterBufferSize) {
        qv_set_error("Cluster size %u cannot be read\n", qv->cluster_size);
        return nullptr;
    }
    if (entry->start_cluster >= table_size()) {
        qv_set_error("Recording %s starts outside the table at cluster %x\n", entry->name,
                     entry->start_cluster);
        return nullptr;
    }
    recording_reader* reader = static_cast<recording_reader*>(malloc(sizeof(recording_reader)));
    if (!reader) {
        qv_set_error("malloc for bufferred reading failed\n");
        return nullptr;
    }
    reader->index = index;
    reader->callback = callback;
    reader->error = 0;
    reader->unreadable_bytes = 0;
    reader->lost_packets = 0;
    reader->gap_packets = 0;
    reader->lost_at_return = 0;
    reader->chain = open_chain(entry->start_cluster);
    if (!reader->chain || load_cluster(reader, 1) != 0) {
        close_recording_file(reader);
        return nullptr;
    }
    memcpy(reader->rec_header, reader->data, kRecordingHeaderSize);

    if (find_first_packet(reader->data, reader->limit, &reader->pos)) return reader;
    qv_set_error("Start of TS packets not found in file %s.\n", entry->name);
    close_recording_file(reader);
    return nullptr;
}

int find_first_packet(const uint8_t* data, uint32_t limit, uint32_t* pos) {
    // A packet that ends exactly where the recording ends has no successor
    // to test and is taken as it is.
    for (uint32_t o = kRecordingHeaderSize; o <= kFirstPacketSearchEnd; ++o) {
        if (o + kTsPacketSize > limit) break;
        if (data[o] != kTsSyncByte) continue;
        if (o + kTsPacketSize == limit || data[o + kTsPacketSize] == kTsSyncByte) {
            *pos = o;
            return 1;
        }
    }
    return 0;
}

const uint8_t* read_ts_packet(recording_reader* reader) {
    if (!reader) return nullptr;
    for (;;) {
        const uint32_t limit = reader->limit;
        if (limit == 0) return nullptr;
        uint32_t pos = reader->pos;
        if (pos < limit) {
            const uint32_t end = pos + kTsPacketSize < limit ? pos + kTsPacketSize : limit;
            if (touches_bad(reader, pos, end)) {
                // Left out whole; the next packet is expected a packet later,
                // also when this one runs on into the next cluster.
                if (pos + kTsPacketSize <= limit) {
                    lose_packet(reader);
                    reader->pos = pos + kTsPacketSize;
                    continue;
                }
                // An incomplete last packet is dropped as it always is.
                if (reader->link == kLinkEnd) return end_stream(reader);
                lose_packet(reader);
                const uint32_t rest = kTsPacketSize - (limit - pos);
                if (load_next(reader) != 0 || reader->limit < rest) return end_stream(reader);
                reader->pos = rest;
                continue;
            }
            if (reader->data[pos] != kTsSyncByte) {
                // Out of step: skip to the next sync byte, but not into an
                // unreadable area (its packets are counted as they are stepped over).
                const uint32_t scan_end = next_bad_start(reader, pos);
                const void* sync = memchr(reader->data + pos, kTsSyncByte, scan_end - pos);
                reader->pos =
                    sync ? uint32_t(static_cast<const uint8_t*>(sync) - reader->data) : scan_end;
                continue;
            }
        }
        if (pos >= limit) {
            // Nothing more in this cluster: go on at the start of the next.
            if (load_next(reader) != 0) return end_stream(reader);
            if (reader->limit != 0 && reader->limit < kTsPacketSize &&
                reader->data[0] == kTsSyncByte && !touches_bad(reader, 0, reader->limit)) {
                report_short_last_cluster(reader);
                return end_stream(reader);
            }
            continue;
        }
        if (pos + kTsPacketSize <= limit) {
            reader->pos = pos + kTsPacketSize;
            return hand_out(reader, reader->data + pos);
        }
        // The packet runs on into the next cluster: join its two parts.
        const uint32_t first = limit - pos;
        const uint32_t rest = kTsPacketSize - first;
        memcpy(local_ts_packet, reader->data + pos, first);
        if (reader->link == kLinkEnd) return end_stream(reader);  // incomplete last packet
        if (load_next(reader) != 0) return end_stream(reader);
        if (reader->limit < rest) {
            report_short_last_cluster(reader);
            return end_stream(reader);
        }
        reader->pos = rest;
        if (touches_bad(reader, 0, rest)) {
            lose_packet(reader);
            continue;
        }
        memcpy(local_ts_packet + first, reader->data, rest);
        return hand_out(reader, local_ts_packet);
    }
}

void close_recording_file(recording_reader* reader) {
    if (!reader) return;
    close_chain(reader->chain);
    free(reader);
}

uint32_t header_pid(const recording_reader* reader, size_t offset) {
    if (offset + 2 > kRecordingHeaderSize) return 0;
    return get_be16(reader->rec_header + offset) & kPidMask;
}

int reader_next_in_place(const recording_reader* reader) {
    const uint32_t pos = reader->pos;
    if (reader->limit == 0 || pos + kTsPacketSize > reader->limit ||
        reader->data[pos] != kTsSyncByte)
        return 0;
    uint32_t i = run_from(reader, pos);
    return i == reader->bad->count || run_start(reader, i) >= pos + kTsPacketSize;
}
