#include "catalogue/completion.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "catalogue/conversion_plan.h"
#include "catalogue/plan_scan.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "util/log.h"
#include "util/size_text.h"
#include "util/ui_tasks.h"

const char* const done_question =
    "Swizzling has completed. Would you like the source files to be deleted for you?";

namespace {

const char* reason_of(const conversion_job_s& job) {
    if (job.state == job_state::failed && !job.failure.empty()) {
        return job.failure.c_str();
    }
    return "it was not converted";
}

// Whether the name still names the file that planning found there (unknown identities pass:
// a plan made by hand does not know them).
bool still_the_planned_file(const conversion_job_s& job, std::size_t source) {
    if (source >= job.source_identities.size() || job.source_identities[source].inode == 0) {
        return true;
    }
    struct stat now {};
    if (stat(job.source_paths[source].c_str(), &now) != 0) {
        return true; // gone already: deleting it changes nothing
    }
    return static_cast<std::uint64_t>(now.st_dev) == job.source_identities[source].device &&
           static_cast<std::uint64_t>(now.st_ino) == job.source_identities[source].inode;
}

// Failed plots the question names one by one; the rest are counted.
constexpr int most_failures_named = 5;

std::string count_of(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Sources and plots of a group of jobs, for the question: "3 source files of 1 PoC2 plot".
std::string files_of(const std::vector<const conversion_job_s*>& jobs) {
    std::size_t files = 0;
    for (const conversion_job_s* job : jobs) {
        files += job->source_paths.size();
    }
    return count_of(files, "source file", "source files") + " of " +
           count_of(jobs.size(), "PoC2 plot", "PoC2 plots");
}

void keep(completion_s& done, const std::string& source, const std::string& why) {
    done.kept.push_back(source + ": " + why);
}

void delete_sources_of(const conversion_job_s& job, completion_s& done) {
    for (std::size_t i = 0; i < job.source_paths.size(); ++i) {
        const std::string& source = job.source_paths[i];
        if (!still_the_planned_file(job, i)) {
            log_message("Keeping %s: it is not the file that was converted into %s\n",
                        source.c_str(), job.output_path.c_str());
            keep(done, source, "it is not the file that was converted");
            continue;
        }
        log_message("Deleting %s\n", source.c_str());
        if (unlink(source.c_str()) != 0 && errno != ENOENT) {
            log_message("Could not delete %s, error %d (%s)\n", source.c_str(), errno,
                        std::strerror(errno));
            keep(done, source, std::string("it could not be deleted: ") + std::strerror(errno));
            continue;
        }
        done.deleted.push_back(source);
    }
}

} // namespace

std::string done_question_text(const conversion_plan_s& plan) {
    std::vector<const conversion_job_s*> completed, existing, failed, unplaced;
    std::size_t deleted_files = 0;
    std::uint64_t deleted_bytes = 0;
    for (const conversion_job_s& job : plan.jobs) {
        if (job.state == job_state::completed) {
            completed.push_back(&job);
            deleted_files += job.source_paths.size();
            deleted_bytes = add_saturating(deleted_bytes, plot_size(job.nonces));
        } else if (job.state == job_state::existing) {
            existing.push_back(&job);
        } else {
            failed.push_back(&job);
        }
    }
    for (const conversion_job_s& job : plan.existing_jobs) {
        existing.push_back(&job);
    }
    for (const conversion_job_s& job : plan.unplaced_jobs) {
        unplaced.push_back(&job);
    }
    std::string text = done_question;
    text += "\n\nYes deletes " + count_of(deleted_files, "source file", "source files") + " (" +
            size_text(deleted_bytes, false) + "): " +
            (completed.size() == 1
                 ? "that of the PoC2 plot"
                 : "those of the " + std::to_string(completed.size()) + " PoC2 plots") +
            " this run completed.";
    if (existing.empty() && failed.empty() && unplaced.empty()) {
        return text;
    }
    text += "\nKept whatever you answer:";
    if (!existing.empty()) {
        text += "\n- " + files_of(existing) +
                " already in the destination (not written by "
                "this run, so it proves nothing about them)";
    }
    if (!failed.empty()) {
        text += "\n- " + files_of(failed) + " that did not complete:";
        for (std::size_t i = 0; i < failed.size() && i < most_failures_named; ++i) {
            text += "\n    " + std::string(file_name_of(failed[i]->output_path)) + ": " +
                    reason_of(*failed[i]);
        }
        if (failed.size() > most_failures_named) {
            text += "\n    and " + std::to_string(failed.size() - most_failures_named) +
                    " more, in the log";
        }
    }
    if (!unplaced.empty()) {
        text += "\n- " + files_of(unplaced) + " that fit on no destination drive";
    }
    return text;
}

completion_s offer_source_deletion(const conversion_plan_s& record, source_deletion choice) {
    completion_s done;
    std::string list;
    for (const auto& job : record.jobs) {
        if (job.state == job_state::existing) {
            // An output this run did not write proves nothing about its sources.
            ++done.existing;
            for (const auto& source : job.source_paths) {
                log_message("Keeping %s because %s was already there\n", source.c_str(),
                            job.output_path.c_str());
                keep(done, source, job.output_path + " was already there");
            }
        } else if (job.state != job_state::completed) {
            ++done.incomplete;
            list += job.output_path + ": " + reason_of(job) + "\n";
            for (const auto& source : job.source_paths) {
                log_message("Keeping %s because %s did not complete: %s\n", source.c_str(),
                            job.output_path.c_str(), reason_of(job));
                keep(done, source, job.output_path + " did not complete: " + reason_of(job));
            }
        } else {
            ++done.completed;
        }
    }
    if (done.incomplete > 0) {
        show_message(0, "Warning",
                     "%d of %d conversions did not complete:\n%s\nTheir source files are kept.",
                     done.incomplete, static_cast<int>(record.jobs.size()), list.c_str());
    }

    // With nothing completed there is nothing that could be deleted, so nothing to ask.
    done.question_due = done.completed > 0;
    if (done.question_due) {
        done.question = done_question_text(record);
        switch (choice) {
        case source_deletion::ask:
            done.delete_sources = ask_yes_no(0, "Done!", "%s", done.question.c_str());
            break;
        case source_deletion::delete_completed:
        case source_deletion::keep_all:
            done.delete_sources = choice == source_deletion::delete_completed;
            log_message("Done: the sources of completed conversions are %s, as decided before "
                        "the run\n",
                        done.delete_sources ? "deleted" : "kept");
            break;
        }
    }
    for (const auto& job : record.jobs) {
        if (job.state != job_state::completed) {
            continue;
        }
        if (done.delete_sources) {
            delete_sources_of(job, done);
        } else {
            for (const auto& source : job.source_paths) {
                keep(done, source, "the sources were kept");
            }
        }
    }
    request_quit(done.incomplete == 0 ? 0 : 1);
    return done;
}

completion_s end_in_place_run(const conversion_plan_s& record) {
    completion_s done;
    std::string list;
    for (const auto& job : record.jobs) {
        if (job.state == job_state::completed || job.state == job_state::existing) {
            done.completed += job.state == job_state::completed;
            done.existing += job.state == job_state::existing;
            continue;
        }
        ++done.incomplete;
        list += job.output_path + ": " + reason_of(job) + "\n";
        log_message("%s did not complete: %s\n", job.output_path.c_str(), reason_of(job));
    }
    if (done.incomplete > 0) {
        show_message(0, "Warning",
                     "%d of %d conversions in place did not complete:\n%s\nA plot that was "
                     "not changed keeps its PoC1 name; a plot under its name with "
                     "\".swizzling\" is finished by the next run in place.",
                     done.incomplete, static_cast<int>(record.jobs.size()), list.c_str());
    }
    log_message("%d plots converted in place\n", done.completed);
    request_quit(done.incomplete == 0 ? 0 : 1);
    return done;
}
