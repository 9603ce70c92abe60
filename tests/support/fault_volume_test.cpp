// The fault volume that other tests use as a faulty drive: it must mirror its folder, fail and
// wait exactly on cue through plain system calls, and leave nothing mounted or running behind,
// even when a file on it is still open at scope end.
#include "support/fault_volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t piece = 4096;

// Bytes whose every 4 KiB piece differs from the others.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i / piece * 7 + i) % 251);
    }
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// pread of one piece: the bytes, or the errno it failed with ("" and *error set).
std::string read_piece(int fd, off_t offset, int* error) {
    std::string bytes(piece, '\0');
    ssize_t got = pread(fd, bytes.data(), piece, offset);
    *error = got < 0 ? errno : 0;
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
}

class fault_volume_test : public ::testing::Test {
  protected:
    temp_folder_s folder;
    std::string backing;

    void SetUp() override {
        ASSERT_FALSE(folder.path.empty());
        backing = folder.path + "/backing";
        ASSERT_EQ(mkdir(backing.c_str(), 0755), 0);
    }
};

TEST_F(fault_volume_test, the_mirror_reads_writes_and_deletes_in_the_backing_folder) {
    std::string data = pattern(5 * piece + 100);
    write_file(backing + "/plot", data);
    fault_volume_s volume(backing, folder.path + "/mount");
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }

    // The control file is there to be used but not listed.
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(volume.path)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"plot"});
    EXPECT_EQ(fault_figure(volume, "reads"), "0");

    std::ifstream in(volume.path + "/plot", std::ios::binary);
    std::string seen((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(seen == data) << "the mirror read other bytes";
    EXPECT_EQ(fs::file_size(volume.path + "/plot"), data.size());

    write_file(volume.path + "/made", "written through the mount");
    fs::rename(volume.path + "/made", volume.path + "/renamed");
    EXPECT_EQ(read_text_file(backing + "/renamed"), "written through the mount");
    fs::remove(volume.path + "/plot");
    EXPECT_FALSE(fs::exists(backing + "/plot"));
}

TEST_F(fault_volume_test, reads_and_writes_fail_on_cue_and_the_cues_change_while_mounted) {
    std::string data = pattern(4 * piece);
    write_file(backing + "/failing", data);
    write_file(backing + "/other", data);
    // Each pread reaches the file system as it was made: no cache, no read-ahead.
    fault_volume_s volume(backing, folder.path + "/mount",
                          {"--direct-io", "--fail-reads", "EIO", "--fail-file", "failing",
                           "--fail-from-offset", std::to_string(2 * piece)});
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }
    int failing = open((volume.path + "/failing").c_str(), O_RDWR | O_CLOEXEC);
    int other = open((volume.path + "/other").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(failing, 0);
    ASSERT_GE(other, 0);

    // Below the offset the named file reads; a read that reaches it fails, another file never.
    int error = 0;
    EXPECT_TRUE(read_piece(failing, piece, &error) == data.substr(piece, piece));
    EXPECT_EQ(error, 0);
    read_piece(failing, piece + 1, &error);
    EXPECT_EQ(error, EIO) << "a read that reaches the offset must fail";
    read_piece(failing, 3 * piece, &error);
    EXPECT_EQ(error, EIO);
    EXPECT_TRUE(read_piece(other, 3 * piece, &error) == data.substr(3 * piece));
    EXPECT_EQ(error, 0);

    // Lifted while mounted, the same read succeeds.
    ASSERT_TRUE(set_fault_cues(volume, "fail_reads=0\n"));
    EXPECT_TRUE(read_piece(failing, 3 * piece, &error) == data.substr(3 * piece));
    EXPECT_EQ(error, 0);

    // Writes to any file: the first two succeed, then they fail with the errno named.
    ASSERT_TRUE(set_fault_cues(volume, "fail_file=\nfail_from_offset=0\nfail_writes=ENOSPC\n"
                                       "fail_after=2\n"));
    std::string block(piece, 'w');
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(pwrite(failing, block.data(), piece, i * static_cast<off_t>(piece)),
                  static_cast<ssize_t>(piece));
    }
    EXPECT_EQ(pwrite(failing, block.data(), piece, 2 * piece), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_text_file(backing + "/failing").substr(0, 2 * piece), block + block);
    EXPECT_TRUE(read_text_file(backing + "/failing").substr(2 * piece) == data.substr(2 * piece))
        << "a failed write changed the file";

    // A line it does not know changes nothing, not even the lines before it.
    EXPECT_FALSE(set_fault_cues(volume, "fail_writes=0\nno_such_cue=1\n"));
    EXPECT_EQ(fault_figure(volume, "fail_writes"), std::to_string(ENOSPC));
    EXPECT_EQ(pwrite(failing, block.data(), piece, 3 * piece), -1);
    close(failing);
    close(other);
}

TEST_F(fault_volume_test, a_read_delay_holds_every_read_that_reaches_the_drive) {
    write_file(backing + "/slow", pattern(6 * piece));
    fault_volume_s volume(backing, folder.path + "/mount",
                          {"--direct-io", "--read-delay-ms", "60"});
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }
    int fd = open((volume.path + "/slow").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Only a lower bound: however slow the machine, four delayed reads take four delays.
    auto start = std::chrono::steady_clock::now();
    int error = 0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read_piece(fd, i * static_cast<off_t>(piece), &error).size(), piece);
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(4 * 60));
    EXPECT_EQ(fault_figure(volume, "reads"), "4");
    close(fd);
}

TEST_F(fault_volume_test, scope_end_unmounts_and_ends_the_server_even_with_a_file_open) {
    write_file(backing + "/held", pattern(piece));
    pid_t server = -1;
    std::string mount_point = folder.path + "/mount";
    int held = -1;
    {
        fault_volume_s volume(backing, mount_point, {"--direct-io"});
        if (!volume.why_not.empty()) {
            GTEST_SKIP() << volume.why_not;
        }
        server = volume.server;
        held = open((volume.path + "/held").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
    }
    EXPECT_FALSE(fs::exists(mount_point)) << "the mount point is left behind";
    EXPECT_EQ(kill(server, 0), -1) << "the server still runs";
    EXPECT_EQ(errno, ESRCH);
    // The file still open fails instead of waiting for a server that is gone.
    int error = 0;
    read_piece(held, 0, &error);
    EXPECT_NE(error, 0);
    close(held);
}

} // namespace
