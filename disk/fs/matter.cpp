// The areas of the disk that matter, for a rescue that reads them before
// anything else: what the file system needs to be read at all (the system
// area with both tables, the directories, the list file), then the
// recordings. What lies elsewhere is free space or lost chains.
#include "disk/fs/fs.h"

namespace {

// The areas as they are gathered: each cluster once.
struct gathering {
    rescue_areas* areas;
    cluster_bitmap taken;
    int failed;
};

void take_cluster(gathering* g, uint32_t c) {
    add_cluster(&g->taken, c);
    if (!g->failed && add_rescue_area(g->areas, cluster_position(c), qv->cluster_size) != 0)
        g->failed = 1;
}

// The chain from start to its end, a damaged link or a cluster taken already.
void take_chain(gathering* g, uint32_t start) {
    walk_untaken_chain(start, &g->taken, [g](uint32_t c, link_kind) {
        take_cluster(g, c);
        return true;
    });
}

}  // namespace

int list_matter_areas(const int* order, int order_count, rescue_areas* areas) {
    static gathering g;
    if (!geometry_known()) return 0;  // nothing is known to matter more than the rest
    g.areas = areas;
    g.failed = add_rescue_area(areas, 0, qv->cluster_size);
    clear_clusters(&g.taken);
    const cluster_bitmap* directories = &opening_findings()->directories;
    for (uint32_t c = 0; c < table_size(); ++c)
        if (has_cluster(directories, c) && !has_cluster(&g.taken, c)) take_cluster(&g, c);
    uint32_t list = 0;
    if (list_file_start(&list)) take_chain(&g, list);
    const int count = qv->recording_count;
    for (int k = 0; k < order_count; ++k)
        if (order[k] >= 0 && order[k] < count)
            take_chain(&g, qv->recordings[order[k]].start_cluster);
    for (int i = 0; i < count; ++i) take_chain(&g, qv->recordings[i].start_cluster);
    return g.failed;
}
