// The terminal front end as a user runs it: a separate process on generated plots, its output
// checked by the independent checker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "support/plot_files.h"

namespace {

class cli_test : public ::testing::Test {
  protected:
    temp_folder_s work, source, destination;
    // Account 1: three plots that follow each other, the last not a multiple of 8 nonces;
    // account 2: one plot of 7 nonces.
    std::vector<plot_spec_s> plots{{1, 0, 8}, {1, 8, 16}, {1, 24, 5}, {2, 100, 7}};

    void SetUp() override {
        for (const auto& p : plots) {
            ASSERT_FALSE(write_poc1_plot(source.path, p).empty());
        }
    }
    std::string source_of(const plot_spec_s& p) { return source.path + "/" + poc1_name(p); }
    std::string log() { return read_text_file(work.path + "/log_swizzle.txt"); }
};

TEST_F(cli_test, merged_conversion_in_many_chunks_deletes_the_converted_sources) {
    auto r = run_cli(
        work.path, {"--max-ram", budget_for(8), "--delete-sources", source.path, destination.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("of 4 PoC1 plots will be converted to 2 PoC2 plots."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("All 2 conversions completed."), std::string::npos) << r.out;
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_29", {plots[0], plots[1], plots[2]}), "");
    EXPECT_EQ(check_poc2_file(destination.path + "/2_100_7", {plots[3]}), "");
    for (const auto& p : plots) {
        EXPECT_FALSE(exists(source_of(p))) << poc1_name(p);
    }
    std::string text = log();
    EXPECT_NE(text.find("Deleting " + source_of(plots[0]) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Work thread ended\n"), std::string::npos);
}

TEST_F(cli_test, without_merging_every_plot_is_its_own_output_and_sources_stay) {
    auto r = run_cli(work.path, {"--no-merge", "--keep-sources", source.path, destination.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& p : plots) {
        std::string out = destination.path + "/" + std::to_string(p.account_id) + "_" +
                          std::to_string(p.start_nonce) + "_" + std::to_string(p.nonces);
        EXPECT_EQ(check_poc2_file(out, {p}), "");
        EXPECT_TRUE(exists(source_of(p)));
    }
    EXPECT_EQ(log().find("Deleting "), std::string::npos);
}

TEST_F(cli_test, without_a_terminal_or_an_answer_the_sources_are_kept) {
    auto r = run_cli(work.path, {source.path, destination.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("Done!"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Work thread started"), std::string::npos) << "log lines stay in the log";
    EXPECT_NE(log().find("Work thread started\n"), std::string::npos);
    for (const auto& p : plots) {
        EXPECT_TRUE(exists(source_of(p)));
    }
}

TEST_F(cli_test, plan_only_shows_the_plan_and_writes_nothing) {
    auto r = run_cli(work.path, {"--plan-only", source.path, destination.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("9.4 MB of 4 PoC1 plots will be converted to 2 PoC2 plots. Using"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(destination.path + "/1_0_29  29 nonces  7.6 MB  from 1_0_8_8, "
                                            "1_8_16_16, 1_24_5_5"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(destination.path + "/2_100_7  7 nonces"), std::string::npos);
    EXPECT_FALSE(exists(destination.path + "/1_0_29"));
    EXPECT_FALSE(exists(destination.path + "/1_0_29.swizzling"));

    temp_folder_s empty;
    auto none = run_cli(work.path, {"--plan-only", empty.path, destination.path});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.out.find("No optimized PoC1 plots in " + empty.path), std::string::npos);
}

// A rerun finds the outputs of the first run, converts nothing again, keeps their sources (this
// run did not write them) and succeeds.
TEST_F(cli_test, a_rerun_over_existing_outputs_keeps_them_and_succeeds) {
    ASSERT_EQ(run_cli(work.path, {"--keep-sources", source.path, destination.path}).status, 0);
    auto again = run_cli(work.path, {"--delete-sources", source.path, destination.path});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("2 PoC2 plots are already in the destination"), std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("Nothing to convert"), std::string::npos) << again.out;
    EXPECT_EQ(log().find("Creating target"), std::string::npos);
    EXPECT_FALSE(exists(destination.path + "/1_0_29.swizzling"));
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_29", {plots[0], plots[1], plots[2]}), "");
    for (const auto& p : plots) {
        EXPECT_TRUE(exists(source_of(p))) << "a source of an output this run did not write stays";
    }
}

TEST_F(cli_test, mistakes_on_the_command_line_give_status_2_and_the_usage) {
    std::vector<std::vector<std::string>> mistakes = {
        {},
        {source.path},
        {"--destination", destination.path},
        {source.path, "--destination"},
        {"--frobnicate", source.path, destination.path},
        {"--max-ram", "lots", source.path, destination.path},
        {"--max-ram", "-1", source.path, destination.path},
        {"--max-ram", "1e30", source.path, destination.path},
        {"--max-ram"},
        {"--delete-sources", "--keep-sources", source.path, destination.path},
        {source.path + "/missing", destination.path},
        {source.path, source_of(plots[0])},
    };
    for (const auto& args : mistakes) {
        auto r = run_cli(work.path, args);
        std::string shown;
        for (const auto& a : args) {
            shown += a + " ";
        }
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_NE(r.err.find("usage: scoopshift-cli"), std::string::npos) << shown;
    }
    auto help = run_cli(work.path, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: scoopshift-cli"), std::string::npos);
}

} // namespace
