// The recorder's disk: access, allocation table, directory and recording
// table, the recording reader, the raw copies and output naming.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "disk/platform.h"

#if defined(__MINGW32__)
#define QV_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QV_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// A progress callback: a value of 0 or more is a whole-number percentage,
// passed only when it changes; a negative value asks it to show qv_error now.
typedef void (*progress_callback)(int);

constexpr uint32_t kClusterBufferSize = 1835008;  // 3584 sectors
constexpr uint32_t kMaxSectorsPerCluster = kClusterBufferSize / kSectorSize;
constexpr uint32_t kMaxClusters = 131072;
constexpr uint32_t kMaxRecordings = 14336;
constexpr size_t kErrorSize = 1024;
constexpr size_t kDirEntrySize = 128;
constexpr size_t kNameSize = 512;      // recording_entry name
constexpr size_t kDirNameSize = 108;   // name field of a directory entry
constexpr size_t kListNumberSize = 6;  // "_%d" of a list number up to kMaxRecordings
constexpr size_t kOutputNameSize =
    kNameSize + kListNumberSize + 4;     // name, list number, extension, NUL
constexpr size_t kOutputDirSize = 4096;  // longest output directory taken
constexpr size_t kOutputPathSize =
    kOutputDirSize + 1 + kOutputNameSize;  // directory, separator, name

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

// Directory entry types.
constexpr uint8_t kTypeEmpty = 0xFF;
constexpr uint8_t kTypeRecording = 0xD1;
constexpr uint8_t kTypeSubdir = 0xF2;
constexpr uint8_t kTypeShared0 = 0xF0;
constexpr uint8_t kTypeShared1 = 0xF1;

// Directory entry field offsets.
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

struct recording_entry {
    uint8_t type;
    uint8_t mjd[2];  // disk order, high byte first; hour and minute follow
    uint8_t hour;
    uint8_t minute;
    uint8_t extra[3];
    uint32_t start_cluster;
    uint32_t num_clusters;
    uint32_t last_cluster_slack;
    char name[kNameSize];
};

struct qv_instance {
    qv_handle handle;
    int64_t disk_sectors;
    uint32_t cluster_size;
    uint32_t cluster_count;
    uint8_t boot_sector[kSectorSize];
    uint32_t fat[kMaxClusters];
    recording_entry recordings[kMaxRecordings];
    progress_callback progress;
    int recording_count;  // valid records of recordings, as parse_dir (and the salvage) left them
};

extern qv_instance* qv;
extern char qv_error[kErrorSize];
extern uint8_t cluster_buffer[kClusterBufferSize];

// What the command line chose. All zero is the plain run: the image
// "qvdisk.img" here or in the parent directory, else the drives; outputs into
// the current directory.
struct qv_settings {
    const char* image_path;   // only this file is read, as the disk image
    const char* device_path;  // only this drive is read (on Windows also just its number)
    const char* output_dir;   // every output file is created in this directory
    int salvage;  // use a disk the check refuses, as it stands (see read_fat, parse_dir)
};
extern qv_settings qv_options;

// Set when the user interrupts the program (Ctrl-C). The raw and disk copies
// and the conversion loops look at it before every cluster or packet; when it
// is set they stop, close their output (which keeps what was written) and
// fail with kInterruptedMessage in qv_error.
extern volatile sig_atomic_t qv_interrupted;
constexpr char kInterruptedMessage[] = "Interrupted, the partial output file is left in place\n";

// What a copy or a conversion gives back. Anything but kCopyDone has its
// reason in qv_error; an output file already created is left as written.
enum copy_result {
    kCopyDone = 0,
    kCopyFailed =
        1,  // the recording or the disk cannot be read (or no memory for the demultiplexer)
    kCopyNoOutput = 2,  // the output file cannot be created
    kCopyNoStream = 3,  // no memory for a stream of the demultiplexer
    kCopyIncomplete =
        4,  // stopped or incomplete: a write failure, a read error, unreadable data, an interrupt
};

// --- messages (disk_access.cpp) ---
// Formats into qv_error.
void qv_set_error(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Formats into message, a buffer of kErrorSize bytes (qv_error or another).
void qv_format(char* message, const char* format, ...) QV_PRINTF_FORMAT(2, 3);
// Formats into qv_error and shows it through callback (-1); a null callback is skipped.
void qv_inform(progress_callback callback, const char* format, ...) QV_PRINTF_FORMAT(2, 3);
// qv_inform through qv->progress.
void qv_warn(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Reports percent through callback when it differs from *last (which it updates).
// total 0 reports 100.
void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last);

// --- disk access (disk_access.cpp) ---
int open_qvdisk(progress_callback progress);
// Whether the cluster geometry can be worked with: disk cluster 0 holds FAT2
// whole and a cluster fits cluster_buffer. 0 with the reason in qv_error.
int cluster_geometry_fits();
int qv_read(int64_t position, void* dest, uint32_t count, int swap);
// qv_read with its failure message in message (kErrorSize bytes) instead of
// qv_error: the read-ahead thread reads so while the other thread reports.
int qv_read_r(int64_t position, void* dest, uint32_t count, int swap, char* message);
// Reads FAT cluster n whole into dest (position (n + 1) x cluster_size), swapped.
int qv_read_cluster(uint32_t n, uint8_t* dest);
// Test and tool support: closes the disk and clears qv_instance.
void qv_close();

// --- salvaging reads (salvage.cpp) ---
// The unreadable sectors of one range read by qv_read_salvage, as runs in
// ascending order: first sector (counted from the range's start) and length
// in sectors. Room for the worst case of a cluster of the largest size.
constexpr uint32_t kMaxBadRuns = kMaxSectorsPerCluster;
struct bad_sectors {
    uint32_t count;
    uint32_t first[kMaxBadRuns];
    uint32_t length[kMaxBadRuns];
};
constexpr int kSalvageComplete = 0;
constexpr int kSalvagePartial = 1;  // some sectors unreadable: zero-filled, listed in bad
constexpr int kSalvageFailed = -1;  // nothing could be read (no disk, start beyond its end)
// Reads count bytes at position like qv_read. On a failure or a short read
// the range is read again in sixteenths, down to single sectors: every
// sector that can be read is kept, the others are filled with zero bytes
// and listed in bad (qv_error holds the last read's message). A healthy
// disk costs one read; no sector is read twice at one level of splitting.
int qv_read_salvage(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad);
// qv_read_salvage with the last read's message in message instead of qv_error.
int qv_read_salvage_r(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad,
                      char* message);
// qv_read_salvage of FAT cluster n whole into dest, swapped.
int qv_read_cluster_salvage(uint32_t n, uint8_t* dest, bad_sectors* bad);
// Whether bytes [from, to) of the range touch an unreadable sector.
int bad_bytes_touch(const bad_sectors* bad, uint32_t from, uint32_t to);
// Whether directory entry i of a directory cluster read so touches an unreadable sector.
inline int dir_entry_unreadable(const bad_sectors* bad, uint32_t i) {
    return bad->count != 0 &&
           bad_bytes_touch(bad, uint32_t(i * kDirEntrySize), uint32_t((i + 1) * kDirEntrySize));
}
// Shows "Cannot read %u bytes at position %I64d\n" through callback for every
// unreadable run within the first valid bytes of a range read at position;
// returns the number of those bytes.
int64_t report_unreadable(progress_callback callback, int64_t position, const bad_sectors* bad,
                          uint32_t valid);

// --- ddrescue mapfiles (mapfile.cpp) ---
// A mapfile of GNU ddrescue: the current position, status and pass, and the
// contiguous blocks of the rescue with their status.
constexpr char kMapNonTried = '?';
constexpr char kMapNonTrimmed = '*';
constexpr char kMapNonScraped = '/';
constexpr char kMapBadSector = '-';
constexpr char kMapFinished = '+';
struct map_block {
    int64_t pos;
    int64_t size;
    char status;
};
struct rescue_map {
    int64_t current_pos;
    char current_status;
    int current_pass;
    map_block* blocks;  // ascending, contiguous
    uint32_t count;
    uint32_t room;
};
constexpr char kMapSuffix[] = ".map";
// Reads the mapfile at path into map (emptied first). 0 when read; 1 when
// there is no such file (map left empty); -1 when it cannot be read or is no
// mapfile, with the reason in qv_error.
int map_read(const char* path, rescue_map* map);
// Writes map to path as ddrescue writes it. 0, or 1 with the reason in qv_error.
int map_write(const char* path, const rescue_map* map);
void map_free(rescue_map* map);
// Gives bytes [pos, pos + size) the status, joining equal neighbours. 0, or
// 1 when no memory is left (message in qv_error).
int map_set(rescue_map* map, int64_t pos, int64_t size, char status);
// The first byte of [pos, pos + size) that no finished block holds, or -1.
int64_t map_first_unfinished(const rescue_map* map, int64_t pos, int64_t size);
// The index of the block holding byte pos, or count when none does.
uint32_t map_block_at(const rescue_map* map, int64_t pos);
// The end of the last block (0 for an empty map).
int64_t map_end(const rescue_map* map);

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

// Clusters one walk has taken, a bit for every cluster of the largest table.
struct cluster_bitmap {
    uint8_t bits[kMaxClusters / 8];
};
void clear_clusters(cluster_bitmap* set);
int has_cluster(const cluster_bitmap* set, uint32_t c);  // clusters beyond the largest table: never
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

// --- reading a chain ahead (read_ahead.cpp) ---
// One cluster of a chain as the read-ahead found it: its data (unreadable
// sectors as zero bytes, listed in bad), the read's message, and what
// follows it in the table.
struct chain_cluster {
    uint32_t cluster;
    int result;  // of the salvaging read: kSalvageFailed when nothing could be read
    bad_sectors bad;
    char message[kErrorSize];  // the read's message when the read was not complete
    link_kind link;            // chain_next of the cluster
    uint32_t next;
    int repeats;    // next is a cluster read before: the chain loops there
    uint8_t* data;  // cluster_size bytes
};
// Whether the chain ends after c for a damage (a damaged link, or a loop back
// to a cluster read before); then "Recording %s: chain ..." for the
// recording named name is in qv_error.
int recording_chain_damaged(const chain_cluster* c, const char* name);
struct chain_reader;
// Starts reading the chain at cluster start, ahead of its use. Null when
// there is no memory (message in qv_error).
chain_reader* open_chain(uint32_t start);
// The next cluster of the chain, in chain order; the one handed out before
// is given back (its data may be overwritten from now on). Null when that
// one was the last read: it ended the chain, its link was damaged or
// returned to a cluster read before, or it could not be read at all.
const chain_cluster* next_chain_cluster(chain_reader* chain);
void close_chain(chain_reader* chain);

// --- allocation table (fat.cpp) ---
int read_fat();
int check_dir(uint32_t dir_cluster, uint32_t entry_count, uint32_t* marks, uint32_t* dir_list,
              uint32_t* dir_count);
// Entries of the root directory: from the boot sector's root_dir_slack.
uint32_t root_entry_count();
// After read_fat with qv_options.salvage: the clusters that no directory
// entry reaches and no entry links to, that begin a chain or are a chain of
// their own (a lost recording may start at each). Empty otherwise.
const cluster_bitmap* lost_chain_starts();

// --- directory and recording table (directory.cpp) ---
// Sets qv->recording_count to its result. With qv_options.salvage, the
// recordings the list file does not name follow the list's, in directory order.
int parse_dir(uint32_t dir_cluster, uint32_t entry_count, uint8_t type_mask, uint8_t type_value);
void convert_date_time(const uint8_t* src, int* year, int* month, int* day, int* hour, int* minute);
// Size of a recording in MB: num_clusters x cluster_size >> 20.
int64_t recording_size_mb(const recording_entry* entry);

// --- lost recordings (lost.cpp) ---
// With qv_options.salvage: appends to the count recordings of the table a
// recording "lost_%06x" for every lost chain start (lost_chain_starts) whose
// first cluster holds a recording header, in ascending order, as long as
// the table has room. One read of each start's first cluster. Returns the
// new count (also in qv->recording_count).
int add_lost_recordings(int count);

// --- names and output files (names.cpp) ---
// Copies a name of at most field_size bytes into out (out_size bytes), cut
// where the field has no NUL: never reads past the field, always terminates.
void copy_name(char* out, size_t out_size, const uint8_t* field, size_t field_size);
void make_name(char* out, const char* name, const char* extension);
// The output file name of recording index (out: kOutputNameSize bytes), the
// one name every copy and conversion of it uses: make_name of its name and
// extension, with "_N" (its list number) before the extension when another
// recording of the table gives the same name (ASCII letter case ignored, as
// Windows and FAT file systems compare), when that name would be another's
// numbered name, or when the name is empty.
void recording_file_name(char* out, int index, const char* extension);
// The path under which the output file file_name is created: in
// qv_options.output_dir when one is set, else in the current directory. A
// path that does not fit into size comes out empty (no file can be created
// under it) rather than cut short.
void output_path(char* out, size_t size, const char* file_name);
// Creates the output file file_name (through output_path; "wb", large
// buffer). Refuses (null) the open disk itself, so no output can ever
// truncate the disk image; a file that is there already is kept and the
// output goes to NAME(2).EXT, or the next number free (a warning says so).
// The path opened goes into used (kOutputPathSize bytes) when it is given.
// The file of a dated recording (entry, may be null) gets the recording's
// date and time when it is closed.
FILE* open_output(const char* file_name, const recording_entry* entry, char* used = nullptr);
// Opens the existing output file file_name (through output_path) for writing
// in place ("r+b"), with the same refusal of the open disk.
FILE* open_output_update(const char* file_name);
// Moves an output file to a 64-bit byte position; nonzero on failure.
int seek_output(FILE* file, int64_t position);
// Closes an output file and gives it its recording's time; nonzero when
// buffered data could not be written (errno then still tells why).
int close_output(FILE* file);
constexpr char kFileTooLargeMessage[] =
    "Write failed: the output file system cannot hold files of this size\n";
// Puts the message of an output write, flush or close that just failed into
// qv_error: kFileTooLargeMessage when the output file system refused a file
// this large, else usual (the copy's or conversion's disk-full text).
void qv_write_failed(const char* usual);

// --- raw copies (copies.cpp) ---
int dump_file(int index);
// The whole disk into the image file, every sector, with a ddrescue map
// beside it ("qvdisk.img.map"); an image and map already there are a copy to
// continue: only the blocks the map does not mark finished are read.
int copy_disk();
// Nonzero when image_name and its map both exist: in mode "disk" they are the
// copy to continue, never the source.
int disk_copy_to_continue(const char* image_name);
// Set by the driver before the opening in mode "disk".
extern int qv_disk_mode;

// --- recording reader (reader.cpp) ---
constexpr size_t kRecordingHeaderSize = 212;
constexpr size_t kHeaderProgramNumber = 18;
constexpr size_t kHeaderPmtPid = 20;
constexpr size_t kHeaderVideoPid = 24;
constexpr size_t kHeaderAudioPid = 26;
constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kTsSyncByte = 0x47;
constexpr uint32_t kFirstPacketSearchEnd = 655;  // last offset tried for the first packet
constexpr uint32_t kPidMask = 0x1FFF;

struct recording_reader {
    uint32_t pos;
    uint32_t next_cluster;
    int index;
    progress_callback callback;
    uint8_t rec_header[kRecordingHeaderSize];
    link_kind link;    // the link of the cluster now in data (chain_next)
    int error;         // nonzero when the stream ended on a read error (message in qv_error)
    uint32_t cluster;  // number of the cluster now in data
    uint32_t limit;    // valid bytes of data; 0 once the stream has ended
    // What could not be read. Packets that touch an unreadable byte are left
    // out; the packets behind them keep their 188-byte alignment.
    int64_t unreadable_bytes;  // bytes of the recording that could not be read
    int64_t lost_packets;      // packets left out
    int64_t gap_packets;       // packets left out just before the packet last returned
    int64_t lost_at_return;    // lost_packets when the previous packet was returned
    uint32_t bad_next;         // first run of bad that may reach pos or beyond
    chain_reader* chain;       // the recording's clusters, read ahead
    const chain_cluster* now;  // the cluster in data, held from the chain
    const bad_sectors* bad;    // its unreadable sectors
    const uint8_t* data;       // its bytes
};

recording_reader* open_recording_file(int index, progress_callback callback);
// The first transport packet behind the recording header in the first
// limit valid bytes of a recording's first cluster: a sync byte with another
// one a packet later (or the valid end), at offsets 212 to 655. Nonzero with
// its offset in *pos when found.
int find_first_packet(const uint8_t* data, uint32_t limit, uint32_t* pos);
const uint8_t* read_ts_packet(recording_reader* reader);
void close_recording_file(recording_reader* reader);
// A PID field of the header (offset kHeader*Pid): its low 13 bits.
uint32_t header_pid(const recording_reader* reader, size_t offset);
// Nonzero when the next read_ts_packet returns a packet from data without
// loading another cluster: packets returned so far from data stay valid.
int reader_next_in_place(const recording_reader* reader);
