// Planning over several source and destination folders: every plot of every source planned,
// each job placed where it fits, source folders spread over destinations so that drives work
// at once, jobs that share a drive in one stream, and jobs that fit nowhere named.
#include <sys/stat.h>

#include "catalogue/plot_format.h"
#include "catalogue_fixture.h"
#include "support/small_volume.h"
#include "swizzler/farm.h"

namespace {

using strings = std::vector<std::string>;
constexpr std::uint64_t plenty = 1ull << 50;

class farm_planning_test : public catalogue_test {
  protected:
    temp_folder_s other_source, other_destination;

    static strings names_of(const std::vector<conversion_job_s>& jobs) {
        strings names;
        for (const auto& job : jobs) {
            names.push_back(job.output_path.substr(job.output_path.rfind('/') + 1));
        }
        return names;
    }
};

TEST_F(farm_planning_test, every_source_is_planned_and_each_source_goes_to_its_own_destination) {
    // Adjacent plots of account 1 in two folders: merged within a folder, never across.
    touch(source.path, "1_0_8_8");
    touch(source.path, "1_8_8_8");
    touch(other_source.path, "1_16_8_8");
    touch(other_source.path, "2_0_4_4");
    source_drives.push_back({source.path, 0, 0, {}});
    source_drives.push_back({other_source.path, 0, 0, {}});
    destination_drives.push_back({destination.path, plenty, 0, {}});
    destination_drives.push_back({other_destination.path, plenty, 0, {}});
    conversion_plan_s& plan = the_plan();
    plan_jobs();

    EXPECT_EQ(the_plan().outcome, plan_outcome::planned);
    EXPECT_EQ(the_plan().plot_count, 4);
    EXPECT_EQ(names_of(plan.jobs), (strings{"1_0_16", "1_16_8", "2_0_4"}));
    EXPECT_EQ(source_drives[0].plot_bytes, plot_size(16));
    EXPECT_EQ(source_drives[1].plot_bytes, plot_size(12));
    EXPECT_EQ(plan.bytes_total, plot_size(28));
    // The first source folder to the first destination, the second to the other one.
    EXPECT_EQ(plan.jobs[0].destination_folder, destination.path);
    EXPECT_EQ(plan.jobs[1].destination_folder, other_destination.path);
    EXPECT_EQ(plan.jobs[2].destination_folder, other_destination.path);
    EXPECT_EQ(plan.jobs[1].output_path, other_destination.path + "/1_16_8");
    EXPECT_EQ(plan.jobs[0].source_folder, source.path);
    EXPECT_EQ(plan.jobs[2].source_folder, other_source.path);
}

TEST_F(farm_planning_test, jobs_go_only_where_they_fit_and_those_that_fit_nowhere_are_named) {
    touch(source.path, "1_0_8_8");
    touch(source.path, "2_0_20_20");
    touch(source.path, "3_0_4_4");
    touch(other_destination.path, "3_0_4"); // already converted, on the second destination
    source_drives.push_back({source.path, 0, 0, {}});
    // As if each destination were a volume of its own (device and inode as they were added).
    destination_drives.push_back({destination.path, plot_size(10), 0, {1001, 1}});
    destination_drives.push_back({other_destination.path, plot_size(9), 0, {1002, 1}});
    conversion_plan_s& plan = the_plan();
    plan_jobs();

    // 1_0_8 fits the first (10), 2_0_20 fits neither, 3_0_4 is already there.
    EXPECT_EQ(the_plan().outcome, plan_outcome::planned);
    EXPECT_EQ(names_of(plan.jobs), (strings{"1_0_8"}));
    EXPECT_EQ(names_of(plan.unplaced_jobs), (strings{"2_0_20"}));
    EXPECT_EQ(names_of(plan.existing_jobs), (strings{"3_0_4"}));
    EXPECT_EQ(plan.existing_jobs[0].output_path, other_destination.path + "/3_0_4");
    report_plan_shortfall(plan);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_NE(boxes.shown[0].text.find("2_0_20"), std::string::npos) << boxes.shown[0].text;
    EXPECT_NE(log_text().find("2_0_20 does not fit on any destination drive"), std::string::npos);

    // When the second fills up, the next job goes to the first, which still has room.
    touch(source.path, "4_0_2_2");
    touch(source.path, "5_0_2_2");
    destination_drives[1].free_bytes = plot_size(2);
    boxes.shown.clear();
    plan_jobs();
    EXPECT_EQ(names_of(plan.jobs), (strings{"1_0_8", "4_0_2", "5_0_2"}));
    for (const auto& job : plan.jobs) {
        std::uint64_t room =
            job.destination_folder == destination.path ? plot_size(10) : plot_size(2);
        EXPECT_LE(plot_size(job.nonces), room) << job.output_path;
    }
    std::uint64_t on_second = 0;
    for (const auto& job : plan.jobs) {
        on_second += job.destination_folder == other_destination.path ? plot_size(job.nonces) : 0;
    }
    EXPECT_LE(on_second, plot_size(2)) << "more planned onto a destination than it holds";
}

// Folders on one drive share it: their jobs are one stream, converted one after the other.
// Folders on drives of their own (tmpfs volumes here) make streams that run at once.
TEST_F(farm_planning_test, jobs_that_share_a_drive_are_one_stream) {
    touch(source.path, "1_0_8_8");
    touch(other_source.path, "2_0_8_8");
    source_drives.push_back({source.path, 0, 0, {}});
    source_drives.push_back({other_source.path, 0, 0, {}});
    destination_drives.push_back({destination.path, plenty, 0, {}});
    destination_drives.push_back({other_destination.path, plenty, 0, {}});
    plan_jobs();
    EXPECT_EQ(split_into_streams(the_plan()).size(), 1u) << "four folders on one disk";

    small_volume_s a(source.path + "/a", "8m"), b(source.path + "/b", "8m");
    small_volume_s x(destination.path + "/x", "8m"), y(destination.path + "/y", "8m");
    if (!a.mounted || !b.mounted || !x.mounted || !y.mounted) {
        GTEST_SKIP() << "mounting tmpfs volumes as separate drives needs root";
    }
    touch(a.path, "1_0_8_8");
    touch(b.path, "2_0_8_8");
    touch(b.path, "2_8_8_8");
    source_drives = {{a.path, 0, 0, {}}, {b.path, 0, 0, {}}};
    destination_drives = {{x.path, plenty, 0, {}}, {y.path, plenty, 0, {}}};
    plan_jobs();
    std::vector<std::string> names;
    std::vector<conversion_plan_s> streams = split_into_streams(the_plan(), &names);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(names_of(streams[0].jobs), (strings{"1_0_8"}));
    EXPECT_EQ(names_of(streams[1].jobs), (strings{"2_0_16"}));
    EXPECT_EQ(names, (strings{"tmpfs", "tmpfs"}));

    // The memory budget is the farm's, not each stream's: a limit above what is free is lowered
    // before it is divided. The names alone make these plots 128 GiB and 256 GiB.
    touch(a.path, "3_0_524288_524288");
    touch(b.path, "4_0_1048576_1048576");
    plan_jobs();
    ASSERT_EQ(split_into_streams(the_plan()).size(), 2u);
    memory_status_s memory{64u << 20, 1u << 30};
    EXPECT_LE(farm_buffer_bytes(memory, the_plan(), 8ull << 30), memory.available_bytes);
    EXPECT_GT(farm_buffer_bytes(memory, the_plan(), 8ull << 30), memory.available_bytes / 2);
    EXPECT_EQ(farm_budget_change(memory, the_plan(), 8ull << 30),
              budget_change::lowered_to_available);
    EXPECT_EQ(farm_budget_change(memory, the_plan(), 32u << 20), budget_change::none);

    // A destination shared by both sources joins them into one stream again.
    destination_drives = {{x.path, plenty, 0, {}}};
    plan_jobs();
    EXPECT_EQ(split_into_streams(the_plan()).size(), 1u);
}

} // namespace
