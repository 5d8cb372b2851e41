// Opening a built image file through the native backend.
//   | disk                         | expected                                   |
//   | the sample disk              | opened, 1 MiB clusters, no warning at all  |
//   | the same image, signature cut| "Bad signature in saved image!\n"          |
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/capture.h"
#include "support/image_builder.h"

namespace fs = std::filesystem;

class DiskOpen : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pvr_open_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        old_ = fs::current_path();
        fs::current_path(dir_);
        clear_capture();
    }
    void TearDown() override {
        qv_close();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    fs::path dir_, old_;
};

TEST_F(DiskOpen, HealthySampleDiskOpensWithoutWarnings) {
    ImageBuilder img = sample_disk();
    img.write("qvdisk.img");
    ASSERT_EQ(open_qvdisk(capture_progress), 0) << qv_error;
    EXPECT_EQ(qv->cluster_size, 1048576u);
    EXPECT_EQ(qv->cluster_count, img.cluster_count());
    EXPECT_TRUE(capture().messages.empty());
}

TEST_F(DiskOpen, BadSignatureIsRefused) {
    ImageBuilder img(4);
    img.set_signature(std::string("VELMORAN PVR HDX\0", 17));
    img.write("qvdisk.img");
    EXPECT_EQ(open_qvdisk(capture_progress), 1);
    EXPECT_STREQ(qv_error, "Bad signature in saved image!\n");
}
