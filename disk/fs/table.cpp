// The allocation table: loading both copies from the system area and
// choosing one (with the salvage, putting two damaged ones together), then
// the check of the whole file system against it and the verdict.
//
// The recorder keeps its FAT twice, 24-bit big-endian entries packed without
// gaps (FAT1 at 0x20000, FAT2 at 0x80000 of disk cluster 0). Every problem is
// shown as a warning the moment it is found; the verdict has two flags:
// error (the disk is used, "FAT has errors, please correct!" stays in
// qv_error) and fatal (the opening fails).
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fs/fs.h"

namespace {

constexpr char kSalvageMessage[] =
    "Salvage: the disk is used as it stands; recordings that share clusters may hold each other's "
    "data\n";
constexpr char kCheckFailedMessage[] = "FAT has errors, please correct!\n";

// Working arrays of read_fat, 512 KiB each.
constexpr size_t kWorkEntries = kMaxClusters;

// A decoded entry that lies in an unreadable sector of the system area.
constexpr uint32_t kUnreadEntry = 0xFFFFFFFE;

// Whether entry n of the copy at offset touches an unreadable sector.
bool fat_entry_unreadable(const bad_sectors* bad, uint32_t offset, uint32_t n) {
    uint32_t at = offset + n * kFatEntrySize;
    return bad_bytes_touch(bad, at, at + kFatEntrySize);
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

// Both copies of the table as decoded, and what became of them.
struct fat_copies {
    uint32_t* first;   // FAT1, later the check's first working array
    uint32_t* second;  // FAT2, later the check's second working array
    int fat1_bad;
    int fat2_bad;
    int salvaged;  // the salvage uses a disk that would be refused
};

// Reads disk cluster 0 and decodes both copies; each stands in for the other
// where that one is unreadable. 0, or 1 when nothing could be read.
int load_copies(fat_copies* c) {
    static bad_sectors unread;
    if (qv_read_salvage(0, cluster_buffer, qv->cluster_size, 1, &unread, kEffortScrape) ==
        kSalvageFailed)
        return 1;
    c->fat1_bad = decode_fat(kFat1Offset, c->first, 1, nullptr, &unread);
    c->fat2_bad = decode_fat(kFat2Offset, c->second, 2, c->first, &unread);
    if (unread.count == 0) return 0;
    if (drop_unread_in_both(c->first, c->second) && qv_options.salvage) c->salvaged = 1;
    fill_unread(c->first, c->second, 1, 2);
    fill_unread(c->second, c->first, 2, 1);
    c->fat1_bad = has_bad_entry(c->first);
    c->fat2_bad = has_bad_entry(c->second);
    return 0;
}

// Chooses the copy for qv->fat: FAT2 unless it is bad, then FAT1; with the
// salvage two bad copies are put together. 0, or 1 with "No valid FAT24
// found!" in qv_error.
int choose_copy(fat_copies* c) {
    const uint32_t count = qv->cluster_count;
    if (!c->fat2_bad || !c->fat1_bad) {
        memcpy(qv->fat, c->fat2_bad ? c->first : c->second, sizeof(uint32_t) * count);
    } else if (qv_options.salvage) {
        merge_copies(c->first, c->second, c->fat2_bad);
        c->salvaged = 1;
    } else {
        qv_set_error("No valid FAT24 found!\n");
        return 1;
    }
    // Problems of the copy not chosen and differences do not count.
    memset(c->first, 0, sizeof(uint32_t) * count);
    memset(c->second, 0, sizeof(uint32_t) * count);
    return 0;
}

// The verdict of the check's flags: 0 the disk is used, 1 it is refused.
int verdict(int flags, int salvaged) {
    int result = 0;
    if (flags) {
        qv_set_error("%s", kCheckFailedMessage);
        if ((flags & kCheckFatal) && qv_options.salvage) {
            qv_warn("%s", kCheckFailedMessage);
            salvaged = 1;
        } else if (flags & kCheckFatal) {
            result = 1;
        }
    }
    if (salvaged) qv_warn("%s", kSalvageMessage);
    return result;
}

}  // namespace

int read_fat() {
    if (!cluster_geometry_fits()) return 1;
    uint32_t* work = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * 2 * kWorkEntries));
    uint32_t* dir_list =
        static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (qv->cluster_size / kDirEntrySize + 1)));
    int result = 1;
    fat_copies copies = {work, work + kWorkEntries, 0, 0, 0};
    if (!work || !dir_list) {
        qv_set_error("Not enough memory to check the FAT.\n");
    } else if (load_copies(&copies) == 0 && choose_copy(&copies) == 0) {
        int flags = check_file_system(copies.first, copies.second, dir_list);
        result = verdict(flags, copies.salvaged);
    }
    free(work);
    free(dir_list);
    return result;
}
