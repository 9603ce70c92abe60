// scoopshift-cli: the conversion for machines without a desktop.
//
// The same catalogue, engine, texts and log as the window: many source and
// destination folders are planned together and run as a farm, one stream per
// group of drives that shares none with the others. The main thread plays the
// interface thread: it serves the interface-task queue (woken by the work
// threads, or once a second to redraw the progress lines) until the end of the
// run asks it to quit.
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
// stream.
void print_streams(const conversion_plan_s& record) {
    std::vector<std::string> names;
    if (split_into_streams(record, &names).size() < 2) {
        return;
    }
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : "; ") + printable(name);
    }
    std::printf("Converting on %d drives at once: %s.\n", static_cast<int>(names.size()),
                list.c_str());
}

// One job: its output (without a folder when it has none), its size and its sources, named
// with their folder when the plan reads more than one.
void print_job_line(const conversion_job_s& job, bool placed, bool source_folders) {
    std::string output = placed ? job.output_path : std::string(file_name_of(job.output_path));
    std::printf("  %s  %llu nonces  %s  from", printable(output).c_str(),
                static_cast<unsigned long long>(job.nonces),
                size_text(plot_size(job.nonces), false));
    const char* separator = " ";
    for (const auto& source : job.source_paths) {
        std::string shown = source_folders ? source : std::string(file_name_of(source));
        std::printf("%s%s", separator, printable(shown).c_str());
        separator = ", ";
    }
    std::printf("\n");
}

// The folders of a list as one text: "/a, /b".
std::string folder_list(const std::vector<std::string>& folders) {
    std::string list;
    for (const std::string& folder : folders) {
        list += (list.empty() ? "" : ", ") + printable(folder);
    }
    return list;
}

void print_in_place_job(const conversion_job_s& job) {
    bool resumed = access((job.output_path + ".swizzling").c_str(), F_OK) == 0;
    std::string from = resumed
                           ? "  finishes " + printable(file_name_of(job.output_path)) + ".swizzling"
                           : "  in place from " + printable(file_name_of(job.source_paths.front()));
    std::printf("  %s  %llu nonces  %s%s\n", printable(job.output_path).c_str(),
                static_cast<unsigned long long>(job.nonces),
                size_text(plot_size(job.nonces), false), from.c_str());
}

void print_in_place_plan(const conversion_plan_s& record, const std::vector<std::string>& folders,
                         std::uint64_t max_ram_bytes) {
    if (!record.jobs.empty()) {
        char memory[256] = "";
        print_memory_line(record, max_ram_bytes, memory, sizeof memory);
        std::printf("%s of %d PoC1 plots will be converted in place in %s: each plot becomes a "
                    "PoC2 plot in its own file, nothing is deleted.%s\n",
                    size_text(record.bytes_total, false), static_cast<int>(record.jobs.size()),
                    folder_list(folders).c_str(), memory);
        print_streams(record);
    }
    for (const auto& job : record.jobs) {
        print_in_place_job(job);
    }
    if (!record.existing_jobs.empty()) {
        std::printf("%d PoC1 plots already have a PoC2 plot of their name in the folder; they "
                    "are left as they are:\n",
                    static_cast<int>(record.existing_jobs.size()));
        for (const auto& job : record.existing_jobs) {
            std::printf("  %s  next to %s\n", printable(job.output_path).c_str(),
                        printable(file_name_of(job.source_paths.front())).c_str());
        }
    }
    if (!record.unplaced_jobs.empty() && !record.jobs.empty()) {
        std::printf("%d PoC1 plots are in a folder without room for the journal of a conversion "
                    "in place; they are left as they are:\n",
                    static_cast<int>(record.unplaced_jobs.size()));
        for (const auto& job : record.unplaced_jobs) {
            print_in_place_job(job);
        }
    }
}

void print_plan(const conversion_plan_s& record, std::uint64_t max_ram_bytes, bool source_folders) {
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
        std::printf("%s of %d PoC1 plots will be converted to %d PoC2 plots.%s\n",
                    size_text(record.bytes_total, false), plots,
                    static_cast<int>(record.jobs.size()), memory);
        print_streams(record);
    }
    for (const auto& job : record.jobs) {
        print_job_line(job, true, source_folders);
    }
    if (!record.existing_jobs.empty()) {
        std::printf("%d PoC2 plots are already in the destination; they are not converted again "
                    "and their sources are kept:\n",
                    static_cast<int>(record.existing_jobs.size()));
        for (const auto& job : record.existing_jobs) {
            print_job_line(job, true, source_folders);
        }
    }
    if (!record.unplaced_jobs.empty() && !record.jobs.empty()) {
        std::printf("%d PoC2 plots do not fit on any destination drive; they are not converted "
                    "and their sources are kept:\n",
                    static_cast<int>(record.unplaced_jobs.size()));
        for (const auto& job : record.unplaced_jobs) {
            print_job_line(job, false, source_folders);
        }
    }
}

// The files that look like plots but make no job, each with why.
void print_set_aside(const conversion_plan_s& record) {
    if (record.set_aside.empty()) {
        return;
    }
    std::printf("%d files are left as they are:\n", static_cast<int>(record.set_aside.size()));
    for (const set_aside_s& file : record.set_aside) {
        std::printf("  %s: %s\n", printable(file.path).c_str(), printable(file.why).c_str());
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

// Serves the interface-task queue and the progress lines until the run asks to quit.
int run_loop(const farm_s& farm) {
    progress_view_s view;
    view.terminal = isatty(STDOUT_FILENO) != 0;
    show_progress(farm, view); // at once, so that even a short run shows it has started
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
        show_progress(farm, view);
    }
    end_progress_line(view);
    std::lock_guard lock(loop_lock);
    return quit_status;
}

void print_outcome(const farm_s& farm, const conversion_plan_s& plan, bool in_place) {
    if (!farm.finished && stop_signal != 0) {
        std::fprintf(stderr, "Stopped: every source is kept; run the same command again to "
                             "resume.\n");
        return;
    }
    if (!farm.finished) {
        std::fprintf(stderr, "The conversion could not run; see log_swizzle.txt.\n");
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
        std::printf(in_place ? "%d PoC2 plots were already there when their turn came; their "
                               "PoC1 plots are left as they are.\n"
                             : "%d PoC2 plots were already there when their turn came; their "
                               "sources are kept.\n",
                    existing);
    }
    if (completed == total) {
        std::printf(in_place ? "All %d conversions in place completed.\n"
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

    install_stop_signals();
    open_log_file("log_swizzle.txt");
    set_log_echo(false); // the log file has every line; the terminal shows the boxes
    install_terminal_boxes();
    install_loop_hooks();
    run_ui_tasks(); // this thread is the interface thread from here on
    // A merge of hundreds of plots holds every one of them open.
    std::uint64_t open_files = raise_open_file_limit();
    log_message("Up to %llu files may be open at once\n",
                static_cast<unsigned long long>(open_files));

    conversion_plan_s plan = plan_conversion(request_of(options));
    report_plan_shortfall(plan);
    if (options.in_place) {
        print_in_place_plan(plan, options.sources, options.max_ram_bytes);
    } else {
        print_plan(plan, options.max_ram_bytes, options.sources.size() > 1);
    }
    print_set_aside(plan);

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
        return 1;
    case plan_outcome::no_folders:
    case plan_outcome::no_plots:
        std::printf("No optimized PoC1 plots in %s.\n", folder_list(options.sources).c_str());
        return 0;
    case plan_outcome::set_aside:
        std::printf("Nothing to convert: every plot found is left as it is.\n");
        return 0;
    case plan_outcome::all_there:
        std::printf(options.in_place
                        ? "Nothing to convert: every PoC1 plot of this folder already has its "
                          "PoC2 plot beside it.\n"
                        : "Nothing to convert: every PoC2 plot of this plan is already there.\n");
        return 0;
    case plan_outcome::planned:
        break;
    }
    if (options.plan_only) {
        return 0;
    }

    farm_settings_s settings;
    settings.verify_outputs = options.verify;
    // How often a job's progress is made durable; tests make it often, to interrupt runs at any
    // moment and have them resumed.
    if (const char* seconds = std::getenv("SCOOPSHIFT_CHECKPOINT_SECONDS")) {
        settings.checkpoints.seconds = std::strtod(seconds, nullptr);
    }
    farm_s& farm = the_farm();
    // The run's time is the whole farm's, and ends where the work does, before the closing
    // question waits for the user.
    auto started = std::chrono::steady_clock::now();
    auto ended = started;
    bool ended_normally = false;
    start_farm(farm, plan, options.max_ram_bytes, settings, [&] {
        ended = std::chrono::steady_clock::now();
        ended_normally = true;
        if (options.in_place) {
            end_in_place_run(farm_plan(farm));
            return;
        }
        source_deletion choice = deletion_of(options.deletion);
        completion_s done = offer_source_deletion(farm_plan(farm), choice);
        if (done.question_due && choice != source_deletion::ask) {
            print_decided_question("Done!", done.question.c_str(),
                                   done.delete_sources ? "yes (--delete-sources)"
                                                       : "no (--keep-sources)");
        }
    });
    int status = run_loop(farm);
    // A stream that could not run ends the program; the others stop where they are.
    if (!farm.finished) {
        stop_farm(farm);
    }
    join_farm(farm);
    if (!ended_normally) {
        ended = std::chrono::steady_clock::now();
    }
    conversion_plan_s outcome = farm_plan(farm);
    double seconds = std::chrono::duration<double>(ended - started).count();
    std::fputs(run_summary(outcome, farm_progress(farm).written, seconds).c_str(), stdout);
    print_outcome(farm, outcome, options.in_place);
    // Plots left out for want of room were not converted either.
    if ((!farm.finished || !outcome.unplaced_jobs.empty()) && status == 0) {
        status = 1;
    }
    return status;
}
