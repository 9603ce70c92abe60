#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "support/scripted_boxes.h"
#include "support/temp_folder.h"
#include "swizzler/target_creation.h"
#include "util/log.h"

namespace {

class target_file_test : public ::testing::Test {
  protected:
    temp_folder_s folder;
    std::string log_path;
    scripted_boxes_s boxes;

    void SetUp() override {
        log_path = folder.path + "/target.log";
        ASSERT_TRUE(open_log_file(log_path.c_str()));
        install_scripted_boxes(boxes);
    }
    void TearDown() override {
        remove_scripted_boxes();
        close_log_file();
    }
};

struct stat status_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status;
}

TEST_F(target_file_test, a_target_gets_exactly_its_size_with_its_blocks_reserved) {
    std::string path = folder.path + "/1_0_12.swizzling";
    // New, then a leftover reopened at a smaller and at a larger size.
    for (std::uint64_t size : {12u << 18, 4u << 18, 8u << 18}) {
        SCOPED_TRACE(size);
        file_handle_s target = create_target_file(path, size);
        ASSERT_GE(target.fd, 0);
        close_file_handle(target);
        struct stat status = status_of(path);
        EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), size);
        EXPECT_GE(static_cast<std::uint64_t>(status.st_blocks) * 512, size);
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(target_file_test, a_target_that_cannot_be_created_is_only_logged) {
    std::string path = folder.path + "/missing/1_0_8.swizzling";
    file_handle_s target = create_target_file(path, 8 << 18);
    EXPECT_EQ(target.fd, -1);
    EXPECT_NE(read_text_file(log_path).find(" Could not create file: " + path +
                                            " Error code 2 (No such file or directory)\n"),
              std::string::npos);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(target_file_test, the_final_name_never_replaces_an_existing_file) {
    std::string from = folder.path + "/1_0_8.swizzling", to = folder.path + "/1_0_8";
    std::ofstream(from) << "converted";
    std::ofstream(to) << "already here";
    int error = 0;
    EXPECT_FALSE(rename_without_replacing(from, to, &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(read_text_file(to), "already here");
    EXPECT_EQ(read_text_file(from), "converted");

    ASSERT_EQ(unlink(to.c_str()), 0);
    EXPECT_TRUE(rename_without_replacing(from, to, &error));
    EXPECT_EQ(read_text_file(to), "converted");
    EXPECT_EQ(access(from.c_str(), F_OK), -1);
    EXPECT_TRUE(sync_folder_of(to, &error));
}

} // namespace
