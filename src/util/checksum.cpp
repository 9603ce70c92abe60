#include "util/checksum.h"

#include <array>

namespace {

constexpr std::uint32_t polynomial = 0x82f63b78; // Castagnoli, reflected

constexpr std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> table = make_table();

} // namespace

std::uint32_t crc32c(const void* data, std::size_t length, std::uint32_t crc) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}
