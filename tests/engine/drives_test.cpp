// The engine on the drives farmers have: 4096-byte sectors (ext4 and XFS on a loop device with
// 4 KiB sectors), tmpfs, and two conversion runs at once in one process.
#include <atomic>
#include <mutex>

#include "engine_fixture.h"
#include "support/loop_volume.h"
#include "support/meeting_point.h"
#include "support/small_volume.h"

namespace {

class drives_test : public engine_test {
  protected:
    // Plots of awkward sizes, single and merged, converted on the volume at `folder` with every
    // transfer on a 4096-byte boundary.
    void convert_on(const std::string& folder, std::uint64_t budget);
    void convert_on_4096_byte_sectors(const char* file_system);
};

void drives_test::convert_on(const std::string& folder, std::uint64_t budget) {
    std::mutex lock;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unaligned;
    add_fault_hook(record, [&](const file_handle_s&, io_direction, std::uint64_t offset,
                               std::uint64_t length) {
        if (offset % 4096 != 0 || length % 4096 != 0) {
            std::lock_guard hold(lock);
            unaligned.emplace_back(offset, length);
        }
        return 0;
    });
    std::string sources = folder + "/sources", outputs = folder + "/outputs";
    ASSERT_EQ(mkdir(sources.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outputs.c_str(), 0755), 0);
    this->sources = sources;
    std::vector<std::vector<plot_spec_s>> jobs = {{{1, 0, 133}}, {{2, 0, 40}, {2, 40, 27}}};
    std::vector<std::string> output;
    for (const auto& plots : jobs) {
        output.push_back(add_job(plots, outputs));
    }
    run(budget);
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        EXPECT_EQ(check_poc2_file(output[j], jobs[j]), "");
        EXPECT_EQ(record.plan.jobs[j].state, job_state::completed) << record.plan.jobs[j].failure;
    }
    EXPECT_TRUE(unaligned.empty()) << unaligned.size() << " transfers off the 4 KiB grid, first at "
                                   << (unaligned.empty() ? 0 : unaligned[0].first);
}

void drives_test::convert_on_4096_byte_sectors(const char* file_system) {
    // 320 MiB: the least XFS makes a file system on; the backing file in memory stays sparse.
    loop_volume_s volume("/dev/shm", folder.path + "/" + file_system, 320u << 20, 4096,
                         file_system);
    if (!volume.why_not.empty()) {
        GTEST_SKIP() << volume.why_not;
    }
    convert_on(volume.path, merged_budget);
    EXPECT_EQ(completions, 1);
}

TEST_F(drives_test, conversions_are_bit_exact_on_ext4_with_4096_byte_sectors) {
    convert_on_4096_byte_sectors("ext4");
}

TEST_F(drives_test, conversions_are_bit_exact_on_xfs_with_4096_byte_sectors) {
    convert_on_4096_byte_sectors("xfs");
}

TEST_F(drives_test, conversions_are_bit_exact_on_tmpfs) {
    small_volume_s volume(folder.path + "/memory", "160m");
    if (!volume.mounted) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    convert_on(volume.path, 0);
}

// Two runs are two values: each with its own plan, buffers, queue and counters, converting two
// folders at the same time in one process.
TEST_F(drives_test, two_runs_in_one_process_convert_two_folders_at_once) {
    swizzler_s first, second;
    std::vector<plot_spec_s> first_plots = {{1, 0, 400}, {2, 0, 64}};
    std::vector<plot_spec_s> second_plots = {{3, 0, 200}, {3, 200, 77}};
    std::string second_outputs = folder.path + "/second";
    ASSERT_EQ(mkdir(second_outputs.c_str(), 0755), 0);
    auto plan = [&](swizzler_s& run, const std::vector<std::vector<plot_spec_s>>& jobs,
                    const std::string& into) {
        for (const auto& plots : jobs) {
            conversion_job_s job;
            job.account_id = plots.front().account_id;
            job.start_nonce = plots.front().start_nonce;
            for (const auto& plot : plots) {
                job.source_paths.push_back(write_poc1_plot(sources, plot));
                job.source_nonces.push_back(plot.nonces);
                job.nonces += plot.nonces;
            }
            job.output_path = make_output_path(into, job.account_id, job.start_nonce, job.nonces);
            run.plan.bytes_total += plot_size(job.nonces);
            run.plan.largest_job_bytes =
                std::max(run.plan.largest_job_bytes, plot_size(job.nonces));
            run.plan.jobs.push_back(std::move(job));
        }
    };
    plan(first, {{first_plots[0]}, {first_plots[1]}}, outputs);
    plan(second, {second_plots}, second_outputs);
    // Each run waits at its first write until the other has come to its own: they are truly at
    // work at the same moment. A run that waits in vain (the other one started after it ended,
    // or never) is counted.
    meeting_point_s both(2);
    for (swizzler_s* run : {&first, &second}) {
        auto wrote = std::make_shared<std::atomic<bool>>(false);
        add_fault_hook(*run, [&both, wrote](const file_handle_s&, io_direction direction,
                                            std::uint64_t, std::uint64_t) {
            if (direction == io_direction::write && !wrote->exchange(true)) {
                meet(both);
            }
            return 0;
        });
    }
    int done = 0;
    start_work_thread(first, single_source_budget, [&done] { ++done; });
    start_work_thread(second, merged_budget, [&done] { ++done; });
    first.thread.join();
    second.thread.join();
    run_ui_tasks();

    EXPECT_EQ(done, 2);
    EXPECT_EQ(both.arrived, 2);
    EXPECT_EQ(both.gave_up, 0) << "a run waited for the other in vain";
    EXPECT_EQ(check_poc2_file(first.plan.jobs[0].output_path, {first_plots[0]}), "");
    EXPECT_EQ(check_poc2_file(first.plan.jobs[1].output_path, {first_plots[1]}), "");
    EXPECT_EQ(check_poc2_file(second.plan.jobs[0].output_path, second_plots), "");
    for (swizzler_s* run : {&first, &second}) {
        EXPECT_EQ(run->bytes_read.load(), run->plan.bytes_total);
        EXPECT_EQ(run->bytes_written.load(), run->plan.bytes_total);
    }
}

} // namespace
