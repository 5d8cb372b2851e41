// The check of the whole file system against the chosen allocation table:
// the chain heads and the cross-link walk over every chain, the breadth-first
// walk over every directory from the root, the clusters that no directory
// entry reaches, and (for the salvage) where the entries start and where the
// directories lie. Without a table (the salvage found neither copy usable)
// only the directories are walked.
//
// A damaged table can point anywhere and loop: every walk checks a link
// against cluster_count before it indexes fat, the owner array or the mark
// array, and takes at most cluster_count steps.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fs/fs.h"

namespace {

// check_dir's result: -1 unreadable, else these bits.
constexpr int kCheckDirUnreadable = -1;
constexpr int kLengthMismatch = 1;  // also set for a damaged chain
constexpr int kSharedStart = 2;
constexpr int kUnreadableEntries = 1;  // an error, not fatal: the rest is checked

// A mark for "reached by the directory walk" (and "free" before the walk).
constexpr uint32_t kReached = kFreeCluster;

// Directory name of an entry, cut at its 108 bytes when it carries no NUL.
struct entry_name {
    char text[kDirNameSize + 1];
};

entry_name name_of(const uint8_t* entry) {
    entry_name n;
    copy_name(n.text, sizeof n.text, entry + kEntryName, kDirNameSize);
    return n;
}

// The chain heads, ascending: clusters that carry a link (up to 0xFFFFFB) and
// that no entry of the table names as its successor. One pass marks every
// successor (in marks), a second collects the heads. Returns their count.
uint32_t find_chain_heads(uint32_t* heads, uint32_t* marks) {
    const uint32_t count = qv->cluster_count;
    memset(marks, 0, sizeof(uint32_t) * count);
    for (uint32_t c = 0; c < count; ++c)
        if (qv->fat[c] < count) marks[qv->fat[c]] = 1;
    uint32_t n = 0;
    for (uint32_t c = 0; c < count; ++c)
        if (qv->fat[c] <= kMarkerLink && !marks[c]) heads[n++] = c;
    return n;
}

// Follows every chain from its head and reports each cluster that an earlier
// chain already owns. owner[b] is the chain number + 1 of the cluster's first
// owner; a link to a cluster of one's own number means the chain loops.
int cross_link_walk(const uint32_t* heads, uint32_t head_count, uint32_t* owner) {
    const uint32_t count = qv->cluster_count;
    int flags = 0;
    memset(owner, 0, sizeof(uint32_t) * count);
    for (uint32_t i = 0; i < head_count; ++i) {
        uint32_t b = heads[i];
        // Each step takes a cluster this chain does not own yet.
        for (uint32_t steps = 0; steps < count; ++steps) {
            if (owner[b] != 0) {
                qv_warn("Crosslinked block %x in chain %u and %u\n", b, owner[b] - 1, i);
                flags |= kCheckError;
            }
            owner[b] = i + 1;
            uint32_t next;
            link_kind kind = chain_next(b, &next);
            if (kind == kLinkNext && owner[next] != i + 1) {
                b = next;
                continue;
            }
            // The end, a free entry and the markers 0xFFFFFC and 0xFFFFFD end
            // this walk quietly; 0xFFFFFB, which the recorder's own walks take
            // as a link, a link out of the table and a loop are reported.
            if (kind == kLinkNext || kind == kLinkOutside ||
                (kind == kLinkMarker && next == kMarkerLink)) {
                char prefix[32];
                snprintf(prefix, sizeof prefix, "Chain %u ", i);
                show_chain_damage(qv->progress, prefix, kind, b, next);
                flags |= kCheckError;
            }
            break;
        }
    }
    return flags;
}

// What the opening leaves for the salvage.
salvage_findings findings;

// Whether the check has a table to follow chains in: without one, what a
// chain walk meets is no finding.
bool table_known = true;

// With the salvage: the path of every subdirectory the walk took (in the
// order of its list), and the one whose entries are checked (null: the root).
struct directory_path {
    char text[kNameSize];
};
directory_path* paths = nullptr;
uint32_t path_room = 0;
const char* checked_path = nullptr;

// Room for need items of size bytes in *items (room of them so far); false
// when there is no memory, and the findings are then incomplete.
bool make_room(void** items, uint32_t* room, uint32_t need, size_t size) {
    if (need <= *room) return true;
    const uint32_t more = need < 2 * *room ? 2 * *room : need + 16;
    void* grown = realloc(*items, size * more);
    if (!grown) {
        findings.incomplete = true;
        return false;
    }
    memset(static_cast<uint8_t*>(grown) + size * *room, 0, size * (more - *room));
    *items = grown;
    *room = more;
    return true;
}

// What the salvage needs of a file entry at start s: its chain, and of a
// recording in a subdirectory the recording, named by its path.
void keep_for_salvage(const uint8_t* entry, const entry_name& name, uint32_t s) {
    const uint8_t type = entry[kEntryType];
    if (type == kTypeShared0 || type == kTypeShared1) return;
    add_cluster(&findings.chain_starts, s);
    if (type == kTypeSubdir) return;
    void* files = findings.files;
    if (make_room(&files, &findings.file_room, findings.file_count + 1, sizeof(file_chain))) {
        findings.files = static_cast<file_chain*>(files);
        findings.files[findings.file_count++] = {s, get_be32(entry + kEntryClusters),
                                                 type == kTypeRecording};
    }
    if (type != kTypeRecording || !checked_path) return;
    void* nested = findings.nested;
    if (!make_room(&nested, &findings.nested_room, findings.nested_count + 1,
                   sizeof(recording_entry)))
        return;
    findings.nested = static_cast<recording_entry*>(nested);
    recording_entry* r = &findings.nested[findings.nested_count++];
    fill_recording(r, entry);
    snprintf(r->name, sizeof r->name, "%.400s/%s", checked_path, name.text);
}

// With the salvage: the path of subdirectory number index of the walk.
void keep_path(uint32_t index, const entry_name& name) {
    void* grown = paths;
    if (!make_room(&grown, &path_room, index + 1, sizeof(directory_path))) return;
    paths = static_cast<directory_path*>(grown);
    if (checked_path)
        snprintf(paths[index].text, kNameSize, "%.400s/%s", checked_path, name.text);
    else
        snprintf(paths[index].text, kNameSize, "%s", name.text);
}

// Entries in unreadable sectors are skipped, one warning per run of them;
// what they held shows up as lost clusters. kUnreadableEntries when any.
int report_unreadable_entries(const directory_cluster* dir) {
    int result = 0;
    for (uint32_t i = 0; i < dir->entry_count;) {
        if (!entry_unreadable(dir, i)) {
            ++i;
            continue;
        }
        uint32_t first = i;
        while (i < dir->entry_count && entry_unreadable(dir, i)) ++i;
        qv_warn("Directory at cluster %x: entries %u to %u cannot be read, skipped\n", dir->cluster,
                first, i - 1);
        result |= kUnreadableEntries;
    }
    return result;
}

// A subdirectory found at s: taken into the walk, unless its cluster was
// reached before (one pointing back to an ancestor, a second entry of the
// same directory, or a free cluster: walking it again could never end) or
// the list is full.
int take_subdirectory(const entry_name& name, uint32_t s, bool already_reached, uint32_t* dir_list,
                      uint32_t* dir_count) {
    const uint32_t list_room = qv->cluster_size / kDirEntrySize;
    if (already_reached) {
        qv_warn("Directory %s at cluster %x already reached, not checked again\n", name.text, s);
        return kLengthMismatch;
    }
    if (*dir_count >= list_room) {
        qv_warn("Too many subdirectories: directory %s at cluster %x not checked\n", name.text, s);
        return kLengthMismatch;
    }
    if (qv_options.salvage) keep_path(*dir_count, name);
    dir_list[(*dir_count)++] = s;
    return 0;
}

// One directory entry: its start, its chain and (for a file) its length.
int check_entry(const uint8_t* entry, uint32_t* marks, uint32_t* dir_list, uint32_t* dir_count) {
    const uint8_t type = entry[kEntryType];
    const entry_name name = name_of(entry);
    const uint32_t s = get_be32(entry + kEntryStart);
    if (s >= qv->cluster_count) {
        qv_warn("File %s: start cluster %x lies outside the table\n", name.text, s);
        return kLengthMismatch;
    }
    int result = 0;
    add_cluster(&findings.entry_starts, s);
    if (qv_options.salvage) keep_for_salvage(entry, name, s);
    const bool shared = type == kTypeShared0 || type == kTypeShared1;
    const bool already_reached = marks[s] == kReached;
    if (!shared && already_reached) {
        qv_warn("Crosslinked single block %x\n", s);
        result |= kSharedStart;
    }
    // The length as the chain gives it, followed in fat (never in marks).
    chain_end end;
    const uint32_t len = chain_length(s, marks, &end);
    const bool damaged = end.kind != kLinkEnd;
    if (damaged && table_known) {
        char prefix[kErrorSize];
        snprintf(prefix, sizeof prefix, "File %s: chain ", name.text);
        show_chain_damage(qv->progress, prefix, end.kind, end.last, end.next);
        result |= kLengthMismatch;
    }
    if (type == kTypeSubdir)
        return result | take_subdirectory(name, s, already_reached, dir_list, dir_count);
    const uint32_t stored = get_be32(entry + kEntryClusters);
    if (!damaged && table_known && len != stored) {
        qv_warn("File %s has incorrect length %u/%u\n", name.text, stored, len);
        result |= kLengthMismatch;
    }
    return result;
}

// check_dir's result as flags of the verdict: an unreadable directory is
// fatal (its read's message is shown).
int dir_flags(int r) {
    if (r != kCheckDirUnreadable) return r;
    if (qv->progress) qv->progress(-1, qv_error);
    return kCheckError | kCheckFatal;
}

// The directory walk, breadth-first from the root; marks every cluster a
// directory entry reaches.
int walk_directories(uint32_t* marks, uint32_t* dir_list) {
    // The root directory is the walk's starting point, reached by definition.
    marks[0] = kReached;
    add_cluster(&findings.directories, 0);
    uint32_t dir_count = 0;
    checked_path = nullptr;
    int flags = dir_flags(check_dir(0, root_entry_count(), marks, dir_list, &dir_count));
    const uint32_t per_cluster = qv->cluster_size / kDirEntrySize;
    for (uint32_t k = 0; k < dir_count; ++k) {
        add_cluster(&findings.directories, dir_list[k]);
        checked_path = qv_options.salvage && k < path_room ? paths[k].text : nullptr;
        flags |= dir_flags(check_dir(dir_list[k], per_cluster, marks, dir_list, &dir_count));
    }
    checked_path = nullptr;
    return flags;
}

// Allocated clusters that no directory entry reaches.
int report_lost_clusters(const uint32_t* marks) {
    uint32_t lost = 0;
    for (uint32_t n = 0; n < qv->cluster_count; ++n) {
        if (marks[n] == kReached) continue;
        add_cluster(&findings.unreached, n);
        qv_warn("FAT item %x not accessible\n", n);
        ++lost;
    }
    if (lost == 0) return 0;
    qv_warn("Total of %u lost clusters found\n", lost);
    return kCheckError;
}

}  // namespace

uint32_t root_entry_count() {
    uint32_t slack = get_be32(qv->boot_sector + kRootDirSlackOffset);
    return (((qv->cluster_size - slack) & kRootSlackMask) + kSectorSize) / kDirEntrySize;
}

int check_dir(uint32_t dir_cluster, uint32_t entry_count, uint32_t* marks, uint32_t* dir_list,
              uint32_t* dir_count) {
    directory_cluster dir;
    if (read_directory(dir_cluster, entry_count, &dir) != 0) return kCheckDirUnreadable;
    int result = report_unreadable_entries(&dir);
    for (uint32_t i = 0; i < dir.entry_count; ++i) {
        const uint8_t* entry = directory_entry(&dir, i);
        if (entry) result |= check_entry(entry, marks, dir_list, dir_count);
    }
    release_cluster_buffer();
    return result;
}

int check_file_system(uint32_t* first, uint32_t* second, uint32_t* dir_list, bool with_table) {
    uint32_t* marks = second;
    table_known = with_table;
    if (!with_table) {
        // Nothing is reached before the walk: no chain tells more than its start.
        memset(marks, 0, sizeof(uint32_t) * qv->cluster_count);
        return walk_directories(marks, dir_list);
    }
    // Chain heads into the first array; the second marks successors, then
    // holds the owners of the cross-link walk.
    uint32_t head_count = find_chain_heads(first, second);
    int flags = cross_link_walk(first, head_count, second);
    // The mark array starts as a copy of the table: free clusters are 0xFFFFFF
    // from the start, every cluster the directory walk reaches becomes so.
    memcpy(marks, qv->fat, sizeof(uint32_t) * qv->cluster_count);
    flags |= walk_directories(marks, dir_list);
    return flags | report_lost_clusters(marks);
}

salvage_findings* opening_findings() { return &findings; }

void clear_findings() {
    free(findings.files);
    free(findings.nested);
    free(paths);
    paths = nullptr;
    path_room = 0;
    memset(&findings, 0, sizeof findings);
}
