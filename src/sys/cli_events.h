// The event stream of scoopshift-cli --json: what a script watching a farm reads.
//
// One JSON object per line on standard output, nothing else there. Every event
// has "type" and "time" (UTC, ISO 8601 with milliseconds); the first, "start",
// carries the schema version, raised whenever a field changes its meaning or
// goes away (new fields and events do not raise it). The manual page documents
// every event and field, and a test holds the two together.
//
// File names may hold any byte but '/' and NUL, and JSON text is Unicode: a
// path that is valid UTF-8 is a string, exactly; any other is an object
// {"hex": "..."} with each of its bytes as two lower-case hex digits. Texts for
// people (reasons, questions, messages) are strings in which each byte that is
// not UTF-8 reads U+FFFD.
//
// Threading: events are written on the interface thread only, so that they
// come out in the order things happened there; an event made on another
// thread (a work thread's job report, a box it raised) is posted there through
// the interface-task queue, behind whatever that thread posted before.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "swizzler/buffer_sizing.h"
#include "sys/cli_summary.h"
#include "sys/cli_terminal.h"

inline constexpr int event_schema_version = 1;

// An event; its fields stay in the order they were set, so that type and time come first.
using event_json = nlohmann::ordered_json;

// Where the events go. Interface thread.
struct event_stream_s {
    std::FILE* out = stdout;
};

// An event of `type`, stamped with the time now.
event_json new_event(const char* type);

// Writes the event as one line and flushes it; from a thread other than the interface thread,
// posts it there.
void send_event(event_stream_s& events, event_json event);

// A path, exactly: a string when it is UTF-8, else {"hex": its bytes in hex}.
event_json path_value(std::string_view path);

// The "start" event: the schema, the program's `version`, the mode, the folders and the log.
event_json start_event(const char* version, bool in_place, const std::vector<std::string>& sources,
                       const std::vector<std::string>& destinations, const std::string& log_path);

// The budget as the plan states it (the "budget" object of the plan event).
struct budget_report_s {
    std::uint64_t limit = 0;     // asked for; 0: automatic
    std::uint64_t bytes = 0;     // the buffers of every stream together
    std::uint64_t available = 0; // memory available at planning
    budget_change change = budget_change::none;
};

// The "plan" event: every job with its stream, the jobs not converted, the files set aside, the
// streams with their drives (`streams` and `names` as split_into_streams gives them) and the
// budget.
event_json plan_event(const conversion_plan_s& plan, const std::vector<conversion_plan_s>& streams,
                      const std::vector<std::string>& names, const budget_report_s& budget);

// "job_start" for a job of stream `stream` that its work thread takes up.
event_json job_start_event(std::size_t stream, const conversion_job_s& job);

// "job_end" for a job of stream `stream` whose result is final: its outcome and why it failed.
event_json job_end_event(std::size_t stream, const conversion_job_s& job);

// A "progress" event of stream `stream`.
event_json progress_event(std::size_t stream, const stream_figures_s& figures);

// A "question" event for a question answered by `rule`, or a "message" event for an error or a
// warning.
event_json box_event(const box_report_s& box);

// How a run ended, for the summary event.
enum class run_end {
    finished,      // every stream went through its jobs
    stopped,       // stopped by a signal
    could_not_run, // a stream could not start its work
    not_run,       // nothing was started: the plan only, nothing to convert, no room
};

// The "summary" event: the summary's counts and bytes, the time, the sources deleted and the
// exit status.
event_json summary_event(const run_outcome_s& outcome, std::uint64_t bytes_written, double seconds,
                         run_end end, const std::vector<std::string>& deleted, int exit_status);
