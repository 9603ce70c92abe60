// A conversion run on real files in a temporary folder, with scripted message
// boxes, a log of its own and an interface thread played by the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogue/plot_name.h"
#include "support/plot_files.h"
#include "support/scripted_boxes.h"
#include "support/temp_folder.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/conversion_record.h"
#include "swizzler/swizzle.h"
#include "swizzler/worker.h"
#include "util/log.h"
#include "util/transfer_crash_points.h"
#include "util/transfer_faults.h"
#include "util/ui_tasks.h"

// The least budgets (tiles of 4 KiB, so that even small plots cross many tiles).
inline const std::uint64_t single_source_budget = smallest_budget(false);
inline const std::uint64_t merged_budget = smallest_budget(true);

// Puts every transfer of the run to `decide` before it starts (fail it with an errno, or watch
// it go by): the run's back-end is wrapped, whatever it was.
inline void add_fault_hook(swizzler_s& run, io_fault_fn decide) {
    run.transfers = with_faults(std::move(run.transfers), std::move(decide));
}

// Hands every instant the run announces to `at_instant` (which may end the process there).
inline void add_crash_hook(swizzler_s& run, crash_point_fn at_instant) {
    run.transfers = with_crash_points(std::move(run.transfers), std::move(at_instant));
}

class engine_test : public ::testing::Test {
  protected:
    temp_folder_s folder;
    std::string sources;
    std::string outputs;
    std::string log_path;
    scripted_boxes_s boxes;
    swizzler_s record;
    std::vector<int> quits;
    int completions = 0;

    void SetUp() override {
        sources = folder.path + "/sources";
        outputs = folder.path + "/outputs";
        ASSERT_EQ(mkdir(sources.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outputs.c_str(), 0755), 0);
        // No test takes the desktop's real inhibitor lock: the system bus is one that is not.
        std::string no_bus = "unix:path=" + folder.path + "/no_bus";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", no_bus.c_str(), 1);
        log_path = folder.path + "/engine.log";
        ASSERT_TRUE(open_log_file(log_path.c_str()));
        install_scripted_boxes(boxes);
        set_ui_wake_handler([] { return true; });
        set_quit_handler([this](int status) { quits.push_back(status); });
        run_ui_tasks();
    }

    void TearDown() override {
        if (record.thread.joinable()) {
            record.thread.join();
        }
        run_ui_tasks();
        remove_scripted_boxes();
        set_quit_handler(nullptr);
        set_ui_wake_handler(nullptr);
        close_log_file();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    // Writes the plots into `sources` and plans one job of them, merged in the given order, with
    // its output in `output_folder` (default `outputs`). Returns the output path.
    std::string add_job(const std::vector<plot_spec_s>& plots, std::string output_folder = "") {
        conversion_job_s job;
        job.account_id = plots.front().account_id;
        job.start_nonce = plots.front().start_nonce;
        for (const auto& plot : plots) {
            std::string path = write_poc1_plot(sources, plot);
            EXPECT_FALSE(path.empty());
            job.source_paths.push_back(path);
            job.source_nonces.push_back(plot.nonces);
            job.nonces += plot.nonces;
        }
        job.output_path = make_output_path(output_folder.empty() ? outputs : output_folder,
                                           job.account_id, job.start_nonce, job.nonces);
        record.plan.bytes_total += plot_size(job.nonces);
        record.plan.largest_job_bytes =
            std::max(record.plan.largest_job_bytes, plot_size(job.nonces));
        std::string output = job.output_path;
        record.plan.jobs.push_back(std::move(job));
        return output;
    }

    // Runs the whole conversion and plays the interface thread's part of its end.
    void run(std::uint64_t budget) {
        start_work_thread(record, budget, [this] { ++completions; });
        record.thread.join();
        run_ui_tasks();
    }

    std::vector<std::string> log_lines() {
        std::vector<std::string> lines;
        std::string text = read_text_file(log_path);
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            lines.push_back(line.size() > 20 ? line.substr(20) : line); // the time stamp goes
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }

    bool log_has(const std::string& line) {
        auto lines = log_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<shown_box_s> shown() {
        return boxes.shown; // the work thread has been joined
    }

    void expect_complete_counters() {
        EXPECT_EQ(record.bytes_read.load(), record.plan.bytes_total);
        EXPECT_EQ(record.bytes_written.load(), record.plan.bytes_total);
        EXPECT_EQ(record.bytes_buffered.load(), 0u);
        EXPECT_EQ(record.bytes_in_flight.load(), 0u);
    }
};

inline bool file_exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}
