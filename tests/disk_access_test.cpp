// Finding the recorder's disk and reading it.
//
// On the in-memory disk (every platform):
//   | disk                                          | expected                                              |
//   | healthy image of 8 clusters                   | opened, geometry from the first sector, no warning    |
//   | wrong signature character / byte 20 not zero  | "Bad signature in saved image!\n", no drive tried     |
//   | no image at all                               | both image names, then 8 drives, "No Velmoran disk found!\n" |
//   | image of 300 bytes                            | short-read message showing cluster 0                  |
//   | first-sector read fails with code 5           | "ReadFile failed on position 0 with code 5\n"         |
//   | size cannot be learned                        | "Cannot determine size of saved image.\n"             |
//   | sectors_per_cluster 0 / 3585                  | refused with the unsupported-cluster-size message    |
//   | sectors_per_cluster 3584                      | accepted                                              |
//   | cluster 0 one entry short of holding FAT2     | refused with the FAT2 message; one cluster less passes|
//   | image sizes 1e9, 1e9+100, 78165360 / 400e6 sectors, beyond 2^32 sectors, below one cluster | disk_sectors, cluster_count |
//   | qv_read at the last sector / one further      | passes / "Attempt to read after end of disk!\n"       |
//   | read from the last sector past the end        | short read naming the disk cluster                    |
//   | swap set / clear                              | recorder order / PC order; qv_read_cluster(n) at (n+1) clusters |
//   | injected read error, short read at 5 MiB      | exact messages, cluster 5                             |
//   | salvaging reads of failing sectors            | see the table at the test                             |
// On real files (POSIX):
//   | files                                         | expected                                              |
//   | ./qvdisk.img and ../qvdisk.img                | the current directory wins; the parent when it is gone|
//   | ./qvdisk.img held by another opener (same process, forked child) | counts as absent: the parent is used |
//   | fake drives: missing, removable, unreadable, unsigned, signed, signed | the first signed fixed one, later ones untouched |
//   | first signed drive with a bad geometry        | the opening fails, the next signed drive is not tried |
//   | no signed drive                               | "No Velmoran disk found!\n"                           |
//   | backend: is_same_file, negative seek, read past the end | same file/link 1, other/missing 0; EINVAL; short |
// On Windows (run under wine):
//   | image file                                    | expected                                              |
//   | opened twice through the backend              | the second open fails (share mode 0, error 32)        |
//   | opened by open_qvdisk                         | works; fopen "wb" on it fails, the image unchanged    |
//   | sparse file of 0x1FFFFFFFF bytes              | size exact (low part 0xFFFFFFFF), read beyond 4 GiB   |
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/bytes.h"
#include "support/capture.h"
#include "tools/image_builder.h"
#include "support/memory_disk.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMiB = 1048576;

// A wrapper around the installed backend that records every path opened and
// can report another image size (or fail to report one).
qv_platform traced;
const qv_platform* traced_inner = nullptr;
std::vector<std::string> opened;
int64_t reported_size = -1;
int size_error = 0;

qv_handle traced_open(const char* path, int* error) {
    opened.push_back(path);
    return traced_inner->open_exclusive(path, error);
}

int traced_size(qv_handle h, int64_t* size) {
    if (size_error) return size_error;
    if (reported_size >= 0) {
        *size = reported_size;
        return 0;
    }
    return traced_inner->file_size(h, size);
}

void trace_platform() {
    traced_inner = qv_current_platform();
    traced = *traced_inner;
    traced.open_exclusive = traced_open;
    traced.file_size = traced_size;
    qv_set_platform(&traced);
}

std::vector<std::string> image_then_drive_paths() {
    std::vector<std::string> paths = {traced.image_name, traced.parent_image_name};
    for (int n = 0; n < 8; n++) {
        char path[64];
        traced.drive_path(n, path, sizeof path);
        paths.push_back(path);
    }
    return paths;
}

}  // namespace

class MemoryOpen : public ::testing::Test {
protected:
    void SetUp() override {
        clear_capture();
        opened.clear();
        reported_size = -1;
        size_error = 0;
    }
    void TearDown() override {
        qv_close();
        uninstall_memory_disk();
    }
    // Installs img (traced) and opens it.
    int open(const ImageBuilder& img, progress_callback callback = capture_progress) {
        disk_.image = img.image();
        install_memory_disk(&disk_);
        trace_platform();
        return open_qvdisk(callback);
    }
    MemoryDisk disk_;
};

TEST_F(MemoryOpen, HealthyImageOpensWithItsGeometry) {
    ImageBuilder img(8);
    ASSERT_EQ(open(img), 0) << qv_error;
    EXPECT_EQ(qv->progress, capture_progress);
    EXPECT_EQ(qv->disk_sectors, 9 * 2048);
    EXPECT_EQ(qv->cluster_size, kMiB);
    EXPECT_EQ(qv->cluster_count, 8u);
    EXPECT_EQ(memcmp(qv->boot_sector, img.boot().data(), kSectorSize), 0);   // recorder order
    EXPECT_EQ(opened, std::vector<std::string>{traced.image_name});
    EXPECT_TRUE(capture().messages.empty());
}

TEST_F(MemoryOpen, BadSignatureEndsTheOpeningWithoutTryingDrives) {
    for (const char* text : {"VELMORAN PVR HDX\0", "VELMORAN PVR HDD\x01", "velmoran pvr hdd\0"}) {
        SCOPED_TRACE(text);
        ImageBuilder img(2);
        img.set_signature(std::string(text, 17));
        opened.clear();
        EXPECT_EQ(open(img), 1);
        EXPECT_STREQ(qv_error, "Bad signature in saved image!\n");
        EXPECT_EQ(opened, std::vector<std::string>{traced.image_name});
        qv_close();
        uninstall_memory_disk();
    }
}

TEST_F(MemoryOpen, NoImageAndNoDriveIsNoDisk) {
    disk_.present = false;
    ImageBuilder img(2);
    EXPECT_EQ(open(img), 1);
    EXPECT_STREQ(qv_error, "No Velmoran disk found!\n");
    EXPECT_EQ(opened, image_then_drive_paths());
    EXPECT_EQ(qv->handle, nullptr);
}

TEST_F(MemoryOpen, ImageShorterThanOneSectorIsAShortRead) {
    disk_.image = ImageBuilder(2).image();
    disk_.image.resize(300);
    install_memory_disk(&disk_);
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_STREQ(qv_error, "ReadFile did not read 512 bytes but 300 bytes at position 0 (cluster 0)\n");
}

TEST_F(MemoryOpen, FirstSectorReadErrorAndUnknownSizeFail) {
    disk_.fail_read = 1;
    EXPECT_EQ(open(ImageBuilder(2)), 1);
    EXPECT_STREQ(qv_error, "ReadFile failed on position 0 with code 5\n");
    qv_close();

    disk_.fail_read = 0;
    size_error = 5;
    EXPECT_EQ(open(ImageBuilder(2)), 1);
    EXPECT_STREQ(qv_error, "Cannot determine size of saved image.\n");
}

TEST_F(MemoryOpen, UnsupportedSectorsPerClusterIsRefused) {
    for (uint16_t spc : {uint16_t(0), uint16_t(3585), uint16_t(0xFFFF)}) {
        ImageBuilder img(2);
        img.set_sectors_per_cluster_field(spc);
        EXPECT_EQ(open(img), 1);
        char expected[128];
        snprintf(expected, sizeof expected, "Unsupported cluster size of %u sectors in the first sector\n", unsigned(spc));
        EXPECT_STREQ(qv_error, expected);
        EXPECT_EQ(disk_.reads, 1u);   // nothing read beyond the first sector
        qv_close();
        uninstall_memory_disk();
    }
}

TEST_F(MemoryOpen, LargestClusterThatFitsTheBufferIsAccepted) {
    ImageBuilder img(2, 3584);
    ASSERT_EQ(open(img), 0) << qv_error;
    EXPECT_EQ(qv->cluster_size, kClusterBufferSize);
    EXPECT_EQ(qv->cluster_count, 2u);
}

// 1040 sectors per cluster: 532,480 bytes, room for 2730 entries behind FAT2.
TEST_F(MemoryOpen, ClusterZeroMustHoldBothFatCopies) {
    ImageBuilder img(1, 1040, false);
    disk_.fail_sectors(1, 1039);   // both tables unreadable: proves the check passed
    reported_size = int64_t(2730 + 1) * 1040 * 512;
    EXPECT_EQ(open(img), 1);
    EXPECT_EQ(qv->cluster_count, 2730u);
    EXPECT_STREQ(qv_error, "No valid FAT24 found!\n");
    qv_close();
    uninstall_memory_disk();

    reported_size = int64_t(2731 + 1) * 1040 * 512;
    EXPECT_EQ(open(img), 1);
    EXPECT_STREQ(qv_error, "Cluster size 532480 cannot hold both allocation tables of 2731 clusters in the first cluster\n");
    EXPECT_EQ(disk_.reads, 1u);
    disk_.bad.clear();
}

TEST_F(MemoryOpen, DiskSizeAndClusterCountArithmetic) {
    struct Case {
        int64_t bytes;
        int64_t sectors;
        uint32_t clusters;
    } cases[] = {
        {1000000000, 1953125, 952},                       // 1953125 / 2048 = 953, minus the system area
        {1000000100, 1953125, 952},                       // a partial sector is not counted
        {int64_t(78165360) * 512, 78165360, 38165},
        {int64_t(400000000) * 512, 400000000, 131072},    // cut to the table's capacity
        {(int64_t(1) << 32 | 2048 * 10) * 512, int64_t(1) << 32 | 2048 * 10, 131072},  // not the low 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        disk_.bad = {{1, 2047, BadKind::kWhole}};   // both tables unreadable: no table chosen
        reported_size = c.bytes;
        EXPECT_EQ(open(ImageBuilder(2)), 1);
        EXPECT_STREQ(qv_error, "No valid FAT24 found!\n");
        EXPECT_EQ(qv->disk_sectors, c.sectors);
        EXPECT_EQ(qv->cluster_size, kMiB);
        EXPECT_EQ(qv->cluster_count, c.clusters);
        qv_close();
        uninstall_memory_disk();
    }
}

// Smaller than one cluster: no data cluster at all (not a count that wrapped
// round to the table's capacity); the root directory lies beyond the end.
TEST_F(MemoryOpen, DiskSmallerThanOneClusterHasNoClusters) {
    disk_.image = ImageBuilder(2).image();
    disk_.image.resize(4096);
    install_memory_disk(&disk_);
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_EQ(qv->cluster_count, 0u);
    EXPECT_EQ(capture().messages, std::vector<std::string>{"Attempt to read after end of disk!\n"});
    EXPECT_STREQ(qv_error, "FAT has errors, please correct!\n");
}

TEST_F(MemoryOpen, ReadsEndAtTheLastSector) {
    ASSERT_EQ(open(ImageBuilder(2)), 0) << qv_error;
    const int64_t last = (qv->disk_sectors - 1) * 512;
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(qv_read(last, buf.data(), 512, 1), 0) << qv_error;
    EXPECT_EQ(qv_read(last + 511, buf.data(), 1, 0), 0) << qv_error;
    EXPECT_EQ(qv_read(last + 512, buf.data(), 512, 1), 1);
    EXPECT_STREQ(qv_error, "Attempt to read after end of disk!\n");
    EXPECT_EQ(qv_read(-512, buf.data(), 512, 1), 1);
    EXPECT_STREQ(qv_error, "Attempt to read after end of disk!\n");
    // Only the start is tested: a read from the last sector on comes up short.
    EXPECT_EQ(qv_read(last, buf.data(), 1024, 1), 1);
    EXPECT_STREQ(qv_error, "ReadFile did not read 1024 bytes but 512 bytes at position 3145216 (cluster 2)\n");
}

TEST_F(MemoryOpen, SwapRestoresRecorderOrder) {
    ImageBuilder img(4);
    uint8_t* data = img.cluster(2);
    for (uint32_t i = 0; i < img.cluster_size(); i++) data[i] = uint8_t(i * 7 + i / 251);
    ASSERT_EQ(open(img), 0) << qv_error;

    std::vector<uint8_t> buf(kMiB);
    ASSERT_EQ(qv_read_cluster(2, buf.data()), 0) << qv_error;
    EXPECT_EQ(memcmp(buf.data(), data, kMiB), 0);

    ASSERT_EQ(qv_read(3 * int64_t(kMiB), buf.data(), 512, 0), 0);   // as the PC sees it
    EXPECT_EQ(memcmp(buf.data(), disk_.image.data() + 3 * kMiB, 512), 0);
    for (int i = 0; i < 512; i += 2) {
        EXPECT_EQ(buf[i], data[i + 1]);
        EXPECT_EQ(buf[i + 1], data[i]);
    }
    // The first sector's raw 0x00 0x08 at 34 is 2048 sectors per cluster.
    EXPECT_EQ(disk_.image[34], 0x00);
    EXPECT_EQ(disk_.image[35], 0x08);
    EXPECT_EQ(get_be16(qv->boot_sector + kSectorsPerClusterOffset), 2048u);
}

TEST_F(MemoryOpen, ReadErrorsNameThePositionAndTheCluster) {
    ASSERT_EQ(open(ImageBuilder(8)), 0) << qv_error;
    std::vector<uint8_t> buf(kMiB);

    disk_.fail_read = disk_.reads + 1;
    EXPECT_EQ(qv_read_cluster(0, buf.data()), 1);
    EXPECT_STREQ(qv_error, "ReadFile failed on position 1048576 with code 5\n");

    disk_.fail_read = disk_.reads + 1;
    disk_.fail_code = 0;
    disk_.short_count = 100;
    EXPECT_EQ(qv_read(5 * int64_t(kMiB), buf.data(), kMiB, 1), 1);
    EXPECT_STREQ(qv_error, "ReadFile did not read 1048576 bytes but 100 bytes at position 5242880 (cluster 5)\n");

    EXPECT_EQ(qv_read(5 * int64_t(kMiB), buf.data(), kMiB, 1), 0) << qv_error;   // only that read failed
}

// Salvaging reads of disk cluster 3 (sectors 6144 to 8191, 1 MiB at 3145728;
// sectors below counted from its start), swap clear.
//   | failing sectors                          | runs                | reads | result, last message          |
//   | none                                     | none                | 1     | 0                             |
//   | 100, error 5                             | (100, 1)            | 41    | 1, "ReadFile failed on        |
//   |                                          |                     |       | position 3196928 with code 5" |
//   | 2000-2047, reads stop short              | (2000, 48)          | 81    | 1, short read at 4193792      |
//   | 0 and 1024-1535, whole request fails     | (0, 1), (1024, 512) | 617   | 1, code 23 at 3931648         |
//   | none, but the first read fails once      | none                | 17    | 0, its message                |
// Readable sectors hold the disk's bytes, unreadable ones zeros (also where
// the failing read scribbled over the buffer).
TEST_F(MemoryOpen, SalvagingReadKeepsEveryReadableSector) {
    struct Row {
        std::vector<BadSectors> bad;
        bool transient;
        std::vector<std::pair<uint32_t, uint32_t>> runs;
        uint64_t reads;
        int result;
        const char* message;
    } rows[] = {
        {{}, false, {}, 1, 0, ""},
        {{{6244, 1, BadKind::kEio}}, false, {{100, 1}}, 41, 1, "ReadFile failed on position 3196928 with code 5\n"},
        {{{8144, 48, BadKind::kShort}}, false, {{2000, 48}}, 81, 1,
         "ReadFile did not read 512 bytes but 0 bytes at position 4193792 (cluster 3)\n"},
        {{{6144, 1, BadKind::kWhole}, {7168, 512, BadKind::kWhole}}, false, {{0, 1}, {1024, 512}}, 617, 1,
         "ReadFile failed on position 3931648 with code 23\n"},
        {{}, true, {}, 17, 0, "ReadFile failed on position 3145728 with code 5\n"},
    };
    ImageBuilder img(8);
    for (uint32_t i = 0; i < kMiB; i++) img.cluster(2)[i] = uint8_t(i * 7 + i / 251);
    ASSERT_EQ(open(img), 0) << qv_error;
    static bad_sectors bad;
    std::vector<uint8_t> buf(kMiB);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reads);
        disk_.bad = row.bad;
        disk_.fail_read = row.transient ? disk_.reads + 1 : 0;
        uint64_t before = disk_.reads;
        qv_set_error("%s", "");
        EXPECT_EQ(qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad), row.result);
        EXPECT_EQ(disk_.reads - before, row.reads);
        EXPECT_STREQ(qv_error, row.message);
        std::vector<std::pair<uint32_t, uint32_t>> runs;
        for (uint32_t r = 0; r < bad.count; ++r) runs.emplace_back(bad.first[r], bad.length[r]);
        EXPECT_EQ(runs, row.runs);
        std::vector<uint8_t> want(disk_.image.begin() + 3 * kMiB, disk_.image.begin() + 4 * kMiB);
        for (const auto& run : row.runs) std::fill_n(want.begin() + run.first * 512, run.second * 512, 0);
        EXPECT_TRUE(buf == want);
    }
    // A range that starts beyond the end fails as a whole; one that runs past
    // it has its missing sectors unreadable.
    disk_.bad.clear();
    const int64_t end = qv->disk_sectors * 512;
    EXPECT_EQ(qv_read_salvage(end, buf.data(), 1024, 0, &bad), kSalvageFailed);
    EXPECT_STREQ(qv_error, "Attempt to read after end of disk!\n");
    EXPECT_EQ(qv_read_salvage(end - 512, buf.data(), 2048, 0, &bad), kSalvagePartial);
    ASSERT_EQ(bad.count, 1u);
    EXPECT_EQ(bad.first[0], 1u);
    EXPECT_EQ(bad.length[0], 3u);
}

#ifndef _WIN32

// Real files in a fresh directory tree: root/work is the current directory,
// root/drives holds fake drives and root/sys a fake sysfs.
class FileOpen : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("pvr_diskio_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "work");
        fs::create_directories(root_ / "drives");
        old_ = fs::current_path();
        fs::current_path(root_ / "work");
        qv_posix_set_drive_paths((root_ / "drives" / "sd%c").c_str(), (root_ / "sys").c_str());
        clear_capture();
    }
    void TearDown() override {
        qv_close();
        qv_posix_set_drive_paths(nullptr, nullptr);
        fs::current_path(old_);
        fs::remove_all(root_);
    }
    // A fake drive /drives/sdX: its contents (none: no device node) and its
    // sysfs removable flag (null: no sysfs entry).
    void add_drive(char letter, const std::vector<uint8_t>* image, const char* removable) {
        std::string name = std::string("sd") + letter;
        if (image) write_file((root_ / "drives" / name).string(), *image);
        if (removable) {
            fs::create_directories(root_ / "sys" / "block" / name);
            std::ofstream(root_ / "sys" / "block" / name / "removable") << removable;
        }
    }
    fs::path root_, old_;
};

TEST_F(FileOpen, CurrentDirectoryImageWinsOverTheParent) {
    ImageBuilder(3).write("qvdisk.img");
    ImageBuilder(5).write("../qvdisk.img");
    std::vector<uint8_t> drive = ImageBuilder(6).image();
    add_drive('a', &drive, "0\n");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 3u);
    qv_close();

    fs::remove("qvdisk.img");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 5u);
}

TEST_F(FileOpen, ImageHeldByAnotherOpenerCountsAsAbsent) {
    ImageBuilder(3).write("qvdisk.img");
    ImageBuilder(5).write("../qvdisk.img");
    const qv_platform* native = qv_native_platform();
    int error = 0;
    qv_handle holder = native->open_exclusive("qvdisk.img", &error);
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(native->open_exclusive("qvdisk.img", &error), nullptr);
    EXPECT_EQ(error, EBUSY);   // held by another opener
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 5u);
    qv_close();
    native->close(holder);

    // A second pvrcopy: a child process holds the image.
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(done[1]);   // else the child's own copy keeps the pipe open
        int e = 0;
        qv_handle h = native->open_exclusive("qvdisk.img", &e);
        char c = h ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        if (read(done[0], &c, 1) < 0) _exit(2);   // until the parent closes its end
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 5u);
    close(done[1]);
    close(ready[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    qv_close();

    // Released, the current directory's image is used again.
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 3u);
}

TEST_F(FileOpen, HeldImageWithoutParentFallsBackToTheDrives) {
    ImageBuilder(3).write("qvdisk.img");
    std::vector<uint8_t> drive = ImageBuilder(4).image();
    add_drive('b', &drive, "0\n");
    int error = 0;
    qv_handle holder = qv_native_platform()->open_exclusive("qvdisk.img", &error);
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 4u);
    EXPECT_EQ(qv->disk_sectors, 5 * 2048);
    qv_close();
    qv_native_platform()->close(holder);
}

TEST_F(FileOpen, DriveSearchTakesTheFirstSignedFixedDrive) {
    std::vector<uint8_t> signed3 = ImageBuilder(3).image();
    std::vector<uint8_t> signed5 = ImageBuilder(5).image();
    ImageBuilder unsigned_img(2);
    unsigned_img.set_signature(std::string("VELMORAN PVR HDD\x01", 17));
    std::vector<uint8_t> unsigned2 = unsigned_img.image();
    // sda: no device; sdb: signed but removable; sdc: signed, no sysfs entry;
    // sdd: unreadable (a directory); sde: not signed; sdf: the disk; sdg: never tried.
    add_drive('a', nullptr, "0\n");
    add_drive('b', &signed5, "1\n");
    add_drive('c', &signed5, nullptr);
    fs::create_directories(root_ / "drives" / "sdd");
    add_drive('d', nullptr, "0\n");
    add_drive('e', &unsigned2, "0\n");
    add_drive('f', &signed3, "0\n");
    add_drive('g', &signed5, "0\n");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 3u);
    EXPECT_EQ(qv->disk_sectors, 4 * 2048);
    EXPECT_TRUE(qv_current_platform()->is_same_file(qv->handle, (root_ / "drives" / "sdf").c_str()));
    EXPECT_TRUE(capture().messages.empty());
}

TEST_F(FileOpen, FirstSignedDriveEndsTheSearchEvenWhenItFails) {
    ImageBuilder bad(3);
    bad.set_sectors_per_cluster_field(0);
    std::vector<uint8_t> bad_img = bad.image();
    std::vector<uint8_t> good = ImageBuilder(3).image();
    add_drive('a', &bad_img, "0\n");
    add_drive('b', &good, "0\n");
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_STREQ(qv_error, "Unsupported cluster size of 0 sectors in the first sector\n");
}

TEST_F(FileOpen, NoSignedDriveIsNoDisk) {
    std::vector<uint8_t> signed3 = ImageBuilder(3).image();
    ImageBuilder unsigned_img(2);
    unsigned_img.set_signature(std::string("VELMORAN PVR HDX\0", 17));
    std::vector<uint8_t> unsigned2 = unsigned_img.image();
    add_drive('a', &signed3, "1\n");
    add_drive('c', &unsigned2, "0\n");
    std::vector<uint8_t> tiny(100, 0);
    add_drive('h', &tiny, "0\n");   // its read fails; the message is replaced
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_STREQ(qv_error, "No Velmoran disk found!\n");
    EXPECT_EQ(qv->handle, nullptr);
}

TEST_F(FileOpen, NativeBackendBasics) {
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i);
    write_file("qvdisk.img", bytes);
    write_file("other", bytes);
    fs::create_symlink(fs::absolute("qvdisk.img"), "link");
    const qv_platform* p = qv_native_platform();
    EXPECT_STREQ(p->image_name, "qvdisk.img");
    EXPECT_STREQ(p->parent_image_name, "../qvdisk.img");
    int error = 0;
    EXPECT_EQ(p->open_exclusive("missing", &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    qv_handle h = p->open_exclusive("qvdisk.img", &error);
    ASSERT_NE(h, nullptr);
    int64_t size = 0;
    EXPECT_EQ(p->file_size(h, &size), 0);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(p->is_same_file(h, "qvdisk.img"), 1);
    EXPECT_EQ(p->is_same_file(h, "link"), 1);
    EXPECT_EQ(p->is_same_file(h, "other"), 0);
    EXPECT_EQ(p->is_same_file(h, "missing"), 0);
    EXPECT_EQ(p->seek(h, -1), EINVAL);

    uint8_t buf[600];
    uint32_t got = 0;
    ASSERT_EQ(p->seek(h, 600), 0);
    EXPECT_EQ(p->read(h, buf, 600, &got), 0);
    EXPECT_EQ(got, 400u);
    EXPECT_EQ(memcmp(buf, bytes.data() + 600, 400), 0);
    ASSERT_EQ(p->seek(h, 5000), 0);
    EXPECT_EQ(p->read(h, buf, 600, &got), 0);
    EXPECT_EQ(got, 0u);
    p->close(h);

    char path[64];
    qv_posix_set_drive_paths(nullptr, nullptr);
    p->drive_path(0, path, sizeof path);
    EXPECT_STREQ(path, "/dev/sda");
    p->drive_path(7, path, sizeof path);
    EXPECT_STREQ(path, "/dev/sdh");
}

#else  // _WIN32

class WinOpen : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("pvr_diskio_" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "work");
        old_ = fs::current_path();
        fs::current_path(root_ / "work");
        clear_capture();
    }
    void TearDown() override {
        qv_close();
        fs::current_path(old_);
        fs::remove_all(root_);
    }
    fs::path root_, old_;
};

TEST_F(WinOpen, ShareModeZeroRefusesASecondOpener) {
    ImageBuilder(2).write("qvdisk.img");
    const qv_platform* p = qv_native_platform();
    EXPECT_STREQ(p->parent_image_name, "..\\qvdisk.img");
    char path[64];
    p->drive_path(3, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\PHYSICALDRIVE3");
    int error = 0;
    qv_handle first = p->open_exclusive("qvdisk.img", &error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(p->open_exclusive("qvdisk.img", &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    qv_drive_geometry g;
    EXPECT_NE(p->drive_geometry(first, &g), 0);   // a file is no drive
    p->close(first);
    qv_handle again = p->open_exclusive("qvdisk.img", &error);
    EXPECT_NE(again, nullptr);
    if (again) p->close(again);
}

TEST_F(WinOpen, ImageFileOpensAndCannotBeOverwritten) {
    ImageBuilder img(3);
    img.write("qvdisk.img");
    ImageBuilder(5).write("..\\qvdisk.img");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 3u);
    EXPECT_EQ(fopen("qvdisk.img", "wb"), nullptr);
    std::vector<uint8_t> buf(kMiB);
    ASSERT_EQ(qv_read_cluster(0, buf.data()), 0) << qv_error;
    qv_close();
    EXPECT_EQ(read_file("qvdisk.img"), img.image());

    fs::remove("qvdisk.img");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_count, 5u);
}

// A file of 0x1FFFFFFFF bytes: its size has the low part 0xFFFFFFFF, which
// is a valid answer, and a read at 4 GiB + 512 needs the high part.
TEST_F(WinOpen, PositionsBeyondFourGigabytes) {
    const int64_t size = 0x1FFFFFFFFll;
    const int64_t marker_at = 0x100000200ll;
    const char marker[] = "beyond four GiB";
    HANDLE w = CreateFileA("big.img", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    DeviceIoControl(w, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &ignored, NULL);   // best effort
    LARGE_INTEGER at;
    at.QuadPart = marker_at;
    ASSERT_TRUE(SetFilePointerEx(w, at, NULL, FILE_BEGIN));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(w, marker, sizeof marker, &written, NULL));
    at.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(w, at, NULL, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(w));
    CloseHandle(w);

    const qv_platform* p = qv_native_platform();
    int error = 0;
    qv_handle h = p->open_exclusive("big.img", &error);
    ASSERT_NE(h, nullptr);
    int64_t got_size = 0;
    EXPECT_EQ(p->file_size(h, &got_size), 0);
    EXPECT_EQ(got_size, size);
    char buf[sizeof marker] = {};
    uint32_t got = 0;
    ASSERT_EQ(p->seek(h, marker_at), 0);
    ASSERT_EQ(p->read(h, buf, sizeof buf, &got), 0);
    EXPECT_EQ(got, sizeof buf);
    EXPECT_STREQ(buf, marker);
    ASSERT_EQ(p->seek(h, size), 0);
    ASSERT_EQ(p->read(h, buf, sizeof buf, &got), 0);
    EXPECT_EQ(got, 0u);
    p->close(h);
}

#endif
