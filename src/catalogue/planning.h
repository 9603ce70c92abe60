// Job planning: from the chosen source folders to the job list of the plan.
//
// Every run throws the previous plan away, scans every source folder in list
// order, sorts the plots by account and start nonce, groups plots of one folder
// that follow each other into one job when merging is on, and sets aside jobs
// whose output is already in a destination (they are neither converted again
// nor counted, and their sources are kept). Each remaining job goes to a
// destination folder with room for it, spread so that as many drives as
// possible work at once; a job that fits nowhere is left out and named.
// Interface thread only, never while a conversion runs.
#pragma once

#include <cstdint>

struct conversion_plan_s;

// Why the last plan is what it is, for the screens and the terminal front end.
enum class plan_outcome {
    no_folders, // a source or a destination folder is missing
    no_plots,   // the source holds no optimized PoC1 plot
    no_room,    // the destination has no room for the jobs (the box said so)
    all_there,  // every output is already in the destination: nothing to convert
    planned,    // jobs holds work
};

// Threading: the four below are written by planning and read on the interface thread.
extern bool merge_adjacent;            // merge plots whose nonce ranges follow each other
extern int plot_count;                 // optimized PoC1 plots accepted by the last scan
extern int job_count;                  // jobs (PoC2 plots to write) of the last plan
extern plan_outcome last_plan_outcome; // what the last plan came to

// The most nonces a plot or a merged job may have: its size must fit a file offset.
inline constexpr std::uint64_t max_plot_nonces = (std::uint64_t{1} << 45) - 1;

// Rebuilds the program's plan (the_plan()) from source_drives and destination_drives.
void plan_jobs();

// The same for a given plan.
void plan_jobs(conversion_plan_s& plan);
