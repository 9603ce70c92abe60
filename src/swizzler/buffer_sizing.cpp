#include "swizzler/buffer_sizing.h"

#include <algorithm>

#include "catalogue/plot_format.h"

namespace {

// Six working buffers (two to read into, two write sets of two) of 64 bytes per nonce.
constexpr std::uint64_t bytes_per_nonce = 6 * scoop_size;
// Capacities are whole groups of 8 nonces, so that runs of full buffers stay 512-byte multiples.
constexpr std::uint64_t capacity_step = 8;

} // namespace

std::uint64_t automatic_budget(const memory_status_s& memory) {
    return memory.available_bytes / 10 * 9 + memory.available_bytes % 10 * 9 / 10;
}

std::uint64_t smallest_budget() {
    return capacity_step * bytes_per_nonce;
}

buffer_sizing_s size_buffers(const memory_status_s& memory, std::uint64_t largest_job_bytes,
                             std::uint64_t max_ram_bytes, bool merged_jobs) {
    (void)merged_jobs;
    buffer_sizing_s sizing;
    sizing.budget_bytes = max_ram_bytes != 0 ? max_ram_bytes : automatic_budget(memory);
    if (max_ram_bytes != 0 && max_ram_bytes > memory.available_bytes) {
        sizing.budget_bytes = memory.available_bytes;
        sizing.change = budget_change::lowered_to_available;
    }
    if (sizing.budget_bytes < smallest_budget()) {
        sizing.budget_bytes = smallest_budget();
        if (max_ram_bytes != 0 && max_ram_bytes < smallest_budget()) {
            sizing.change = budget_change::raised_to_smallest;
        }
    }
    std::uint64_t fitting = sizing.budget_bytes / (capacity_step * bytes_per_nonce) * capacity_step;
    sizing.capacity = std::min(fitting, largest_job_bytes / nonce_size);
    sizing.buffer_bytes = sizing.capacity * bytes_per_nonce;
    return sizing;
}
