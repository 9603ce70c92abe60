#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "small_volume.h"
#include "support/scripted_boxes.h"
#include "support/temp_folder.h"
#include "util/log.h"
#include "util/target_file.h"

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
    EXPECT_NE(read_text_file(log_path).find(" Could not create file: " + path + " Error code 2\n"),
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

void write_filler(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    std::string block(bytes, 'f');
    out << block;
}

TEST_F(target_file_test, each_out_of_space_question_shows_fresh_numbers_until_the_target_fits) {
    small_volume_s small(folder.path + "/small", "4m");
    const std::string& volume = small.path;
    if (!small.mounted) {
        GTEST_SKIP() << "mounting a small tmpfs needs root; the out-of-space path is not tested";
    }
    write_filler(volume + "/filler1", 5 << 19); // 2.5 MiB
    write_filler(volume + "/filler2", 1 << 20); // 0.5 MiB left
    std::vector<std::string> questions;
    set_message_box_handler([&](int, const char* title, const char* text, message_box_kind) {
        questions.push_back(std::string(title) + ": " + text);
        // Make some room after the first question and enough after the second.
        unlink((volume + (questions.size() == 1 ? "/filler2" : "/filler1")).c_str());
        return true;
    });
    std::string path = volume + "/1_0_8.swizzling";
    file_handle_s target = create_target_file(path, 8 << 18);
    ASSERT_GE(target.fd, 0);
    close_file_handle(target);
    EXPECT_EQ(static_cast<std::uint64_t>(status_of(path).st_size), 8u << 18);

    const char* tail = " more is needed.\nThis can happen if new files have been created on the "
                       "drive outside of plotting or if plotting to a drive with Windows swap "
                       "file.\nWould you like to retry (free up some space first if you can)?";
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "Out of space: Not enough free space. Attempting to set file size "
                            "to: 2.1 MB\nThere appears to be only 524.3 KB free on the drive for " +
                                path + ". 1.6 MB" + tail);
    EXPECT_EQ(questions[1], "Out of space: Not enough free space. Attempting to set file size "
                            "to: 2.1 MB\nThere appears to be only 1.6 MB free on the drive for " +
                                path + ". 524.3 KB" + tail);
}

} // namespace
