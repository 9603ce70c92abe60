// Positioned reads and writes of plot data one at a time, and the opening of
// source plots.
//
// Every transfer names its offset; nothing depends on a file position. A read
// or write here is one transfer through a back-end (transfer_backend.h): the
// synchronous one unless the caller hands another, so the rules of a transfer
// (direct and ordinary pieces, 64-bit lengths cut into calls of at most 1 GiB)
// are those of every back-end. A failed or short transfer is logged and
// reported to the caller, who decides what becomes of the data and of its job.
#pragma once

#include <cstdint>
#include <string>

#include "util/file_handle.h"
#include "util/transfer_backend.h"

// Opens a PoC1 plot for reading, with a shared lock that keeps runs converting it in place
// out; an empty handle and *error = errno when it cannot be opened (EWOULDBLOCK: another run
// converts it in place). Logs nothing: the caller reports.
file_handle_s open_source_file(const std::string& path, int* error);

// Reads `length` bytes at `offset` into buffer through `transfers` (an opened back-end with
// nothing else in flight); true only when all of them arrived. Logs "Failed to read file at
// offset %llu, error %d\n" on failure and a line of its own when the file ends first.
bool read_at(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
             std::uint64_t length, std::uint8_t* buffer);

// The same through the synchronous back-end.
bool read_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             std::uint8_t* buffer);

// Writes `length` bytes from buffer at `offset` through `transfers` (as read_at); 0 when all of
// them were written, else the errno of the failure, which is logged.
int write_at(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
             std::uint64_t length, const std::uint8_t* buffer);

// The same through the synchronous back-end.
int write_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             const std::uint8_t* buffer);
