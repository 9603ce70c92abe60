// Opening a file for direct and ordinary transfers, and finding its direct-I/O alignment.
//
// The alignment comes from statx(STATX_DIOALIGN) where the kernel reports it, else from the
// logical block size of the device under the file (sysfs), else from st_blksize, which is at
// least as strict as the real rule on every file system that gives no better answer.
#include "util/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

int open_retrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void close_quietly(int fd) {
    if (fd >= 0) {
        // Linux releases the descriptor even when close reports EINTR, so it is never retried.
        close(fd);
    }
}

// A figure of the block device under a file (logical_block_size, physical_block_size); 0 when
// there is none, as for tmpfs and FUSE.
std::uint32_t device_queue_figure(dev_t device, const char* figure) {
    char path[128];
    unsigned dev_major = major(device), dev_minor = minor(device);
    // A partition has no queue of its own; its disk's queue is one folder up.
    const char* patterns[] = {"/sys/dev/block/%u:%u/queue/%s", "/sys/dev/block/%u:%u/../queue/%s"};
    for (const char* pattern : patterns) {
        std::snprintf(path, sizeof path, pattern, dev_major, dev_minor, figure);
        if (std::FILE* file = std::fopen(path, "r")) {
            unsigned size = 0;
            bool read = std::fscanf(file, "%u", &size) == 1;
            std::fclose(file);
            if (read && size > 0) {
                return size;
            }
        }
    }
    return 0;
}

// False when direct transfers are impossible for this file.
bool find_alignment(int direct_fd, std::uint32_t* alignment, std::uint32_t* memory_alignment) {
#ifdef STATX_DIOALIGN
    struct statx about {};
    if (statx(direct_fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &about) == 0 &&
        (about.stx_mask & STATX_DIOALIGN) != 0) {
        if (about.stx_dio_offset_align == 0) {
            return false; // the file system says this file cannot do direct I/O
        }
        *alignment = about.stx_dio_offset_align;
        *memory_alignment = about.stx_dio_mem_align > 0 ? about.stx_dio_mem_align : 1;
        return true;
    }
#endif
    struct stat status {};
    if (fstat(direct_fd, &status) != 0) {
        return false;
    }
    std::uint32_t block =
        major(status.st_dev) != 0 ? device_queue_figure(status.st_dev, "logical_block_size") : 0;
    if (block == 0) {
        block = static_cast<std::uint32_t>(status.st_blksize);
    }
    if (block == 0) {
        return false;
    }
    *alignment = block;
    *memory_alignment = block;
    return true;
}

std::uint32_t largest_power_of_two_at_most(std::uint64_t value) {
    std::uint32_t power = 1;
    while (power <= value / 2 && power < (1u << 30)) {
        power *= 2;
    }
    return power;
}

// The alignment that transfers should keep to for speed, within 512 bytes and 128 KiB (every
// run boundary of a plot is a multiple of 128 KiB).
std::uint32_t preferred_alignment(int fd, std::uint32_t direct_alignment) {
    std::uint64_t wanted = std::max<std::uint64_t>(direct_alignment, 512);
    struct stat status {};
    if (fstat(fd, &status) == 0) {
        wanted = std::max<std::uint64_t>(wanted, static_cast<std::uint64_t>(status.st_blksize));
        if (major(status.st_dev) != 0) {
            wanted = std::max<std::uint64_t>(
                wanted, device_queue_figure(status.st_dev, "physical_block_size"));
        }
    }
    return largest_power_of_two_at_most(std::min<std::uint64_t>(wanted, 128 * 1024));
}

bool same_file(int a, int b) {
    struct stat first {
    }, second{};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

int open_file_handle(const std::string& path, int flags, mode_t mode, file_handle_s* file) {
    *file = file_handle_s{};
    int direct = open_retrying(path.c_str(), flags | O_DIRECT | O_CLOEXEC, mode);
    if (direct < 0 && errno != EINVAL) {
        return errno;
    }
    // The ordinary descriptor opens the file that the direct one created, or creates it itself
    // when the file system refused O_DIRECT.
    int ordinary_flags = direct >= 0 ? flags & ~(O_CREAT | O_EXCL) : flags;
    int ordinary = open_retrying(path.c_str(), ordinary_flags | O_CLOEXEC, mode);
    if (ordinary < 0) {
        int error = errno;
        close_quietly(direct);
        return error;
    }
    file->fd = ordinary;
    file->path = path;
    if (direct >= 0 && same_file(direct, ordinary) &&
        find_alignment(direct, &file->alignment, &file->memory_alignment)) {
        file->direct_fd = direct;
    } else {
        close_quietly(direct);
        file->alignment = 0;
        file->memory_alignment = 0;
    }
    file->io_alignment = preferred_alignment(file->fd, file->alignment);
    return 0;
}

void close_file_handle(file_handle_s& file) {
    close_quietly(file.direct_fd);
    close_quietly(file.fd);
    file = file_handle_s{};
}
