// The recorder's disk: the records every layer of disk/ shares. The one open
// disk (qv_instance), the message buffer, the cluster buffer, the read
// primitive, the recording table's entry and the recording reader.
//
// The layers, each with its own header, include this one:
//   disk/device/device.h  the platform, finding and reading the disk, rescue, maps
//   disk/fs/fs.h          the recorder's file system: table, check, chains, directory
//   disk/copy/copy.h      the recording reader, raw and disk copies, output files
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kSectorSize = 512;  // every size and position the disk reports counts these
constexpr uint32_t kClusterBufferSize = 1835008;  // 3584 sectors
constexpr uint32_t kMaxSectorsPerCluster = kClusterBufferSize / kSectorSize;
constexpr uint32_t kMaxClusters = 131072;
// The largest logical sector a drive is read directly in; memory for direct
// reads is aligned to it.
constexpr uint32_t kMaxDeviceSector = 4096;
constexpr uint32_t kMaxRecordings = 14336;
constexpr size_t kErrorSize = 1024;
constexpr size_t kNameSize = 512;  // recording_entry name
constexpr size_t kRecordingHeaderSize = 212;

// A progress callback: a value of 0 or more is a whole-number percentage,
// passed only when it changes (line null); a negative value asks it to
// show line now (a warning or information, with its own line end).
typedef void (*progress_callback)(int value, const char* line);

typedef void* qv_handle;  // opaque to everything but the platform backend; null = none

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
// Why the last call that failed failed (each thread its own): an operation
// that returns a failure leaves its reason here, and nothing else writes it.
extern thread_local char qv_error[kErrorSize];
// Scratch room of one cluster, aligned for direct reads, for one reader at a
// time (the table, a directory, the list file, the signatures, the rescue's
// copying): the reader holds it under its name while it uses it, then
// releases it.
extern uint8_t cluster_buffer[kClusterBufferSize];
uint8_t* hold_cluster_buffer(const char* holder);
void release_cluster_buffer();
const char* cluster_buffer_holder();  // null when nobody holds it

// Reads count bytes at the byte position of the disk into dest; swap
// exchanges the two bytes of every 16-bit word (recorder order). 0, or 1
// with the reason in qv_error.
int qv_read(int64_t position, void* dest, uint32_t count, int swap);

struct bad_sectors;
struct chain_reader;
struct chain_cluster;
struct loss_timeline;

// The sequential packet reader on one recording (disk/copy/reader.cpp).
struct recording_reader {
    uint32_t pos;           // offset in data of the next packet, or the next byte examined
    uint32_t next_cluster;  // the link of the cluster in data; 0xFFFFFE for the last one
    int index;
    progress_callback callback;
    uint8_t rec_header[kRecordingHeaderSize];
    int error;         // nonzero when the stream ended on a read error (message in qv_error)
    uint32_t cluster;  // number of the cluster now in data
    uint32_t limit;    // valid bytes of data; 0 once the stream has ended
    // What could not be read. Packets that touch an unreadable byte are left
    // out; the packets behind them keep their 188-byte alignment.
    int64_t unreadable_bytes;  // bytes of the recording that could not be read
    int64_t untried;           // of those, bytes never tried sector by sector
    int64_t lost_packets;      // packets left out
    int64_t gap_packets;       // packets left out just before the packet last returned
    int64_t lost_at_return;    // lost_packets when the previous packet was returned
    uint32_t bad_next;         // first run of bad that may reach pos or beyond
    chain_reader* chain;       // the recording's clusters, read ahead
    const chain_cluster* now;  // the cluster in data, held from the chain
    const bad_sectors* bad;    // its unreadable sectors
    const uint8_t* data;       // its bytes
    loss_timeline* losses;     // where the unreadable areas fall in the recording's time
};
