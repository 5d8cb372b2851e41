// Reading a chain ahead of its use. A second thread follows the chain
// through the allocation table and reads its clusters into a small ring of
// buffers while the caller works on the cluster before (on a drive it keeps
// a fragmented chain streaming; from the page cache it puts the copy out of
// the kernel and the word swap on the other core). The caller takes the
// clusters in chain order together with everything the reading found:
// unreadable sectors, the read's message, how the chain goes on. So every
// loss and every damage is reported by the caller, in order (the thread's
// qv_error is its own: a read's reason is handed over in the slot). Without a
// second thread the same step runs in the caller's thread, one cluster at a
// time.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/copy/copy.h"

namespace {

// One buffer the caller works on, the others filled meanwhile.
constexpr uint32_t kAheadSlots = 3;

}  // namespace

struct chain_reader {
    qv_monitor monitor;  // null when the steps run in the caller's thread
    qv_thread thread;
    // Counts of clusters read and of clusters given back; the caller holds
    // slot consumed % kAheadSlots while holding is set.
    uint32_t produced, consumed;
    int holding;
    int walk_ended;        // the cluster last read is the chain's last
    int stop;              // the caller closes: the thread ends
    uint32_t next;         // the cluster to read next
    cluster_bitmap taken;  // every cluster read: the chain ends at the first repeat
    chain_cluster slots[kAheadSlots];
};

namespace {

// Reads the next cluster of the chain into its slot. True while the chain
// goes on behind it.
bool read_step(chain_reader* chain) {
    chain_cluster* s = &chain->slots[chain->produced % kAheadSlots];
    const uint32_t c = chain->next;
    s->cluster = c;
    s->result = qv_read_salvage(cluster_position(c), s->data, qv->cluster_size, 1, &s->bad);
    // The reason, for the caller to report (this thread's qv_error is its own).
    if (s->result != kSalvageComplete) memcpy(s->message, qv_error, sizeof s->message);
    add_cluster(&chain->taken, c);
    s->link = chain_next(c, &s->next);
    s->repeats = s->link == kLinkNext && has_cluster(&chain->taken, s->next);
    chain->next = s->next;
    return s->result != kSalvageFailed && s->link == kLinkNext && !s->repeats;
}

void run_ahead(void* arg) {
    chain_reader* chain = static_cast<chain_reader*>(arg);
    qv_monitor_lock(chain->monitor);
    for (;;) {
        while (!chain->stop && chain->produced - chain->consumed == kAheadSlots)
            qv_monitor_wait(chain->monitor);
        if (chain->stop) break;
        // The slot written is one the caller neither holds nor waits for.
        qv_monitor_unlock(chain->monitor);
        const int more = read_step(chain);
        qv_monitor_lock(chain->monitor);
        chain->produced++;
        if (!more) chain->walk_ended = 1;
        qv_monitor_signal(chain->monitor);
        if (!more) break;
    }
    qv_monitor_unlock(chain->monitor);
}

}  // namespace

namespace {

// The record and buffers of the chain closed last, kept for the next chain
// opened on clusters of the same size: a run reads one chain after another,
// and fresh buffers of several clusters would each be mapped and faulted in
// anew. Only the caller's thread opens and closes chains.
struct spare_chain {
    chain_reader* chain;
    uint32_t cluster_size;
};
spare_chain spare;

// Each slot its cluster's room in buffers.
void point_slots(chain_reader* chain, uint8_t* buffers) {
    for (uint32_t i = 0; i < kAheadSlots; ++i)
        chain->slots[i].data = buffers + size_t(i) * qv->cluster_size;
}

// A record with its buffers, all fields clear: the spare one when its
// clusters are the disk's, else a new one. Null when there is no memory.
chain_reader* new_chain() {
    if (spare.chain && spare.cluster_size == qv->cluster_size) {
        chain_reader* chain = spare.chain;
        uint8_t* buffers = chain->slots[0].data;
        spare.chain = nullptr;
        memset(chain, 0, sizeof *chain);
        point_slots(chain, buffers);
        return chain;
    }
    chain_reader* chain = static_cast<chain_reader*>(calloc(1, sizeof(chain_reader)));
    uint8_t* buffers = qv_alloc_aligned(size_t(kAheadSlots) * qv->cluster_size);
    if (!chain || !buffers) {
        free(chain);
        qv_free_aligned(buffers);
        return nullptr;
    }
    point_slots(chain, buffers);
    return chain;
}

// Keeps chain as the spare, in place of the one kept before.
void keep_chain(chain_reader* chain) {
    if (spare.chain) {
        qv_free_aligned(spare.chain->slots[0].data);
        free(spare.chain);
    }
    spare = {chain, qv->cluster_size};
}

}  // namespace

chain_reader* open_chain(uint32_t start) {
    chain_reader* chain = new_chain();
    if (!chain) {
        qv_set_error("Not enough memory to read a recording\n");
        return nullptr;
    }
    chain->next = start;
    return chain;
}

namespace {

// The second thread starts when the caller takes the chain's second
// cluster: a caller that stops within the first (the probe of a recording's
// streams) has nothing read ahead for it. Without a second thread the caller
// reads each cluster as it takes it.
void start_ahead(chain_reader* chain) {
    chain->monitor = qv_monitor_new();
    if (!chain->monitor) return;
    chain->thread = qv_thread_start(run_ahead, chain);
    if (chain->thread) return;
    qv_monitor_free(chain->monitor);
    chain->monitor = nullptr;
}

// The next cluster from the caller's own read.
const chain_cluster* read_in_caller(chain_reader* chain) {
    if (!read_step(chain)) chain->walk_ended = 1;
    chain->produced++;
    chain->holding = 1;
    return &chain->slots[chain->consumed % kAheadSlots];
}

// The next cluster from the second thread, waited for.
const chain_cluster* take_read_ahead(chain_reader* chain) {
    qv_monitor_lock(chain->monitor);
    if (chain->holding) {
        chain->consumed++;
        chain->holding = 0;
        qv_monitor_signal(chain->monitor);
    }
    while (chain->consumed == chain->produced && !chain->walk_ended)
        qv_monitor_wait(chain->monitor);
    const chain_cluster* taken = nullptr;
    if (chain->consumed != chain->produced) {
        chain->holding = 1;
        taken = &chain->slots[chain->consumed % kAheadSlots];
    }
    qv_monitor_unlock(chain->monitor);
    return taken;
}

}  // namespace

const chain_cluster* next_chain_cluster(chain_reader* chain) {
    if (chain->monitor) return take_read_ahead(chain);
    if (chain->holding) chain->consumed++;
    chain->holding = 0;
    if (chain->walk_ended) return nullptr;
    if (chain->produced == 1) start_ahead(chain);
    return chain->monitor ? take_read_ahead(chain) : read_in_caller(chain);
}

void close_chain(chain_reader* chain) {
    if (!chain) return;
    if (chain->monitor) {
        qv_monitor_lock(chain->monitor);
        chain->stop = 1;
        qv_monitor_signal(chain->monitor);
        qv_monitor_unlock(chain->monitor);
        qv_thread_join(chain->thread);
        qv_monitor_free(chain->monitor);
    }
    keep_chain(chain);
}

bool recording_chain_damaged(const chain_cluster* c, const char* name) {
    if (c->link == kLinkEnd || (c->link == kLinkNext && !c->repeats)) return false;
    char prefix[kErrorSize];
    snprintf(prefix, sizeof prefix, "Recording %s: chain ", name);
    set_chain_damage(prefix, c->link, c->cluster, c->next);
    return true;
}
