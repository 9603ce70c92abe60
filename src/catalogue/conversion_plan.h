// The job records: what planning makes and a conversion run fills in.
//
// A plan is a value: every job (one PoC2 output and the PoC1 sources that feed
// it, with their nonce counts as their names give them and the identity of
// each file as planning found it), the work set aside and why, and the totals
// the screens show and the buffers are sized by. Planning makes a new plan for
// every change of the folders or options; a front end holds it, hands a copy
// to the run, and gives the run's outcome to the completion step.
//
// A job's outcome is its own: the run fills in `state` and `failure` of the
// job it works on, through job_result.h, and results travel back by the job's
// `id`, never by its output path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class job_state {
    planned,   // not converted (yet): the run has not reached it, or stopped before it
    completed, // the target has its final name and its data and folder are on the device
    failed,    // the run gave up on it; `failure` says why, the sources must be kept
    existing,  // its output was already there when the run came to it: not converted, kept
};

// Which file a path named when planning looked at it: device and inode, as stat gives them.
struct file_identity_s {
    std::uint64_t device = 0;
    std::uint64_t inode = 0; // 0: unknown
    bool operator==(const file_identity_s&) const = default;
    auto operator<=>(const file_identity_s&) const = default;
};

struct conversion_job_s {
    std::size_t id = 0; // its position in the jobs of the plan the run was started with
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;                 // sum of the sources' nonce counts
    std::vector<std::string> source_paths;    // ascending start nonce, each following the last
    std::vector<std::uint64_t> source_nonces; // the nonce count of each source, as named
    // The file each source path named when planned (empty when unknown): a source that is
    // another file by the time it is opened or deleted is not the one planned.
    std::vector<file_identity_s> source_identities;
    std::string output_path;        // final PoC2 path, no extension
    std::string source_folder;      // the chosen folder its sources are in ("" when unknown)
    std::string destination_folder; // the chosen folder its output goes to ("" when unknown)
    // Converted in its own file: the one source becomes the output, beside it. The source path
    // is the plot's PoC1 name, also when an interrupted run left it under the temporary name.
    bool in_place = false;
    job_state state = job_state::planned;
    std::string failure; // why a failed job did not complete, for the user
};

// Why planning left a file out of the work although it looks like a plot.
enum class set_aside_reason {
    not_a_plot,     // its name only begins like a plot's (a partial or renamed copy)
    too_large,      // more nonces than a file can hold
    duplicate,      // the same file reached twice, or a plot that gives another one's output
    linked,         // in place: another name shares its data, or its name is a symbolic link
    in_place_there, // copying: its output is under conversion in place in the destination
};

struct set_aside_s {
    set_aside_reason reason = set_aside_reason::not_a_plot;
    std::string path; // the file left as it is
    std::string why;  // for the user, after the path: "its name only begins like a plot's"
};

// What a plan came to, for the screens and the terminal front end.
enum class plan_outcome {
    no_folders, // a source or a destination folder is missing
    no_plots,   // the sources hold no optimized PoC1 plot
    no_room,    // no destination (in place: no folder) has room for any job
    all_there,  // every output is already there: nothing to convert
    set_aside,  // every plot found is set aside (shared, duplicate, under conversion elsewhere)
    planned,    // jobs holds work
};

struct conversion_plan_s {
    plan_outcome outcome = plan_outcome::no_folders;
    bool in_place = false;                        // every job converts a plot in its own file
    std::vector<conversion_job_s> jobs;           // the work, converted in this order
    std::vector<conversion_job_s> existing_jobs;  // jobs whose output was already there
    std::vector<conversion_job_s> unplaced_jobs;  // jobs no destination has room for
    std::vector<set_aside_s> set_aside;           // files that make no job, each with why
    int plot_count = 0;                           // optimized PoC1 plots the scan accepted
    std::vector<std::uint64_t> folder_plot_bytes; // per source folder asked for: its plots' bytes
    // In place: each folder without room for a journal, as " <folder> (X is needed, Y is free)".
    std::vector<std::string> no_room_folders;
    std::uint64_t bytes_total = 0; // sum of the jobs' sizes
    std::uint64_t largest_job_bytes = 0;
    std::uint64_t generation = 0; // which planning made it (from 1 on); 0 for a plan made by hand
};

// The window's plan, made again at every change of its folders and options. Interface thread
// only; the terminal front end holds its own.
conversion_plan_s& the_plan();

// Whether any job of the plan merges more than one source.
bool has_merged_jobs(const conversion_plan_s& plan);

// Gives the plan's jobs their ids (their positions); a plan made by hand may lack them.
void number_jobs(conversion_plan_s& plan);
