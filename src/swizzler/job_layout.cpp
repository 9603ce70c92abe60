#include "swizzler/job_layout.h"

#include <algorithm>

#include "catalogue/plot_format.h"

namespace {

std::uint64_t down(std::uint64_t offset, std::uint64_t alignment) {
    return offset / alignment * alignment;
}

std::uint64_t up(std::uint64_t offset, std::uint64_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

std::uint64_t scoop_of(std::uint64_t pair, run_side side) {
    return side == run_side::low ? pair : scoops_per_nonce - 1 - pair;
}

// The low run of the first chunk of `source` in `pair` that starts at or after nonce `first`,
// sized to end where the low run's tile that holds `first` ends.
void size_chunk(const job_layout_s& layout, chunk_s* chunk) {
    byte_span_s run = source_run(layout, chunk->source, chunk->pair, run_side::low);
    std::uint64_t at = run.begin + chunk->first * scoop_size;
    byte_span_s tile = tile_of(layout, run, tile_index(layout, run, at));
    std::uint64_t end = std::min(tile.end, run.end);
    chunk->count = (end - at) / scoop_size;
}

} // namespace

byte_span_s overlap(byte_span_s a, byte_span_s b) {
    byte_span_s both{std::max(a.begin, b.begin), std::min(a.end, b.end)};
    return both.empty() ? byte_span_s{both.begin, both.begin} : both;
}

job_layout_s make_job_layout(const std::vector<std::uint64_t>& source_nonces,
                             std::uint64_t alignment, std::uint64_t tile_bytes) {
    job_layout_s layout;
    layout.source_nonces = source_nonces;
    for (std::uint64_t nonces : source_nonces) {
        layout.first_nonce.push_back(layout.nonces);
        layout.nonces += nonces;
    }
    layout.alignment = alignment;
    layout.tile_bytes = std::max(alignment, down(tile_bytes, alignment));
    return layout;
}

byte_span_s source_run(const job_layout_s& layout, std::size_t source, std::uint64_t pair,
                       run_side side) {
    std::uint64_t nonces = layout.source_nonces[source];
    std::uint64_t begin = scoop_offset(nonces, scoop_of(pair, side), 0);
    return {begin, begin + nonces * scoop_size};
}

byte_span_s target_run(const job_layout_s& layout, std::uint64_t pair, run_side side) {
    std::uint64_t begin = scoop_offset(layout.nonces, scoop_of(pair, side), 0);
    return {begin, begin + layout.nonces * scoop_size};
}

byte_span_s hull_of(const job_layout_s& layout, byte_span_s run) {
    return {down(run.begin, layout.alignment), up(run.end, layout.alignment)};
}

std::uint64_t tile_count(const job_layout_s& layout, byte_span_s run) {
    byte_span_s hull = hull_of(layout, run);
    return (hull.size() + layout.tile_bytes - 1) / layout.tile_bytes;
}

byte_span_s tile_of(const job_layout_s& layout, byte_span_s run, std::uint64_t index) {
    byte_span_s hull = hull_of(layout, run);
    std::uint64_t begin = hull.begin + index * layout.tile_bytes;
    return {begin, std::min(begin + layout.tile_bytes, hull.end)};
}

std::uint64_t tile_index(const job_layout_s& layout, byte_span_s run, std::uint64_t offset) {
    return (offset - hull_of(layout, run).begin) / layout.tile_bytes;
}

byte_span_s written_part(const job_layout_s& layout, byte_span_s run, run_side side) {
    std::uint64_t a = layout.alignment;
    if (side == run_side::low) {
        return {down(run.begin, a), std::max(down(run.begin, a), down(run.end, a))};
    }
    return {up(run.begin, a), up(run.end, a)};
}

byte_span_s carry_in(const job_layout_s& layout, byte_span_s run, run_side side) {
    std::uint64_t a = layout.alignment;
    if (side == run_side::low) {
        return {down(run.begin, a), run.begin};
    }
    return {run.end, up(run.end, a)};
}

byte_span_s carry_out(const job_layout_s& layout, byte_span_s run, run_side side) {
    std::uint64_t a = layout.alignment;
    if (side == run_side::low) {
        // A run inside one block hands on that block's carry with its own bytes added.
        return {down(run.end, a), run.end};
    }
    return {run.begin, up(run.begin, a)};
}

bool first_chunk(const job_layout_s& layout, chunk_s* chunk) {
    *chunk = chunk_s{};
    if (layout.nonces == 0) {
        return false;
    }
    while (layout.source_nonces[chunk->source] == 0) {
        ++chunk->source;
    }
    size_chunk(layout, chunk);
    return true;
}

bool first_chunk_of_pair(const job_layout_s& layout, std::uint64_t pair, chunk_s* chunk) {
    if (!first_chunk(layout, chunk) || pair >= scoop_pairs) {
        return false;
    }
    chunk->pair = pair;
    size_chunk(layout, chunk);
    return true;
}

bool next_chunk(const job_layout_s& layout, chunk_s* chunk) {
    chunk->first += chunk->count;
    while (chunk->first >= layout.source_nonces[chunk->source]) {
        chunk->first = 0;
        if (++chunk->source == layout.source_nonces.size()) {
            chunk->source = 0;
            if (++chunk->pair == scoop_pairs) {
                return false;
            }
        }
    }
    size_chunk(layout, chunk);
    return true;
}

byte_span_s chunk_in_source(const job_layout_s& layout, const chunk_s& chunk, run_side side) {
    std::uint64_t begin =
        source_run(layout, chunk.source, chunk.pair, side).begin + chunk.first * scoop_size;
    return {begin, begin + chunk.count * scoop_size};
}

byte_span_s chunk_in_target(const job_layout_s& layout, const chunk_s& chunk, run_side side) {
    std::uint64_t begin = target_run(layout, chunk.pair, side).begin +
                          (layout.first_nonce[chunk.source] + chunk.first) * scoop_size;
    return {begin, begin + chunk.count * scoop_size};
}

bool same_chunk(const chunk_s& a, const chunk_s& b) {
    return a.pair == b.pair && a.source == b.source && a.first == b.first;
}

std::uint64_t tiles_of_pair(const job_layout_s& layout, std::uint64_t pair, bool target) {
    std::uint64_t sources = 0;
    for (std::size_t j = 0; j < layout.source_nonces.size(); ++j) {
        if (layout.source_nonces[j] == 0) {
            continue;
        }
        for (run_side side : {run_side::low, run_side::high}) {
            sources += tile_count(layout, source_run(layout, j, pair, side));
        }
    }
    std::uint64_t target_bytes = 0;
    for (run_side side : {run_side::low, run_side::high}) {
        target_bytes += tile_count(layout, target_run(layout, pair, side));
    }
    return target ? std::max(sources, target_bytes) : sources;
}

namespace {

// The tiles of the run of (file, pair, side) that the bytes `span` lie in, as [first, last].
struct tile_range_s {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool used = false;
    void add(const job_layout_s& layout, byte_span_s run, byte_span_s span) {
        std::uint64_t from = tile_index(layout, run, span.begin);
        std::uint64_t to = tile_index(layout, run, span.end - 1);
        first = used ? std::min(first, from) : from;
        last = used ? std::max(last, to) : to;
        used = true;
    }
    std::uint64_t count() const { return used ? last - first + 1 : 0; }
};

} // namespace

bool stretch_end(const job_layout_s& layout, const chunk_s& first, std::uint64_t tiles,
                 bool target_tiles_of_its_own, chunk_s* end) {
    *end = first;
    chunk_s pair_start;
    if (first_chunk_of_pair(layout, first.pair, &pair_start) && same_chunk(pair_start, first)) {
        // Whole pairs, as many as fit.
        std::uint64_t pair = first.pair, used = 0;
        while (pair < scoop_pairs) {
            std::uint64_t more = tiles_of_pair(layout, pair, target_tiles_of_its_own);
            if (used + more > tiles) {
                break;
            }
            used += more;
            ++pair;
        }
        if (pair > first.pair) {
            return first_chunk_of_pair(layout, pair, end);
        }
    }
    // Part of one pair: chunks while the tiles they touch fit, on every file and side.
    std::vector<tile_range_s> ranges(2 * layout.source_nonces.size() + 2);
    chunk_s next = first;
    bool more = true;
    std::uint64_t chunks = 0;
    while (more && next.pair == first.pair) {
        std::vector<tile_range_s> with = ranges;
        std::uint64_t inputs = 0, outputs = 0;
        for (run_side side : {run_side::low, run_side::high}) {
            std::size_t index = 2 * next.source + (side == run_side::low ? 0 : 1);
            with[index].add(layout, source_run(layout, next.source, next.pair, side),
                            chunk_in_source(layout, next, side));
            std::size_t target = 2 * layout.source_nonces.size() + (side == run_side::low ? 0 : 1);
            with[target].add(layout, target_run(layout, next.pair, side),
                             chunk_in_target(layout, next, side));
        }
        for (std::size_t i = 0; i < with.size(); ++i) {
            (i < 2 * layout.source_nonces.size() ? inputs : outputs) += with[i].count();
        }
        if (chunks > 0 && (inputs > tiles || (target_tiles_of_its_own && outputs > tiles))) {
            break;
        }
        ranges = with;
        ++chunks;
        more = next_chunk(layout, &next);
        *end = next;
    }
    return more;
}
