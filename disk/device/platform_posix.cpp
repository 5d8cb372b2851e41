// The POSIX (Linux) disk backend: image files locked with flock, the first
// eight whole disks /dev/sda to /dev/sdh opened with O_EXCL, reads with pread
// (a drive's with O_DIRECT, past the page cache); and the few calls the output
// files need (directory check, file times).
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "disk/device/device.h"

struct posix_handle {
    int fd;
    int64_t position;
    std::string path;
    qv_read_access access;
};

static std::string device_pattern = "/dev/sd%c";
static std::string sysfs_root = "/sys";

void qv_posix_set_drive_paths(const char* pattern, const char* root) {
    device_pattern = pattern ? pattern : "/dev/sd%c";
    sysfs_root = root ? root : "/sys";
}

#ifdef __linux__
// A number of the drive's request queue in sysfs (of the whole disk for a
// partition), or 0.
static uint32_t queue_limit(dev_t device, const char* name) {
    const std::string dev = sysfs_root + "/dev/block/" + std::to_string(major(device)) + ":" +
                            std::to_string(minor(device));
    unsigned value = 0;
    for (const char* queue : {"/queue/", "/../queue/"}) {
        if (FILE* f = fopen((dev + queue + name).c_str(), "r")) {
            const bool read = fscanf(f, "%u", &value) == 1;
            fclose(f);
            if (read) return value;
        }
    }
    return 0;
}

// The largest read one command of the drive carries: what its queue takes
// in one request, even where every page of the buffer is a segment of its
// own; a power of two.
static uint32_t largest_read(int fd, dev_t device) {
    unsigned short sectors = 0;
    uint64_t bytes = ioctl(fd, BLKSECTGET, &sectors) == 0 ? uint64_t(sectors) * kSectorSize : 0;
    const uint64_t segments = uint64_t(queue_limit(device, "max_segments")) * getpagesize();
    if (segments && (!bytes || segments < bytes)) bytes = segments;
    uint32_t largest = 0;
    for (uint64_t b = 1; b <= bytes && b <= kClusterBufferSize; b <<= 1) largest = uint32_t(b);
    return largest;
}

// A drive's sectors and request size. The sector sizes stay 0 where the
// device does not tell them.
static qv_read_access drive_access(int fd, dev_t device, bool direct) {
    qv_read_access access = {direct, 0, 0, 0};
    int logical = 0;
    unsigned physical = 0;
    if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) access.logical_sector = logical;
    if (ioctl(fd, BLKPBSZGET, &physical) == 0) access.physical_sector = physical;
    access.largest_read = largest_read(fd, device);
    return access;
}
#endif

// A drive opens past the page cache where the kernel allows it, and without
// read-ahead advice; an image file with it.
static qv_handle posix_open(const char* path, int* error) {
    struct stat st;
    const bool drive = stat(path, &st) == 0 && S_ISBLK(st.st_mode);
    int flags = O_RDONLY;
    if (drive) flags |= O_EXCL;  // refuses a mounted disk
    bool direct = false;
#ifdef O_DIRECT
    int fd = drive ? open(path, flags | O_DIRECT) : -1;
    direct = fd >= 0;
    if (fd < 0) fd = open(path, flags);
#else
    int fd = open(path, flags);
#endif
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another pvrcopy holds it
        // Told as busy, as the kernel tells a mounted disk opened with O_EXCL.
        *error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return nullptr;
    }
    qv_read_access access = {false, 0, 0, 0};
#ifdef __linux__
    if (drive) access = drive_access(fd, st.st_rdev, direct);
#endif
#ifdef POSIX_FADV_SEQUENTIAL
    if (!drive) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    (void)direct;
    return new posix_handle{fd, 0, path, access};
}

static int posix_read_access(qv_handle h, qv_read_access* access) {
    *access = static_cast<posix_handle*>(h)->access;
    return 0;
}

static int posix_read_cached(qv_handle h) {
    posix_handle* ph = static_cast<posix_handle*>(h);
#ifdef O_DIRECT
    const int flags = fcntl(ph->fd, F_GETFL);
    if (flags < 0 || fcntl(ph->fd, F_SETFL, flags & ~O_DIRECT) != 0) return errno;
#endif
    ph->access.direct = false;
    return 0;
}

static int posix_file_size(qv_handle h, int64_t* size) {
    int fd = static_cast<posix_handle*>(h)->fd;
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (S_ISREG(st.st_mode)) {
        *size = st.st_size;
        return 0;
    }
    // An image name that leads to a device: its size is where its end is.
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return errno;
    *size = end;
    return 0;
}

static int posix_drive_geometry(qv_handle h, qv_drive_geometry* g) {
    posix_handle* ph = static_cast<posix_handle*>(h);
    std::string name = ph->path.substr(ph->path.find_last_of('/') + 1);
    // Without a sysfs entry (a partition, a file standing in for a drive) the
    // medium is not known to be fixed: the search passes it by, a drive named
    // on the command line is read all the same.
    int removable = 1;
    if (FILE* f = fopen((sysfs_root + "/block/" + name + "/removable").c_str(), "r")) {
        if (fscanf(f, "%d", &removable) != 1) removable = 1;
        fclose(f);
    }
    g->fixed_media = removable == 0;
    struct stat st;
    if (fstat(ph->fd, &st) != 0) return errno;
    uint64_t bytes = uint64_t(st.st_size);
#ifdef BLKGETSIZE64
    if (S_ISBLK(st.st_mode) && ioctl(ph->fd, BLKGETSIZE64, &bytes) != 0) return errno;
#endif
    g->sectors = int64_t(bytes / kSectorSize);
    return 0;
}

static int posix_seek(qv_handle h, int64_t position) {
    if (position < 0) return EINVAL;
    static_cast<posix_handle*>(h)->position = position;
    return 0;
}

static int posix_read(qv_handle h, void* dest, uint32_t count, uint32_t* got) {
    posix_handle* ph = static_cast<posix_handle*>(h);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = pread(ph->fd, static_cast<char*>(dest) + done, count - done,
                          off_t(ph->position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *got = done;
            return errno;
        }
        if (n == 0) break;
        done += uint32_t(n);
    }
    *got = done;
    return 0;
}

static void posix_close(qv_handle h) {
    posix_handle* ph = static_cast<posix_handle*>(h);
    close(ph->fd);
    delete ph;
}

static bool posix_is_same_file(qv_handle h, const char* path) {
    struct stat a, b;
    if (!h || stat(path, &a) != 0 || fstat(static_cast<posix_handle*>(h)->fd, &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The pattern's first "%c" becomes the drive letter; nothing else in it is a
// format, so any pattern is safe.
static void posix_drive_path(int n, char* buf, size_t size) {
    std::string path = device_pattern;
    size_t at = path.find("%c");
    if (at != std::string::npos) path.replace(at, 2, 1, char('a' + n));
    snprintf(buf, size, "%s", path.c_str());
}

static const qv_platform posix_platform = {
    posix_open,   posix_file_size, posix_drive_geometry, posix_seek,
    posix_read,   posix_close,     posix_is_same_file,   posix_drive_path,
    "qvdisk.img", "../qvdisk.img", posix_read_access,    posix_read_cached,
    EINVAL,
};

const qv_platform* qv_native_platform() { return &posix_platform; }

void qv_system_message(int code, char* buf, size_t size) {
    snprintf(buf, size, "%s", strerror(code));
}

int qv_check_directory(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int qv_set_file_time(const char* path, int64_t unix_time) {
    int saved = errno;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;  // access time: now
    times[1].tv_sec = time_t(unix_time);
    times[1].tv_nsec = 0;
    int code = utimensat(AT_FDCWD, path, times, 0) == 0 ? 0 : errno;
    errno = saved;
    return code;
}

int qv_device_name(const char*) { return 0; }

bool qv_is_file(const char* path) {
    int saved = errno;
    struct stat st;
    const bool is_file = stat(path, &st) == 0 && S_ISREG(st.st_mode);
    errno = saved;
    return is_file;
}

int qv_output_room(const char* path, int64_t* free_bytes, int64_t* largest_file) {
    struct statvfs room;
    if (statvfs(path, &room) != 0) return errno;
    *free_bytes = int64_t(room.f_bavail) * int64_t(room.f_frsize);
    *largest_file = 0;
#ifdef __linux__
    constexpr int64_t kFatLargestFile = 0xFFFFFFFF;
    struct statfs kind;
    if (statfs(path, &kind) == 0 && kind.f_type == MSDOS_SUPER_MAGIC)
        *largest_file = kFatLargestFile;
#endif
    return 0;
}

int64_t qv_file_allocated(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? int64_t(st.st_blocks) * 512 : 0;
}

int qv_truncate(FILE* file, int64_t length) {
    return ftruncate(fileno(file), off_t(length)) == 0 ? 0 : errno;
}

int qv_write_too_large() { return errno == EFBIG; }

struct qv_thread_state {
    pthread_t id;
    void (*run)(void*);
    void* arg;
};

static void* thread_main(void* state) {
    qv_thread_state* t = static_cast<qv_thread_state*>(state);
    t->run(t->arg);
    return nullptr;
}

qv_thread qv_thread_start(void (*run)(void*), void* arg) {
    qv_thread_state* t = new (std::nothrow) qv_thread_state{pthread_t(), run, arg};
    if (!t) return nullptr;
    if (pthread_create(&t->id, nullptr, thread_main, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

void qv_thread_join(qv_thread thread) {
    pthread_join(thread->id, nullptr);
    delete thread;
}

struct qv_monitor_state {
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

qv_monitor qv_monitor_new() {
    qv_monitor_state* m = new (std::nothrow) qv_monitor_state;
    if (!m) return nullptr;
    if (pthread_mutex_init(&m->lock, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    if (pthread_cond_init(&m->changed, nullptr) != 0) {
        pthread_mutex_destroy(&m->lock);
        delete m;
        return nullptr;
    }
    return m;
}

void qv_monitor_free(qv_monitor m) {
    pthread_cond_destroy(&m->changed);
    pthread_mutex_destroy(&m->lock);
    delete m;
}

void qv_monitor_lock(qv_monitor m) { pthread_mutex_lock(&m->lock); }
void qv_monitor_unlock(qv_monitor m) { pthread_mutex_unlock(&m->lock); }
void qv_monitor_wait(qv_monitor m) { pthread_cond_wait(&m->changed, &m->lock); }
void qv_monitor_signal(qv_monitor m) { pthread_cond_broadcast(&m->changed); }

bool qv_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }
