// The memory a run will use, as shown before it starts.
//
// Nine tenths of the available memory, in units of 384 bytes per nonce of
// buffer capacity (six buffers of 64 bytes per nonce) rounded down to a
// multiple of 8 nonces, but no more than the largest job needs, and no more
// than the user's limit. The work thread sizes its buffers by its own rule;
// this is the preview of it.
#pragma once

#include <cstdint>

// Bytes of buffers for a plan whose largest job has `largest_job_bytes`, with `available_bytes`
// of memory free and a limit of `max_ram_bytes` (0 = automatic).
std::uint64_t memory_estimate(std::uint64_t available_bytes, std::uint64_t largest_job_bytes,
                              std::uint64_t max_ram_bytes);
