#include <sys/stat.h>

#include "catalogue/plot_format.h"
#include "catalogue_fixture.h"

namespace {

using strings = std::vector<std::string>;
constexpr std::uint64_t plenty = 1ull << 50;

TEST_F(catalogue_test, adjacent_plots_merge_into_one_job_and_split_with_merge_off) {
    for (auto name : {"1_150_10_10", "1_0_100_100", "1_100_50_50"}) {
        touch(source.path, name);
    }
    choose(source.path, destination.path, plenty);
    conversion_plan_s& record = the_plan();

    plan_jobs();
    ASSERT_EQ(record.jobs.size(), 1u);
    const auto& job = record.jobs[0];
    EXPECT_EQ(job.output_path, destination.path + "/1_0_160");
    EXPECT_EQ(job.start_nonce, 0u);
    EXPECT_EQ(job.nonces, 160u);
    EXPECT_EQ(job.source_paths, (strings{source.path + "/1_0_100_100", source.path + "/1_100_50_50",
                                         source.path + "/1_150_10_10"}));
    EXPECT_EQ(job.state, job_state::planned);
    EXPECT_EQ(record.bytes_total, plot_size(160));
    EXPECT_EQ(record.largest_job_bytes, plot_size(160));
    EXPECT_EQ(the_plan().plot_count, 3);
    EXPECT_EQ(the_plan().jobs.size(), 1u);
    EXPECT_EQ(source_drives[0].plot_bytes, plot_size(160));

    // Planning again throws the first plan away.
    merge_adjacent = false;
    plan_jobs();
    EXPECT_EQ(output_names(record), (strings{"1_0_100", "1_100_50", "1_150_10"}));
    EXPECT_EQ(record.bytes_total, plot_size(160));
    EXPECT_EQ(record.largest_job_bytes, plot_size(100));
    EXPECT_EQ(the_plan().plot_count, 3);
    EXPECT_EQ(the_plan().jobs.size(), 3u);
    EXPECT_EQ(source_drives[0].plot_bytes, plot_size(160));

    std::string log = log_text();
    auto first = log.find("1 total jobs\n");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(log.find("3 total jobs\n", first), std::string::npos);
}

TEST_F(catalogue_test, gaps_overlaps_and_other_accounts_never_merge) {
    for (auto name : {"1_0_100_100", "1_101_50_50", "3_0_100_100", "3_50_100_100", "2_0_100_100",
                      "1_100_100_100"}) {
        touch(source.path, name);
    }
    choose(source.path, destination.path, plenty);
    plan_jobs();
    // 1_0 and 1_100 are adjacent; 1_101 overlaps 1_100's range; 2 and 3 are other accounts.
    EXPECT_EQ(output_names(the_plan()),
              (strings{"1_0_200", "1_101_50", "2_0_100", "3_0_100", "3_50_100"}));
}

TEST_F(catalogue_test, the_directory_order_does_not_change_the_plan) {
    temp_folder_s other;
    strings names = {"5_16_8_8", "5_0_8_8", "4_0_8_8", "5_8_8_8", "5_40_8_8"};
    for (const auto& n : names) {
        touch(source.path, n);
    }
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        touch(other.path, *it);
    }
    choose(source.path, destination.path, plenty);
    plan_jobs();
    strings first = output_names(the_plan());
    source_drives[0].path = other.path;
    plan_jobs();
    EXPECT_EQ(output_names(the_plan()), first);
    EXPECT_EQ(first, (strings{"4_0_8", "5_0_24", "5_40_8"}));
}

TEST_F(catalogue_test, free_space_must_hold_every_plot) {
    touch(source.path, "7_0_10_10");
    touch(source.path, "7_10_6_6");
    choose(source.path, destination.path, plot_size(16));
    plan_jobs();
    EXPECT_EQ(the_plan().jobs.size(), 1u) << "exactly enough space passes";
    EXPECT_TRUE(boxes.shown.empty());

    destination_drives[0].free_bytes = plot_size(16) - 1;
    plan_jobs();
    EXPECT_TRUE(boxes.shown.empty()) << "the window's planning shows no box";
    report_plan_shortfall(the_plan());
    EXPECT_TRUE(the_plan().jobs.empty());
    EXPECT_EQ(the_plan().bytes_total, 0u);
    EXPECT_EQ(the_plan().plot_count, 2) << "the counted plots stay";
    EXPECT_EQ(the_plan().jobs.size(), 0u);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].text, "There is not enough space on the target drive to hold all "
                                   "the plot data from the source drive.");
    EXPECT_EQ(boxes.shown[0].window, 0);
}

TEST_F(catalogue_test, only_optimized_poc1_files_of_the_folder_itself_are_planned) {
    touch(source.path, "9_0_8_4");
    touch(source.path, "9_8_8");
    touch(source.path, "9_16_8.swizzling");
    touch(source.path, "notes.txt");
    touch(source.path, "9_24_8_8");
    ASSERT_EQ(mkdir((source.path + "/9_32_8_8").c_str(), 0755), 0);
    touch(source.path + "/9_32_8_8", "9_40_8_8");
    choose(source.path, destination.path, plenty);
    plan_jobs();
    EXPECT_EQ(output_names(the_plan()), (strings{"9_24_8"}));
    std::string log = log_text();
    EXPECT_NE(log.find("Skipping 9_0_8_4 which is unoptimized PoC1\n"), std::string::npos);
    EXPECT_NE(log.find("Skipping 9_8_8 which is already PoC2\n"), std::string::npos);
    EXPECT_EQ(log.find("9_16_8.swizzling"), std::string::npos) << "an unfinished output is no plot";
}

TEST_F(catalogue_test, nothing_is_planned_without_both_folders_or_without_plots) {
    touch(source.path, "1_0_8_8");
    source_drives.push_back({source.path, 0, 0, {}});
    plan_jobs();
    EXPECT_EQ(the_plan().plot_count, 0)
        << "the source is not scanned before a destination is chosen";
    EXPECT_TRUE(the_plan().jobs.empty());

    destination_drives.push_back({destination.path, plenty, 0, {}});
    source_drives[0].path = destination.path; // a folder without plots
    plan_jobs();
    EXPECT_TRUE(the_plan().jobs.empty());
    EXPECT_EQ(log_text().find("total jobs"), std::string::npos);
}

TEST_F(catalogue_test, a_trailing_slash_and_the_root_folder_give_usable_paths) {
    touch(source.path, "1_0_8_8");
    choose(source.path + "/", destination.path + "/", plenty);
    plan_jobs();
    ASSERT_EQ(the_plan().jobs.size(), 1u);
    EXPECT_EQ(the_plan().jobs[0].source_paths[0], source.path + "//1_0_8_8");
    EXPECT_EQ(the_plan().jobs[0].output_path, destination.path + "//1_0_8");
}

// A rerun after an interruption: outputs that already have their final name are set aside
// (never converted again, their sources never deleted on their strength) and take no room; a
// temporary file left behind keeps the blocks it holds.
TEST_F(catalogue_test, outputs_already_there_are_set_aside_and_need_no_room) {
    for (auto name : {"1_0_8_8", "2_0_8_8", "3_0_16_16"}) {
        touch(source.path, name);
    }
    touch(destination.path, "1_0_8");
    std::string leftover = destination.path + "/3_0_16.swizzling";
    std::ofstream(leftover) << std::string(plot_size(8), 'x');
    struct stat held {};
    ASSERT_EQ(stat(leftover.c_str(), &held), 0);
    std::uint64_t held_bytes = static_cast<std::uint64_t>(held.st_blocks) * 512;
    ASSERT_GE(held_bytes, plot_size(8));
    choose(source.path, destination.path, plot_size(8) + plot_size(16) - held_bytes);
    conversion_plan_s& record = the_plan();
    plan_jobs();

    EXPECT_TRUE(boxes.shown.empty()) << "exactly the room still needed passes";
    EXPECT_EQ(the_plan().outcome, plan_outcome::planned);
    EXPECT_EQ(output_names(record), (strings{"2_0_8", "3_0_16"}));
    ASSERT_EQ(record.existing_jobs.size(), 1u);
    EXPECT_EQ(record.existing_jobs[0].output_path, destination.path + "/1_0_8");
    EXPECT_EQ(record.existing_jobs[0].source_paths, (strings{source.path + "/1_0_8_8"}));
    EXPECT_EQ(record.bytes_total, plot_size(24));
    EXPECT_EQ(the_plan().jobs.size(), 2u);
    EXPECT_NE(log_text().find("Keeping " + destination.path + "/1_0_8 which is already converted"),
              std::string::npos);

    // One byte less: the job that no longer fits is named, the rest is still planned.
    destination_drives[0].free_bytes -= 1;
    plan_jobs();
    EXPECT_EQ(the_plan().outcome, plan_outcome::planned);
    EXPECT_EQ(output_names(record), (strings{"2_0_8"}));
    ASSERT_EQ(record.unplaced_jobs.size(), 1u);
    EXPECT_EQ(record.unplaced_jobs[0].nonces, 16u);
    report_plan_shortfall(record);
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_EQ(boxes.shown.back().title, "Warning");
    EXPECT_NE(boxes.shown.back().text.find("3_0_16"), std::string::npos) << boxes.shown.back().text;

    // Every output there: nothing to convert, and no complaint about room.
    boxes.shown.clear();
    touch(destination.path, "2_0_8");
    touch(destination.path, "3_0_16");
    destination_drives[0].free_bytes = 0;
    plan_jobs();
    EXPECT_EQ(the_plan().outcome, plan_outcome::all_there);
    EXPECT_TRUE(record.jobs.empty());
    EXPECT_EQ(record.existing_jobs.size(), 3u);
    EXPECT_TRUE(boxes.shown.empty());
}

// Names whose size does not fit a file, and merges whose total would not, never make sizes that
// wrap around 64 bits.
TEST_F(catalogue_test, sizes_that_do_not_fit_are_skipped_or_not_merged) {
    std::string huge = std::to_string(std::uint64_t{1} << 46);
    std::string half = std::to_string(std::uint64_t{1} << 44);
    touch(source.path, "1_0_" + huge + "_" + huge);
    touch(source.path, "2_0_" + half + "_" + half);
    touch(source.path, "2_" + half + "_" + half + "_" + half);
    touch(source.path, "2_" + std::to_string(std::uint64_t{2} << 44) + "_8_8");
    touch(source.path, "3_0_8_8");
    choose(source.path, destination.path, ~std::uint64_t{0});
    conversion_plan_s& record = the_plan();
    plan_jobs();

    // 2^44 + 2^44 nonces would be 2^63 bytes, one more nonce than a file may hold.
    EXPECT_EQ(output_names(record),
              (strings{"2_0_" + half,
                       "2_" + half + "_" + std::to_string((std::uint64_t{1} << 44) + 8), "3_0_8"}));
    EXPECT_EQ(the_plan().plot_count, 4);
    EXPECT_EQ(record.bytes_total, plot_size((std::uint64_t{2} << 44) + 16));
    EXPECT_EQ(source_drives[0].plot_bytes, record.bytes_total);
    std::string log = log_text();
    EXPECT_NE(log.find("Skipping 1_0_" + huge + "_" + huge +
                       " whose 70368744177664 nonces are more than a file can hold"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Not merging 2_" + half + "_" + half + "_" + half), std::string::npos);

    // Room for all but the last byte: the totals are exact, so the check still catches it, and
    // one job is left out.
    destination_drives[0].free_bytes = record.bytes_total - 1;
    plan_jobs();
    EXPECT_EQ(record.unplaced_jobs.size(), 1u);
    EXPECT_EQ(record.jobs.size(), 2u);
}

} // namespace
