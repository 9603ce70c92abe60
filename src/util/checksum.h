// CRC-32C (Castagnoli) of a byte range: the checksum of the records the engine
// trusts across a crash (progress records, journals). It catches torn and
// half-written records, not tampering.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32C of `length` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32c(const void* data, std::size_t length, std::uint32_t crc = 0);
