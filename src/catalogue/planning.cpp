#include "catalogue/planning.h"

#include <algorithm>

#include "catalogue/drives.h"
#include "catalogue/plot_name.h"
#include "swizzler/conversion_record.h"
#include "swizzler/plot_layout.h"
#include "util/folders.h"
#include "util/log.h"

// Interface thread only.
bool merge_adjacent = true;
int plot_count = 0;
int job_count = 0;

namespace {

// The job being grouped: plots join it while they continue its nonce range.
struct open_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::vector<std::string> source_paths;
};

void emit_job(swizzler_s& record, const std::string& destination, open_job_s& open) {
    conversion_job_s job;
    job.account_id = open.account_id;
    job.start_nonce = open.start_nonce;
    job.nonces = open.nonces;
    job.source_paths = std::move(open.source_paths);
    job.output_path = make_output_path(destination, open.account_id, open.start_nonce, open.nonces);
    record.jobs.push_back(std::move(job));

    std::uint64_t size = plot_size(open.nonces);
    record.bytes_total += size;
    record.largest_job_bytes = std::max(record.largest_job_bytes, size);
    open.source_paths.clear();
    ++job_count;
}

} // namespace

void plan_jobs() {
    plan_jobs(the_swizzler());
}

void plan_jobs(swizzler_s& record) {
    // The worker owns the job list once a run has started; a program makes one run.
    if (record.thread.joinable()) {
        return;
    }
    plot_count = 0;
    job_count = 0;
    record.jobs.clear();
    record.bytes_total = 0;
    record.largest_job_bytes = 0;
    if (source_drives.empty() || destination_drives.empty()) {
        return;
    }
    drive_info_s& source = source_drives.front();
    const drive_info_s& destination = destination_drives.front();
    source.plot_bytes = 0;

    std::vector<plot_file_s> plots;
    enumerate_folder(source.path, [&](const std::string& name) {
        plot_file_s plot;
        if (classify_plot_file(source.path, name, &plot) == plot_file_kind::accepted) {
            source.plot_bytes += plot_size(plot.nonces);
            ++plot_count;
            plots.push_back(std::move(plot));
        }
        return true;
    });
    if (plots.empty()) {
        return;
    }
    if (source.plot_bytes > destination.free_bytes) {
        show_message(0, "Error",
                     "There is not enough space on the target drive to hold all the plot data "
                     "from the source drive.");
        return;
    }

    std::sort(plots.begin(), plots.end(), [](const plot_file_s& a, const plot_file_s& b) {
        if (a.account_id != b.account_id) {
            return a.account_id < b.account_id;
        }
        if (a.start_nonce != b.start_nonce) {
            return a.start_nonce < b.start_nonce;
        }
        // Not needed for correctness; keeps the plan independent of the directory order.
        return a.path < b.path;
    });

    open_job_s open;
    bool have_open = false;
    for (auto& plot : plots) {
        bool joins = have_open && merge_adjacent && plot.account_id == open.account_id &&
                     plot.start_nonce == open.start_nonce + open.nonces;
        if (joins) {
            open.nonces += plot.nonces;
        } else {
            if (have_open) {
                emit_job(record, destination.path, open);
            }
            open.account_id = plot.account_id;
            open.start_nonce = plot.start_nonce;
            open.nonces = plot.nonces;
            have_open = true;
        }
        open.source_paths.push_back(std::move(plot.path));
    }
    emit_job(record, destination.path, open);
    log_message("%d total jobs\n", static_cast<int>(record.jobs.size()));
}
