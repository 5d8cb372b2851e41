// The image builder lays out the recorder's structures byte for byte. These
// tests read image() back with the helpers of disk/bytes.h only, never through
// the product's own disk code, so a fault in the builder cannot hide behind
// the same fault in the reader.
//
//   | image                                      | checked                                          |
//   | empty disk, 4 clusters of 1040 sectors     | PC byte order, signature, geometry, slack field, |
//   |                                            | both FATs (root end of chain, rest free), size   |
//   | recording in clusters 3, 1, 2              | chain in both FATs, entry fields, header PIDs,   |
//   |                                            | bytes of each cluster, zero slack bytes          |
//   | files of 0, cs and cs + 1 bytes            | cluster counts 1/1/2, slacks cs/0/cs - 1,        |
//   |                                            | lowest contiguous free run taken                 |
//   | list file, count override, subdirectory    | count word, records at 512 x k, type 0x00, name  |
//   | geometry without room for FAT2             | refused unless asked for; padding / truncation,  |
//   |                                            | pad_for_links for clusters under 1 MiB           |
//   | sample disk                                | entry order, fragmented chain, list order        |
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "disk/bytes.h"
#include "support/image_builder.h"

namespace {

constexpr uint16_t kSpc = 1040;              // 532480-byte clusters: FAT2 fits, images stay small
constexpr uint32_t kCs = kSpc * 512;

// The image in recorder order again.
std::vector<uint8_t> recorder_order(const ImageBuilder& img) {
    std::vector<uint8_t> b = img.image();
    swap16_words(b.data(), b.size());
    return b;
}
const uint8_t* at_cluster(const std::vector<uint8_t>& b, uint32_t n, uint32_t cs = kCs) { return &b[size_t(n + 1) * cs]; }
uint32_t fat1(const std::vector<uint8_t>& b, uint32_t n) { return get_be24(&b[0x20000 + 3 * n]); }
uint32_t fat2(const std::vector<uint8_t>& b, uint32_t n) { return get_be24(&b[0x80000 + 3 * n]); }
const uint8_t* entry(const std::vector<uint8_t>& b, uint32_t dir, uint32_t slot, uint32_t cs = kCs) {
    return at_cluster(b, dir, cs) + 128 * slot;
}

}  // namespace

TEST(ImageBuilder, EmptyDiskSystemAreaAndByteOrder) {
    ImageBuilder img(4, kSpc);
    img.set_root_dir_slack(0x1234);
    std::vector<uint8_t> raw = img.image();
    ASSERT_EQ(raw.size(), size_t(5) * kCs);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&raw[4]), 4), "EVML");  // the PC sees words swapped
    std::vector<uint8_t> b = recorder_order(img);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4]), 17), std::string("VELMORAN PVR HDD\0", 17));
    EXPECT_EQ(get_be16(&b[34]), kSpc);
    EXPECT_EQ(get_be32(&b[44]), 0x1234u);
    EXPECT_EQ(fat1(b, 0), 0xFFFFFEu);
    EXPECT_EQ(fat2(b, 0), 0xFFFFFEu);
    for (uint32_t n = 1; n < 4; ++n) {
        EXPECT_EQ(fat1(b, n), 0xFFFFFFu);
        EXPECT_EQ(fat2(b, n), 0xFFFFFFu);
    }
    for (uint32_t i = 0; i < kCs; ++i) ASSERT_EQ(at_cluster(b, 0)[i], 0xFF) << i;  // empty root slots
    EXPECT_EQ(at_cluster(b, 1)[0], 0);                                            // unused cluster zero
}

TEST(ImageBuilder, FragmentedRecordingChainEntryAndData) {
    ImageBuilder img(4, kSpc);
    std::vector<uint8_t> ts(2 * kCs, 0);
    for (size_t i = 0; i < ts.size(); ++i) ts[i] = uint8_t(i * 7 + 1);
    RecordingHeader h;
    h.program_number = 0x1234;
    h.pmt_pid = 0x200;
    h.video_pid = 0x201;
    h.audio_pid = 0x202;
    EXPECT_EQ(img.add_recording("Film", ts, h, {52632, 20, 15}, {3, 1, 2}, 10), 3u);
    std::vector<uint8_t> b = recorder_order(img);

    EXPECT_EQ(fat1(b, 3), 1u);
    EXPECT_EQ(fat1(b, 1), 2u);
    EXPECT_EQ(fat1(b, 2), 0xFFFFFEu);
    EXPECT_EQ(fat2(b, 3), 1u);
    EXPECT_EQ(fat2(b, 2), 0xFFFFFEu);

    const uint8_t* e = entry(b, 0, 0);
    const uint32_t size = 212 + 10 + 2 * kCs;
    EXPECT_EQ(e[0], 0xD1);
    EXPECT_EQ(get_be16(e + 1), 52632u);
    EXPECT_EQ(e[3], 20);
    EXPECT_EQ(e[4], 15);
    EXPECT_EQ(get_be24(e + 5), 0u);
    EXPECT_EQ(get_be32(e + 8), 3u);
    EXPECT_EQ(get_be32(e + 12), 3u);
    EXPECT_EQ(get_be32(e + 16), 3 * kCs - size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 20)), "Film");
    EXPECT_EQ(entry(b, 0, 1)[0], 0xFF);

    const uint8_t* first = at_cluster(b, 3);
    EXPECT_EQ(get_be16(first + 18), 0x1234u);
    EXPECT_EQ(get_be16(first + 20), 0x200u);
    EXPECT_EQ(get_be16(first + 24), 0x201u);
    EXPECT_EQ(get_be16(first + 26), 0x202u);
    EXPECT_EQ(first[221], 0);                  // gap
    EXPECT_EQ(first[222], ts[0]);
    EXPECT_EQ(at_cluster(b, 1)[0], ts[kCs - 222]);
    EXPECT_EQ(at_cluster(b, 2)[0], ts[2 * kCs - 222]);
    EXPECT_EQ(at_cluster(b, 2)[221], ts[2 * kCs - 1]);
    EXPECT_EQ(at_cluster(b, 2)[222], 0);       // slack bytes are zero
}

TEST(ImageBuilder, ClusterCountsSlacksAndDefaultAllocation) {
    ImageBuilder img(8, kSpc);
    img.link_chain({2});                                   // cluster 2 taken: 1 alone is no run of 2
    EXPECT_EQ(img.add_file(0, 0x01, "a", std::vector<uint8_t>(kCs + 1, 1)), 3u);
    EXPECT_EQ(img.add_file(0, 0x01, "b", {}), 1u);
    EXPECT_EQ(img.add_file(0, 0x01, "c", std::vector<uint8_t>(kCs, 2)), 5u);
    std::vector<uint8_t> b = recorder_order(img);
    EXPECT_EQ(get_be32(entry(b, 0, 0) + 12), 2u);
    EXPECT_EQ(get_be32(entry(b, 0, 0) + 16), kCs - 1);
    EXPECT_EQ(fat2(b, 3), 4u);
    EXPECT_EQ(get_be32(entry(b, 0, 1) + 12), 1u);
    EXPECT_EQ(get_be32(entry(b, 0, 1) + 16), kCs);
    EXPECT_EQ(get_be32(entry(b, 0, 2) + 12), 1u);
    EXPECT_EQ(get_be32(entry(b, 0, 2) + 16), 0u);
    EXPECT_EQ(img.free_clusters(2), (std::vector<uint32_t>{6, 7}));
}

TEST(ImageBuilder, ListFileAndSubdirectory) {
    ImageBuilder img(4, kSpc);
    uint32_t dir = img.add_dir(0, "Serien");
    uint32_t list = img.add_list_file({"Zwei", "Eins"}, 5);
    std::vector<uint8_t> b = recorder_order(img);
    EXPECT_EQ(entry(b, 0, 0)[0], 0xF2);
    EXPECT_EQ(get_be32(entry(b, 0, 0) + 8), dir);
    EXPECT_EQ(entry(b, dir, 0)[0], 0xFF);
    const uint8_t* e = entry(b, 0, 1);
    EXPECT_EQ(e[0], 0x00);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 20), 16), std::string("__FILETSDB__.ss\0", 16));
    const uint8_t* c = at_cluster(b, list);
    EXPECT_EQ(get_be32(c), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c + 512)), "Zwei");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c + 1024)), "Eins");
    EXPECT_EQ(get_be32(e + 16), kCs - 3 * 512);
}

TEST(ImageBuilder, GeometryCheckPaddingAndTruncation) {
    EXPECT_THROW(ImageBuilder(4, 1024), std::invalid_argument);   // FAT2 would start at the cluster's end
    ImageBuilder odd(4, 1024, false);
    EXPECT_EQ(odd.image().size(), size_t(5) * 1024 * 512);
    ImageBuilder img(2, kSpc);
    img.set_disk_sectors(4 * kSpc + 1);
    EXPECT_EQ(img.image().size(), size_t(4 * kSpc + 1) * 512);
    img.set_disk_sectors(1);
    EXPECT_EQ(img.image().size(), 512u);
    ImageBuilder small(4, kSpc);                                   // 5 x 1040 sectors: under 3 MiB
    small.pad_for_links();
    EXPECT_EQ(small.disk_sectors(), 6 * kSpc);                     // 6240 / 2048 = 3, the highest link
}

TEST(ImageBuilder, SampleDisk) {
    ImageBuilder img = sample_disk();
    const uint32_t cs = img.cluster_size();
    std::vector<uint8_t> b = recorder_order(img);
    const char* names[] = {"Film: Teil 1/2", "News, 20:00", "__FILETSDB__.ss", "Doku"};
    for (uint32_t s = 0; s < 4; ++s)
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry(b, 0, s, cs) + 20)), names[s]);
    EXPECT_EQ(get_be16(entry(b, 0, 0, cs) + 1), 52632u);
    EXPECT_EQ(get_be16(entry(b, 0, 1, cs) + 1), 0u);
    EXPECT_EQ(get_be32(entry(b, 0, 1, cs) + 8), 7u);
    EXPECT_EQ(fat2(b, 7), 5u);
    EXPECT_EQ(fat2(b, 5), 9u);
    EXPECT_EQ(fat2(b, 9), 6u);
    EXPECT_EQ(fat2(b, 6), 0xFFFFFEu);
    const uint8_t* list = at_cluster(b, get_be32(entry(b, 0, 2, cs) + 8), cs);
    EXPECT_EQ(get_be32(list), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(list + 512)), "Doku");
    EXPECT_LT(b.size(), size_t(20) << 20);
}
