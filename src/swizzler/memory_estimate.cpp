#include "swizzler/memory_estimate.h"

#include <algorithm>

#include "swizzler/plot_layout.h"

std::uint64_t memory_estimate(std::uint64_t available_bytes, std::uint64_t largest_job_bytes,
                              std::uint64_t max_ram_bytes) {
    std::uint64_t capacity = available_bytes * 9 / 10 / 384 / 8 * 8;
    std::uint64_t nonces = largest_job_bytes / nonce_size;
    std::uint64_t estimate = std::min(capacity, nonces) * 384;
    if (max_ram_bytes != 0 && max_ram_bytes < estimate) {
        estimate = max_ram_bytes;
    }
    return estimate;
}
