#include "catalogue/planning.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>

#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/folders.h"
#include "util/log.h"

// Interface thread only.
bool merge_adjacent = true;
int plot_count = 0;
int job_count = 0;
plan_outcome last_plan_outcome = plan_outcome::no_folders;

namespace {

static_assert(plot_size(max_plot_nonces) <= std::uint64_t{std::numeric_limits<off_t>::max()},
              "the largest plot must fit a file offset");

// The job being grouped: plots join it while they continue its nonce range.
struct open_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::vector<std::string> source_paths;
    std::vector<std::uint64_t> source_nonces;
};

// Totals of many huge plots must not wrap around and pass the space check.
std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// Room a job still needs on the destination: a temporary file left by an earlier run keeps its
// blocks and is taken over.
std::uint64_t bytes_still_needed(const conversion_job_s& job) {
    std::uint64_t size = plot_size(job.nonces);
    struct stat leftover {};
    if (stat((job.output_path + ".swizzling").c_str(), &leftover) != 0) {
        return size;
    }
    std::uint64_t held = static_cast<std::uint64_t>(leftover.st_blocks) * 512;
    return size - std::min(size, held);
}

void emit_job(conversion_plan_s& record, const std::string& destination, open_job_s& open) {
    conversion_job_s job;
    job.account_id = open.account_id;
    job.start_nonce = open.start_nonce;
    job.nonces = open.nonces;
    job.source_paths = std::move(open.source_paths);
    job.source_nonces = std::move(open.source_nonces);
    job.output_path = make_output_path(destination, open.account_id, open.start_nonce, open.nonces);
    open.source_paths.clear();
    open.source_nonces.clear();
    if (path_exists(job.output_path)) {
        log_message("Keeping %s which is already converted\n", job.output_path.c_str());
        job.state = job_state::existing;
        record.existing_jobs.push_back(std::move(job));
        return;
    }
    std::uint64_t size = plot_size(job.nonces);
    record.bytes_total = add_saturating(record.bytes_total, size);
    record.largest_job_bytes = std::max(record.largest_job_bytes, size);
    record.jobs.push_back(std::move(job));
    ++job_count;
}

void clear_plan(conversion_plan_s& record) {
    job_count = 0;
    record.jobs.clear();
    record.existing_jobs.clear();
    record.bytes_total = 0;
    record.largest_job_bytes = 0;
}

} // namespace

void plan_jobs() {
    plan_jobs(the_plan());
}

void plan_jobs(conversion_plan_s& record) {
    plot_count = 0;
    clear_plan(record);
    last_plan_outcome = plan_outcome::no_folders;
    if (source_drives.empty() || destination_drives.empty()) {
        return;
    }
    drive_info_s& source = source_drives.front();
    const drive_info_s& destination = destination_drives.front();
    source.plot_bytes = 0;

    std::vector<plot_file_s> plots;
    enumerate_folder(source.path, [&](const std::string& name) {
        plot_file_s plot;
        if (classify_plot_file(source.path, name, &plot) != plot_file_kind::accepted) {
            return true;
        }
        if (plot.nonces > max_plot_nonces) {
            log_message("Skipping %s whose %llu nonces are more than a file can hold\n",
                        name.c_str(), static_cast<unsigned long long>(plot.nonces));
            return true;
        }
        source.plot_bytes = add_saturating(source.plot_bytes, plot_size(plot.nonces));
        ++plot_count;
        plots.push_back(std::move(plot));
        return true;
    });
    last_plan_outcome = plan_outcome::no_plots;
    if (plots.empty()) {
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
        bool continues = have_open && merge_adjacent && plot.account_id == open.account_id &&
                         plot.start_nonce == open.start_nonce + open.nonces;
        if (continues && plot.nonces > max_plot_nonces - open.nonces) {
            log_message("Not merging %s: the merged plot would be more than a file can hold\n",
                        std::string(file_name_of(plot.path)).c_str());
            continues = false;
        }
        if (continues) {
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
        open.source_nonces.push_back(plot.nonces);
    }
    emit_job(record, destination.path, open);

    // Outputs already there take no room; their sources were counted in the scan all the same.
    std::uint64_t needed = 0;
    for (const auto& job : record.jobs) {
        needed = add_saturating(needed, bytes_still_needed(job));
    }
    if (needed > destination.free_bytes) {
        show_message(0, "Error",
                     "There is not enough space on the target drive to hold all the plot data "
                     "from the source drive.");
        clear_plan(record);
        last_plan_outcome = plan_outcome::no_room;
        return;
    }
    last_plan_outcome = record.jobs.empty() ? plan_outcome::all_there : plan_outcome::planned;
    log_message("%d total jobs\n", static_cast<int>(record.jobs.size()));
}
