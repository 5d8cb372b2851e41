// The Windows disk backend: image files and the physical drives
// \\.\PHYSICALDRIVE0 to 7 (these without buffering), opened with CreateFileA
// for reading with share mode 0, so no other opener (this process included, its own output files
// too) can use the disk while it is open. Also the few calls the output files
// need (directory check, file times).
#include <io.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include "disk/device/device.h"

namespace {

// An open image file or drive; a drive is opened without buffering (past the
// system's cache), its reads in whole sectors from aligned memory.
struct win_file {
    HANDLE h;
    qv_read_access access;
    char path[MAX_PATH];
};

win_file* file_of(qv_handle h) { return static_cast<win_file*>(h); }
HANDLE win_handle(qv_handle h) { return file_of(h)->h; }

// The system's code for the failure just seen, never 0 (0 means success here).
int last_error() {
    DWORD code = GetLastError();
    return code != NO_ERROR ? int(code) : int(ERROR_GEN_FAILURE);
}

bool is_drive_path(const char* path) { return strncmp(path, "\\\\.\\", 4) == 0; }

HANDLE open_for_reading(const char* path, DWORD flags) {
    return CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, flags, NULL);
}

// The drive's sector sizes and the largest transfer of its adapter.
qv_read_access drive_access(HANDLE h) {
    qv_read_access access = {true, 0, 0, 0};
    DWORD returned = 0;
    DISK_GEOMETRY_EX g;
    if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, NULL, 0, &g, sizeof g, &returned,
                        NULL))
        access.logical_sector = g.Geometry.BytesPerSector;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment = {};
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                        sizeof alignment, &returned, NULL))
        access.physical_sector = alignment.BytesPerPhysicalSector;
    query.PropertyId = StorageAdapterProperty;
    STORAGE_ADAPTER_DESCRIPTOR adapter = {};
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                        sizeof adapter, &returned, NULL)) {
        uint64_t bytes = adapter.MaximumTransferLength;
        const uint64_t pages = adapter.MaximumPhysicalPages > 1
                                   ? uint64_t(adapter.MaximumPhysicalPages - 1) * 4096
                                   : 0;
        if (pages && pages < bytes) bytes = pages;
        for (uint64_t b = 1; b <= bytes && b <= kClusterBufferSize; b <<= 1)
            access.largest_read = uint32_t(b);
    }
    return access;
}

qv_handle win_open(const char* path, int* error) {
    const bool drive = is_drive_path(path);
    HANDLE h = open_for_reading(path, drive ? FILE_FLAG_NO_BUFFERING : 0);
    if (h == INVALID_HANDLE_VALUE) {
        *error = last_error();
        return nullptr;
    }
    win_file* f = new (std::nothrow) win_file{h, {false, 0, 0, 0}, ""};
    if (!f) {
        CloseHandle(h);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    snprintf(f->path, sizeof f->path, "%s", path);
    if (drive) f->access = drive_access(h);
    return f;
}

// Moves the file pointer; the new position in *where. A low part of
// 0xFFFFFFFF is a failure only when the system also reports an error (it is a
// valid low part of a position beyond 4 GiB).
int move_pointer(HANDLE h, int64_t distance, DWORD method, int64_t* where) {
    LONG high = LONG(uint64_t(distance) >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(h, LONG(uint32_t(uint64_t(distance))), &high, method);
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD code = GetLastError();
        if (code != NO_ERROR) return int(code);
    }
    if (where) *where = int64_t(uint64_t(uint32_t(high)) << 32 | low);
    return 0;
}

int win_file_size(qv_handle h, int64_t* size) {
    return move_pointer(win_handle(h), 0, FILE_END, size);
}

// The media type comes from the geometry. The size is the drive's exact
// length where it answers for it (as Linux's BLKGETSIZE64 gives it); the
// cylinder x head x sector product, which leaves out a partial last
// cylinder, only where it does not.
int win_drive_geometry(qv_handle h, qv_drive_geometry* geometry) {
    DISK_GEOMETRY g;
    DWORD returned = 0;
    if (!DeviceIoControl(win_handle(h), IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, &g, sizeof g,
                         &returned, NULL))
        return last_error();
    geometry->fixed_media = g.MediaType == FixedMedia;
    GET_LENGTH_INFORMATION length;
    if (DeviceIoControl(win_handle(h), IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length,
                        &returned, NULL))
        geometry->sectors = int64_t(length.Length.QuadPart) / kSectorSize;
    else
        geometry->sectors = int64_t(g.Cylinders.QuadPart) * int64_t(g.TracksPerCylinder) *
                            int64_t(g.SectorsPerTrack);
    return 0;
}

int win_seek(qv_handle h, int64_t position) {
    return move_pointer(win_handle(h), position, FILE_BEGIN, nullptr);
}

int win_read(qv_handle h, void* dest, uint32_t count, uint32_t* got) {
    DWORD n = 0;
    if (!ReadFile(win_handle(h), dest, count, &n, NULL)) {
        *got = 0;
        return last_error();
    }
    *got = n;
    return 0;
}

void win_close(qv_handle h) {
    CloseHandle(win_handle(h));
    delete file_of(h);
}

// The share mode already keeps every other opener, fopen included, off the
// open disk: nothing to compare.
bool win_is_same_file(qv_handle, const char*) { return false; }

void win_drive_path(int n, char* buf, size_t size) {
    snprintf(buf, size, "\\\\.\\PHYSICALDRIVE%d", n);
}

int win_read_access(qv_handle h, qv_read_access* access) {
    *access = file_of(h)->access;
    return 0;
}

// A handle's buffering is fixed when it is opened: the drive is opened
// again, with buffering (its share mode 0 admits no second opener, so the
// first handle is closed before).
int win_read_cached(qv_handle h) {
    win_file* f = file_of(h);
    CloseHandle(f->h);
    f->h = open_for_reading(f->path, 0);
    if (f->h == INVALID_HANDLE_VALUE) return last_error();
    f->access.direct = false;
    return 0;
}

const qv_platform win32_platform = {
    win_open,        win_file_size,    win_drive_geometry,      win_seek,     win_read,
    win_close,       win_is_same_file, win_drive_path,          "qvdisk.img", "..\\qvdisk.img",
    win_read_access, win_read_cached,  ERROR_INVALID_PARAMETER,
};

}  // namespace

const qv_platform* qv_native_platform() { return &win32_platform; }

void qv_system_message(int code, char* buf, size_t size) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             DWORD(code), 0, buf, DWORD(size), NULL);
    // The system's texts end in a line end; the callers add their own.
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) --n;
    if (n == 0)
        snprintf(buf, size, "system error %d", code);
    else
        buf[n] = 0;
}

int qv_check_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? 0 : int(ERROR_DIRECTORY);
}

int qv_set_file_time(const char* path, int64_t unix_time) {
    int saved_errno = errno;
    DWORD saved_error = GetLastError();
    // FILETIME counts 100 ns steps from 1601; Unix time seconds from 1970.
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    constexpr int64_t kTicksPerSecond = 10000000;
    uint64_t ticks = uint64_t(unix_time + kSecondsFrom1601To1970) * uint64_t(kTicksPerSecond);
    FILETIME written;
    written.dwLowDateTime = DWORD(ticks);
    written.dwHighDateTime = DWORD(ticks >> 32);
    int code = 0;
    HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        code = last_error();
    } else {
        if (!SetFileTime(h, NULL, NULL, &written)) code = last_error();
        CloseHandle(h);
    }
    errno = saved_errno;
    SetLastError(saved_error);
    return code;
}

int qv_device_name(const char* file_name) {
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    static const char* const kNumberedDevices[] = {"COM", "LPT"};  // COM1 to COM9, LPT1 to LPT9
    constexpr size_t kDeviceNameLength = 3;
    const size_t stem = strcspn(file_name, ".");
    for (const char* device : kDevices)
        if (stem == kDeviceNameLength && _strnicmp(file_name, device, kDeviceNameLength) == 0)
            return 1;
    for (const char* device : kNumberedDevices)
        if (stem == kDeviceNameLength + 1 && _strnicmp(file_name, device, kDeviceNameLength) == 0 &&
            file_name[kDeviceNameLength] >= '1' && file_name[kDeviceNameLength] <= '9')
            return 1;
    return 0;
}

bool qv_is_file(const char* path) {
    int saved_errno = errno;
    DWORD saved_error = GetLastError();
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    const bool is_file = h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    errno = saved_errno;
    SetLastError(saved_error);
    return is_file;
}

int qv_output_room(const char* path, int64_t* free_bytes, int64_t* largest_file) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(path, &available, NULL, NULL)) return last_error();
    *free_bytes = int64_t(available.QuadPart);
    *largest_file = 0;
    // The file system's name from a handle of the directory (the volume's
    // label is not asked for).
    HANDLE dir = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    wchar_t file_system[MAX_PATH];
    if (dir != INVALID_HANDLE_VALUE &&
        GetVolumeInformationByHandleW(dir, NULL, 0, NULL, NULL, NULL, file_system, MAX_PATH) &&
        wcsncmp(file_system, L"FAT", 3) == 0)
        *largest_file = 0xFFFFFFFF;
    if (dir != INVALID_HANDLE_VALUE) CloseHandle(dir);
    return 0;
}

int64_t qv_file_allocated(const char* path) {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetCompressedFileSizeA(path, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    return int64_t(uint64_t(high) << 32 | low);
}

int qv_truncate(FILE* file, int64_t length) { return _chsize_s(_fileno(file), length); }

int qv_write_too_large() { return errno == EFBIG || GetLastError() == ERROR_FILE_TOO_LARGE; }

struct qv_thread_state {
    HANDLE handle;
    void (*run)(void*);
    void* arg;
};

static DWORD WINAPI thread_main(LPVOID state) {
    qv_thread_state* t = static_cast<qv_thread_state*>(state);
    t->run(t->arg);
    return 0;
}

qv_thread qv_thread_start(void (*run)(void*), void* arg) {
    qv_thread_state* t = new (std::nothrow) qv_thread_state{NULL, run, arg};
    if (!t) return nullptr;
    t->handle = CreateThread(NULL, 0, thread_main, t, 0, NULL);
    if (!t->handle) {
        delete t;
        return nullptr;
    }
    return t;
}

void qv_thread_join(qv_thread thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

struct qv_monitor_state {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
};

qv_monitor qv_monitor_new() {
    qv_monitor_state* m = new (std::nothrow) qv_monitor_state;
    if (!m) return nullptr;
    InitializeCriticalSection(&m->lock);
    InitializeConditionVariable(&m->changed);
    return m;
}

void qv_monitor_free(qv_monitor m) {
    DeleteCriticalSection(&m->lock);
    delete m;
}

void qv_monitor_lock(qv_monitor m) { EnterCriticalSection(&m->lock); }
void qv_monitor_unlock(qv_monitor m) { LeaveCriticalSection(&m->lock); }
void qv_monitor_wait(qv_monitor m) { SleepConditionVariableCS(&m->changed, &m->lock, INFINITE); }
void qv_monitor_signal(qv_monitor m) { WakeAllConditionVariable(&m->changed); }

bool qv_stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
