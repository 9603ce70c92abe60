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
#include <string>
#include <vector>

#include "sys/cli_options.h"

struct farm_s;

// Installs message boxes for the terminal: "Error" and "Warning" go to standard error; questions
// are prompted for when standard input and error are terminals, else answered No.
void install_terminal_boxes();

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

// Shows each stream's figures: redrawn status lines on a terminal, plain lines every 10 seconds
// otherwise. Main thread.
void show_progress(const farm_s& farm, progress_view_s& view);

// `line` cut to at most `columns` - 1 bytes (on some terminals a line that fills the last column
// wraps at once, a line more than counted); as it is when `columns` is 0 (width unknown).
std::string fit_to_width(const std::string& line, int columns);

// Ends the status lines on screen so that what follows starts on its own line. Main thread.
void end_progress_line(progress_view_s& view);
