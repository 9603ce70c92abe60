// The terminal as the front end's window: message boxes as printed texts and
// y/n prompts, and progress lines.
//
// Progress is one line per stream of the farm, each after its drives' name
// when there is more than one; on a terminal the block is redrawn in place,
// each line cut to the terminal's width so that none wraps and the cursor can
// go back over the block. Boxes may come from a work thread while the main
// thread draws progress; both write under one lock, and a box first clears the
// progress lines that are on screen.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "util/log.h"

struct farm_s;

// One box as the terminal dealt with it, for a front end that reports it elsewhere as well.
struct box_report_s {
    std::string title;
    std::string text; // as raised: not yet made printable
    message_box_kind kind = message_box_kind::ok;
    bool answer = false; // a question's answer
    std::string rule;    // a question answered without a person: why that answer; else ""
};

struct terminal_boxes_s {
    bool may_ask = true; // prompt when standard input and error are terminals; false: never
    std::string rule = "no terminal to ask"; // why a question was answered without a prompt
    // Called after each box, on the thread that raised it; empty: not called.
    std::function<void(const box_report_s&)> report;
};

// Installs message boxes for the terminal: "Error" and "Warning" go to standard error; questions
// are prompted for when allowed and standard input and error are terminals, else answered No.
void install_terminal_boxes(terminal_boxes_s boxes);

// Prints a question that the command line answered before the run, with that answer.
void print_decided_question(const char* title, const char* text, const char* answer);

struct progress_sample_s {
    double seconds = 0;
    std::uint64_t read = 0;
    std::uint64_t written = 0;
};

struct progress_view_s {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool terminal = false;    // redraw the lines in place about once a second
    double last_shown = -1e9; // seconds since start of the last plain lines
    // Per stream: about the last ten seconds, oldest first.
    std::vector<std::deque<progress_sample_s>> samples;
};

// One stream's figures at a moment. Work taken over from an earlier run counts as done; rates
// come from this run's work only.
struct stream_figures_s {
    double seconds = 0; // since the view's start
    std::uint64_t total = 0;
    std::uint64_t read = 0;     // bytes read, with those taken over
    std::uint64_t written = 0;  // bytes written, with those taken over
    std::uint64_t verified = 0; // bytes read back and found right
    double read_rate = 0;       // bytes per second over about the last ten seconds
    double write_rate = 0;
    double seconds_left = -1; // negative: not known yet (the first five seconds, nothing written)
    bool verifying = false;
};

// Samples every stream's counters into the view and returns each stream's figures. Main thread.
std::vector<stream_figures_s> sample_progress(const farm_s& farm, progress_view_s& view);

// Whether lines that are not redrawn in place are due at `seconds`: the first at once, then
// every 10 seconds; marks them shown when they are.
bool plain_lines_due(progress_view_s& view, double seconds);

// Shows each stream's figures: redrawn status lines on a terminal, plain lines every 10 seconds
// otherwise. Main thread.
void show_progress(const farm_s& farm, progress_view_s& view);

// `line` cut to at most `columns` - 1 bytes (on some terminals a line that fills the last column
// wraps at once, a line more than counted); as it is when `columns` is 0 (width unknown).
std::string fit_to_width(const std::string& line, int columns);

// Ends the status lines on screen so that what follows starts on its own line. Main thread.
void end_progress_line(progress_view_s& view);
