// The closing summary of the terminal front end: what the run converted,
// skipped and failed (each output with its reason), the bytes written, the
// time the conversion took and its average speed.
//
// A job is converted when its output got its final name, failed when the run
// gave up on it, and skipped when the run ended before reaching it. Limits:
// reads the plan after the run, on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct conversion_plan_s;
struct conversion_job_s;

// The jobs of a run sorted into the summary's groups, each in the plan's order: the one
// reckoning behind the summary text and the JSON summary. Points into the plan it was made from.
struct run_outcome_s {
    std::vector<const conversion_job_s*> converted;
    std::vector<const conversion_job_s*> already_there; // found at planning or at their turn
    std::vector<const conversion_job_s*> skipped;       // not reached
    std::vector<const conversion_job_s*> failed;
    std::vector<const conversion_job_s*> no_room; // fit nowhere
    std::uint64_t converted_bytes = 0;            // the converted outputs' sizes
};

// Sorts every job of `plan` (after the run) into its group.
run_outcome_s outcome_of_run(const conversion_plan_s& plan);

// The summary of a run over `plan` (every job with its outcome; the jobs that fit nowhere are
// listed too) that wrote `bytes_written` in `seconds`, as lines of text ending in "\n".
std::string run_summary(const conversion_plan_s& plan, std::uint64_t bytes_written, double seconds);

// "12.3 seconds" below a minute, else "4 min 05 s" or "2 h 05 min 03 s".
std::string elapsed_text(double seconds);
