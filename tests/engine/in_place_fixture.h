// In-place conversions on real files: plots written into the fixture's source folder and
// converted there, a run at a time, in this process or in a child that a crash hook ends.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "catalogue/in_place_journal.h"
#include "engine_fixture.h"
#include "support/in_place_names.h"
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
    }

    std::set<std::string> names() { return file_names_in(sources); }

    // One whole run of a fresh record over the plot with the budget, its back-end first wrapped
    // by `arm` when there is one; the record is returned.
    std::unique_ptr<swizzler_s> run_in_place(const plot_spec_s& plot, std::uint64_t budget,
                                             const std::function<void(swizzler_s&)>& arm = {}) {
        auto run = std::make_unique<swizzler_s>();
        plan_in_place(*run, plot);
        if (arm) {
            arm(*run);
        }
        start_work_thread(*run, budget, [this] { ++completions; });
        run->thread.join();
        run_ui_tasks();
        return run;
    }

    // Runs the conversion in a child process whose crash hook is `hook` (which ends it, as a
    // kill or a power cut would, or returns); the exit status of the child, or -1.
    int run_in_child(const plot_spec_s& plot, std::uint64_t budget, crash_point_fn hook) {
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            auto run = run_in_place(plot, budget, [&hook](swizzler_s& run) {
                if (hook) {
                    add_crash_hook(run, std::move(hook));
                }
            });
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
