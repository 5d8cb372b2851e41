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

// A decoded entry that lies in an unreadable sector of the system area.
constexpr uint32_t kUnreadEntry = 0xFFFFFFFE;

// Whether entry n of the copy at offset touches an unreadable sector.
bool fat_entry_unreadable(const bad_sectors* bad, uint32_t offset, uint32_t n) {
    uint32_t at = offset + n * kFatEntrySize;
    return bad_bytes_touch(bad, at, at + kFatEntrySize);
}

// Entry n of the copy at offset as stored (cluster_buffer holds disk cluster 0).
uint32_t stored_entry(uint32_t offset, uint32_t n) {
    return get_be24(cluster_buffer + offset + size_t(n) * kFatEntrySize);
}

// Decodes one FAT copy into out, without a word: entries in unreadable
// sectors become kUnreadEntry, links beyond the disk kBadEntry.
void decode_fat(uint32_t offset, uint32_t* out, const bad_sectors* unread) {
    const int64_t link_bound = qv->disk_sectors / 2048;  // the disk size in whole MiB
    for (uint32_t n = 0; n < qv->cluster_count; ++n) {
        const uint32_t value = stored_entry(offset, n);
        if (fat_entry_unreadable(unread, offset, n))
            out[n] = kUnreadEntry;
        else
            out[n] = value <= kLastLink && int64_t(value) > link_bound ? kBadEntry : value;
    }
}

// Shows what decode_fat found in the copy at offset: every link beyond the
// disk, and (the FAT2 pass) every difference from FAT1 (other). Returns
// nonzero when a link is beyond the disk.
int report_decoded(uint32_t offset, const uint32_t* decoded, int copy_number,
                   const uint32_t* other) {
    int bad = 0;
    for (uint32_t n = 0; n < qv->cluster_count; ++n) {
        const uint32_t value = decoded[n];
        if (value == kBadEntry) {
            qv_warn("FAT%d %u item %u wrong!\n", copy_number, n, stored_entry(offset, n));
            bad = 1;
        }
        if (other && value != kBadEntry && value != kUnreadEntry && other[n] != kBadEntry &&
            other[n] != kUnreadEntry && value != other[n]) {
            add_cluster(&opening_findings()->differing, n);
            qv_warn("FAT: %x: %x != %x\n", n, other[n], value);
        }
    }
    return bad;
}

// Why a decoded copy cannot be used at all, or null when it can: when more
// than half of its entries cannot be read, lie beyond the disk or link to
// cluster 0 (the root directory, which nothing links to), it is named after
// the most of them.
const char* unusable_copy(const uint32_t* decoded) {
    uint32_t unread = 0, wrong = 0, zero = 0;
    for (uint32_t n = 0; n < qv->cluster_count; ++n) {
        unread += decoded[n] == kUnreadEntry;
        wrong += decoded[n] == kBadEntry;
        zero += decoded[n] == 0;
    }
    if (uint64_t(unread) + wrong + zero <= qv->cluster_count / 2) return nullptr;
    if (unread >= wrong && unread >= zero) return "unreadable";
    return zero >= wrong ? "zeroed" : "out of range";
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
        for (; n < count && first[n] == kUnreadEntry && second[n] == kUnreadEntry; ++n) {
            first[n] = second[n] = taken;
            add_cluster(&opening_findings()->unknown_links, n);
        }
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
            add_cluster(&opening_findings()->unknown_links, n);
            qv_warn("FAT %u item wrong in both copies, taken as end of chain\n", n);
        }
    }
}

bool has_bad_entry(const uint32_t* table) {
    for (uint32_t n = 0; n < qv->cluster_count; ++n)
        if (table[n] == kBadEntry) return true;
    return false;
}

// Both copies of the table as decoded, and what became of them.
struct fat_copies {
    uint32_t* first;   // FAT1, later the check's first working array
    uint32_t* second;  // FAT2, later the check's second working array
    int fat1_bad;
    int fat2_bad;
    int salvaged;  // the salvage uses a disk that would be refused
};

// What decode_fat found in a copy, as report_decoded shows it; of a copy
// that cannot be used at all (unusable: why) only that, in one line.
// Nonzero when the copy is bad.
int report_copy(uint32_t offset, const uint32_t* decoded, int copy_number, const uint32_t* other,
                const char* unusable) {
    if (!unusable) return report_decoded(offset, decoded, copy_number, other);
    qv_warn("Salvage: FAT%d cannot be used (%s): its findings are left out\n", copy_number,
            unusable);
    return 1;
}

// With the salvage and neither copy usable: the table is left out with one
// line, and qv->fat holds no chain, only the root directory's own end.
void go_without_table(const char* fat1_reason, const char* fat2_reason) {
    qv_warn(
        "Salvage: neither copy of the allocation table can be used (FAT1 %s, FAT2 %s): the "
        "table's findings are left out, every chain is found by content\n",
        fat1_reason, fat2_reason);
    for (uint32_t n = 0; n < qv->cluster_count; ++n) qv->fat[n] = kFreeCluster;
    qv->fat[0] = kEndOfChain;
    opening_findings()->no_table = true;
}

// Reads disk cluster 0 and decodes both copies; each stands in for the other
// where that one is unreadable. With the salvage a copy that cannot be used
// at all counts as bad, and with neither usable the table is gone. 0, or 1
// when nothing could be read.
int load_held_copies(fat_copies* c) {
    static bad_sectors unread;
    if (qv_read_salvage(0, cluster_buffer, qv->cluster_size, 1, &unread, kEffortScrape) ==
        kSalvageFailed)
        return 1;
    decode_fat(kFat1Offset, c->first, &unread);
    decode_fat(kFat2Offset, c->second, &unread);
    const char* fat1_unusable = qv_options.salvage ? unusable_copy(c->first) : nullptr;
    const char* fat2_unusable = qv_options.salvage ? unusable_copy(c->second) : nullptr;
    if (fat1_unusable && fat2_unusable) {
        go_without_table(fat1_unusable, fat2_unusable);
        return 0;
    }
    c->fat1_bad = report_copy(kFat1Offset, c->first, 1, nullptr, fat1_unusable);
    c->fat2_bad =
        report_copy(kFat2Offset, c->second, 2, fat1_unusable ? nullptr : c->first, fat2_unusable);
    if (unread.count == 0) return 0;
    if (drop_unread_in_both(c->first, c->second) && qv_options.salvage) c->salvaged = 1;
    fill_unread(c->first, c->second, 1, 2);
    fill_unread(c->second, c->first, 2, 1);
    c->fat1_bad = has_bad_entry(c->first) || fat1_unusable;
    c->fat2_bad = has_bad_entry(c->second) || fat2_unusable;
    return 0;
}

// The same with disk cluster 0 in cluster_buffer, held while it is decoded.
int load_copies(fat_copies* c) {
    hold_cluster_buffer("the allocation table");
    const int result = load_held_copies(c);
    release_cluster_buffer();
    return result;
}

// Chooses the copy for qv->fat: FAT2 unless it is bad, then FAT1; with the
// salvage two bad copies are put together. 0, or 1 with "No valid FAT24
// found!" in qv_error.
int choose_copy(fat_copies* c) {
    const uint32_t count = qv->cluster_count;
    if (opening_findings()->no_table) {
        c->salvaged = 1;
    } else if (!c->fat2_bad || !c->fat1_bad) {
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
    // Two working arrays of one entry per cluster of the table.
    const size_t entries = qv->cluster_count;
    uint32_t* work = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * 2 * (entries + 1)));
    uint32_t* dir_list =
        static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (qv->cluster_size / kDirEntrySize + 1)));
    int result = 1;
    fat_copies copies = {work, work + entries + 1, 0, 0, 0};
    clear_findings();
    if (!work || !dir_list) {
        qv_set_error("Not enough memory to check the FAT.\n");
    } else if (load_copies(&copies) == 0 && choose_copy(&copies) == 0) {
        const bool with_table = !opening_findings()->no_table;
        int flags = check_file_system(copies.first, copies.second, dir_list, with_table);
        result = verdict(flags, copies.salvaged);
    }
    free(work);
    free(dir_list);
    return result;
}
