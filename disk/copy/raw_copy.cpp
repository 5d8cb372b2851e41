// Mode "raw": one recording as stored, cluster by cluster along its chain,
// from the first byte of its header to the last byte of its last cluster.
#include <cstdio>

#include "disk/copy/copy.h"

namespace {

// Copies the chain of entry into file, cluster by cluster as the read-ahead
// brings them; unreadable sectors are written as zeros and counted in *zeros
// (those never tried sector by sector also in *untried), their places noted
// in losses.
loop_stop copy_chain(const recording_entry* entry, FILE* file, chain_reader* chain,
                     loss_timeline* losses, int64_t* zeros, int64_t* untried) {
    const uint32_t size = qv->cluster_size;
    int last = -1;
    uint64_t done = 0;
    for (;;) {
        if (qv_interrupted) return kLoopInterrupted;
        const chain_cluster* c = next_chain_cluster(chain);
        if (c->result == kSalvageFailed) {
            qv_set_error("%s", c->message);
            return kLoopStopped;
        }
        const uint32_t length = c->link == kLinkEnd ? size - entry->last_cluster_slack : size;
        *zeros += account_cluster(losses, c->data, &c->bad, cluster_position(c->cluster), length);
        *untried += untried_bytes(&c->bad, length);
        if (fwrite(c->data, 1, length, file) != length) {
            qv_write_failed(kWriteFailedMessage);
            return kLoopStopped;
        }
        // The total serves only the percentage: a longer chain goes past 100.
        qv_report_percent(qv->progress, ++done, entry->num_clusters, &last);
        if (c->link == kLinkEnd) return kLoopRan;
        // A damaged chain, or one that returns to a cluster already copied,
        // ends the copy as a failure.
        if (recording_chain_damaged(c, entry->name)) {
            note_cut(losses);
            return kLoopStopped;
        }
    }
}

}  // namespace

int dump_file(int index) {
    if (index < 0 || index >= int(kMaxRecordings)) {
        qv_set_error("No recording %d on this disk\n", index + 1);
        return kCopyFailed;
    }
    const recording_entry* entry = &qv->recordings[index];
    const uint32_t size = qv->cluster_size;
    const uint32_t count = qv->cluster_count;
    // Refused before anything is written: the last write could not be formed.
    if (entry->last_cluster_slack > size) {
        qv_set_error("Recording %s: last cluster slack %u exceeds the cluster size %u\n",
                     entry->name, entry->last_cluster_slack, size);
        return kCopyFailed;
    }
    uint32_t c = entry->start_cluster;
    if (c >= count) {
        qv_set_error("Recording %s: start cluster %x lies outside the table\n", entry->name, c);
        return kCopyFailed;
    }

    char path[kOutputNameSize];
    recording_file_name(path, index, "");
    FILE* file = open_output(path, entry);
    if (!file) {
        qv_set_error("Cannot open '%s' for output\n", entry->name);
        return kCopyFailed;
    }
    int64_t zeros = 0, untried = 0;
    chain_reader* chain = open_chain(c);
    loss_timeline* losses = open_losses(index, qv->progress);
    const loop_stop stop =
        chain ? copy_chain(entry, file, chain, losses, &zeros, &untried) : kLoopStopped;
    close_chain(chain);
    const int result = finish_copy(file, stop, zeros, untried, "\rProcessing completed.\n", losses);
    free_losses(losses);
    return result;
}
