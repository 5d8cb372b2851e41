// Finding the recorder's disk, reading it (qv_read, the salvaging reads) and ddrescue's mapfiles.
//   | healthy; 3584 sectors per cluster | signature character / byte 20 wrong; no image (all 10
//   names tried) | | 300 bytes; first read fails; no size | sectors per cluster 0 / 3585 / 0xFFFF;
//   FAT2 does (not) fit | | sizes 1e9, 78165360, 400e6, 2^32+ sectors (+100 bytes): disk_sectors
//   and cluster_count (at most 131072) |
#include <cerrno>
#include <cstring>
#include <fstream>
#include "support/fixture.h"
#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif
namespace fs = std::filesystem;
namespace {
constexpr uint32_t kMiB = 1048576;
// The installed backend, wrapped: records the paths opened, reports another size or none.
qv_platform traced;
const qv_platform* inner = nullptr;
std::vector<std::string> opened;
int64_t reported_size = -1;
int size_error = 0;

using Open = TempDirTest;
TEST_F(Open, EveryKindOfDiskAndGeometry) {
    using Build = std::function<void(ImageBuilder&, MemoryDisk&)>;
    struct Row {  // on ImageBuilder(built, spc); size reported (-1: the image's); error "": opened;
                  // paths: names tried
        Build build;
        int64_t size;
        std::string error;
        int64_t sectors;
        uint32_t cluster_size, clusters;
        size_t paths = 1;
        uint16_t spc = 2048, built = 8;
    };
    auto sig = [](const char* t) -> Build {
        return [t](ImageBuilder& i, MemoryDisk&) { i.set_signature(std::string(t, 17)); };
    };
    auto spc = [](uint16_t n) -> Build {
        return [n](ImageBuilder& i, MemoryDisk&) { i.set_sectors_per_cluster_field(n); };
    };
    const char *no_fat = "No valid FAT24 found!\n", *bad_sig = "Bad signature in saved image!\n";
    std::vector<Row> rows = {
        {nullptr, -1, "", 9 * 2048, kMiB, 8},
        {nullptr, -1, "", 3 * 3584, kClusterBufferSize, 2, 1, 3584, 2},
        {sig("VELMORAN PVR HDX\0"), -1, bad_sig, 9 * 2048, 0, 0},
        {sig("VELMORAN PVR HDD\x01"), -1, bad_sig, 9 * 2048, 0, 0},
        {[](ImageBuilder&, MemoryDisk& d) { d.present = false; }, -1, "No Velmoran disk found!\n",
         0, 0, 0, 10},
        {[](ImageBuilder& i, MemoryDisk&) { i.set_disk_sectors(1); }, 300,
         "ReadFile did not read 512 bytes but 300 bytes at position 0 (cluster 0)\n", 0, 0, 0},
        {[](ImageBuilder&, MemoryDisk& d) { d.fail_read = 1; }, -1,
         "ReadFile failed on position 0 with code 5\n", 9 * 2048, 0, 0},
        {[](ImageBuilder&, MemoryDisk&) { size_error = 5; }, -1,
         "Cannot determine size of saved image.\n", 0, 0, 0},
        // 1040 sectors per cluster: room for 2730 entries behind FAT2.
        {[](ImageBuilder& i, MemoryDisk& d) {
             i.set_sectors_per_cluster_field(1040);
             d.bad = {{1, 1039, BadKind::kEio}};
         },
         int64_t(2731) * 1040 * 512, no_fat, 2731 * 1040, 532480, 2730},
        {spc(1040), int64_t(2732) * 1040 * 512,
         "Cluster size 532480 cannot hold both allocation tables of 2731 clusters in the first "
         "cluster\n",
         2732 * 1040, 532480, 2731},
    };
    for (uint16_t n : {0, 3585, 0xFFFF})
        rows.push_back({spc(n), -1,
                        format("Unsupported cluster size of %d sectors in the first sector\n", n),
                        9 * 2048, 0, 0});
    for (auto [sectors, clusters] :
         std::vector<std::pair<int64_t, uint32_t>>{{1953125, 952},
                                                   {78165360, 38165},
                                                   {400000000, 131072},
                                                   {int64_t(1) << 32 | 20480, 131072}})
        for (int64_t extra : {0, 100})  // a partial sector is not counted
            rows.push_back({[](ImageBuilder&, MemoryDisk& d) {
                                d.bad = {{1, 2047, BadKind::kWhole}};
                            },
                            sectors * 512 + extra, no_fat, sectors, kMiB, clusters});
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(i);
        ImageBuilder img(row.built, row.spc);
        disk_ = MemoryDisk(), opened.clear(), reported_size = row.size, size_error = 0;
        if (row.build) row.build(img, disk_);
        close_disk();
        disk_.image = img.image();
        if (row.size >= 0 && row.size < 512) disk_.image.resize(size_t(row.size));
        install_memory_disk(&disk_);
        traced = *(inner = qv_current_platform());
        traced.open_exclusive = [](const char* path, int* e) {
            return opened.push_back(path), inner->open_exclusive(path, e);
        };
        traced.file_size = [](qv_handle h, int64_t* n) {
            return size_error          ? size_error
                   : reported_size < 0 ? inner->file_size(h, n)
                                       : (*n = reported_size, 0);
        };
        qv_set_platform(&traced), clear_capture(), qv_set_error("%s", "");
        EXPECT_EQ(open_qvdisk(capture_progress), row.error.empty() ? 0 : 1);
        EXPECT_EQ(qv_error, row.error);
        EXPECT_EQ(std::vector<int64_t>({qv->disk_sectors, qv->cluster_size, qv->cluster_count}),
                  std::vector<int64_t>({row.sectors, row.cluster_size, row.clusters}));
        EXPECT_EQ(opened.size(), row.paths);
        if (row.error.empty()) {
            EXPECT_EQ(qv->progress, capture_progress);
            EXPECT_EQ(memcmp(qv->boot_sector, img.boot().data(), kSectorSize),
                      0);  // recorder order
            EXPECT_EQ(capture().messages, Messages{});
        }
    }
    reported_size = -1;
}

// qv_read (rows: the last sector and byte, beyond the end, a short read, a failing read once), the
// swap at an odd position; then reads of disk cluster 3 through the rescue, on a failing drive:
// what each damage costs in failed reads, for a recording's copy (trim) and the file system's
// structures (scrape), and what stays unreadable (runs from sector 6144, ~ never tried on its
// own). A second read, scraping, costs only the sectors never tried. Unreadable sectors read as
// zeros (also where the failing read scribbled); past the end unreadable without a read.
TEST_F(Open, ReadsAndSalvagingReads) {
    ImageBuilder img(8);
    uint8_t* data = img.cluster(2);
    for (uint32_t i = 0; i < kMiB; i++) data[i] = uint8_t(i * 7 + i / 251);
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    const int64_t last = (qv->disk_sectors - 1) * 512, end = last + 512;
    Bytes buf(kMiB);
    struct Read {  // fail 1: the read fails with code 5, 2: it comes up 100 bytes short; error
                   // null: it passes
        int64_t position;
        uint32_t count;
        int swap;
        uint64_t fail;
        const char* error;
    } reads[] = {
        {last, 512, 1, 0, nullptr},
        {last + 511, 1, 0, 0, nullptr},
        {last + 512, 512, 1, 0, "Attempt to read after end of disk!\n"},
        {-512, 512, 1, 0, "Attempt to read after end of disk!\n"},
        {last, 1024, 1, 0,
         "ReadFile did not read 1024 bytes but 512 bytes at position 9436672 (cluster 8)\n"},
        {kMiB, kMiB, 1, 1, "ReadFile failed on position 1048576 with code 5\n"},
        {5 * kMiB, kMiB, 1, 2,
         "ReadFile did not read 1048576 bytes but 100 bytes at position 5242880 (cluster 5)\n"},
        {5 * kMiB, kMiB, 1, 0, nullptr},  // only that read failed
    };
    for (const Read& row : reads) {
        SCOPED_TRACE(row.position);
        disk_.fail_read = row.fail ? disk_.reads + 1 : 0, disk_.fail_code = row.fail == 1 ? 5 : 0,
        disk_.short_count = 100;
        EXPECT_EQ(qv_read(row.position, buf.data(), row.count, row.swap), row.error ? 1 : 0);
        if (row.error) {
            EXPECT_STREQ(qv_error, row.error);
        }
    }
    auto pick = [data](std::vector<int> at) {
        Bytes b;
        for (int k : at) b.push_back(data[k]);
        return b;
    };
    ASSERT_EQ(qv_read(3 * int64_t(kMiB) + 1, buf.data(), 9, 0), 0);  // as the PC sees it
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 9), pick({0, 3, 2, 5, 4, 7, 6, 9, 8}));
    ASSERT_EQ(qv_read(3 * int64_t(kMiB) + 1, buf.data(), 9, 1),
              0);  // words exchanged, the odd last byte kept
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 9), pick({3, 0, 5, 2, 7, 4, 9, 6, 8}));
    // The unreadable runs: "first+length" (~: untried), space-separated.
    bad_sectors bad;
    auto runs = [&bad] {
        std::string r;
        for (uint32_t i = 0; i < bad.count; ++i)
            r += format("%u+%u%s ", bad.first[i], bad.length[i], bad.untried[i] ? "~" : "");
        return r;
    };
    const BadSectors sector_100 = {6244, 1, BadKind::kEio}, eight = {6244, 8, BadKind::kEio},
                     whole_mib = {6144, 2048, BadKind::kEio};
    struct FailingRead {
        const char* damage;
        std::vector<BadSectors> bad;
        rescue_effort effort;
        uint64_t failed_reads;
        std::string runs;
        const char* message;
        uint64_t scraped_after = 0;  // failed reads of a second read that scrapes
        bool transient = false;      // the first read fails once
    } failing[] = {
        {"healthy", {}, kEffortTrim, 0, "", ""},
        {"one failed read",
         {},
         kEffortTrim,
         1,
         "",
         "ReadFile failed on position 3145728 with code 5\n",
         0,
         true},
        {"one bad sector",
         {sector_100},
         kEffortTrim,
         2,
         "100+1 ",
         "ReadFile failed on position 3196928 with code 5\n"},
        {"one bad sector, the whole request fails",
         {{6244, 1, BadKind::kWhole}},
         kEffortTrim,
         2,
         "100+1 ",
         "ReadFile failed on position 3196928 with code 23\n"},
        {"eight bad sectors, trimmed",
         {eight},
         kEffortTrim,
         3,
         "100+1 101+6~ 107+1 ",
         "ReadFile failed on position 3200512 with code 5\n",
         6},
        {"eight bad sectors, scraped",
         {eight},
         kEffortScrape,
         9,
         "100+8 ",
         "ReadFile failed on position 3200000 with code 5\n"},
        {"a short read at sector 2000",
         {{8144, 48, BadKind::kShort}},
         kEffortTrim,
         3,
         "2000+1 2001+46~ 2047+1 ",
         "ReadFile did not read 512 bytes but 0 bytes at position 4193792 (cluster 3)\n",
         46},
        {"a whole bad MiB, trimmed",
         {whole_mib},
         kEffortTrim,
         3,
         "0+1 1+2046~ 2047+1 ",
         "ReadFile failed on position 4193792 with code 5\n",
         2046},
        {"a whole bad MiB, scraped",
         {whole_mib},
         kEffortScrape,
         2049,
         "0+2048 ",
         "ReadFile failed on position 4193280 with code 5\n"},
    };
    disk_.fail_code = 5;
    for (const FailingRead& row : failing) {
        SCOPED_TRACE(row.damage);
        rescue_reset();
        disk_.bad = row.bad, disk_.fail_read = row.transient ? disk_.reads + 1 : 0;
        uint64_t before = disk_.failed;
        qv_set_error("%s", "");
        EXPECT_EQ(qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad, row.effort),
                  row.runs.empty() ? kSalvageComplete : kSalvagePartial);
        EXPECT_EQ(disk_.failed - before, row.failed_reads);
        EXPECT_STREQ(qv_error, row.message);
        EXPECT_EQ(runs(), row.runs);
        Bytes want(disk_.image.begin() + 3 * kMiB, disk_.image.begin() + 4 * kMiB);
        for (uint32_t i = 0; i < bad.count; ++i)
            std::fill_n(want.begin() + bad.first[i] * 512, bad.length[i] * 512, 0);
        EXPECT_TRUE(buf == want);
        before = disk_.failed;
        qv_read_salvage(3 * int64_t(kMiB), buf.data(), kMiB, 0, &bad, kEffortScrape);
        EXPECT_EQ(disk_.failed - before, row.scraped_after) << "read again";
    }
    disk_.bad.clear();
    EXPECT_EQ(qv_read_salvage(end, buf.data(), 1024, 0, &bad), kSalvageFailed);
    EXPECT_STREQ(qv_error, "Attempt to read after end of disk!\n");
    EXPECT_EQ(qv_read_salvage(end - 512, buf.data(), 2048, 0, &bad), kSalvagePartial);
    EXPECT_EQ(runs(), "1+3 ");
}

// Mapfiles of GNU ddrescue read (rows: comments, status with and without the pass, every malformed
// line) and written back as ddrescue writes them; map_set on an empty map (new ground non-tried,
// equal neighbours joined), map_first_unfinished; a map beside the image: its unrescued FAT2 sector
// unused.
TEST_F(Open, Mapfiles) {
    const std::string
        head = "# Mapfile. Created by pvrcopy\n# current_pos  current_status  current_pass\n",
        blocks = "#      pos        size  status\n", cannot = "The map m cannot be used: ";
    const std::string bad_status =
        cannot + "line 1 is not the status line \"current_pos current_status current_pass\"\n";
    const std::string bad_block = cannot + "line 2 is not a block line \"pos size status\"\n";
    std::vector<std::tuple<std::string, int, std::string>> rows = {
        // text, result, map_write's text or qv_error
        {"# a rescue\n  # indented\n0x200 ? 2 # behind\n0 0x200 +\n0x200 512 -\n1024 0x10 /\n", 0,
         head + "0x00000200     ?               2\n" + blocks +
             "0x00000000  0x00000200  +\n0x00000200  0x00000200  -\n0x00000400  0x00000010  /\n"},
        {"7 +\n", 0, head + "0x00000007     +               1\n" + blocks},
        {"#\n", -1, cannot + "it has no status line\n"},
        {"0 + 1\n0 512 +\n1024 512 +\n", -1,
         cannot + "line 3 does not begin where the block before it ends\n"},
        {"0 + 1\n" + std::string(1100, ' ') + "\n", -1, cannot + "line 2 is too long\n"},
    };
    for (const char* t : {"7\n", "0 X 1\n", "0 + 1 2\n", "0 +# 1\n", "-1 + 1\n"})
        rows.push_back({t, -1, bad_status});
    for (std::string t : {"0 100", "0 0 +", "-5 512 +", "+5 512 +", "0 5x +", "0 512 X", "0 512 ++",
                          "0x7FFFFFFFFFFFFFFF 2 +"})
        rows.push_back({"0 + 1\n" + t + "\n", -1, bad_block});
    rescue_map map = {};
    for (const auto& [text, result, want] : rows) {
        SCOPED_TRACE(text);
        write_file("m", Bytes(text.begin(), text.end()));
        EXPECT_EQ(map_read("m", &map), result);
        const Bytes w = result == 0 && map_write("w", &map) == 0 ? read_file("w") : Bytes();
        EXPECT_EQ(result == 0 ? std::string(w.begin(), w.end()) : std::string(qv_error), want);
        if (result != 0) {
            EXPECT_EQ(map.count, 0u);
        }
    }
    fs::remove("m");
    EXPECT_EQ(map_read("m", &map), 1);
    //   | map_set (pos, size, status) | blocks afterwards |
    const std::vector<std::tuple<int64_t, int64_t, char, std::string>> sets = {
        {100, 50, '+', "100+50+ "},
        {150, 50, '+', "100+100+ "},
        {0, 100, '-', "0+100- 100+100+ "},
        {120, 10, '?', "0+100- 100+20+ 120+10? 130+70+ "},
        {50, 100, '+', "0+50- 50+150+ "},
        {300, 0, '-', "0+50- 50+150+ "},
        {210, 10, '-', "0+50- 50+150+ 200+10? 210+10- "},
    };
    for (const auto& [pos, size, status, want] : sets) {
        ASSERT_EQ(map_set(&map, pos, size, status), 0);
        std::string s;
        for (uint32_t i = 0; i < map.count; ++i)
            s += format("%d+%d%c ", int(map.blocks[i].pos), int(map.blocks[i].size),
                        map.blocks[i].status);
        EXPECT_EQ(s, want) << pos;
    }
    EXPECT_EQ(std::vector<int64_t>(
                  {map_first_unfinished(&map, 60, 100), map_first_unfinished(&map, 60, 150),
                   map_first_unfinished(&map, 10, 20), map_first_unfinished(&map, 500, 20)}),
              std::vector<int64_t>({-1, 200, 10, 500}));
    EXPECT_EQ(map_block_at(&map, 220), map.count);
    map_free(&map);
    ImageBuilder img(8);
    std::fill_n(img.boot().begin() + kFat2Offset, 512, 0);
    const std::string text = "0x00080200 ?\n0 0x80000 +\n0x80000 512 -\n0x80200 0x8FFE00 +\n";
    write_file("qvdisk.img.map", Bytes(text.begin(), text.end()));
    ASSERT_EQ(open_disk(img), 0) << qv_error;
    EXPECT_EQ(
        capture().messages,
        (Messages{
            "Using the map qvdisk.img.map: blocks it does not mark rescued count as unreadable\n",
            "FAT2 entries 0 to 7 cannot be read: taken from FAT1\n"}));
    write_file("qvdisk.img.map", Bytes{'#', '\n'});
    EXPECT_EQ(open_disk(img), 1);
    EXPECT_STREQ(qv_error, "The map qvdisk.img.map cannot be used: it has no status line\n");
}

#ifndef _WIN32
using FileOpen = TempDirTest;
// Real files: the current directory's image before the parent's, a held image counts as absent,
// then the drive search (fake drives in root/drives, a fake sysfs in root/sys; paths up to 63
// characters).
TEST_F(FileOpen, Search) {
    fs::create_directories("work");
    fs::current_path("work");
    qv_posix_set_drive_paths((dir_ / "drives" / "sd%c").c_str(), (dir_ / "sys").c_str());
    // drives/sdX: its image (none: no device node), its sysfs removable flag (none: no entry).
    auto add_drive = [this](char letter, const ImageBuilder* image, const char* removable) {
        const std::string name = std::string("sd") + letter;
        fs::create_directories(dir_ / "drives");
        if (image) image->write((dir_ / "drives" / name).string());
        const fs::path sys = dir_ / "sys" / "block" / name;
        if (removable) fs::create_directories(sys), std::ofstream(sys / "removable") << removable;
    };
    // The number of clusters of the disk found, or -1.
    auto found = [] {
        qv_close();
        return open_qvdisk(capture_progress) == 0 ? int64_t(qv->cluster_count) : -1;
    };
    ImageBuilder three(3), four(4), five(5), unsigned_img(2), bad_geometry(3);
    unsigned_img.set_signature(std::string("VELMORAN PVR HDD\x01", 17));
    bad_geometry.set_sectors_per_cluster_field(0);
    three.write("qvdisk.img");
    five.write("../qvdisk.img");
    // No device; signed but removable; signed, no sysfs entry; unreadable (a directory); not
    // signed; the disk; never tried.
    add_drive('a', nullptr, "0\n"), add_drive('b', &five, "1\n"), add_drive('c', &five, nullptr);
    fs::create_directories(dir_ / "drives" / "sdd");
    add_drive('d', nullptr, "0\n"), add_drive('e', &unsigned_img, "0\n"),
        add_drive('f', &four, "0\n");
    add_drive('g', &five, "0\n");
    EXPECT_EQ(found(), 3);
    const qv_platform* native = qv_native_platform();
    int error = 0;
    qv_close();
    qv_handle holder = native->open_exclusive("qvdisk.img", &error);  // another opener
    int64_t size = 0;
    uint32_t got = 0;
    Bytes end(1024);
    errno = EIO;  // a read that comes up short at the end of the file is no error, whatever errno
                  // held before
    EXPECT_EQ(
        std::vector<int64_t>({native->file_size(holder, &size), native->seek(holder, size - 512),
                              native->read(holder, end.data(), 1024, &got), got}),
        std::vector<int64_t>({0, 0, 0, 512}));
    EXPECT_EQ(found(), 5);
    EXPECT_EQ(native->open_exclusive("qvdisk.img", &error), nullptr);
    EXPECT_EQ(error, EBUSY);
    fs::remove("../qvdisk.img");
    EXPECT_EQ(found(), 4);
    EXPECT_EQ(capture().messages, Messages{});
    qv_close();
    native->close(holder);
    fs::remove("qvdisk.img");
    bad_geometry.write(
        (dir_ / "drives" / "sde").string());  // the first signed drive fails: the search ends
    EXPECT_EQ(found(), -1);
    EXPECT_STREQ(qv_error, "Unsupported cluster size of 0 sectors in the first sector\n");
    for (char d : {'e', 'f', 'g'}) fs::remove(dir_ / "drives" / (std::string("sd") + d));
    write_file((dir_ / "drives" / "sdh").string(),
               Bytes(100, 0));  // its read fails; the message is replaced
    EXPECT_EQ(found(), -1);
    EXPECT_STREQ(qv_error, "No Velmoran disk found!\n");
    EXPECT_EQ(qv->handle, nullptr);
    qv_posix_set_drive_paths(nullptr, nullptr);
}

#else  // _WIN32
using WinOpen = TempDirTest;
// A file of 0x1FFFFFFFF bytes: the low part of its size is 0xFFFFFFFF (a valid answer), a read at
// 4 GiB + 512 needs the high part. (Share mode 0 is checked by tools/wine_check.sh.)
TEST_F(WinOpen, PositionsBeyondFourGigabytes) {
    const qv_platform* p = qv_native_platform();
    int error = 0;
    const int64_t size = 0x1FFFFFFFFll, marker_at = 0x100000200ll;
    const char marker[] = "beyond four GiB";
    HANDLE w = CreateFileA("big.img", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD ignored = 0;
    LARGE_INTEGER at, end;
    at.QuadPart = marker_at, end.QuadPart = size;
    DeviceIoControl(w, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &ignored, NULL);  // best effort
    ASSERT_TRUE(SetFilePointerEx(w, at, NULL, FILE_BEGIN) &&
                WriteFile(w, marker, sizeof marker, &ignored, NULL) &&
                SetFilePointerEx(w, end, NULL, FILE_BEGIN) && SetEndOfFile(w));
    CloseHandle(w);
    qv_handle h = p->open_exclusive("big.img", &error);
    ASSERT_NE(h, nullptr);
    int64_t got_size = 0;
    char buf[sizeof marker] = {};
    uint32_t got = 0, past = 1;
    EXPECT_EQ(std::vector<int>({p->file_size(h, &got_size), p->seek(h, marker_at),
                                p->read(h, buf, sizeof buf, &got), p->seek(h, size),
                                p->read(h, buf + 1, 1, &past)}),
              std::vector<int>({0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<int64_t>({got_size, got, past}),
              std::vector<int64_t>({size, int64_t(sizeof marker), 0}));
    EXPECT_STREQ(buf, marker);
    p->close(h);
}

#endif
}  // namespace
