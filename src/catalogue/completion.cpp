#include "catalogue/completion.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "catalogue/conversion_plan.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

const char* reason_of(const conversion_job_s& job) {
    if (job.state == job_state::failed && !job.failure.empty()) {
        return job.failure.c_str();
    }
    return "it was not converted";
}

} // namespace

void offer_source_deletion(const conversion_plan_s& record) {
    // Only a job whose output has its final name and is on the device may lose its sources.
    int incomplete = 0;
    int existing = 0;
    std::string list;
    for (const auto& job : record.jobs) {
        if (job.state == job_state::existing) {
            // An output this run did not write proves nothing about its sources.
            ++existing;
            for (const auto& source : job.source_paths) {
                log_message("Keeping %s because %s was already there\n", source.c_str(),
                            job.output_path.c_str());
            }
        } else if (job.state != job_state::completed) {
            ++incomplete;
            list += job.output_path + ": " + reason_of(job) + "\n";
            for (const auto& source : job.source_paths) {
                log_message("Keeping %s because %s did not complete: %s\n", source.c_str(),
                            job.output_path.c_str(), reason_of(job));
            }
        }
    }
    int completed = static_cast<int>(record.jobs.size()) - incomplete - existing;
    if (incomplete > 0) {
        show_message(0, "Warning",
                     "%d of %d conversions did not complete:\n%s\nTheir source files are kept.",
                     incomplete, static_cast<int>(record.jobs.size()), list.c_str());
    }

    // With nothing completed there is nothing that could be deleted, so nothing to ask.
    if (completed > 0 &&
        ask_yes_no(0, "Done!",
                   "Swizzling has completed. Would you like the source files to be deleted for "
                   "you?")) {
        for (const auto& job : record.jobs) {
            if (job.state != job_state::completed) {
                continue;
            }
            for (const auto& source : job.source_paths) {
                log_message("Deleting %s\n", source.c_str());
                if (unlink(source.c_str()) != 0 && errno != ENOENT) {
                    log_message("Could not delete %s, error %d\n", source.c_str(), errno);
                }
            }
        }
    }
    request_quit(incomplete == 0 ? 0 : 1);
}

void end_in_place_run(const conversion_plan_s& record) {
    int incomplete = 0;
    int converted = 0;
    std::string list;
    for (const auto& job : record.jobs) {
        if (job.state == job_state::completed || job.state == job_state::existing) {
            converted += job.state == job_state::completed;
            continue;
        }
        ++incomplete;
        list += job.output_path + ": " + reason_of(job) + "\n";
        log_message("%s did not complete: %s\n", job.output_path.c_str(), reason_of(job));
    }
    if (incomplete > 0) {
        show_message(0, "Warning",
                     "%d of %d conversions in place did not complete:\n%s\nA plot that was "
                     "not changed keeps its PoC1 name; a plot under its name with "
                     "\".swizzling\" is finished by the next run in place.",
                     incomplete, static_cast<int>(record.jobs.size()), list.c_str());
    }
    log_message("%d plots converted in place\n", converted);
    request_quit(incomplete == 0 ? 0 : 1);
}
