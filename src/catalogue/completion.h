// The end of a run: offer to delete the sources of the completed jobs, then quit.
//
// Only a job whose own result is completed may lose its sources, and only a
// source that is still the file planning found under its name (a file put in
// its place since is not the one that was converted). Whether to delete is a
// value the front end hands over: asked ("Done!"), or decided before the run
// (the terminal front end's --delete-sources and --keep-sources).
#pragma once

#include <string>
#include <vector>

struct conversion_plan_s;

// Whether the completed jobs' sources go.
enum class source_deletion {
    ask,              // the "Done!" question decides
    delete_completed, // decided before the run: yes
    keep_all,         // decided before the run: no
};

// The first sentence of the "Done!" question; done_question_text adds what the answer changes.
extern const char* const done_question;

// The whole "Done!" question for a run's plan with its jobs' results: done_question, then how
// many source files (and bytes) Yes deletes, then what is kept whatever the answer, and why.
std::string done_question_text(const conversion_plan_s& plan);

// What the end of a run did.
struct completion_s {
    int completed = 0;           // jobs this run completed
    int incomplete = 0;          // jobs it did not (failed, or not reached)
    int existing = 0;            // jobs whose output was already there
    bool question_due = false;   // something completed, so deleting was offered (asked or decided)
    bool delete_sources = false; // the answer, asked or decided
    std::string question;        // the "Done!" text, asked or decided (empty when not due)
    std::vector<std::string> deleted; // sources deleted, in job order
    std::vector<std::string> kept;    // every other source of the plan's jobs, "path: why"
};

// Warns about jobs that did not complete, offers (as `choice` says) to delete the sources of
// completed jobs of the run's plan, deletes on yes, then asks the host to quit. Interface
// thread, after the run has ended.
completion_s offer_source_deletion(const conversion_plan_s& plan,
                                   source_deletion choice = source_deletion::ask);

// The end of a run in place: there are no sources to delete and nothing to ask. Warns about the
// jobs that did not complete, then asks the host to quit. Interface thread, after the run.
completion_s end_in_place_run(const conversion_plan_s& plan);
