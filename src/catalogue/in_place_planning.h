// Planning a conversion in place: every optimized PoC1 plot of the given
// folders becomes a PoC2 plot in the same file.
//
// No merging: each plot is its own job, whose output is its PoC2 name in the
// same folder. A plot whose PoC2 name is already taken is set aside (left as it
// is). A plot an interrupted run left under its temporary name with a whole
// journal is a job too: the run finishes it. A ".swizzling" file without a
// journal is not ours (a copying run may be writing it) and is left alone. A
// plot whose data another name shares (a hard link, or a symbolic link to it or
// from it) is left alone too: converting it would change the plot under the
// other name, and a later run through that name would turn it back. A folder
// needs room only for the largest journal, since each job deletes its own
// before the next one starts; the plots of a folder without it are left out
// (unplaced), and the other folders are converted.
//
// Internal to planning: plan_conversion calls it for a request in place.
#pragma once

#include "catalogue/conversion_plan.h"
#include "catalogue/planning.h"

// Fills `plan` (made empty for the request) with the jobs of every source folder of the request
// converted in place.
void plan_in_place(const plan_request_s& request, conversion_plan_s& plan);
