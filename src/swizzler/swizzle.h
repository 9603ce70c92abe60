// The one transformation between PoC1 and PoC2: the exchange of the second
// halves (bytes 32..63) of scoops s and 4095 - s of every nonce.
#pragma once

#include <cstddef>
#include <cstdint>

#include "catalogue/plot_format.h"

// Exchanges bytes 32..63 of entry e of `low` with those of entry e of `high`, for e < count
// (entries of 64 bytes). In place; the buffers must not overlap.
void swizzle_pair(std::uint8_t* low, std::uint8_t* high, std::uint64_t count);

// The same exchange written to other buffers: out_low gets the first halves of `low` and the
// second halves of `high`, out_high the other way round. The stores bypass the cache, for output
// that goes to the disk next. Outputs may equal their inputs but must not overlap them otherwise.
void swizzle_pair_into(const std::uint8_t* low, const std::uint8_t* high, std::uint8_t* out_low,
                       std::uint8_t* out_high, std::uint64_t count);
