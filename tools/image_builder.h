// Builds recorder disk images in memory for tests, fuzz seeds and demos.
//
// Everything is composed in recorder order (big-endian numbers, as the
// recorder sees its disk) and turned into what a PC reads (every 16-bit word
// byte-exchanged) only by image(). Damage is made by writing the structures
// directly: fat1()/fat2(), boot(), cluster() and dir_entry() give raw access.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordingHeader {
    uint16_t program_number = 1;
    uint16_t pmt_pid = 0x100;
    uint16_t video_pid = 0x101;
    uint16_t audio_pid = 0x102;
};

// What a crash or a scratch leaves of a copy of the allocation table.
enum class TableDamage {
    kZeroed,  // every byte 0: each entry links to cluster 0
    kJunk,    // bytes of a fixed pseudo-random sequence
};

struct EntryDate {
    uint16_t mjd = 0;  // 0: no date
    uint8_t hour = 0;
    uint8_t minute = 0;
};

class ImageBuilder {
public:
    // A disk of cluster_count data clusters of sectors_per_cluster sectors
    // each, plus the system area. All clusters free, both FAT copies equal,
    // an empty root directory in cluster 0 (its FAT entry is end of chain).
    explicit ImageBuilder(uint32_t cluster_count = 16, uint16_t sectors_per_cluster = 2048);
    // check_geometry false: also builds a disk whose cluster 0 cannot hold
    // both FAT copies (FAT entries that do not fit are dropped silently);
    // the default constructor throws std::invalid_argument for one.
    ImageBuilder(uint32_t cluster_count, uint16_t sectors_per_cluster, bool check_geometry);

    uint32_t cluster_size() const { return cluster_size_; }
    uint32_t cluster_count() const { return cluster_count_; }

    // Disk size in sectors as image() will make it; by default
    // (cluster_count + 1) clusters. A larger value pads with zeros (so links
    // up to the size in MiB pass the range check), a smaller one truncates.
    void set_disk_sectors(int64_t sectors) { disk_sectors_ = sectors; }
    int64_t disk_sectors() const { return disk_sectors_; }
    // With clusters under 1 MiB the default size is too small for the range
    // check (a link above disk_sectors / 2048 is wrong): pads the disk so
    // every link up to cluster_count - 1 passes. The product then sees
    // disk_sectors / sectors_per_cluster - 1 clusters, the extra ones free;
    // throws std::invalid_argument when their FAT entries would not fit.
    void pad_for_links();

    // Raw structures, recorder order.
    std::vector<uint8_t>& boot() { return system_; }  // the whole system area; sector 0 first
    uint8_t* cluster(uint32_t n);                     // FAT cluster n (n < cluster_count)
    void set_fat(uint32_t n, uint32_t value);         // both copies
    void set_fat1(uint32_t n, uint32_t value);
    void set_fat2(uint32_t n, uint32_t value);
    uint32_t fat1(uint32_t n) const;
    uint32_t fat2(uint32_t n) const;
    // Damages copy 1 or 2 of the table from entry `from` to the end of its
    // region (a half-written copy: from the middle on).
    void damage_fat(int copy, TableDamage damage, uint32_t from = 0);
    void set_root_dir_slack(uint32_t slack);  // boot sector offset 44 (default 0)
    uint32_t root_dir_slack() const;
    // Root entries the product reads: (((cluster_size - slack) & 0xFFE00) + 512) / 128.
    // With 1 MiB clusters and slack 0 that is only 4; slack 512 gives the whole cluster.
    uint32_t root_entry_count() const;
    void set_sectors_per_cluster_field(uint16_t value);  // damages the geometry only
    void set_signature(const std::string& text17);       // 17 raw bytes at offset 4

    // Links clusters into one chain in the given order (last one end of chain).
    void link_chain(const std::vector<uint32_t>& clusters);
    // The next free clusters, lowest first (not yet allocated).
    std::vector<uint32_t> free_clusters(uint32_t count) const;

    // Writes a directory entry into slot `slot` of directory cluster dir
    // (names longer than 107 characters are cut, as the recorder does).
    void dir_entry(uint32_t dir, uint32_t slot, uint8_t type, uint32_t start_cluster,
                   uint32_t num_clusters, uint32_t last_cluster_slack, const std::string& name,
                   EntryDate date = {});
    // Writes the 108 name bytes of an entry raw (no NUL added).
    void dir_entry_raw_name(uint32_t dir, uint32_t slot, const uint8_t name[108]);
    // The first empty slot of directory dir (throws when full; the root
    // directory counts as full after root_entry_count() slots).
    uint32_t free_slot(uint32_t dir) const;

    // Stores data as a file: allocates clusters (contiguous free ones, or the
    // given list for fragmented chains), links them, writes the bytes and the
    // directory entry with num_clusters and last_cluster_slack. Returns the
    // start cluster.
    uint32_t add_file(uint32_t dir, uint8_t type, const std::string& name,
                      const std::vector<uint8_t>& data, EntryDate date = {},
                      std::vector<uint32_t> clusters = {});
    // A recording (type 0xD1): the 212-byte header (PIDs from h, the rest
    // zero), `gap` filler bytes, then the transport packets.
    uint32_t add_recording(const std::string& name, const std::vector<uint8_t>& ts,
                           RecordingHeader h = {}, EntryDate date = {},
                           std::vector<uint32_t> clusters = {}, uint32_t gap = 0);
    // A subdirectory (type 0xF2) of one cluster with empty slots; returns its cluster.
    uint32_t add_dir(uint32_t parent, const std::string& name);
    // The recorder's list file "__FILETSDB__.ss" in the root directory,
    // with one 512-byte record per name (at most 511 characters kept);
    // count overrides the stored count; type is the entry's type byte.
    uint32_t add_list_file(const std::vector<std::string>& names, int32_t count = -1,
                           uint8_t type = 0x00);

    // The image as the PC reads it (16-bit words exchanged), disk_sectors x 512 bytes.
    std::vector<uint8_t> image() const;
    void write(const std::string& path) const;

private:
    bool is_free(uint32_t n) const;  // not allocated here and free in both FAT copies
    uint32_t cluster_count_;
    uint32_t cluster_size_;
    int64_t disk_sectors_;
    std::vector<uint8_t> system_;                 // disk cluster 0
    std::vector<std::vector<uint8_t>> clusters_;  // FAT clusters, allocated on first use
    std::vector<bool> used_;
};

// A recording's recorder-order bytes: header, gap, packets (what a raw copy holds).
std::vector<uint8_t> recording_bytes(const std::vector<uint8_t>& ts, RecordingHeader h,
                                     uint32_t gap = 0);

// The bundled sample transport stream (data/sample.ts).
std::vector<uint8_t> load_sample_ts();
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// The sample disk of the demo: three recordings made from the sample with
// dates, one in a fragmented chain, and a list file naming them; made of the
// transport stream ts (the sample's bytes).
ImageBuilder sample_disk();
ImageBuilder sample_disk_of(const std::vector<uint8_t>& ts);
