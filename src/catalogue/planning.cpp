#include "catalogue/planning.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <set>

#include "catalogue/in_place_journal.h"
#include "catalogue/in_place_planning.h"
#include "catalogue/plan_scan.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/drive_identity.h"
#include "util/log.h"
#include "util/open_files.h"
#include "util/size_text.h"

// Interface thread only.
bool merge_adjacent = true;
bool convert_in_place = false;

namespace {

static_assert(plot_size(max_plot_nonces) <= std::uint64_t{std::numeric_limits<off_t>::max()},
              "the largest plot must fit a file offset");

// The job being grouped: plots join it while they continue its nonce range in its folder.
struct open_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::size_t folder = 0;
    std::vector<std::string> source_paths;
    std::vector<std::uint64_t> source_nonces;
    std::vector<file_identity_s> source_identities;
};

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// Room a job still needs at an output path: a temporary file left by an earlier run keeps its
// blocks and is taken over.
std::uint64_t bytes_still_needed(std::uint64_t size, const std::string& output_path,
                                 bool* leftover_here) {
    struct stat leftover {};
    *leftover_here =
        lstat((output_path + ".swizzling").c_str(), &leftover) == 0 && S_ISREG(leftover.st_mode);
    if (!*leftover_here) {
        return size;
    }
    std::uint64_t held = static_cast<std::uint64_t>(leftover.st_blocks) * 512;
    return size - std::min(size, held);
}

conversion_plan_s new_plan(std::size_t source_folders) {
    static std::atomic<std::uint64_t> plans_made{0};
    conversion_plan_s plan;
    plan.generation = ++plans_made;
    plan.folder_plot_bytes.assign(source_folders, 0);
    return plan;
}

// Groups the sorted plots into jobs. Plots merge only within their own folder: a merged output
// reads one drive and must fit on one destination, which a merge across drives might not.
std::vector<conversion_job_s> group_into_jobs(const std::vector<found_plot_s>& plots,
                                              const plan_request_s& request) {
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
        job.source_identities = std::move(open.source_identities);
        job.source_folder = request.sources[open.folder].path;
        open = open_job_s{};
        jobs.push_back(std::move(job));
    };
    for (const found_plot_s& found : plots) {
        const plot_file_s& plot = found.plot;
        bool continues = have_open && request.merge && found.folder == open.folder &&
                         plot.account_id == open.account_id &&
                         plot.start_nonce == open.start_nonce + open.nonces;
        if (continues && plot.nonces > max_plot_nonces - open.nonces) {
            log_message("Not merging %s: the merged plot would be more than a file can hold\n",
                        std::string(file_name_of(plot.path)).c_str());
            continues = false;
        }
        if (continues && request.most_sources_per_job != 0 &&
            open.source_paths.size() >= request.most_sources_per_job) {
            log_message("Not merging %s: a merged plot may read at most %zu files at once (the "
                        "limit of open files); it starts a plot of its own\n",
                        std::string(file_name_of(plot.path)).c_str(), request.most_sources_per_job);
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
        open.source_paths.push_back(plot.path);
        open.source_nonces.push_back(plot.nonces);
        open.source_identities.push_back(found.identity);
    }
    if (have_open) {
        emit();
    }
    return jobs;
}

// Two jobs that would write one PoC2 plot (the same plot found twice under other names, or a
// merge that covers another file's range) make one job: the first in plan order. The others'
// sources are set aside, so no result of one can ever be taken for the other's.
std::vector<conversion_job_s> one_job_per_output(std::vector<conversion_job_s> jobs,
                                                 conversion_plan_s& plan) {
    std::vector<conversion_job_s> kept;
    std::map<std::string, std::string> first_source_of; // output name -> its job's first source
    for (conversion_job_s& job : jobs) {
        std::string name = make_output_path("", job.account_id, job.start_nonce, job.nonces);
        auto [found, fresh] = first_source_of.emplace(name, job.source_paths.front());
        if (fresh) {
            kept.push_back(std::move(job));
            continue;
        }
        for (const std::string& source : job.source_paths) {
            std::string why = "it would give the PoC2 plot " + name.substr(1) + " that " +
                              found->second + " gives";
            log_message("Leaving %s alone: %s\n", source.c_str(), why.c_str());
            plan.set_aside.push_back({set_aside_reason::duplicate, source, why});
        }
    }
    return kept;
}

// Where each job's output goes. A job goes only where it fits. Among those places it prefers
// the one holding what an earlier run left of it (which it then takes over), then the
// destination its source folder already sends to (a stream stays on its drives), then one no
// other source folder uses, on a drive that neither another pairing nor another source folder
// uses (a new stream that runs beside the others: a destination on another source's drive
// would tie the two sources into one stream), then the one with the most room left. Room is
// the volume's: destinations on one volume share it.
struct placement_s {
    std::vector<std::size_t> destinations;               // the distinct destination entries
    std::vector<std::size_t> volume_of;                  // per destination: index into room
    std::vector<std::uint64_t> room;                     // per volume
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

placement_s make_placement(const plan_request_s& request,
                           const std::vector<std::size_t>& destinations) {
    placement_s placement;
    placement.destinations = destinations;
    std::map<std::uint64_t, std::size_t> volumes; // device -> index into room
    for (std::size_t entry : destinations) {
        const drive_info_s& destination = request.destinations[entry];
        file_identity_s folder = folder_identity(destination);
        auto [found, fresh] = volumes.emplace(folder.device, placement.room.size());
        if (fresh || folder.inode == 0) {
            if (!fresh) {
                found->second = placement.room.size(); // unknown volumes are each their own
            }
            placement.room.push_back(destination.free_bytes);
        } else {
            // Measured at different moments: the least is the one still true.
            placement.room[found->second] =
                std::min(placement.room[found->second], destination.free_bytes);
        }
        placement.volume_of.push_back(found->second);
        placement.drives.push_back(drive_of_folder(destination.path).disks);
    }
    for (const drive_info_s& source : request.sources) {
        placement.source_drives.push_back(drive_of_folder(source.path).disks);
    }
    return placement;
}

const drive_info_s& destination_at(const plan_request_s& request, const placement_s& placement,
                                   std::size_t d) {
    return request.destinations[placement.destinations[d]];
}

void place(const plan_request_s& request, conversion_plan_s& plan, conversion_job_s job,
           std::size_t source_entry, placement_s& placement) {
    std::uint64_t size = plot_size(job.nonces);
    for (std::size_t d = 0; d < placement.destinations.size(); ++d) {
        const std::string& folder = destination_at(request, placement, d).path;
        std::string output = make_output_path(folder, job.account_id, job.start_nonce, job.nonces);
        if (path_exists(output)) {
            log_message("Keeping %s which is already converted\n", output.c_str());
            job.output_path = output;
            job.destination_folder = folder;
            job.state = job_state::existing;
            plan.existing_jobs.push_back(std::move(job));
            return;
        }
    }
    int best = -1;
    int best_rank = 5;
    std::uint64_t best_needed = 0;
    std::string taken_in_place;
    for (std::size_t d = 0; d < placement.destinations.size(); ++d) {
        bool leftover = false;
        std::string output = make_output_path(destination_at(request, placement, d).path,
                                              job.account_id, job.start_nonce, job.nonces);
        // A temporary file with a journal beside it is a plot under conversion in place: its
        // name is taken there, and writing into it would destroy that plot.
        if (path_exists(in_place_journal_path(output))) {
            taken_in_place = output;
            continue;
        }
        std::uint64_t needed = bytes_still_needed(size, output, &leftover);
        std::uint64_t room = placement.room[placement.volume_of[d]];
        if (needed > room) {
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
        std::uint64_t best_room =
            best < 0 ? 0 : placement.room[placement.volume_of[static_cast<std::size_t>(best)]];
        if (rank < best_rank || (rank == best_rank && room > best_room)) {
            best = static_cast<int>(d);
            best_rank = rank;
            best_needed = needed;
        }
    }
    if (best < 0 && !taken_in_place.empty()) {
        std::string why = "its PoC2 plot " + taken_in_place + " is being converted in place there";
        for (const std::string& source : job.source_paths) {
            log_message("Leaving %s alone: %s\n", source.c_str(), why.c_str());
            plan.set_aside.push_back({set_aside_reason::in_place_there, source, why});
        }
        return;
    }
    if (best < 0) {
        job.output_path = make_output_path(destination_at(request, placement, 0).path,
                                           job.account_id, job.start_nonce, job.nonces);
        plan.unplaced_jobs.push_back(std::move(job));
        return;
    }
    auto d = static_cast<std::size_t>(best);
    placement.room[placement.volume_of[d]] -= best_needed;
    if (placement.paired.emplace(source_entry, d).second) {
        placement.destinations_paired.insert(d);
        placement.drives_paired.insert(placement.drives[d].begin(), placement.drives[d].end());
        const std::vector<std::string>& source_disks = placement.source_drives[source_entry];
        placement.drives_paired.insert(source_disks.begin(), source_disks.end());
    }
    job.destination_folder = destination_at(request, placement, d).path;
    job.output_path =
        make_output_path(job.destination_folder, job.account_id, job.start_nonce, job.nonces);
    plan.bytes_total = add_saturating(plan.bytes_total, size);
    plan.largest_job_bytes = std::max(plan.largest_job_bytes, size);
    plan.jobs.push_back(std::move(job));
}

void plan_copying(const plan_request_s& request, conversion_plan_s& plan) {
    std::vector<std::size_t> sources = distinct_folders(request.sources, "source");
    std::vector<std::size_t> destinations = distinct_folders(request.destinations, "destination");
    std::vector<found_plot_s> plots = scan_sources(request, sources, plan);
    plan.outcome = plan_outcome::no_plots;
    if (plots.empty()) {
        return;
    }
    sort_plots(plots);
    placement_s placement = make_placement(request, destinations);
    for (conversion_job_s& job : one_job_per_output(group_into_jobs(plots, request), plan)) {
        std::size_t entry = 0;
        while (entry < request.sources.size() && request.sources[entry].path != job.source_folder) {
            ++entry;
        }
        place(request, plan, std::move(job), entry, placement);
    }
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        log_message("%s does not fit on any destination drive\n",
                    std::string(file_name_of(job.output_path)).c_str());
    }
    if (plan.jobs.empty()) {
        plan.outcome = !plan.unplaced_jobs.empty()   ? plan_outcome::no_room
                       : !plan.existing_jobs.empty() ? plan_outcome::all_there
                                                     : plan_outcome::no_plots;
        if (plan.outcome == plan_outcome::no_room) {
            plan.existing_jobs.clear();
        }
        return;
    }
    plan.outcome = plan_outcome::planned;
    log_message("%d total jobs\n", static_cast<int>(plan.jobs.size()));
}

} // namespace

conversion_plan_s plan_conversion(const plan_request_s& request) {
    conversion_plan_s plan = new_plan(request.sources.size());
    plan.in_place = request.in_place;
    if (request.sources.empty() || (!request.in_place && request.destinations.empty())) {
        return plan;
    }
    if (request.in_place) {
        plan_in_place(request, plan);
    } else {
        plan_copying(request, plan);
    }
    // Plots that were found but each left alone for a reason are not "no plots".
    bool plots_left_alone =
        std::any_of(plan.set_aside.begin(), plan.set_aside.end(), [](const set_aside_s& file) {
            return file.reason != set_aside_reason::not_a_plot &&
                   file.reason != set_aside_reason::too_large;
        });
    if (plan.outcome == plan_outcome::no_plots && plots_left_alone) {
        plan.outcome = plan_outcome::set_aside;
    }
    number_jobs(plan);
    return plan;
}

std::string plan_shortfall_text(const conversion_plan_s& plan) {
    if (plan.unplaced_jobs.empty()) {
        return {};
    }
    if (plan.in_place) {
        std::string folders;
        for (const std::string& line : plan.no_room_folders) {
            folders += line;
        }
        return "There is not enough space in\n" + folders +
               "for the journal of a conversion in place; the plots there will not be converted.";
    }
    std::string list;
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        list += std::string(file_name_of(job.output_path)) + " (" +
                size_text(plot_size(job.nonces), false) + ")\n";
    }
    return "There is not enough space on the destination drives for these PoC2 plots; they will "
           "not be converted and their sources are kept:\n" +
           list;
}

void report_plan_shortfall(const conversion_plan_s& plan) {
    if (plan.unplaced_jobs.empty()) {
        return;
    }
    bool nothing_else = plan.jobs.empty() && plan.existing_jobs.empty();
    if (!nothing_else) {
        show_message(0, "Warning", "%s", plan_shortfall_text(plan).c_str());
        return;
    }
    if (plan.in_place) {
        std::string folders;
        for (const std::string& line : plan.no_room_folders) {
            folders += line;
        }
        show_message(0, "Error",
                     "There is not enough space in\n%sfor the journal of a conversion in place.",
                     folders.c_str());
        return;
    }
    show_message(0, "Error",
                 "There is not enough space on the target drive to hold all the plot data from "
                 "the source drive.");
}

void plan_jobs() {
    plan_request_s request;
    request.sources = source_drives;
    request.in_place = convert_in_place;
    if (!convert_in_place) {
        request.destinations = destination_drives;
    }
    request.merge = merge_adjacent && !convert_in_place;
    request.most_sources_per_job = sources_per_job_within(open_file_limit(), source_drives.size());
    conversion_plan_s& plan = the_plan();
    plan = plan_conversion(request);
    for (std::size_t i = 0; i < source_drives.size() && i < plan.folder_plot_bytes.size(); ++i) {
        source_drives[i].plot_bytes = plan.folder_plot_bytes[i];
    }
}
