// One plot converted in its own file: no second drive, no room beyond a small
// journal.
//
// The plot is locked for this run, its journal created and flushed beside it,
// and only then is it renamed to its PoC2 name plus ".swizzling" (and the name
// flushed), so that no miner reads it while its bytes change. The groups are
// converted through the journal (in_place_pipeline.h); when every byte is
// flushed the plot gets its PoC2 name, which never replaces a file, and the
// journal is deleted. A run that finds a ".swizzling" plot with a whole journal
// header replays the journal's slots (in_place_recovery.h) and goes on from
// there; a ".swizzling" file without one is left alone (it may be the target
// of a copying run). Every failure ends the job, never the run, and leaves the
// plot where the next run can finish it.
#pragma once

#include "catalogue/conversion_plan.h"
#include "swizzler/conversion_record.h"
#include "swizzler/job_conversion.h"

// Converts or finishes the in-place job and sets its state and failure. Work thread; uses the
// whole of the run's tile pool as its buffers.
void convert_in_place(swizzler_s& record, conversion_job_s& job, job_means_s& means);
