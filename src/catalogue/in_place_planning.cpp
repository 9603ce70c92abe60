#include "catalogue/in_place_planning.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/in_place_journal.h"
#include "catalogue/planning.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/folders.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

const std::string temporary_suffix = ".swizzling";
const std::string journal_suffix = ".swizzling.journal";

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// The header of the journal at path, if it is a whole one.
bool read_header(const std::string& path, journal_header_s* header) {
    std::vector<std::uint8_t> block(journal_block);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bool read = std::fread(block.data(), 1, block.size(), file) == block.size();
    std::fclose(file);
    return read && decode_journal_header(block.data(), header);
}

conversion_job_s job_for(const std::string& folder, std::uint64_t account, std::uint64_t start,
                         std::uint64_t nonces, const std::string& poc1_name) {
    conversion_job_s job;
    job.account_id = account;
    job.start_nonce = start;
    job.nonces = nonces;
    job.source_paths = {folder + "/" + poc1_name};
    job.source_nonces = {nonces};
    job.output_path = make_output_path(folder, account, start, nonces);
    job.source_folder = folder;
    job.destination_folder = folder;
    job.in_place = true;
    return job;
}

// A plot under conversion: its temporary file and a whole journal that names it. Also clears
// away a journal whose conversion had ended before it was deleted.
void add_interrupted(const std::string& folder, const std::string& journal_name,
                     std::vector<conversion_job_s>& jobs) {
    std::string journal = folder + "/" + journal_name;
    std::string output = journal.substr(0, journal.size() - journal_suffix.size());
    std::string temporary = output + temporary_suffix;
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
        log_message("Found %s under conversion in place\n", temporary.c_str());
        jobs.push_back(
            job_for(folder, plot.account_id, plot.start_nonce, plot.nonces, plot.poc1_name));
    } else if (path_exists(output) && !path_exists(folder + "/" + plot.poc1_name)) {
        log_message("Removing the journal %s, which has nothing left to finish\n", journal.c_str());
        std::remove(journal.c_str());
    }
}

void clear(conversion_plan_s& plan) {
    job_count = 0;
    plan.jobs.clear();
    plan.existing_jobs.clear();
    plan.unplaced_jobs.clear();
    plan.bytes_total = 0;
    plan.largest_job_bytes = 0;
}

// The plots of one folder, sorted, each its own job; none when the folder has none.
std::vector<conversion_job_s> jobs_of_folder(const std::string& folder) {
    std::vector<conversion_job_s> jobs;
    std::vector<std::string> journals, temporaries;
    enumerate_folder(folder, [&](const std::string& name) {
        if (ends_with(name, journal_suffix)) {
            journals.push_back(name);
            return true;
        }
        if (ends_with(name, temporary_suffix)) {
            temporaries.push_back(name);
            return true;
        }
        plot_file_s plot;
        if (classify_plot_file(folder, name, &plot) != plot_file_kind::accepted) {
            return true;
        }
        if (plot.nonces > max_plot_nonces) {
            log_message("Skipping %s whose %llu nonces are more than a file can hold\n",
                        name.c_str(), static_cast<unsigned long long>(plot.nonces));
            return true;
        }
        jobs.push_back(job_for(folder, plot.account_id, plot.start_nonce, plot.nonces, name));
        return true;
    });
    std::set<std::string> outputs;
    for (const auto& job : jobs) {
        outputs.insert(job.output_path);
    }
    std::sort(journals.begin(), journals.end());
    for (const std::string& name : journals) {
        std::vector<conversion_job_s> found;
        add_interrupted(folder, name, found);
        for (auto& job : found) {
            if (outputs.insert(job.output_path).second) {
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
    return jobs;
}

// Adds the jobs of one folder to the plan, or to its unplaced jobs when the folder has no room
// for the largest journal it needs (each job deletes its journal before the next starts); such a
// folder adds a line to *shortfalls.
void plan_folder(conversion_plan_s& plan, const std::string& folder, std::string* shortfalls) {
    std::vector<conversion_job_s> jobs = jobs_of_folder(folder);
    std::vector<conversion_job_s> work;
    std::uint64_t needed = 0;
    for (auto& job : jobs) {
        ++plot_count;
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
        *shortfalls += " " + folder + line;
        log_message("%s has no room for a journal:%s", folder.c_str(), line);
        plan.unplaced_jobs.insert(plan.unplaced_jobs.end(), work.begin(), work.end());
        return;
    }
    for (auto& job : work) {
        std::uint64_t size = plot_size(job.nonces);
        plan.bytes_total += size;
        plan.largest_job_bytes = std::max(plan.largest_job_bytes, size);
        plan.jobs.push_back(std::move(job));
        ++job_count;
    }
}

} // namespace

void plan_in_place(conversion_plan_s& plan, const std::vector<std::string>& folders) {
    plot_count = 0;
    clear(plan);
    last_plan_outcome = plan_outcome::no_folders;
    if (folders.empty()) {
        return;
    }
    std::set<std::string> seen;
    std::string shortfalls;
    for (const std::string& folder : folders) {
        if (seen.insert(folder).second) {
            plan_folder(plan, folder, &shortfalls);
        }
    }
    if (plot_count == 0) {
        last_plan_outcome = plan_outcome::no_plots;
        return;
    }
    if (!plan.unplaced_jobs.empty()) {
        if (plan.jobs.empty() && plan.existing_jobs.empty()) {
            show_message(0, "Error",
                         "There is not enough space in\n%sfor the journal of a conversion in "
                         "place.",
                         shortfalls.c_str());
            clear(plan);
            last_plan_outcome = plan_outcome::no_room;
            return;
        }
        show_message(0, "Warning",
                     "There is not enough space in\n%sfor the journal of a conversion in place; "
                     "the plots there will not be converted.",
                     shortfalls.c_str());
    }
    if (plan.jobs.empty()) {
        last_plan_outcome =
            plan.unplaced_jobs.empty() ? plan_outcome::all_there : plan_outcome::no_room;
        return;
    }
    last_plan_outcome = plan_outcome::planned;
    log_message("%d total jobs\n", static_cast<int>(plan.jobs.size()));
}
