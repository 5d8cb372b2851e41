// Lost recordings (the salvage): chains that no directory entry reaches any
// more (a zeroed or overwritten directory slot) but whose first cluster still
// begins with a recording header and transport packets. Each is offered as a
// recording of its own, named after the cluster where it starts.
#include <cstdio>
#include <cstring>

#include "disk/fs/fs.h"

namespace {

constexpr char kLostNameFormat[] = "lost_%06x";

}  // namespace

int add_lost_recordings(int count) {
    if (count < 0 || !qv_options.salvage) return count;
    const cluster_bitmap* starts = lost_chain_starts();
    static bad_sectors unread;
    const uint32_t clusters = table_size();
    for (uint32_t c = 0; c < clusters; ++c) {
        if (!has_cluster(starts, c)) continue;
        if (count >= int(kMaxRecordings)) {
            qv_warn(
                "Salvage: the recording table is full: lost chains from cluster %x on are not "
                "listed\n",
                c);
            break;
        }
        // The header as the reader takes it: readable, packets behind it.
        uint32_t first_packet = 0;
        if (qv_read_cluster_salvage(c, cluster_buffer, &unread) == kSalvageFailed ||
            bad_bytes_touch(&unread, 0, kRecordingHeaderSize)) {
            qv_warn("Salvage: lost chain at cluster %x cannot be read: not listed\n", c);
            continue;
        }
        if (!find_first_packet(cluster_buffer, qv->cluster_size, &first_packet)) continue;
        chain_end end;
        recording_entry* r = &qv->recordings[count++];
        memset(r, 0, sizeof *r);
        r->type = kTypeRecording;
        r->start_cluster = c;
        r->num_clusters = chain_length(c, nullptr, &end);
        snprintf(r->name, sizeof r->name, kLostNameFormat, c);
        qv_warn("Salvage: lost chain at cluster %x, length %u, holds a recording: listed as %s\n",
                c, r->num_clusters, r->name);
    }
    qv->recording_count = count;
    return count;
}
