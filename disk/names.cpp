// Output file names and output files. A recording's name becomes a file name
// of safe characters only; every output file is created through open_output,
// in the output directory, refusing the disk image that is being read, and
// closed through close_output, which gives it its recording's time.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "disk/qvdisk.h"

namespace {

// The characters a file name may keep, as the recorder tool has always had
// them (the dollar sign twice changes nothing).
constexpr char kAllowed[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+=;$!@#$%^&()[]{}_";
constexpr char kReplacement = '_';

constexpr size_t kOutputBufferSize = 1 << 20;
char output_buffer[kOutputBufferSize];
FILE* output_buffer_owner = nullptr;  // the file that uses output_buffer now

int allowed(char c) { return c != 0 && memchr(kAllowed, c, sizeof kAllowed - 1) != nullptr; }

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

namespace {

// out: name (length bytes), number and extension, every character outside
// the allowed set replaced; kOutputNameSize bytes at most.
void compose_name(char* out, const char* name, size_t length, const char* number,
                  const char* extension) {
    if (snprintf(out, kOutputNameSize, "%.*s%s%s", int(length), name, number, extension) < 0)
        out[0] = 0;
    for (char* p = out; *p; ++p)
        if (!allowed(*p)) *p = kReplacement;
    // A name the system keeps for a device would send the copy there.
    const size_t n = strlen(out);
    if (qv_device_name(out) && n + 1 < kOutputNameSize)
        memmove(out + 1, out, n + 1), out[0] = kReplacement;
}

}  // namespace

void copy_name(char* out, size_t out_size, const uint8_t* field, size_t field_size) {
    size_t len = 0;
    while (len < field_size && len + 1 < out_size && field[len] != 0) ++len;
    memcpy(out, field, len);
    out[len] = 0;
}

void make_name(char* out, const char* name, const char* extension) {
    compose_name(out, name, strnlen(name, kNameSize - 1), "", extension);
}

namespace {

// Output names of the recording table compared as the output file system
// compares them: after make_name's filter, ASCII letters without regard to
// case. A key is a recording's name, and for a numbered one its "_N" behind.
struct name_key {
    const char* name;
    size_t length;
    char number[16];  // "" or "_N"
};

char key_char(const name_key& k, size_t i) {
    if (i >= k.length) return k.number[i - k.length];
    char c = allowed(k.name[i]) ? k.name[i] : kReplacement;
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

int compare_keys(const name_key& a, const name_key& b) {
    for (size_t i = 0;; ++i) {
        char x = key_char(a, i), y = key_char(b, i);
        if (x != y) return (unsigned char)x < (unsigned char)y ? -1 : 1;
        if (x == 0) return 0;
    }
}

name_key key_of(int index, bool numbered) {
    name_key k;
    k.name = qv->recordings[index].name;
    k.length = strnlen(k.name, kNameSize - 1);
    k.number[0] = 0;
    if (numbered) snprintf(k.number, sizeof k.number, "_%d", index + 1);
    return k;
}

// Which recordings of the first count get their list number. Sorted by
// name, equal names are neighbours; a numbered name can equal only a
// recording's own name (behind the last "_" of two numbered names stand
// their different numbers), and that recording is numbered too, which may
// make its numbered name equal another's name: until none is left.
void number_recordings(int count, uint8_t* numbered) {
    static uint16_t order[kMaxRecordings];
    static uint16_t work[kMaxRecordings];
    for (int i = 0; i < count; ++i) order[i] = uint16_t(i);
    std::sort(order, order + count, [](uint16_t a, uint16_t b) {
        int c = compare_keys(key_of(a, false), key_of(b, false));
        return c != 0 ? c < 0 : a < b;
    });
    int pending = 0;
    for (int i = 0; i < count; ++i) {
        const int r = order[i];
        const name_key k = key_of(r, false);
        numbered[r] = k.length == 0 ||  // never a file named by its extension alone
                      (i > 0 && compare_keys(key_of(order[i - 1], false), k) == 0) ||
                      (i + 1 < count && compare_keys(key_of(order[i + 1], false), k) == 0);
        if (numbered[r]) work[pending++] = uint16_t(r);
    }
    while (pending > 0) {
        const name_key k = key_of(work[--pending], true);
        const uint16_t* at =
            std::lower_bound(order, order + count, k, [](uint16_t r, const name_key& key) {
                return compare_keys(key_of(r, false), key) < 0;
            });
        // At most one recording has that name (two would both be numbered).
        if (at != order + count && !numbered[*at] && compare_keys(key_of(*at, false), k) == 0) {
            numbered[*at] = 1;
            work[pending++] = *at;
        }
    }
}

// A fingerprint of the first count names (64-bit FNV-1a): the numbering is
// worked out again only when the table changed, not for every copy of a
// table of thousands.
uint64_t table_fingerprint(int count) {
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int i = 0; i < 4; ++i) mix(uint8_t(uint32_t(count) >> (8 * i)));
    for (int r = 0; r < count; ++r) {
        const char* name = qv->recordings[r].name;
        for (size_t i = 0, n = strnlen(name, kNameSize - 1); i < n; ++i) mix(uint8_t(name[i]));
        mix(0);
    }
    return h;
}

}  // namespace

void recording_file_name(char* out, int index, const char* extension) {
    if (index < 0 || index >= int(kMaxRecordings)) {
        make_name(out, "", extension);
        return;
    }
    // The recording named belongs to the table, whatever its count says.
    int count = qv->recording_count > index ? qv->recording_count : index + 1;
    if (count > int(kMaxRecordings)) count = int(kMaxRecordings);
    static uint8_t numbered[kMaxRecordings];
    static uint64_t numbered_table;  // the fingerprint of the table numbered
    static bool have_numbered = false;
    const uint64_t table = table_fingerprint(count);
    if (!have_numbered || table != numbered_table) {
        number_recordings(count, numbered);
        numbered_table = table;
        have_numbered = true;
    }
    const name_key k = key_of(index, numbered[index] != 0);
    compose_name(out, k.name, k.length, k.number, extension);
}

void output_path(char* out, size_t size, const char* file_name) {
    if (size == 0) return;
    const char* dir = qv_options.output_dir;
    size_t dir_length = dir ? strlen(dir) : 0;
    const char* separator = "";
    if (dir_length > 0 && !strchr(kPathSeparators, dir[dir_length - 1])) separator = kPathSeparator;
    int n = snprintf(out, size, "%s%s%s", dir_length ? dir : "", separator, file_name);
    if (n < 0 || size_t(n) >= size) out[0] = 0;  // a path cut short would name another file
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
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (strchr(kPathSeparators, *p)) name = p + 1;
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
    return open_output_as(file_name, entry, "wb", used);
}

FILE* open_output_update(const char* file_name) {
    return open_output_as(file_name, nullptr, "r+b", nullptr);
}

int seek_output(FILE* file, int64_t position) {
#ifdef _WIN32
    return _fseeki64(file, position, SEEK_SET) != 0;
#else
    return fseeko(file, off_t(position), SEEK_SET) != 0;
#endif
}

int close_output(FILE* file) {
    if (!file) return 1;
    int failed = 0, reason = 0;
    if (fflush(file) != 0 || ferror(file)) failed = 1, reason = errno;
    if (fclose(file) != 0 && !failed) failed = 1, reason = errno;
    if (file == output_buffer_owner) output_buffer_owner = nullptr;
    for (open_file& f : open_files) {
        if (f.file != file) continue;
        f.file = nullptr;
        // Partial outputs too: the file belongs to the recording whatever became of the copy.
        int code = f.dated ? qv_set_file_time(f.path, f.time) : 0;
        if (code != 0) {
            char message[kErrorSize], reason_text[256];
            memcpy(message, qv_error, sizeof message);  // a failure's message stays for the caller
            qv_system_message(code, reason_text, sizeof reason_text);
            qv_warn("Cannot set the time of %s: %s\n", f.path, reason_text);
            memcpy(qv_error, message, sizeof message);
        }
    }
    if (failed) errno = reason;
    return failed;
}

void qv_write_failed(const char* usual) {
    qv_set_error("%s", qv_write_too_large() ? kFileTooLargeMessage : usual);
}
