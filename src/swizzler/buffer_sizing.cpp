#include "swizzler/buffer_sizing.h"

#include <algorithm>

#include "catalogue/plot_format.h"
#include "swizzler/job_pipeline.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

constexpr std::uint64_t block = 4096;
constexpr std::uint64_t largest_tile = 8u << 20;
constexpr std::uint64_t wanted_tiles = 8;
constexpr std::uint64_t most_tiles = 32;
constexpr std::uint64_t stretch_buffers = std::uint64_t{256} << 20;
constexpr std::uint64_t least_stretch_tiles = 16;

std::uint64_t round_down(std::uint64_t value, std::uint64_t unit) {
    return value / unit * unit;
}

} // namespace

std::uint64_t automatic_budget(const memory_status_s& memory) {
    return memory.available_bytes / 10 * 9 + memory.available_bytes % 10 * 9 / 10;
}

std::uint64_t smallest_budget(bool merged_jobs) {
    return tiles_needed(!merged_jobs, block, block) * block;
}

namespace {

// Tiles of `budget` bytes: as large as wanted_tiles of them allow, yet enough of them.
std::uint64_t tile_for(std::uint64_t budget, bool merged_jobs) {
    std::uint64_t count = std::max(wanted_tiles, tiles_needed(!merged_jobs, block, block));
    return round_down(budget / count, block);
}

} // namespace

buffer_sizing_s size_buffers(const memory_status_s& memory, std::uint64_t largest_job_bytes,
                             std::uint64_t max_ram_bytes, bool merged_jobs, bool rotational) {
    buffer_sizing_s sizing;
    sizing.budget_bytes = max_ram_bytes != 0 ? max_ram_bytes : automatic_budget(memory);
    if (max_ram_bytes != 0 && max_ram_bytes > memory.available_bytes) {
        sizing.budget_bytes = memory.available_bytes;
        sizing.change = budget_change::lowered_to_available;
    }
    std::uint64_t least = smallest_budget(merged_jobs);
    if (sizing.budget_bytes < least) {
        sizing.budget_bytes = least;
        if (max_ram_bytes != 0 && max_ram_bytes < least) {
            sizing.change = budget_change::raised_to_smallest;
        }
    }
    if (largest_job_bytes == 0) {
        return sizing;
    }
    // A run's hull is at most its bytes rounded up to whole blocks, plus one block.
    std::uint64_t run_bytes = largest_job_bytes / nonce_size * scoop_size;
    std::uint64_t largest_useful = round_down(run_bytes + block - 1, block) + block;
    if (rotational) {
        // A stretch takes at most a 32nd of a job and two are in memory: more would idle.
        std::uint64_t buffers =
            std::min({sizing.budget_bytes, stretch_buffers,
                      std::max(largest_job_bytes / 16, least_stretch_tiles * largest_useful)});
        std::uint64_t most =
            std::min({largest_tile, largest_useful,
                      std::max(block, round_down(buffers / least_stretch_tiles, block))});
        // Every run in equal tiles, so that no buffer holds little of its run.
        std::uint64_t per_run = (largest_useful + most - 1) / most;
        std::uint64_t tile =
            round_down((largest_useful + per_run - 1) / per_run + block - 1, block);
        if (buffers / tile >= least_stretch_tiles) {
            sizing.tile_bytes = tile;
            sizing.tiles = buffers / tile;
            sizing.buffer_bytes = sizing.tiles * tile;
            return sizing;
        }
    }
    std::uint64_t tile = tile_for(sizing.budget_bytes, merged_jobs);
    tile = std::clamp(tile, block, std::min(largest_tile, largest_useful));
    sizing.tile_bytes = tile;
    sizing.tiles = std::min(sizing.budget_bytes / tile, most_tiles);
    sizing.buffer_bytes = sizing.tiles * tile;
    return sizing;
}

void log_budget_change(const buffer_sizing_s& sizing, std::uint64_t limit,
                       const memory_status_s& memory) {
    if (sizing.change == budget_change::lowered_to_available) {
        log_message("The memory limit of %s is more than the %s available; using %s\n",
                    size_text(limit, true), size_text(memory.available_bytes, true),
                    size_text(sizing.budget_bytes, true));
    } else if (sizing.change == budget_change::raised_to_smallest) {
        log_message("The memory limit of %s cannot hold one chunk of buffers; using %s\n",
                    size_text(limit, true), size_text(sizing.budget_bytes, true));
    }
}
