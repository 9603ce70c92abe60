#include "catalogue/planning.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/drive_identity.h"
#include "util/folders.h"
#include "util/log.h"
#include "util/size_text.h"

// Interface thread only.
bool merge_adjacent = true;
int plot_count = 0;
int job_count = 0;
plan_outcome last_plan_outcome = plan_outcome::no_folders;

namespace {

static_assert(plot_size(max_plot_nonces) <= std::uint64_t{std::numeric_limits<off_t>::max()},
              "the largest plot must fit a file offset");

// An accepted plot and the source entry it was found in.
struct found_plot_s {
    plot_file_s plot;
    std::size_t folder = 0;
};

// The job being grouped: plots join it while they continue its nonce range in its folder.
struct open_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::size_t folder = 0;
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

// Room a job still needs at an output path: a temporary file left by an earlier run keeps its
// blocks and is taken over.
std::uint64_t bytes_still_needed(std::uint64_t size, const std::string& output_path,
                                 bool* leftover_here) {
    struct stat leftover {};
    *leftover_here = stat((output_path + ".swizzling").c_str(), &leftover) == 0;
    if (!*leftover_here) {
        return size;
    }
    std::uint64_t held = static_cast<std::uint64_t>(leftover.st_blocks) * 512;
    return size - std::min(size, held);
}

void clear_plan(conversion_plan_s& record) {
    static std::uint64_t plans_made = 0; // interface thread, as planning is
    job_count = 0;
    record = conversion_plan_s{};
    record.generation = ++plans_made;
}

// Every accepted plot of every source folder, in list order; counts and sizes per folder.
std::vector<found_plot_s> scan_sources() {
    std::vector<found_plot_s> plots;
    for (std::size_t index = 0; index < source_drives.size(); ++index) {
        drive_info_s& source = source_drives[index];
        source.plot_bytes = 0;
        enumerate_folder(source.path, [&](const std::string& name) {
            found_plot_s found;
            found.folder = index;
            if (classify_plot_file(source.path, name, &found.plot) != plot_file_kind::accepted) {
                return true;
            }
            if (found.plot.nonces > max_plot_nonces) {
                log_message("Skipping %s whose %llu nonces are more than a file can hold\n",
                            name.c_str(), static_cast<unsigned long long>(found.plot.nonces));
                return true;
            }
            source.plot_bytes = add_saturating(source.plot_bytes, plot_size(found.plot.nonces));
            ++plot_count;
            plots.push_back(std::move(found));
            return true;
        });
    }
    return plots;
}

// Groups the sorted plots into jobs. Plots merge only within their own folder: a merged output
// reads one drive and must fit on one destination, which a merge across drives might not.
std::vector<conversion_job_s> group_into_jobs(std::vector<found_plot_s>& plots) {
    std::vector<conversion_job_s> jobs;
    open_job_s open;
    bool have_open = false;
    auto emit = [&] {
        conversion_job_s job;
        job.account_id = open.account_id;
        job.start_nonce = open.start_nonce;
        job.nonces = open.nonces;
        job.source_paths = std::move(open.source_paths);
        job.source_nonces = std::move(open.source_nonces);
        job.source_folder = source_drives[open.folder].path;
        open.source_paths.clear();
        open.source_nonces.clear();
        jobs.push_back(std::move(job));
    };
    for (auto& found : plots) {
        const plot_file_s& plot = found.plot;
        bool continues = have_open && merge_adjacent && found.folder == open.folder &&
                         plot.account_id == open.account_id &&
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
                emit();
            }
            open.account_id = plot.account_id;
            open.start_nonce = plot.start_nonce;
            open.nonces = plot.nonces;
            open.folder = found.folder;
            have_open = true;
        }
        open.source_paths.push_back(found.plot.path);
        open.source_nonces.push_back(plot.nonces);
    }
    if (have_open) {
        emit();
    }
    return jobs;
}

// Where each job's output goes. A job goes only where it fits. Among those places it prefers
// the one holding what an earlier run left of it (which it then takes over), then the
// destination its source folder already sends to (a stream stays on its drives), then one no
// other source folder uses, on a drive that neither another pairing nor another source folder
// uses (a new stream that runs beside the others: a destination on another source's drive
// would tie the two sources into one stream), then the one with the most room left.
struct placement_s {
    std::vector<std::uint64_t> room;                     // per destination
    std::vector<std::vector<std::string>> drives;        // per destination: its disks
    std::vector<std::vector<std::string>> source_drives; // per source entry: its disks
    std::map<std::size_t, std::size_t> paired;           // source entry -> destination
    std::set<std::size_t> destinations_paired;
    std::set<std::string> drives_paired;
};

bool shares_drive(const std::vector<std::string>& disks, const std::set<std::string>& used) {
    return std::any_of(disks.begin(), disks.end(),
                       [&](const std::string& disk) { return used.count(disk) != 0; });
}

// Whether destination d is on a drive of a source folder other than `source_entry`.
bool on_other_source_drive(const placement_s& placement, std::size_t d, std::size_t source_entry) {
    const std::vector<std::string>& own = placement.source_drives[source_entry];
    std::set<std::string> others;
    for (std::size_t s = 0; s < placement.source_drives.size(); ++s) {
        for (const std::string& disk : placement.source_drives[s]) {
            if (s != source_entry && std::find(own.begin(), own.end(), disk) == own.end()) {
                others.insert(disk);
            }
        }
    }
    return shares_drive(placement.drives[d], others);
}

void place(conversion_plan_s& plan, conversion_job_s job, std::size_t source_entry,
           placement_s& placement) {
    std::uint64_t size = plot_size(job.nonces);
    for (const drive_info_s& destination : destination_drives) {
        std::string output =
            make_output_path(destination.path, job.account_id, job.start_nonce, job.nonces);
        if (path_exists(output)) {
            log_message("Keeping %s which is already converted\n", output.c_str());
            job.output_path = output;
            job.destination_folder = destination.path;
            job.state = job_state::existing;
            plan.existing_jobs.push_back(std::move(job));
            return;
        }
    }
    int best = -1;
    int best_rank = 5;
    std::uint64_t best_needed = 0;
    for (std::size_t d = 0; d < destination_drives.size(); ++d) {
        bool leftover = false;
        std::string output = make_output_path(destination_drives[d].path, job.account_id,
                                              job.start_nonce, job.nonces);
        std::uint64_t needed = bytes_still_needed(size, output, &leftover);
        if (needed > placement.room[d]) {
            continue;
        }
        auto pair = placement.paired.find(source_entry);
        int rank = leftover                                              ? 0
                   : pair != placement.paired.end() && pair->second == d ? 1
                   : placement.destinations_paired.count(d) == 0 &&
                           !shares_drive(placement.drives[d], placement.drives_paired) &&
                           !on_other_source_drive(placement, d, source_entry)
                       ? 2
                   : placement.destinations_paired.count(d) == 0 ? 3
                                                                 : 4;
        if (rank < best_rank || (rank == best_rank && placement.room[d] > placement.room[best])) {
            best = static_cast<int>(d);
            best_rank = rank;
            best_needed = needed;
        }
    }
    if (best < 0) {
        job.output_path = make_output_path(destination_drives.front().path, job.account_id,
                                           job.start_nonce, job.nonces);
        plan.unplaced_jobs.push_back(std::move(job));
        return;
    }
    auto d = static_cast<std::size_t>(best);
    placement.room[d] -= best_needed;
    if (placement.paired.emplace(source_entry, d).second) {
        placement.destinations_paired.insert(d);
        placement.drives_paired.insert(placement.drives[d].begin(), placement.drives[d].end());
        const std::vector<std::string>& source_disks = placement.source_drives[source_entry];
        placement.drives_paired.insert(source_disks.begin(), source_disks.end());
    }
    job.destination_folder = destination_drives[d].path;
    job.output_path =
        make_output_path(job.destination_folder, job.account_id, job.start_nonce, job.nonces);
    plan.bytes_total = add_saturating(plan.bytes_total, size);
    plan.largest_job_bytes = std::max(plan.largest_job_bytes, size);
    plan.jobs.push_back(std::move(job));
    ++job_count;
}

// Says which jobs fit nowhere: the whole plan refused when none fits, as one destination
// without room always was; only those jobs otherwise.
void report_unplaced(const conversion_plan_s& plan) {
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        log_message("%s does not fit on any destination drive\n",
                    std::string(file_name_of(job.output_path)).c_str());
    }
    if (plan.jobs.empty() && plan.existing_jobs.empty()) {
        show_message(0, "Error",
                     "There is not enough space on the target drive to hold all the plot data "
                     "from the source drive.");
        return;
    }
    std::string list;
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        list += std::string(file_name_of(job.output_path)) + " (" +
                size_text(plot_size(job.nonces), false) + ")\n";
    }
    show_message(0, "Warning",
                 "There is not enough space on the destination drives for these PoC2 plots; "
                 "they will not be converted and their sources are kept:\n%s",
                 list.c_str());
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
    std::vector<found_plot_s> plots = scan_sources();
    last_plan_outcome = plan_outcome::no_plots;
    if (plots.empty()) {
        return;
    }
    std::sort(plots.begin(), plots.end(), [](const found_plot_s& a, const found_plot_s& b) {
        if (a.plot.account_id != b.plot.account_id) {
            return a.plot.account_id < b.plot.account_id;
        }
        if (a.plot.start_nonce != b.plot.start_nonce) {
            return a.plot.start_nonce < b.plot.start_nonce;
        }
        // Not needed for correctness; keeps the plan independent of the directory order.
        return a.plot.path < b.plot.path;
    });

    std::map<std::string, std::size_t> entry_of_folder;
    for (std::size_t i = 0; i < source_drives.size(); ++i) {
        entry_of_folder.emplace(source_drives[i].path, i);
    }
    placement_s placement;
    for (const drive_info_s& destination : destination_drives) {
        placement.room.push_back(destination.free_bytes);
        placement.drives.push_back(drive_of_folder(destination.path).disks);
    }
    for (const drive_info_s& source : source_drives) {
        placement.source_drives.push_back(drive_of_folder(source.path).disks);
    }
    for (conversion_job_s& job : group_into_jobs(plots)) {
        std::size_t entry = entry_of_folder[job.source_folder];
        place(record, std::move(job), entry, placement);
    }
    if (!record.unplaced_jobs.empty()) {
        report_unplaced(record);
    }
    if (record.jobs.empty()) {
        last_plan_outcome =
            record.unplaced_jobs.empty() ? plan_outcome::all_there : plan_outcome::no_room;
        if (last_plan_outcome == plan_outcome::no_room) {
            record.existing_jobs.clear();
        }
        return;
    }
    last_plan_outcome = plan_outcome::planned;
    log_message("%d total jobs\n", static_cast<int>(record.jobs.size()));
}
