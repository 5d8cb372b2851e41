// The device layer: the one interface to the operating system's disk calls
// (the platform, with its POSIX and Win32 backends; tests and fuzz targets
// install their own), finding and opening the recorder's disk or its image,
// the read primitive, GNU ddrescue's mapfiles, the rescue of a failing disk, and the
// helpers every layer composes its failures and its lines with.
//
// Results: an operation returns 0 on success and nonzero on failure with the
// reason in qv_error (or in the message buffer it is given); a function named
// as a question returns bool.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "disk/qvdisk.h"

#if defined(__MINGW32__)
#define QV_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QV_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// --- messages (messages.cpp) ---
// Formats the reason of a failure into qv_error.
void qv_set_error(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Formats into message, a buffer of kErrorSize bytes (qv_error or another).
void qv_format(char* message, const char* format, ...) QV_PRINTF_FORMAT(2, 3);
// Formats a line and shows it through callback (-1 and the line); a null
// callback is skipped. qv_error is left as it is.
void qv_inform(progress_callback callback, const char* format, ...) QV_PRINTF_FORMAT(2, 3);
// qv_inform through qv->progress.
void qv_warn(const char* format, ...) QV_PRINTF_FORMAT(1, 2);
// Reports percent through callback when it differs from *last (which it updates).
// total 0 reports 100.
void qv_report_percent(progress_callback callback, uint64_t done, uint64_t total, int* last);

// Set when the user interrupts the program (Ctrl-C). Every loop over a disk
// or a recording looks at it before each cluster or packet; when it is set it
// stops, the output keeps what was written, and the copy fails with
// kInterruptedMessage in qv_error.
extern volatile sig_atomic_t qv_interrupted;
constexpr char kInterruptedMessage[] = "Interrupted, the partial output file is left in place\n";
// How a loop over a disk or a recording ended: the rescue's phases, the copies.
enum loop_stop {
    kLoopRan = 0,          // to its end
    kLoopStopped = 1,      // on a failure (the sink's, a write's): its reason in qv_error
    kLoopInterrupted = 2,  // for the user (Ctrl-C)
};

// --- the platform (platform.cpp, platform_posix.cpp, platform_win32.cpp) ---
struct qv_drive_geometry {
    int fixed_media;  // nonzero when the medium is a fixed (not removable) disk
    int64_t sectors;  // size in 512-byte sectors
};

// A drive is read past the system's cache, one command of the drive per
// read: its position, count and buffer whole multiples of its logical
// sector, its count at most what one command of the drive can carry. (Read
// through the cache, one sector read becomes a read of the pages around it,
// a good sector beside a bad one cannot be read, and every failed read
// costs the drive the kernel's own retries.) Image files are read as files.
struct qv_read_access {
    bool direct;               // read past the system's cache
    uint32_t logical_sector;   // bytes; 0 for a file
    uint32_t physical_sector;  // bytes; 0 where unknown
    uint32_t largest_read;     // bytes one command can carry; 0 where unknown
};

struct qv_platform {
    // Opens path for reading, exclusively (no other opener may use the file
    // while it is open). Returns the handle, or null with the system error code
    // in *error.
    qv_handle (*open_exclusive)(const char* path, int* error);
    // Size of an open image file in bytes. 0 on success, else the error code.
    int (*file_size)(qv_handle h, int64_t* size);
    // Media type and size of an open drive. 0 on success, else the error code.
    int (*drive_geometry)(qv_handle h, qv_drive_geometry* geometry);
    // Positions the handle at a byte offset from the start. 0 or the error code.
    int (*seek)(qv_handle h, int64_t position);
    // Reads count bytes at the position; *got receives the count that arrived.
    // 0 on success (also for a short read), else the error code.
    int (*read)(qv_handle h, void* dest, uint32_t count, uint32_t* got);
    void (*close)(qv_handle h);
    // Whether path names the very file or device that h has open, so an
    // output file must not be created there (it would truncate the disk).
    bool (*is_same_file)(qv_handle h, const char* path);
    // Path of physical drive n (0 to 7) into buf; the image file names.
    void (*drive_path)(int n, char* buf, size_t size);
    const char* image_name;         // "qvdisk.img"
    const char* parent_image_name;  // "../qvdisk.img" or "..\\qvdisk.img"
    // How reads of h reach the medium (null: as reads of a file, through the
    // system's cache, in any size). 0, or the error code.
    int (*read_access)(qv_handle h, qv_read_access* access);
    // Switches h, whose direct reads the device refused, to reads through
    // the system's cache. 0, or the error code.
    int (*read_cached)(qv_handle h);
    // The code a direct read fails with where the device refuses direct access.
    int direct_refused;
};

// The backend of this build (POSIX or Win32).
const qv_platform* qv_native_platform();
// The backend in use; initially the native one.
const qv_platform* qv_current_platform();
// Installs a backend (null restores the native one).
void qv_set_platform(const qv_platform* platform);

// Path separators: the one put between an output directory and a file name,
// and every character that already ends a directory part of a path.
#ifdef _WIN32
constexpr char kPathSeparator[] = "\\";
constexpr char kPathSeparators[] = "\\/:";
#else
constexpr char kPathSeparator[] = "/";
constexpr char kPathSeparators[] = "/";
#endif

// Output files and messages, native only (the test backends write real files).
// The text of a code that a platform operation above returned (errno on
// POSIX, GetLastError on Windows), without a line end.
void qv_system_message(int code, char* buf, size_t size);
// 0 when path is an existing directory, else the code of the reason.
int qv_check_directory(const char* path);
// Nonzero when the file name stands for a device on this system, whatever its
// extension (on Windows CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in
// any letter case): a file of that name cannot be created.
int qv_device_name(const char* file_name);
// Whether a regular file is at path (on Windows one that opens for
// reading: a file held without sharing does not count, and cannot be opened
// for writing either). Leaves errno (and on Windows the last error) as it
// found them.
bool qv_is_file(const char* path);
// Sets the modification time of the file at path to unix_time (seconds since
// 1970 UTC). 0 or the error code. Leaves errno (and on Windows the last
// error) as it found them, so a write failure just before can still be told.
int qv_set_file_time(const char* path, int64_t unix_time);
// Room for output files in the directory at path: the bytes free to this
// user, and the largest file its file system holds (0: no limit of its
// own; FAT stops at 4 GiB - 1). 0, or the error code.
int qv_output_room(const char* path, int64_t* free_bytes, int64_t* largest_file);
// The bytes of storage the file at path takes (a sparse file less than its
// length); 0 when there is none.
int64_t qv_file_allocated(const char* path);
// Cuts the open file to length bytes. 0, or the error code.
int qv_truncate(FILE* file, int64_t length);
// Whether standard error goes to a terminal (not to a pipe or a file).
bool qv_stderr_is_terminal();
// Nonzero when the output write, flush or close that just failed was refused
// because the file grew beyond what the output file system can hold (EFBIG;
// on Windows also ERROR_FILE_TOO_LARGE).
int qv_write_too_large();

// A second thread and the one lock-with-condition it shares with the first:
// the recording reader reads the next clusters while the current one is
// converted. Native only; the test backends use them as they are.
typedef struct qv_thread_state* qv_thread;
typedef struct qv_monitor_state* qv_monitor;
// Starts run(arg) in a new thread; null when no thread can be started.
qv_thread qv_thread_start(void (*run)(void*), void* arg);
// Waits for the thread to end and frees it.
void qv_thread_join(qv_thread thread);
// A lock with one condition; null when none can be made.
qv_monitor qv_monitor_new();
void qv_monitor_free(qv_monitor monitor);
void qv_monitor_lock(qv_monitor monitor);
void qv_monitor_unlock(qv_monitor monitor);
// Called locked: unlocks, waits until another thread signals, locks again.
void qv_monitor_wait(qv_monitor monitor);
// Wakes every thread that waits on the monitor.
void qv_monitor_signal(qv_monitor monitor);

#ifndef _WIN32
// POSIX drive search settings, changeable so the search is tested without real
// drives: the device name pattern ("/dev/sd%c", filled with 'a' + n) and the
// sysfs root ("/sys") under which block/NAME/removable is read.
void qv_posix_set_drive_paths(const char* device_pattern, const char* sysfs_root);
#endif

// --- finding and opening the disk (open.cpp, source_map.cpp) ---
struct rescue_map;
// What the opening may try, and how it knows the recorder's disk.
struct disk_search {
    const char* image_path;   // only this image file is read
    const char* device_path;  // only this drive is read (on Windows also just its number)
    // Nonzero for a path the run writes to, which is never opened as the source.
    bool (*excluded)(const char* path);
    // Whether a first sector (recorder order) is the recorder's.
    bool (*recognised)(const uint8_t* first_sector);
    // A disk named on the command line whose first sector cannot be read is
    // opened all the same (its boot_sector zero; first_sector_read() false).
    bool unreadable_first_sector;
    // Called once the size of a named disk is known, before its first read
    // (for a drive of the search, once it is recognised): nonzero refuses
    // it, with the reason in qv_error. Null: none.
    int (*before_reading)(int64_t disk_bytes);
};
// Opens the disk the search chooses: its image_path, else its device_path,
// else the platform's image_name, else its parent_image_name, else the first
// of the drives whose first sector is recognised. Sets qv->handle,
// qv->disk_sectors and qv->boot_sector (in recorder order). An image with a
// map beside it (FILE.map) is read as the map says: a byte in a block the
// map does not mark finished reads as a failing drive would there.
int qv_open_device(const disk_search* search);
// Whether the open disk's first sector could be read into qv->boot_sector.
bool first_sector_read();
// After a search that found nothing, where it looked and why each place was
// passed over, as one line ("" when there was no search).
const char* search_report();
// Test and tool support: closes the disk and clears qv_instance.
void qv_close();
// Within the device layer: the backend the open disk was opened with (its
// handle belongs to it, even when a test has installed another since); the
// source map beside the opened image: loaded (0, or 1 when it cannot be
// used), asked whether it refuses a read (the message then in message), freed.
const qv_platform* handle_platform();
int load_source_map(const char* image_path);
bool source_map_refuses(int64_t position, uint32_t count, char* message);
const rescue_map* source_map();  // null when the image has none
void free_source_map();

// --- reading (read.cpp) ---
// Within the device layer: how the handle just taken is read (its backend's
// read access; a drive whose reads cannot be aligned is read through the
// cache). 0, or 1 with the reason in qv_error. Dropped with the handle.
int take_read_access();
void drop_read_access();
// How the open disk is read: past the cache or not, its sectors.
const qv_read_access* read_access();
// The unit of the rescue: the drive's logical sector, 512 bytes for an image.
uint32_t device_sector();
// Memory aligned for direct reads (null when there is none); freed with
// qv_free_aligned (null is accepted).
uint8_t* qv_alloc_aligned(size_t size);
void qv_free_aligned(uint8_t* block);
// The byte position of FAT cluster n: the disk's first cluster is the system
// area, so cluster n lies at (n + 1) x cluster_size.
int64_t cluster_position(uint32_t n);
// Whether position lies at or beyond the end of the disk (when its size is known).
bool beyond_disk(int64_t position);
// Reads count bytes at position into dest as the PC reads them: 0, or 1
// with the reason in message and in *got the bytes that arrived before the
// failure (a read that stops at a bad sector delivers what lies before it).
int qv_read_some(int64_t position, void* dest, uint32_t count, uint32_t* got, char* message);
// After a qv_read_some that failed: the bytes from its position to the end
// of the drive's command that failed (its count where it was one read);
// what lies behind was not tried. The caller holds the rescue.
uint32_t qv_read_tried();
// Reads FAT cluster n whole into dest, swapped.
int qv_read_cluster(uint32_t n, uint8_t* dest);

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

// --- the rescue (rescue.cpp, rescue_phases.cpp, bad_runs.cpp) ---
// Every read of the disk that can fail goes through the rescue, which keeps
// the state of every byte of the disk as GNU ddrescue does (a rescue_map:
// non-tried, non-trimmed, non-scraped, bad-sector, finished) and reads a
// failing disk as ddrescue does: one large read; when it fails, sector by
// sector in from both of its edges until a sector fails (trimming); the
// middle, by the caller's effort, every sector once (scraping) or not at
// all. What a read found is remembered for the run: a range known bad is
// not read again, unless the effort asks for more than was tried. A healthy
// disk costs one read per range.

// The unreadable sectors of one range read by qv_read_salvage, as runs in
// ascending order: first sector (counted from the range's start) and length
// in sectors; untried runs were never read sector by sector (a copy that
// trims but does not scrape left them). Room for the worst case of a
// cluster of the largest size.
constexpr uint32_t kMaxBadRuns = kMaxSectorsPerCluster;
struct bad_sectors {
    uint32_t count;
    uint32_t first[kMaxBadRuns];
    uint32_t length[kMaxBadRuns];
    uint8_t untried[kMaxBadRuns];
};
constexpr int kSalvageComplete = 0;
constexpr int kSalvagePartial = 1;  // some sectors unreadable: zero-filled, listed in bad
constexpr int kSalvageFailed = -1;  // nothing could be read (no disk, start beyond its end)
// How hard a read tries the middle of a failed range: a recording's copy
// copies and trims (bounded effort; the middle is left to mode "disk"), the
// file system's structures are small and essential and are also scraped.
enum rescue_effort {
    kEffortTrim = 0,
    kEffortScrape = 1,
};
// Reads count bytes at position like qv_read, through the rescue: every
// sector that can be read by the effort is kept, the others are filled with
// zero bytes and listed in bad (qv_error then holds the last failed read's
// message, or why a known bad range was not read).
int qv_read_salvage(int64_t position, void* dest, uint32_t count, int swap, bad_sectors* bad,
                    rescue_effort effort = kEffortTrim);
// qv_read_salvage of FAT cluster n whole into dest, swapped.
int qv_read_cluster_salvage(uint32_t n, uint8_t* dest, bad_sectors* bad,
                            rescue_effort effort = kEffortTrim);
// Byte offsets in its range of run i of bad (the end may lie beyond a
// partial last sector).
uint64_t bad_run_start(const bad_sectors* bad, uint32_t i);
uint64_t bad_run_end(const bad_sectors* bad, uint32_t i);
// The first run of bad, from run first on, that ends behind byte from (bad->count
// when none does). Runs are ascending: a reader that moves forwards through
// a range keeps the run it found as the next search's first.
uint32_t bad_run_after(const bad_sectors* bad, uint32_t from, uint32_t first);
// Whether bytes [from, to) of the range touch an unreadable sector.
bool bad_bytes_touch(const bad_sectors* bad, uint32_t from, uint32_t to);
// Shows "Cannot read %u bytes at position %I64d\n" through callback.
void show_unreadable(progress_callback callback, int64_t position, uint32_t count);
// The bytes of untried runs within the first valid bytes of the range.
int64_t untried_bytes(const bad_sectors* bad, uint32_t valid);
// Within the device layer: appends run [first, first + length) of sectors
// behind the runs of bad, joined to the last one when it follows it directly
// with the same untried flag.
void add_bad_run(bad_sectors* bad, uint32_t first, uint32_t length, bool untried);

// Where a rescue puts what it reads (mode "disk": the image and its map).
// Each function returns 0, or nonzero with the reason in qv_error; a sink
// that fails stops the phase that runs (the reads of other callers go on).
struct rescue_sink {
    void* context;
    // Bytes read at pos, as the PC reads them.
    int (*write)(void* context, int64_t pos, const uint8_t* data, uint32_t count);
    // Bytes the state marks finished, from the copy instead of the disk.
    int (*serve)(void* context, int64_t pos, uint8_t* dest, uint32_t count);
    // After every read of the disk: whether it failed, and the bytes done
    // and to do of the phase that runs (0 and 0 outside the phases).
    int (*after_read)(void* context, bool failed, int64_t done, int64_t total);
};
// Starts the rescue of the disk just opened (qv_open_device): every byte
// non-tried; on an image with its map beside it, every byte the map does
// not mark finished is bad without a read.
void rescue_reset();
// Gives back the state (qv_close).
void rescue_free();
// The run's own map (mode "disk"): its blocks become the state (map is left
// empty), non-tried up to the disk's end, and from now on every read goes
// through sink. 0, or 1 when no memory is left (qv_error).
int rescue_adopt(rescue_map* map, const rescue_sink* sink);
// Reads go to no sink any more (the copy is closed); the state stays.
void rescue_drop_sink();
// The state: the map of the whole disk as far as it is known, its current
// position, status and pass those of the last read.
const rescue_map* rescue_state();
void rescue_set_current(int64_t pos, char status, int pass);
// Bytes of the state that have the status; reads that failed in this run.
int64_t rescue_bytes(char status);
int64_t rescue_failed_reads();

// Areas of the disk, in the order a rescue reads them.
struct rescue_area {
    int64_t pos;
    int64_t size;
};
struct rescue_areas {
    rescue_area* items;
    uint32_t count;
    uint32_t room;
};
// Appends an area, joined to the last one when it begins where that ends. 0,
// or 1 when no memory is left (qv_error).
int add_rescue_area(rescue_areas* areas, int64_t pos, int64_t size);
void free_rescue_areas(rescue_areas* areas);
// Bytes within the areas whose status is one of statuses, and the number of
// runs they form (neighbours with statuses of the set are one run).
struct rescue_census {
    int64_t bytes;
    uint32_t runs;
};
rescue_census count_statuses(const rescue_areas* areas, const char* statuses);
// The phases over the areas, each acting only on the blocks of its status,
// area after area. copying: large reads (a cluster each) of the non-tried
// blocks; a read that fails is not split: its block becomes non-trimmed and
// the pass skips beyond it, further after failures in a row (pass 1
// forwards, pass 2 backwards: from the end of each skipped block to its
// first failure, pass 3 forwards without skipping). trimming: each
// non-trimmed block from both edges. scraping: each sector of the
// non-scraped blocks once. retrying: each bad sector once (pass 1 backwards,
// then turning). Every read goes through the sink; the phase stops before
// its next read when the sink failed or the user interrupted.
// One read of the copying phase: a cluster, on the cluster grid (1 MiB on a
// disk whose geometry is not known).
int64_t rescue_piece();
loop_stop rescue_copying(const rescue_areas* areas);
loop_stop rescue_trimming(const rescue_areas* areas);
loop_stop rescue_scraping(const rescue_areas* areas);
loop_stop rescue_retrying(const rescue_areas* areas, int pass);
// Within the device layer, for the phases (the rescue held, one reader at
// a time): the status of the block at pos and its end, at most limit (or of
// the block before pos and its start, at least floor); reading [lo, hi) as a
// copying read (true when it failed); trimming it; reading it sector by
// sector (forwards or not); the phase that runs (its status, 0 for none, and
// pass; its done bytes counted from then); whether to go on; holding the
// rescue.
char rescue_status_at(int64_t pos, int64_t limit, int64_t* end);
char rescue_status_before(int64_t pos, int64_t floor, int64_t* start);
bool rescue_copy_read(int64_t lo, int64_t hi);
void rescue_trim(int64_t lo, int64_t hi);
void rescue_sectors(int64_t lo, int64_t hi, bool forwards);
void rescue_begin_phase(char status, int pass, int64_t total);
loop_stop rescue_check();
void rescue_hold();
void rescue_release();
