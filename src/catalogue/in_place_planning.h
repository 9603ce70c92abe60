// Planning a conversion in place: every optimized PoC1 plot of the given
// folders becomes a PoC2 plot in the same file.
//
// No merging: each plot is its own job, whose output is its PoC2 name in the
// same folder. A plot whose PoC2 name is already taken is set aside (left as it
// is). A plot an interrupted run left under its temporary name with a whole
// journal is a job too: the run finishes it. A ".swizzling" file without a
// journal is not ours (a copying run may be writing it) and is left alone. A
// folder needs room only for the largest journal, since each job deletes its
// own before the next one starts; the plots of a folder without it are left
// out (unplaced), and the other folders are converted. Interface thread only,
// never during a run.
#pragma once

#include <string>
#include <vector>

struct conversion_plan_s;

// Rebuilds `plan` for converting the plots of `folders` (in their order, each once) in place,
// and sets plot_count, job_count and last_plan_outcome (planning.h) as plan_jobs does.
void plan_in_place(conversion_plan_s& plan, const std::vector<std::string>& folders);
