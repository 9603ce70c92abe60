// scoopshift-cli: the conversion for machines without a desktop.
//
// The same catalogue, engine, texts and log as the window: many source and
// destination folders are planned together and run as a farm, one stream per
// group of drives that shares none with the others. The main thread plays the
// interface thread: it serves the interface-task queue (woken by the work
// threads, or once a second to redraw the progress lines) until the end of the
// run asks it to quit.
//
// With --json the main thread also writes the event stream (sys/cli_events.h)
// on standard output, and every text for people goes to standard error.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/completion.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/conversion_record.h"
#include "swizzler/farm.h"
#include "sys/cli_events.h"
#include "sys/cli_options.h"
#include "sys/cli_printable.h"
#include "sys/cli_summary.h"
#include "sys/cli_terminal.h"
#include "util/log.h"
#include "util/memory_status.h"
#include "util/open_files.h"
#include "util/size_text.h"
#include "util/ui_tasks.h"

namespace {

// The main loop's wake-up and quit request, set from any thread.
std::mutex loop_lock;
std::condition_variable loop_wake;
bool loop_woken = false; // guarded by loop_lock
bool quit_asked = false; // guarded by loop_lock
int quit_status = 0;     // guarded by loop_lock
// The signal that asked to stop (SIGINT, SIGTERM), 0 while none has. Written by the signal
// thread, read by the main loop.
std::atomic<int> stop_signal{0};

// The first Ctrl-C (or a polite kill) stops the run where it is, with a last checkpoint, so
// that the next run resumes it at once; a second one ends the process at once. The signals are
// blocked in every thread but one that waits for them and wakes the main loop: a handler could
// neither take the loop's lock nor wake it. Call before any other thread starts.
void install_stop_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        if (sigwait(&stops, &signal) != 0) {
            return;
        }
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        stop_signal = signal;
        {
            // Notified under the lock: the main loop, once woken, may end the program and with
            // it the condition variable.
            std::lock_guard lock(loop_lock);
            loop_woken = true;
            loop_wake.notify_one();
        }
        pthread_sigmask(SIG_UNBLOCK, &stops, nullptr); // the next one ends the process
    }).detach();
}

// Where one run's texts and events go. Made by main and passed along; main thread.
struct front_end_s {
    bool json = false;
    std::FILE* human = stdout; // text for people: standard error with --json
    event_stream_s events;     // --json only
    progress_view_s view;
    bool last_progress_sent = false; // the figures as the streams ended are out
    std::string log_name;            // the log as the texts name it
};

int usage_error(const std::string& what) {
    std::fprintf(stderr, "scoopshift-cli: %s\n\n%s", what.c_str(), cli_usage);
    return 2;
}

// Empty when the folder can be listed, else why not.
std::string folder_problem(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return "cannot read folder " + printable(folder) + ": " + std::strerror(errno);
    }
    closedir(dir);
    return "";
}

void install_loop_hooks() {
    set_ui_wake_handler([] {
        {
            std::lock_guard lock(loop_lock);
            loop_woken = true;
        }
        loop_wake.notify_one();
        return true;
    });
    set_quit_handler([](int status) {
        std::lock_guard lock(loop_lock);
        quit_asked = true;
        quit_status = status;
    });
}

void print_memory_line(const conversion_plan_s& record, std::uint64_t max_ram_bytes, char* memory,
                       std::size_t capacity) {
    memory_status_s status = read_memory_status();
    int used = std::snprintf(memory, capacity, " Using %s RAM",
                             size_text(farm_buffer_bytes(status, record, max_ram_bytes), true));
    if (used < 0 || static_cast<std::size_t>(used) >= capacity) {
        return;
    }
    budget_change change = farm_budget_change(status, record, max_ram_bytes);
    if (change == budget_change::lowered_to_available) {
        std::snprintf(memory + used, capacity - used,
                      " (the limit of %s is more than the %s available)",
                      size_text(max_ram_bytes, true), size_text(status.available_bytes, true));
    } else if (change == budget_change::raised_to_smallest) {
        std::snprintf(memory + used, capacity - used,
                      " (the limit of %s is less than one chunk of buffers needs)",
                      size_text(max_ram_bytes, true));
    }
}

// "Converting on 2 drives at once: sdb, sdc; sdd, sde." when the plan runs as more than one
// stream (`names`: each stream's drives).
void print_streams(std::FILE* out, const std::vector<std::string>& names) {
    if (names.size() < 2) {
        return;
    }
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : "; ") + printable(name);
    }
    std::fprintf(out, "Converting on %d drives at once: %s.\n", static_cast<int>(names.size()),
                 list.c_str());
}

// One job: its output (without a folder when it has none), its size and its sources, named
// with their folder when the plan reads more than one.
void print_job_line(std::FILE* out, const conversion_job_s& job, bool placed, bool source_folders) {
    std::string output = placed ? job.output_path : std::string(file_name_of(job.output_path));
    std::fprintf(out, "  %s  %llu nonces  %s  from", printable(output).c_str(),
                 static_cast<unsigned long long>(job.nonces),
                 size_text(plot_size(job.nonces), false));
    const char* separator = " ";
    for (const auto& source : job.source_paths) {
        std::string shown = source_folders ? source : std::string(file_name_of(source));
        std::fprintf(out, "%s%s", separator, printable(shown).c_str());
        separator = ", ";
    }
    std::fprintf(out, "\n");
}

// The folders of a list as one text: "/a, /b".
std::string folder_list(const std::vector<std::string>& folders) {
    std::string list;
    for (const std::string& folder : folders) {
        list += (list.empty() ? "" : ", ") + printable(folder);
    }
    return list;
}

void print_in_place_job(std::FILE* out, const conversion_job_s& job) {
    bool resumed = access((job.output_path + ".swizzling").c_str(), F_OK) == 0;
    std::string from = resumed
                           ? "  finishes " + printable(file_name_of(job.output_path)) + ".swizzling"
                           : "  in place from " + printable(file_name_of(job.source_paths.front()));
    std::fprintf(out, "  %s  %llu nonces  %s%s\n", printable(job.output_path).c_str(),
                 static_cast<unsigned long long>(job.nonces),
                 size_text(plot_size(job.nonces), false), from.c_str());
}

void print_in_place_plan(std::FILE* out, const conversion_plan_s& record,
                         const std::vector<std::string>& folders,
                         const std::vector<std::string>& stream_names,
                         std::uint64_t max_ram_bytes) {
    if (!record.jobs.empty()) {
        char memory[256] = "";
        print_memory_line(record, max_ram_bytes, memory, sizeof memory);
        std::fprintf(out,
                     "%s of %d PoC1 plots will be converted in place in %s: each plot becomes a "
                     "PoC2 plot in its own file, nothing is deleted.%s\n",
                     size_text(record.bytes_total, false), static_cast<int>(record.jobs.size()),
                     folder_list(folders).c_str(), memory);
        print_streams(out, stream_names);
    }
    for (const auto& job : record.jobs) {
        print_in_place_job(out, job);
    }
    if (!record.existing_jobs.empty()) {
        std::fprintf(out,
                     "%d PoC1 plots already have a PoC2 plot of their name in the folder; they "
                     "are left as they are:\n",
                     static_cast<int>(record.existing_jobs.size()));
        for (const auto& job : record.existing_jobs) {
            std::fprintf(out, "  %s  next to %s\n", printable(job.output_path).c_str(),
                         printable(file_name_of(job.source_paths.front())).c_str());
        }
    }
    if (!record.unplaced_jobs.empty() && !record.jobs.empty()) {
        std::fprintf(out,
                     "%d PoC1 plots are in a folder without room for the journal of a "
                     "conversion in place; they are left as they are:\n",
                     static_cast<int>(record.unplaced_jobs.size()));
        for (const auto& job : record.unplaced_jobs) {
            print_in_place_job(out, job);
        }
    }
}

void print_plan(std::FILE* out, const conversion_plan_s& record,
                const std::vector<std::string>& stream_names, std::uint64_t max_ram_bytes,
                bool source_folders) {
    if (!record.jobs.empty()) {
        char memory[256] = "";
        if (record.largest_job_bytes != 0) {
            print_memory_line(record, max_ram_bytes, memory, sizeof memory);
        }
        // The plots of jobs left out or already there are not converted.
        int plots = 0;
        for (const auto& job : record.jobs) {
            plots += static_cast<int>(job.source_paths.size());
        }
        std::fprintf(out, "%s of %d PoC1 plots will be converted to %d PoC2 plots.%s\n",
                     size_text(record.bytes_total, false), plots,
                     static_cast<int>(record.jobs.size()), memory);
        print_streams(out, stream_names);
    }
    for (const auto& job : record.jobs) {
        print_job_line(out, job, true, source_folders);
    }
    if (!record.existing_jobs.empty()) {
        std::fprintf(out,
                     "%d PoC2 plots are already in the destination; they are not converted "
                     "again and their sources are kept:\n",
                     static_cast<int>(record.existing_jobs.size()));
        for (const auto& job : record.existing_jobs) {
            print_job_line(out, job, true, source_folders);
        }
    }
    if (!record.unplaced_jobs.empty() && !record.jobs.empty()) {
        std::fprintf(out,
                     "%d PoC2 plots do not fit on any destination drive; they are not converted "
                     "and their sources are kept:\n",
                     static_cast<int>(record.unplaced_jobs.size()));
        for (const auto& job : record.unplaced_jobs) {
            print_job_line(out, job, false, source_folders);
        }
    }
}

// The files that look like plots but make no job, each with why.
void print_set_aside(std::FILE* out, const conversion_plan_s& record) {
    if (record.set_aside.empty()) {
        return;
    }
    std::fprintf(out, "%d files are left as they are:\n",
                 static_cast<int>(record.set_aside.size()));
    for (const set_aside_s& file : record.set_aside) {
        std::fprintf(out, "  %s: %s\n", printable(file.path).c_str(), printable(file.why).c_str());
    }
}

// What the plan is made from: the folders as they are now, merges within the open files.
plan_request_s request_of(const cli_options_s& options) {
    plan_request_s request;
    for (const std::string& folder : options.sources) {
        request.sources.push_back(describe_folder(folder));
    }
    if (!options.in_place) {
        for (const std::string& folder : options.destinations) {
            request.destinations.push_back(describe_folder(folder));
        }
    }
    request.merge = options.merge;
    request.in_place = options.in_place;
    request.most_sources_per_job =
        sources_per_job_within(open_file_limit(), options.sources.size());
    return request;
}

source_deletion deletion_of(deletion_answer answer) {
    switch (answer) {
    case deletion_answer::delete_sources:
        return source_deletion::delete_completed;
    case deletion_answer::keep_sources:
        return source_deletion::keep_all;
    case deletion_answer::ask:
        break;
    }
    return source_deletion::ask;
}

// The streams' figures: progress lines for people, or with --json a progress event for each
// stream, the first at once and then every 10 seconds, and one more when `last` (the streams
// have ended).
void report_progress(front_end_s& front, const farm_s& farm, bool last = false) {
    if (!front.json) {
        if (!last) {
            show_progress(farm, front.view);
        }
        return;
    }
    if (front.last_progress_sent) {
        return;
    }
    std::vector<stream_figures_s> figures = sample_progress(farm, front.view);
    if (figures.empty() || !(plain_lines_due(front.view, figures.front().seconds) || last)) {
        return;
    }
    for (std::size_t i = 0; i < figures.size(); ++i) {
        send_event(front.events, progress_event(i, figures[i]));
    }
    front.last_progress_sent = last;
}

// Serves the interface-task queue and the progress reports until the run asks to quit.
int run_loop(front_end_s& front, const farm_s& farm) {
    front.view = progress_view_s{};
    front.view.terminal = !front.json && isatty(STDOUT_FILENO) != 0;
    report_progress(front, farm); // at once, so that even a short run shows it has started
    for (;;) {
        {
            std::unique_lock lock(loop_lock);
            loop_wake.wait_for(lock, std::chrono::seconds(1), [] { return loop_woken; });
            loop_woken = false;
        }
        run_ui_tasks();
        {
            std::lock_guard lock(loop_lock);
            if (quit_asked) {
                break;
            }
        }
        if (int signal = stop_signal.load(); signal != 0) {
            log_message("Stopped by the user (%s): every source is kept, and the next run "
                        "resumes the unfinished plots\n",
                        signal == SIGINT ? "interrupt" : "termination signal");
            break;
        }
        report_progress(front, farm);
    }
    end_progress_line(front.view);
    std::lock_guard lock(loop_lock);
    return quit_status;
}

void print_outcome(const front_end_s& front, const farm_s& farm, const conversion_plan_s& plan,
                   bool in_place) {
    if (!farm.finished && stop_signal != 0) {
        std::fprintf(stderr, "Stopped: every source is kept; run the same command again to "
                             "resume.\n");
        return;
    }
    if (!farm.finished) {
        std::fprintf(stderr, "The conversion could not run; see %s.\n", front.log_name.c_str());
        return;
    }
    int completed = 0;
    int existing = 0;
    for (const auto& job : plan.jobs) {
        completed += job.state == job_state::completed;
        existing += job.state == job_state::existing;
    }
    int total = static_cast<int>(plan.jobs.size()) - existing;
    if (existing > 0) {
        std::fprintf(front.human,
                     in_place ? "%d PoC2 plots were already there when their turn came; their "
                                "PoC1 plots are left as they are.\n"
                              : "%d PoC2 plots were already there when their turn came; their "
                                "sources are kept.\n",
                     existing);
    }
    if (completed == total) {
        std::fprintf(front.human,
                     in_place ? "All %d conversions in place completed.\n"
                              : "All %d conversions completed.\n",
                     total);
    } else if (in_place) {
        std::fprintf(stderr,
                     "%d of %d conversions in place did not complete; run again to finish "
                     "them.\n",
                     total - completed, total);
    } else {
        std::fprintf(stderr, "%d of %d conversions did not complete; their sources are kept.\n",
                     total - completed, total);
    }
    if (!plan.unplaced_jobs.empty()) {
        std::fprintf(stderr,
                     in_place ? "%d PoC1 plots had no room for a journal and were left as they "
                                "are.\n"
                              : "%d PoC2 plots did not fit on any destination drive; their "
                                "sources are kept.\n",
                     static_cast<int>(plan.unplaced_jobs.size()));
    }
}

// Opens the log the options name; empty when it is open, else why not. The default falls back
// to log.txt as the window's does; a log the user named must be the one written.
std::string open_log(const cli_options_s& options, front_end_s& front) {
    if (options.log_path == "-") {
        // Log lines quote file names, which may hold anything a terminal obeys.
        open_log_stream(stderr, [](std::string_view message) { return printable(message, true); });
        front.log_name = "the log on standard error";
        return "";
    }
    std::string path = options.log_path.empty() ? "log_swizzle.txt" : options.log_path;
    front.log_name = printable(path);
    if (!open_log_file(path.c_str()) && !options.log_path.empty()) {
        int error = errno;
        close_log_file();
        return "cannot write the log " + printable(path) + ": " + error_name(error);
    }
    return "";
}

// Boxes on the terminal; with --json questions take their safe answers without asking, and
// every box is an event as well.
void install_boxes(front_end_s& front) {
    terminal_boxes_s boxes;
    if (front.json) {
        boxes.may_ask = false;
        boxes.rule = "--json: the safe answer";
        boxes.report = [&front](const box_report_s& box) {
            send_event(front.events, box_event(box));
        };
    }
    install_terminal_boxes(std::move(boxes));
}

// The jobs' starts and ends as events, posted from each stream's work thread with copies.
void report_jobs(front_end_s& front, farm_settings_s& settings) {
    if (!front.json) {
        return;
    }
    settings.on_job_start = [&front](std::size_t stream, const conversion_job_s& job) {
        send_event(front.events, job_start_event(stream, job));
    };
    settings.on_job_end = [&front](std::size_t stream, const conversion_job_s& job) {
        send_event(front.events, job_end_event(stream, job));
    };
}

// The budget as the plan event states it.
budget_report_s budget_report_of(const conversion_plan_s& plan,
                                 const std::vector<conversion_plan_s>& streams,
                                 std::uint64_t max_ram_bytes) {
    memory_status_s status = read_memory_status();
    budget_report_s budget;
    budget.limit = max_ram_bytes;
    budget.available = status.available_bytes;
    budget.bytes = farm_buffer_bytes(status, streams, max_ram_bytes);
    budget.change = farm_budget_change(status, plan, max_ram_bytes);
    return budget;
}

// Ends a run that converted nothing: its summary event, and the status.
int end_without_run(front_end_s& front, const conversion_plan_s& plan, int status) {
    if (front.json) {
        send_event(front.events,
                   summary_event(outcome_of_run(plan), 0, 0, run_end::not_run, {}, status));
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    cli_options_s options;
    std::string error;
    if (!parse_cli_options(argc, argv, &options, &error)) {
        return usage_error(error);
    }
    if (options.help) {
        std::fputs(cli_usage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("scoopshift-cli %s\n", SCOOPSHIFT_VERSION);
        return 0;
    }
    for (const auto* list : {&options.sources, &options.destinations}) {
        for (const std::string& folder : *list) {
            std::string problem = folder_problem(folder);
            if (!problem.empty()) {
                return usage_error(problem);
            }
        }
    }
    front_end_s front;
    front.json = options.json;
    front.human = options.json ? stderr : stdout;
    std::string log_problem = open_log(options, front);
    if (!log_problem.empty()) {
        return usage_error(log_problem);
    }

    install_stop_signals();
    set_log_echo(false); // the log has every line; the terminal shows the boxes
    install_boxes(front);
    install_loop_hooks();
    run_ui_tasks(); // this thread is the interface thread from here on
    if (front.json) {
        send_event(front.events,
                   start_event(SCOOPSHIFT_VERSION, options.in_place, options.sources,
                               options.destinations,
                               options.log_path.empty() ? "log_swizzle.txt" : options.log_path));
    }
    // A merge of hundreds of plots holds every one of them open.
    std::uint64_t open_files = raise_open_file_limit();
    log_message("Up to %llu files may be open at once\n",
                static_cast<unsigned long long>(open_files));

    conversion_plan_s plan = plan_conversion(request_of(options));
    std::vector<std::string> stream_names;
    std::vector<conversion_plan_s> streams = split_into_streams(plan, &stream_names);
    if (front.json) {
        send_event(front.events,
                   plan_event(plan, streams, stream_names,
                              budget_report_of(plan, streams, options.max_ram_bytes)));
    }
    report_plan_shortfall(plan);
    if (options.in_place) {
        print_in_place_plan(front.human, plan, options.sources, stream_names,
                            options.max_ram_bytes);
    } else {
        print_plan(front.human, plan, stream_names, options.max_ram_bytes,
                   options.sources.size() > 1);
    }
    print_set_aside(front.human, plan);

    switch (plan.outcome) {
    case plan_outcome::no_room:
        if (options.in_place) {
            std::fprintf(stderr, options.sources.size() > 1
                                     ? "Nothing was converted: no folder has room for the "
                                       "journal.\n"
                                     : "Nothing was converted: the folder has no room for the "
                                       "journal.\n");
        } else {
            std::fprintf(stderr, options.destinations.size() > 1
                                     ? "Nothing was converted: no destination has room for a "
                                       "plot.\n"
                                     : "Nothing was converted: the destination has no room for "
                                       "the plots.\n");
        }
        return end_without_run(front, plan, 1);
    case plan_outcome::no_folders:
    case plan_outcome::no_plots:
        std::fprintf(front.human, "No optimized PoC1 plots in %s.\n",
                     folder_list(options.sources).c_str());
        return end_without_run(front, plan, 0);
    case plan_outcome::set_aside:
        std::fprintf(front.human, "Nothing to convert: every plot found is left as it is.\n");
        return end_without_run(front, plan, 0);
    case plan_outcome::all_there:
        std::fprintf(front.human,
                     options.in_place
                         ? "Nothing to convert: every PoC1 plot of this folder already has its "
                           "PoC2 plot beside it.\n"
                         : "Nothing to convert: every PoC2 plot of this plan is already there.\n");
        return end_without_run(front, plan, 0);
    case plan_outcome::planned:
        break;
    }
    if (options.plan_only) {
        return end_without_run(front, plan, 0);
    }

    farm_settings_s settings;
    settings.verify_outputs = options.verify;
    // How often a job's progress is made durable; tests make it often, to interrupt runs at any
    // moment and have them resumed.
    if (const char* seconds = std::getenv("SCOOPSHIFT_CHECKPOINT_SECONDS")) {
        settings.checkpoints.seconds = std::strtod(seconds, nullptr);
    }
    report_jobs(front, settings);
    farm_s& farm = the_farm();
    // The run's time is the whole farm's, and ends where the work does, before the closing
    // question waits for the user.
    auto started = std::chrono::steady_clock::now();
    auto ended = started;
    bool ended_normally = false;
    std::vector<std::string> deleted;
    start_farm(farm, plan, options.max_ram_bytes, settings, [&] {
        ended = std::chrono::steady_clock::now();
        ended_normally = true;
        report_progress(front, farm, true);
        if (options.in_place) {
            end_in_place_run(farm_plan(farm));
            return;
        }
        source_deletion choice = deletion_of(options.deletion);
        completion_s done = offer_source_deletion(farm_plan(farm), choice);
        deleted = done.deleted;
        if (done.question_due && choice != source_deletion::ask) {
            const char* rule = done.delete_sources ? "--delete-sources" : "--keep-sources";
            std::string answer = std::string(done.delete_sources ? "yes (" : "no (") + rule + ")";
            print_decided_question("Done!", done.question.c_str(), answer.c_str());
            if (front.json) {
                send_event(front.events,
                           box_event({"Done!", done.question, message_box_kind::yes_no,
                                      done.delete_sources, rule}));
            }
        }
    });
    int status = run_loop(front, farm);
    // A stream that could not run ends the program; the others stop where they are.
    if (!farm.finished) {
        stop_farm(farm);
    }
    join_farm(farm);
    // What the work threads posted last (the ends of the jobs they stopped) is still reported;
    // an unfinished farm's completion is not run.
    if (!farm.finished) {
        farm.on_complete = nullptr;
    }
    run_ui_tasks();
    if (!ended_normally) {
        ended = std::chrono::steady_clock::now();
    }
    report_progress(front, farm, true);
    conversion_plan_s outcome = farm_plan(farm);
    double seconds = std::chrono::duration<double>(ended - started).count();
    std::uint64_t written = farm_progress(farm).written;
    std::fputs(run_summary(outcome, written, seconds).c_str(), front.human);
    print_outcome(front, farm, outcome, options.in_place);
    // Plots left out for want of room were not converted either.
    if ((!farm.finished || !outcome.unplaced_jobs.empty()) && status == 0) {
        status = 1;
    }
    if (front.json) {
        run_end end = farm.finished      ? run_end::finished
                      : stop_signal != 0 ? run_end::stopped
                                         : run_end::could_not_run;
        send_event(front.events,
                   summary_event(outcome_of_run(outcome), written, seconds, end, deleted, status));
    }
    return status;
}
