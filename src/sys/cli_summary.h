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

struct conversion_plan_s;

// The summary of a run over `plan` (every job with its outcome; the jobs that fit nowhere are
// listed too) that wrote `bytes_written` in `seconds`, as lines of text ending in "\n".
std::string run_summary(const conversion_plan_s& plan, std::uint64_t bytes_written, double seconds);

// "12.3 seconds" below a minute, else "4 min 05 s" or "2 h 05 min 03 s".
std::string elapsed_text(double seconds);
