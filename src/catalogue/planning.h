// Job planning: from the first source folder to the job list of the conversion record.
//
// Every run throws the previous plan away, scans the folder, checks the
// destination's free space, sorts the plots by account and start nonce and
// groups plots that follow each other into one job when merging is on.
// Interface thread only, never while a conversion runs.
#pragma once

#include <cstdint>

struct swizzler_s;

extern bool merge_adjacent; // merge plots whose nonce ranges follow each other; on at start
extern int plot_count;      // optimized PoC1 plots accepted by the last scan
extern int job_count;       // jobs (PoC2 plots to write) of the last plan

// Rebuilds the plan of the_swizzler() from source_drives and destination_drives.
void plan_jobs();

// The same for a given record (tests).
void plan_jobs(swizzler_s& record);
