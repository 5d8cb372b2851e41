// The one interface between pvrcopy and the operating system's disk calls.
// disk/platform_posix.cpp and disk/platform_win32.cpp provide the native
// backend; tests and fuzz targets install their own (an in-memory disk, a disk
// that fails a chosen read) through qv_set_platform.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* qv_handle;  // opaque to everything but the backend; null = none

constexpr uint32_t kSectorSize = 512;  // every size and position the disk reports counts these

struct qv_drive_geometry {
    int fixed_media;  // nonzero when the medium is a fixed (not removable) disk
    int64_t sectors;  // size in 512-byte sectors
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
    // Nonzero when path names the very file or device that h has open, so an
    // output file must not be created there (it would truncate the disk).
    int (*is_same_file)(qv_handle h, const char* path);
    // Path of physical drive n (0 to 7) into buf; the image file names.
    void (*drive_path)(int n, char* buf, size_t size);
    const char* image_name;         // "qvdisk.img"
    const char* parent_image_name;  // "../qvdisk.img" or "..\\qvdisk.img"
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
// Nonzero when a regular file is at path (on Windows one that opens for
// reading: a file held without sharing does not count, and cannot be opened
// for writing either). Leaves errno (and on Windows the last error) as it
// found them.
int qv_is_file(const char* path);
// Sets the modification time of the file at path to unix_time (seconds since
// 1970 UTC). 0 or the error code. Leaves errno (and on Windows the last
// error) as it found them, so a write failure just before can still be told.
int qv_set_file_time(const char* path, int64_t unix_time);
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
