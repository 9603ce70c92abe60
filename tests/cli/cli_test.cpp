// The terminal front end as a user runs it: a separate process on generated plots, its output
// checked by the independent checker.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>
#include <vector>

#include "support/plot_files.h"
#include "support/temp_folder.h"

namespace {

struct run_result_s {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs scoopshift-cli with `args` in `work_dir`, standard input empty (no terminal).
run_result_s run_cli(const std::string& work_dir, const std::vector<std::string>& args) {
    std::string out_path = work_dir + "/stdout.txt";
    std::string err_path = work_dir + "/stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(work_dir.c_str()) != 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(SCOOPSHIFT_CLI)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(SCOOPSHIFT_CLI, argv.data());
        _exit(127);
    }
    run_result_s result;
    int wstatus = 0;
    if (child > 0 && waitpid(child, &wstatus, 0) == child && WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    }
    result.out = read_text_file(out_path);
    result.err = read_text_file(err_path);
    return result;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A budget of exactly `nonces` nonces of buffer capacity, as a GiB text (exact: 3072 / 2^30 is
// a binary fraction).
std::string budget_for(int nonces) {
    char text[64];
    std::snprintf(text, sizeof text, "%.20f", nonces / 8 * 3072.0 / (1024.0 * 1024.0 * 1024.0));
    return text;
}

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
    EXPECT_NE(none.out.find("Select source and destination drives"), std::string::npos);
}

TEST_F(cli_test, a_rerun_over_existing_outputs_keeps_them_and_reports_failure) {
    ASSERT_EQ(run_cli(work.path, {"--keep-sources", source.path, destination.path}).status, 0);
    auto again = run_cli(work.path, {"--delete-sources", source.path, destination.path});
    EXPECT_EQ(again.status, 1) << again.out << again.err;
    EXPECT_NE(again.err.find("2 of 2 conversions did not complete"), std::string::npos)
        << again.err;
    EXPECT_NE(log().find("Error renaming " + destination.path + "/1_0_29.swizzling to " +
                         destination.path + "/1_0_29\n"),
              std::string::npos);
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_29", {plots[0], plots[1], plots[2]}), "");
    for (const auto& p : plots) {
        EXPECT_TRUE(exists(source_of(p))) << "a source whose output did not complete is kept";
    }
}

TEST_F(cli_test, mistakes_on_the_command_line_give_status_2_and_the_usage) {
    std::vector<std::vector<std::string>> mistakes = {
        {},
        {source.path},
        {source.path, destination.path, work.path},
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
