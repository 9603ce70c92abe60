// One job from its sources to its final name.
//
// The job's sources are opened and checked (each exactly as long as its name
// says), its target is created locked at full size under the temporary name
// (output path + ".swizzling"), its data moved by the pipeline, flushed, read
// back against the sources when the run verifies, and only then given its
// final name, which never replaces a file. Every way this can go wrong ends
// the job as failed with its reason (a box where the user must know), never
// the run: the next job goes on. A failed job never leaves a final-named file.
#pragma once

#include "catalogue/conversion_plan.h"
#include "swizzler/conversion_record.h"
#include "swizzler/job_pipeline.h"
#include "util/helper_thread.h"
#include "util/transfer_backend.h"

// What a run lends each job: its tile pool, its opened back-end, the order its drives want
// transfers in, two readers for verification.
struct job_means_s {
    tile_pool_s* pool = nullptr;
    transfer_backend_s* transfers = nullptr;
    pipeline_schedule_s schedule;
    helper_thread_s* low_reader = nullptr;
    helper_thread_s* high_reader = nullptr;
};

// Converts the job and sets its state and failure. Work thread.
void convert_job(swizzler_s& record, conversion_job_s& job, job_means_s& means);
