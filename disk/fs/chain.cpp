// The chain step: the one place that reads a link of the allocation table
// and says what it is, and the one wording of what a walk meets on a
// damaged chain. A damaged table may point anywhere and loop: every walk
// ends at the first link that is no next cluster, and at the first cluster
// it has already taken.
#include <cstdio>
#include <cstring>

#include "disk/fs/fs.h"

namespace {

// The texts of the damage a walk meets, behind the walk's own prefix.
constexpr char kLoopsText[] = "loops at cluster %x\n";
constexpr char kFreeText[] = "ends at cluster %x, which is marked free\n";
constexpr char kMarkerText[] = "ends at cluster %x with marker %x\n";
constexpr char kOutsideText[] = "leaves the table at cluster %x\n";
constexpr char kUnknownText[] = "ends at cluster %x: no cluster continues its stream\n";

// The walks of chain_length, told apart by a number, so that starting one
// costs nothing however often a walk is repeated (once per directory entry,
// once per lost chain).
struct cluster_stamps {
    uint32_t walk;
    uint32_t stamp[kMaxClusters];
};
cluster_stamps stamps;

void start_walk() {
    if (++stamps.walk == 0) {  // wrapped: forget every earlier walk
        memset(stamps.stamp, 0, sizeof stamps.stamp);
        stamps.walk = 1;
    }
}

}  // namespace

uint32_t table_size() {
    return qv->cluster_count < kMaxClusters ? qv->cluster_count : kMaxClusters;
}

link_kind chain_next(uint32_t cluster, uint32_t* next) {
    const uint32_t count = table_size();
    if (cluster >= count) {
        *next = cluster;
        return kLinkOutside;
    }
    const uint32_t value = qv->fat[cluster];
    *next = value;
    if (value == kNoContinuation) return kLinkUnknown;
    if (value == kEndOfChain) return kLinkEnd;
    if (value == kFreeCluster) return kLinkFree;
    if (value >= kMarkerLink) return kLinkMarker;
    if (value >= count) return kLinkOutside;
    return kLinkNext;
}

void set_chain_damage(const char* prefix, link_kind kind, uint32_t cluster, uint32_t next) {
    char text[kErrorSize] = "";
    switch (kind) {
    case kLinkNext: snprintf(text, sizeof text, kLoopsText, next); break;
    case kLinkFree: snprintf(text, sizeof text, kFreeText, cluster); break;
    case kLinkMarker: snprintf(text, sizeof text, kMarkerText, cluster, next); break;
    case kLinkOutside: snprintf(text, sizeof text, kOutsideText, cluster); break;
    case kLinkUnknown: snprintf(text, sizeof text, kUnknownText, cluster); break;
    case kLinkEnd: break;  // no damage
    }
    qv_set_error("%s%s", prefix, text);
}

void show_chain_damage(progress_callback callback, const char* prefix, link_kind kind,
                       uint32_t cluster, uint32_t next) {
    set_chain_damage(prefix, kind, cluster, next);
    if (callback) callback(-1, qv_error);
}

void clear_clusters(cluster_bitmap* set) { memset(set->bits, 0, sizeof set->bits); }

bool has_cluster(const cluster_bitmap* set, uint32_t c) {
    return c < kMaxClusters && (set->bits[c >> 3] >> (c & 7) & 1);
}

void add_cluster(cluster_bitmap* set, uint32_t c) {
    if (c < kMaxClusters) set->bits[c >> 3] = uint8_t(set->bits[c >> 3] | 1u << (c & 7));
}

uint32_t chain_length(uint32_t start, uint32_t* reached, chain_end* end) {
    start_walk();
    const uint32_t count = table_size();
    *end = chain_end{kLinkOutside, start, start};  // a start outside the table
    uint32_t length = 0;
    // Every step takes a cluster this walk has not taken: at most the table.
    for (uint32_t c = start; c < count && length < count; c = end->next) {
        stamps.stamp[c] = stamps.walk;
        if (reached) reached[c] = kFreeCluster;
        ++length;
        end->last = c;
        end->kind = chain_next(c, &end->next);
        if (end->kind != kLinkNext || stamps.stamp[end->next] == stamps.walk) break;
    }
    return length;
}
