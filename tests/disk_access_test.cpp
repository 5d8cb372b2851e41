// Finding the recorder's disk and reading it: the opening and the geometry it takes, qv_read and
// the salvaging reads of a failing drive, the mapfiles of GNU ddrescue, the search of real files
// and drives.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include "support/fixture.h"
#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif
namespace fs = std::filesystem;
// While failing_reallocs is set realloc fails: the rescue's map cannot grow. Not beside a
// sanitizer's allocator.
#if defined(__GLIBC__) && !defined(PVR_SANITIZED)
#define FAILING_REALLOC
bool failing_reallocs = false;
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void* realloc(void* block, size_t size) {
    return failing_reallocs ? nullptr : __libc_realloc(block, size);
}
#endif
namespace {
using enum BadKind;
constexpr uint32_t kMiB = 1048576;
constexpr char kNoFat[] = "No valid FAT24 found!\n";
constexpr char kBadSignature[] = "Bad signature in saved image!\n";
constexpr int64_t kLastSector = 9 * int64_t(kMiB) - 512;  // of a disk of 8 clusters of 1 MiB

// The installed backend, wrapped: it counts the paths opened and can fail to tell the size or to
// seek.
const qv_platform* inner = nullptr;
size_t paths_opened = 0;
int size_error = 0;
int seek_error = 0;
qv_handle open_counted(const char* path, int* error) {
    ++paths_opened;
    return inner->open_exclusive(path, error);
}
int size_or_error(qv_handle handle, int64_t* size) {
    return size_error != 0 ? size_error : inner->file_size(handle, size);
}
int seek_or_error(qv_handle handle, int64_t position) {
    return seek_error != 0 ? seek_error : inner->seek(handle, position);
}

// Rows vary the first sector, the disk's size, how its backend fails and the map beside it;
// checked: the result, the message, what was shown, the names tried (two images, then eight
// drives) and the geometry taken.
struct OpenRow {
    const char* name = "";
    std::string signature = {};  // the 17 bytes at offset 4 ("": the recorder's)
    uint16_t spc = 2048;         // sectors per cluster as built
    int spc_field = -1;          // what the first sector claims (-1: as built)
    int64_t size = -1;           // the disk's bytes (-1: as built, 9 clusters)
    bool present = true;
    uint64_t fail_read = 0;
    int size_error = 0;
    int seek_error = 0;
    std::string map = {};  // qvdisk.img.map ("": none)
    std::string error = {};
    Messages shown = {};
    size_t paths = 1;
    std::string geometry = {};  // "sectors/cluster size/clusters" ("": not checked)
};
using Open = TempDirTest;
TEST_F(Open, EveryKindOfDiskAndGeometry) {
    const std::string using_map =
        "Using the map qvdisk.img.map: blocks it does not mark rescued count as unreadable\n";
    auto unsupported = [](int spc) {
        return format("Unsupported cluster size of %d sectors in the first sector\n", spc);
    };
    const OpenRow rows[] = {
        {.name = "healthy", .geometry = "18432/1048576/8"},
        {.name = "the largest clusters", .spc = 3584, .geometry = "32256/1835008/8"},
        {.name = "no clusters", .spc_field = 0, .error = unsupported(0)},
        {.name = "too large clusters", .spc_field = 3585, .error = unsupported(3585)},
        {.name = "all 16 bits", .spc_field = 0xFFFF, .error = unsupported(65535)},
        {.name = "a wrong last byte",
         .signature = std::string("VELMORAN PVR HDD\x01", 17),
         .error = kBadSignature},
        {.name = "no disk", .present = false, .error = "No Velmoran disk found!\n", .paths = 10},
        {.name = "300 bytes",
         .size = 300,
         .error = "ReadFile did not read 512 bytes but 300 bytes at position 0 (cluster 0)\n"},
        {.name = "a failing read",
         .fail_read = 1,
         .error = "ReadFile failed on position 0 with code 5\n"},
        {.name = "no size", .size_error = 5, .error = "Cannot determine size of saved image.\n"},
        {.name = "a failing seek",
         .seek_error = 6,
         .error = "SetFilePointer failed on position 0 with code 6\n"},
        {.name = "a map without FAT2's first two sectors",
         .map = "0x00080400 ?\n0 0x80000 +\n0x80000 1024 -\n0x80400 0x8FFC00 +\n",
         .shown = {using_map, "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n"}},
        {.name = "a map without FAT2's second sector, on a disk of 400 clusters",
         .size = 401 * int64_t(kMiB),
         .map = "0x00080400 ?\n0 0x80200 +\n0x80200 512 -\n0x80400 0x1907FC00 +\n",
         .shown = {using_map, "FAT2 entries 170 to 341 cannot be read: taken from FAT1\n"},
         .geometry = "821248/1048576/400"},
        {.name = "a map that cannot be used",
         .map = "#\n",
         .error = "The map qvdisk.img.map cannot be used: it has no status line\n"},
        // The table's sectors fail: the geometry is taken, the table refused. A partial sector is
        // not counted; the table holds at most 131072 clusters; 1040 sectors per cluster leave
        // 8192 bytes behind FAT2, room for 2730 entries; 1027 leave 1536, room for 512 exactly.
        {.size = 1000000100, .error = kNoFat, .geometry = "1953125/1048576/952"},
        {.size = 4294987776 * 512, .error = kNoFat, .geometry = "4294987776/1048576/131072"},
        {.spc = 1040, .size = 2840240 * 512, .error = kNoFat, .geometry = "2840240/532480/2730"},
        {.spc = 1027, .size = 526851 * 512, .error = kNoFat, .geometry = "526851/525824/512"},
        {.spc = 1040,
         .size = 2841280 * 512,
         .error = "Cluster size 532480 cannot hold both allocation tables of 2731 clusters in the "
                  "first cluster\n"},
    };
    install_memory_disk(&disk_);
    inner = qv_current_platform();
    qv_platform counting = *inner;
    counting.open_exclusive = open_counted;
    counting.file_size = size_or_error;
    counting.seek = seek_or_error;
    for (const OpenRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.name << row.size);
        ImageBuilder img(8, row.spc);
        if (!row.signature.empty()) img.set_signature(row.signature);
        if (row.spc_field >= 0) img.set_sectors_per_cluster_field(uint16_t(row.spc_field));
        disk_ = MemoryDisk();
        disk_.image = img.image();
        if (row.size >= 0 && row.size < 512) disk_.image.resize(size_t(row.size));
        disk_.size = uint64_t(std::max<int64_t>(row.size, 0));
        disk_.present = row.present;
        disk_.fail_read = row.fail_read;
        if (row.error == kNoFat) disk_.fail_sectors(1, row.spc - 1u, kWhole);
        if (!row.map.empty()) write_file("qvdisk.img.map", Bytes(row.map.begin(), row.map.end()));
        install_memory_disk(&disk_);
        qv_set_platform(&counting);
        paths_opened = 0;
        size_error = row.size_error;
        seek_error = row.seek_error;
        clear_capture();
        const int result = open_qvdisk(capture_progress);
        EXPECT_EQ(result, row.error.empty() ? 0 : 1);
        EXPECT_EQ(result ? std::string(qv_error) : "", row.error);
        EXPECT_EQ(paths_opened, row.paths);
        const std::string geometry =
            format("%lld/%u/%u", (long long)qv->disk_sectors, qv->cluster_size, qv->cluster_count);
        EXPECT_EQ(row.geometry.empty() ? "" : geometry, row.geometry);
        if (result == 0) {
            EXPECT_EQ(capture().messages, row.shown);
            EXPECT_EQ(qv->progress, capture_progress);
            EXPECT_EQ(memcmp(qv->boot_sector, img.boot().data(), kSectorSize),
                      0);  // recorder order
            if (!row.map.empty()) {
                // A plain read of a sector the map does not mark rescued is refused, unread.
                const uint64_t reads_before = disk_.reads;
                uint8_t sector[kSectorSize];
                EXPECT_EQ(qv_read(0x80200, sector, kSectorSize, 0), 1);
                EXPECT_STREQ(
                    qv_error,
                    "Cannot read position 524800: qvdisk.img.map does not mark it rescued\n");
                EXPECT_EQ(disk_.reads, reads_before);
            }
        }
        close_disk();
        fs::remove("qvdisk.img.map");
    }
    size_error = 0;
    seek_error = 0;
    // Closing clears the whole disk record, the table and the recordings found included.
    ImageBuilder img(8);
    img.add_recording("Film", numbered_packets(0, 12000));
    mount(img, 1);
    qv_close();
    const uint8_t* record = reinterpret_cast<const uint8_t*>(qv);
    EXPECT_EQ(std::count(record, record + sizeof *qv, 0), long(sizeof *qv));
}

// Drives read past the system's cache, on a backend that fails every read such a drive refuses
// (unaligned, larger than one command, or any direct read where direct access is refused): the
// drive's line, and reads of any position and length that deliver the disk.
struct DriveRow {
    uint32_t sector;
    uint32_t largest_read;
    bool refuses;
    Messages shown;
};
TEST_F(Open, DrivesReadPastTheCache) {
    ImageBuilder img(8);
    img.add_recording("Film", numbered_packets(0, 20000));
    const std::string drive = "Drive memory-drive-0: 9437184 bytes, sectors of ";
    const std::string direct = "read past the system's cache\n";
    const DriveRow rows[] = {
        {512, 65536, false, {drive + "512 bytes (physical 512), " + direct}},
        {4096, 0, false, {drive + "4096 bytes (physical 4096), " + direct}},
        {512,
         0,
         true,
         {drive + "512 bytes (physical 512), read through the system's cache\n",
          "Drive memory-drive-0 cannot be read directly: the drive is read through the system's "
          "cache: a bad sector costs its neighbours\n"}},
    };
    qv_options.device_path = "0";  // named by its number, as -d 0
    for (const DriveRow& row : rows) {
        SCOPED_TRACE(row.sector);
        disk_ = MemoryDisk{.image = img.image(), .drive = true};
        disk_.direct_sector = row.sector;
        disk_.largest_read = row.largest_read;
        disk_.refuses_direct = row.refuses;
        opened_ = disk_.image;
        install_memory_disk(&disk_);
        clear_capture();
        ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
        EXPECT_EQ(capture().messages, row.shown);
        Bytes part(1000);
        EXPECT_EQ(qv_read(kMiB + 100, part.data(), 1000, 0), 0) << qv_error;
        EXPECT_TRUE(std::equal(part.begin(), part.end(), disk_.image.begin() + kMiB + 100));
        ASSERT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
        EXPECT_EQ(dump_file(0), kCopyDone) << qv_error;
        EXPECT_EQ(read_file("Film"), recording_bytes(numbered_packets(0, 20000), {}));
        close_disk();
        fs::remove("Film");
    }
}

// A drive whose first sector cannot be read: the search names it and passes it by; named, mode
// "disk" images the whole disk in order, reading that sector once; --salvage opens the image all
// the same. Mode "disk" refuses, unread, a disk its output directory cannot hold.
TEST_F(Open, DrivesWhoseFirstSectorFails) {
    ImageBuilder img(8);
    img.add_recording("Film", numbered_packets(0, 20000));
    disk_ = MemoryDisk{.image = img.image(), .drive = true};
    disk_.fail_sectors(0, 1);
    opened_ = disk_.image;
    install_memory_disk(&disk_);
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_STREQ(qv_error, "No Velmoran disk found!\n");
    EXPECT_EQ(capture().messages,
              Messages{"memory-drive-0: its first sector cannot be read; name it with -d to image "
                       "it\n"});
    char absent[256];
    qv_system_message(2, absent, sizeof absent);  // what the memory disk gives for a name it lacks
    EXPECT_EQ(search_report(), format("Looked at qvdisk.img and %s (%s), memory-drive-0 (its first "
                                      "sector cannot be read), memory-drive-1 to memory-drive-7 "
                                      "(%s); -i FILE names an image file, -d DRIVE a drive\n",
                                      qv_native_platform()->parent_image_name, absent, absent));
    close_disk();
    install_memory_disk(&disk_);
    qv_options.device_path = "memory-drive-0";
    qv_options.whole_disk = 1;
    qv_options.found = begin_disk_copy;
    clear_capture();
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(copy_disk(), kCopyIncomplete);
    EXPECT_STREQ(qv_error, "512 bytes could not be read and were written as zeros\n");
    EXPECT_EQ(capture().messages.front(),
              "The whole disk is imaged in order: the first sector cannot be read, so the areas "
              "that matter cannot be known\n");
    EXPECT_EQ(disk_.failed, 1u);
    EXPECT_TRUE(std::equal(disk_.image.begin() + 512, disk_.image.end(),
                           read_file("qvdisk.img").begin() + 512));
    close_disk();
    qv_options = qv_settings{};
    qv_options.image_path = "qvdisk.img";
    qv_options.salvage = 1;
    clear_capture();
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(capture().messages[1],
              "Salvage: the first sector cannot be read; the root directory is found with "
              "clusters of 2048 sectors\n");
    EXPECT_EQ(parse_dir(0, root_entry_count(), 0xFF, kTypeRecording), 1);
    close_disk();
    fs::remove("qvdisk.img.map");
    disk_ = MemoryDisk{.size = uint64_t(1) << 50};
    opened_ = disk_.image;
    install_memory_disk(&disk_);
    qv_options = qv_settings{};
    qv_options.whole_disk = 1;
    qv_options.before_reading = check_output_room;
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_TRUE(
        std::regex_match(qv_error, std::regex("The image needs 1125899906842624 bytes more, "
                                              "but the current directory has only [0-9]+ "
                                              "bytes free\n")))
        << qv_error;
    EXPECT_EQ(disk_.reads, 0u);
}

// The salvaging read of disk cluster 3 (sectors 6144 to 8191) on a failing drive, trimming, then
// again scraping: rows vary the damage; checked for each read: "failed reads; unreadable runs;
// message" (runs "first+length", ~: never tried on its own), and the bytes (zeros where unread,
// also where the failing read scribbled).
struct SalvageRow {
    const char* name = "";
    std::vector<BadSectors> bad = {};
    bool fails_once = false;  // the first read fails, with code 5
    std::string trimmed = "0;; ";
    std::string scraped = "0;; ";
};
std::string runs_of(const bad_sectors& bad) {
    std::string runs;
    for (uint32_t i = 0; i < bad.count; ++i)
        runs += format(" %u+%u%s", bad.first[i], bad.length[i], bad.untried[i] ? "~" : "");
    return runs;
}
TEST_F(Open, ReadsAndSalvagingReads) {
    ImageBuilder img(8);
    uint8_t* data = img.cluster(2);
    for (uint32_t i = 0; i < kMiB; i++) data[i] = uint8_t(i * 7 + i / 251);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    Bytes buf(kMiB);
    const std::string failed = "ReadFile failed on position ";
    const SalvageRow salvages[] = {
        {.name = "healthy"},
        {.name = "one failed read, read again whole: no reason left, nothing lost",
         .fails_once = true,
         .trimmed = "1;; "},
        {.name = "one bad sector, the whole request fails",
         .bad = {{6244, 1, kWhole}},
         .trimmed = "2; 100+1; " + failed + "3196928 with code 23\n",
         .scraped = "0; 100+1; Cannot read position 3196928: it failed before\n"},
        {.name = "a short read at the last 48 sectors",
         .bad = {{8144, 48, kShort}},
         .trimmed = "3; 2000+1 2001+46~ 2047+1; ReadFile did not read 512 bytes but 0 bytes at "
                    "position 4193792 (cluster 3)\n",
         .scraped = "46; 2000+48; Cannot read position 4193792: it failed before\n"},
        {.name = "a whole bad MiB",
         .bad = {{6144, 2048, kEio}},
         .trimmed = "3; 0+1 1+2046~ 2047+1; " + failed + "4193792 with code 5\n",
         .scraped = "2046; 0+2048; Cannot read position 4193792: it failed before\n"},
    };
    bad_sectors bad;
    for (const SalvageRow& row : salvages) {
        SCOPED_TRACE(row.name);
        rescue_reset();
        disk_.bad = row.bad;
        disk_.fail_read = row.fails_once ? disk_.reads + 1 : 0;
        for (rescue_effort effort : {kEffortTrim, kEffortScrape}) {
            const uint64_t failed_before = disk_.failed;
            qv_set_error("%s", "");
            const int result =
                qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad, effort);
            const std::string& want = effort == kEffortTrim ? row.trimmed : row.scraped;
            const bool all_read = want.find(";;") != std::string::npos;  // no runs unreadable
            EXPECT_EQ(result, all_read ? kSalvageComplete : kSalvagePartial);
            const std::string outcome =
                std::to_string(disk_.failed - failed_before) + ";" + runs_of(bad) + "; " + qv_error;
            EXPECT_EQ(outcome, want);
            Bytes expected(disk_.image.begin() + 3 * kMiB, disk_.image.begin() + 4 * kMiB);
            for (uint32_t i = 0; i < bad.count; ++i)
                std::fill_n(expected.begin() + bad.first[i] * 512, bad.length[i] * 512, 0);
            EXPECT_TRUE(buf == expected);  // zeros where unread
        }
    }
#ifdef FAILING_REALLOC
    // Without memory for more blocks of the map (every other sector of cluster 3 bad makes more
    // than the 64 it has room for) the reads go on without it: the next is one plain read.
    rescue_reset();
    disk_.bad.clear();
    for (uint64_t sector = 6145; sector < 6145 + 2 * 40; sector += 2) disk_.fail_sectors(sector, 1);
    failing_reallocs = true;
    qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad, kEffortScrape);
    failing_reallocs = false;
    const uint64_t failed_before = disk_.failed;
    EXPECT_EQ(qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad), kSalvagePartial);
    EXPECT_EQ(std::to_string(disk_.failed - failed_before) + ";" + runs_of(bad) + "; " + qv_error,
              "1; 0+2048~; ReadFile failed on position 3145728 with code 5\n");
    rescue_reset();
#endif
    // At the end of the disk: its last byte reads; a read behind it or before the start fails
    // unread; a read across it is cut short, salvaged up to it.
    disk_.bad.clear();
    const uint64_t reads_before = disk_.reads;
    EXPECT_EQ(qv_read_salvage(-512, buf.data(), 512, 0, &bad), kSalvageFailed);
    EXPECT_EQ(qv_read_salvage(kLastSector + 512, buf.data(), 1024, 0, &bad), kSalvageFailed);
    EXPECT_EQ(qv_read(kLastSector + 512, buf.data(), 512, 0), 1);
    EXPECT_STREQ(qv_error, "Attempt to read after end of disk!\n");
    EXPECT_EQ(disk_.reads, reads_before);
    EXPECT_EQ(qv_read(kLastSector + 511, buf.data(), 1, 0), 0);
    EXPECT_EQ(qv_read(kLastSector, buf.data(), 1024, 0), 1);
    EXPECT_STREQ(
        qv_error,
        "ReadFile did not read 1024 bytes but 512 bytes at position 9436672 (cluster 8)\n");
    EXPECT_EQ(qv_read_salvage(kLastSector, buf.data(), 2048, 0, &bad), kSalvagePartial);
    EXPECT_EQ(runs_of(bad), " 1+3");
    // The last sector bad: it and what lies behind the end make one run.
    rescue_reset();
    disk_.fail_sectors(kLastSector / 512, 1);
    EXPECT_EQ(qv_read_salvage(kLastSector, buf.data(), 2048, 0, &bad), kSalvagePartial);
    EXPECT_EQ(runs_of(bad), " 0+4");
    // Once the disk is closed nothing is read.
    qv_close();
    EXPECT_EQ(qv_read(0, buf.data(), 512, 0), 1);
    EXPECT_STREQ(qv_error, "No disk is open.\n");
}

// Mapfiles read: rows vary the comments, blank lines, tabs and line ends, the status line (with and
// without its pass) and every malformed line; checked: the text map_write gives back, or the
// message and an empty map.
struct MapRow {
    std::string text;
    std::string written = {};  // "": refused
    std::string error = {};
};
// map_set on the map: rows give the block set; checked: the blocks afterwards.
struct SetRow {
    int64_t pos;
    int64_t size;
    char status;
    std::string blocks;
};
std::string blocks_of(const rescue_map& map) {
    std::string blocks;
    for (uint32_t i = 0; i < map.count; ++i)
        blocks += format("%d+%d%c ", int(map.blocks[i].pos), int(map.blocks[i].size),
                         map.blocks[i].status);
    return blocks;
}
TEST_F(Open, Mapfiles) {
    const std::string head =
        "# Mapfile. Created by pvrcopy\n# current_pos  current_status  current_pass\n";
    const std::string blocks = "#      pos        size  status\n";
    const std::string cannot = "The map m cannot be used: ";
    const std::string not_status =
        cannot + "line 1 is not the status line \"current_pos current_status current_pass\"\n";
    const std::string not_block = cannot + "line 2 is not a block line \"pos size status\"\n";
    std::vector<MapRow> rows = {
        {.text =
             "# a rescue\n\n  # indented\n0x200 ? 2 # behind\r\n0\t\t0x200 +\r\n0x200 512 -\n1024 "
             "0x10 /\n",
         .written = head + "0x00000200     ?               2\n" + blocks +
                    "0x00000000  0x00000200  +\n0x00000200  0x00000200  -\n0x00000400  0x00000010 "
                    " /\n"},
        {.text = "7 +\n", .written = head + "0x00000007     +               1\n" + blocks},
        {.text = "0 + 010\n", .written = head + "0x00000000     +               10\n" + blocks},
        {.text = "0 + 2147483647\n",
         .written = head + "0x00000000     +               2147483647\n" + blocks},
        {.text = "0 + 1\n0x200 512 +\n",
         .written =
             head + "0x00000000     +               1\n" + blocks + "0x00000200  0x00000200  +\n"},
        {.text = "#\n", .error = cannot + "it has no status line\n"},
        {.text = "0 + 1\n0 512 +\n1024 512 +\n",
         .error = cannot + "line 3 does not begin where the block before it ends\n"},
        {.text = "0 + 1\n" + std::string(1100, ' ') + "\n",
         .error = cannot + "line 2 is too long\n"},
    };
    for (const char* text : {"7\n", "0 X 1\n", "0 +# 1\n", "-1 + 1\n", "0 + 2147483648\n"})
        rows.push_back({.text = text, .error = not_status});
    for (std::string line : {"0 100", "0 0 +", "+5 512 +", "0 5x +", "0 512 X", "0 512 ++",
                             "0x7FFFFFFFFFFFFFFF 2 +", "0 0x10000000000000000 +"})
        rows.push_back({.text = "0 + 1\n" + line + "\n", .error = not_block});
    rescue_map map = {};
    for (const MapRow& row : rows) {
        SCOPED_TRACE(row.text);
        write_file("m", Bytes(row.text.begin(), row.text.end()));
        qv_set_error("%s", "");
        EXPECT_EQ(map_read("m", &map), row.written.empty() ? -1 : 0);
        EXPECT_EQ(qv_error, row.error);
        if (row.written.empty()) {
            EXPECT_EQ(map.count, 0u);
            continue;
        }
        ASSERT_EQ(map_write("w", &map), 0);
        const Bytes written = read_file("w");
        EXPECT_EQ(std::string(written.begin(), written.end()), row.written);
    }
#ifdef FAILING_REALLOC
    // No memory for the blocks: refused with that reason.
    const std::string one_block = "0 +\n0 1 +\n";
    write_file("m", Bytes(one_block.begin(), one_block.end()));
    failing_reallocs = true;
    EXPECT_EQ(map_read("m", &map), -1);
    EXPECT_EQ(map_set(&map, 0, 512, kMapFinished), 1);  // not even the first block
    failing_reallocs = false;
    EXPECT_STREQ(qv_error, "Not enough memory for the map\n");
    EXPECT_EQ(map.count, 0u);
#endif
    fs::remove("m");
    EXPECT_EQ(map_read("m", &map), 1);
    // From an empty map: new ground is non-tried, equal neighbours are joined.
    const SetRow sets[] = {
        {.pos = 100, .size = 50, .status = '+', .blocks = "100+50+ "},
        {.pos = 150, .size = 50, .status = '+', .blocks = "100+100+ "},
        {.pos = 0, .size = 100, .status = '-', .blocks = "0+100- 100+100+ "},
        {.pos = 120, .size = 10, .status = '?', .blocks = "0+100- 100+20+ 120+10? 130+70+ "},
        {.pos = 50, .size = 100, .status = '+', .blocks = "0+50- 50+150+ "},
        {.pos = 300, .size = 0, .status = '-', .blocks = "0+50- 50+150+ "},
        {.pos = 210, .size = 10, .status = '-', .blocks = "0+50- 50+150+ 200+10? 210+10- "},
    };
    for (const SetRow& row : sets) {
        ASSERT_EQ(map_set(&map, row.pos, row.size, row.status), 0);
        EXPECT_EQ(blocks_of(map), row.blocks) << row.pos;
    }
    // Where the first byte not finished lies (-1: none).
    EXPECT_EQ(map_first_unfinished(&map, 60, 100), -1);
    EXPECT_EQ(map_first_unfinished(&map, 60, 150), 200);
    EXPECT_EQ(map_first_unfinished(&map, 10, 20), 10);
    EXPECT_EQ(map_first_unfinished(&map, 500, 20), 500);
    EXPECT_EQ(map_block_at(&map, 220), map.count);
    EXPECT_EQ(map_block_at(&map, -1), map.count);
    map_free(&map);
}

#ifndef _WIN32
using FileOpen = TempDirTest;
// Real files: the current directory's image before the parent's, a held image counts as absent,
// then the drive search (fake drives in root/drives, a fake sysfs in root/sys): it passes by a
// removable drive, one without sysfs entry and one not the recorder's. (Drives that do not open
// are passed by in the opening's table.)
TEST_F(FileOpen, Search) {
    fs::create_directories("work");
    fs::current_path("work");
    const fs::path drives = dir_ / "drives";
    qv_posix_set_drive_paths((drives / "sd%c").c_str(), (dir_ / "sys").c_str());
    // Drive sdX: its image (none: no device node), its sysfs removable flag (none: no entry).
    auto add_drive = [&](char letter, const ImageBuilder* image, const char* removable) {
        const std::string name = std::string("sd") + letter;
        fs::create_directories(drives);
        if (image) image->write((drives / name).string());
        if (!removable) return;
        fs::create_directories(dir_ / "sys/block" / name);
        std::ofstream(dir_ / "sys/block" / name / "removable") << removable;
    };
    // The number of clusters of the disk found, or -1.
    auto found = [] {
        qv_close();
        return open_qvdisk(capture_progress) == 0 ? int64_t(qv->cluster_count) : -1;
    };
    ImageBuilder three(3), four(4), five(5), unsigned_img(2);
    unsigned_img.set_signature(std::string("VELMORAN PVR HDD\x01", 17));
    three.write("qvdisk.img");
    five.write("../qvdisk.img");
    add_drive('a', &five, "1\n");          // removable
    add_drive('b', &five, nullptr);        // no sysfs entry
    add_drive('c', &unsigned_img, "0\n");  // not the recorder's
    add_drive('d', &four, "0\n");          // the disk
    EXPECT_EQ(found(), 3);
    qv_close();
    // Another opener holds the image here: it counts as absent. A read that comes up short at the
    // end of the file is no error, whatever errno held before.
    const qv_platform* native = qv_native_platform();
    int error = 0;
    qv_handle holder = native->open_exclusive("qvdisk.img", &error);
    EXPECT_EQ(native->open_exclusive("qvdisk.img", &error), nullptr);
    EXPECT_EQ(error, EBUSY);
    int64_t size = 0;
    uint32_t got = 0;
    Bytes end(1024);
    errno = EIO;
    EXPECT_EQ(native->file_size(holder, &size), 0);
    EXPECT_EQ(native->seek(holder, size - 512), 0);
    EXPECT_EQ(native->read(holder, end.data(), 1024, &got), 0);
    EXPECT_EQ(got, 512u);
    EXPECT_EQ(found(), 5);
    fs::remove("../qvdisk.img");
    EXPECT_EQ(found(), 4);
    EXPECT_EQ(capture().messages, Messages{});
    native->close(holder);
    fs::remove("qvdisk.img");
    // Without the disk none is found.
    fs::remove(drives / "sdd");
    EXPECT_EQ(found(), -1);
    EXPECT_STREQ(qv_error, "No Velmoran disk found!\n");
    const std::string sd = drives.string() + "/sd";
    EXPECT_EQ(search_report(),
              "Looked at qvdisk.img and ../qvdisk.img (No such file or directory), " + sd +
                  "a and " + sd + "b (removable), " + sd + "c (no recorder's signature), " + sd +
                  "d to " + sd +
                  "h (No such file or directory); -i FILE names an image file, -d "
                  "DRIVE a drive\n");
    EXPECT_EQ(qv->handle, nullptr);
    qv_posix_set_drive_paths(nullptr, nullptr);
}

#else  // _WIN32
using WinOpen = TempDirTest;
// A file of 0x1FFFFFFFF bytes: the low part of its size is 0xFFFFFFFF (a valid answer), a read at
// 4 GiB + 512 needs the high part. (Share mode 0 is checked by tools/wine_check.sh.)
TEST_F(WinOpen, PositionsBeyondFourGigabytes) {
    const qv_platform* native = qv_native_platform();
    const std::string marker = "beyond four GiB";
    const int64_t at = 0x100000200ll;
    const int64_t end = 0x1FFFFFFFFll;
    HANDLE file = CreateFileA("big.img", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &ignored, NULL);  // best effort
    CloseHandle(file);
    std::ofstream("big.img", std::ios::binary | std::ios::in).seekp(at) << marker;
    fs::resize_file("big.img", uint64_t(end));
    int error = 0;
    qv_handle handle = native->open_exclusive("big.img", &error);
    ASSERT_NE(handle, nullptr);
    int64_t size = 0;
    Bytes read(marker.size());
    uint32_t got = 0;
    EXPECT_EQ(native->file_size(handle, &size), 0);
    EXPECT_EQ(size, end);
    EXPECT_EQ(native->seek(handle, at), 0);
    EXPECT_EQ(native->read(handle, read.data(), uint32_t(read.size()), &got), 0);
    EXPECT_EQ(std::string(read.begin(), read.end()), marker);
    native->close(handle);
}

#endif
}  // namespace
