// A failing drive for tools/bench, preloaded (LD_PRELOAD) into pvrcopy and
// into GNU ddrescue alike, so that both meet the same drive: reads of one
// file fail with EIO where its bad sectors are (the sectors before the first
// bad one arrive, as a POSIX read gives them), every failed read takes its
// time, and after a number of failed reads the drive is dead: every read
// fails at once. Linux only.
//
//   FAILING_FILE        the file that stands for the drive (any path to it)
//   FAILING_SECTORS     bad 512-byte sectors: "first-last,first-last,..."
//   FAILING_DELAY_MS    the time every failed read of a bad sector takes (0)
//   FAILING_DIES_AFTER  failed reads, then every read fails (0: never)
//   FAILING_REPORT      file that gets "failed_reads N reads M" at exit
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int kMaxFd = 4096;
constexpr int kMaxRanges = 64;
constexpr off_t kSector = 512;

struct range {
    off_t first, last;
};

struct drive {
    bool ready;
    dev_t dev;
    ino_t ino;
    range bad[kMaxRanges];
    int ranges;
    long delay_ms;
    long dies_after;
    std::atomic<long> failed, reads;
    std::atomic<bool> tracked[kMaxFd];
};
drive the_drive;

template <class F>
F next_symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void set_up() {
    drive& d = the_drive;
    d.ready = true;
    const char* file = getenv("FAILING_FILE");
    struct stat st;
    if (!file || stat(file, &st) != 0) return;
    d.dev = st.st_dev, d.ino = st.st_ino;
    for (const char* p = getenv("FAILING_SECTORS"); p && *p && d.ranges < kMaxRanges;) {
        char* end = nullptr;
        range r;
        r.first = r.last = strtoll(p, &end, 10);
        if (end == p) break;
        if (*end == '-') {
            const char* last = end + 1;
            r.last = strtoll(last, &end, 10);
            if (end == last) break;
        }
        d.bad[d.ranges++] = r;
        if (*end != ',') break;
        p = end + 1;
    }
    if (const char* v = getenv("FAILING_DELAY_MS")) d.delay_ms = atol(v);
    if (const char* v = getenv("FAILING_DIES_AFTER")) d.dies_after = atol(v);
}

void track(int fd) {
    if (!the_drive.ready) set_up();
    struct stat st;
    if (fd < 0 || fd >= kMaxFd || fstat(fd, &st) != 0) return;
    the_drive.tracked[fd] =
        the_drive.ino != 0 && st.st_dev == the_drive.dev && st.st_ino == the_drive.ino;
}

bool is_tracked(int fd) { return fd >= 0 && fd < kMaxFd && the_drive.tracked[fd]; }

ssize_t fail(bool slow) {
    the_drive.failed++;
    if (slow && the_drive.delay_ms > 0) {
        struct timespec t = {the_drive.delay_ms / 1000, (the_drive.delay_ms % 1000) * 1000000};
        nanosleep(&t, nullptr);
    }
    errno = EIO;
    return -1;
}

// The first bad sector of [pos, pos + count), or -1.
off_t first_bad(off_t pos, size_t count) {
    off_t found = -1;
    const off_t lo = pos / kSector, hi = (pos + off_t(count) - 1) / kSector;
    for (int i = 0; i < the_drive.ranges; ++i) {
        const range& r = the_drive.bad[i];
        const off_t s = r.first > lo ? r.first : lo;
        if (s <= hi && s <= r.last && (found < 0 || s < found)) found = s;
    }
    return found;
}

typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);

ssize_t drive_read(int fd, void* buf, size_t count, off_t pos) {
    static const pread_fn real = next_symbol<pread_fn>("pread64");
    drive& d = the_drive;
    d.reads++;
    if (d.dies_after > 0 && d.failed >= d.dies_after) return fail(false);
    const off_t bad = count ? first_bad(pos, count) : -1;
    if (bad < 0) return real(fd, buf, count, pos);
    if (bad * kSector > pos) return real(fd, buf, size_t(bad * kSector - pos), pos);
    return fail(true);
}

int open_tracked(int fd) {
    track(fd);
    return fd;
}

__attribute__((destructor)) void report() {
    const char* path = getenv("FAILING_REPORT");
    if (!path || !the_drive.ino) return;
    if (FILE* f = fopen(path, "a")) {
        fprintf(f, "failed_reads %ld reads %ld\n", the_drive.failed.load(), the_drive.reads.load());
        fclose(f);
    }
}

}  // namespace

// The mode an open that creates finds behind its flags.
#define MODE_BEHIND(flags, mode)          \
    mode_t mode = 0;                      \
    if ((flags)&O_CREAT) {                \
        va_list args;                     \
        va_start(args, flags);            \
        mode = mode_t(va_arg(args, int)); \
        va_end(args);                     \
    }

extern "C" {

int open(const char* path, int flags, ...) {
    static const auto real = next_symbol<int (*)(const char*, int, ...)>("open");
    MODE_BEHIND(flags, mode);
    return open_tracked(real(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    static const auto real = next_symbol<int (*)(const char*, int, ...)>("open64");
    MODE_BEHIND(flags, mode);
    return open_tracked(real(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
    static const auto real = next_symbol<int (*)(int, const char*, int, ...)>("openat");
    MODE_BEHIND(flags, mode);
    return open_tracked(real(dir, path, flags, mode));
}

// What _FORTIFY_SOURCE makes of open without a mode (GNU ddrescue opens its input so).
int __open_2(const char* path, int flags) {
    static const auto real = next_symbol<int (*)(const char*, int)>("__open_2");
    return open_tracked(real(path, flags));
}

int __open64_2(const char* path, int flags) {
    static const auto real = next_symbol<int (*)(const char*, int)>("__open64_2");
    return open_tracked(real(path, flags));
}

int close(int fd) {
    static const auto real = next_symbol<int (*)(int)>("close");
    if (fd >= 0 && fd < kMaxFd) the_drive.tracked[fd] = false;
    return real(fd);
}

ssize_t pread(int fd, void* buf, size_t count, off_t pos) {
    static const pread_fn real = next_symbol<pread_fn>("pread");
    return is_tracked(fd) ? drive_read(fd, buf, count, pos) : real(fd, buf, count, pos);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t pos) {
    static const pread_fn real = next_symbol<pread_fn>("pread64");
    return is_tracked(fd) ? drive_read(fd, buf, count, pos) : real(fd, buf, count, pos);
}

ssize_t read(int fd, void* buf, size_t count) {
    static const auto real = next_symbol<ssize_t (*)(int, void*, size_t)>("read");
    if (!is_tracked(fd)) return real(fd, buf, count);
    const off_t pos = lseek(fd, 0, SEEK_CUR);
    const ssize_t n = drive_read(fd, buf, count, pos);
    if (n > 0) lseek(fd, n, SEEK_CUR);
    return n;
}

}  // extern "C"
