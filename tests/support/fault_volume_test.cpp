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

// pwrite of all of `bytes`; true when all were reported written.
bool write_at(int fd, const std::string& bytes, off_t offset) {
    return pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
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

TEST_F(fault_volume_test, a_failed_flush_loses_the_unflushed_writes_once_and_a_bit_flips_unseen) {
    fault_volume_s volume(
        backing, folder.path + "/mount",
        {"--direct-io", "--fail-file", "out", "--fail-flushes", "EIO", "--fail-after", "1"});
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }
    int out = open((volume.path + "/out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    int other = open((volume.path + "/other").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    ASSERT_GE(other, 0);
    std::string flushed = pattern(2 * piece);
    ASSERT_TRUE(write_at(out, flushed, 0));
    EXPECT_EQ(fdatasync(out), 0) << "the first matching flush is let through";

    // An overwrite and a growth since: the failing flush loses both, and says so only once.
    ASSERT_TRUE(write_at(out, std::string(100, 'x'), piece));
    ASSERT_TRUE(write_at(out, std::string(piece, 'y'), 2 * piece));
    ASSERT_TRUE(write_at(other, "not named", 0));
    EXPECT_EQ(fsync(other), 0);
    EXPECT_EQ(fdatasync(out), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(read_text_file(backing + "/out") == flushed) << "the lost writes are still there";
    EXPECT_EQ(fdatasync(out), 0) << "a lost write-back is reported once";
    EXPECT_EQ(read_text_file(backing + "/other"), "not named");
    EXPECT_EQ(fault_figure(volume, "flushes_failed"), "1");
    EXPECT_EQ(fault_figure(volume, "flushes"), "3");
    ASSERT_TRUE(set_fault_cues(volume, "fail_after=0\nfail_flush_times=0\n"));
    EXPECT_EQ(fsync(out), -1) << "with no limit every matching flush fails";
    EXPECT_EQ(fsync(out), -1);

    // A write covering the cue's byte lands with its lowest bit inverted; no other byte changes.
    std::string bytes = pattern(3 * piece);
    std::reverse(bytes.begin(), bytes.end());
    ASSERT_TRUE(
        set_fault_cues(volume, "fail_flushes=0\nflip_bit_at=" + std::to_string(piece + 5) + "\n"));
    ASSERT_TRUE(write_at(out, bytes.substr(0, piece), 0));
    ASSERT_TRUE(write_at(out, bytes.substr(piece), piece));
    ASSERT_TRUE(write_at(other, bytes, 0));
    std::string flipped = bytes;
    flipped[piece + 5] = static_cast<char>(flipped[piece + 5] ^ 1);
    EXPECT_TRUE(read_text_file(backing + "/out") == flipped) << "not exactly the one bit flipped";
    EXPECT_TRUE(read_text_file(backing + "/other") == bytes) << "a file not named changed";
    EXPECT_EQ(fault_figure(volume, "bits_flipped"), "1");
    close(out);
    close(other);
}

TEST_F(fault_volume_test, a_power_cut_undoes_every_unflushed_write_and_truncation_across_renames) {
    std::string old = pattern(4 * piece);
    write_file(backing + "/kept", old);
    fault_volume_s volume(backing, folder.path + "/mount", {"--direct-io"});
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }
    int kept = open((volume.path + "/kept").c_str(), O_RDWR | O_CLOEXEC);
    int part = open((volume.path + "/part").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int fresh = open((volume.path + "/fresh").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(kept, 0);
    ASSERT_GE(part, 0);
    ASSERT_GE(fresh, 0);
    std::string a(piece, 'a');
    std::string b(piece, 'b');
    ASSERT_TRUE(write_at(kept, a, 0));
    ASSERT_EQ(fsync(kept), 0);
    ASSERT_TRUE(write_at(part, a, 0));
    ASSERT_EQ(fdatasync(part), 0);

    // Unflushed: an overwrite and two shrinks, writes before and after a rename, a new file.
    ASSERT_TRUE(write_at(kept, b, piece));
    ASSERT_EQ(ftruncate(kept, 3 * piece), 0);
    fs::resize_file(volume.path + "/kept", piece + 10);
    ASSERT_TRUE(write_at(part, b, piece));
    fs::rename(volume.path + "/part", volume.path + "/done");
    ASSERT_TRUE(write_at(part, b, 0));
    ASSERT_TRUE(write_at(fresh, b, 0));
    ASSERT_TRUE(set_fault_cues(volume, "power_cut=1\n"));
    EXPECT_TRUE(read_text_file(backing + "/kept") == a + old.substr(piece))
        << "the cut did not bring back the flushed file";
    EXPECT_EQ(read_text_file(backing + "/done"), a) << "a write after the rename survived";
    EXPECT_EQ(fs::file_size(backing + "/fresh"), 0u);

    // Nothing is pending after the cut: a second one leaves a change made since alone.
    write_file(backing + "/fresh", "changed beside the mount");
    ASSERT_TRUE(set_fault_cues(volume, "power_cut=1\n"));
    EXPECT_EQ(read_text_file(backing + "/fresh"), "changed beside the mount");
    EXPECT_FALSE(set_fault_cues(volume, "power_cut=2\n"));
    close(kept);
    close(part);
    close(fresh);
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
