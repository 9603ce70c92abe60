#include "util/crc32c.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

static_assert(std::endian::native == std::endian::little,
              "the table path reads eight bytes as one little-endian word");

constexpr std::uint32_t polynomial = 0x82f63b78; // 0x1edc6f41, bits reversed

// Slicing by eight: table[k][b] is the CRC of byte b followed by k zero bytes.
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

crc_tables make_tables() {
    crc_tables tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) != 0 ? polynomial : 0);
        }
        tables[0][b] = crc;
    }
    for (std::uint32_t b = 0; b < 256; ++b) {
        for (int k = 1; k < 8; ++k) {
            tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xff];
        }
    }
    return tables;
}

std::uint32_t crc_by_table(const std::uint8_t* at, std::size_t length, std::uint32_t crc) {
    static const crc_tables tables = make_tables(); // built once, thread-safe
    while (length >= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        word ^= crc; // little-endian: the CRC meets the first four bytes
        crc = tables[7][word & 0xff] ^ tables[6][(word >> 8) & 0xff] ^
              tables[5][(word >> 16) & 0xff] ^ tables[4][(word >> 24) & 0xff] ^
              tables[3][(word >> 32) & 0xff] ^ tables[2][(word >> 40) & 0xff] ^
              tables[1][(word >> 48) & 0xff] ^ tables[0][word >> 56];
        at += 8;
        length -= 8;
    }
    while (length-- > 0) {
        crc = (crc >> 8) ^ tables[0][(crc ^ *at++) & 0xff];
    }
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t
crc_by_instruction(const std::uint8_t* at, std::size_t length, std::uint32_t crc) {
    std::uint64_t wide = crc;
    while (length >= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        wide = __builtin_ia32_crc32di(wide, word);
        at += 8;
        length -= 8;
    }
    crc = static_cast<std::uint32_t>(wide);
    while (length-- > 0) {
        crc = __builtin_ia32_crc32qi(crc, *at++);
    }
    return crc;
}

bool has_crc_instruction() {
    static const bool present = __builtin_cpu_supports("sse4.2");
    return present;
}
#endif

} // namespace

std::uint32_t crc32c(const void* data, std::size_t length, std::uint32_t crc) {
    const auto* at = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    if (has_crc_instruction()) {
        return ~crc_by_instruction(at, length, crc);
    }
#endif
    return ~crc_by_table(at, length, crc);
}

std::uint32_t crc32c_by_table(const void* data, std::size_t length, std::uint32_t crc) {
    return ~crc_by_table(static_cast<const std::uint8_t*>(data), length, ~crc);
}
