// A farm on two drives of its own: two ext4 file systems on loop devices over files in memory,
// each holding a source folder and a destination folder. Planning sends each source to the
// destination on its own drive, so the plan runs as two streams at once; a full drive fails
// only its own stream's jobs, and the one completion step deletes only completed jobs' sources.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "catalogue/completion.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "engine_fixture.h"
#include "support/loop_volume.h"
#include "support/meeting_point.h"
#include "swizzler/farm.h"

namespace {

class farm_test : public engine_test {
  protected:
    struct drive_s {
        std::unique_ptr<loop_volume_s> volume;
        std::string plots, swizzled;
    };
    drive_s drives[2];
    farm_s farm;

    // Two drives, or a reason to skip.
    std::string make_drives() {
        for (int i = 0; i < 2; ++i) {
            std::string name = i == 0 ? "/first" : "/second";
            drives[i].volume = std::make_unique<loop_volume_s>("/dev/shm", folder.path + name,
                                                               96u << 20, 512, "ext4");
            if (!drives[i].volume->why_not.empty()) {
                return drives[i].volume->why_not;
            }
            drives[i].plots = drives[i].volume->path + "/plots";
            drives[i].swizzled = drives[i].volume->path + "/swizzled";
            EXPECT_EQ(mkdir(drives[i].plots.c_str(), 0755), 0);
            EXPECT_EQ(mkdir(drives[i].swizzled.c_str(), 0755), 0);
        }
        return "";
    }

    void SetUp() override {
        engine_test::SetUp();
        source_drives.clear();
        destination_drives.clear();
        the_plan() = conversion_plan_s{};
    }

    void TearDown() override {
        join_farm(farm);
        engine_test::TearDown();
        source_drives.clear();
        destination_drives.clear();
        the_plan() = conversion_plan_s{};
    }

    // Chooses both drives' folders the way the window does, destinations first (with one
    // destination, the plots of both drives would not all fit: a plan made in between warns).
    void choose_folders() {
        for (const drive_s& drive : drives) {
            add_drive(destination_list, drive.swizzled);
        }
        for (const drive_s& drive : drives) {
            add_drive(source_list, drive.plots);
        }
    }

    // Runs the farm to its end, the completion step answered with `delete_sources`; every
    // stream's transfers go through `settings`.
    void run_farm(std::uint64_t budget, bool delete_sources, farm_settings_s settings = {}) {
        boxes.answers.push_back(delete_sources);
        start_farm(farm, the_plan(), budget, settings,
                   [this] { offer_source_deletion(farm_plan(farm)); });
        join_farm(farm);
        run_ui_tasks();
    }

    static std::string poc1_path(const std::string& folder, const plot_spec_s& plot) {
        return folder + "/" + poc1_name(plot);
    }

    const conversion_job_s* job_to(const conversion_plan_s& plan, const std::string& output) {
        for (const auto& job : plan.jobs) {
            if (job.output_path == output) {
                return &job;
            }
        }
        return nullptr;
    }
};

TEST_F(farm_test, two_drives_convert_at_once_and_each_keeps_to_its_own) {
    std::string why_not = make_drives();
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::vector<plot_spec_s> first = {{1, 0, 96}, {2, 0, 40}};
    std::vector<plot_spec_s> second = {{3, 0, 60}, {3, 60, 37}}; // adjacent: merged
    for (const auto& plot : first) {
        ASSERT_FALSE(write_poc1_plot(drives[0].plots, plot).empty());
    }
    for (const auto& plot : second) {
        ASSERT_FALSE(write_poc1_plot(drives[1].plots, plot).empty());
    }
    choose_folders();
    ASSERT_EQ(the_plan().outcome, plan_outcome::planned);
    ASSERT_EQ(the_plan().jobs.size(), 3u);
    std::vector<std::string> names;
    ASSERT_EQ(split_into_streams(the_plan(), &names).size(), 2u);
    EXPECT_NE(names[0], names[1]);

    // Each stream waits at its first write until the other has come to its own: they are at
    // work at the same moment, not one after the other. A stream that waits in vain is counted.
    meeting_point_s both(2);
    std::atomic<bool> wrote[2] = {false, false};
    farm_settings_s settings;
    settings.transfers =
        with_faults(automatic_transfers(), [&](const file_handle_s& file, io_direction direction,
                                               std::uint64_t, std::uint64_t) {
            int mine = file.path.rfind(drives[0].swizzled + "/", 0) == 0 ? 0 : 1;
            if (direction == io_direction::write && !wrote[mine].exchange(true)) {
                meet(both);
            }
            return 0;
        });
    run_farm(merged_budget * 2, true, settings);

    EXPECT_TRUE(farm.finished);
    EXPECT_EQ(both.arrived, 2);
    EXPECT_EQ(both.gave_up, 0) << "a stream waited for the other in vain";
    std::string one = drives[0].swizzled + "/1_0_96", two = drives[0].swizzled + "/2_0_40";
    std::string three = drives[1].swizzled + "/3_0_97";
    EXPECT_EQ(check_poc2_file(one, {first[0]}), "");
    EXPECT_EQ(check_poc2_file(two, {first[1]}), "");
    EXPECT_EQ(check_poc2_file(three, second), "");
    conversion_plan_s outcome = farm_plan(farm);
    for (const auto& job : outcome.jobs) {
        EXPECT_EQ(job.state, job_state::completed) << job.output_path << ": " << job.failure;
    }
    farm_progress_s progress = farm_progress(farm);
    EXPECT_EQ(progress.written, the_plan().bytes_total);
    EXPECT_EQ(progress.read, the_plan().bytes_total);

    // Both streams had created a target before either ended.
    auto lines = log_lines();
    auto first_end = std::find(lines.begin(), lines.end(), "Work thread ended");
    int targets_before_an_end =
        static_cast<int>(std::count_if(lines.begin(), first_end, [](const std::string& line) {
            return line.starts_with("Creating target ");
        }));
    EXPECT_GE(targets_before_an_end, 2) << read_text_file(log_path);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Work thread ended"), 2);

    // Asked once for the whole farm; every source of it deleted.
    EXPECT_EQ(shown_titles(boxes), std::vector<std::string>{"Done!"}) << boxes.shown[0].text;
    for (const auto& plot : first) {
        EXPECT_FALSE(file_exists(poc1_path(drives[0].plots, plot)));
    }
    for (const auto& plot : second) {
        EXPECT_FALSE(file_exists(poc1_path(drives[1].plots, plot)));
    }
}

TEST_F(farm_test, a_full_drive_fails_its_own_jobs_while_the_other_drive_completes) {
    std::string why_not = make_drives();
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::vector<plot_spec_s> first = {{1, 0, 80}};
    std::vector<plot_spec_s> second = {{3, 0, 50}, {4, 0, 30}};
    ASSERT_FALSE(write_poc1_plot(drives[0].plots, first[0]).empty());
    for (const auto& plot : second) {
        ASSERT_FALSE(write_poc1_plot(drives[1].plots, plot).empty());
    }
    choose_folders();
    ASSERT_EQ(the_plan().outcome, plan_outcome::planned);
    ASSERT_EQ(split_into_streams(the_plan()).size(), 2u);

    // Something else fills the second drive after the plan was made.
    std::string filler = drives[1].volume->path + "/filler";
    int descriptor = open(filler.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(descriptor, 0);
    std::vector<char> block(1 << 20, 'x');
    while (write(descriptor, block.data(), block.size()) > 0) {
    }
    while (write(descriptor, block.data(), 4096) > 0) {
    }
    close(descriptor);

    // The full drive's stream asks whether to retry each target (No), the other stream goes on
    // meanwhile; then the one completion question (Yes).
    boxes.answers = {false, false};
    run_farm(0, true);

    EXPECT_TRUE(farm.finished);
    conversion_plan_s outcome = farm_plan(farm);
    std::string one = drives[0].swizzled + "/1_0_80";
    ASSERT_NE(job_to(outcome, one), nullptr);
    EXPECT_EQ(job_to(outcome, one)->state, job_state::completed) << job_to(outcome, one)->failure;
    EXPECT_EQ(check_poc2_file(one, first), "");
    for (const auto& plot : second) {
        std::string output =
            make_output_path(drives[1].swizzled, plot.account_id, plot.start_nonce, plot.nonces);
        const conversion_job_s* job = job_to(outcome, output);
        ASSERT_NE(job, nullptr) << output;
        EXPECT_EQ(job->state, job_state::failed) << output;
        EXPECT_FALSE(file_exists(output));
        // The full drive's plots are kept; the other drive's converted one is gone.
        EXPECT_TRUE(file_exists(poc1_path(drives[1].plots, plot)));
    }
    EXPECT_FALSE(file_exists(poc1_path(drives[0].plots, first[0])));
    EXPECT_EQ(shown_titles(boxes),
              (std::vector<std::string>{"Out of space", "Out of space", "Warning", "Done!"}));
}

} // namespace

namespace {

// Whether a drive spins is what its queue says: a loop drive told it spins is planned as a stream
// of spinning drives (on one disk), converts with the stretch schedule and its long groups, and
// told it does not, goes back to the schedule of solid-state drives.
TEST_F(farm_test, a_drive_that_says_it_spins_gets_the_stretch_schedule) {
    std::string why_not = make_drives();
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::string device = drives[0].volume->device;
    std::string flag = "/sys/block/" + device.substr(device.rfind('/') + 1) + "/queue/rotational";
    auto tell = [&flag](const char* value) {
        std::ofstream(flag) << value;
        return read_text_file(flag) == std::string(value) + "\n";
    };
    if (!tell("1")) {
        GTEST_SKIP() << flag << " cannot be written here";
    }
    plot_spec_s plot{5, 0, 67}, merged_a{6, 0, 40}, merged_b{6, 40, 27};
    for (const plot_spec_s& p : {plot, merged_a, merged_b}) {
        ASSERT_FALSE(write_poc1_plot(drives[0].plots, p).empty());
    }
    add_drive(destination_list, drives[0].swizzled);
    add_drive(source_list, drives[0].plots);
    ASSERT_EQ(the_plan().outcome, plan_outcome::planned);
    std::vector<conversion_plan_s> streams = split_into_streams(the_plan());
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(streams[0].rotational_drives);
    EXPECT_TRUE(streams[0].one_disk);
    run_farm(merged_budget * 8, true);
    EXPECT_TRUE(tell("0"));
    EXPECT_FALSE(split_into_streams(the_plan())[0].rotational_drives);

    EXPECT_TRUE(farm.finished);
    EXPECT_EQ(check_poc2_file(drives[0].swizzled + "/5_0_67", {plot}), "");
    EXPECT_EQ(check_poc2_file(drives[0].swizzled + "/6_0_67", {merged_a, merged_b}), "");
    for (const conversion_job_s& job : farm_plan(farm).jobs) {
        EXPECT_EQ(job.state, job_state::completed) << job.output_path << ": " << job.failure;
    }
}

} // namespace
