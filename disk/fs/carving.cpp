// Carving: following a recording's chain by the content of its clusters
// where the allocation table cannot tell how it goes on. A cluster continues
// another when the packet split at the other's end completes at its start
// with the sync byte in place, the continuity counter of every PID of the
// recording that both show goes on, and its clock reference follows closely
// (never behind). The recorder writes mostly in order: the physically next
// cluster is tried first, then, through an index of every cluster by where
// its first packet lies and by its first PCR, the others. A cluster is taken
// into one chain only; the table's own links are kept where the content
// does not speak against them.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "disk/fs/fs.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint64_t kNoPcrKey = UINT64_MAX;  // sorts the clusters without a PCR last
// A PCR may run this far ahead of what the bytes between take at the
// stream's own rate; a cluster spanning more gives no rate.
constexpr uint64_t kClockSlack = kPcrTicksPerSecond;
constexpr uint64_t kLongestClusterTime = 60 * kPcrTicksPerSecond;

enum verdict { kContinues, kBreaks, kCannotTell };

// The header of the packet split at a cluster's end when it straddles the
// boundary: its PID (kNullPid when there is none) and counter.
struct packet_head {
    uint32_t pid;
    uint8_t counter;
};

}  // namespace

struct carving {
    const cluster_signature* sig;
    uint32_t count;
    const salvage_findings* found;
    cluster_bitmap taken;  // every cluster a chain has taken
    // The clusters that may continue a stream, by (first packet, first PCR,
    // number); those whose first packet lies at p from phase_start[p] on.
    uint32_t* order;
    uint32_t phase_start[kTsPacketSize + 1];
};

namespace {

uint64_t pcr_key(const cluster_signature& s) {
    return s.head.pcr_pid != kNullPid ? s.head.pcr : kNoPcrKey;
}

bool may_continue(const cluster_signature& s) {
    return s.first_packet < kTsPacketSize && !(s.flags & kSigHeader);
}

void build_index(carving* k) {
    uint32_t n = 0;
    for (uint32_t c = 1; c < k->count; ++c)
        if (may_continue(k->sig[c])) k->order[n++] = c;
    const cluster_signature* sig = k->sig;
    std::sort(k->order, k->order + n, [sig](uint32_t a, uint32_t b) {
        if (sig[a].first_packet != sig[b].first_packet)
            return sig[a].first_packet < sig[b].first_packet;
        if (pcr_key(sig[a]) != pcr_key(sig[b])) return pcr_key(sig[a]) < pcr_key(sig[b]);
        return a < b;
    });
    uint32_t i = 0;
    for (uint32_t p = 0; p <= kTsPacketSize; ++p) {
        while (i < n && sig[k->order[i]].first_packet < p) ++i;
        k->phase_start[p] = i;
    }
}

// The counter of pid at edge e (with kEdgePayload), or -1 when e lacks it.
int edge_counter(const stream_edge& e, uint32_t pid) {
    for (uint32_t i = 0; i < e.pid_count; ++i)
        if (e.pid[i] == pid) return e.counter[i];
    return -1;
}

packet_head straddler(const cluster_signature& a, const cluster_signature& b) {
    const uint32_t in_a = (kTsPacketSize - a.rest) % kTsPacketSize;
    if (in_a == 0 || in_a >= kTsHeaderSize) return {kNullPid, 0};
    uint8_t h[kTsHeaderSize];
    memcpy(h, a.last_bytes + kStraddleBytes - in_a, in_a);
    memcpy(h + in_a, b.first_bytes, kTsHeaderSize - in_a);
    return {ts_pid(h), uint8_t(ts_continuity(h) | (ts_has_payload(h) ? kEdgePayload : 0))};
}

// How many PIDs of the job continue their counters from a's end to b's
// start; -1 when one does not.
int counters_agree(const cluster_signature& a, const cluster_signature& b, const carve_job* job) {
    const packet_head split = straddler(a, b);
    const uint16_t* pids = job->pid_count ? job->pids : b.head.pid;
    const uint32_t n = job->pid_count ? job->pid_count : b.head.pid_count;
    int checked = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int head = edge_counter(b.head, pids[i]);
        const int tail = split.pid == pids[i] ? split.counter : edge_counter(a.tail, pids[i]);
        if (head < 0 || tail < 0) continue;
        // A packet without payload repeats the counter of the one before.
        const uint32_t step = (head & kEdgePayload) ? 1 : 0;
        if (((tail & kContinuityMask) + step) % kContinuityModulus != (head & kContinuityMask))
            return -1;
        ++checked;
    }
    return checked;
}

// The clock ticks that between bytes take at the rate of a's own PCRs (0
// when a gives none).
uint64_t expected_ticks(const cluster_signature& a, uint64_t between) {
    if (a.head.pcr_pid != a.tail.pcr_pid || a.tail.pcr_offset <= a.head.pcr_offset) return 0;
    const uint64_t span = (a.tail.pcr + kPcrModulus - a.head.pcr) % kPcrModulus;
    if (span > kLongestClusterTime) return 0;
    return span * between / (a.tail.pcr_offset - a.head.pcr_offset);
}

// The most a PCR at b's start may run ahead of a's last one.
uint64_t clock_window(const cluster_signature& a, uint32_t head_offset) {
    const uint64_t between = uint64_t(qv->cluster_size - a.tail.pcr_offset) + head_offset;
    return kClockSlack + expected_ticks(a, between);
}

bool clock_follows(const cluster_signature& a, const cluster_signature& b) {
    if (a.tail.pcr_pid == kNullPid || b.head.pcr_pid != a.tail.pcr_pid) return true;
    const uint64_t ahead = (b.head.pcr + kPcrModulus - a.tail.pcr) % kPcrModulus;
    return ahead <= clock_window(a, b.head.pcr_offset);
}

verdict continues(const carving* k, const carve_job* job, uint32_t c, uint32_t m) {
    const cluster_signature& a = k->sig[c];
    const cluster_signature& b = k->sig[m];
    if (!(a.flags & kSigTailToEnd) || (a.flags & kSigTailUnread) || (b.flags & kSigHeadUnread))
        return kCannotTell;
    if ((b.flags & kSigHeader) || b.first_packet != a.rest) return kBreaks;
    const int checked = counters_agree(a, b, job);
    if (checked < 0 || !clock_follows(a, b)) return kBreaks;
    return checked > 0 ? kContinues : kCannotTell;
}

// Whether m, taken by no chain, continues the stream of c.
bool continues_free(const carving* k, const carve_job* job, uint32_t c, uint32_t m) {
    return m < k->count && !has_cluster(&k->taken, m) && may_continue(k->sig[m]) &&
           continues(k, job, c, m) == kContinues;
}

// The first of order [from, to) whose first PCR is at most up_to that
// continues c (from lies at or past the first one at or behind the PCR
// looked for), or kNone.
uint32_t first_in(const carving* k, const carve_job* job, uint32_t c, const uint32_t* from,
                  const uint32_t* to, uint64_t up_to) {
    for (const uint32_t* m = from; m < to && pcr_key(k->sig[*m]) <= up_to; ++m)
        if (continues_free(k, job, c, *m)) return *m;
    return kNone;
}

// The cluster that continues c's stream: the physically next, else the one
// whose first PCR follows c's last most closely, else one without a PCR;
// kNone when none does.
uint32_t find_continuation(const carving* k, const carve_job* job, uint32_t c) {
    const cluster_signature& a = k->sig[c];
    if (!(a.flags & kSigTailToEnd) || (a.flags & kSigTailUnread)) return kNone;
    if (continues_free(k, job, c, c + 1)) return c + 1;
    const uint32_t* begin = k->order + k->phase_start[a.rest];
    const uint32_t* end = k->order + k->phase_start[a.rest + 1];
    const cluster_signature* sig = k->sig;
    const uint32_t* timed_end = std::partition_point(
        begin, end, [sig](uint32_t m) { return pcr_key(sig[m]) != kNoPcrKey; });
    uint32_t found = kNone;
    if (a.tail.pcr_pid == kNullPid) return first_in(k, job, c, begin, end, kNoPcrKey);
    const uint64_t from = a.tail.pcr;
    const uint64_t up_to = from + clock_window(a, 2 * kEdgeWindow);
    const uint32_t* first = std::partition_point(
        begin, timed_end, [sig, from](uint32_t m) { return pcr_key(sig[m]) < from; });
    found = first_in(k, job, c, first, timed_end, up_to);
    // The clock wraps: the window goes on from its lowest value.
    if (found == kNone && up_to >= kPcrModulus)
        found = first_in(k, job, c, begin, timed_end, up_to - kPcrModulus);
    if (found == kNone) found = first_in(k, job, c, timed_end, end, kNoPcrKey);
    return found;
}

// Whether the table's link from c to n may be followed: a next cluster
// within the table that neither copy failed to give, not the root, not
// taken yet (also not by this chain: no loop), not free and no entry's
// start (a file's, a directory's) or recording's header.
bool link_usable(const carving* k, uint32_t c, link_kind kind, uint32_t n) {
    return kind == kLinkNext && n != 0 && !has_cluster(&k->found->unknown_links, c) &&
           !has_cluster(&k->taken, n) && !has_cluster(&k->found->chain_starts, n) &&
           !(k->sig[n].flags & kSigHeader) && qv->fat[n] != kFreeCluster;
}

// Takes n into job's chain. True, for step.
bool take(carving* k, carve_job* job, uint32_t n) {
    add_cluster(&k->taken, n);
    job->last = n;
    job->length++;
    return true;
}

// Ends job's chain where it is, as its links say. False, for step.
bool end_here(carve_job* job) {
    job->ended = true;
    return false;
}

// Ends job's chain at its last cluster by content: no cluster continues it.
void end_by_content(carve_job* job) {
    const uint32_t c = job->last;
    if (job->unusable_from == kNone) job->unusable_from = c;
    qv->fat[c] = job->want ? kNoContinuation : kEndOfChain;
    job->cut = job->want != 0;
    job->ended = true;
}

// Whether job's chain, its last cluster c, stops with a packet split at c's
// end whose rest alone a last cluster may hold: a lost recording's, or an
// entry's one cluster short of its length whose last cluster holds that
// rest exactly.
bool waits_for_rest(const carve_job* job, const cluster_signature& a) {
    if (!(a.flags & kSigTailToEnd) || (a.flags & kSigTailUnread) || a.rest == 0) return false;
    return job->want == 0 || (job->length + 1 == job->want && job->last_bytes == a.rest);
}

// Whether m, the cluster behind a chain's last, may hold the rest of the
// packet split at that one's end: no chain took it, and its start is read
// (so it is no directory, and no chain the table gives whole holds it).
bool holds_rest(const carving* k, uint32_t m) {
    return m < k->count && !has_cluster(&k->taken, m) && (k->sig[m].flags & kSigHeadRead);
}

// Takes the cluster behind c as job's last: it holds the rest of c's split packet.
void take_rest(carving* k, carve_job* job, uint32_t c) {
    if (job->unusable_from == kNone) job->unusable_from = c;
    job->content_links++;
    job->rest_end = k->sig[c].rest;
    qv->fat[c] = c + 1;
    take(k, job, c + 1);
    qv->fat[c + 1] = kEndOfChain;
    job->ended = true;
}

// One step of job's chain from its last cluster in round. False when the
// chain ended (ended set) or waits for a later round.
bool step(carving* k, carve_job* job, carve_round round) {
    const uint32_t c = job->last;
    uint32_t n;
    const link_kind kind = chain_next(c, &n);
    const bool usable = link_usable(k, c, kind, n);
    if (job->want && job->length >= job->want) {
        // The entry's length: a chain found by content ends here, and so
        // does one whose table link cannot be followed.
        if (kind != kLinkEnd && (!usable || job->content_links)) qv->fat[c] = kEndOfChain;
        return end_here(job);
    }
    if (usable && continues(k, job, c, n) != kBreaks) return take(k, job, n);
    // A lost chain ends as the table says; an entry's chain that ends short
    // of its length may go on by content.
    if (kind == kLinkEnd && !job->want) return end_here(job);
    if (round == kByTable) return false;
    if (round == kByContent) {
        const uint32_t m = find_continuation(k, job, c);
        if (m != kNone) {
            if (job->unusable_from == kNone) job->unusable_from = c;
            job->content_links++;
            qv->fat[c] = m;
            return take(k, job, m);
        }
        // Nothing else goes on: the table's link, when there is one, is all there is.
        if (usable) return take(k, job, n);
        if (kind == kLinkEnd) return end_here(job);
        if (waits_for_rest(job, k->sig[c])) return false;
    } else if (holds_rest(k, c + 1)) {
        take_rest(k, job, c);
        return false;
    }
    end_by_content(job);
    return false;
}

}  // namespace

carving* open_carving(const cluster_signature* sig, uint32_t count) {
    carving* k = static_cast<carving*>(calloc(1, sizeof(carving)));
    uint32_t* order = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (count + 1)));
    if (!k || !order) {
        free(k);
        free(order);
        qv_set_error("Not enough memory to follow chains by content\n");
        return nullptr;
    }
    *k = carving{sig, count, opening_findings(), {}, order, {}};
    build_index(k);
    return k;
}

void close_carving(carving* k) {
    if (!k) return;
    free(k->order);
    free(k);
}

bool start_chain(carving* k, carve_job* job, uint32_t start, uint32_t want, uint32_t last_bytes) {
    memset(job, 0, sizeof *job);
    job->ended = true;
    if (start == 0 || start >= k->count || has_cluster(&k->taken, start) ||
        has_cluster(&k->found->directories, start))
        return false;
    *job = carve_job{start, want, last_bytes, 0, start, 1, 0, kNone, {}, 0, false, false};
    add_cluster(&k->taken, start);
    for (uint16_t pid : k->sig[start].header_pid)
        if (pid != 0 && pid != kNullPid) job->pids[job->pid_count++] = pid;
    return true;
}

void follow_chain(carving* k, carve_job* job, carve_round round) {
    while (!job->ended && step(k, job, round)) {}
}
