// The terminal front end on a terminal: a separate process on a pseudo-terminal, as a user at a
// console runs it, answering its prompts; and the closing summary it prints.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "farm_volumes.h"
#include "support/plot_files.h"
#include "support/temp_folder.h"
#include "swizzler/conversion_record.h"
#include "sys/cli_summary.h"

namespace {

struct terminal_run_s {
    int status = -1;
    std::string screen; // everything shown, with the line ends the terminal adds taken out
};

// Runs scoopshift-cli in `work_dir` on a new pseudo-terminal `columns` wide. Each time the next
// prompt of `answers` appears on the screen, its reply is typed. A run that has not ended after two
// minutes is killed (status -1), so a prompt that never comes cannot hang the test.
terminal_run_s run_on_terminal(const std::string& work_dir, const std::vector<std::string>& args,
                               std::vector<std::pair<std::string, std::string>> answers = {},
                               unsigned short columns = 160) {
    terminal_run_s run;
    int terminal = -1;
    winsize size{40, columns, 0, 0};
    pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
        if (chdir(work_dir.c_str()) != 0) {
            _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(SCOOPSHIFT_CLI)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(SCOOPSHIFT_CLI, argv.data());
        _exit(127);
    }
    if (child < 0) {
        return run;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::string shown;
    std::size_t answered_up_to = 0;
    bool closed = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait_fd{terminal, POLLIN, 0};
        if (poll(&wait_fd, 1, 200) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            closed = true; // EIO: the program has ended and closed the terminal
            break;
        }
        shown.append(buffer, static_cast<std::size_t>(n));
        // One read may bring several prompts.
        while (!answers.empty()) {
            std::size_t at = shown.find(answers.front().first, answered_up_to);
            if (at == std::string::npos) {
                break;
            }
            const std::string& reply = answers.front().second;
            if (write(terminal, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
                break;
            }
            answered_up_to = at + answers.front().first.size();
            answers.erase(answers.begin());
        }
    }
    if (!closed) {
        kill(child, SIGKILL);
    }
    int wstatus = 0;
    if (waitpid(child, &wstatus, 0) == child && WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    close(terminal);
    for (char c : shown) {
        if (c != '\r') {
            run.screen += c;
        }
    }
    return run;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

class cli_terminal_test : public ::testing::Test {
  protected:
    temp_folder_s work, source, destination;
    // Account 1: three plots that follow each other (one output); account 2: one plot.
    std::vector<plot_spec_s> plots{{1, 0, 8}, {1, 8, 16}, {1, 24, 5}, {2, 100, 7}};

    void SetUp() override {
        for (const auto& p : plots) {
            ASSERT_FALSE(write_poc1_plot(source.path, p).empty());
        }
    }
    std::string source_of(const plot_spec_s& p) { return source.path + "/" + poc1_name(p); }
};

TEST_F(cli_terminal_test, a_run_on_a_terminal_asks_done_and_ends_with_its_summary) {
    auto run = run_on_terminal(work.path, {source.path, destination.path},
                               {{"Done!", ""}, {"[y/n] ", "n\n"}});
    ASSERT_EQ(run.status, 0) << run.screen;
    EXPECT_NE(run.screen.find("Swizzling has completed."), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find("Read "), std::string::npos) << "no progress line: " << run.screen;

    std::string expected = "Summary:\n"
                           "  Converted: 2 (9.4 MB)\n"
                           "    " +
                           destination.path + "/1_0_29\n" + "    " + destination.path +
                           "/2_100_7\n"
                           "  Skipped: 0\n"
                           "  Failed: 0\n"
                           "  Written: 9.4 MB in ";
    std::size_t summary = run.screen.find(expected);
    ASSERT_NE(summary, std::string::npos) << run.screen;
    std::size_t speed = run.screen.find(" on average\n", summary);
    EXPECT_NE(speed, std::string::npos) << run.screen;
    EXPECT_LT(summary, run.screen.find("All 2 conversions completed."))
        << "the summary comes before the outcome line";

    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_29", {plots[0], plots[1], plots[2]}), "");
    EXPECT_EQ(check_poc2_file(destination.path + "/2_100_7", {plots[3]}), "");
    for (const auto& p : plots) {
        EXPECT_TRUE(exists(source_of(p))) << "answered No, yet " << poc1_name(p) << " is gone";
    }
}

// With --json nobody is asked, even on a terminal: Done! takes its safe answer and the event says
// so; there are no progress lines. A prompt would hang the run until it is killed. The log goes
// where --log says.
TEST_F(cli_terminal_test, with_json_a_terminal_is_not_asked_and_shows_no_progress_lines) {
    auto run = run_on_terminal(work.path,
                               {"--json", "--log", "chosen.log", source.path, destination.path});
    ASSERT_EQ(run.status, 0) << run.screen;
    EXPECT_NE(read_text_file(work.path + "/chosen.log").find(" Work thread ended\n"),
              std::string::npos);
    EXPECT_FALSE(exists(work.path + "/log_swizzle.txt"));
    EXPECT_EQ(run.screen.find("[y/n]"), std::string::npos) << run.screen;
    EXPECT_EQ(run.screen.find("Read "), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find(R"("title":"Done!")"), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find(R"("answer":"no","answered_by":"rule")"), std::string::npos)
        << run.screen;
    for (const auto& p : plots) {
        EXPECT_TRUE(exists(source_of(p))) << poc1_name(p);
    }
}

// A rerun after one output was finished and one source was found too long: the summary says
// what was already there and why the other failed.
TEST_F(cli_terminal_test,
       the_summary_lists_outputs_already_there_and_each_failure_with_its_reason) {
    std::ofstream(destination.path + "/1_0_29") << "finished by an earlier run";
    ASSERT_EQ(truncate(source_of(plots[3]).c_str(), 8 * 262144), 0);
    auto again = run_on_terminal(work.path, {source.path, destination.path});
    EXPECT_EQ(again.status, 1) << again.screen;
    std::string expected = "  Converted: 0\n"
                           "  Already there, sources kept: 1\n"
                           "    " +
                           destination.path +
                           "/1_0_29\n"
                           "  Skipped: 0\n"
                           "  Failed: 1\n"
                           "    " +
                           destination.path + "/2_100_7: its source " + source_of(plots[3]) +
                           " is longer than its name says\n";
    EXPECT_NE(again.screen.find(expected), std::string::npos) << again.screen;
    EXPECT_EQ(again.screen.find("Done!"), std::string::npos) << "nothing to delete, nothing asked";
}

// What each status line drawn showed: the text after each "clear to the end of the line" up to
// the next line end or escape sequence.
std::vector<std::string> drawn_lines(const std::string& screen) {
    std::vector<std::string> lines;
    const std::string clear = "\033[K";
    for (std::size_t at = screen.find(clear); at != std::string::npos;
         at = screen.find(clear, at + 1)) {
        std::size_t start = at + clear.size();
        std::size_t end = screen.find_first_of("\n\033", start);
        lines.push_back(screen.substr(start, end == std::string::npos ? end : end - start));
    }
    return lines;
}

// Two streams on four drives: a line for each, after its drives' name, cut to the terminal's
// width so that none wraps; the question first clears both.
TEST_F(cli_terminal_test, two_streams_have_a_status_line_each_within_the_width) {
    farm_volumes_s drives;
    if (!drives.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    plot_spec_s in_a{1, 0, 8};
    plot_spec_s in_b{2, 0, 8};
    ASSERT_FALSE(write_poc1_plot(drives.source_a.path, in_a).empty());
    ASSERT_FALSE(write_poc1_plot(drives.source_b.path, in_b).empty());
    auto run =
        run_on_terminal(work.path,
                        {drives.source_a.path, drives.source_b.path, "--destination",
                         drives.destination_c.path, "--destination", drives.destination_d.path},
                        {{"[y/n] ", "n\n"}}, 40);
    ASSERT_EQ(run.status, 0) << run.screen;

    int stream_lines = 0;
    for (const std::string& line : drawn_lines(run.screen)) {
        EXPECT_LE(line.size(), 39u) << "wider than the terminal: " << line;
        stream_lines += line.find(": Read ") != std::string::npos;
    }
    EXPECT_GE(stream_lines, 2) << run.screen;
    // The second line of a block follows the first on the next line.
    EXPECT_NE(run.screen.find(": Read "), std::string::npos);
    std::size_t second = run.screen.find("\n\033[K");
    ASSERT_NE(second, std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find(": Read ", second), std::string::npos) << run.screen;
    // Cleared from the last line up before the question.
    EXPECT_NE(run.screen.find("\033[K\033[A\033[KDone!"), std::string::npos) << run.screen;

    for (const auto& [source, plot] :
         {std::pair{drives.source_a.path, in_a}, std::pair{drives.source_b.path, in_b}}) {
        std::string name = std::to_string(plot.account_id) + "_0_8";
        std::string output = exists(drives.destination_c.path + "/" + name)
                                 ? drives.destination_c.path + "/" + name
                                 : drives.destination_d.path + "/" + name;
        EXPECT_EQ(check_poc2_file(output, {plot}), "");
        EXPECT_TRUE(exists(source + "/" + poc1_name(plot)));
    }
}

TEST_F(cli_terminal_test, version_prints_the_projects_version) {
    auto run = run_on_terminal(work.path, {"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.screen, std::string("scoopshift-cli ") + SCOOPSHIFT_VERSION + "\n");
}

// The summary of a record as the run left it, without running anything.
TEST(cli_summary, jobs_are_grouped_by_outcome_and_the_speed_is_the_written_bytes_over_the_time) {
    swizzler_s record;
    auto add_job = [&](const char* output, std::uint64_t nonces, job_state state,
                       const char* failure) {
        conversion_job_s& job = record.plan.jobs.emplace_back();
        job.output_path = output;
        job.nonces = nonces;
        job.state = state;
        job.failure = failure;
    };
    add_job("/d/1_0_4096", 4096, job_state::completed, "");
    add_job("/d/2_0_8", 8, job_state::failed, "its source /s/2_0_8_8 could not be read");
    add_job("/d/3_0_8", 8, job_state::planned, "");
    add_job("/d/4_0_4096", 4096, job_state::completed, "");
    record.bytes_written = 2 * 4096ull * 262144 + 8 * 262144 / 2; // the failed job got halfway

    EXPECT_EQ(run_summary(record.plan, record.bytes_written, 100),
              "Summary:\n"
              "  Converted: 2 (2.1 GB)\n"
              "    /d/1_0_4096\n"
              "    /d/4_0_4096\n"
              "  Skipped: 1\n"
              "    /d/3_0_8\n"
              "  Failed: 1\n"
              "    /d/2_0_8: its source /s/2_0_8_8 could not be read\n"
              "  Written: 2.1 GB in 1 min 40 s, 21.5 MB/s on average\n");

    // Outputs that fit nowhere: a copying one has no destination folder, one in place has its own.
    conversion_plan_s left_out;
    left_out.unplaced_jobs.emplace_back().output_path = "/d/5_0_8";
    conversion_job_s& in_place = left_out.unplaced_jobs.emplace_back();
    in_place.output_path = "/full/6_0_8";
    in_place.in_place = true;
    EXPECT_EQ(run_summary(left_out, 0, 1),
              "Summary:\n"
              "  Converted: 0\n"
              "  Skipped: 0\n"
              "  Failed: 0\n"
              "  No room, sources kept: 2\n"
              "    5_0_8\n"
              "    /full/6_0_8\n"
              "  Written: 0.0 KB in 1.0 seconds, 0.0 KB/s on average\n");

    EXPECT_EQ(run_summary(conversion_plan_s{}, 0, 0), "Summary:\n"
                                                      "  Converted: 0\n"
                                                      "  Skipped: 0\n"
                                                      "  Failed: 0\n"
                                                      "  Written: 0.0 KB in 0.0 seconds\n");
}

TEST(cli_summary, elapsed_time_reads_in_seconds_then_minutes_then_hours) {
    EXPECT_EQ(elapsed_text(0.04), "0.0 seconds");
    EXPECT_EQ(elapsed_text(59.94), "59.9 seconds");
    EXPECT_EQ(elapsed_text(60), "1 min 00 s");
    EXPECT_EQ(elapsed_text(3599.9), "59 min 59 s");
    EXPECT_EQ(elapsed_text(3600), "1 h 00 min 00 s");
    EXPECT_EQ(elapsed_text(50 * 3600 + 7 * 60 + 5), "50 h 07 min 05 s");
}

} // namespace
