// Directories and the recording table: a directory cluster and its entries
// (for the check and the table alike), the recordings of a directory (the
// root), ordered and named by the recorder's list file "__FILETSDB__.ss"
// when the directory holds one, and for the salvage those of the
// subdirectories that the check found; and the date conversion of the
// listing.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "disk/bytes.h"
#include "disk/fs/fs.h"

namespace {

constexpr size_t kListCountOffset = 0;
constexpr size_t kListNameMatch = 107;                       // characters a directory name keeps
constexpr size_t kListFileNameBytes = sizeof kListFileName;  // the name and its NUL
constexpr char kTableFull[] =
    "Salvage: the recording table is full: %d recordings are not listed\n";

// Where the list file of the directory parse_dir read last begins.
bool have_list_file = false;
uint32_t list_file_cluster = 0;

// The number of records of the list file whose first cluster is in
// cluster_buffer, bounded by what that cluster holds.
int32_t list_record_count() {
    int32_t n = int32_t(get_be32(cluster_buffer + kListCountOffset));
    // Records lie at 512 x k behind the count; only the first cluster was read.
    uint32_t records = qv->cluster_size / kListRecordSize;
    uint32_t room = records > 0 ? records - 1 : 0;
    if (room > kMaxRecordings) room = kMaxRecordings;
    if (n < 0) {
        qv_warn("List file names %d recordings: taken as none\n", n);
        n = 0;
    } else if (uint32_t(n) > room) {
        qv_warn(
            "List file names %d recordings, its first cluster holds only %u: the rest are "
            "ignored\n",
            n, room);
        n = int32_t(room);
    }
    return n;
}

// Orders the table by the n records of the list file in cluster_buffer;
// named[b] is set for every directory record a list record takes. Returns
// the number of records the table now holds.
int apply_list_file(const recording_entry* found, int found_count, int32_t n, uint8_t* named) {
    for (int32_t k = 1; k <= n; ++k) {
        char list_name[kNameSize];
        copy_name(list_name, sizeof list_name, cluster_buffer + size_t(k) * kListRecordSize,
                  kListRecordSize);
        for (int b = 0; b < found_count; ++b) {
            if (strncmp(found[b].name, list_name, kListNameMatch) == 0) {
                recording_entry* r = &qv->recordings[k - 1];
                *r = found[b];
                memcpy(r->name, list_name, strlen(list_name) + 1);
                named[b] = 1;
                break;
            }
        }
    }
    return n;
}

// The salvage: the recordings of the directory that the list file does not
// name follow the list's n, in directory order, as far as the table has
// room. Returns the table's new count.
int add_unlisted(const recording_entry* found, int found_count, int n, const uint8_t* named) {
    int unlisted = 0, dropped = 0;
    for (int b = 0; b < found_count; ++b) {
        if (named[b]) continue;
        if (n + unlisted < int(kMaxRecordings))
            qv->recordings[n + unlisted++] = found[b];
        else
            ++dropped;
    }
    // Counted whole: those that find no room are named by the line after.
    if (unlisted + dropped)
        qv_warn("Salvage: the list file does not name %d of the recordings: listed after its %d\n",
                unlisted + dropped, n);
    if (dropped) qv_warn(kTableFull, dropped);
    return n + unlisted;
}

// The table in directory order. Returns its count.
int in_directory_order(const recording_entry* found, int count) {
    memcpy(qv->recordings, found, sizeof(recording_entry) * size_t(count));
    return count;
}

// The table in the order of the list file at list_cluster, its names the
// list's; a list that cannot be read whole (its count, or any of its
// records) is not used: every recording is still offered in directory order.
int order_by_list(const recording_entry* found, int count, uint32_t list_cluster) {
    if (list_cluster >= qv->cluster_count) {
        // Already reported by the check of the file system.
        qv_warn("List file starts outside the table at cluster %x: not used\n", list_cluster);
        return in_directory_order(found, count);
    }
    static bad_sectors unread;
    int32_t n = 0;
    hold_cluster_buffer("the list file");
    int r = qv_read_cluster_salvage(list_cluster, cluster_buffer, &unread, kEffortScrape);
    bool usable = r != kSalvageFailed && !bad_bytes_touch(&unread, 0, kListRecordSize);
    if (usable) {
        n = list_record_count();
        usable = !bad_bytes_touch(&unread, kListRecordSize, uint32_t(n + 1) * kListRecordSize);
    }
    if (!usable) {
        release_cluster_buffer();
        qv_warn("List file cannot be read: the recordings are listed in directory order\n");
        return in_directory_order(found, count);
    }
    static uint8_t named[kMaxRecordings];
    memset(named, 0, size_t(count));
    int result = apply_list_file(found, count, n, named);
    release_cluster_buffer();
    if (qv_options.salvage) result = add_unlisted(found, count, result, named);
    return result;
}

}  // namespace

void fill_recording(recording_entry* r, const uint8_t* entry) {
    r->type = entry[kEntryType];
    r->mjd[0] = entry[kEntryMjd];
    r->mjd[1] = entry[kEntryMjd + 1];
    r->hour = entry[kEntryHour];
    r->minute = entry[kEntryMinute];
    memcpy(r->extra, entry + kEntryExtra, sizeof r->extra);
    r->start_cluster = get_be32(entry + kEntryStart);
    r->num_clusters = get_be32(entry + kEntryClusters);
    r->last_cluster_slack = get_be32(entry + kEntrySlack);
    copy_name(r->name, sizeof r->name, entry + kEntryName, kDirNameSize);
}

int add_nested_recordings(int count) {
    const salvage_findings* found = opening_findings();
    int dropped = 0;
    for (uint32_t i = 0; i < found->nested_count; ++i) {
        if (count < int(kMaxRecordings))
            qv->recordings[count++] = found->nested[i];
        else
            ++dropped;
    }
    if (dropped) qv_warn(kTableFull, dropped);
    qv->recording_count = count;
    return count;
}

int read_directory(uint32_t cluster, uint32_t entry_count, directory_cluster* dir) {
    static bad_sectors unread;
    hold_cluster_buffer("a directory");
    if (qv_read_cluster_salvage(cluster, cluster_buffer, &unread, kEffortScrape) ==
        kSalvageFailed) {
        release_cluster_buffer();
        return 1;
    }
    // Never past the cluster that was read.
    const uint32_t per_cluster = qv->cluster_size / kDirEntrySize;
    *dir =
        directory_cluster{cluster, entry_count < per_cluster ? entry_count : per_cluster, &unread};
    return 0;
}

bool entry_unreadable(const directory_cluster* dir, uint32_t i) {
    return bad_bytes_touch(dir->unread, uint32_t(i * kDirEntrySize),
                           uint32_t((i + 1) * kDirEntrySize));
}

const uint8_t* directory_entry(const directory_cluster* dir, uint32_t i) {
    const uint8_t* entry = cluster_buffer + size_t(i) * kDirEntrySize;
    if (entry[kEntryType] == kTypeEmpty || entry_unreadable(dir, i)) return nullptr;
    return entry;
}

void copy_name(char* out, size_t out_size, const uint8_t* field, size_t field_size) {
    size_t len = 0;
    while (len < field_size && len + 1 < out_size && field[len] != 0) ++len;
    memcpy(out, field, len);
    out[len] = 0;
}

int parse_dir(uint32_t dir_cluster, uint32_t entry_count, uint8_t type_mask, uint8_t type_value) {
    directory_cluster dir;
    if (read_directory(dir_cluster, entry_count, &dir) != 0) return -1;
    // A record for each entry examined, as many as the table holds.
    const size_t room = std::min<size_t>(kMaxRecordings, dir.entry_count);
    recording_entry* found =
        static_cast<recording_entry*>(calloc(room + 1, sizeof(recording_entry)));
    if (!found) {
        release_cluster_buffer();
        qv_set_error("Not enough memory to process directory.\n");
        return -1;
    }
    int count = 0;
    bool have_list = false;
    uint32_t list_cluster = 0;
    for (uint32_t i = 0; i < dir.entry_count; ++i) {
        // Unreadable entries were reported by the check of the file system.
        const uint8_t* entry = directory_entry(&dir, i);
        if (!entry) continue;
        if ((entry[kEntryType] & type_mask) == type_value && count < int(kMaxRecordings))
            fill_recording(&found[count++], entry);
        if (memcmp(entry + kEntryName, kListFileName, kListFileNameBytes) == 0) {
            have_list = true;
            list_cluster = get_be32(entry + kEntryStart);
        }
    }
    release_cluster_buffer();
    have_list_file = have_list;
    list_file_cluster = list_cluster;
    int result =
        have_list ? order_by_list(found, count, list_cluster) : in_directory_order(found, count);
    free(found);
    qv->recording_count = result;
    return result;
}

bool list_file_start(uint32_t* cluster) {
    *cluster = list_file_cluster;
    return have_list_file;
}

void convert_date_time(const uint8_t* src, int* year, int* month, int* day, int* hour,
                       int* minute) {
    *hour = src[2];
    *minute = src[3];
    int32_t mjd = int32_t(src[0]) * 256 + src[1];
    if (mjd == 0) {
        *year = *month = *day = 0;
        return;
    }
    // The DVB service information conversion (EN 300 468 Annex C) in
    // integers scaled by 10000, every division truncating toward zero.
    int32_t t = mjd * 10000;
    int32_t y = (t - 150782000) / 3652500;
    int32_t a = ((y * 3652500) / 10000) * 10000;
    int32_t m = (t - a - 149561000) / 306001;
    int32_t b = ((m * 306001) / 10000) * 10000;
    *day = (t - a - b - 149560000) / 10000;
    if (m > 13) {
        *year = y + 1 + 1900;
        *month = m - 13;
    } else {
        *year = y + 1900;
        *month = m - 1;
    }
}

int64_t recording_size_mb(const recording_entry* entry) {
    return int64_t((uint64_t(entry->num_clusters) * qv->cluster_size) >> 20);
}
