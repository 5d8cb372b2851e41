// The allocation table: loading both copies from the system area, choosing
// one, and checking the whole file system against it.
//
// The recorder keeps its FAT twice, 24-bit big-endian entries packed without
// gaps (FAT1 at 0x20000, FAT2 at 0x80000 of disk cluster 0). Every problem is
// shown as a warning the moment it is found; the verdict has two flags:
// error (the disk is used, "FAT has errors, please correct!" stays in
// qv_error) and fatal (the opening fails).
//
// A damaged table can point anywhere and loop: every walk checks a link
// against cluster_count before it indexes fat, the owner array or the mark
// array, and takes at most cluster_count steps.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/qvdisk.h"

namespace {

constexpr char kSalvageMessage[] =
    "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's "
    "data\n";

constexpr int kFlagError = 1;
constexpr int kFlagFatal = 2;
constexpr int kCheckDirUnreadable = -1;

// check_dir's result bits.
constexpr int kLengthMismatch = 1;  // also set for a damaged chain
constexpr int kSharedStart = 2;
constexpr int kUnreadableEntries = 1;  // an error, not fatal: the rest is checked

// A mark for "reached by the directory walk" (and "free" before the walk).
constexpr uint32_t kReached = kFreeCluster;

// Working arrays of read_fat, 512 KiB each.
constexpr size_t kWorkEntries = kMaxClusters;

// Directory name of an entry, cut at its 108 bytes when it carries no NUL.
struct entry_name {
    char text[kDirNameSize + 1];
};

entry_name name_of(const uint8_t* entry) {
    entry_name n;
    copy_name(n.text, sizeof n.text, entry + kEntryName, kDirNameSize);
    return n;
}

// A decoded entry that lies in an unreadable sector of the system area.
constexpr uint32_t kUnreadEntry = 0xFFFFFFFE;

// Whether entry n of the copy at offset touches an unreadable sector.
bool fat_entry_unreadable(const bad_sectors* bad, uint32_t offset, uint32_t n) {
    uint32_t at = offset + n * kFatEntrySize;
    return bad->count != 0 && bad_bytes_touch(bad, at, at + kFatEntrySize);
}

// Decodes one FAT copy into out and range-checks it. Returns nonzero when a
// link is beyond the disk. The FAT2 pass also compares with FAT1 (other).
// Entries in unreadable sectors become kUnreadEntry.
int decode_fat(uint32_t offset, uint32_t* out, int copy_number, const uint32_t* other,
               const bad_sectors* unread) {
    const uint32_t count = qv->cluster_count;
    const int64_t link_bound = qv->disk_sectors / 2048;  // the disk size in whole MiB
    const uint8_t* copy = cluster_buffer + offset;
    int bad = 0;
    for (uint32_t n = 0; n < count; ++n) {
        if (fat_entry_unreadable(unread, offset, n)) {
            out[n] = kUnreadEntry;
            continue;
        }
        uint32_t value = get_be24(copy + size_t(n) * kFatEntrySize);
        if (value <= kLastLink && int64_t(value) > link_bound) {
            qv_warn("FAT%d %u item %u wrong!\n", copy_number, n, value);
            value = kBadEntry;
            bad = 1;
        }
        out[n] = value;
        if (other && value != kBadEntry && other[n] != kBadEntry && other[n] != kUnreadEntry &&
            value != other[n])
            qv_warn("FAT: %x: %x != %x\n", n, other[n], value);
    }
    return bad;
}

// Entries of one copy that could not be read are taken from the other copy
// (one warning per run of them); entries that neither copy could give are
// bad in both (drop_unread_in_both, first), so that no copy can be chosen.
void fill_unread(uint32_t* mine, const uint32_t* other, int my_number, int other_number) {
    const uint32_t count = qv->cluster_count;
    for (uint32_t n = 0; n < count;) {
        if (mine[n] != kUnreadEntry || other[n] == kUnreadEntry) {
            ++n;
            continue;
        }
        uint32_t first = n;
        for (; n < count && mine[n] == kUnreadEntry && other[n] != kUnreadEntry; ++n)
            mine[n] = other[n];
        qv_warn("FAT%d entries %u to %u cannot be read: taken from FAT%d\n", my_number, first,
                n - 1, other_number);
    }
}

// Entries that neither copy could give: bad in both, so that no copy can be
// chosen; with the salvage the end of a chain in both (one warning per run).
// Nonzero when there were any.
int drop_unread_in_both(uint32_t* first, uint32_t* second) {
    const uint32_t count = qv->cluster_count;
    int dropped = 0;
    const uint32_t taken = qv_options.salvage ? kEndOfChain : kBadEntry;
    for (uint32_t n = 0; n < count;) {
        if (first[n] != kUnreadEntry || second[n] != kUnreadEntry) {
            ++n;
            continue;
        }
        uint32_t from = n;
        dropped = 1;
        for (; n < count && first[n] == kUnreadEntry && second[n] == kUnreadEntry; ++n)
            first[n] = second[n] = taken;
        if (qv_options.salvage)
            qv_warn("FAT entries %u to %u cannot be read in either copy: taken as end of chain\n",
                    from, n - 1);
        else
            qv_warn("FAT entries %u to %u cannot be read in either copy\n", from, n - 1);
    }
    return dropped;
}

// The salvage of two copies that both have wrong links: the table is put
// together entry by entry. An entry wrong in one copy is taken from the
// other; one that passes in both from the copy a whole choice prefers (FAT2
// unless FAT2 is bad, then FAT1: so a disk with a whole copy would get just
// that copy); one wrong in both ends its chain.
void merge_copies(const uint32_t* fat1, const uint32_t* fat2, int fat2_bad) {
    const uint32_t count = qv->cluster_count;
    const uint32_t* preferred = fat2_bad ? fat1 : fat2;
    for (uint32_t n = 0; n < count; ++n) {
        if (fat1[n] != kBadEntry && fat2[n] != kBadEntry) {
            qv->fat[n] = preferred[n];
        } else if (fat1[n] != kBadEntry) {
            qv->fat[n] = fat1[n];
            qv_warn("FAT2 %u item wrong, taken from FAT1: %u\n", n, fat1[n]);
        } else if (fat2[n] != kBadEntry) {
            qv->fat[n] = fat2[n];
            qv_warn("FAT1 %u item wrong, taken from FAT2: %u\n", n, fat2[n]);
        } else {
            qv->fat[n] = kEndOfChain;
            qv_warn("FAT %u item wrong in both copies, taken as end of chain\n", n);
        }
    }
}

int has_bad_entry(const uint32_t* table) {
    for (uint32_t n = 0; n < qv->cluster_count; ++n)
        if (table[n] == kBadEntry) return 1;
    return 0;
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
                flags |= kFlagError;
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
                set_chain_damage(prefix, kind, b, next);
                if (qv->progress) qv->progress(-1);
                flags |= kFlagError;
            }
            break;
        }
    }
    return flags;
}

// The clusters where a lost recording may start (salvage): kept from the
// check for the listing.
cluster_bitmap lost_starts;

// Lost chain starts: clusters the directory walk did not reach (marks) and
// that no entry links to, which begin a chain (what the head search takes)
// or end one at once (a lost file of one cluster).
void find_lost_starts(const uint32_t* marks) {
    const uint32_t count = qv->cluster_count;
    static cluster_bitmap linked;
    clear_clusters(&linked);
    for (uint32_t c = 0; c < count; ++c)
        if (qv->fat[c] < count) add_cluster(&linked, qv->fat[c]);
    for (uint32_t c = 0; c < count; ++c) {
        const uint32_t v = qv->fat[c];
        if (marks[c] != kReached && !has_cluster(&linked, c) &&
            (v <= kMarkerLink || v == kEndOfChain))
            add_cluster(&lost_starts, c);
    }
}

}  // namespace

uint32_t root_entry_count() {
    uint32_t slack = get_be32(qv->boot_sector + kRootDirSlackOffset);
    return (((qv->cluster_size - slack) & kRootSlackMask) + kSectorSize) / kDirEntrySize;
}

// dir_list has room for cluster_size / 128 directories over the whole walk.
int check_dir(uint32_t dir_cluster, uint32_t entry_count, uint32_t* marks, uint32_t* dir_list,
              uint32_t* dir_count) {
    const uint32_t count = qv->cluster_count;
    const uint32_t per_cluster = qv->cluster_size / kDirEntrySize;
    const uint32_t list_room = per_cluster;
    static bad_sectors unread;
    if (qv_read_cluster_salvage(dir_cluster, cluster_buffer, &unread) == kSalvageFailed)
        return kCheckDirUnreadable;
    if (entry_count > per_cluster) entry_count = per_cluster;

    int result = 0;
    // Entries in unreadable sectors are skipped; what they held shows up as
    // lost clusters.
    for (uint32_t i = 0; i < entry_count && unread.count != 0;) {
        if (!dir_entry_unreadable(&unread, i)) {
            ++i;
            continue;
        }
        uint32_t first = i;
        while (i < entry_count && dir_entry_unreadable(&unread, i)) ++i;
        qv_warn("Directory at cluster %x: entries %u to %u cannot be read, skipped\n", dir_cluster,
                first, i - 1);
        result |= kUnreadableEntries;
    }
    for (uint32_t i = 0; i < entry_count; ++i) {
        const uint8_t* entry = cluster_buffer + size_t(i) * kDirEntrySize;
        uint8_t type = entry[kEntryType];
        if (type == kTypeEmpty || dir_entry_unreadable(&unread, i)) continue;
        entry_name name = name_of(entry);
        uint32_t s = get_be32(entry + kEntryStart);
        if (s >= count) {
            qv_warn("File %s: start cluster %x lies outside the table\n", name.text, s);
            result |= kLengthMismatch;
            continue;
        }
        int shared = type == kTypeShared0 || type == kTypeShared1;
        int already_reached = marks[s] == kReached;
        if (!shared && already_reached) {
            qv_warn("Crosslinked single block %x\n", s);
            result |= kSharedStart;
        }
        // The length as the chain gives it, followed in fat (never in marks).
        chain_end end;
        uint32_t len = chain_length(s, marks, &end);
        int damaged = end.kind != kLinkEnd;
        if (damaged) {
            char prefix[kErrorSize];
            snprintf(prefix, sizeof prefix, "File %s: chain ", name.text);
            set_chain_damage(prefix, end.kind, end.last, end.next);
            if (qv->progress) qv->progress(-1);
            result |= kLengthMismatch;
        }

        if (type == kTypeSubdir) {
            // A directory whose cluster was reached before (one pointing back
            // to an ancestor, a second entry of the same directory, or a free
            // cluster) is not walked again: that could never end.
            if (already_reached) {
                qv_warn("Directory %s at cluster %x already reached, not checked again\n",
                        name.text, s);
                result |= kLengthMismatch;
            } else if (*dir_count >= list_room) {
                qv_warn("Too many subdirectories: directory %s at cluster %x not checked\n",
                        name.text, s);
                result |= kLengthMismatch;
            } else {
                dir_list[(*dir_count)++] = s;
            }
            continue;
        }
        uint32_t stored = get_be32(entry + kEntryClusters);
        if (!damaged && len != stored) {
            qv_warn("File %s has incorrect length %u/%u\n", name.text, stored, len);
            result |= kLengthMismatch;
        }
    }
    return result;
}

namespace {

int check_file_system(uint32_t* first, uint32_t* second, uint32_t* dir_list) {
    const uint32_t count = qv->cluster_count;

    // Chain heads into the first array; the second marks successors, then
    // holds the owners of the cross-link walk.
    uint32_t head_count = find_chain_heads(first, second);
    int flags = cross_link_walk(first, head_count, second);

    // The mark array starts as a copy of the table: free clusters are 0xFFFFFF
    // from the start, every cluster the directory walk reaches becomes so.
    uint32_t* marks = second;
    memcpy(marks, qv->fat, sizeof(uint32_t) * count);
    // The root directory is the walk's starting point, reached by definition.
    marks[0] = kReached;

    uint32_t dir_count = 0;
    int r = check_dir(0, root_entry_count(), marks, dir_list, &dir_count);
    if (r == kCheckDirUnreadable) {
        if (qv->progress) qv->progress(-1);  // the read's message
        flags |= kFlagError | kFlagFatal;
    } else {
        flags |= r;
    }
    const uint32_t per_cluster = qv->cluster_size / kDirEntrySize;
    for (uint32_t k = 0; k < dir_count; ++k) {
        r = check_dir(dir_list[k], per_cluster, marks, dir_list, &dir_count);
        if (r == kCheckDirUnreadable) {
            if (qv->progress) qv->progress(-1);
            flags |= kFlagError | kFlagFatal;
        } else {
            flags |= r;
        }
    }

    uint32_t lost = 0;
    for (uint32_t n = 0; n < count; ++n) {
        if (marks[n] != kReached) {
            qv_warn("FAT item %x not accessible\n", n);
            flags |= kFlagError;
            ++lost;
        }
    }
    if (lost) qv_warn("Total of %u lost clusters found\n", lost);
    if (qv_options.salvage) find_lost_starts(marks);
    return flags;
}

}  // namespace

const cluster_bitmap* lost_chain_starts() { return &lost_starts; }

int read_fat() {
    clear_clusters(&lost_starts);
    const uint32_t count = qv->cluster_count;
    const uint32_t size = qv->cluster_size;
    if (!cluster_geometry_fits()) return 1;
    static bad_sectors unread;
    if (qv_read_salvage(0, cluster_buffer, size, 1, &unread) == kSalvageFailed) return 1;

    uint32_t* work = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * 2 * kWorkEntries));
    uint32_t* dir_list =
        static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (size / kDirEntrySize + 1)));
    if (!work || !dir_list) {
        free(work);
        free(dir_list);
        qv_set_error("Not enough memory to check the FAT.\n");
        return 1;
    }
    uint32_t* first = work;
    uint32_t* second = work + kWorkEntries;

    int salvaged = 0;  // the salvage uses a disk that would be refused
    int fat1_bad = decode_fat(kFat1Offset, first, 1, nullptr, &unread);
    int fat2_bad = decode_fat(kFat2Offset, second, 2, first, &unread);
    if (unread.count != 0) {
        // Each copy stands in for the other where that one is unreadable.
        if (drop_unread_in_both(first, second) && qv_options.salvage) salvaged = 1;
        fill_unread(first, second, 1, 2);
        fill_unread(second, first, 2, 1);
        fat1_bad = has_bad_entry(first);
        fat2_bad = has_bad_entry(second);
    }

    int result = 0;
    if (!fat2_bad || !fat1_bad) {
        memcpy(qv->fat, fat2_bad ? first : second, sizeof(uint32_t) * count);
    } else if (qv_options.salvage) {
        merge_copies(first, second, fat2_bad);
        salvaged = 1;
    } else {
        qv_set_error("No valid FAT24 found!\n");
        result = 1;
    }
    if (result == 0) {
        // Problems of the copy not chosen and differences do not count.
        memset(first, 0, sizeof(uint32_t) * count);
        memset(second, 0, sizeof(uint32_t) * count);
        int flags = check_file_system(first, second, dir_list);
        if (flags) {
            qv_set_error("FAT has errors, please correct!\n");
            if ((flags & kFlagFatal) && qv_options.salvage) {
                qv_warn("FAT has errors, please correct!\n");
                salvaged = 1;
            } else if (flags & kFlagFatal) {
                result = 1;
            }
        }
        if (salvaged) qv_warn("%s", kSalvageMessage);
    }
    free(work);
    free(dir_list);
    return result;
}
