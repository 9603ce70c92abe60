// In-place conversions on real files: plots written into the fixture's source folder and
// converted there, a run at a time, in this process or in a child that a crash hook ends.
#pragma once

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "engine_fixture.h"
#include "swizzler/crash_points.h"
#include "swizzler/in_place_conversion.h"

class in_place_test : public engine_test {
  protected:
    // Writes the plot into `sources` and returns its final PoC2 path.
    std::string write_plot(const plot_spec_s& plot) {
        EXPECT_FALSE(write_poc1_plot(sources, plot).empty());
        return make_output_path(sources, plot.account_id, plot.start_nonce, plot.nonces);
    }

    std::string poc1_path(const plot_spec_s& plot) { return sources + "/" + poc1_name(plot); }

    // A plan of one in-place job for the plot (which must be in `sources`).
    void plan_in_place(swizzler_s& run, const plot_spec_s& plot) {
        conversion_job_s job;
        job.account_id = plot.account_id;
        job.start_nonce = plot.start_nonce;
        job.nonces = plot.nonces;
        job.source_paths = {poc1_path(plot)};
        job.source_nonces = {plot.nonces};
        job.output_path = make_output_path(sources, plot.account_id, plot.start_nonce, plot.nonces);
        job.in_place = true;
        run.plan.jobs = {job};
        run.plan.bytes_total = run.plan.largest_job_bytes = plot_size(plot.nonces);
        run.transfers = test_io_backend();
    }

    // One whole run of a fresh record over the plot with the budget; the record is returned.
    std::unique_ptr<swizzler_s> run_in_place(const plot_spec_s& plot, std::uint64_t budget) {
        auto run = std::make_unique<swizzler_s>();
        plan_in_place(*run, plot);
        start_work_thread(*run, budget, [this] { ++completions; });
        run->thread.join();
        run_ui_tasks();
        return run;
    }

    // The names in `sources`, sorted.
    std::set<std::string> names() {
        std::set<std::string> found;
        if (DIR* dir = opendir(sources.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    found.insert(name);
                }
            }
            closedir(dir);
        }
        return found;
    }

    // Runs the conversion in a child process whose crash hook is `hook` (which ends it, as a
    // kill or a power cut would, or returns); the exit status of the child, or -1.
    int run_in_child(const plot_spec_s& plot, std::uint64_t budget, crash_point_fn hook) {
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            set_crash_point_hook(std::move(hook));
            auto run = run_in_place(plot, budget);
            _exit(run->plan.jobs[0].state == job_state::completed ? 0 : 3);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }
};

// A hook that ends the process (exit status 9, no clean-up) at the `occurrence`-th time the
// instant `point` is announced.
inline crash_point_fn crash_at(std::string point, int occurrence) {
    auto seen = std::make_shared<int>(0);
    return [point, occurrence, seen](const char* at, const std::string&) {
        if (point == at && ++*seen == occurrence) {
            _exit(9);
        }
    };
}

// The whole content of a file ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
    return read_text_file(path);
}

// Checks what a miner would find in the folder after a crash: the plot's PoC1 name only while
// it holds the untouched PoC1 plot, its PoC2 name only when it is complete, and otherwise only
// the temporary name and the journal. "" when all is well.
inline std::string check_names_after_crash(const std::set<std::string>& names,
                                           const plot_spec_s& plot, const std::string& folder,
                                           const std::string& original_bytes) {
    std::string poc1 = poc1_name(plot);
    std::string poc2 = std::to_string(plot.account_id) + "_" + std::to_string(plot.start_nonce) +
                       "_" + std::to_string(plot.nonces);
    std::set<std::string> allowed = {poc1, poc2, poc2 + ".swizzling", poc2 + ".swizzling.journal"};
    for (const std::string& name : names) {
        if (allowed.count(name) == 0) {
            return "an unexpected file " + name;
        }
    }
    if (names.count(poc1) != 0 && file_bytes(folder + "/" + poc1) != original_bytes) {
        return "the plot under its PoC1 name has changed";
    }
    if (names.count(poc2) != 0) {
        std::string problem = check_poc2_file(folder + "/" + poc2, {plot});
        if (!problem.empty()) {
            return "an incomplete plot under its PoC2 name: " + problem;
        }
    }
    int plot_names =
        static_cast<int>(names.count(poc1) + names.count(poc2) + names.count(poc2 + ".swizzling"));
    return plot_names == 1 ? "" : "the plot is under " + std::to_string(plot_names) + " names";
}
