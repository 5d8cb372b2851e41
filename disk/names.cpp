// Output file names and output files. A recording's name becomes a file name
// of safe characters only; every output file is created through open_output,
// which refuses the disk image that is being read.
#include <cstring>

#include "disk/qvdisk.h"

namespace {

// The characters a file name may keep, as the recorder tool has always had
// them (the dollar sign twice changes nothing).
constexpr char kAllowed[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+=;$!@#$%^&()[]{}_";
constexpr char kReplacement = '_';

constexpr size_t kOutputBufferSize = 1 << 20;
char output_buffer[kOutputBufferSize];
FILE* output_buffer_owner = nullptr;   // the file that uses output_buffer now

int allowed(char c) { return c != 0 && memchr(kAllowed, c, sizeof kAllowed - 1) != nullptr; }

}  // namespace

void make_name(char* out, const char* name, const char* extension) {
    size_t len = strnlen(name, kNameSize - 1);
    memcpy(out, name, len);
    size_t ext = strnlen(extension, kOutputNameSize - 1 - len);
    memcpy(out + len, extension, ext);
    out[len + ext] = 0;
    for (char* p = out; *p; ++p)
        if (!allowed(*p)) *p = kReplacement;
}

FILE* open_output(const char* path) {
    const qv_platform* platform = qv_current_platform();
    // Truncating the open disk image would destroy the very data being read.
    if (qv->handle && platform && platform->is_same_file && platform->is_same_file(qv->handle, path))
        return nullptr;
    FILE* file = fopen(path, "wb");
    if (!file) return nullptr;
    // One large buffer for the one output that is usually open; a second
    // output open at the same time keeps the library's own buffer.
    if (!output_buffer_owner && setvbuf(file, output_buffer, _IOFBF, sizeof output_buffer) == 0)
        output_buffer_owner = file;
    return file;
}

FILE* open_output_update(const char* path) {
    const qv_platform* platform = qv_current_platform();
    if (qv->handle && platform && platform->is_same_file && platform->is_same_file(qv->handle, path))
        return nullptr;
    FILE* file = fopen(path, "r+b");
    if (!file) return nullptr;
    if (!output_buffer_owner && setvbuf(file, output_buffer, _IOFBF, sizeof output_buffer) == 0)
        output_buffer_owner = file;
    return file;
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
    int failed = fflush(file) != 0;
    if (ferror(file)) failed = 1;
    if (fclose(file) != 0) failed = 1;
    if (file == output_buffer_owner) output_buffer_owner = nullptr;
    return failed;
}
