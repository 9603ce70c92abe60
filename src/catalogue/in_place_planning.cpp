#include "catalogue/in_place_planning.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "catalogue/in_place_journal.h"
#include "catalogue/plan_scan.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/folders.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

bool ends_with(const std::string& text, std::string_view end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// Why converting the file at path in place would change data that another name also shows;
// empty when nothing else shares it.
std::string shared_data(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return "";
    }
    if (S_ISLNK(status.st_mode)) {
        return "its name is a symbolic link: converting it in place would change the file it "
               "points to";
    }
    if (status.st_nlink > 1) {
        return "another name shares its data (a hard link): converting it in place would change "
               "the plot under that name too";
    }
    return "";
}

// Whether the plot and its temporary name are the two names of one file and nothing else: a
// rename that links the new name before it removes the old one (where the file system refuses
// a rename that never replaces) was interrupted in between. The engine finishes it.
bool half_renamed(const std::string& plot, const std::string& temporary) {
    struct stat a {
    }, b{};
    return lstat(plot.c_str(), &a) == 0 && lstat(temporary.c_str(), &b) == 0 &&
           S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == 2;
}

// The header of the journal at path, if it is a whole one; never through a symbolic link.
bool read_header(const std::string& path, journal_header_s* header) {
    std::vector<std::uint8_t> block(journal_block);
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bool read = std::fread(block.data(), 1, block.size(), file) == block.size();
    std::fclose(file);
    return read && decode_journal_header(block.data(), header);
}

conversion_job_s job_for(const std::string& folder, std::uint64_t account, std::uint64_t start,
                         std::uint64_t nonces, const std::string& poc1_name,
                         file_identity_s identity) {
    conversion_job_s job;
    job.account_id = account;
    job.start_nonce = start;
    job.nonces = nonces;
    job.source_paths = {folder + "/" + poc1_name};
    job.source_nonces = {nonces};
    job.source_identities = {identity};
    job.output_path = make_output_path(folder, account, start, nonces);
    job.source_folder = folder;
    job.destination_folder = folder;
    job.in_place = true;
    return job;
}

void set_aside(conversion_plan_s& plan, const std::string& path, const std::string& why) {
    log_message("Leaving %s alone: %s\n", path.c_str(), why.c_str());
    plan.set_aside.push_back({set_aside_reason::linked, path, why});
}

// A plot under conversion: its temporary file and a whole journal that names it. Also clears
// away a journal whose conversion had ended before it was deleted.
void add_interrupted(const std::string& folder, const std::string& journal_name,
                     std::vector<conversion_job_s>& jobs, conversion_plan_s& plan) {
    std::string journal = folder + "/" + journal_name;
    std::string output = journal.substr(0, journal.size() - journal_suffix.size());
    std::string temporary = output + std::string(temporary_suffix);
    journal_header_s header;
    if (!read_header(journal, &header)) {
        log_message("Ignoring %s, which is not a whole journal\n", journal.c_str());
        return;
    }
    const journal_plot_s& plot = header.plot;
    if (make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces) != output) {
        log_message("Ignoring %s, which belongs to another plot\n", journal.c_str());
        return;
    }
    if (path_exists(temporary)) {
        std::string shared = half_renamed(folder + "/" + plot.poc1_name, temporary)
                                 ? std::string()
                                 : shared_data(temporary);
        if (!shared.empty()) {
            set_aside(plan, temporary, shared);
            return;
        }
        log_message("Found %s under conversion in place\n", temporary.c_str());
        jobs.push_back(
            job_for(folder, plot.account_id, plot.start_nonce, plot.nonces, plot.poc1_name, {}));
    } else if (path_exists(output) && !path_exists(folder + "/" + plot.poc1_name)) {
        log_message("Removing the journal %s, which has nothing left to finish\n", journal.c_str());
        std::remove(journal.c_str());
    }
}

// The plots of one folder, sorted, each its own job; none when the folder has none.
std::vector<conversion_job_s> jobs_of_folder(const plan_request_s& request, std::size_t entry,
                                             conversion_plan_s& plan) {
    const std::string& folder = request.sources[entry].path;
    std::vector<conversion_job_s> jobs;
    std::vector<std::string> journals, temporaries;
    std::vector<folder_entry_s> files = list_folder(folder);
    for (const folder_entry_s& file : files) {
        if (ends_with(file.name, journal_suffix)) {
            journals.push_back(file.name);
            continue;
        }
        if (ends_with(file.name, temporary_suffix)) {
            temporaries.push_back(file.name);
            continue;
        }
        plot_file_s plot;
        switch (classify_plot_file(folder, file.name, &plot)) {
        case plot_file_kind::accepted:
            break;
        case plot_file_kind::resembles_plot:
            plan.set_aside.push_back(
                {set_aside_reason::not_a_plot, plot.path, "its name only begins like a plot's"});
            continue;
        default:
            continue;
        }
        if (plot.nonces > max_plot_nonces) {
            log_message("Skipping %s whose %llu nonces are more than a file can hold\n",
                        file.name.c_str(), static_cast<unsigned long long>(plot.nonces));
            plan.set_aside.push_back({set_aside_reason::too_large, plot.path,
                                      "it has more nonces than a file can hold"});
            continue;
        }
        std::string output =
            make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces);
        if (!file.symlink && half_renamed(plot.path, output + std::string(temporary_suffix)) &&
            path_exists(in_place_journal_path(output))) {
            continue; // under conversion: its journal makes the job
        }
        if (file.symlink || file.links > 1) {
            set_aside(plan, plot.path, shared_data(plot.path));
            continue;
        }
        ++plan.plot_count;
        plan.folder_plot_bytes[entry] =
            add_saturating(plan.folder_plot_bytes[entry], plot_size(plot.nonces));
        jobs.push_back(job_for(folder, plot.account_id, plot.start_nonce, plot.nonces, file.name,
                               {file.device, file.inode}));
    }
    std::set<std::string> outputs;
    for (const auto& job : jobs) {
        outputs.insert(job.output_path);
    }
    std::sort(journals.begin(), journals.end());
    for (const std::string& name : journals) {
        std::vector<conversion_job_s> found;
        add_interrupted(folder, name, found, plan);
        for (auto& job : found) {
            if (outputs.insert(job.output_path).second) {
                ++plan.plot_count;
                jobs.push_back(std::move(job));
            }
        }
    }
    for (const std::string& name : temporaries) {
        std::string output = folder + "/" + name.substr(0, name.size() - temporary_suffix.size());
        if (!path_exists(in_place_journal_path(output))) {
            log_message("Leaving %s/%s alone: it has no journal of an in-place conversion\n",
                        folder.c_str(), name.c_str());
        }
    }
    std::sort(jobs.begin(), jobs.end(), [](const conversion_job_s& a, const conversion_job_s& b) {
        if (a.account_id != b.account_id) {
            return a.account_id < b.account_id;
        }
        return a.start_nonce != b.start_nonce ? a.start_nonce < b.start_nonce
                                              : a.output_path < b.output_path;
    });
    // Two PoC1 names of one output ("7_0_8_8" and "07_0_8_8") would write one file: the first
    // is converted, the other left as it is.
    std::vector<conversion_job_s> kept;
    for (conversion_job_s& job : jobs) {
        if (!kept.empty() && kept.back().output_path == job.output_path) {
            std::string why = "it would become " + job.output_path + " as " +
                              kept.back().source_paths.front() + " does";
            log_message("Leaving %s alone: %s\n", job.source_paths.front().c_str(), why.c_str());
            plan.set_aside.push_back({set_aside_reason::duplicate, job.source_paths.front(), why});
            continue;
        }
        kept.push_back(std::move(job));
    }
    return kept;
}

// Adds the jobs of one folder to the plan, or to its unplaced jobs when the folder has no room
// for the largest journal it needs (each job deletes its journal before the next starts).
void plan_folder(const plan_request_s& request, std::size_t entry, conversion_plan_s& plan) {
    const std::string& folder = request.sources[entry].path;
    std::vector<conversion_job_s> work;
    std::uint64_t needed = 0;
    for (auto& job : jobs_of_folder(request, entry, plan)) {
        if (path_exists(job.output_path)) {
            log_message("Keeping %s: %s is already there\n", job.source_paths[0].c_str(),
                        job.output_path.c_str());
            job.state = job_state::existing;
            plan.existing_jobs.push_back(std::move(job));
            continue;
        }
        if (!path_exists(in_place_journal_path(job.output_path))) {
            needed = std::max(needed, journal_bytes_at_most(job.nonces));
        }
        work.push_back(std::move(job));
    }
    std::uint64_t free_bytes = 0;
    int error = 0;
    if (!free_space_bytes(folder, &free_bytes, &error)) {
        log_message("Received error %d attempting to get disk free space for path %s\n", error,
                    folder.c_str());
    }
    if (needed > free_bytes) {
        char line[160];
        std::snprintf(line, sizeof line, " (%s is needed, %s is free)\n", size_text(needed, false),
                      size_text(free_bytes, false));
        plan.no_room_folders.push_back(" " + folder + line);
        log_message("%s has no room for a journal:%s", folder.c_str(), line);
        plan.unplaced_jobs.insert(plan.unplaced_jobs.end(), work.begin(), work.end());
        return;
    }
    for (auto& job : work) {
        std::uint64_t size = plot_size(job.nonces);
        plan.bytes_total = add_saturating(plan.bytes_total, size);
        plan.largest_job_bytes = std::max(plan.largest_job_bytes, size);
        plan.jobs.push_back(std::move(job));
    }
}

} // namespace

void plan_in_place(const plan_request_s& request, conversion_plan_s& plan) {
    for (std::size_t entry : distinct_folders(request.sources, "in-place")) {
        plan_folder(request, entry, plan);
    }
    if (plan.plot_count == 0) {
        plan.outcome = plan_outcome::no_plots;
        return;
    }
    if (plan.jobs.empty()) {
        plan.outcome = plan.unplaced_jobs.empty() ? plan_outcome::all_there : plan_outcome::no_room;
        return;
    }
    plan.outcome = plan_outcome::planned;
    log_message("%d total jobs\n", static_cast<int>(plan.jobs.size()));
}
