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

constexpr uint32_t kClusterBufferSize = 1835008;   // 3584 sectors
constexpr uint32_t kMaxSectorsPerCluster = kClusterBufferSize / kSectorSize;
constexpr uint32_t kMaxClusters = 131072;
constexpr uint32_t kMaxRecordings = 14336;
constexpr size_t kErrorSize = 1024;
constexpr size_t kDirEntrySize = 128;
constexpr size_t kNameSize = 512;           // recording_entry name
constexpr size_t kDirNameSize = 108;        // name field of a directory entry
constexpr size_t kOutputNameSize = kNameSize + 4;  // name, extension, NUL
constexpr size_t kOutputDirSize = 4096;            // longest output directory taken
constexpr size_t kOutputPathSize = kOutputDirSize + 1 + kOutputNameSize;  // directory, separator, name

// First sector, in recorder order.
constexpr size_t kSignatureOffset = 4;
constexpr size_t kSignatureLength = 17;     // 16 characters and a zero byte
constexpr char kSignature[] = "VELMORAN PVR HDD";
constexpr size_t kSectorsPerClusterOffset = 34;
constexpr size_t kRootDirSlackOffset = 44;

// System area layout (disk cluster 0).
constexpr uint32_t kFat1Offset = 0x20000;
constexpr uint32_t kFat2Offset = 0x80000;
constexpr uint32_t kFatEntrySize = 3;

// Allocation table values.
constexpr uint32_t kLastLink = 0xFFFFFA;     // highest plain link value
constexpr uint32_t kMarkerLink = 0xFFFFFB;   // still walked as a link by the chain walks
constexpr uint32_t kEndOfChain = 0xFFFFFE;
constexpr uint32_t kFreeCluster = 0xFFFFFF;
constexpr uint32_t kBadEntry = 0xFFFFFFFF;   // decoded entry that failed the range check

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
    uint8_t mjd[2];        // disk order, high byte first; hour and minute follow
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
};

extern qv_instance* qv;
extern char qv_error[kErrorSize];
extern uint8_t cluster_buffer[kClusterBufferSize];

// What the command line chose. All zero is the plain run: the image
// "qvdisk.img" here or in the parent directory, else the drives; outputs into
// the current directory.
struct qv_settings {
    const char* image_path;    // only this file is read, as the disk image
    const char* device_path;   // only this drive is read (on Windows also just its number)
    const char* output_dir;    // every output file is created in this directory
    int salvage;               // read a disk the check refuses (parsed, not used yet)
};
extern qv_settings qv_options;

// Set when the user interrupts the program (Ctrl-C). The raw and disk copies
// and the conversion loops look at it before every cluster or packet; when it
// is set they stop, close their output (which keeps what was written) and
// fail with kInterruptedMessage in qv_error.
extern volatile sig_atomic_t qv_interrupted;
constexpr char kInterruptedMessage[] = "Interrupted, the partial output file is left in place\n";

// --- messages (disk_access.cpp) ---
// Formats into qv_error.
void qv_set_error(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Formats into qv_error and shows it through callback (-1); a null callback is skipped.
void qv_inform(progress_callback callback, const char* format, ...) QV_PRINTF_FORMAT(2, 3);
// qv_inform through qv->progress.
void qv_warn(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Reports percent through callback when it differs from *last (which it updates).
// total 0 reports 100.
void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last);

// --- disk access (disk_access.cpp) ---
int open_qvdisk(progress_callback progress);
int qv_read(int64_t position, void* dest, uint32_t count, int swap);
// Reads FAT cluster n whole into dest (position (n + 1) x cluster_size), swapped.
int qv_read_cluster(uint32_t n, uint8_t* dest);
// Test and tool support: closes the disk and clears qv_instance.
void qv_close();

// --- allocation table (fat.cpp) ---
int read_fat();
int check_dir(uint32_t dir_cluster, uint32_t entry_count, uint32_t* marks,
              uint32_t* dir_list, uint32_t* dir_count);
// Entries of the root directory: from the boot sector's root_dir_slack.
uint32_t root_entry_count();

// --- directory and recording table (directory.cpp) ---
int parse_dir(uint32_t dir_cluster, uint32_t entry_count, uint8_t type_mask, uint8_t type_value);
void convert_date_time(const uint8_t* src, int* year, int* month, int* day, int* hour, int* minute);
// Size of a recording in MB: num_clusters x cluster_size >> 20.
int64_t recording_size_mb(const recording_entry* entry);

// --- names and output files (names.cpp) ---
void make_name(char* out, const char* name, const char* extension);
// The path under which the output file file_name is created: in
// qv_options.output_dir when one is set, else in the current directory. A
// path that does not fit into size comes out empty (no file can be created
// under it) rather than cut short.
void output_path(char* out, size_t size, const char* file_name);
// Creates the output file file_name (through output_path; "wb", large
// buffer). Refuses (null) the open disk itself, so no output can ever
// truncate the disk image. The file of a dated recording (entry, may be null)
// gets the recording's date and time when it is closed.
FILE* open_output(const char* file_name, const recording_entry* entry);
// Closes an output file and gives it its recording's time; nonzero when
// buffered data could not be written (errno then still tells why).
int close_output(FILE* file);
constexpr char kFileTooLargeMessage[] = "Write failed: the output file system cannot hold files of this size\n";
// Puts the message of an output write, flush or close that just failed into
// qv_error: kFileTooLargeMessage when the output file system refused a file
// this large, else usual (the copy's or conversion's disk-full text).
void qv_write_failed(const char* usual);

// --- raw copies (copies.cpp) ---
int dump_file(int index);
int copy_disk();

// --- recording reader (reader.cpp) ---
constexpr size_t kRecordingHeaderSize = 212;
constexpr size_t kHeaderProgramNumber = 18;
constexpr size_t kHeaderPmtPid = 20;
constexpr size_t kHeaderVideoPid = 24;
constexpr size_t kHeaderAudioPid = 26;
constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kTsSyncByte = 0x47;
constexpr uint32_t kFirstPacketSearchEnd = 655;   // last offset tried for the first packet
constexpr uint32_t kPidMask = 0x1FFF;

struct recording_reader {
    uint32_t pos;
    uint32_t next_cluster;
    int index;
    progress_callback callback;
    uint8_t rec_header[kRecordingHeaderSize];
    uint32_t clusters_read;   // bound for a chain that loops
    int error;                // nonzero when the stream ended on a read error (message in qv_error)
    uint32_t cluster;         // number of the cluster now in data
    uint32_t limit;           // valid bytes of data; 0 once the stream has ended
    uint8_t data[kClusterBufferSize];
};

recording_reader* open_recording_file(int index, progress_callback callback);
const uint8_t* read_ts_packet(recording_reader* reader);
void close_recording_file(recording_reader* reader);
// A PID field of the header (offset kHeader*Pid): its low 13 bits.
uint32_t header_pid(const recording_reader* reader, size_t offset);
// Nonzero when the next read_ts_packet returns a packet from data without
// loading another cluster: packets returned so far from data stay valid.
int reader_next_in_place(const recording_reader* reader);
