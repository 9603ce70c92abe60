#include "sys/cli_events.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <thread>
#include <utility>

#include "catalogue/plot_format.h"
#include "sys/cli_printable.h"
#include "util/log.h"
#include "util/ui_tasks.h"

using json = event_json;

namespace {

// "2031-05-04T03:02:01.234Z"
std::string utc_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
    std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis % 1000));
    return text;
}

void write_event(event_stream_s& events, const json& event) {
    if (events.out == nullptr) {
        return;
    }
    // Texts for people may quote file names that are not UTF-8: their stray bytes read U+FFFD.
    std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), events.out) != line.size() ||
        std::fflush(events.out) != 0) {
        // Whoever reads the events is gone or their disk is full; the conversion goes on without.
        log_message("Events could not be written to standard output, error %d (%s); no more are "
                    "written\n",
                    errno, error_name(errno));
        events.out = nullptr;
    }
}

json paths_value(const std::vector<std::string>& paths) {
    json list = json::array();
    for (const std::string& path : paths) {
        list.push_back(path_value(path));
    }
    return list;
}

json folder_value(const std::string& folder) {
    return folder.empty() ? json(nullptr) : path_value(folder);
}

// A job of the plan; `id` and `stream` are null for jobs that are not converted.
json job_value(const conversion_job_s& job, json id, json stream) {
    return {{"id", std::move(id)},
            {"stream", std::move(stream)},
            {"output", path_value(job.output_path)},
            {"destination", folder_value(job.destination_folder)},
            {"sources", paths_value(job.source_paths)},
            {"nonces", job.nonces},
            {"bytes", plot_size(job.nonces)}};
}

const char* state_name(job_state state) {
    switch (state) {
    case job_state::completed:
        return "completed";
    case job_state::failed:
        return "failed";
    case job_state::existing:
        return "existing";
    case job_state::planned:
        break;
    }
    return "skipped";
}

const char* outcome_name(plan_outcome outcome) {
    switch (outcome) {
    case plan_outcome::no_folders:
        return "no_folders";
    case plan_outcome::no_plots:
        return "no_plots";
    case plan_outcome::no_room:
        return "no_room";
    case plan_outcome::all_there:
        return "all_there";
    case plan_outcome::set_aside:
        return "set_aside";
    case plan_outcome::planned:
        break;
    }
    return "planned";
}

const char* reason_name(set_aside_reason reason) {
    switch (reason) {
    case set_aside_reason::not_a_plot:
        return "not_a_plot";
    case set_aside_reason::too_large:
        return "too_large";
    case set_aside_reason::duplicate:
        return "duplicate";
    case set_aside_reason::linked:
        return "linked";
    case set_aside_reason::in_place_there:
        break;
    }
    return "in_place_there";
}

const char* change_name(budget_change change) {
    switch (change) {
    case budget_change::lowered_to_available:
        return "lowered_to_available";
    case budget_change::raised_to_smallest:
        return "raised_to_smallest";
    case budget_change::none:
        break;
    }
    return "none";
}

const char* end_name(run_end end) {
    switch (end) {
    case run_end::stopped:
        return "stopped";
    case run_end::could_not_run:
        return "could_not_run";
    case run_end::not_run:
        return "not_run";
    case run_end::finished:
        break;
    }
    return "finished";
}

} // namespace

json new_event(const char* type) {
    return {{"type", type}, {"time", utc_now()}};
}

void send_event(event_stream_s& events, json event) {
    if (std::this_thread::get_id() == ui_thread()) {
        write_event(events, event);
        return;
    }
    post_to_ui([&events, event = std::move(event)] { write_event(events, event); });
}

json path_value(std::string_view path) {
    if (is_utf8(path)) {
        return std::string(path);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return {{"hex", hex}};
}

json start_event(const char* version, bool in_place, const std::vector<std::string>& sources,
                 const std::vector<std::string>& destinations, const std::string& log_path) {
    json event = new_event("start");
    event["schema"] = event_schema_version;
    event["program"] = "scoopshift-cli";
    event["version"] = version;
    event["mode"] = in_place ? "in_place" : "copy";
    event["sources"] = paths_value(sources);
    event["destinations"] = paths_value(destinations);
    event["log"] = path_value(log_path);
    return event;
}

json plan_event(const conversion_plan_s& plan, const std::vector<conversion_plan_s>& streams,
                const std::vector<std::string>& names, const budget_report_s& budget) {
    std::map<std::size_t, std::size_t> stream_of_job;
    json stream_list = json::array();
    for (std::size_t i = 0; i < streams.size(); ++i) {
        json ids = json::array();
        for (const conversion_job_s& job : streams[i].jobs) {
            stream_of_job[job.id] = i;
            ids.push_back(job.id);
        }
        stream_list.push_back({{"stream", i},
                               {"drives", i < names.size() ? names[i] : std::string()},
                               {"jobs", std::move(ids)},
                               {"bytes", streams[i].bytes_total}});
    }
    json jobs = json::array();
    for (const conversion_job_s& job : plan.jobs) {
        auto found = stream_of_job.find(job.id);
        jobs.push_back(job_value(
            job, job.id, found == stream_of_job.end() ? json(nullptr) : json(found->second)));
    }
    json existing = json::array();
    for (const conversion_job_s& job : plan.existing_jobs) {
        existing.push_back(job_value(job, nullptr, nullptr));
    }
    json unplaced = json::array();
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        unplaced.push_back(job_value(job, nullptr, nullptr));
    }
    json set_aside = json::array();
    for (const set_aside_s& file : plan.set_aside) {
        set_aside.push_back({{"reason", reason_name(file.reason)},
                             {"path", path_value(file.path)},
                             {"why", file.why}});
    }

    json event = new_event("plan");
    event["outcome"] = outcome_name(plan.outcome);
    event["in_place"] = plan.in_place;
    event["plot_count"] = plan.plot_count;
    event["bytes_total"] = plan.bytes_total;
    event["jobs"] = std::move(jobs);
    event["existing_jobs"] = std::move(existing);
    event["unplaced_jobs"] = std::move(unplaced);
    event["set_aside"] = std::move(set_aside);
    event["streams"] = std::move(stream_list);
    event["budget"] = {{"limit", budget.limit},
                       {"bytes", budget.bytes},
                       {"available", budget.available},
                       {"change", change_name(budget.change)}};
    return event;
}

json job_start_event(std::size_t stream, const conversion_job_s& job) {
    json event = new_event("job_start");
    event["id"] = job.id;
    event["stream"] = stream;
    event["output"] = path_value(job.output_path);
    event["sources"] = paths_value(job.source_paths);
    event["bytes"] = plot_size(job.nonces);
    return event;
}

json job_end_event(std::size_t stream, const conversion_job_s& job) {
    json event = new_event("job_end");
    event["id"] = job.id;
    event["stream"] = stream;
    event["output"] = path_value(job.output_path);
    event["outcome"] = state_name(job.state);
    event["reason"] = job.state == job_state::failed ? json(job.failure) : json(nullptr);
    return event;
}

json progress_event(std::size_t stream, const stream_figures_s& figures) {
    json event = new_event("progress");
    event["stream"] = stream;
    event["bytes_total"] = figures.total;
    event["bytes_read"] = figures.read;
    event["bytes_written"] = figures.written;
    event["bytes_verified"] = figures.verified;
    event["read_rate"] = static_cast<std::uint64_t>(figures.read_rate);
    event["write_rate"] = static_cast<std::uint64_t>(figures.write_rate);
    event["seconds"] = figures.seconds;
    event["seconds_left"] = figures.seconds_left < 0 ? json(nullptr) : json(figures.seconds_left);
    return event;
}

json box_event(const box_report_s& box) {
    if (box.kind == message_box_kind::ok) {
        json event = new_event("message");
        event["title"] = box.title;
        event["text"] = box.text;
        return event;
    }
    json event = new_event("question");
    event["title"] = box.title;
    event["text"] = box.text;
    event["answer"] = box.answer ? "yes" : "no";
    event["answered_by"] = box.rule.empty() ? "person" : "rule";
    event["rule"] = box.rule.empty() ? json(nullptr) : json(box.rule);
    return event;
}

json summary_event(const run_outcome_s& outcome, std::uint64_t bytes_written, double seconds,
                   run_end end, const std::vector<std::string>& deleted, int exit_status) {
    json event = new_event("summary");
    event["converted"] = outcome.converted.size();
    event["already_there"] = outcome.already_there.size();
    event["skipped"] = outcome.skipped.size();
    event["failed"] = outcome.failed.size();
    event["no_room"] = outcome.no_room.size();
    event["bytes_converted"] = outcome.converted_bytes;
    event["bytes_written"] = bytes_written;
    event["seconds"] = seconds;
    event["end"] = end_name(end);
    event["deleted"] = paths_value(deleted);
    event["exit_status"] = exit_status;
    return event;
}
