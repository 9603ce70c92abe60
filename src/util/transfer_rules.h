// The rules of a transfer on a real file, shared by every back-end that does
// one with system calls (io_uring, the I/O threads, synchronous).
//
// A transfer is split into an aligned middle that goes through the file's
// O_DIRECT descriptor and an unaligned head and tail that go through the
// ordinary one. Each system call moves at most 1 GiB. After each call: EINTR
// and EAGAIN are retried, a short transfer goes on where it stopped, a direct
// piece refused with EINVAL goes on through the ordinary descriptor (an
// alignment rule stricter than the one the file reported costs speed, never
// data), a read that gets no byte has met the end of the file (ENODATA), and a
// write that moves no byte fails with EIO (a file that accepts nothing will not
// accept a retry either).
#pragma once

#include <cstdint>

#include "util/transfer_backend.h"

// Linux moves at most 0x7ffff000 bytes per call; 1 GiB keeps every continuation of a direct
// piece aligned and fits io_uring's 32-bit lengths.
inline constexpr std::uint64_t max_call_bytes = std::uint64_t{1} << 30;

// True when [offset, offset + length) cannot lie in any file (beyond off_t).
bool beyond_any_file(std::uint64_t offset, std::uint64_t length);

// What becomes of a request before any byte moves: -1 lets it run; else the errno it completes
// with (EBADF without a file, EINVAL beyond any file), or 0 for an empty transfer.
int decided_before_start(const io_request_s& request);

// One part of a transfer: the aligned middle goes through the direct descriptor, an unaligned
// head or tail (or the whole transfer, when nothing lines up) through the ordinary one. The
// middle is cut on page boundaries, so that no page is written both ways at once.
struct transfer_piece_s {
    std::uint64_t offset = 0; // in the file; offset minus the transfer's offset in the buffer
    std::uint64_t length = 0;
    bool direct = false;
};

struct transfer_pieces_s {
    transfer_piece_s piece[3];
    int count = 0;
};

// How a transfer of `length` bytes at `offset` from or to the buffer at `address` is split.
transfer_pieces_s plan_transfer_pieces(const file_handle_s& file, std::uint64_t offset,
                                       std::uint64_t length, std::uintptr_t address);

// A piece under way.
struct piece_progress_s {
    std::uint64_t offset = 0; // in the file
    std::uint64_t length = 0;
    std::uint64_t moved = 0;
    bool direct = false;
};

// The request's pieces; returns how many (at most three).
int pieces_of(const io_request_s& request, piece_progress_s* pieces);

// Where the piece's next call starts in memory and in the file, how many bytes it asks for and
// through which descriptor.
std::uint8_t* piece_memory(const io_request_s& request, const piece_progress_s& piece);
std::uint64_t next_call_bytes(const piece_progress_s& piece);
int piece_descriptor(const io_request_s& request, const piece_progress_s& piece);

// Takes one system call's result for a piece (bytes moved, or -errno). True when the piece is
// finished, with *error 0 or the errno that stopped it; false when it needs another call.
bool piece_after_call(const io_request_s& request, piece_progress_s& piece, long long result,
                      int* error);

// Does the whole transfer on the calling thread with pread and pwrite, pieces in turn, stopping
// at the first failure; `moved` counts the bytes from the start that moved before it.
io_completion_s run_transfer(const io_request_s& request);

// The flush of a real file (fdatasync): 0, or errno.
int flush_real_file(transfer_backend_s& backend, const file_handle_s& file);
