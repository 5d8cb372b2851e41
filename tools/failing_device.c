/* A failing drive behind a real block device, for the tests and tools/bench.
 *
 * Serves a disk image as the one file "disk" of a FUSE mount; `losetup -r`
 * puts a loop device on it, so that pvrcopy, ddrescue and dd meet the
 * kernel's block layer (its page cache, read-ahead and retries) as they do
 * on a drive. Every read the kernel asks for is one command of the drive: it
 * is counted and logged, and one that touches a bad sector fails whole with
 * EIO (as a drive fails the command), after the given delay. Healthy reads
 * may be slowed to a transfer rate. The kernel's own cache of the file is
 * switched off (direct I/O), so every read of the loop device that misses
 * its cache reaches the log.
 *
 *   failing_device [options] IMAGE MOUNTPOINT
 *     --bad FIRST-LAST,...  bad 512-byte sectors, inclusive ranges (or single sectors)
 *     --delay-ms N          each failed read takes N ms (0)
 *     --rate MB             healthy reads at most MB megabytes (10^6 bytes) per second (no limit)
 *     --log FILE            one line per read: "OFFSET SIZE ok" or "OFFSET SIZE EIO"
 *
 * Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT) or
 * stopped by SIGTERM/SIGINT. Linux only; needs /dev/fuse.
 */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { kMaxRanges = 256, kSector = 512 };
static const char kFileName[] = "disk";
static const char kFilePath[] = "/disk";

struct sector_range {
    int64_t first, last;
};

static struct {
    int fd;
    int64_t size;
    struct sector_range bad[kMaxRanges];
    int ranges;
    long delay_ms;
    double rate; /* bytes per second; 0: no limit */
    FILE* log;
} drive;

static void pause_for(double seconds) {
    if (seconds <= 0) return;
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {}
}

/* Whether [pos, pos + count) touches a bad sector. */
static int touches_bad(int64_t pos, size_t count) {
    if (count == 0) return 0;
    const int64_t lo = pos / kSector, hi = (pos + (int64_t)count - 1) / kSector;
    for (int i = 0; i < drive.ranges; ++i)
        if (drive.bad[i].first <= hi && drive.bad[i].last >= lo) return 1;
    return 0;
}

static void log_read(int64_t pos, size_t count, const char* result) {
    if (!drive.log) return;
    fprintf(drive.log, "%lld %zu %s\n", (long long)pos, count, result);
    fflush(drive.log);
}

static int disk_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, kFilePath) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = drive.size;
    return 0;
}

static int disk_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                        struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset;
    (void)fi;
    (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, kFileName, NULL, 0, 0);
    return 0;
}

static int disk_open(const char* path, struct fuse_file_info* fi) {
    if (strcmp(path, kFilePath) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

static int disk_read(const char* path, char* buf, size_t count, off_t pos,
                     struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    if (pos >= drive.size) {
        log_read(pos, count, "ok");
        return 0;
    }
    if ((int64_t)count > drive.size - pos) count = (size_t)(drive.size - pos);
    if (touches_bad(pos, count)) {
        log_read(pos, count, "EIO");
        pause_for(drive.delay_ms / 1000.0);
        return -EIO;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pread(drive.fd, buf + done, count - done, pos + (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    log_read(pos, count, "ok");
    if (drive.rate > 0) pause_for((double)done / drive.rate);
    return (int)done;
}

/* Requests of up to 1 MiB (the kernel's default is 128 KiB), no cache. */
static void* disk_init(struct fuse_conn_info* conn, struct fuse_config* config) {
    conn->max_read = 1 << 20;
    conn->max_write = 1 << 20;
    conn->max_readahead = 0;
    config->direct_io = 1;
    config->kernel_cache = 0;
    return NULL;
}

static const struct fuse_operations disk_operations = {
    .init = disk_init,
    .getattr = disk_getattr,
    .readdir = disk_readdir,
    .open = disk_open,
    .read = disk_read,
};

/* "FIRST-LAST,FIRST,..." into drive.bad. 0, or -1 when it is no list. */
static int parse_ranges(const char* text) {
    for (const char* p = text; *p;) {
        char* end = NULL;
        if (drive.ranges == kMaxRanges) return -1;
        struct sector_range r;
        r.first = r.last = strtoll(p, &end, 10);
        if (end == p) return -1;
        if (*end == '-') {
            const char* last = end + 1;
            r.last = strtoll(last, &end, 10);
            if (end == last || r.last < r.first) return -1;
        }
        drive.bad[drive.ranges++] = r;
        if (*end == 0) break;
        if (*end != ',') return -1;
        p = end + 1;
    }
    return 0;
}

static int usage(const char* self) {
    fprintf(stderr,
            "Usage: %s [--bad FIRST-LAST,...] [--delay-ms N] [--rate MB] [--log FILE] "
            "IMAGE MOUNTPOINT\n",
            self);
    return 1;
}

int main(int argc, char** argv) {
    const char *image = NULL, *mountpoint = NULL, *log_path = NULL;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const int has_value = i + 1 < argc;
        if (strcmp(a, "--bad") == 0 && has_value) {
            if (parse_ranges(argv[++i]) != 0) return usage(argv[0]);
        } else if (strcmp(a, "--delay-ms") == 0 && has_value) {
            drive.delay_ms = atol(argv[++i]);
        } else if (strcmp(a, "--rate") == 0 && has_value) {
            drive.rate = atof(argv[++i]) * 1e6;
        } else if (strcmp(a, "--log") == 0 && has_value) {
            log_path = argv[++i];
        } else if (!image) {
            image = a;
        } else if (!mountpoint) {
            mountpoint = a;
        } else {
            return usage(argv[0]);
        }
    }
    if (!image || !mountpoint) return usage(argv[0]);
    drive.fd = open(image, O_RDONLY);
    struct stat st;
    if (drive.fd < 0 || fstat(drive.fd, &st) != 0) {
        perror(image);
        return 1;
    }
    drive.size = st.st_size;
    if (log_path && !(drive.log = fopen(log_path, "a"))) {
        perror(log_path);
        return 1;
    }
    /* Foreground, one thread (the log in the order of the reads), read-only;
     * requests up to 1 MiB, as a drive takes them. */
    char* fuse_argv[] = {
        argv[0], (char*)mountpoint, "-f", "-s", "-o", "ro,max_read=1048576,default_permissions",
        NULL};
    return fuse_main(6, fuse_argv, &disk_operations, NULL);
}
