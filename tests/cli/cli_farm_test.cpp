// The terminal front end over many folders, a separate process as a user runs it: the ways of
// naming sources and destinations, a run over two streams of drives at once, a plan with a plot
// that fits nowhere, and in place over several folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "farm_volumes.h"
#include "support/plot_files.h"
#include "support/small_volume.h"

namespace {

std::string poc2_name(const plot_spec_s& plot) {
    return std::to_string(plot.account_id) + "_" + std::to_string(plot.start_nonce) + "_" +
           std::to_string(plot.nonces);
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class cli_farm_test : public ::testing::Test {
  protected:
    temp_folder_s work, first, second, third, fourth;
    std::string log() { return read_text_file(work.path + "/log_swizzle.txt"); }
};

// Plans only: which folders are sources and which destinations, each named once.
TEST_F(cli_farm_test, the_last_folder_or_every_destination_option_is_a_destination) {
    // Two plots of account 1 that follow each other, one in each folder: they never merge.
    ASSERT_FALSE(write_poc1_plot(first.path, {1, 0, 8}).empty());
    ASSERT_FALSE(write_poc1_plot(second.path, {1, 8, 8}).empty());

    auto cp_like = run_cli(work.path, {"--plan-only", first.path, second.path, third.path});
    ASSERT_EQ(cp_like.status, 0) << cp_like.err;
    EXPECT_NE(cp_like.out.find("of 2 PoC1 plots will be converted to 2 PoC2 plots."),
              std::string::npos)
        << cp_like.out;
    // With more than one source folder each source is shown with its folder.
    EXPECT_NE(cp_like.out.find(third.path + "/1_0_8  8 nonces  2.1 MB  from " + first.path +
                               "/1_0_8_8\n"),
              std::string::npos)
        << cp_like.out;
    EXPECT_NE(cp_like.out.find(third.path + "/1_8_8  8 nonces  2.1 MB  from " + second.path +
                               "/1_8_8_8\n"),
              std::string::npos)
        << cp_like.out;

    auto options = run_cli(work.path, {"--plan-only", "--destination", third.path, first.path,
                                       second.path, "--destination", fourth.path});
    ASSERT_EQ(options.status, 0) << options.err;
    EXPECT_NE(options.out.find("of 2 PoC1 plots will be converted to 2 PoC2 plots."),
              std::string::npos)
        << options.out;
    for (const char* output : {"/1_0_8  ", "/1_8_8  "}) {
        bool on_third = options.out.find(third.path + output) != std::string::npos;
        bool on_fourth = options.out.find(fourth.path + output) != std::string::npos;
        EXPECT_NE(on_third, on_fourth) << output << " on exactly one destination: " << options.out;
    }

    // A folder named twice, with or without a trailing slash, counts once.
    auto twice = run_cli(work.path, {"--plan-only", first.path, first.path + "/", third.path});
    ASSERT_EQ(twice.status, 0) << twice.err;
    EXPECT_NE(twice.out.find("2.1 MB of 1 PoC1 plots will be converted to 1 PoC2 plots."),
              std::string::npos)
        << twice.out;
    EXPECT_NE(twice.out.find("from 1_0_8_8\n"), std::string::npos) << "one source folder";

    // Every folder is checked before anything starts, a destination too.
    auto missing = run_cli(work.path, {first.path, "--destination", third.path, "--destination",
                                       fourth.path + "/missing"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read folder " + fourth.path + "/missing"), std::string::npos)
        << missing.err;
    EXPECT_FALSE(exists(third.path + "/1_0_8.swizzling"));
}

// Two sources and two destinations on four drives: two streams at once. One output fails (its
// source is longer than its name says); only the sources of completed outputs are deleted.
TEST_F(cli_farm_test, two_streams_convert_at_once_and_only_completed_sources_are_deleted) {
    farm_volumes_s drives;
    if (!drives.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    std::vector<plot_spec_s> in_a{{1, 0, 8}, {1, 8, 5}};  // merged into 1_0_13
    std::vector<plot_spec_s> in_b{{2, 0, 16}, {3, 0, 7}}; // 3_0_7 is made too long below
    for (const auto& plot : in_a) {
        ASSERT_FALSE(write_poc1_plot(drives.source_a.path, plot).empty());
    }
    for (const auto& plot : in_b) {
        ASSERT_FALSE(write_poc1_plot(drives.source_b.path, plot).empty());
    }
    std::string too_long = drives.source_b.path + "/" + poc1_name(in_b[1]);
    ASSERT_EQ(truncate(too_long.c_str(), 8 * 262144), 0);

    auto r =
        run_cli(work.path, {"--max-ram", budget_for(8), "--delete-sources", drives.source_a.path,
                            drives.source_b.path, "--destination", drives.destination_c.path,
                            "--destination", drives.destination_d.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Converting on 2 drives at once: "), std::string::npos) << r.out;
    // Without a terminal each stream has its own line, after its drives' name.
    EXPECT_GE(count_of(r.out, ": Read "), 2) << r.out;
    EXPECT_NE(r.err.find("1 of 3 conversions did not complete; their sources are kept."),
              std::string::npos)
        << r.err;

    // Each source folder sent its outputs to one destination, the other source to the other.
    std::string a_to = exists(drives.destination_c.path + "/1_0_13") ? drives.destination_c.path
                                                                     : drives.destination_d.path;
    std::string b_to =
        a_to == drives.destination_c.path ? drives.destination_d.path : drives.destination_c.path;
    EXPECT_EQ(check_poc2_file(a_to + "/1_0_13", in_a), "");
    EXPECT_EQ(check_poc2_file(b_to + "/2_0_16", {in_b[0]}), "");
    EXPECT_FALSE(exists(b_to + "/3_0_7"));
    for (const auto& plot : in_a) {
        EXPECT_FALSE(exists(drives.source_a.path + "/" + poc1_name(plot))) << poc1_name(plot);
    }
    EXPECT_FALSE(exists(drives.source_b.path + "/" + poc1_name(in_b[0])));
    EXPECT_TRUE(exists(too_long)) << "the source of a failed output is kept";

    // The summary covers both streams.
    EXPECT_NE(r.out.find("  Converted: 2 ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Failed: 1\n    " + b_to + "/3_0_7: its source " + too_long +
                         " is longer than its name says\n"),
              std::string::npos)
        << r.out;
}

// A plot too large for the only destination with room is named as such and kept; the rest is
// converted, and the run says not everything was.
TEST_F(cli_farm_test, a_plot_that_fits_nowhere_is_listed_and_kept_while_the_rest_converts) {
    small_volume_s small(work.path + "/small", "3m");
    if (!small.mounted) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    plot_spec_s fits{1, 0, 8};     // 2 MiB
    plot_spec_s too_big{2, 0, 16}; // 4 MiB
    ASSERT_FALSE(write_poc1_plot(first.path, fits).empty());
    ASSERT_FALSE(write_poc1_plot(first.path, too_big).empty());

    auto plan = run_cli(work.path, {"--plan-only", first.path, small.path});
    ASSERT_EQ(plan.status, 0) << plan.out << plan.err;
    EXPECT_NE(plan.out.find("2.1 MB of 1 PoC1 plots will be converted to 1 PoC2 plots."),
              std::string::npos)
        << plan.out;
    EXPECT_NE(plan.out.find("1 PoC2 plots do not fit on any destination drive; they are not "
                            "converted and their sources are kept:\n  2_0_16  16 nonces  "
                            "4.2 MB  from 2_0_16_16\n"),
              std::string::npos)
        << plan.out;
    EXPECT_NE(plan.err.find("Warning: "), std::string::npos) << plan.err;

    auto r = run_cli(work.path, {"--delete-sources", first.path, small.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(check_poc2_file(small.path + "/1_0_8", {fits}), "");
    EXPECT_FALSE(exists(first.path + "/" + poc1_name(fits)));
    EXPECT_TRUE(exists(first.path + "/" + poc1_name(too_big)));
    EXPECT_FALSE(exists(small.path + "/2_0_16.swizzling"));
    EXPECT_NE(r.out.find("All 1 conversions completed."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  No room, sources kept: 1\n    2_0_16\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 PoC2 plots did not fit on any destination drive; their sources are "
                         "kept."),
              std::string::npos)
        << r.err;
}

TEST_F(cli_farm_test, in_place_converts_every_folder_given_each_once) {
    std::vector<plot_spec_s> in_first{{1, 0, 8}, {1, 8, 5}};
    plot_spec_s in_second{2, 100, 7};
    for (const auto& plot : in_first) {
        ASSERT_FALSE(write_poc1_plot(first.path, plot).empty());
    }
    ASSERT_FALSE(write_poc1_plot(second.path, in_second).empty());

    auto plan = run_cli(work.path, {"--plan-only", "--in-place", first.path, "--in-place",
                                    first.path + "/", second.path});
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("of 3 PoC1 plots will be converted in place in " + first.path + ", " +
                            second.path + ":"),
              std::string::npos)
        << plan.out;

    auto r = run_cli(work.path, {"--in-place", first.path, second.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("All 3 conversions in place completed."), std::string::npos) << r.out;
    for (const auto& plot : in_first) {
        EXPECT_EQ(check_poc2_file(first.path + "/" + poc2_name(plot), {plot}), "");
        EXPECT_FALSE(exists(first.path + "/" + poc1_name(plot)));
    }
    EXPECT_EQ(check_poc2_file(second.path + "/" + poc2_name(in_second), {in_second}), "");
}

// A folder without room for a journal keeps its plots as they are; the other folder converts.
TEST_F(cli_farm_test, in_place_a_folder_without_room_for_a_journal_leaves_only_its_own_plots) {
    small_volume_s full(work.path + "/full", "2600k");
    if (!full.mounted) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    plot_spec_s stays{4, 0, 8}; // 2 MiB of plot; its journal would take 1 MiB more
    plot_spec_s converts{5, 0, 8};
    ASSERT_FALSE(write_poc1_plot(full.path, stays).empty());
    ASSERT_FALSE(write_poc1_plot(first.path, converts).empty());

    auto r = run_cli(work.path, {"--in-place", full.path, first.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("1 PoC1 plots are in a folder without room for the journal of a "
                         "conversion in place; they are left as they are:\n  " +
                         full.path + "/4_0_8  8 nonces"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(check_poc2_file(first.path + "/" + poc2_name(converts), {converts}), "");
    EXPECT_TRUE(exists(full.path + "/" + poc1_name(stays)));
    EXPECT_FALSE(exists(full.path + "/" + poc2_name(stays) + ".swizzling"));
    EXPECT_NE(r.out.find("All 1 conversions in place completed."), std::string::npos) << r.out;
}

} // namespace
