#include "sys/cli_terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "swizzler/conversion_record.h"
#include "swizzler/farm.h"
#include "sys/cli_printable.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

std::mutex terminal_lock;      // every write to the terminal
int status_lines_shown = 0;    // guarded by terminal_lock; the cursor ends the last of them
terminal_boxes_s box_settings; // written at start-up, before other threads exist; then read

constexpr double rate_window_seconds = 10;
constexpr double plain_line_interval = 10;

// Clears the status lines from the last one up, leaving the cursor where the first began.
void clear_status_lines() {
    if (status_lines_shown == 0) {
        return;
    }
    std::fputs("\r\033[K", stdout);
    for (int i = 1; i < status_lines_shown; ++i) {
        std::fputs("\033[A\033[K", stdout);
    }
    std::fflush(stdout);
    status_lines_shown = 0;
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

box_report_s show_box(const char* title, const char* raw_text, message_box_kind kind) {
    box_report_s report{title, raw_text, kind, false, ""};
    // Box texts name files, and a file name may hold anything.
    std::string shown = printable(raw_text, true);
    const char* text = shown.c_str();
    std::lock_guard lock(terminal_lock);
    clear_status_lines();
    if (kind == message_box_kind::ok) {
        std::fprintf(stderr, "%s: %s\n", title, text);
    } else if (box_settings.may_ask && isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        report.answer = prompt_yes_no(title, text);
    } else {
        report.rule = box_settings.rule;
        std::fprintf(stderr, "%s\n%s\nno (%s)\n", title, text, report.rule.c_str());
    }
    return report;
}

bool answer_box(const char* title, const char* raw_text, message_box_kind kind) {
    box_report_s report = show_box(title, raw_text, kind);
    if (box_settings.report) {
        box_settings.report(report);
    }
    return report.answer;
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

// One stream's figures as a line.
std::string progress_line(const stream_figures_s& figures) {
    char read_rate[32];
    char write_rate[32];
    format_size(sizeof read_rate, read_rate, static_cast<std::uint64_t>(figures.read_rate), false,
                "/s");
    format_size(sizeof write_rate, write_rate, static_cast<std::uint64_t>(figures.write_rate),
                false, "/s");
    char part[256];
    std::snprintf(part, sizeof part, "Read %0.1f%% (%s), written %0.1f%% (%s)",
                  percent(figures.read, figures.total), read_rate,
                  percent(figures.written, figures.total), write_rate);
    std::string line = part;
    if (figures.verifying) {
        std::snprintf(part, sizeof part, ", verified %0.1f%%",
                      percent(figures.verified, figures.total));
        line += part;
    }
    if (figures.seconds_left >= 0 && figures.written < figures.total) {
        const char* elapsed_text = duration_text(figures.seconds);
        const char* remaining_text = duration_text(figures.seconds_left);
        std::snprintf(part, sizeof part, ". Elapsed time: %s, Estimated remaining: %s",
                      elapsed_text, remaining_text);
        line += part;
    }
    return line;
}

} // namespace

void install_terminal_boxes(terminal_boxes_s boxes) {
    box_settings = std::move(boxes);
    set_message_box_handler([](int, const char* title, const char* text, message_box_kind kind) {
        return answer_box(title, text, kind);
    });
}

void print_decided_question(const char* title, const char* text, const char* answer) {
    std::lock_guard lock(terminal_lock);
    clear_status_lines();
    std::fprintf(stderr, "%s\n%s\n%s\n", title, printable(text, true).c_str(), answer);
}

std::string fit_to_width(const std::string& line, int columns) {
    if (columns <= 0 || line.size() < static_cast<std::size_t>(columns)) {
        return line;
    }
    return line.substr(0, static_cast<std::size_t>(columns - 1));
}

std::vector<stream_figures_s> sample_progress(const farm_s& farm, progress_view_s& view) {
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - view.start;
    double t = elapsed.count();
    view.samples.resize(farm.streams.size());
    std::vector<stream_figures_s> all;
    for (std::size_t i = 0; i < farm.streams.size(); ++i) {
        const swizzler_s& stream = *farm.streams[i];
        farm_progress_s counters = stream_progress(stream);
        std::deque<progress_sample_s>& samples = view.samples[i];
        samples.push_back({t, counters.read, counters.written});
        while (samples.size() > 2 && t - samples.front().seconds > rate_window_seconds) {
            samples.pop_front();
        }
        stream_figures_s figures;
        figures.seconds = t;
        figures.total = counters.total;
        figures.read = counters.read + counters.resumed;
        figures.written = counters.written + counters.resumed;
        figures.verified = counters.verified;
        figures.read_rate = rate(samples, &progress_sample_s::read);
        figures.write_rate = rate(samples, &progress_sample_s::written);
        figures.verifying = stream.verify_outputs;
        // The remaining time applies the average write rate since the start to what is left.
        if (figures.written >= figures.total) {
            figures.seconds_left = 0;
        } else if (t > 5 && counters.written > 0) {
            figures.seconds_left = static_cast<double>(figures.total - figures.written) /
                                   (static_cast<double>(counters.written) / t);
        }
        all.push_back(figures);
    }
    return all;
}

bool plain_lines_due(progress_view_s& view, double seconds) {
    if (seconds - view.last_shown < plain_line_interval) {
        return false;
    }
    view.last_shown = seconds;
    return true;
}

void show_progress(const farm_s& farm, progress_view_s& view) {
    std::vector<stream_figures_s> figures = sample_progress(farm, view);
    if (figures.empty() || (!view.terminal && !plain_lines_due(view, figures.front().seconds))) {
        return;
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < figures.size(); ++i) {
        std::string line = progress_line(figures[i]);
        if (figures.size() > 1 && i < farm.stream_names.size()) {
            line = printable(farm.stream_names[i]) + ": " + line;
        }
        lines.push_back(std::move(line));
    }

    std::lock_guard lock(terminal_lock);
    if (view.terminal) {
        winsize size{};
        int columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
        std::string block = "\r";
        if (status_lines_shown > 1) {
            block += "\033[" + std::to_string(status_lines_shown - 1) + "A";
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            block += (i == 0 ? "\033[K" : "\n\033[K") + fit_to_width(lines[i], columns);
        }
        std::fputs(block.c_str(), stdout);
        status_lines_shown = static_cast<int>(lines.size());
    } else {
        for (const std::string& line : lines) {
            std::printf("%s\n", line.c_str());
        }
    }
    std::fflush(stdout);
}

void end_progress_line(progress_view_s& view) {
    std::lock_guard lock(terminal_lock);
    if (view.terminal && status_lines_shown > 0) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
        status_lines_shown = 0;
    }
}
