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

std::mutex terminal_lock;   // every write to the terminal
int status_lines_shown = 0; // guarded by terminal_lock; the cursor ends the last of them

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

bool answer_box(const char* title, const char* raw_text, message_box_kind kind) {
    // Box texts name files, and a file name may hold anything.
    std::string shown = printable(raw_text, true);
    const char* text = shown.c_str();
    std::lock_guard lock(terminal_lock);
    clear_status_lines();
    if (kind == message_box_kind::ok) {
        std::fprintf(stderr, "%s: %s\n", title, text);
        return false;
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

// One stream's figures. Work taken over from an earlier run counts as done; rates come from this
// run's work (the samples hold this run's reads and writes).
std::string progress_line(const farm_progress_s& figures,
                          const std::deque<progress_sample_s>& samples, double t,
                          bool verify_outputs) {
    std::uint64_t read = figures.read + figures.resumed;
    std::uint64_t written = figures.written + figures.resumed;
    std::uint64_t total = figures.total;
    char read_rate[32];
    char write_rate[32];
    format_size(sizeof read_rate, read_rate,
                static_cast<std::uint64_t>(rate(samples, &progress_sample_s::read)), false, "/s");
    format_size(sizeof write_rate, write_rate,
                static_cast<std::uint64_t>(rate(samples, &progress_sample_s::written)), false,
                "/s");
    char part[256];
    std::snprintf(part, sizeof part, "Read %0.1f%% (%s), written %0.1f%% (%s)",
                  percent(read, total), read_rate, percent(written, total), write_rate);
    std::string line = part;
    if (verify_outputs) {
        std::snprintf(part, sizeof part, ", verified %0.1f%%", percent(figures.verified, total));
        line += part;
    }
    // The remaining time applies the average write rate since the start to what is left.
    if (t > 5 && figures.written > 0 && written < total) {
        double remaining =
            static_cast<double>(total - written) / (static_cast<double>(figures.written) / t);
        const char* elapsed_text = duration_text(t);
        const char* remaining_text = duration_text(remaining);
        std::snprintf(part, sizeof part, ". Elapsed time: %s, Estimated remaining: %s",
                      elapsed_text, remaining_text);
        line += part;
    }
    return line;
}

} // namespace

void install_terminal_boxes() {
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

void show_progress(const farm_s& farm, progress_view_s& view) {
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - view.start;
    double t = elapsed.count();
    view.samples.resize(farm.streams.size());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < farm.streams.size(); ++i) {
        const swizzler_s& stream = *farm.streams[i];
        farm_progress_s figures = stream_progress(stream);
        std::deque<progress_sample_s>& samples = view.samples[i];
        samples.push_back({t, figures.read, figures.written});
        while (samples.size() > 2 && t - samples.front().seconds > rate_window_seconds) {
            samples.pop_front();
        }
        std::string line = progress_line(figures, samples, t, stream.verify_outputs);
        if (farm.streams.size() > 1 && i < farm.stream_names.size()) {
            line = printable(farm.stream_names[i]) + ": " + line;
        }
        lines.push_back(std::move(line));
    }
    if (lines.empty() || (!view.terminal && t - view.last_shown < plain_line_interval)) {
        return;
    }
    view.last_shown = t;

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
