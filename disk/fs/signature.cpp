// Cluster signatures for the salvage's carving: read where the carving
// needs them, the first and the last kEdgeWindow bytes of a cluster each
// once (and the bytes between only where the stream of a lost recording's
// last cluster may end inside it), and keeps of each what the matching
// needs: where its run of transport packets begins, whether the packets run
// on to its end and how much of the packet split there the next cluster
// holds, the first continuity counter of each PID at its start and the last
// at its end, the first and the last PCR, where its stream ends, and whether
// it begins with a recording header.
#include <cstring>

#include "disk/fs/fs.h"

namespace {

// Packets in step that make a stream (fewer are a chance of the bytes).
constexpr uint32_t kMinRun = 4;
constexpr uint32_t kRunSpan = (kMinRun - 1) * kTsPacketSize;

// The first offset in [from, to) where kMinRun packets begin in step, or to.
uint32_t find_run(const uint8_t* d, uint32_t from, uint32_t to) {
    if (to < kRunSpan + 1) return to;
    const uint32_t last = to - kRunSpan;  // a run must fit before to
    for (uint32_t p = from; p < last; ++p) {
        const void* s = memchr(d + p, kTsSyncByte, last - p);
        if (!s) break;
        p = uint32_t(static_cast<const uint8_t*>(s) - d);
        uint32_t k = 1;
        while (k < kMinRun && d[p + k * kTsPacketSize] == kTsSyncByte) ++k;
        if (k == kMinRun) return p;
    }
    return to;
}

// The first position from p on, a packet at a time, that holds no sync byte
// or lies at or beyond to.
uint32_t run_end(const uint8_t* d, uint32_t p, uint32_t to) {
    while (p < to && d[p] == kTsSyncByte) p += kTsPacketSize;
    return p;
}

// The end of the last whole packet of a run that stopped at stop in a
// cluster of size bytes (a packet that begins inside and ends beyond is
// not whole).
uint32_t whole_end(uint32_t stop, uint32_t size) {
    return stop <= size ? stop : stop - kTsPacketSize;
}

// The PIDs of the packets of one window and how often each occurs (PAT and
// stuffing carry no recording), with the first counter of each (the head)
// or the last (the tail).
constexpr uint32_t kTallyPids = 16;
struct pid_tally {
    uint32_t n;
    uint16_t pid[kTallyPids];
    uint16_t seen[kTallyPids];
    uint8_t counter[kTallyPids];
};

uint8_t counter_of(const uint8_t* packet) {
    return uint8_t(ts_continuity(packet) | (ts_has_payload(packet) ? kEdgePayload : 0));
}

void tally_packet(pid_tally* t, const uint8_t* packet, bool keep_first) {
    const uint32_t pid = ts_pid(packet);
    if (pid == 0 || pid == kNullPid) return;
    uint32_t i = 0;
    while (i < t->n && t->pid[i] != pid) ++i;
    if (i == t->n) {
        if (t->n == kTallyPids) return;
        t->n++;
        t->pid[i] = uint16_t(pid);
        t->seen[i] = 0;
        t->counter[i] = counter_of(packet);
    } else if (!keep_first) {
        t->counter[i] = counter_of(packet);
    }
    if (t->seen[i] < UINT16_MAX) t->seen[i]++;
}

// The kEdgePids PIDs seen most often (the video and the audio of a
// recording, whatever else its stream carries) into the edge.
void keep_most_seen(pid_tally* t, stream_edge* e) {
    while (e->pid_count < kEdgePids && t->n > 0) {
        uint32_t most = 0;
        for (uint32_t i = 1; i < t->n; ++i)
            if (t->seen[i] > t->seen[most]) most = i;
        e->pid[e->pid_count] = t->pid[most];
        e->counter[e->pid_count++] = t->counter[most];
        t->n--;
        t->pid[most] = t->pid[t->n];
        t->seen[most] = t->seen[t->n];
        t->counter[most] = t->counter[t->n];
    }
}

// The PCR of the whole packet at offset into the edge: the first one seen
// (the head) or the last (the tail).
void note_pcr(stream_edge* e, const uint8_t* packet, uint32_t offset, bool keep_first) {
    uint64_t pcr = 0;
    if ((keep_first && e->pcr_pid != kNullPid) || !ts_pcr(packet, &pcr)) return;
    e->pcr_pid = uint16_t(ts_pid(packet));
    e->pcr_offset = offset;
    e->pcr = pcr;
}

// What the packets in step from first on show (up to the first place
// without a sync byte, headers within limit) into the edge.
void read_edge(const uint8_t* d, uint32_t first, uint32_t limit, bool keep_first, stream_edge* e) {
    pid_tally tally = {};
    for (uint32_t p = first; p + kTsHeaderSize <= limit && d[p] == kTsSyncByte;
         p += kTsPacketSize) {
        tally_packet(&tally, d + p, keep_first);
        if (p + kTsPacketSize <= limit) note_pcr(e, d + p, p, keep_first);
    }
    keep_most_seen(&tally, e);
}

// Where a stream too short for a run begins at the start of a cluster (a
// recording's last cluster may hold only a few packets): a whole packet
// within the first packet's length, or limit.
uint32_t find_short_run(const uint8_t* d, uint32_t limit) {
    if (limit < kTsPacketSize) return limit;
    const void* s = memchr(
        d, kTsSyncByte,
        limit - kTsPacketSize + 1 < kTsPacketSize ? limit - kTsPacketSize + 1 : kTsPacketSize);
    return s ? uint32_t(static_cast<const uint8_t*>(s) - d) : limit;
}

// The head: the first run of packets in [0, limit) and what its packets show.
void read_head(const uint8_t* d, uint32_t limit, cluster_signature* s) {
    uint32_t first = find_run(d, 0, limit);
    if (first == limit) first = find_short_run(d, limit);
    if (first == limit) return;
    s->first_packet = uint16_t(first < kNoPacket ? first : kNoPacket);
    read_edge(d, first, limit, true, &s->head);
}

// The tail: the last run of packets in [from, size); when it reaches the
// end, how much of its split last packet the next cluster holds, and what
// its packets show.
void read_tail(const uint8_t* d, uint32_t from, uint32_t size, cluster_signature* s) {
    uint32_t start = find_run(d, from, size);
    if (start == size) return;
    uint32_t stop = run_end(d, start, size);
    while (stop < size) {
        const uint32_t next = find_run(d, stop + 1, size);
        if (next == size) return;  // the stream ends inside the cluster
        start = next;
        stop = run_end(d, start, size);
    }
    s->flags |= kSigTailToEnd;
    s->rest = uint8_t(stop - size);
    read_edge(d, start, size, false, &s->tail);
}

// Reads bytes [from, from + length) of cluster c into d at their place
// (zeros where they cannot be read); true when a sector could not be read.
bool read_window(uint32_t c, uint8_t* d, uint32_t from, uint32_t length) {
    static bad_sectors unread;
    const int r = qv_read_salvage(cluster_position(c) + from, d + from, length, 1, &unread);
    if (r == kSalvageFailed) memset(d + from, 0, length);
    return r != kSalvageComplete;
}

// The header fields and whether the cluster begins with a recording header.
void read_header(const uint8_t* d, uint32_t limit, cluster_signature* s) {
    if (limit < kRecordingHeaderSize) return;
    s->header_pid[0] = uint16_t(header_field_pid(d, kHeaderVideoPid));
    s->header_pid[1] = uint16_t(header_field_pid(d, kHeaderAudioPid));
    s->header_pid[2] = uint16_t(header_field_pid(d, kHeaderPmtPid));
    if (holds_recording_header(d, limit)) s->flags |= kSigHeader;
}

// The windows of a cluster: the head is [0, head_end), the tail [tail_from,
// size); a small cluster is read whole at once (its windows then overlap).
struct cluster_windows {
    uint32_t size, head_end, tail_from;
    bool whole;
};

cluster_windows windows_of_cluster() {
    const uint32_t size = qv->cluster_size;
    const bool whole = size <= 2 * kEdgeWindow;
    return {size, whole ? size : kEdgeWindow, size > kEdgeWindow ? size - kEdgeWindow : 0, whole};
}

// The first position at or behind from in step with the packet at first.
uint32_t in_step_from(uint32_t first, uint32_t from) {
    return from <= first
               ? first
               : first + (from - first + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
}

// What the tail tells of where the run from first_packet ends, once both
// windows are read: the end itself, or (kSigEndInMiddle) where the run stops
// in the tail window when the bytes between must tell.
void note_stream_end(const uint8_t* d, const cluster_windows& w, cluster_signature* s) {
    const uint32_t first = s->first_packet;
    if (first == kNoPacket || !(s->flags & kSigEndInMiddle)) return;
    s->flags &= uint8_t(~kSigEndInMiddle);
    if (w.whole) {
        s->stream_end = whole_end(run_end(d, first, w.size), w.size);
    } else if ((s->flags & kSigTailToEnd) && (w.size + s->rest - first) % kTsPacketSize == 0) {
        s->stream_end = whole_end(w.size + s->rest, w.size);
    } else {
        s->stream_end = run_end(d, in_step_from(first, w.tail_from), w.size);
        s->flags |= kSigEndInMiddle;
    }
}

// The head window of cluster c read into d and what it shows.
void sign_head(uint32_t c, uint8_t* d, const cluster_windows& w, cluster_signature* s) {
    s->flags |= kSigHeadRead;
    if (read_window(c, d, 0, w.head_end))
        s->flags |= w.whole ? kSigHeadUnread | kSigTailUnread : kSigHeadUnread;
    memcpy(s->first_bytes, d, kStraddleBytes);
    read_header(d, w.head_end, s);
    read_head(d, w.head_end, s);
    if (s->first_packet == kNoPacket) return;
    // A run that stops inside the head window ends the stream there.
    const uint32_t stop = run_end(d, s->first_packet, w.head_end);
    if (stop < w.head_end)
        s->stream_end = stop;
    else
        s->flags |= kSigEndInMiddle;
}

// The tail window of cluster c (whose head is read) into d and what it shows.
void sign_tail(uint32_t c, uint8_t* d, const cluster_windows& w, cluster_signature* s) {
    s->flags |= kSigTailRead;
    if (!w.whole && read_window(c, d, w.tail_from, w.size - w.tail_from))
        s->flags |= kSigTailUnread;
    memcpy(s->last_bytes, d + w.size - kStraddleBytes, kStraddleBytes);
    read_tail(d, w.tail_from, w.size, s);
    note_stream_end(d, w, s);
}

}  // namespace

void clear_signature(cluster_signature* s) {
    memset(s, 0, sizeof *s);
    s->first_packet = kNoPacket;
    s->head.pcr_pid = s->tail.pcr_pid = kNullPid;
}

bool read_edges(uint32_t c, bool with_tail, cluster_signature* s) {
    const uint8_t unread_before = s->flags & (kSigHeadUnread | kSigTailUnread);
    const cluster_windows w = windows_of_cluster();
    uint8_t* d = hold_cluster_buffer("the signatures");
    if (!(s->flags & kSigHeadRead)) {
        sign_head(c, d, w, s);
        if (w.whole) sign_tail(c, d, w, s);
    }
    if (with_tail && !(s->flags & kSigTailRead)) sign_tail(c, d, w, s);
    release_cluster_buffer();
    return !unread_before && (s->flags & (kSigHeadUnread | kSigTailUnread));
}

uint32_t stream_end_of(uint32_t c, cluster_signature* s) {
    const cluster_windows w = windows_of_cluster();
    if (s->first_packet == kNoPacket) return w.size;
    if (!(s->flags & kSigEndInMiddle)) return s->stream_end;
    // The run reached the end of the head window and does not run in step
    // to the cluster's end: the bytes between tell where it stops.
    uint8_t* d = hold_cluster_buffer("a stream's end");
    read_window(c, d, w.head_end, w.tail_from - w.head_end);
    const uint32_t stop = run_end(d, in_step_from(s->first_packet, w.head_end), w.tail_from);
    release_cluster_buffer();
    return stop < w.tail_from ? stop : whole_end(s->stream_end, w.size);
}

uint32_t read_signatures(cluster_signature* sig, uint32_t count, const cluster_bitmap* which,
                         bool with_tail, bool show_percent) {
    uint32_t total = 0, done = 0, unreadable = 0;
    for (uint32_t c = 0; c < count; ++c) total += has_cluster(which, c);
    int last = -1;
    for (uint32_t c = 0; c < count; ++c) {
        if (!has_cluster(which, c)) continue;
        if (show_percent) qv_report_percent(qv->progress, done++, total, &last);
        unreadable += read_edges(c, with_tail, &sig[c]);
    }
    if (show_percent) qv_report_percent(qv->progress, total, total, &last);
    return unreadable;
}
