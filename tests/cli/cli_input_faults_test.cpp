// The terminal front end against input and circumstances that once cost plots: sources of the
// wrong length, two runs at once, reruns after a kill, unreadable sources, memory limits of the
// machine and of its control group, names that hold terminal controls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/plot_format.h"
#include "cli_runner.h"
#include "support/memory_group.h"
#include "support/plot_files.h"
#include "support/small_volume.h"

namespace {

std::uint64_t file_size(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// Polls every millisecond for up to 20 seconds.
bool wait_until(const std::function<bool()>& condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Writes the data of `data` under the name of `name`: same-named plots with different contents.
std::string write_plot_named(const std::string& folder, const plot_spec_s& data,
                             const std::string& name) {
    std::string written = write_poc1_plot(folder, data);
    std::string path = folder + "/" + name;
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(std::rename(written.c_str(), path.c_str()), 0);
    return path;
}

class cli_fault_test : public ::testing::Test {
  protected:
    temp_folder_s work, source, destination;
    std::string log() { return read_text_file(work.path + "/log_swizzle.txt"); }
};

TEST_F(cli_fault_test, a_source_longer_than_its_name_is_kept_and_its_job_fails) {
    std::string nine = write_plot_named(source.path, {400, 0, 9}, "400_0_8_8");
    plot_spec_s fine{401, 0, 8};
    write_poc1_plot(source.path, fine);
    auto r = run_cli(work.path, {"--delete-sources", source.path, destination.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(exists(nine)) << "a source whose job failed is never deleted";
    EXPECT_EQ(file_size(nine), plot_size(9));
    EXPECT_FALSE(exists(destination.path + "/400_0_8"));
    EXPECT_NE(r.err.find("more than the 2097152 bytes its name gives"), std::string::npos) << r.err;
    EXPECT_EQ(check_poc2_file(destination.path + "/401_0_8", {fine}), "");
}

// The first run holds its target from creation to final name; the second, converting a
// same-named plot from another folder into the same destination, leaves it alone.
TEST_F(cli_fault_test, two_runs_into_one_destination_never_share_a_target) {
    temp_folder_s other_work, other_source;
    plot_spec_s mine{1, 0, 256}, theirs{2, 0, 256};
    std::string my_source = write_plot_named(source.path, mine, "1_0_256_256");
    std::string their_source = write_plot_named(other_source.path, theirs, "1_0_256_256");
    std::string output = destination.path + "/1_0_256";

    auto first = start_cli(
        work.path, {"--max-ram", budget_for(8), "--delete-sources", source.path, destination.path});
    ASSERT_TRUE(wait_until([&] { return file_size(output + ".swizzling") == plot_size(256); }));
    ASSERT_EQ(kill(first.pid, SIGSTOP), 0); // the first run is mid-job, holding its target
    auto second =
        run_cli(other_work.path, {"--delete-sources", other_source.path, destination.path});
    ASSERT_EQ(kill(first.pid, SIGCONT), 0);
    auto first_result = finish_cli(first);

    EXPECT_EQ(second.status, 1) << second.out << second.err;
    EXPECT_NE(second.err.find("is being written by another conversion"), std::string::npos)
        << second.err;
    EXPECT_TRUE(exists(their_source));
    EXPECT_EQ(first_result.status, 0) << first_result.out << first_result.err;
    EXPECT_EQ(check_poc2_file(output, {mine}), "");
    EXPECT_FALSE(exists(my_source));
}

// Killed after one output had its final name: the rerun finishes the rest, leaves the finished
// output alone and keeps its sources, and succeeds.
TEST_F(cli_fault_test, a_rerun_after_a_kill_finishes_the_plan) {
    plot_spec_s quick{1, 0, 8}, slow{2, 0, 256};
    write_poc1_plot(source.path, quick);
    write_poc1_plot(source.path, slow);
    auto killed = start_cli(
        work.path, {"--max-ram", budget_for(8), "--delete-sources", source.path, destination.path});
    ASSERT_TRUE(wait_until([&] { return exists(destination.path + "/1_0_8"); }));
    ASSERT_EQ(kill(killed.pid, SIGKILL), 0);
    finish_cli(killed);
    ASSERT_FALSE(exists(destination.path + "/2_0_256")) << "the kill came too late to matter";

    auto rerun = run_cli(work.path, {"--delete-sources", source.path, destination.path});
    EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
    EXPECT_NE(rerun.out.find("1 PoC2 plots are already in the destination"), std::string::npos)
        << rerun.out;
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_8", {quick}), "");
    EXPECT_EQ(check_poc2_file(destination.path + "/2_0_256", {slow}), "");
    EXPECT_FALSE(exists(destination.path + "/2_0_256.swizzling"));
    EXPECT_TRUE(exists(source.path + "/" + poc1_name(quick)));
    EXPECT_FALSE(exists(source.path + "/" + poc1_name(slow)));
}

// A source this user may not read fails its own job; the others convert.
TEST_F(cli_fault_test, an_unreadable_source_fails_only_its_job) {
    plot_spec_s locked{1, 0, 8}, fine{2, 0, 8};
    std::string locked_path = write_poc1_plot(source.path, locked);
    write_poc1_plot(source.path, fine);
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        // Root reads anything: the program runs as nobody, who may use the folders.
        as_user = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        for (const auto* folder : {&work.path, &source.path, &destination.path}) {
            ASSERT_EQ(chmod(folder->c_str(), 0777), 0);
        }
        ASSERT_EQ(chmod((source.path + "/" + poc1_name(fine)).c_str(), 0644), 0);
    }
    ASSERT_EQ(chmod(locked_path.c_str(), 0), 0);
    auto r = finish_cli(
        start_cli(work.path, {"--delete-sources", source.path, destination.path}, as_user));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Could not open file:\n " + locked_path + "\nError code 13"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("1 of 2 conversions did not complete"), std::string::npos) << r.err;
    EXPECT_TRUE(exists(locked_path));
    EXPECT_EQ(check_poc2_file(destination.path + "/2_0_8", {fine}), "");
    EXPECT_FALSE(exists(source.path + "/" + poc1_name(fine)));
}

// The figure after "Using" in the plan line, in bytes.
std::uint64_t planned_memory(const std::string& out) {
    std::size_t at = out.find(" Using ");
    double value = 0;
    char unit[8] = "";
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, " Using %lf %7s", &value, unit) != 2) {
        return 0;
    }
    std::string u = unit;
    double scale = u == "KiB" ? 1024.0 : u == "MiB" ? 1048576.0 : u == "GiB" ? 1073741824.0 : 1e18;
    return static_cast<std::uint64_t>(value * scale);
}

// A 1 TiB plot planned inside a group of 64 MiB: the automatic budget is the group's, not the
// host's, or the kernel ends the run once its buffers are touched.
TEST_F(cli_fault_test, the_automatic_budget_keeps_within_the_control_group) {
    constexpr std::uint64_t limit = 64ull << 20;
    memory_group_s group(limit);
    if (!group.why_not.empty()) {
        GTEST_SKIP() << group.why_not;
    }
    small_volume_s roomy(destination.path + "/roomy", "2T");
    ASSERT_TRUE(roomy.mounted);
    std::ofstream(source.path + "/1_0_4194304_4194304"); // planning reads names only
    std::string path = group.path;
    auto r = finish_cli(start_cli(work.path, {"--plan-only", source.path, roomy.path}, {}, [path] {
        if (!join_memory_group(path)) {
            _exit(126);
        }
    }));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::uint64_t used = planned_memory(r.out);
    EXPECT_GT(used, 0u) << r.out;
    EXPECT_LE(used, limit) << r.out;
}

TEST_F(cli_fault_test, a_limit_beyond_the_machine_is_lowered_and_said) {
    plot_spec_s plot{1, 0, 8};
    write_poc1_plot(source.path, plot);
    auto plan =
        run_cli(work.path, {"--plan-only", "--max-ram", "100000", source.path, destination.path});
    EXPECT_EQ(plan.status, 0);
    EXPECT_NE(plan.out.find("(the limit of 97.7 TiB is more than the "), std::string::npos)
        << plan.out;
    auto run = run_cli(work.path, {"--max-ram", "100000", source.path, destination.path});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(log().find("The memory limit of 97.7 TiB is more than the "), std::string::npos);
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_8", {plot}), "");
}

// A name that holds escape sequences, a carriage return and a byte that is not UTF-8 reaches
// the terminal escaped, in the plan and in a box.
TEST_F(cli_fault_test, names_with_terminal_controls_are_printed_escaped) {
    // A folder and a file whose names hold controls: the file only begins like a plot (it is
    // listed as left alone), and the plot in the folder has one nonce too many (its box names
    // the folder).
    std::string weird = "\x1b]0;owned\x07\r\x9b"
                        "2J\xff";
    std::string folder = source.path + "/" + weird;
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write_plot_named(folder, {1, 0, 9}, "1_0_8_8");
    write_plot_named(folder, {2, 0, 8}, "2_0_8_8" + weird + ".plot");
    auto r = run_cli(work.path, {"--keep-sources", folder, destination.path});
    EXPECT_EQ(r.status, 1);
    for (const std::string* text : {&r.out, &r.err}) {
        for (char c : *text) {
            auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte >= 0x20 || c == '\n') << "raw control byte " << int(byte);
            EXPECT_NE(byte, 0xff);
        }
    }
    std::string escaped = "\\x1b]0;owned\\x07\\x0d\\x9b2J\\xff";
    EXPECT_NE(r.out.find("2_0_8_8" + escaped + ".plot: its name only begins like a plot's"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find(escaped + "/1_0_8_8"), std::string::npos) << r.err;
}

TEST_F(cli_fault_test, verify_reads_every_output_back_before_its_final_name) {
    plot_spec_s a{1, 0, 8}, b{1, 8, 13};
    write_poc1_plot(source.path, a);
    write_poc1_plot(source.path, b);
    auto r = run_cli(work.path, {"--verify", "--max-ram", budget_for(8), "--delete-sources",
                                 source.path, destination.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string text = log();
    std::string temporary = destination.path + "/1_0_21.swizzling";
    std::size_t verified = text.find("Verified " + temporary + "\n");
    EXPECT_NE(verified, std::string::npos) << text;
    EXPECT_LT(text.find("Verifying " + temporary + "\n"), verified);
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_21", {a, b}), "");
}

} // namespace
