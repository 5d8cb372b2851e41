// The file system layer: the recorder's on-disk format, opening the disk
// (geometry and the check), loading and choosing the allocation table, the
// check of the whole file system, the chain step every walk uses, the
// directory and the recording table, and lost recordings.
//
// Results: an operation returns 0 on success and nonzero on failure with the
// reason in qv_error (parse_dir and salvage_recordings return a count, -1
// on failure); a function named as a question returns bool.
#pragma once

#include <cstdint>

#include "disk/bytes.h"
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
// In memory only, never on the disk: the salvage found no cluster that
// continues the recording's stream, and the table could not tell either.
constexpr uint32_t kNoContinuation = 0xFFFFFFFD;

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
constexpr uint32_t kNullPid = 0x1FFF;  // stuffing packets, which carry nothing

// --- transport packet fields (packet_fields.cpp): every field is read
// through these, so each is decoded in one place. p points at a whole
// 188-byte packet (the four header bytes for the inline ones).
constexpr uint32_t kTsHeaderSize = 4;
constexpr uint8_t kPayloadUnitStart = 0x40;  // byte 1
constexpr uint8_t kScramblingMask = 0xC0;    // byte 3
constexpr uint8_t kAdaptationFieldFlag = 0x20;
constexpr uint8_t kPayloadFlag = 0x10;
constexpr uint8_t kContinuityMask = 0x0F;
constexpr uint32_t kContinuityModulus = 16;
constexpr uint64_t kPcrTicksPerBase = 300;
constexpr uint64_t kPcrModulus = (uint64_t(1) << 33) * kPcrTicksPerBase;  // the clock wraps here
constexpr uint64_t kPcrTicksPerSecond = 27000000;
constexpr uint32_t kNoPayload = 0;  // ts_payload_offset of a packet without payload
inline uint32_t ts_pid(const uint8_t* p) { return get_be16(p + 1) & kPidMask; }
inline bool ts_unit_start(const uint8_t* p) { return (p[1] & kPayloadUnitStart) != 0; }
inline bool ts_scrambled(const uint8_t* p) { return (p[3] & kScramblingMask) != 0; }
inline uint32_t ts_continuity(const uint8_t* p) { return p[3] & kContinuityMask; }
// Whether the packet says it carries payload (its continuity counter then
// counts it).
inline bool ts_has_payload(const uint8_t* p) { return (p[3] & kPayloadFlag) != 0; }
// Where the payload begins (behind the adaptation field), or kNoPayload when
// the packet carries none: no payload flag, or an adaptation field that
// leaves no room for it.
uint32_t ts_payload_offset(const uint8_t* p);
// The discontinuity_indicator of the adaptation field (false without one).
bool ts_discontinuity(const uint8_t* p);
// The PCR in 27 MHz units into *pcr; false unless the adaptation field holds
// one (PCR_flag set and the field long enough for its six bytes).
bool ts_pcr(const uint8_t* p, uint64_t* pcr);
// The time of the PES packet that begins in p (a unit start, not scrambled):
// its DTS, else its PTS, 90 kHz, into *time; false when its header holds
// neither inside the packet.
bool ts_pes_time(const uint8_t* p, uint64_t* time);

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
    bool (*excluded)(const char* path);
    // Called once the disk is found and its geometry known, before its file
    // system is read (mode "disk" sets up its image and map there, so that
    // every read of the opening lands in them).
    void (*found)();
    // Called once the size of a disk named on the command line is known,
    // before its first read: nonzero refuses it (the reason in qv_error).
    int (*before_reading)(int64_t disk_bytes);
};
extern qv_settings qv_options;

// Finds and opens the disk, derives the cluster geometry from its first
// sector and loads and checks the file system (read_fat).
int open_qvdisk(progress_callback progress);
// Whether the disk's cluster size is known: mode "disk" images a disk
// whose first sector cannot tell it without one (no file system is read).
bool geometry_known();
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
// its two working arrays of an entry per cluster and the directory list);
// every finding is shown at once. Without a table (with_table false: the
// salvage found neither copy usable) only the directories are walked, and
// what the walk finds of chains and lengths is left out. Returns the
// verdict's flags.
int check_file_system(uint32_t* first, uint32_t* second, uint32_t* dir_list, bool with_table);
// Entries of the root directory: from the boot sector's root_dir_slack.
uint32_t root_entry_count();
// Clusters one walk has taken, a bit for every cluster of the largest table.
struct cluster_bitmap {
    uint8_t bits[kMaxClusters / 8];
};
// A file entry's chain as its directory gives it (for the salvage).
struct file_chain {
    uint32_t start;
    uint32_t clusters;  // the entry's num_clusters
    bool recording;
};
// What opening the disk leaves for the salvage's carving: kept by read_fat
// and the check for salvage_recordings.
struct salvage_findings {
    bool no_table;                 // neither copy usable: qv->fat holds no chain
    cluster_bitmap unknown_links;  // entries neither copy could give (taken as end of chain)
    cluster_bitmap differing;      // entries in which two usable copies differ
    cluster_bitmap directories;    // the root and every subdirectory the walk took
    cluster_bitmap entry_starts;   // where an entry of any directory starts
    cluster_bitmap chain_starts;   // where a file or a directory starts: no link may lead there
    cluster_bitmap unreached;      // allocated clusters that no directory entry reaches
    // With the salvage: the chain of every file entry of every directory (not
    // those that may share their start), and the recordings of the
    // subdirectories, named by their path ("Archiv/Film"); incomplete when
    // there was no memory for all of them.
    file_chain* files;
    uint32_t file_count, file_room;
    recording_entry* nested;
    uint32_t nested_count, nested_room;
    bool incomplete;
};
salvage_findings* opening_findings();
// Forgets the findings of an earlier opening (read_fat, before it loads).
void clear_findings();

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
    kLinkUnknown,  // kNoContinuation: the salvage found nothing that goes on
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

// Walks the chain from start to its end, its first damage or its first
// cluster in taken, adding each cluster it visits to taken; visit(cluster,
// link) returns false to stop there.
template <class Visit>
void walk_untaken_chain(uint32_t start, cluster_bitmap* taken, Visit visit) {
    for (uint32_t c = start; c < table_size() && !has_cluster(taken, c);) {
        add_cluster(taken, c);
        uint32_t next = 0;
        const link_kind link = chain_next(c, &next);
        if (!visit(c, link) || link != kLinkNext) return;
        c = next;
    }
}

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
// A recording table entry from directory entry (its name as the entry gives it).
void fill_recording(recording_entry* r, const uint8_t* entry);
// The salvage: the recordings of the subdirectories that the check found
// follow the count of the table, as far as it has room. The new count.
int add_nested_recordings(int count);
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
// indices of the recording table) first, then the others in table order
// (with the salvage, those of the subdirectories and the lost ones last).
// Each chain is followed to its end, a damaged link or a cluster listed
// already; consecutive clusters are one area. 0, or 1 when no memory is
// left (qv_error).
int list_matter_areas(const int* order, int order_count, rescue_areas* areas);

// Whether data, the first limit bytes of a cluster, begin with a recording
// header: the first packet is found (find_first_packet), the bytes in front
// of it hold no packet in step with those behind it whose PID occurs behind
// it, and the video or audio PID the header names occurs in the packets
// behind it. A cluster from the middle of a recording passes the first test,
// never the second.
bool holds_recording_header(const uint8_t* data, uint32_t limit);
// A PID field of a recording header (offset kHeader*Pid): its low 13 bits.
uint32_t header_field_pid(const uint8_t* header, size_t offset);

// --- cluster signatures (signature.cpp) ---
// What the salvage needs of a cluster to tell whether it continues the
// stream of another one, read from its first and last kEdgeWindow bytes:
// transport packets run on across cluster boundaries, the packet split at
// the end of one cluster is completed at the start of the next, and each
// PID's continuity counter and the clock references go on in step.
constexpr uint32_t kEdgeWindow = 32768;
constexpr uint32_t kEdgePids = 3;       // PIDs kept at each end (not PAT, not stuffing)
constexpr uint8_t kEdgePayload = 0x10;  // in counter[]: the packet carries payload
constexpr uint16_t kNoPacket = 0xFFFF;  // first_packet of a cluster without a stream
constexpr uint32_t kStraddleBytes = 3;  // a split packet header may straddle the boundary
// One end of a cluster: the first (head) or last (tail) packet there of each
// of up to kEdgePids PIDs, and the first (head) or last (tail) PCR.
struct stream_edge {
    uint16_t pid[kEdgePids];
    uint8_t counter[kEdgePids];  // continuity counter, kEdgePayload when payload follows
    uint8_t pid_count;
    uint16_t pcr_pid;     // kNullPid when the end holds no PCR
    uint32_t pcr_offset;  // of the packet in the cluster
    uint64_t pcr;
};
// Flags of a signature.
constexpr uint8_t kSigHeadUnread = 0x01;   // the head window has unreadable sectors
constexpr uint8_t kSigTailUnread = 0x02;   // the tail window has unreadable sectors
constexpr uint8_t kSigTailToEnd = 0x04;    // packets run in step up to the cluster's end
constexpr uint8_t kSigHeader = 0x08;       // begins with a recording header
constexpr uint8_t kSigHeadRead = 0x10;     // the head window is read
constexpr uint8_t kSigTailRead = 0x20;     // the tail window is read
constexpr uint8_t kSigEndInMiddle = 0x40;  // only the bytes between tell where the stream ends
struct cluster_signature {
    stream_edge head, tail;
    uint32_t stream_end;    // what the windows tell of where the stream ends (stream_end_of)
    uint16_t first_packet;  // the first of a run of packets in step, or kNoPacket
    uint8_t rest;           // with kSigTailToEnd: bytes of the split last packet in the next
    uint8_t flags;
    uint8_t first_bytes[kStraddleBytes];  // the cluster's first bytes
    uint8_t last_bytes[kStraddleBytes];   // and its last ones
    uint16_t header_pid[3];               // video, audio and PMT PID as a header names them
};
// A signature of which nothing is read: no stream, no flags.
void clear_signature(cluster_signature* s);
// Reads the windows of cluster c that s lacks: its first kEdgeWindow bytes
// (the head), and with with_tail its last ones (the tail); a cluster of at
// most two windows whole at once. True when a window read now has
// unreadable sectors and none read before had.
bool read_edges(uint32_t c, bool with_tail, cluster_signature* s);
// Reads the windows of every cluster below count in which (ascending, each
// window once) and fills sig; the percentage through qv->progress when
// show_percent. Returns the number of clusters whose windows turned out to
// have unreadable sectors.
uint32_t read_signatures(cluster_signature* sig, uint32_t count, const cluster_bitmap* which,
                         bool with_tail, bool show_percent);
// Where the stream of the run from first_packet of cluster c (both windows
// read into s) ends: the end of its last whole packet, the cluster's size
// when it holds no stream. Reads the bytes between the windows when only
// they can tell.
uint32_t stream_end_of(uint32_t c, cluster_signature* s);

// --- what the table can tell (trust.cpp) ---
// For the salvage: the chains the allocation table gives whole, and where
// the carving must read because it cannot tell.
struct table_trust {
    bool needs_content;         // a recording's chain cannot be told by the table alone
    cluster_bitmap held;        // the clusters of the chains the table gives whole
    cluster_bitmap shared;      // clusters that two chains (or one twice) reach
    cluster_bitmap lost_heads;  // first clusters of chains no directory entry reaches
};
// Judges the chain of every file entry the check found: whole when the
// table links it to its entry's length (or to its end, for a length of 0)
// without a link in doubt (to cluster 0 or an entry's start, a directory's
// too, from an entry the copies differ in), and no cluster of it is reached
// twice. A recording's chain that is not whole needs the
// content; so does every chain without a table, or when the findings are
// incomplete.
void judge_table(table_trust* t);
// Whether the table gives the chain of a lost recording from start whole
// (as judge_table; it must not run into a chain the table gives whole).
bool lost_chain_whole(const table_trust* t, uint32_t start);

// --- carving (carving.cpp) ---
// One chain the salvage follows: a recording's, from its start cluster.
struct carve_job {
    uint32_t start;
    uint32_t want;           // the entry's num_clusters; 0 for a lost recording
    uint32_t last_bytes;     // the bytes of its last cluster the entry holds
    uint32_t rest_end;       // with a last cluster that holds only a split packet's rest: its end
    uint32_t last, length;   // the chain so far
    uint32_t content_links;  // links found by content
    uint32_t unusable_from;  // first cluster whose link the table could not give
    uint16_t pids[3];        // the header's PIDs that count (none: every PID does)
    uint32_t pid_count;
    bool ended;
    bool cut;  // ended short of want: no cluster continues its stream
};
struct carving;
// The matching over the signatures of the count clusters of the table
// (sig stays the caller's). Null when there is no memory (message in qv_error).
carving* open_carving(const cluster_signature* sig, uint32_t count);
void close_carving(carving* k);
// Starts job at cluster start (want: 0 or the entry's length; last_bytes:
// the bytes of its last cluster the entry holds). False, and nothing
// started, when start is a directory, lies outside the table or another
// chain has taken it already.
bool start_chain(carving* k, carve_job* job, uint32_t start, uint32_t want, uint32_t last_bytes);
// The rounds of the carving, every chain through each before the next.
enum carve_round {
    kByTable,    // as far as the table's usable links go
    kByContent,  // on by content to the end, but for a split packet's rest
    kByRest,     // the physically next cluster as the last, holding the rest
};
// Follows job's chain through round: where the table cannot tell, or its
// link leads to a cluster that does not continue the stream while another
// does, the physically next cluster is tried first, then every other that
// no chain has taken. A chain whose stream stops with a packet split at the
// end of its last cluster (a lost one's, or an entry's one cluster short of
// its length whose last cluster holds just that rest) waits for the last
// round: then the physically next cluster, when no chain took it and it
// does not go on with the stream, is its last. Links found are written into
// qv->fat, kEndOfChain where the chain reaches want or (a lost recording)
// its stream ends, kNoContinuation where it ends short of want. At most one
// step per cluster of the table over all chains.
void follow_chain(carving* k, carve_job* job, carve_round round);

// --- the salvage's recordings (lost.cpp) ---
// With qv_options.salvage: appends the recordings of the subdirectories to
// the count of the table, reads the head of every lost chain, and where a
// recording's chain needs the content (judge_table), the signatures of the
// clusters that can take part (those of no chain the table gives whole), in
// one pass over the disk; follows the chains of the table's recordings
// where the table cannot tell how they go on; appends a recording
// "lost_%06x" for every cluster read that holds a recording header and
// where no directory entry starts, as long as the table has room, its chain
// found the same way and its slack cut at the last whole packet of its
// stream. Returns the new count (also in qv->recording_count); count
// without the salvage.
int salvage_recordings(int count);
