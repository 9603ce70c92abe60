// pread/pwrite over the two descriptors of a file handle.
//
// Limits: a direct piece that the kernel still refuses with EINVAL (an alignment rule stricter
// than the one it reported) is redone through the ordinary descriptor, so a wrong alignment
// answer costs speed, never data.
#include "util/positioned_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "util/log.h"

namespace {

// Linux moves at most 0x7ffff000 bytes per call anyway; 1 GiB keeps every continuation of a
// direct transfer aligned.
constexpr std::uint64_t max_call_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t largest_offset = std::numeric_limits<off_t>::max();

// Threading: installed while no transfer runs (tests), read by the transferring threads. Never
// destroyed, so a transfer still running while the process exits never sees it go.
io_fault_fn* fault_hook = new io_fault_fn;

// Reads until `length` bytes arrived or the file ended; 0 or an errno. *moved says how far.
int read_fully(int fd, std::uint64_t offset, std::uint64_t length, std::uint8_t* buffer,
               std::uint64_t* moved) {
    *moved = 0;
    while (*moved < length) {
        std::uint64_t ask = std::min(length - *moved, max_call_bytes);
        ssize_t got = pread(fd, buffer + *moved, ask, static_cast<off_t>(offset + *moved));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            return 0; // the end of the file
        }
        *moved += static_cast<std::uint64_t>(got);
    }
    return 0;
}

int write_fully(int fd, std::uint64_t offset, std::uint64_t length, const std::uint8_t* buffer) {
    std::uint64_t moved = 0;
    while (moved < length) {
        std::uint64_t ask = std::min(length - moved, max_call_bytes);
        ssize_t put = pwrite(fd, buffer + moved, ask, static_cast<off_t>(offset + moved));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (put == 0) {
            return EIO; // a regular file that accepts nothing will not accept a retry either
        }
        moved += static_cast<std::uint64_t>(put);
    }
    return 0;
}

bool beyond_any_file(std::uint64_t offset, std::uint64_t length) {
    return offset > largest_offset || length > largest_offset - offset;
}

int report_failed_write(const file_handle_s& file, std::uint64_t offset, int error) {
    log_message("Failed to write to %s at offset %llu, error %d\n", file.path.c_str(),
                static_cast<unsigned long long>(offset), error);
    return error;
}

std::uint64_t page_bytes() {
    static const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::uint64_t>(page) : 4096;
}

} // namespace

file_handle_s open_source_file(const std::string& path, int* error) {
    file_handle_s file;
    *error = open_file_handle(path, O_RDONLY, 0, &file);
    if (*error != 0) {
        return file;
    }
    // A shared lock: any number of copying runs may read a plot, but not while a run converts
    // it in place (which holds it exclusively), nor may one start converting it meanwhile.
    int result;
    do {
        result = flock(file.fd, LOCK_SH | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
        close_file_handle(file);
        *error = EWOULDBLOCK;
        return file;
    }
    // The unaligned pieces are scattered over the whole file: read-ahead would only waste.
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_RANDOM);
    return file;
}

bool read_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             std::uint8_t* buffer) {
    if (beyond_any_file(offset, length)) {
        log_message("Failed to seek file error %d\n", EINVAL);
        return false;
    }
    if (int error = io_fault_for(file, io_direction::read, offset, length)) {
        log_message("Failed to read file at offset %llu, error %d\n",
                    static_cast<unsigned long long>(offset), error);
        return false;
    }
    transfer_pieces_s plan =
        plan_transfer_pieces(file, offset, length, reinterpret_cast<std::uintptr_t>(buffer));
    for (int i = 0; i < plan.count; ++i) {
        const transfer_piece_s& piece = plan.piece[i];
        std::uint8_t* into = buffer + (piece.offset - offset);
        std::uint64_t moved = 0;
        int error = read_fully(piece.direct ? file.direct_fd : file.fd, piece.offset, piece.length,
                               into, &moved);
        if (error == EINVAL && piece.direct) {
            error = read_fully(file.fd, piece.offset, piece.length, into, &moved);
        }
        if (error != 0) {
            log_message("Failed to read file at offset %llu, error %d\n",
                        static_cast<unsigned long long>(offset), error);
            return false;
        }
        if (moved < piece.length) {
            log_message("Failed to read file at offset %llu, the file ends after %llu of %llu "
                        "bytes\n",
                        static_cast<unsigned long long>(offset),
                        static_cast<unsigned long long>(piece.offset - offset + moved),
                        static_cast<unsigned long long>(length));
            return false;
        }
    }
    return true;
}

int write_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             const std::uint8_t* buffer) {
    if (beyond_any_file(offset, length)) {
        return report_failed_write(file, offset, EINVAL);
    }
    if (int error = io_fault_for(file, io_direction::write, offset, length)) {
        return report_failed_write(file, offset, error);
    }
    transfer_pieces_s plan =
        plan_transfer_pieces(file, offset, length, reinterpret_cast<std::uintptr_t>(buffer));
    for (int i = 0; i < plan.count; ++i) {
        const transfer_piece_s& piece = plan.piece[i];
        const std::uint8_t* from = buffer + (piece.offset - offset);
        int error =
            write_fully(piece.direct ? file.direct_fd : file.fd, piece.offset, piece.length, from);
        if (error == EINVAL && piece.direct) {
            error = write_fully(file.fd, piece.offset, piece.length, from);
        }
        if (error != 0) {
            return report_failed_write(file, piece.offset, error);
        }
    }
    return 0;
}

int io_fault_for(const file_handle_s& file, io_direction direction, std::uint64_t offset,
                 std::uint64_t length) {
    return *fault_hook ? (*fault_hook)(file, direction, offset, length) : 0;
}

transfer_pieces_s plan_transfer_pieces(const file_handle_s& file, std::uint64_t offset,
                                       std::uint64_t length, std::uintptr_t address) {
    transfer_pieces_s plan;
    std::uint64_t end = offset + length;
    if (file.direct_fd >= 0 && length > 0) {
        // The direct middle starts and ends on page boundaries even where the device allows
        // less: a page shared with a buffered head or tail could be written back from the page
        // cache with bytes older than the direct write, after it.
        std::uint64_t a = std::max<std::uint64_t>(file.alignment, page_bytes());
        std::uint64_t start = (offset + a - 1) / a * a;
        std::uint64_t stop = end / a * a;
        std::uintptr_t middle_address = address + (start - offset);
        if (start < stop && middle_address % file.memory_alignment == 0) {
            if (offset < start) {
                plan.piece[plan.count++] = {offset, start - offset, false};
            }
            plan.piece[plan.count++] = {start, stop - start, true};
            if (stop < end) {
                plan.piece[plan.count++] = {stop, end - stop, false};
            }
            return plan;
        }
    }
    plan.piece[plan.count++] = {offset, length, false};
    return plan;
}

void set_io_fault_hook(io_fault_fn hook) {
    *fault_hook = std::move(hook);
}
