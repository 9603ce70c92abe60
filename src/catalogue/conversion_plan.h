// The job records: what planning makes and a conversion run fills in.
//
// A plan is a list of jobs, each one PoC2 output and the PoC1 sources that feed
// it, with their nonce counts as their names give them, and the totals the
// screens show and the buffers are sized by. Planning rebuilds the program's
// plan (the_plan) on the interface thread; the start of a run copies it into
// the run's own record, which then fills in each job's outcome.
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

struct conversion_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;                 // sum of the sources' nonce counts
    std::vector<std::string> source_paths;    // ascending start nonce, each following the last
    std::vector<std::uint64_t> source_nonces; // the nonce count of each source, as named
    std::string output_path;                  // final PoC2 path, no extension
    std::string source_folder;      // the chosen folder its sources are in ("" when unknown)
    std::string destination_folder; // the chosen folder its output goes to ("" when unknown)
    // Converted in its own file: the one source becomes the output, beside it. The source path
    // is the plot's PoC1 name, also when an interrupted run left it under the temporary name.
    bool in_place = false;
    job_state state = job_state::planned;
    std::string failure; // why a failed job did not complete, for the user
};

struct conversion_plan_s {
    std::vector<conversion_job_s> jobs;          // the work, converted in this order
    std::vector<conversion_job_s> existing_jobs; // jobs whose output was already there
    std::vector<conversion_job_s> unplaced_jobs; // jobs no destination has room for
    std::uint64_t bytes_total = 0;               // sum of the jobs' sizes
    std::uint64_t largest_job_bytes = 0;
    std::uint64_t generation = 0; // which planning made it (from 1 on); 0 for a plan made by hand
    // What the farm finds out about the drives of each stream it cuts a plan into: whether one of
    // them spins (its transfers then go in long ascending stretches), and whether all of the
    // stream's reads and writes go to one disk.
    bool rotational_drives = false;
    bool one_disk = false;
};

// The program's plan. Interface thread only.
conversion_plan_s& the_plan();

// Whether any job of the plan merges more than one source.
bool has_merged_jobs(const conversion_plan_s& plan);
