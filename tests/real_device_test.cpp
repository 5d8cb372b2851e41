// Reads of a real block device: a loop device on a FUSE file that serves a built disk, fails every
// read touching its bad sectors and logs each read the kernel asks for, as a drive counts commands
// (tools/failing_device.c); pvrcopy beside GNU ddrescue's direct reads of the same device. These
// need root, /dev/fuse and loop devices; where the machine has none, they are skipped with the one
// line that names what is missing.
#ifndef _WIN32
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sstream>
#include <thread>
#include "support/fixture.h"
namespace fs = std::filesystem;

namespace {

// The sample disk's bad sectors (of 512 bytes): one in each of three recording clusters and a
// scratch of 256 KiB, 263,680 bytes in all.
constexpr char kBadSectors[] = "6151,12388,16512-17023,20489";
constexpr int64_t kBadBytes = 263680;
constexpr int64_t kDiskBytes = 17825792;

#ifndef FAILING_DEVICE_EXE
#define FAILING_DEVICE_EXE "failing_device (built where libfuse3-dev is)"
#endif

// The machine's part: skipped with the line that names it. The tools' part: a failure in CI.
#define REQUIRE_DEVICES()                                                          \
    do {                                                                           \
        for (const char* needed : {"/dev/fuse", "/dev/loop-control"})              \
            if (geteuid() != 0 || access(needed, R_OK | W_OK) != 0)                \
                GTEST_SKIP() << "no real block device: needs root and " << needed; \
        REQUIRE_TOOL(FAILING_DEVICE_EXE);                                          \
        REQUIRE_TOOL("ddrescue");                                                  \
    } while (0)

// The device: the tool serving image at dir/mnt/disk, a read-only loop device on it.
class FailingDevice {
public:
    FailingDevice(const fs::path& dir, const fs::path& image, const std::string& bad,
                  uint32_t sector = 512, const std::string& rate = "0")
        : mount_(dir / "mnt"), log_(dir / "reads.log") {
        fs::create_directories(mount_);
        fs::remove(log_);
        pid_ = fork();
        if (pid_ == 0) {
            execl(FAILING_DEVICE_EXE, "failing_device", "--bad", bad.c_str(), "--rate",
                  rate.c_str(), "--log", log_.c_str(), image.c_str(), mount_.c_str(), nullptr);
            _exit(127);
        }
        for (int tries = 0; tries < 100 && !fs::exists(mount_ / "disk"); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string loop = run_tool("losetup -r -f --show -b " + std::to_string(sector) +
                                          " " + (mount_ / "disk").string());
        path = loop.substr(0, loop.find('\n'));
    }
    ~FailingDevice() {
        if (!path.empty()) run_tool("losetup -d " + path);
        umount2(mount_.c_str(), MNT_DETACH);
        waitpid(pid_, nullptr, 0);
    }
    // Of the reads the device was asked for, from the first on: those that failed, the bytes.
    int64_t failed_reads() const {
        return std::stoll(run_tool("grep -c ' EIO$' " + log_.string()));
    }
    int64_t bytes_read(size_t first) const {
        return std::stoll(run_tool("awk 'NR > " + std::to_string(first) +
                                   " { n += $2 } END { print n + 0 }' " + log_.string()));
    }
    size_t reads() const { return std::stoul(run_tool("wc -l < " + log_.string())); }
    std::string path;  // the loop device; empty when it could not be set up

private:
    fs::path mount_, log_;
    pid_t pid_ = -1;
};

// The blocks of a ddrescue map that are (not) finished, "POS SIZE STATUS" each (the first line
// behind the comments is the current position's), and their bytes.
std::string blocks(const fs::path& map, bool finished = false) {
    return run_tool("awk '/^0x/ && n++ && ($3 == \"+\") == " + std::to_string(finished) + "' " +
                    map.string());
}
int64_t bytes_of(const std::string& blocks) {
    int64_t bytes = 0;
    std::istringstream in(blocks);
    for (std::string pos, size, status; in >> pos >> size >> status;)
        bytes += std::stoll(size, nullptr, 16);
    return bytes;
}
// A run of pvrcopy in dir: the lines of its output that hold part, as a terminal shows them.
std::string run_in(const fs::path& dir, const std::string& args, const std::string& part) {
    return run_tool("cd " + dir.string() + " && " PVRCOPY_EXE " " + args +
                    " 2>&1 </dev/null | tr '\\r' '\\n' | grep '" + part + "'");
}

class RealDevice : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        sample_disk().write("sample.img");
    }
};

// Mode "disk" loses exactly the bad sectors (of 512 or of 4096 bytes: the device's own), writes
// the image and the unreadable blocks ddrescue -d writes, counts the device's failed reads as the
// device does, and needs no more of them than ddrescue -d.
TEST_F(RealDevice, ModeDiskLosesOnlyTheBadSectors) {
    REQUIRE_DEVICES();
    const std::pair<uint32_t, int64_t> kSectorsAndLosses[] = {{512, kBadBytes}, {4096, 274432}};
    for (const auto& [sector, lost] : kSectorsAndLosses) {
        SCOPED_TRACE(sector);
        fs::create_directories("pvrcopy");
        fs::create_directories("ddrescue");
        FailingDevice device(dir_, "sample.img", kBadSectors, sector);
        ASSERT_FALSE(device.path.empty());
        const std::string summary = run_in("pvrcopy", "-d " + device.path + " disk", "Rescue: ");
        const int64_t pvrcopy_failed = device.failed_reads();
        run_tool("cd ddrescue && ddrescue -q -d -b " + std::to_string(sector) + " " + device.path +
                 " qvdisk.img qvdisk.img.map");
        const int64_t ddrescue_failed = device.failed_reads() - pvrcopy_failed;
        const std::string expected = format(
            "INFO: Rescue: %lld bytes rescued, %lld bytes bad in 4 areas, %lld failed reads, ",
            (long long)(kDiskBytes - lost), (long long)lost, (long long)pvrcopy_failed);
        EXPECT_EQ(summary.substr(0, expected.size()), expected);
        EXPECT_LE(pvrcopy_failed, ddrescue_failed);
        EXPECT_EQ(bytes_of(blocks("pvrcopy/qvdisk.img.map")), lost);
        EXPECT_EQ(blocks("pvrcopy/qvdisk.img.map"), blocks("ddrescue/qvdisk.img.map"));
        EXPECT_EQ(read_file("pvrcopy/qvdisk.img"), read_file("ddrescue/qvdisk.img"));
        fs::remove_all("pvrcopy");
        fs::remove_all("ddrescue");
    }
}

// raw and TS from the device lose exactly the bad sectors of each recording.
TEST_F(RealDevice, CopiesLoseOnlyTheBadSectorsOfTheirRecording) {
    REQUIRE_DEVICES();
    FailingDevice device(dir_, "sample.img", kBadSectors);
    ASSERT_FALSE(device.path.empty());
    // Film's sector, then News's: the scratch and two sectors.
    const std::string film =
        "INFO: Film: Teil 1/2: 0.00 s lost at 0:00:02 (512 bytes unreadable at position 3149312)\n";
    const std::string news =
        "INFO: News, 20:00: 0.60 s lost at 0:00:00 (262144 bytes unreadable at position 8454144)\n"
        "INFO: News, 20:00: 0.00 s lost at 0:00:02 (512 bytes unreadable at position 6342656)\n"
        "INFO: News, 20:00: 0.00 s lost at 0:00:04 (512 bytes unreadable at position 10490368)\n";
    const std::string of_film = ": 0.00 s in 1 place of 0:00:08\n";
    const std::string of_news =
        ": 0.60 s in 3 places of 0:00:08; 261120 of those bytes were never tried sector by sector "
        "(pvrcopy disk tries them)\n";
    const std::string kModes[][2] = {
        {"raw", "bytes could not be read and were written as zeros"},
        {"TS", "bytes could not be read; %d packets were lost"},
    };
    for (const auto& [mode, loss] : kModes) {
        const std::string film_error = "ERROR: 512 " + format(loss.c_str(), 4) + of_film;
        const std::string news_error = "ERROR: 263168 " + format(loss.c_str(), 1403) + of_news;
        const std::string args = "-d " + device.path + " -r all " + mode;
        EXPECT_EQ(run_in(".", args, " lost at \\|ERROR: "), film + film_error + news + news_error);
    }
}

// Mode "disk" into an output file system that another program fills while it runs leaves a map of
// what was written, from which a run with room goes on without reading any of it again.
TEST_F(RealDevice, TheOutputFileSystemFull) {
    REQUIRE_DEVICES();
    struct Mounts {
        ~Mounts() { umount2("small", MNT_DETACH); }
    } mounts;
    fs::create_directories("small");
    run_tool("mount -t tmpfs -o size=24m tmpfs small");
    {
        FailingDevice device(dir_, "sample.img", "", 512, "5");
        ASSERT_FALSE(device.path.empty());
        std::thread filler([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            run_tool("cat /dev/zero > small/filler 2>/dev/null");
        });
        const std::string args = "-d " + device.path + " -o small disk";
        EXPECT_EQ(run_in(".", args, "ERROR: "), "ERROR: Write failed (disk full?)\n");
        filler.join();
        const int64_t finished = bytes_of(blocks("small/qvdisk.img.map", true));
        EXPECT_GT(finished, 0);
        fs::remove("small/filler");
        const size_t probe = device.reads() + 1;  // the first sector, read to know the disk
        EXPECT_EQ(run_in(".", args, "ERROR: "), "");
        EXPECT_EQ(read_file("small/qvdisk.img"), read_file("sample.img"));
        EXPECT_EQ(device.bytes_read(probe), kDiskBytes - finished);
    }
}

}  // namespace
#endif
