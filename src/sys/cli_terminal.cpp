#include "sys/cli_terminal.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "swizzler/conversion_record.h"
#include "sys/cli_printable.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

std::mutex terminal_lock;       // every write to the terminal
bool status_line_shown = false; // guarded by terminal_lock

constexpr double rate_window_seconds = 10;
constexpr double plain_line_interval = 10;

void clear_status_line() {
    if (status_line_shown) {
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
        status_line_shown = false;
    }
}

bool prompt_yes_no(const char* title, const char* text) {
    std::fprintf(stderr, "%s\n%s\n", title, text);
    for (;;) {
        std::fputs("[y/n] ", stderr);
        std::fflush(stderr);
        char line[64];
        if (std::fgets(line, sizeof line, stdin) == nullptr) {
            return false;
        }
        if (line[0] == 'y' || line[0] == 'Y') {
            return true;
        }
        if (line[0] == 'n' || line[0] == 'N') {
            return false;
        }
    }
}

bool answer_box(deletion_answer deletion, const char* title, const char* raw_text,
                message_box_kind kind) {
    // Box texts name files, and a file name may hold anything.
    std::string shown = printable(raw_text, true);
    const char* text = shown.c_str();
    std::lock_guard lock(terminal_lock);
    clear_status_line();
    if (kind == message_box_kind::ok) {
        std::fprintf(stderr, "%s: %s\n", title, text);
        return false;
    }
    if (std::strcmp(title, "Done!") == 0 && deletion != deletion_answer::ask) {
        bool yes = deletion == deletion_answer::delete_sources;
        std::fprintf(stderr, "%s\n%s\n%s\n", title, text,
                     yes ? "yes (--delete-sources)" : "no (--keep-sources)");
        return yes;
    }
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        return prompt_yes_no(title, text);
    }
    std::fprintf(stderr, "%s\n%s\nno (no terminal to ask)\n", title, text);
    return false;
}

// Bytes per second between the oldest kept sample and the newest.
double rate(const std::deque<progress_sample_s>& samples, std::uint64_t progress_sample_s::*field) {
    const auto& first = samples.front();
    const auto& last = samples.back();
    double dt = last.seconds - first.seconds;
    if (dt <= 0 || last.*field < first.*field) {
        return 0;
    }
    return static_cast<double>(last.*field - first.*field) / dt;
}

double percent(std::uint64_t part, std::uint64_t total) {
    return total == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(total);
}

} // namespace

void install_terminal_boxes(deletion_answer deletion) {
    set_message_box_handler(
        [deletion](int, const char* title, const char* text, message_box_kind kind) {
            return answer_box(deletion, title, text, kind);
        });
}

void show_progress(const swizzler_s& record, progress_view_s& view) {
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - view.start;
    double t = elapsed.count();
    // Work taken over from an earlier run counts as done; rates come from this run's work.
    std::uint64_t resumed = record.bytes_resumed.load();
    std::uint64_t this_run_written = record.bytes_written.load();
    std::uint64_t read = record.bytes_read.load() + resumed;
    std::uint64_t written = this_run_written + resumed;
    std::uint64_t total = record.plan.bytes_total;

    view.samples.push_back({t, read - resumed, this_run_written});
    while (view.samples.size() > 2 && t - view.samples.front().seconds > rate_window_seconds) {
        view.samples.pop_front();
    }
    if (!view.terminal && t - view.last_shown < plain_line_interval) {
        return;
    }
    view.last_shown = t;

    char read_rate[32];
    char write_rate[32];
    format_size(sizeof read_rate, read_rate,
                static_cast<std::uint64_t>(rate(view.samples, &progress_sample_s::read)), false,
                "/s");
    format_size(sizeof write_rate, write_rate,
                static_cast<std::uint64_t>(rate(view.samples, &progress_sample_s::written)), false,
                "/s");
    std::string line;
    char part[256];
    std::snprintf(part, sizeof part, "Read %0.1f%% (%s), written %0.1f%% (%s)",
                  percent(read, total), read_rate, percent(written, total), write_rate);
    line = part;
    if (record.verify_outputs) {
        std::snprintf(part, sizeof part, ", verified %0.1f%%",
                      percent(record.bytes_verified.load(), total));
        line += part;
    }
    // The remaining time applies the average write rate since the start to what is left.
    if (t > 5 && this_run_written > 0 && written < total) {
        double remaining =
            static_cast<double>(total - written) / (static_cast<double>(this_run_written) / t);
        const char* elapsed_text = duration_text(t);
        const char* remaining_text = duration_text(remaining);
        std::snprintf(part, sizeof part, ". Elapsed time: %s, Estimated remaining: %s",
                      elapsed_text, remaining_text);
        line += part;
    }

    std::lock_guard lock(terminal_lock);
    if (view.terminal) {
        std::printf("\r\033[K%s", line.c_str());
        status_line_shown = true;
    } else {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

void end_progress_line(progress_view_s& view) {
    std::lock_guard lock(terminal_lock);
    if (view.terminal && status_line_shown) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
        status_line_shown = false;
    }
}
