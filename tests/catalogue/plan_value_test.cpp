// Planning as a function: the plan value alone says what is converted and what is left alone and
// why; no folder list or option is set up anywhere but in the request.
#include <unistd.h>

#include <algorithm>

#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "catalogue_fixture.h"
#include "util/folders.h"

namespace {

using strings = std::vector<std::string>;
constexpr std::uint64_t plenty = 1ull << 50;

drive_info_s folder(const std::string& path, std::uint64_t free_bytes = plenty) {
    return {path, free_bytes, 0, {}};
}

strings names(const std::vector<conversion_job_s>& jobs) {
    strings found;
    for (const auto& job : jobs) {
        found.push_back(std::string(file_name_of(job.output_path)));
    }
    return found;
}

// "<file name>: <reason>" of every file set aside, sorted (a folder lists in any order).
strings set_aside_lines(const conversion_plan_s& plan) {
    strings lines;
    for (const set_aside_s& file : plan.set_aside) {
        lines.push_back(std::string(file_name_of(file.path)) + ": " + file.why);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// One folder under three spellings, a plot also reached through a hard link in a second folder,
// copies that only begin like a plot, and two names of one output: every plot planned once,
// everything else named with its reason.
TEST_F(catalogue_test, every_plot_is_planned_once_whatever_its_names) {
    temp_folder_s second;
    for (auto name : {"1_0_8_8", "1_8_8_8", "1_8_8_8.part", " 2_0_8_8", "2_0_8_8.bak", "7_100_3_3",
                      "07_100_3_3"}) {
        touch(source.path, name);
    }
    ASSERT_EQ(link((source.path + "/1_8_8_8").c_str(), (second.path + "/1_8_8_8").c_str()), 0);
    plan_request_s request;
    request.sources = {folder(source.path), folder(source.path + "/"), folder(source.path + "/."),
                       folder(second.path)};
    request.destinations = {folder(destination.path), folder(destination.path + "//")};
    conversion_plan_s plan = plan_conversion(request);

    EXPECT_EQ(plan.outcome, plan_outcome::planned);
    EXPECT_EQ(names(plan.jobs), (strings{"1_0_16", "7_100_3"}));
    EXPECT_EQ(plan.jobs[1].source_paths, strings{source.path + "/07_100_3_3"});
    EXPECT_EQ(plan.plot_count, 4) << "1_0_8_8, 1_8_8_8, 07_100_3_3, 7_100_3_3";
    EXPECT_EQ(plan.folder_plot_bytes, (std::vector<std::uint64_t>{plot_size(22), 0, 0, 0}));
    for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
        EXPECT_EQ(plan.jobs[i].id, i);
        EXPECT_EQ(plan.jobs[i].destination_folder, destination.path);
    }
    std::uint64_t device = 0, inode = 0;
    ASSERT_TRUE(identify_path(source.path + "/1_8_8_8", &device, &inode));
    EXPECT_EQ(plan.jobs[0].source_identities[1], (file_identity_s{device, inode}));
    std::string one_output =
        "it would give the PoC2 plot 7_100_3 that " + source.path + "/07_100_3_3 gives";
    std::string same_file = "it is the same file as " + source.path + "/1_8_8_8";
    EXPECT_EQ(
        set_aside_lines(plan),
        (strings{" 2_0_8_8: its name only begins like a plot's",
                 "1_8_8_8.part: its name only begins like a plot's", "1_8_8_8: " + same_file,
                 "2_0_8_8.bak: its name only begins like a plot's", "7_100_3_3: " + one_output}));
    std::string log = log_text();
    EXPECT_NE(log.find("are one folder: it is planned once"), std::string::npos) << log;
}

// Room is the volume's: two destinations on one volume share it, destinations on two volumes
// each have their own. A merge never holds more sources than the limit of open files allows.
TEST_F(catalogue_test, room_is_counted_once_per_volume_and_merges_stay_within_open_files) {
    temp_folder_s other;
    for (int i = 0; i < 5; ++i) {
        touch(source.path, "3_" + std::to_string(i * 4) + "_4_4");
    }
    touch(source.path, "4_0_8_8");
    plan_request_s request;
    request.sources = {folder(source.path)};
    request.merge = false;
    // Two folders of one volume: their room is counted once.
    request.destinations = {folder(destination.path, plot_size(16)),
                            folder(other.path, plot_size(16))};
    conversion_plan_s shared = plan_conversion(request);
    std::uint64_t planned = 0;
    for (const auto& job : shared.jobs) {
        planned += plot_size(job.nonces);
    }
    EXPECT_LE(planned, plot_size(16)) << "the volume's room was promised twice";
    EXPECT_EQ(shared.jobs.size() + shared.unplaced_jobs.size(), 6u);
    EXPECT_FALSE(shared.unplaced_jobs.empty());

    // As if the two were volumes of their own: each holds what fits it.
    request.destinations[0].folder = {9001, 1};
    request.destinations[1].folder = {9002, 1};
    EXPECT_TRUE(plan_conversion(request).unplaced_jobs.empty());

    request.merge = true;
    request.most_sources_per_job = 2;
    conversion_plan_s limited = plan_conversion(request);
    EXPECT_EQ(names(limited.jobs), (strings{"3_0_8", "3_8_8", "3_16_4", "4_0_8"}));
    EXPECT_NE(log_text().find("Not merging 3_8_4_4: a merged plot may read at most 2 files at "
                              "once (the limit of open files)"),
              std::string::npos);
}

// In place, a plot whose data another name also shows is never converted: not through a hard
// link, not through a symbolic link, not when the link is in another chosen folder.
TEST_F(catalogue_test, in_place_leaves_plots_shared_with_another_name_alone) {
    touch(source.path, "1_0_8_8");
    touch(source.path, "2_0_8_8");
    touch(source.path, "3_0_8_8");
    ASSERT_EQ(link((source.path + "/1_0_8_8").c_str(), (destination.path + "/1_0_8_8").c_str()), 0);
    ASSERT_EQ(symlink((source.path + "/2_0_8_8").c_str(), (destination.path + "/2_0_8_8").c_str()),
              0);
    plan_request_s request;
    request.sources = {folder(source.path), folder(destination.path)};
    request.in_place = true;
    conversion_plan_s plan = plan_conversion(request);

    EXPECT_EQ(plan.outcome, plan_outcome::planned);
    EXPECT_EQ(names(plan.jobs), (strings{"2_0_8", "3_0_8"}));
    ASSERT_EQ(plan.set_aside.size(), 3u);
    for (const set_aside_s& file : plan.set_aside) {
        EXPECT_EQ(file.reason, set_aside_reason::linked) << file.path;
        bool symbolic = file.path == destination.path + "/2_0_8_8";
        EXPECT_NE(file.why.find(symbolic ? "symbolic link" : "hard link"), std::string::npos)
            << file.path << ": " << file.why;
    }

    // Only the linked plots there: nothing to convert, and the plan says why, not "no plots".
    request.sources = {folder(destination.path)};
    EXPECT_EQ(plan_conversion(request).outcome, plan_outcome::set_aside);
}

} // namespace
