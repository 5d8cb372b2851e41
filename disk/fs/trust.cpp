// What the allocation table can tell the salvage: the chains it gives whole
// (their clusters need not be read, their links are taken as they are), the
// chains in doubt, and the heads of the chains that no directory entry
// reaches. The carving reads only where the table cannot tell.
#include <cstring>

#include "disk/fs/fs.h"

namespace {

// Whether the table's link from c to n may be trusted: a next cluster that
// is not the root and no entry's start (a file's, a directory's), from an
// entry in which the copies do not differ (one that neither copy gave is
// an end already).
bool link_trusted(const salvage_findings* f, uint32_t c, link_kind kind, uint32_t n) {
    return kind == kLinkNext && n != 0 && !has_cluster(&f->differing, c) &&
           !has_cluster(&f->chain_starts, n);
}

// One walk over a chain as the table gives it: a cluster of stop ends it in
// doubt; every cluster taken goes into seen, and when it is there already,
// into twice (the walk then ends in doubt).
struct chain_walk {
    const cluster_bitmap* stop;
    cluster_bitmap* seen;
    cluster_bitmap* twice;
};

// Walks the chain from start to want clusters (to its end when want is 0).
// True when the table gives it whole.
bool walk_chain(const chain_walk& w, uint32_t start, uint32_t want) {
    const salvage_findings* f = opening_findings();
    uint32_t c = start;
    for (uint32_t length = 1; length <= table_size(); ++length) {
        if (w.stop && has_cluster(w.stop, c)) return false;
        if (w.twice && has_cluster(w.seen, c)) {
            add_cluster(w.twice, c);
            return false;
        }
        if (w.seen) add_cluster(w.seen, c);
        if (length == want) return true;
        uint32_t n;
        const link_kind kind = chain_next(c, &n);
        // An end before the entry's length is in doubt.
        if (kind == kLinkEnd) return want == 0;
        if (!link_trusted(f, c, kind, n)) return false;
        c = n;
    }
    return false;
}

// The chains' heads that no directory entry reaches: allocated clusters
// that no directory entry reaches and no other such cluster links to.
void find_lost_heads(table_trust* t) {
    const salvage_findings* f = opening_findings();
    static cluster_bitmap linked;
    clear_clusters(&linked);
    for (uint32_t c = 0; c < table_size(); ++c) {
        uint32_t n;
        if (has_cluster(&f->unreached, c) && chain_next(c, &n) == kLinkNext)
            add_cluster(&linked, n);
    }
    for (uint32_t c = 0; c < table_size(); ++c)
        if (has_cluster(&f->unreached, c) && !has_cluster(&linked, c))
            add_cluster(&t->lost_heads, c);
}

}  // namespace

void judge_table(table_trust* t) {
    const salvage_findings* f = opening_findings();
    memset(t, 0, sizeof *t);
    if (f->no_table || f->incomplete) {
        t->needs_content = true;
        return;
    }
    static cluster_bitmap seen;
    clear_clusters(&seen);
    // Every chain once, to find the clusters reached twice; then each chain
    // again: whole when it reaches none of them.
    for (uint32_t i = 0; i < f->file_count; ++i)
        walk_chain({nullptr, &seen, &t->shared}, f->files[i].start, f->files[i].clusters);
    for (uint32_t i = 0; i < f->file_count; ++i) {
        const file_chain& file = f->files[i];
        if (walk_chain({&t->shared, nullptr, nullptr}, file.start, file.clusters))
            walk_chain({nullptr, &t->held, nullptr}, file.start, file.clusters);
        else if (file.recording)
            t->needs_content = true;
    }
    find_lost_heads(t);
}

bool lost_chain_whole(const table_trust* t, uint32_t start) {
    return walk_chain({&t->held, nullptr, nullptr}, start, 0);
}
