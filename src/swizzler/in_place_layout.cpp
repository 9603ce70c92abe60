#include "swizzler/in_place_layout.h"

#include <algorithm>

#include "catalogue/in_place_journal.h"
#include "catalogue/plot_format.h"

namespace {

constexpr std::uint64_t page = 4096;
constexpr std::uint64_t least_alignment = 512;

std::uint64_t down(std::uint64_t value, std::uint64_t unit) {
    return value / unit * unit;
}

std::uint64_t up(std::uint64_t value, std::uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

// A hull of a span of `bytes` (a multiple of 64) is at most bytes + 2 * alignment - 128 long.
std::uint64_t side_for(std::uint64_t entries, std::uint64_t alignment) {
    return up(entries * scoop_size + 2 * alignment, page);
}

std::uint64_t journal_for(std::uint64_t entries) {
    return journal_slot_write_bytes(entries);
}

std::uint64_t bytes_for(unsigned sets, std::uint64_t entries, std::uint64_t alignment) {
    return sets * 2 * side_for(entries, alignment) + journal_for(entries);
}

// The most entries per group that `sets` sets hold in `buffer_bytes`, capped at `most`.
std::uint64_t entries_that_fit(std::uint64_t buffer_bytes, unsigned sets, std::uint64_t alignment,
                               std::uint64_t most) {
    std::uint64_t fixed = bytes_for(sets, 0, alignment) + page; // one page of rounding on L2
    if (buffer_bytes <= fixed) {
        return 0;
    }
    // Each entry costs 64 bytes in each of 2 * sets hull buffers and 32 in the journal buffer.
    std::uint64_t entries = (buffer_bytes - fixed) / (sets * 2 * scoop_size + journal_half_bytes);
    entries = std::min(entries, most);
    while (entries > 0 && bytes_for(sets, entries, alignment) > buffer_bytes) {
        entries -= std::max<std::uint64_t>(1, entries / 64);
    }
    return entries;
}

} // namespace

std::uint64_t low_entries(std::uint64_t nonces) {
    return nonces * scoop_pairs;
}

in_place_group_s group_at(std::uint64_t nonces, std::uint64_t first, std::uint64_t most) {
    most = std::max<std::uint64_t>(most, 1);
    std::uint64_t pair = first / nonces, nonce = first % nonces;
    if (nonce != 0 || nonces > most) {
        return {first, std::min(nonces - nonce, most)};
    }
    std::uint64_t runs = std::min(most / nonces, scoop_pairs - pair);
    return {first, runs * nonces};
}

byte_span_s group_low_span(std::uint64_t /*nonces*/, const in_place_group_s& group) {
    return {group.first * scoop_size, group.end() * scoop_size};
}

byte_span_s group_high_span(std::uint64_t nonces, const in_place_group_s& group) {
    std::uint64_t last = group.end() - 1;
    if (group.first / nonces == last / nonces) {
        std::uint64_t begin = partner_offset(nonces, group.first);
        return {begin, begin + group.count * scoop_size};
    }
    // Whole runs: the partner run of the last pair comes first in the file.
    std::uint64_t first_pair = group.first / nonces, end_pair = group.end() / nonces;
    return {scoop_offset(nonces, scoops_per_nonce - end_pair, 0),
            scoop_offset(nonces, scoops_per_nonce - first_pair, 0)};
}

std::uint64_t partner_offset(std::uint64_t nonces, std::uint64_t entry) {
    return scoop_offset(nonces, scoops_per_nonce - 1 - entry / nonces, entry % nonces);
}

byte_span_s aligned_hull(byte_span_s span, std::uint64_t alignment) {
    return {down(span.begin, alignment), up(span.end, alignment)};
}

in_place_sizing_s size_in_place(std::uint64_t buffer_bytes, std::uint64_t alignment,
                                std::uint64_t most_entries, bool rotational) {
    for (std::uint64_t a = std::max(alignment, least_alignment); a >= least_alignment; a /= 2) {
        // Two sets are worth it only when a group is at least a block; else one set, reading
        // the next group after this one is written.
        for (unsigned sets : {2u, 1u}) {
            if (rotational && sets == 2) {
                continue;
            }
            std::uint64_t entries = entries_that_fit(buffer_bytes, sets, a, most_entries);
            bool enough =
                sets == 1 ? entries > 0 : entries * scoop_size >= a || entries == most_entries;
            if (enough && entries > 0) {
                return {a, sets, entries, side_for(entries, a), journal_for(entries)};
            }
        }
    }
    return {};
}
