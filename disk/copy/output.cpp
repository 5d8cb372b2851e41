// Output files: every output is created through open_output, in the output
// directory, never over the disk image that is being read nor over a file
// that is there already, and closed through close_output, which gives it
// its recording's time.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "disk/copy/copy.h"

copy_settings copy_options;

namespace {

constexpr size_t kOutputBufferSize = 1 << 20;
char output_buffer[kOutputBufferSize];
FILE* output_buffer_owner = nullptr;  // the file that uses output_buffer now

// The output files now open: their paths, for the time set when they close.
// MP3 of every sound track writes up to nine at once.
constexpr int kMaxOpenOutputs = 10;
struct open_file {
    FILE* file;  // null: the slot is free
    int dated;   // nonzero: time is the recording's date and time
    int64_t time;
    char path[kOutputPathSize];
};
open_file open_files[kMaxOpenOutputs];

// The recording's date and time as the recorder's clock showed it (local
// time). 0 for a recording without a date, or with fields no clock shows.
int recording_time(const recording_entry* entry, int64_t* time) {
    if (!entry) return 0;
    int year, month, day, hour, minute;
    convert_date_time(entry->mjd, &year, &month, &day, &hour, &minute);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59)
        return 0;
    struct tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;  // as the clock showed it, summer time or not
    time_t t = mktime(&local);
    if (t == time_t(-1)) return 0;
    *time = int64_t(t);
    return 1;
}

}  // namespace

void output_path(char* out, size_t size, const char* file_name) {
    if (size == 0) return;
    const char* dir = copy_options.output_dir;
    size_t dir_length = dir ? strlen(dir) : 0;
    const char* separator = "";
    if (dir_length > 0 && !strchr(kPathSeparators, dir[dir_length - 1])) separator = kPathSeparator;
    int n = snprintf(out, size, "%s%s%s", dir_length ? dir : "", separator, file_name);
    if (n < 0 || size_t(n) >= size) out[0] = 0;  // a path cut short would name another file
}

const char* path_file_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (strchr(kPathSeparators, *p)) name = p + 1;
    return name;
}

namespace {

// A new output never replaces a file that is there (an earlier rescue, a
// recording of the same name from another disk): it is written as
// NAME(2).EXT, or the next number that is free, and the user is told. What
// is not a file (a directory, a device) is opened as it is, and fails or
// takes the output as it would.
constexpr int kMaxOutputCopies = 999;

bool pick_free_path(char* path, size_t size) {
    if (!qv_is_file(path)) return true;
    const char* name = path_file_name(path);
    const char* dot = strrchr(name, '.');
    const size_t stem = size_t((dot && dot != name ? dot : name + strlen(name)) - path);
    char candidate[kOutputPathSize];
    for (int n = 2; n <= kMaxOutputCopies; ++n) {
        int length =
            snprintf(candidate, sizeof candidate, "%.*s(%d)%s", int(stem), path, n, path + stem);
        if (length < 0 || size_t(length) >= size) return false;
        if (qv_is_file(candidate)) continue;
        qv_warn("%s exists and is kept: the output is written as %s\n", path, candidate);
        memcpy(path, candidate, size_t(length) + 1);
        return true;
    }
    return false;
}

// Opens output file_name with the mode ("wb" new, "r+b" in place), as every
// output is opened; the path opened into used (kOutputPathSize) if given.
FILE* open_output_as(const char* file_name, const recording_entry* entry, const char* mode,
                     char* used) {
    open_file* slot = nullptr;
    for (open_file& f : open_files)
        if (!f.file) slot = &f;
    if (!slot) return nullptr;
    output_path(slot->path, sizeof slot->path, file_name);
    if (!slot->path[0]) return nullptr;
    const qv_platform* platform = qv_current_platform();
    // Truncating the open disk image would destroy the very data being read.
    if (qv->handle && platform && platform->is_same_file &&
        platform->is_same_file(qv->handle, slot->path))
        return nullptr;
    if (mode[0] == 'w' && !pick_free_path(slot->path, sizeof slot->path)) return nullptr;
    if (used) memcpy(used, slot->path, sizeof slot->path);
    FILE* file = fopen(slot->path, mode);
    if (!file) return nullptr;
    // One large buffer for the one output that is usually open; a second
    // output open at the same time keeps the library's own buffer.
    if (!output_buffer_owner && setvbuf(file, output_buffer, _IOFBF, sizeof output_buffer) == 0)
        output_buffer_owner = file;
    slot->file = file;
    slot->dated = recording_time(entry, &slot->time);
    return file;
}

}  // namespace

FILE* open_output(const char* file_name, const recording_entry* entry, char* used) {
    char path[kOutputPathSize] = "";
    FILE* file = open_output_as(file_name, entry, "wb", path);
    if (used) memcpy(used, path, sizeof path);
    // A recording's first output names its copy in the account.
    char* named = copy_outcome().output;
    if (file && entry && !named[0]) memcpy(named, path, sizeof path);
    return file;
}

FILE* open_output_update(const char* file_name) {
    return open_output_as(file_name, nullptr, "r+b", nullptr);
}

FILE* open_output_readable(const char* file_name, char* used) {
    return open_output_as(file_name, nullptr, "w+b", used);
}

int seek_output(FILE* file, int64_t position) {
#ifdef _WIN32
    return _fseeki64(file, position, SEEK_SET) != 0;
#else
    return fseeko(file, off_t(position), SEEK_SET) != 0;
#endif
}

namespace {

// Gives the file of slot f its recording's time (partial outputs too: the
// file belongs to the recording whatever became of the copy). A failure is
// shown.
void date_file(const open_file& f) {
    int code = f.dated ? qv_set_file_time(f.path, f.time) : 0;
    if (code == 0) return;
    char reason[256];
    qv_system_message(code, reason, sizeof reason);
    qv_warn("Cannot set the time of %s: %s\n", f.path, reason);
}

}  // namespace

int close_output(FILE* file) {
    if (!file) return 1;
    int reason = 0;
    if (fflush(file) != 0 || ferror(file)) reason = errno ? errno : EIO;
    if (fclose(file) != 0 && reason == 0) reason = errno ? errno : EIO;
    if (file == output_buffer_owner) output_buffer_owner = nullptr;
    for (open_file& f : open_files) {
        if (f.file != file) continue;
        f.file = nullptr;
        date_file(f);
    }
    if (reason == 0) return 0;
    errno = reason;
    return 1;
}

void qv_write_failed(const char* usual) {
    qv_set_error("%s", qv_write_too_large() ? kFileTooLargeMessage : usual);
}
