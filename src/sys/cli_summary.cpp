#include "sys/cli_summary.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "catalogue/plot_format.h"
#include "swizzler/conversion_record.h"
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

std::string run_summary(const swizzler_s& record, double seconds) {
    std::vector<std::string> converted, already_there, skipped, failed;
    std::uint64_t converted_bytes = 0;
    for (const conversion_job_s& job : record.plan.existing_jobs) {
        already_there.push_back(printable(job.output_path));
    }
    for (const conversion_job_s& job : record.plan.jobs) {
        std::string output = printable(job.output_path);
        switch (outcome_of(job)) {
        case outcome::converted:
            converted.push_back(output);
            converted_bytes += plot_size(job.nonces);
            break;
        case outcome::already_there:
            already_there.push_back(output);
            break;
        case outcome::skipped:
            skipped.push_back(output);
            break;
        case outcome::failed:
            failed.push_back(output + ": " +
                             printable(job.failure.empty() ? "it did not complete" : job.failure));
            break;
        }
    }

    std::string text = "Summary:\n";
    add_group(text, "Converted", converted,
              converted.empty() ? "" : std::string(" (") + size_text(converted_bytes, false) + ")");
    if (!already_there.empty()) {
        add_group(text, "Already there, sources kept", already_there, "");
    }
    add_group(text, "Skipped", skipped, "");
    add_group(text, "Failed", failed, "");

    std::uint64_t written = record.bytes_written.load();
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
