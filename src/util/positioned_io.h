// Positioned reads and writes of plot data, and the opening of source plots.
//
// Every transfer names its offset; nothing depends on a file position, so the
// work thread and the writer never share one. A transfer is split into an
// aligned middle that goes through the direct descriptor and an unaligned head
// and tail that go through the ordinary one; lengths are 64-bit and each
// system call moves at most 1 GiB, so no length is ever cut to 32 bits.
//
// A failed or short transfer is logged and reported to the caller, who decides
// what becomes of the data and of its job.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "util/file_handle.h"

// Opens a PoC1 plot for reading, with a shared lock that keeps runs converting it in place
// out; an empty handle and *error = errno when it cannot be opened (EWOULDBLOCK: another run
// converts it in place). Logs nothing: the caller reports.
file_handle_s open_source_file(const std::string& path, int* error);

// Reads `length` bytes at `offset` into buffer; true only when all of them arrived. Logs
// "Failed to read file at offset %llu, error %d\n" on failure and a line of its own when the
// file ends first.
bool read_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             std::uint8_t* buffer);

// Writes `length` bytes from buffer at `offset`; 0 when all of them were written, else the
// errno of the failure, which is logged.
int write_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             const std::uint8_t* buffer);

enum class io_direction { read, write };

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

// Decides a transfer's fate before it starts: 0 lets it run, an errno value makes it fail with
// that error. For tests, which fail chosen transfers or watch them go by.
using io_fault_fn = std::function<int(const file_handle_s& file, io_direction direction,
                                      std::uint64_t offset, std::uint64_t length)>;

// What the installed hook decides for a transfer about to start (0 without a hook).
int io_fault_for(const file_handle_s& file, io_direction direction, std::uint64_t offset,
                 std::uint64_t length);

// Installs the hook (empty removes it). Threading: only while no transfer runs, i.e. before a
// conversion starts or after it has ended; the hook itself is called on the transferring thread.
void set_io_fault_hook(io_fault_fn hook);
