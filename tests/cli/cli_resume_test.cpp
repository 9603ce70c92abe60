// kill -9 at random moments of a copying run of the terminal front end, each followed by a
// rerun: the runs take over each other's work, the source stays as it was until the run that
// completes it, and the output is bit-exact.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "cli_runner.h"
#include "support/plot_files.h"

namespace {

// Every byte of a file, to tell whether a source was touched.
std::string contents_of(const std::string& path) {
    return read_text_file(path);
}

TEST(cli_resume, twenty_kills_at_random_moments_then_a_run_that_completes_the_plot) {
    temp_folder_s work, source, destination;
    plot_spec_s plot{6, 0, 128};
    std::string source_path = write_poc1_plot(source.path, plot);
    ASSERT_FALSE(source_path.empty());
    std::string original = contents_of(source_path);
    std::string output = destination.path + "/6_0_128";
    // Checkpoints every 20 ms and the least budget: many records in a run of about a second.
    setenv("SCOOPSHIFT_CHECKPOINT_SECONDS", "0.02", 1);
    std::vector<std::string> args = {"--max-ram", "0.00003", "--delete-sources", source.path,
                                     destination.path};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> moment_ms(5, 600);
    int resumed_runs = 0;
    for (int kill_number = 0; kill_number < 20 && !exists(output); ++kill_number) {
        cli_process_s run = start_cli(work.path, args);
        std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
        kill(run.pid, SIGKILL);
        finish_cli(run);
        std::string log = read_text_file(work.path + "/log_swizzle.txt");
        resumed_runs += log.find("Resuming ") != std::string::npos;
        if (!exists(output)) {
            EXPECT_EQ(contents_of(source_path), original) << "after kill " << kill_number;
        }
    }
    auto last = run_cli(work.path, args);
    unsetenv("SCOOPSHIFT_CHECKPOINT_SECONDS");
    EXPECT_EQ(last.status, 0) << last.out << last.err;
    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_FALSE(exists(output + ".swizzling"));
    EXPECT_FALSE(exists(output + ".swizzling.progress"));
    EXPECT_GT(resumed_runs, 0) << "no run ever took over another's work";
}

} // namespace
