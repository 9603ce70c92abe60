// CRC-32C (the Castagnoli polynomial, reflected, as iSCSI and ext4 use it): the checksum that
// tells a record written whole from one torn by a crash or a power cut.
//
// Uses the processor's crc32 instruction where it has one (SSE4.2), else a table of its own,
// sixteen kilobytes built on first use. Both give the same value for the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32C of `length` bytes at `data`, continuing from `crc` (0 for the first piece): the
// value of a whole is the value of its pieces fed in order.
std::uint32_t crc32c(const void* data, std::size_t length, std::uint32_t crc = 0);

// The same by the table alone, whatever the processor has (tests compare the two ways).
std::uint32_t crc32c_by_table(const void* data, std::size_t length, std::uint32_t crc = 0);
