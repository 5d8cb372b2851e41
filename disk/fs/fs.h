// The file system layer: the recorder's on-disk format, opening the disk
// (geometry and the check), loading and choosing the allocation table, the
// check of the whole file system, the chain step every walk uses, the
// directory and the recording table, and lost recordings.
//
// Results: an operation returns 0 on success and nonzero on failure with the
// reason in qv_error (parse_dir and add_lost_recordings return a count, -1
// on failure); a function named as a question returns bool.
#pragma once

#include <cstdint>

#include "disk/device/device.h"
#include "disk/qvdisk.h"

// --- the on-disk format ---
// First sector, in recorder order.
constexpr size_t kSignatureOffset = 4;
constexpr size_t kSignatureLength = 17;  // 16 characters and a zero byte
constexpr char kSignature[] = "VELMORAN PVR HDD";
constexpr size_t kSectorsPerClusterOffset = 34;
constexpr size_t kRootDirSlackOffset = 44;
// The root directory's bytes in use, cut to whole sectors (and taken modulo
// 1 MiB, as the recorder does): root entries = ((size - slack) & mask + 512) / 128.
constexpr uint32_t kRootSlackMask = 0xFFE00;

// System area layout (disk cluster 0).
constexpr uint32_t kFat1Offset = 0x20000;
constexpr uint32_t kFat2Offset = 0x80000;
constexpr uint32_t kFatEntrySize = 3;

// Allocation table values.
constexpr uint32_t kLastLink = 0xFFFFFA;    // highest plain link value
constexpr uint32_t kMarkerLink = 0xFFFFFB;  // still walked as a link by the chain walks
constexpr uint32_t kEndOfChain = 0xFFFFFE;
constexpr uint32_t kFreeCluster = 0xFFFFFF;
constexpr uint32_t kBadEntry = 0xFFFFFFFF;  // decoded entry that failed the range check

// Directory entries: 128 bytes each from the start of a directory cluster.
constexpr size_t kDirEntrySize = 128;
constexpr size_t kDirNameSize = 108;  // name field of a directory entry
constexpr uint8_t kTypeEmpty = 0xFF;
constexpr uint8_t kTypeRecording = 0xD1;
constexpr uint8_t kTypeSubdir = 0xF2;
constexpr uint8_t kTypeShared0 = 0xF0;
constexpr uint8_t kTypeShared1 = 0xF1;
constexpr size_t kEntryType = 0;
constexpr size_t kEntryMjd = 1;
constexpr size_t kEntryHour = 3;
constexpr size_t kEntryMinute = 4;
constexpr size_t kEntryExtra = 5;
constexpr size_t kEntryStart = 8;
constexpr size_t kEntryClusters = 12;
constexpr size_t kEntrySlack = 16;
constexpr size_t kEntryName = 20;

constexpr char kListFileName[] = "__FILETSDB__.ss";
constexpr uint32_t kListRecordSize = 512;

// A recording: the 212-byte recording header, then transport packets that
// run on across cluster boundaries.
constexpr size_t kHeaderProgramNumber = 18;
constexpr size_t kHeaderPmtPid = 20;
constexpr size_t kHeaderVideoPid = 24;
constexpr size_t kHeaderAudioPid = 26;
constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kTsSyncByte = 0x47;
constexpr uint32_t kFirstPacketSearchEnd = 655;  // last offset tried for the first packet
constexpr uint32_t kPidMask = 0x1FFF;

// --- opening (open.cpp) ---
// How the run takes its disk; all zero is the plain run (the image
// "qvdisk.img" here or in the parent directory, else the drives).
struct qv_settings {
    const char* image_path;   // only this file is read, as the disk image
    const char* device_path;  // only this drive is read (on Windows also just its number)
    int salvage;              // use a disk the check refuses, as it stands
    // The whole disk is imaged: a file system the check refuses is shown, not fatal.
    int whole_disk;
    // Nonzero for a path the run writes to (the image copy to continue).
    int (*excluded)(const char* path);
    // Called once the disk is found and its geometry known, before its file
    // system is read (mode "disk" sets up its image and map there, so that
    // every read of the opening lands in them).
    void (*found)();
};
extern qv_settings qv_options;

// Finds and opens the disk, derives the cluster geometry from its first
// sector and loads and checks the file system (read_fat).
int open_qvdisk(progress_callback progress);
// Whether the cluster geometry can be worked with: disk cluster 0 holds FAT2
// whole and a cluster fits cluster_buffer. False with the reason in qv_error.
bool cluster_geometry_fits();

// --- the allocation table (table.cpp) and the check (check.cpp) ---
// Loads both copies of the table, chooses one (or, with the salvage, puts
// them together) into qv->fat and checks the whole file system against it.
int read_fat();
// Checks the first entry_count entries of the directory in dir_cluster
// against the mark array (one value per cluster: kFreeCluster once free or
// reached), appending its subdirectories to dir_list (room for cluster_size
// / 128 over the whole walk; *dir_count of them used). -1 when it cannot be
// read, else the flags of what it found: 1 a length mismatch or a damaged
// chain (or unreadable entries), 2 a shared start.
int check_dir(uint32_t dir_cluster, uint32_t entry_count, uint32_t* marks, uint32_t* dir_list,
              uint32_t* dir_count);
// The flags of the check's verdict: an error (the disk is used, "FAT has
// errors, please correct!" stays in qv_error) and a fatal one (refused).
constexpr int kCheckError = 1;
constexpr int kCheckFatal = 2;
// Checks the file system against qv->fat (table.cpp's read_fat calls it with
// its two working arrays of kMaxClusters entries and the directory list);
// every finding is shown at once. Returns the verdict's flags.
int check_file_system(uint32_t* first, uint32_t* second, uint32_t* dir_list);
// Entries of the root directory: from the boot sector's root_dir_slack.
uint32_t root_entry_count();
// Clusters one walk has taken, a bit for every cluster of the largest table.
struct cluster_bitmap {
    uint8_t bits[kMaxClusters / 8];
};
// After read_fat with qv_options.salvage: the clusters that no directory
// entry reaches and no entry links to, that begin a chain or are a chain of
// their own (a lost recording may start at each). Empty otherwise.
const cluster_bitmap* lost_chain_starts();
// After read_fat: the directory clusters the check read (the root's 0 and
// every subdirectory it reached).
const cluster_bitmap* checked_directories();

// --- the chain step (chain.cpp) ---
// The next link of a chain, classified once. Every walk (the check, the
// length count, the raw copy, the reader) asks this and ends where it says
// the chain ends, so that they all agree on a damaged chain.
enum link_kind {
    kLinkNext,     // *next is the next cluster, within the table
    kLinkEnd,      // end of chain: the cluster is the file's last
    kLinkFree,     // the cluster's own entry says free
    kLinkMarker,   // a marker value (0xFFFFFB to 0xFFFFFD)
    kLinkOutside,  // a link at or beyond cluster_count
};
// Entries of fat that may be indexed: cluster_count, at most kMaxClusters.
uint32_t table_size();
// The link of cluster (which must lie within the table: else kLinkOutside);
// *next is the entry's value whatever its kind.
link_kind chain_next(uint32_t cluster, uint32_t* next);
// The damage a walk met at cluster, whose link chain_next gave as kind and
// next, worded once for every walk behind the walk's own prefix (composed:
// "File Film: chain ", "Recording Film: chain ", "Chain 3 "); kLinkNext
// means that next was taken before in this walk: the chain loops there.
// Formats into qv_error.
void set_chain_damage(const char* prefix, link_kind kind, uint32_t cluster, uint32_t next);
// set_chain_damage, then shown through callback (-1).
void show_chain_damage(progress_callback callback, const char* prefix, link_kind kind,
                       uint32_t cluster, uint32_t next);

void clear_clusters(cluster_bitmap* set);
bool has_cluster(const cluster_bitmap* set, uint32_t c);  // beyond the largest table: never
void add_cluster(cluster_bitmap* set, uint32_t c);

// How a chain_length walk ended: kind and next as chain_next gave them at
// the last cluster (kLinkNext: next was taken before, the chain loops).
struct chain_end {
    link_kind kind;
    uint32_t last;
    uint32_t next;
};
// Follows the chain from start (within the table) to its end or its first
// repeat: the number of clusters taken, never more than the table has. When
// reached is not null, every cluster taken is set to kFreeCluster in it (the
// check's mark of a cluster that the directory walk reached).
uint32_t chain_length(uint32_t start, uint32_t* reached, chain_end* end);

// --- directories and the recording table (directory.cpp) ---
// One directory cluster as read into cluster_buffer: its entries that are
// examined, and the sectors that could not be read.
struct directory_cluster {
    uint32_t cluster;
    uint32_t entry_count;  // at most the entries the cluster holds
    const bad_sectors* unread;
};
// Reads directory cluster into cluster_buffer. 0, or 1 when nothing could
// be read (the read's message in qv_error).
int read_directory(uint32_t cluster, uint32_t entry_count, directory_cluster* dir);
// Whether entry i lies in an unreadable sector.
bool entry_unreadable(const directory_cluster* dir, uint32_t i);
// Entry i (below entry_count), or null for an empty slot or an unreadable one.
const uint8_t* directory_entry(const directory_cluster* dir, uint32_t i);
// Copies a name of at most field_size bytes into out (out_size bytes), cut
// where the field has no NUL: never reads past the field, always terminates.
void copy_name(char* out, size_t out_size, const uint8_t* field, size_t field_size);
// Sets qv->recording_count to its result. With qv_options.salvage, the
// recordings the list file does not name follow the list's, in directory order.
int parse_dir(uint32_t dir_cluster, uint32_t entry_count, uint8_t type_mask, uint8_t type_value);
// After parse_dir: whether the directory it read holds the list file, and
// the cluster where that begins.
bool list_file_start(uint32_t* cluster);
void convert_date_time(const uint8_t* src, int* year, int* month, int* day, int* hour, int* minute);
// Size of a recording in MB: num_clusters x cluster_size >> 20.
int64_t recording_size_mb(const recording_entry* entry);

// --- recording headers (recording_header.cpp) ---
// The first transport packet behind the recording header in the first
// limit valid bytes of a recording's first cluster: a sync byte with another
// one a packet later (or the valid end), at offsets 212 to 655. True with
// its offset in *pos when found.
bool find_first_packet(const uint8_t* data, uint32_t limit, uint32_t* pos);

// --- the areas that matter (matter.cpp) ---
// What a rescue of the disk reads first, in this order: the system area
// (disk cluster 0), every directory cluster the check read, the list file's
// clusters, then the recordings' clusters: those of order (order_count
// indices of the recording table) first, then the others in table order.
// Each chain is followed to its end, a damaged link or a cluster listed
// already; consecutive clusters are one area. 0, or 1 when no memory is
// left (qv_error).
int list_matter_areas(const int* order, int order_count, rescue_areas* areas);

// --- lost recordings (lost.cpp) ---
// With qv_options.salvage: appends to the count recordings of the table a
// recording "lost_%06x" for every lost chain start (lost_chain_starts) whose
// first cluster holds a recording header, in ascending order, as long as
// the table has room. One read of each start's first cluster. Returns the
// new count (also in qv->recording_count).
int add_lost_recordings(int count);
