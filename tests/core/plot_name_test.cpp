#include <gtest/gtest.h>

#include <string>

#include "catalogue/plot_name.h"
#include "util/log.h"

namespace {

struct classified_s {
    plot_file_kind kind;
    plot_file_s plot;
    std::string logged; // what the step wrote to the log (seen on standard error)
};

classified_s classify(const std::string& folder, const std::string& name) {
    classified_s result;
    ::testing::internal::CaptureStderr();
    result.kind = classify_plot_file(folder, name, &result.plot);
    result.logged = ::testing::internal::GetCapturedStderr();
    return result;
}

TEST(plot_names, optimized_poc1_plots_are_accepted_with_their_numbers_and_path) {
    auto c = classify("/mnt/plots", "123_0_8192_8192");
    EXPECT_EQ(c.kind, plot_file_kind::accepted);
    EXPECT_EQ(c.plot.account_id, 123u);
    EXPECT_EQ(c.plot.start_nonce, 0u);
    EXPECT_EQ(c.plot.nonces, 8192u);
    EXPECT_EQ(c.plot.stagger, 8192u);
    EXPECT_EQ(c.plot.path, "/mnt/plots/123_0_8192_8192");
    EXPECT_EQ(c.logged, "");
}

// Partial and renamed copies only begin like a plot: never converted, deleted or renamed, but
// named in the log, since a farmer may wonder where they went.
TEST(plot_names, a_name_that_only_begins_like_a_plot_is_none) {
    for (std::string name :
         {"123_0_8192_8192.plot", "3_0_8_8.part", "3_0_8_8.bak", " 3_0_8_8", "+3_0_8_8", "3_ 0_8_8",
          "3_0_8_8_", "3_0_8_", "99999999999999999999999_0_8_8", "-1_0_8_8"}) {
        auto c = classify("/p", name);
        EXPECT_EQ(c.kind, plot_file_kind::resembles_plot) << name;
        EXPECT_EQ(c.plot.nonces, 0u) << name;
        EXPECT_EQ(c.logged, "Skipping " + name + ": its name only begins like a plot's\n");
    }
}

TEST(plot_names, skipped_names_log_their_kind) {
    struct case_s {
        const char* name;
        plot_file_kind kind;
        const char* line;
    } cases[] = {
        {"123_0_8192_4096", plot_file_kind::skipped_unoptimized,
         "Skipping 123_0_8192_4096 which is unoptimized PoC1\n"},
        {"123_0_0_5", plot_file_kind::skipped_unoptimized,
         "Skipping 123_0_0_5 which is unoptimized PoC1\n"},
        {"123_0_8192_0", plot_file_kind::skipped_poc2,
         "Skipping 123_0_8192_0 which is already PoC2\n"},
        {"123_0_8192", plot_file_kind::skipped_poc2, "Skipping 123_0_8192 which is already PoC2\n"},
        {"123_0_8192.swizzling", plot_file_kind::not_a_plot, ""},
        {"123_0_8192.swizzling.progress", plot_file_kind::not_a_plot, ""},
        {"123_0_8192.swizzling.journal", plot_file_kind::not_a_plot, ""},
        {"123_0", plot_file_kind::not_a_plot, ""},
        {"desktop.ini", plot_file_kind::not_a_plot, ""},
        {"", plot_file_kind::not_a_plot, ""},
    };
    for (const auto& c : cases) {
        auto got = classify("/p", c.name);
        EXPECT_EQ(got.kind, c.kind) << c.name;
        EXPECT_EQ(got.logged, c.line) << c.name;
        if (c.kind == plot_file_kind::skipped_poc2) {
            EXPECT_EQ(got.plot.stagger, 0u) << c.name;
        }
    }
}

TEST(plot_names, parse_reads_only_the_name_after_the_last_slash) {
    plot_file_s plot;
    EXPECT_EQ(parse_plot_file_name("/data/7_8_9/1_100_50_50", &plot), plot_name_kind::poc1);
    EXPECT_EQ(plot.account_id, 1u);
    EXPECT_EQ(plot.start_nonce, 100u);
    EXPECT_EQ(plot.nonces, 50u);

    plot_file_s poc2;
    EXPECT_EQ(parse_plot_file_name("/data/1_2_3_4/5_6_7", &poc2), plot_name_kind::poc2);
    EXPECT_EQ(poc2.nonces, 7u);
    EXPECT_EQ(poc2.stagger, 0u);

    plot_file_s none;
    EXPECT_EQ(parse_plot_file_name("/data/1_2_3_4/", &none), plot_name_kind::none);
    EXPECT_EQ(none.nonces, 0u);
}

TEST(plot_names, the_largest_numbers_and_leading_zeros_are_digits) {
    plot_file_s big;
    EXPECT_EQ(parse_plot_file_name("18446744073709551615_0_8_8", &big), plot_name_kind::poc1);
    EXPECT_EQ(big.account_id, 18446744073709551615ull);
    plot_file_s over;
    EXPECT_EQ(parse_plot_file_name("18446744073709551616_0_8_8", &over), plot_name_kind::none);
    EXPECT_EQ(over.account_id, 0u);
}

TEST(plot_names, output_paths_insert_one_slash_and_plain_decimals) {
    EXPECT_EQ(make_output_path("/media/e/Plots", 123, 0, 8192), "/media/e/Plots/123_0_8192");
    EXPECT_EQ(make_output_path("/", 1, 2, 3), "//1_2_3");
    EXPECT_EQ(make_output_path("/p", 18446744073709551615ull, 0, 1), "/p/18446744073709551615_0_1");
    plot_file_s plot;
    ASSERT_EQ(parse_plot_file_name("0123_0_10_10", &plot), plot_name_kind::poc1);
    EXPECT_EQ(make_output_path("/d", plot.account_id, plot.start_nonce, plot.nonces),
              "/d/123_0_10");
    std::string deep = "/" + std::string(400, 'x');
    EXPECT_EQ(make_output_path(deep, 1, 0, 8), deep + "/1_0_8") << "paths are never cut";
}

TEST(plot_names, a_root_folder_gives_a_double_slash) {
    auto c = classify("/", "123_0_8192_8192");
    EXPECT_EQ(c.plot.path, "//123_0_8192_8192");
}

} // namespace
