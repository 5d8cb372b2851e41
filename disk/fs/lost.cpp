// The salvage's recordings: the chains of the recording table followed by
// content where the allocation table cannot tell how they go on, and lost
// recordings: clusters that begin with a recording header but where no
// directory entry starts any more (a zeroed or overwritten directory slot).
// Each lost one is offered as a recording of its own, named after the
// cluster where it starts, as long as its stream runs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/fs/fs.h"

namespace {

constexpr char kLostNameFormat[] = "lost_%06x";

// What one salvage of the recordings works with.
struct salvage_work {
    cluster_signature* sig;  // one per cluster of the table
    carve_job* jobs;         // one per recording of the table
    carving* matching;
};

void free_work(salvage_work* w) {
    close_carving(w->matching);
    free(w->sig);
    free(w->jobs);
}

// Room for the signatures (none read yet) and the jobs. 0, or 1 with the
// reason in qv_error.
int prepare(salvage_work* w, uint32_t clusters, int listed) {
    w->sig = static_cast<cluster_signature*>(malloc(sizeof(cluster_signature) * (clusters + 1)));
    // A job for each recording of the table and each lost one (a cluster each).
    const size_t jobs = std::min<size_t>(kMaxRecordings, size_t(listed) + clusters);
    w->jobs = static_cast<carve_job*>(calloc(jobs, sizeof(carve_job)));
    if (!w->sig || !w->jobs) {
        qv_set_error("Not enough memory to follow chains by content\n");
        return 1;
    }
    for (uint32_t c = 0; c < clusters; ++c) clear_signature(&w->sig[c]);
    return 0;
}

// Reads what the carving needs: the head of every lost chain; then, when a
// recording's chain needs the content (a lost recording's among them), the
// windows of every cluster that can take part, in one pass. Builds the
// matching. 0, or 1 with the reason in qv_error.
int read_what_matters(salvage_work* w, uint32_t clusters) {
    static table_trust trust;
    judge_table(&trust);
    uint32_t unreadable = read_signatures(w->sig, clusters, &trust.lost_heads, false, false);
    for (uint32_t c = 0; c < clusters && !trust.needs_content; ++c)
        if (has_cluster(&trust.lost_heads, c) && (w->sig[c].flags & kSigHeader) &&
            !lost_chain_whole(&trust, c))
            trust.needs_content = true;
    if (trust.needs_content) {
        static cluster_bitmap taking_part;
        clear_clusters(&taking_part);
        const salvage_findings* found = opening_findings();
        for (uint32_t c = 0; c < clusters; ++c)
            if (!has_cluster(&trust.held, c) && !has_cluster(&found->directories, c))
                add_cluster(&taking_part, c);
        unreadable += read_signatures(w->sig, clusters, &taking_part, true, true);
    }
    if (unreadable)
        qv_warn(
            "Salvage: %u clusters cannot be read whole at their start or end: no chain is "
            "followed by content across them\n",
            unreadable);
    w->matching = open_carving(w->sig, clusters);
    return w->matching ? 0 : 1;
}

// Appends a lost recording for every header cluster where no entry starts,
// its chain started. Returns the table's new count.
int add_lost(salvage_work* w, int count, uint32_t clusters) {
    const salvage_findings* found = opening_findings();
    for (uint32_t c = 1; c < clusters; ++c) {
        if (!(w->sig[c].flags & kSigHeader) || has_cluster(&found->entry_starts, c)) continue;
        if (count >= int(kMaxRecordings)) {
            qv_warn(
                "Salvage: the recording table is full: lost chains from cluster %x on are not "
                "listed\n",
                c);
            break;
        }
        if (!start_chain(w->matching, &w->jobs[count], c, 0, 0)) continue;  // a chain has it
        recording_entry* r = &qv->recordings[count++];
        memset(r, 0, sizeof *r);
        r->type = kTypeRecording;
        r->start_cluster = c;
        snprintf(r->name, sizeof r->name, kLostNameFormat, c);
    }
    return count;
}

// A lost recording's length: its chain, its last cluster cut at the last
// whole packet of its stream (or where the rest of its split packet ends).
void finish_lost(recording_entry* r, const carve_job* job, cluster_signature* sig) {
    const uint32_t size = qv->cluster_size;
    const uint32_t stream_end =
        job->rest_end ? job->rest_end : stream_end_of(job->last, &sig[job->last]);
    const uint32_t end = stream_end <= size ? stream_end : size;
    r->num_clusters = job->length;
    r->last_cluster_slack = size - end;
    qv_warn(
        "Salvage: lost chain at cluster %x, length %u, holds a recording whose stream ends %u "
        "bytes into its last cluster: listed as %s\n",
        r->start_cluster, r->num_clusters, end, r->name);
}

// The windows of every lost recording's last cluster (its stream ends
// there), those not read yet, ascending.
void read_lost_ends(salvage_work* w, int listed, int count, uint32_t clusters) {
    static cluster_bitmap ends;
    clear_clusters(&ends);
    for (int i = listed; i < count; ++i) add_cluster(&ends, w->jobs[i].last);
    read_signatures(w->sig, clusters, &ends, true, false);
}

// What the salvage found of one recording's chain.
void report(const recording_entry* r, const carve_job* job) {
    if (job->content_links)
        qv_warn(
            "Recording %s: allocation table unusable from cluster %x; %u clusters followed "
            "by content\n",
            r->name, job->unusable_from, job->content_links);
    if (job->cut)
        qv_warn(
            "Recording %s: no cluster continues the stream after cluster %x; the chain ends "
            "there with %u of its %u clusters\n",
            r->name, job->last, job->length, job->want);
}

}  // namespace

int salvage_recordings(int count) {
    if (count < 0 || !qv_options.salvage) return count;
    const uint32_t clusters = table_size();
    count = add_nested_recordings(count);
    salvage_work w = {};
    if (prepare(&w, clusters, count) != 0 || read_what_matters(&w, clusters) != 0) {
        qv_warn("Salvage: %s", qv_error);
        free_work(&w);
        qv->recording_count = count;
        return count;
    }
    const int listed = count;
    for (int i = 0; i < listed; ++i) {
        const recording_entry* r = &qv->recordings[i];
        const uint32_t slack = r->last_cluster_slack;
        start_chain(w.matching, &w.jobs[i], r->start_cluster, r->num_clusters,
                    slack < qv->cluster_size ? qv->cluster_size - slack : 0);
    }
    count = add_lost(&w, count, clusters);
    // The table's usable links of every chain first, so that no chain takes
    // by content a cluster that the table gives another; a split packet's
    // rest last, once every chain has taken what continues it.
    for (carve_round round : {kByTable, kByContent, kByRest})
        for (int i = 0; i < count; ++i) follow_chain(w.matching, &w.jobs[i], round);
    read_lost_ends(&w, listed, count, clusters);
    for (int i = 0; i < count; ++i) {
        report(&qv->recordings[i], &w.jobs[i]);
        if (i >= listed) finish_lost(&qv->recordings[i], &w.jobs[i], w.sig);
    }
    free_work(&w);
    qv->recording_count = count;
    return count;
}
