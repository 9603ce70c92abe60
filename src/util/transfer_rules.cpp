#include "util/transfer_rules.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "util/target_file.h"

namespace {

constexpr std::uint64_t largest_offset = std::numeric_limits<off_t>::max();

std::uint64_t page_bytes() {
    static const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::uint64_t>(page) : 4096;
}

long long call_once(const io_request_s& request, const piece_progress_s& piece) {
    int fd = piece_descriptor(request, piece);
    std::uint8_t* memory = piece_memory(request, piece);
    std::uint64_t bytes = next_call_bytes(piece);
    auto at = static_cast<off_t>(piece.offset + piece.moved);
    ssize_t result = request.direction == io_direction::read ? pread(fd, memory, bytes, at)
                                                             : pwrite(fd, memory, bytes, at);
    return result < 0 ? -errno : result;
}

} // namespace

bool beyond_any_file(std::uint64_t offset, std::uint64_t length) {
    return offset > largest_offset || length > largest_offset - offset;
}

int decided_before_start(const io_request_s& request) {
    if (request.file == nullptr || request.file->fd < 0) {
        return EBADF;
    }
    if (beyond_any_file(request.offset, request.length)) {
        return EINVAL;
    }
    return request.length == 0 ? 0 : -1;
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

int pieces_of(const io_request_s& request, piece_progress_s* pieces) {
    transfer_pieces_s plan = plan_transfer_pieces(*request.file, request.offset, request.length,
                                                  reinterpret_cast<std::uintptr_t>(request.buffer));
    for (int i = 0; i < plan.count; ++i) {
        pieces[i] = {plan.piece[i].offset, plan.piece[i].length, 0, plan.piece[i].direct};
    }
    return plan.count;
}

std::uint8_t* piece_memory(const io_request_s& request, const piece_progress_s& piece) {
    return request.buffer + (piece.offset - request.offset) + piece.moved;
}

std::uint64_t next_call_bytes(const piece_progress_s& piece) {
    return std::min(piece.length - piece.moved, max_call_bytes);
}

int piece_descriptor(const io_request_s& request, const piece_progress_s& piece) {
    return piece.direct ? request.file->direct_fd : request.file->fd;
}

bool piece_after_call(const io_request_s& request, piece_progress_s& piece, long long result,
                      int* error) {
    if (result == -EINTR || result == -EAGAIN) {
        return false;
    }
    if (result == -EINVAL && piece.direct) {
        piece.direct = false; // an alignment rule stricter than the one the file reported
        return false;
    }
    if (result < 0) {
        *error = static_cast<int>(-result);
        return true;
    }
    if (result == 0) {
        *error = request.direction == io_direction::read ? ENODATA : EIO;
        return true;
    }
    piece.moved += static_cast<std::uint64_t>(result);
    if (piece.moved >= piece.length) {
        *error = 0;
        return true;
    }
    // A direct piece cut short (the end of the file, a signal) may go on only while its rest
    // still meets the alignment; otherwise the ordinary descriptor takes the rest.
    const file_handle_s& file = *request.file;
    std::uint64_t at = piece.offset + piece.moved;
    if (piece.direct &&
        (at % file.alignment != 0 || (piece.length - piece.moved) % file.alignment != 0 ||
         reinterpret_cast<std::uintptr_t>(piece_memory(request, piece)) % file.memory_alignment !=
             0)) {
        piece.direct = false;
    }
    return false;
}

io_completion_s run_transfer(const io_request_s& request) {
    io_completion_s done{request.tag, 0, 0};
    int decided = decided_before_start(request);
    if (decided >= 0) {
        done.error = decided;
        return done;
    }
    piece_progress_s pieces[3];
    int count = pieces_of(request, pieces);
    for (int i = 0; i < count; ++i) {
        int error = 0;
        while (!piece_after_call(request, pieces[i], call_once(request, pieces[i]), &error)) {
        }
        done.moved = pieces[i].offset - request.offset + pieces[i].moved;
        if (error != 0) {
            done.error = error;
            return done;
        }
    }
    return done;
}

int flush_real_file(transfer_backend_s&, const file_handle_s& file) {
    int error = 0;
    return flush_target(file, &error) ? 0 : error;
}
