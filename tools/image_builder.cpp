// Builds recorder disk images in memory (see image_builder.h).
//
// Layout, in recorder order: disk cluster 0 is the system area (boot sector,
// FAT1 at 0x20000, FAT2 at 0x80000, 3-byte big-endian entries); FAT cluster n
// lies at (n + 1) x cluster_size. image() exchanges the bytes of every 16-bit
// word at the very end, which is how the PC reads the recorder's disk.
#include "tools/image_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "disk/bytes.h"
#include "disk/copy/copy.h"

#ifndef PVR_SOURCE_DIR
#define PVR_SOURCE_DIR "."
#endif

namespace {

constexpr uint32_t kFat1End = kFat2Offset;  // FAT1 runs up to FAT2
constexpr uint32_t kFat2End = kFat2Offset + kFatEntrySize * kMaxClusters;
constexpr uint32_t kMaxDirName = kDirNameSize - 1;  // 107 characters and a NUL
constexpr uint32_t kMaxListName = kListRecordSize - 1;

// Byte offset of FAT entry n in the system area, or 0 when the entry does not
// fit into the copy's region [begin, end) of a system area of size bytes.
size_t fat_offset(uint32_t begin, uint32_t end, uint32_t n, size_t size) {
    uint64_t at = uint64_t(begin) + uint64_t(kFatEntrySize) * n;
    if (at + kFatEntrySize > end || at + kFatEntrySize > size) return 0;
    return size_t(at);
}

}  // namespace

ImageBuilder::ImageBuilder(uint32_t cluster_count, uint16_t sectors_per_cluster)
    : ImageBuilder(cluster_count, sectors_per_cluster, true) {}

ImageBuilder::ImageBuilder(uint32_t cluster_count, uint16_t sectors_per_cluster,
                           bool check_geometry)
    : cluster_count_(cluster_count), cluster_size_(uint32_t(sectors_per_cluster) * kSectorSize) {
    if (sectors_per_cluster == 0)
        throw std::invalid_argument("ImageBuilder: sectors_per_cluster is 0");
    if (cluster_count == 0)
        throw std::invalid_argument("ImageBuilder: no cluster for the root directory");
    if (check_geometry) {
        if (cluster_count > kMaxClusters)
            throw std::invalid_argument(
                "ImageBuilder: more clusters than the allocation table holds");
        if (uint64_t(kFat2Offset) + uint64_t(kFatEntrySize) * cluster_count > cluster_size_)
            throw std::invalid_argument("ImageBuilder: disk cluster 0 cannot hold both FAT copies");
    }
    disk_sectors_ = int64_t(cluster_count_ + 1) * sectors_per_cluster;
    system_.assign(cluster_size_, 0);
    clusters_.resize(cluster_count_);
    used_.assign(cluster_count_, false);

    // Both FAT regions start out all free, also beyond cluster_count, so a
    // padded disk (set_disk_sectors) shows its extra clusters as free.
    if (cluster_size_ > kFat1Offset)
        std::fill(system_.begin() + kFat1Offset,
                  system_.begin() + std::min(cluster_size_, kFat1End), 0xFF);
    if (cluster_size_ > kFat2Offset)
        std::fill(system_.begin() + kFat2Offset,
                  system_.begin() + std::min(cluster_size_, kFat2End), 0xFF);

    set_signature(std::string(kSignature, kSignatureLength));
    set_sectors_per_cluster_field(sectors_per_cluster);
    set_root_dir_slack(0);

    // The root directory: FAT cluster 0, one cluster of empty slots.
    std::fill(cluster(0), cluster(0) + cluster_size_, kTypeEmpty);
    used_[0] = true;
    set_fat(0, kEndOfChain);
}

void ImageBuilder::pad_for_links() {
    const int64_t spc = cluster_size_ / kSectorSize;
    int64_t needed = int64_t(cluster_count_ - 1) * 2048;  // the bound is the disk size in MiB
    if (needed <= disk_sectors_) return;
    int64_t sectors = (needed + spc - 1) / spc * spc;  // whole clusters
    uint64_t seen = uint64_t(sectors / spc - 1);
    if (seen > kMaxClusters || kFat2Offset + kFatEntrySize * seen > cluster_size_)
        throw std::invalid_argument(
            "ImageBuilder: padded disk has more clusters than cluster 0 can map");
    disk_sectors_ = sectors;
}

uint8_t* ImageBuilder::cluster(uint32_t n) {
    if (n >= cluster_count_) throw std::out_of_range("ImageBuilder: cluster beyond the disk");
    if (clusters_[n].empty()) clusters_[n].assign(cluster_size_, 0);
    return clusters_[n].data();
}

void ImageBuilder::set_fat(uint32_t n, uint32_t value) {
    set_fat1(n, value);
    set_fat2(n, value);
}

void ImageBuilder::set_fat1(uint32_t n, uint32_t value) {
    if (size_t at = fat_offset(kFat1Offset, kFat1End, n, system_.size()))
        put_be24(&system_[at], value);
}

void ImageBuilder::set_fat2(uint32_t n, uint32_t value) {
    if (size_t at = fat_offset(kFat2Offset, kFat2End, n, system_.size()))
        put_be24(&system_[at], value);
}

uint32_t ImageBuilder::fat1(uint32_t n) const {
    size_t at = fat_offset(kFat1Offset, kFat1End, n, system_.size());
    return at ? get_be24(&system_[at]) : kFreeCluster;
}

uint32_t ImageBuilder::fat2(uint32_t n) const {
    size_t at = fat_offset(kFat2Offset, kFat2End, n, system_.size());
    return at ? get_be24(&system_[at]) : kFreeCluster;
}

void ImageBuilder::damage_fat(int copy, TableDamage damage, uint32_t from) {
    const uint32_t begin = copy == 1 ? kFat1Offset : kFat2Offset;
    const size_t end = std::min<size_t>(copy == 1 ? kFat1End : kFat2End, system_.size());
    uint32_t junk = 0x2545F491;  // a xorshift sequence: the same junk in every run
    for (size_t at = begin + size_t(from) * kFatEntrySize; at < end; ++at) {
        junk ^= junk << 13, junk ^= junk >> 17, junk ^= junk << 5;
        system_[at] = damage == TableDamage::kZeroed ? 0 : uint8_t(junk);
    }
}

void ImageBuilder::set_root_dir_slack(uint32_t slack) {
    if (system_.size() >= kRootDirSlackOffset + 4) put_be32(&system_[kRootDirSlackOffset], slack);
}

uint32_t ImageBuilder::root_dir_slack() const {
    return system_.size() >= kRootDirSlackOffset + 4 ? get_be32(&system_[kRootDirSlackOffset]) : 0;
}

uint32_t ImageBuilder::root_entry_count() const {
    return (((cluster_size_ - root_dir_slack()) & kRootSlackMask) + kSectorSize) / kDirEntrySize;
}

void ImageBuilder::set_sectors_per_cluster_field(uint16_t value) {
    if (system_.size() >= kSectorsPerClusterOffset + 2)
        put_be16(&system_[kSectorsPerClusterOffset], value);
}

void ImageBuilder::set_signature(const std::string& text17) {
    for (size_t i = 0; i < kSignatureLength && kSignatureOffset + i < system_.size(); ++i)
        system_[kSignatureOffset + i] = i < text17.size() ? uint8_t(text17[i]) : 0;
}

void ImageBuilder::link_chain(const std::vector<uint32_t>& clusters) {
    for (size_t i = 0; i < clusters.size(); ++i) {
        set_fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEndOfChain);
        if (clusters[i] < cluster_count_) used_[clusters[i]] = true;
    }
}

bool ImageBuilder::is_free(uint32_t n) const {
    return n < cluster_count_ && !used_[n] && fat1(n) == kFreeCluster && fat2(n) == kFreeCluster;
}

std::vector<uint32_t> ImageBuilder::free_clusters(uint32_t count) const {
    std::vector<uint32_t> run;
    // A contiguous run, lowest first, when there is one.
    for (uint32_t n = 0; n < cluster_count_ && run.size() < count; ++n) {
        if (is_free(n))
            run.push_back(n);
        else
            run.clear();
    }
    if (run.size() == count) return run;
    // Otherwise the lowest free clusters, wherever they are.
    run.clear();
    for (uint32_t n = 0; n < cluster_count_ && run.size() < count; ++n)
        if (is_free(n)) run.push_back(n);
    if (run.size() < count) throw std::runtime_error("ImageBuilder: not enough free clusters");
    return run;
}

void ImageBuilder::dir_entry(uint32_t dir, uint32_t slot, uint8_t type, uint32_t start_cluster,
                             uint32_t num_clusters, uint32_t last_cluster_slack,
                             const std::string& name, EntryDate date) {
    if (slot >= cluster_size_ / kDirEntrySize)
        throw std::out_of_range("ImageBuilder: slot beyond the directory");
    uint8_t* e = cluster(dir) + size_t(slot) * kDirEntrySize;
    std::memset(e, 0, kDirEntrySize);
    e[kEntryType] = type;
    put_be16(e + kEntryMjd, date.mjd);
    e[kEntryHour] = date.hour;
    e[kEntryMinute] = date.minute;
    put_be32(e + kEntryStart, start_cluster);
    put_be32(e + kEntryClusters, num_clusters);
    put_be32(e + kEntrySlack, last_cluster_slack);
    // Like the recorder, the directory keeps at most 107 characters of a name.
    std::memcpy(e + kEntryName, name.data(), std::min<size_t>(name.size(), kMaxDirName));
}

void ImageBuilder::dir_entry_raw_name(uint32_t dir, uint32_t slot, const uint8_t name[108]) {
    if (slot >= cluster_size_ / kDirEntrySize)
        throw std::out_of_range("ImageBuilder: slot beyond the directory");
    std::memcpy(cluster(dir) + size_t(slot) * kDirEntrySize + kEntryName, name, kDirNameSize);
}

uint32_t ImageBuilder::free_slot(uint32_t dir) const {
    uint32_t slots = cluster_size_ / kDirEntrySize;
    // The product reads only the first root_entry_count() slots of the root
    // directory: an entry beyond them would be invisible, so that is "full".
    if (dir == 0) slots = std::min(slots, root_entry_count());
    if (dir < cluster_count_ && !clusters_[dir].empty())
        for (uint32_t s = 0; s < slots; ++s)
            if (clusters_[dir][size_t(s) * kDirEntrySize + kEntryType] == kTypeEmpty) return s;
    throw std::runtime_error(
        dir == 0 ? "ImageBuilder: root directory full (its entry count follows "
                   "root_dir_slack; set_root_dir_slack(512) opens the whole cluster)"
                 : "ImageBuilder: directory full");
}

uint32_t ImageBuilder::add_file(uint32_t dir, uint8_t type, const std::string& name,
                                const std::vector<uint8_t>& data, EntryDate date,
                                std::vector<uint32_t> clusters) {
    uint64_t needed =
        std::max<uint64_t>(1, (uint64_t(data.size()) + cluster_size_ - 1) / cluster_size_);
    if (clusters.empty()) clusters = free_clusters(uint32_t(needed));
    if (clusters.size() != needed)
        throw std::invalid_argument("ImageBuilder: cluster list does not fit the data");
    uint32_t slot =
        free_slot(dir);  // before anything is written, so a full directory changes nothing
    for (size_t i = 0; i < clusters.size(); ++i) {
        uint8_t* c = cluster(clusters[i]);
        size_t from = i * size_t(cluster_size_);
        size_t n = std::min<size_t>(cluster_size_, data.size() - std::min(from, data.size()));
        std::memset(c, 0, cluster_size_);
        if (n) std::memcpy(c, data.data() + from, n);
    }
    link_chain(clusters);
    uint32_t slack = uint32_t(needed * cluster_size_ - data.size());
    dir_entry(dir, slot, type, clusters[0], uint32_t(needed), slack, name, date);
    return clusters[0];
}

uint32_t ImageBuilder::add_recording(const std::string& name, const std::vector<uint8_t>& ts,
                                     RecordingHeader h, EntryDate date,
                                     std::vector<uint32_t> clusters, uint32_t gap) {
    return add_file(0, kTypeRecording, name, recording_bytes(ts, h, gap), date,
                    std::move(clusters));
}

uint32_t ImageBuilder::add_dir(uint32_t parent, const std::string& name) {
    uint32_t c = free_clusters(1)[0];
    uint32_t slot = free_slot(parent);
    std::fill(cluster(c), cluster(c) + cluster_size_, kTypeEmpty);
    link_chain({c});
    dir_entry(parent, slot, kTypeSubdir, c, 1, 0, name);
    return c;
}

uint32_t ImageBuilder::add_list_file(const std::vector<std::string>& names, int32_t count,
                                     uint8_t type) {
    // Records at 512 x k for k = 1 .. names; the count word at 0.
    std::vector<uint8_t> data((names.size() + 1) * kListRecordSize, 0);
    put_be32(data.data(), count >= 0 ? uint32_t(count) : uint32_t(names.size()));
    for (size_t k = 1; k <= names.size(); ++k) {
        const std::string& n = names[k - 1];
        std::memcpy(&data[k * kListRecordSize], n.data(), std::min<size_t>(n.size(), kMaxListName));
    }
    return add_file(0, type, kListFileName, data);
}

std::vector<uint8_t> ImageBuilder::image() const {
    size_t total = disk_sectors_ > 0 ? size_t(disk_sectors_) * kSectorSize : 0;
    std::vector<uint8_t> out(total, 0);
    std::memcpy(out.data(), system_.data(), std::min(total, system_.size()));
    for (uint32_t n = 0; n < cluster_count_; ++n) {
        if (clusters_[n].empty()) continue;
        uint64_t at = uint64_t(n + 1) * cluster_size_;
        if (at >= total) break;
        std::memcpy(out.data() + at, clusters_[n].data(),
                    size_t(std::min<uint64_t>(cluster_size_, total - at)));
    }
    swap16_words(out.data(), out.size());
    return out;
}

void ImageBuilder::write(const std::string& path) const { write_file(path, image()); }

std::vector<uint8_t> recording_bytes(const std::vector<uint8_t>& ts, RecordingHeader h,
                                     uint32_t gap) {
    std::vector<uint8_t> out(kRecordingHeaderSize + size_t(gap), 0);
    put_be16(&out[kHeaderProgramNumber], h.program_number);
    put_be16(&out[kHeaderPmtPid], h.pmt_pid);
    put_be16(&out[kHeaderVideoPid], h.video_pid);
    put_be16(&out[kHeaderAudioPid], h.audio_pid);
    out.insert(out.end(), ts.begin(), ts.end());
    return out;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> load_sample_ts() { return read_file(PVR_SOURCE_DIR "/data/sample.ts"); }

ImageBuilder sample_disk() { return sample_disk_of(load_sample_ts()); }

ImageBuilder sample_disk_of(const std::vector<uint8_t>& ts) {
    constexpr uint16_t kMjd24Dec2002 = 52632;
    constexpr uint16_t kMjd5Jan2003 = 52644;
    constexpr size_t kDokuBytes =
        2 * 1024 * 1024 / kTsPacketSize * kTsPacketSize;  // about 2 MB, whole packets

    std::vector<uint8_t> doku(ts.begin(), ts.begin() + std::min(kDokuBytes, ts.size()));

    // 1 MiB clusters: 16 of them leave room for all three and some free ones.
    ImageBuilder img(16, 2048);
    img.add_recording("Film: Teil 1/2", ts, {}, {kMjd24Dec2002, 20, 15});  // clusters 1-4
    img.add_recording("News, 20:00", ts, {}, {}, {7, 5, 9, 6});            // fragmented
    img.add_list_file({"Doku", "Film: Teil 1/2", "News, 20:00"});          // cluster 8
    img.add_recording("Doku", doku, {}, {kMjd5Jan2003, 21, 45});           // clusters 10-12
    return img;
}
