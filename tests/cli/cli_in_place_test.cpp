// scoopshift-cli --in-place as a user runs it, a separate process: a folder converted in its
// own files, the options that make no sense with it refused, a folder without room for the
// journal, and one conversion killed with SIGKILL at twenty random moments, each followed by a
// rerun, after which the plot is bit-exact and no half-converted plot ever had a plot name.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <vector>

#include "catalogue/in_place_journal.h"
#include "cli_runner.h"
#include "support/in_place_names.h"
#include "support/plot_files.h"
#include "support/small_volume.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/in_place_layout.h"

namespace {

std::string poc2_name(const plot_spec_s& plot) {
    return std::to_string(plot.account_id) + "_" + std::to_string(plot.start_nonce) + "_" +
           std::to_string(plot.nonces);
}

class cli_in_place_test : public ::testing::Test {
  protected:
    temp_folder_s work, folder;
    std::string log() { return read_text_file(work.path + "/log_swizzle.txt"); }
};

TEST_F(cli_in_place_test, every_plot_becomes_poc2_in_its_own_file_and_nothing_is_asked) {
    // Plots that follow each other stay apart: in place nothing merges.
    std::vector<plot_spec_s> plots{{1, 0, 8}, {1, 8, 5}, {2, 100, 7}};
    for (const auto& plot : plots) {
        ASSERT_FALSE(write_poc1_plot(folder.path, plot).empty());
    }
    // A plot whose PoC2 name is taken, and a copying run's temporary file: neither is touched.
    plot_spec_s taken{3, 0, 2};
    ASSERT_FALSE(write_poc1_plot(folder.path, taken).empty());
    std::string occupant = folder.path + "/" + poc2_name(taken);
    std::ofstream(occupant) << "not a plot";
    std::string foreign = folder.path + "/9_0_4.swizzling";
    std::ofstream(foreign) << "being written";

    auto plan = run_cli(work.path, {"--plan-only", "--in-place", folder.path});
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("of 3 PoC1 plots will be converted in place in " + folder.path),
              std::string::npos)
        << plan.out;
    EXPECT_NE(plan.out.find(folder.path + "/1_8_5  5 nonces  1.3 MB  in place from 1_8_5_5"),
              std::string::npos)
        << plan.out;
    EXPECT_NE(plan.out.find("1 PoC1 plots already have a PoC2 plot of their name in the "
                            "folder; they are left as they are:\n  " +
                            occupant + "  next to 3_0_2_2"),
              std::string::npos)
        << plan.out;
    EXPECT_TRUE(exists(folder.path + "/1_0_8_8")) << "--plan-only changes nothing";

    auto r = run_cli(work.path, {"--in-place", folder.path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("All 3 conversions in place completed."), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("Done!"), std::string::npos) << "nothing to ask: " << r.err;
    for (const auto& plot : plots) {
        EXPECT_EQ(check_poc2_file(folder.path + "/" + poc2_name(plot), {plot}), "");
    }
    EXPECT_EQ(file_names_in(folder.path),
              (std::set<std::string>{"1_0_8", "1_8_5", "2_100_7", "3_0_2_2", "3_0_2",
                                     "9_0_4.swizzling"}));
    EXPECT_EQ(read_text_file(occupant), "not a plot");
    EXPECT_EQ(read_text_file(foreign), "being written");
    EXPECT_NE(log().find("Leaving " + foreign + " alone: it has no journal"), std::string::npos)
        << log();
}

TEST_F(cli_in_place_test, options_that_make_no_sense_in_place_are_refused) {
    ASSERT_FALSE(write_poc1_plot(folder.path, {1, 0, 8}).empty());
    const std::vector<std::vector<std::string>> mistakes = {
        {"--delete-sources", "--in-place", folder.path},
        {"--in-place", folder.path, "--keep-sources"},
        {"--no-merge", "--in-place", folder.path},
        {"--verify", "--in-place", folder.path},
        {"--in-place", folder.path, "--destination", work.path},
        {"--in-place"},
        {"--in-place", "--plan-only"},
    };
    for (const auto& args : mistakes) {
        auto r = run_cli(work.path, args);
        std::string command;
        for (const auto& arg : args) {
            command += arg + " ";
        }
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_NE(r.err.find("usage: scoopshift-cli"), std::string::npos) << command << r.err;
    }
    auto clash = run_cli(work.path, {"--delete-sources", "--in-place", folder.path});
    EXPECT_NE(clash.err.find("--delete-sources makes no sense with --in-place"), std::string::npos)
        << clash.err;
    EXPECT_TRUE(exists(folder.path + "/1_0_8_8"));
    EXPECT_FALSE(exists(folder.path + "/1_0_8"));
}

TEST_F(cli_in_place_test, a_folder_without_room_for_the_journal_is_not_touched) {
    small_volume_s volume(folder.path + "/small", "2600k");
    if (!volume.mounted) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    // 2 MiB of plot; its journal would take 1 MiB more.
    plot_spec_s plot{4, 0, 8};
    ASSERT_FALSE(write_poc1_plot(volume.path, plot).empty());
    auto r = run_cli(work.path, {"--in-place", volume.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Nothing was converted: the folder has no room for the journal."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("for the journal of a conversion in place"), std::string::npos) << r.err;
    EXPECT_EQ(file_names_in(volume.path), std::set<std::string>{poc1_name(plot)});
}

// The highest sequence number among the journal's whole slot headers; -1 before the first.
long long journal_progress(const std::string& journal) {
    std::string bytes = read_text_file(journal);
    journal_header_s header;
    if (bytes.size() < journal_block ||
        !decode_journal_header(reinterpret_cast<const std::uint8_t*>(bytes.data()), &header)) {
        return -1;
    }
    long long highest = -1;
    for (unsigned slot = 0; slot < journal_slots; ++slot) {
        std::uint64_t at = journal_slot_offset(header.slot_data_bytes, slot);
        if (bytes.size() < at + journal_block) {
            continue;
        }
        journal_slot_s found;
        std::uint32_t crc = 0;
        if (decode_journal_slot(header.plot, header.slot_data_bytes,
                                reinterpret_cast<const std::uint8_t*>(bytes.data() + at), &found,
                                &crc)) {
            highest = std::max(highest, static_cast<long long>(found.sequence));
        }
    }
    return highest;
}

TEST_F(cli_in_place_test, twenty_kills_and_reruns_end_in_a_bit_exact_plot) {
    // 4 MiB; the least budget makes groups of a few runs, several hundred of them, each flushed
    // twice. How many follows from the sizing rule and the in-place layout.
    plot_spec_s plot{31, 0, 16};
    in_place_sizing_s sizing = size_in_place(smallest_budget(false), 4096, low_entries(16));
    ASSERT_GT(sizing.most_entries, 0u);
    long long groups = 0;
    for (std::uint64_t first = 0; first < low_entries(16);
         first = group_at(16, first, sizing.most_entries).end()) {
        ++groups;
    }
    ASSERT_GT(groups, 100) << "too few groups to kill the run at twenty moments";
    ASSERT_FALSE(write_poc1_plot(folder.path, plot).empty());
    std::string original = read_text_file(folder.path + "/" + poc1_name(plot));
    std::string output = folder.path + "/" + poc2_name(plot);
    std::string journal = in_place_journal_path(output);
    std::vector<std::string> args = {"--max-ram", budget_for(8), "--in-place", folder.path};

    // Twenty moments, as groups reached plus a few hundred microseconds more, spread over the
    // conversion; a rerun that starts past its moment is killed in its start-up or recovery.
    std::mt19937 dice(20261208);
    std::vector<long long> moments;
    for (int i = 0; i < 20; ++i) {
        moments.push_back(static_cast<long long>(dice() % (groups * 15 / 16)));
    }
    std::sort(moments.begin(), moments.end());
    int kills = 0;
    for (long long moment : moments) {
        cli_process_s process = start_cli(work.path, args);
        ASSERT_GT(process.pid, 0);
        int status = 0;
        bool ended = false;
        while (!ended && journal_progress(journal) < moment) {
            ended = waitpid(process.pid, &status, WNOHANG) == process.pid;
            usleep(200);
        }
        ASSERT_FALSE(ended) << "the run ended before group " << moment << "; exit status "
                            << WEXITSTATUS(status) << "\n"
                            << log();
        usleep(dice() % 2000);
        ASSERT_EQ(kill(process.pid, SIGKILL), 0);
        ASSERT_EQ(waitpid(process.pid, &status, 0), process.pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        ++kills;
        EXPECT_EQ(check_names_after_crash(file_names_in(folder.path), plot, folder.path, original),
                  "")
            << "after kill " << kills << " at group " << moment;
    }
    EXPECT_EQ(kills, 20);
    auto last = run_cli(work.path, args);
    ASSERT_EQ(last.status, 0) << last.out << last.err << log();
    EXPECT_NE(last.out.find("finishes " + poc2_name(plot) + ".swizzling"), std::string::npos)
        << last.out;
    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_EQ(file_names_in(folder.path), std::set<std::string>{poc2_name(plot)});
}

} // namespace
