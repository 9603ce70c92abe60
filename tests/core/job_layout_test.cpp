// The layout the engine moves a job's data in: for a table of geometries (single sources of odd
// and even nonce counts, merges of two and three sources, tiles from one block to whole runs),
// every transfer is aligned, the written parts of the target's tiles cover the file exactly
// once, every carry a run hands on is the one its neighbour takes in, and the chunks cover every
// source nonce of every pair exactly once, each within one tile of its low run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/plot_format.h"
#include "swizzler/job_layout.h"

namespace {

struct geometry_s {
    std::vector<std::uint64_t> sources;
    std::uint64_t alignment;
    std::uint64_t tile_bytes;
};

std::string describe(const geometry_s& g) {
    std::string text = "sources";
    for (auto n : g.sources) {
        text += " " + std::to_string(n);
    }
    return text + ", alignment " + std::to_string(g.alignment) + ", tile " +
           std::to_string(g.tile_bytes);
}

void check_geometry(const geometry_s& g) {
    SCOPED_TRACE(describe(g));
    job_layout_s layout = make_job_layout(g.sources, g.alignment, g.tile_bytes);
    std::uint64_t file_bytes = plot_size(layout.nonces);
    std::uint64_t a = layout.alignment;

    // Target: the written parts of every run's tiles, in file order, tile the file.
    std::vector<byte_span_s> written;
    for (std::uint64_t pair = 0; pair < scoop_pairs; ++pair) {
        for (run_side side : {run_side::low, run_side::high}) {
            byte_span_s run = target_run(layout, pair, side);
            byte_span_s part = written_part(layout, run, side);
            for (std::uint64_t t = 0; t < tile_count(layout, run); ++t) {
                byte_span_s tile = tile_of(layout, run, t);
                ASSERT_EQ(tile.begin % a, 0u);
                ASSERT_EQ(tile.end % a, 0u);
                ASSERT_LE(tile.end, file_bytes);
                byte_span_s piece = overlap(tile, part);
                if (!piece.empty()) {
                    written.push_back(piece);
                }
            }
            // What this run hands on is what the next run of its side takes in.
            if (pair + 1 < scoop_pairs) {
                byte_span_s out = carry_out(layout, run, side);
                byte_span_s in = carry_in(layout, target_run(layout, pair + 1, side), side);
                ASSERT_EQ(out.begin, in.begin) << "pair " << pair;
                ASSERT_EQ(out.end, in.end) << "pair " << pair;
                ASSERT_LT(out.size(), a);
            }
        }
    }
    std::sort(written.begin(), written.end(),
              [](byte_span_s x, byte_span_s y) { return x.begin < y.begin; });
    std::uint64_t covered = 0;
    for (byte_span_s piece : written) {
        ASSERT_EQ(piece.begin, covered) << "a gap or an overlap";
        covered = piece.end;
    }
    EXPECT_EQ(covered, file_bytes);

    // Chunks: every nonce of every source in every pair once, in order, within one low tile.
    std::vector<std::uint64_t> next_nonce(g.sources.size(), 0);
    std::uint64_t pair = 0;
    chunk_s chunk;
    for (bool more = first_chunk(layout, &chunk); more; more = next_chunk(layout, &chunk)) {
        if (chunk.pair != pair) {
            for (std::size_t j = 0; j < g.sources.size(); ++j) {
                ASSERT_EQ(next_nonce[j], g.sources[j]) << "pair " << pair;
                next_nonce[j] = 0;
            }
            ASSERT_EQ(chunk.pair, pair + 1);
            pair = chunk.pair;
        }
        ASSERT_GT(chunk.count, 0u);
        ASSERT_EQ(chunk.first, next_nonce[chunk.source]);
        next_nonce[chunk.source] += chunk.count;
        byte_span_s run = source_run(layout, chunk.source, chunk.pair, run_side::low);
        byte_span_s bytes = chunk_in_source(layout, chunk, run_side::low);
        ASSERT_EQ(tile_index(layout, run, bytes.begin), tile_index(layout, run, bytes.end - 1));
        byte_span_s high = chunk_in_source(layout, chunk, run_side::high);
        byte_span_s high_run = source_run(layout, chunk.source, chunk.pair, run_side::high);
        ASSERT_LE(tile_index(layout, high_run, high.end - 1) -
                      tile_index(layout, high_run, high.begin),
                  1u)
            << "a chunk's high bytes lie in at most two tiles";
    }
    EXPECT_EQ(pair, scoop_pairs - 1);
    for (std::size_t j = 0; j < g.sources.size(); ++j) {
        EXPECT_EQ(next_nonce[j], g.sources[j]);
    }
}

TEST(job_layout, every_transfer_aligned_and_every_byte_written_once) {
    std::vector<geometry_s> table;
    for (std::uint64_t n : {1, 2, 7, 8, 63, 64, 65, 127, 500, 1000, 1023, 1024, 2047, 3001}) {
        for (std::uint64_t tile : {4096, 12288, 65536, 1 << 20}) {
            table.push_back({{n}, 4096, tile});
        }
    }
    for (std::uint64_t tile : {512, 4096}) {
        table.push_back({{333}, 512, tile});
    }
    table.push_back({{8, 16}, 4096, 4096});
    table.push_back({{5, 11}, 4096, 4096});
    table.push_back({{100, 37, 3}, 4096, 4096});
    table.push_back({{1000, 1}, 4096, 8192});
    table.push_back({{64, 64, 64}, 4096, 4096});
    table.push_back({{1, 2, 3}, 512, 512});
    table.push_back({{777, 2000}, 8192, 65536});
    for (const geometry_s& g : table) {
        check_geometry(g);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

} // namespace
