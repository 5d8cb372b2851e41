// Mode "disk": the recordings that the areas left unreadable touch. After
// the rescue each recording's clusters are looked up in the map; one with a
// cluster the map does not mark finished is read from the image just written
// (what is not finished counts as unreadable, as a copy from the image will
// find it, also after an interrupted run), and its places of losses are told
// as its copies will tell them. One line says that the others are complete.
#include <cstring>

#include "disk/bytes.h"
#include "disk/copy/copy.h"

namespace {

cluster_bitmap taken;
bad_sectors unfinished;

// The valid bytes of cluster c of entry's chain, its link kind given.
uint32_t valid_bytes(const recording_entry* entry, link_kind link) {
    const uint32_t size = qv->cluster_size;
    const uint32_t slack = entry->last_cluster_slack;
    return link == kLinkEnd && slack <= size ? size - slack : size;
}

// The sectors of [pos, pos + size) that the map does not mark finished.
void unfinished_sectors(const rescue_map* map, int64_t pos, uint32_t size, bad_sectors* bad) {
    bad->count = 0;
    const int64_t end = pos + size;
    for (int64_t at = pos; at < end;) {
        const int64_t first = map_first_unfinished(map, at, end - at);
        if (first < 0) break;
        const uint32_t i = map_block_at(map, first);
        int64_t to = i < map->count ? map->blocks[i].pos + map->blocks[i].size : end;
        if (to > end) to = end;
        const uint32_t from_sector = uint32_t((first - pos) / kSectorSize);
        const uint32_t to_sector = uint32_t((to - pos + kSectorSize - 1) / kSectorSize);
        add_bad_run(bad, from_sector, to_sector - from_sector, false);
        at = to;
    }
}

// Walks the chain of entry to its end, its first damage or its first
// repeat; visit(cluster, link, valid bytes) returns false to stop.
template <class Visit>
void walk_chain(const recording_entry* entry, Visit visit) {
    clear_clusters(&taken);
    walk_untaken_chain(entry->start_cluster, &taken, [&](uint32_t c, link_kind link) {
        return visit(c, link, valid_bytes(entry, link));
    });
}

bool touched(const recording_entry* entry) {
    const rescue_map* map = rescue_state();
    bool found = false;
    walk_chain(entry, [&](uint32_t c, link_kind, uint32_t valid) {
        found = map_first_unfinished(map, cluster_position(c), valid) >= 0;
        return !found;
    });
    return found;
}

// Reads cluster c from the image into cluster_buffer, in recorder order
// (what cannot be read is zeros).
void read_from_image(disk_copy& copy, uint32_t c) {
    const uint32_t size = qv->cluster_size;
    size_t got = 0;
    copy.file_pos = -1;  // a write after a read needs a seek
    if (seek_output(copy.file, cluster_position(c)) == 0)
        got = fread(cluster_buffer, 1, size, copy.file);
    clearerr(copy.file);
    memset(cluster_buffer + got, 0, size - got);
    swap16_words(cluster_buffer, size);
}

// The places of losses of recording index, from the image and the map.
void tell_losses(disk_copy& copy, int index) {
    const recording_entry* entry = &qv->recordings[index];
    loss_timeline* losses = open_losses(index, qv->progress);
    const rescue_map* map = rescue_state();
    bool ended = false;
    hold_cluster_buffer("the losses read from the image");
    walk_chain(entry, [&](uint32_t c, link_kind link, uint32_t valid) {
        read_from_image(copy, c);
        unfinished_sectors(map, cluster_position(c), valid, &unfinished);
        account_cluster(losses, cluster_buffer, &unfinished, cluster_position(c), valid);
        ended = link == kLinkEnd;
        return true;
    });
    release_cluster_buffer();
    if (!ended) note_cut(losses);
    close_losses(losses);
    free_losses(losses);
}

}  // namespace

void tell_recordings_touched(disk_copy& copy) {
    const int count = qv->recording_count;
    if (count <= 0 || qv->cluster_size == 0 || qv->cluster_size > kClusterBufferSize) return;
    int hit = 0;
    for (int i = 0; i < count && i < int(kMaxRecordings); ++i) {
        if (!touched(&qv->recordings[i])) continue;
        ++hit;
        tell_losses(copy, i);
    }
    if (hit == 0)
        qv_warn("Every recording is complete\n");
    else if (hit < count)
        qv_warn("The other recordings are complete (%d of %d)\n", count - hit, count);
}
