// The terminal as the front end's window: message boxes as printed texts and
// y/n prompts, and a progress line.
//
// Boxes may come from the work thread while the main thread draws progress;
// both write under one lock, and a box first clears a progress line that is
// on screen.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

#include "sys/cli_options.h"

struct swizzler_s;

// Installs message boxes for the terminal: "Error" and "Warning" go to standard error; questions
// are prompted for when standard input and error are terminals, else answered No, except
// "Done!", which `deletion` answers when it is not `ask`.
void install_terminal_boxes(deletion_answer deletion);

struct progress_sample_s {
    double seconds = 0;
    std::uint64_t read = 0;
    std::uint64_t written = 0;
};

struct progress_view_s {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool terminal = false;                 // redraw one line in place about once a second
    double last_shown = -1e9;              // seconds since start of the last plain line
    std::deque<progress_sample_s> samples; // about the last ten seconds, oldest first
};

// Shows the run's figures: a redrawn status line on a terminal, a plain line every 10 seconds
// otherwise. Main thread.
void show_progress(const swizzler_s& record, progress_view_s& view);

// Ends a status line on screen so that what follows starts on its own line. Main thread.
void end_progress_line(progress_view_s& view);
