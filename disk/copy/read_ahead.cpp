// Reading a chain ahead of its use. A second thread follows the chain
// through the allocation table and reads its clusters into a small ring of
// buffers while the caller works on the cluster before (on a drive it keeps
// a fragmented chain streaming; from the page cache it puts the copy out of
// the kernel and the word swap on the other core). The caller takes the
// clusters in chain order together with everything the reading found:
// unreadable sectors, the read's message, how the chain goes on. So every
// loss and every damage is reported by the caller, in order, and the thread
// never touches qv_error. Without a second thread the same step runs in the
// caller's thread, one cluster at a time.
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
    s->result =
        qv_read_salvage_r(cluster_position(c), s->data, qv->cluster_size, 1, &s->bad, s->message);
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

chain_reader* open_chain(uint32_t start) {
    chain_reader* chain = static_cast<chain_reader*>(calloc(1, sizeof(chain_reader)));
    uint8_t* buffers = static_cast<uint8_t*>(malloc(size_t(kAheadSlots) * qv->cluster_size));
    if (!chain || !buffers) {
        free(chain);
        free(buffers);
        qv_set_error("Not enough memory to read a recording\n");
        return nullptr;
    }
    for (uint32_t i = 0; i < kAheadSlots; ++i)
        chain->slots[i].data = buffers + size_t(i) * qv->cluster_size;
    chain->next = start;
    // Without a second thread the caller reads each cluster as it takes it.
    chain->monitor = qv_monitor_new();
    if (chain->monitor) {
        chain->thread = qv_thread_start(run_ahead, chain);
        if (!chain->thread) {
            qv_monitor_free(chain->monitor);
            chain->monitor = nullptr;
        }
    }
    return chain;
}

const chain_cluster* next_chain_cluster(chain_reader* chain) {
    if (!chain->monitor) {
        if (chain->holding) chain->consumed++;
        chain->holding = 0;
        if (chain->walk_ended) return nullptr;
        if (!read_step(chain)) chain->walk_ended = 1;
        chain->produced++;
        chain->holding = 1;
        return &chain->slots[chain->consumed % kAheadSlots];
    }
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
    free(chain->slots[0].data);
    free(chain);
}

bool recording_chain_damaged(const chain_cluster* c, const char* name) {
    if (c->link == kLinkEnd || (c->link == kLinkNext && !c->repeats)) return false;
    char prefix[kErrorSize];
    snprintf(prefix, sizeof prefix, "Recording %s: chain ", name);
    set_chain_damage(prefix, c->link, c->cluster, c->next);
    return true;
}
