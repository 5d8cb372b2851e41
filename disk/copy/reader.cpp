// The recording reader: a recording is a chain of clusters that begins with
// the 212-byte recording header; transport packets follow and run on across
// cluster boundaries, so a packet may be split between two clusters. The
// reader hands out one whole packet at a time, in place where it can.
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/copy/copy.h"

namespace {

// A packet split between two clusters is joined here. Shared by all readers.
uint8_t local_ts_packet[kTsPacketSize];

const recording_entry* entry_of(const recording_reader* reader) {
    return &qv->recordings[reader->index];
}

bool last_cluster(const recording_reader* reader) { return reader->next_cluster == kEndOfChain; }

// The stream is over: every later call returns null.
const uint8_t* end_stream(recording_reader* reader) {
    reader->limit = 0;
    reader->pos = 0;
    reader->next_cluster = kEndOfChain;
    return nullptr;
}

// Valid bytes of the cluster now in data: all of it, or for the last cluster
// of the chain all but the recording's slack (none when the slack is larger
// than the cluster, which is reported).
uint32_t valid_length(const recording_reader* reader) {
    if (!last_cluster(reader)) return qv->cluster_size;
    uint32_t slack = entry_of(reader)->last_cluster_slack;
    if (slack <= qv->cluster_size) return qv->cluster_size - slack;
    qv_inform(reader->callback,
              "Recording %s: slack %u of the last cluster %x is larger than the cluster\n",
              entry_of(reader)->name, slack, reader->cluster);
    return 0;
}

// Takes the next cluster of the chain into data, read ahead by the chain
// reader. Unreadable sectors are zero bytes in data and listed in bad; each
// area of them within the valid data goes to the timeline of losses. Nonzero when there is
// no next cluster or it cannot be read at all (the read's message in
// qv_error, error set), or when it is the first and its recording header is
// unreadable.
int load_cluster(recording_reader* reader, bool first) {
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
    reader->next_cluster = c->next;
    reader->pos = 0;
    reader->bad_next = 0;
    reader->limit = valid_length(reader);
    reader->unreadable_bytes += account_cluster(reader->losses, c->data, &c->bad,
                                                cluster_position(c->cluster), reader->limit);
    reader->untried += untried_bytes(&c->bad, reader->limit);
    return 0;
}

// Whether bytes [from, to) of data touch an unreadable sector. Runs before
// bad_next end before pos, which only grows within a cluster.
bool touches_bad(recording_reader* reader, uint32_t from, uint32_t to) {
    reader->bad_next = bad_run_after(reader->bad, from, reader->bad_next);
    return reader->bad_next < reader->bad->count &&
           bad_run_start(reader->bad, reader->bad_next) < to;
}

// Where the next unreadable area at or behind from begins (limit when none).
uint32_t next_bad_start(recording_reader* reader, uint32_t from) {
    reader->bad_next = bad_run_after(reader->bad, from, reader->bad_next);
    if (reader->bad_next == reader->bad->count) return reader->limit;
    uint64_t start = bad_run_start(reader->bad, reader->bad_next);
    return start > from ? uint32_t(start) : from;
}

// Hands out packet p, noting how many packets were left out just before it.
const uint8_t* hand_out(recording_reader* reader, const uint8_t* p) {
    reader->gap_packets = reader->lost_packets - reader->lost_at_return;
    reader->lost_at_return = reader->lost_packets;
    return p;
}

// Out of step: skips to the next sync byte, but not into an unreadable area
// (its packets are counted as they are stepped over).
void resync(recording_reader* reader) {
    const uint32_t pos = reader->pos;
    const uint32_t scan_end = next_bad_start(reader, pos);
    const void* sync = memchr(reader->data + pos, kTsSyncByte, scan_end - pos);
    reader->pos = sync ? uint32_t(static_cast<const uint8_t*>(sync) - reader->data) : scan_end;
}

// The one end-of-stream rule for a packet cut short: a last cluster that
// holds fewer valid bytes than the packet reaching into it needs from its
// start is reported, and the stream ends there.
bool cut_by_last_cluster(const recording_reader* reader, uint32_t needed) {
    if (reader->limit >= needed) return false;
    qv_inform(reader->callback,
              "Recording %s: last cluster %x holds only %u valid bytes, packet cut\n",
              entry_of(reader)->name, reader->cluster, reader->limit);
    return true;
}

// Moves on to the next cluster of the chain, where the packet in hand needs
// its first needed bytes. False when the stream ends: the chain's end, a
// damaged link or a cluster read before (reported: the chain ends there, as
// in the raw copy), a read error (error set), or a last cluster that cannot
// hold what the packet needs.
bool next_cluster_for(recording_reader* reader, uint32_t needed) {
    if (last_cluster(reader)) return false;
    if (recording_chain_damaged(reader->now, entry_of(reader)->name)) {
        if (reader->callback) reader->callback(-1, qv_error);
        note_cut(reader->losses);
        return false;
    }
    if (load_cluster(reader, false) != 0) return false;
    return reader->limit != 0 && !cut_by_last_cluster(reader, needed);
}

// A packet that begins where the cluster begins, when it is whole and readable.
uint32_t packet_at_start(recording_reader* reader) {
    if (reader->data[0] != kTsSyncByte || touches_bad(reader, 0, reader->limit)) return 0;
    return kTsPacketSize;
}

// The packet at pos runs on into the next cluster: its two parts joined in
// local_ts_packet. Null when it is lost (a part touches an unreadable byte)
// or the stream ends; the next packet is expected a packet later either way.
const uint8_t* join_split_packet(recording_reader* reader, bool first_part_bad) {
    const uint32_t first = reader->limit - reader->pos;
    const uint32_t rest = kTsPacketSize - first;
    memcpy(local_ts_packet, reader->data + reader->pos, first);
    // An incomplete last packet is dropped as it always is.
    if (last_cluster(reader)) return end_stream(reader);
    if (first_part_bad) reader->lost_packets++;
    if (!next_cluster_for(reader, rest)) return end_stream(reader);
    reader->pos = rest;
    if (first_part_bad) return nullptr;
    if (touches_bad(reader, 0, rest)) {
        reader->lost_packets++;
        return nullptr;
    }
    memcpy(local_ts_packet + first, reader->data, rest);
    return local_ts_packet;
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
    recording_reader* reader = static_cast<recording_reader*>(calloc(1, sizeof(recording_reader)));
    if (!reader) {
        qv_set_error("malloc for bufferred reading failed\n");
        return nullptr;
    }
    reader->index = index;
    reader->callback = callback;
    reader->losses = open_losses(index, callback);
    reader->chain = open_chain(entry->start_cluster);
    if (!reader->chain || load_cluster(reader, true) != 0) {
        close_recording_file(reader);
        return nullptr;
    }
    memcpy(reader->rec_header, reader->data, kRecordingHeaderSize);
    if (find_first_packet(reader->data, reader->limit, &reader->pos)) return reader;
    qv_set_error("Start of TS packets not found in file %s.\n", entry->name);
    close_recording_file(reader);
    return nullptr;
}

const uint8_t* read_ts_packet(recording_reader* reader) {
    if (!reader) return nullptr;
    while (reader->limit != 0) {
        const uint32_t pos = reader->pos;
        const uint32_t limit = reader->limit;
        if (pos >= limit) {
            // Nothing more in this cluster: go on at the start of the next.
            if (!next_cluster_for(reader, 0) ||
                cut_by_last_cluster(reader, packet_at_start(reader)))
                return end_stream(reader);
            continue;
        }
        const bool bad =
            touches_bad(reader, pos, pos + kTsPacketSize < limit ? pos + kTsPacketSize : limit);
        if (!bad && reader->data[pos] != kTsSyncByte) {
            resync(reader);
            continue;
        }
        if (pos + kTsPacketSize > limit) {
            if (const uint8_t* joined = join_split_packet(reader, bad))
                return hand_out(reader, joined);
            continue;
        }
        reader->pos = pos + kTsPacketSize;
        // A packet that touches unreadable bytes is left out whole.
        if (!bad) return hand_out(reader, reader->data + pos);
        reader->lost_packets++;
    }
    return nullptr;
}

void close_recording_file(recording_reader* reader) {
    if (!reader) return;
    close_chain(reader->chain);
    free_losses(reader->losses);
    free(reader);
}

uint32_t header_pid(const recording_reader* reader, size_t offset) {
    if (offset + 2 > kRecordingHeaderSize) return 0;
    return header_field_pid(reader->rec_header, offset);
}

bool reader_next_in_place(const recording_reader* reader) {
    const uint32_t pos = reader->pos;
    if (reader->limit == 0 || pos + kTsPacketSize > reader->limit ||
        reader->data[pos] != kTsSyncByte)
        return false;
    uint32_t i = bad_run_after(reader->bad, pos, reader->bad_next);
    return i == reader->bad->count || bad_run_start(reader->bad, i) >= pos + kTsPacketSize;
}
