// A job's result, fed by every step of its conversion.
//
// A job starts planned. A step that fails makes it failed, once and for good:
// the first failure's words stay (later ones only reach the log), and nothing
// turns a failed job back into a planned or a completed one. Completing is the
// claim of the job's last step, and it holds only for a job no step has failed:
// the completion step deletes the sources of completed jobs alone, so a failure
// reported anywhere can never end with a deleted source.
//
// Threading: the work thread running the job is its only writer; the interface
// thread reads the result after the run's end hand-over.
#pragma once

#include <string>

#include "catalogue/conversion_plan.h"

// Fails the job with `reason` unless a step failed it already (then the reason is only logged).
void fail_job(conversion_job_s& job, std::string reason);

// Completes the job; false, and the job stays as it is, when a step failed it or it is not
// being converted (already completed, found already there).
[[nodiscard]] bool complete_job(conversion_job_s& job);

// The job's output was already there when the run came to it: not converted, sources kept.
void set_job_existing(conversion_job_s& job);

// Whether a step has failed the job.
bool job_failed(const conversion_job_s& job);
