// The plot file format as the catalogue and the engine both see it.
//
// Both formats (optimized PoC1 and PoC2) are scoop-major: scoop s of nonce k of
// a file of N nonces lies at (s * N + k) * 64, and a file of N nonces is exactly
// N * 262144 bytes long. PoC2 differs only in content: the second halves (bytes
// 32..63) of scoops s and 4095 - s of every nonce are exchanged. All counts and
// offsets are unsigned 64-bit.
#pragma once

#include <cstdint>

inline constexpr std::uint64_t scoops_per_nonce = 4096;
inline constexpr std::uint64_t scoop_size = 64;
inline constexpr std::uint64_t half_size = 32;
inline constexpr std::uint64_t nonce_size = 262144;
inline constexpr std::uint64_t scoop_pairs = 2048;

static_assert(nonce_size == scoops_per_nonce * scoop_size, "a nonce is 4096 scoops of 64 bytes");
static_assert(nonce_size == std::uint64_t{1} << 18, "sizes are nonce counts shifted by 18");
static_assert(half_size * 2 == scoop_size, "a scoop is two halves");
static_assert(scoop_pairs * 2 == scoops_per_nonce, "every scoop has exactly one partner");

// Bytes of a plot or job of `nonces` nonces.
constexpr std::uint64_t plot_size(std::uint64_t nonces) {
    return nonces << 18;
}

// Byte offset of scoop `scoop` of nonce `nonce` in a file of `nonces_in_file` nonces.
constexpr std::uint64_t scoop_offset(std::uint64_t nonces_in_file, std::uint64_t scoop,
                                     std::uint64_t nonce) {
    return (scoop * nonces_in_file + nonce) * scoop_size;
}
