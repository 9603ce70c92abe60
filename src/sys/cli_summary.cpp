#include "sys/cli_summary.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/plot_format.h"
#include "sys/cli_printable.h"
#include "util/size_text.h"

namespace {

enum class outcome { converted, already_there, skipped, failed };

outcome outcome_of(const conversion_job_s& job) {
    switch (job.state) {
    case job_state::completed:
        return outcome::converted;
    case job_state::failed:
        return outcome::failed;
    case job_state::existing:
        return outcome::already_there;
    case job_state::planned:
        break;
    }
    return outcome::skipped;
}

std::string printed(const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

// One group of the summary: its count, then each output on a line of its own.
void add_group(std::string& text, const char* heading, const std::vector<std::string>& lines,
               const std::string& extra) {
    text += printed("  %s: %zu%s\n", heading, lines.size(), extra.c_str());
    for (const std::string& line : lines) {
        text += "    " + line + "\n";
    }
}

// A copying job that fit nowhere has no destination: its output is named without a folder. In
// place the output's folder is the plot's own.
std::string unplaced_name(const conversion_job_s& job) {
    return job.in_place ? job.output_path : job.output_path.substr(job.output_path.rfind('/') + 1);
}

} // namespace

std::string elapsed_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        seconds = 0;
    }
    if (seconds < 60) {
        return printed("%.1f seconds", seconds);
    }
    auto whole = static_cast<std::uint64_t>(seconds);
    unsigned long long hours = whole / 3600;
    unsigned minutes = static_cast<unsigned>(whole / 60 % 60);
    unsigned rest = static_cast<unsigned>(whole % 60);
    if (hours == 0) {
        return printed("%u min %02u s", minutes, rest);
    }
    return printed("%llu h %02u min %02u s", hours, minutes, rest);
}

run_outcome_s outcome_of_run(const conversion_plan_s& plan) {
    run_outcome_s groups;
    for (const conversion_job_s& job : plan.existing_jobs) {
        groups.already_there.push_back(&job);
    }
    for (const conversion_job_s& job : plan.jobs) {
        switch (outcome_of(job)) {
        case outcome::converted:
            groups.converted.push_back(&job);
            groups.converted_bytes += plot_size(job.nonces);
            break;
        case outcome::already_there:
            groups.already_there.push_back(&job);
            break;
        case outcome::skipped:
            groups.skipped.push_back(&job);
            break;
        case outcome::failed:
            groups.failed.push_back(&job);
            break;
        }
    }
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        groups.no_room.push_back(&job);
    }
    return groups;
}

std::string run_summary(const conversion_plan_s& plan, std::uint64_t written, double seconds) {
    run_outcome_s groups = outcome_of_run(plan);
    auto outputs = [](const std::vector<const conversion_job_s*>& jobs) {
        std::vector<std::string> lines;
        for (const conversion_job_s* job : jobs) {
            lines.push_back(printable(job->output_path));
        }
        return lines;
    };
    std::vector<std::string> failed;
    for (const conversion_job_s* job : groups.failed) {
        failed.push_back(printable(job->output_path) + ": " +
                         printable(job->failure.empty() ? "it did not complete" : job->failure));
    }

    std::string text = "Summary:\n";
    add_group(text, "Converted", outputs(groups.converted),
              groups.converted.empty()
                  ? ""
                  : std::string(" (") + size_text(groups.converted_bytes, false) + ")");
    if (!groups.already_there.empty()) {
        add_group(text, "Already there, sources kept", outputs(groups.already_there), "");
    }
    add_group(text, "Skipped", outputs(groups.skipped), "");
    add_group(text, "Failed", failed, "");
    if (!groups.no_room.empty()) {
        std::vector<std::string> unplaced;
        for (const conversion_job_s* job : groups.no_room) {
            unplaced.push_back(printable(unplaced_name(*job)));
        }
        add_group(text, "No room, sources kept", unplaced, "");
    }

    text +=
        printed("  Written: %s in %s", size_text(written, false), elapsed_text(seconds).c_str());
    if (seconds > 0) {
        char speed[64];
        format_size(sizeof speed, speed, static_cast<std::uint64_t>(written / seconds), false,
                    "/s");
        text += printed(", %s on average", speed);
    }
    return text + "\n";
}
