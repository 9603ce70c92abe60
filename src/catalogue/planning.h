// Job planning: from the chosen folders and options to a plan value.
//
// plan_conversion scans every source folder in order, keeps the optimized
// PoC1 plots, sorts them by account and start nonce, groups plots of one folder
// that follow each other into one job when merging is on, and gives every job
// a destination with room for it, spread so that as many drives as possible
// work at once. Everything it leaves out is in the plan with its reason: jobs
// whose output is already there, jobs that fit nowhere, and files that make no
// job (partial copies, duplicates, plots shared with another name in place).
//
// Folders and plots are known by device and inode, not by spelling: a folder
// given twice is planned once, a plot reached through two names makes one job,
// and two plots that would give one output make one job. Free space is counted
// once per volume, whichever of its folders a job goes to.
//
// Planning reads the file system and writes the log; it shows nothing and sets
// nothing but the plan it returns. It never runs while a conversion of the same
// plan runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"

// What a plan is made from.
struct plan_request_s {
    std::vector<drive_info_s> sources;      // in place: the folders whose plots are converted
    std::vector<drive_info_s> destinations; // copying: with the free space of their volumes
    bool merge = true;                      // merge plots whose nonce ranges follow each other
    bool in_place = false;                  // each plot becomes a PoC2 plot in its own file
    std::size_t most_sources_per_job = 0;   // a merge holds at most this many sources; 0: any
};

// The most nonces a plot or a merged job may have: its size must fit a file offset.
inline constexpr std::uint64_t max_plot_nonces = (std::uint64_t{1} << 45) - 1;

// The plan for `request`.
conversion_plan_s plan_conversion(const plan_request_s& request);

// What a plan leaves out for want of room, naming the plots (in place: the folders) and saying
// that their sources are kept, as the Warning box says it; empty for a plan without a shortfall.
std::string plan_shortfall_text(const conversion_plan_s& plan);

// Shows what the user must know of a plan before a run: the Error box when nothing fits, the
// Warning box naming the jobs that fit nowhere. Nothing for a plan without a shortfall.
void report_plan_shortfall(const conversion_plan_s& plan);

// The window's options: merging, and converting every plot in its own file (then the
// destinations are not used, and nothing merges). Interface thread only.
extern bool merge_adjacent;
extern bool convert_in_place;

// The window's planning: makes the_plan() from source_drives, destination_drives and the
// options, and shows each source folder's plots on its entry. Shows no box: the configuration
// screen says what the plan leaves out. Interface thread only, never while a conversion runs.
void plan_jobs();
