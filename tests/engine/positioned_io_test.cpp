#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "support/temp_folder.h"
#include "swizzler/target_creation.h"
#include "util/log.h"
#include "util/page_buffer.h"
#include "util/positioned_io.h"
#include "util/transfer_faults.h"
#include "util/transfer_synchronous.h"

namespace {

std::uint8_t pattern(std::uint64_t at) {
    return static_cast<std::uint8_t>((at * 131) ^ (at >> 8) ^ (at >> 16));
}

class positioned_io_test : public ::testing::Test {
  protected:
    temp_folder_s folder;
    std::string log_path;

    void SetUp() override {
        log_path = folder.path + "/io.log";
        ASSERT_TRUE(open_log_file(log_path.c_str()));
    }
    void TearDown() override { close_log_file(); }

    std::string write_pattern_file(const char* name, std::uint64_t bytes) {
        std::string path = folder.path + "/" + name;
        std::vector<std::uint8_t> data(bytes);
        for (std::uint64_t i = 0; i < bytes; ++i) {
            data[i] = pattern(i);
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, data.data(), bytes), static_cast<ssize_t>(bytes));
        EXPECT_EQ(fdatasync(fd), 0);
        close(fd);
        return path;
    }

    std::string log_text() { return read_text_file(log_path); }
};

// (offset, length) pairs that start and end on, before and after the sector grid, and buffer
// addresses that are and are not aligned with it.
struct span_s {
    std::uint64_t offset, length;
};
const span_s spans[] = {{0, 4096},  {512, 1024},   {100, 3000}, {4000, 200},
                        {0, 64},    {448, 832},    {8128, 128}, {0, 65536},
                        {1, 65535}, {4096, 61440}, {511, 2},    {60000, 5536}};
const std::uint64_t shifts[] = {0, 64, 512, 4096};

TEST_F(positioned_io_test, reads_of_any_offset_length_and_buffer_address_bring_the_right_bytes) {
    std::string path = write_pattern_file("source", 65536);
    int error = -1;
    file_handle_s file = open_source_file(path, &error);
    ASSERT_EQ(error, 0);
    page_buffer_s buffer = allocate_pages(2 * 65536);
    ASSERT_NE(buffer.data, nullptr);
    for (auto span : spans) {
        for (auto shift : shifts) {
            SCOPED_TRACE(testing::Message() << "offset " << span.offset << " length " << span.length
                                            << " shift " << shift);
            std::uint8_t* into = buffer.data + shift;
            ASSERT_TRUE(read_at(file, span.offset, span.length, into));
            std::uint64_t wrong = 0;
            for (std::uint64_t i = 0; i < span.length; ++i) {
                wrong += into[i] != pattern(span.offset + i);
            }
            EXPECT_EQ(wrong, 0u);
        }
    }
    release_pages(buffer);
    close_file_handle(file);
}

TEST_F(positioned_io_test, writes_in_pieces_of_any_alignment_leave_exactly_the_data_written) {
    constexpr std::uint64_t size = 65536;
    std::string path = folder.path + "/target";
    file_handle_s target = create_target_file(path, size);
    ASSERT_GE(target.fd, 0);
    page_buffer_s buffer = allocate_pages(2 * size);
    ASSERT_NE(buffer.data, nullptr);
    // Cut the file at uneven points, so pieces share sectors and pages with their neighbours,
    // and write them out of order through buffers at several alignments.
    const std::uint64_t cuts[] = {0,     100,   612,   4096,  5000,  9000,  16384,
                                  16448, 20480, 33000, 40960, 41023, 60000, size};
    const int order[] = {3, 0, 12, 5, 1, 8, 2, 10, 4, 6, 11, 7, 9};
    for (int k = 0; k < 13; ++k) {
        std::uint64_t from = cuts[order[k]], to = cuts[order[k] + 1];
        std::uint8_t* data = buffer.data + shifts[k % 4];
        for (std::uint64_t i = from; i < to; ++i) {
            data[i - from] = pattern(i);
        }
        ASSERT_EQ(write_at(target, from, to - from, data), 0);
    }
    close_file_handle(target);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> back(size + 1);
    ASSERT_EQ(read(fd, back.data(), size + 1), static_cast<ssize_t>(size));
    close(fd);
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        wrong += back[i] != pattern(i);
    }
    EXPECT_EQ(wrong, 0u);
    release_pages(buffer);
}

bool resident(const std::string& path, std::uint64_t bytes, std::uint64_t page_index) {
    int fd = open(path.c_str(), O_RDONLY);
    void* map = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    std::vector<unsigned char> pages(bytes / 4096);
    bool in_cache =
        map != MAP_FAILED && mincore(map, bytes, pages.data()) == 0 && (pages[page_index] & 1) != 0;
    munmap(map, bytes);
    return in_cache;
}

TEST_F(positioned_io_test, aligned_reads_leave_the_page_cache_alone_and_unaligned_ones_use_it) {
    constexpr std::uint64_t size = 1 << 20;
    std::string path = write_pattern_file("cached", size);
    int error = 0;
    file_handle_s file = open_source_file(path, &error);
    ASSERT_EQ(error, 0);
    if (file.direct_fd < 0) {
        GTEST_SKIP() << "this file system refuses direct I/O";
    }
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    page_buffer_s buffer = allocate_pages(size);
    ASSERT_TRUE(read_at(file, 0, size / 2, buffer.data));
    ASSERT_TRUE(read_at(file, size / 2 + 100, 1000, buffer.data));
    EXPECT_FALSE(resident(path, size, 0));
    EXPECT_FALSE(resident(path, size, 100));
    EXPECT_TRUE(resident(path, size, size / 2 / 4096)); // the unaligned read went through it
    release_pages(buffer);
    close_file_handle(file);
}

TEST_F(positioned_io_test, short_and_failed_reads_are_failures_that_say_where) {
    std::string path = write_pattern_file("short", 10000);
    int error = 0;
    file_handle_s file = open_source_file(path, &error);
    ASSERT_EQ(error, 0);
    page_buffer_s buffer = allocate_pages(8192);

    EXPECT_FALSE(read_at(file, 8192, 4096, buffer.data));
    EXPECT_FALSE(read_at(file, 10000, 64, buffer.data));
    transfer_backend_s failing = with_faults(
        synchronous_transfers(), [](const file_handle_s&, io_direction, std::uint64_t offset,
                                    std::uint64_t) { return offset == 512 ? EIO : 0; });
    ASSERT_TRUE(open_transfers(failing, 1, nullptr));
    EXPECT_FALSE(read_at(failing, file, 512, 512, buffer.data));
    EXPECT_TRUE(read_at(failing, file, 0, 512, buffer.data));

    std::string log = log_text();
    EXPECT_NE(log.find(" Failed to read file at offset 8192, the file ends after 1808 of 4096 "
                       "bytes\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" Failed to read file at offset 10000, the file ends after 0 of 64 bytes\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" Failed to read file at offset 512, error 5\n"), std::string::npos) << log;

    file_handle_s missing = open_source_file(folder.path + "/none", &error);
    EXPECT_EQ(missing.fd, -1);
    EXPECT_EQ(error, ENOENT);
    release_pages(buffer);
    close_file_handle(file);
}

TEST_F(positioned_io_test, a_failed_write_is_reported_to_its_caller_and_logged) {
    std::string path = write_pattern_file("read_only", 4096);
    file_handle_s file;
    ASSERT_EQ(open_file_handle(path, O_RDONLY, 0, &file), 0);
    page_buffer_s buffer = allocate_pages(4096);
    EXPECT_EQ(write_at(file, 0, 512, buffer.data), EBADF);
    EXPECT_EQ(write_at(file, 100, 7, buffer.data), EBADF);
    EXPECT_NE(
        read_text_file(log_path).find("Failed to write to " + path + " at offset 100, error 9"),
        std::string::npos);
    release_pages(buffer);
    close_file_handle(file);
}

} // namespace
