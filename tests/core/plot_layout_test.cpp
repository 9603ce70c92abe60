#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "support/plot_files.h"
#include "support/temp_folder.h"
#include "swizzler/swizzle.h"

namespace {

TEST(plot_layout, offsets_of_single_and_merged_files) {
    EXPECT_EQ(plot_size(8192), 2147483648u);
    EXPECT_EQ(plot_size(1), 262144u);
    EXPECT_EQ(scoop_offset(3, 5, 2), 1088u);
    EXPECT_EQ(plot_size(3) - 1, scoop_offset(3, 4095, 2) + 63);
    EXPECT_EQ(scoop_offset(1, 7, 0), 7u * 64);
    // Nonce 3 of the second source of an 8 + 16 merge is target nonce 11.
    EXPECT_EQ(scoop_offset(24, 0, 8 + 3), 704u);
    EXPECT_EQ(scoop_offset(24, 1, 8 + 3), 2240u);
    EXPECT_EQ(scoop_offset(1ull << 40, 4095, (1ull << 40) - 1) + 64, plot_size(1ull << 40));
}

// Small runs, large runs (streamed past the cache) and buffers off 16-byte alignment.
TEST(plot_layout, swizzle_exchanges_second_halves_only_and_twice_is_identity) {
    for (std::uint64_t count : {5ull, 40000ull}) {
        for (std::size_t shift : {0u, 8u}) {
            std::vector<std::uint8_t> low_store(count * 64 + 16), high_store(count * 64 + 16);
            std::uint8_t* low = low_store.data() + shift;
            std::uint8_t* high = high_store.data() + shift;
            for (std::size_t i = 0; i < count * 64; ++i) {
                low[i] = static_cast<std::uint8_t>(i * 7 + 1 + i / 4096);
                high[i] = static_cast<std::uint8_t>(i * 13 + 200 + i / 8192);
            }
            std::vector<std::uint8_t> low0(low, low + count * 64), high0(high, high + count * 64);
            // Into separate buffers first: the inputs stay, the outputs must match the in-place
            // exchange checked below.
            std::vector<std::uint8_t> out_low(count * 64 + 16), out_high(count * 64 + 16);
            swizzle_pair_into(low, high, out_low.data() + shift, out_high.data() + shift, count);
            EXPECT_TRUE(std::equal(low0.begin(), low0.end(), low)) << "inputs are read only";
            swizzle_pair(low, high, count);
            EXPECT_TRUE(std::equal(low, low + count * 64, out_low.data() + shift)) << count;
            EXPECT_TRUE(std::equal(high, high + count * 64, out_high.data() + shift)) << count;
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < count * 64; ++i) {
                bool first_half = i % 64 < 32;
                wrong += low[i] != (first_half ? low0[i] : high0[i]);
                wrong += high[i] != (first_half ? high0[i] : low0[i]);
            }
            EXPECT_EQ(wrong, 0u) << count << " scoops, shift " << shift;
            swizzle_pair(low, high, count);
            EXPECT_TRUE(std::equal(low0.begin(), low0.end(), low)) << count;
            EXPECT_TRUE(std::equal(high0.begin(), high0.end(), high)) << count;
            swizzle_pair(low, high, 0);
            EXPECT_TRUE(std::equal(low0.begin(), low0.end(), low)) << "nothing to do";
        }
    }
}

// Converts a whole generated plot in memory by scoop pairs, in chunks, and lets the independent
// checker judge the result: ties the layout, the swizzle and the checker together.
TEST(plot_layout, converting_pairs_in_chunks_gives_what_the_checker_expects) {
    temp_folder_s folder;
    for (std::uint64_t nonces : {1ull, 3ull, 7ull}) {
        plot_spec_s plot{42, 1000, nonces};
        std::string path = write_poc1_plot(folder.path, plot);
        ASSERT_FALSE(path.empty());
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> data(plot_size(nonces));
        in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
        ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(data.size()));

        for (std::uint64_t s = 0; s < scoop_pairs; ++s) {
            for (std::uint64_t k = 0; k < nonces; k += 2) {
                std::uint64_t n = std::min<std::uint64_t>(2, nonces - k);
                swizzle_pair(&data[scoop_offset(nonces, s, k)],
                             &data[scoop_offset(nonces, scoops_per_nonce - 1 - s, k)], n);
            }
        }
        std::string out = folder.path + "/converted";
        std::ofstream(out, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        EXPECT_EQ(check_poc2_file(out, {plot}), "") << nonces;
        // The unconverted source must not pass.
        EXPECT_NE(check_poc2_file(path, {plot}), "");
    }
}

TEST(plot_files, checker_notices_swapped_sources_and_wrong_lengths) {
    temp_folder_s folder;
    plot_spec_s a{1, 0, 2}, b{1, 2, 3};
    // Build the correct merged PoC2 file by hand from the generator.
    std::vector<std::uint8_t> merged;
    for (std::uint64_t s = 0; s < 4096; ++s) {
        for (const auto& src : {a, b}) {
            for (std::uint64_t k = 0; k < src.nonces; ++k) {
                std::uint8_t lo[64], hi[64];
                poc1_scoop(src, k, s, lo);
                poc1_scoop(src, k, 4095 - s, hi);
                merged.insert(merged.end(), lo, lo + 32);
                merged.insert(merged.end(), hi + 32, hi + 64);
            }
        }
    }
    std::string path = folder.path + "/1_0_5";
    auto write = [&](std::size_t length) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(merged.data()),
                   static_cast<std::streamsize>(length));
    };
    write(merged.size());
    EXPECT_EQ(check_poc2_file(path, {a, b}), "");
    EXPECT_NE(check_poc2_file(path, {b, a}), "");
    EXPECT_NE(check_poc2_file(path, {plot_spec_s{2, 0, 2}, b}), "");
    write(merged.size() - 64);
    EXPECT_NE(check_poc2_file(path, {a, b}), "");
    merged.push_back(0);
    write(merged.size());
    EXPECT_NE(check_poc2_file(path, {a, b}), "");
}

} // namespace
