// Message boxes answered by a test: every box is recorded, questions get the next scripted
// answer (No once the script runs out).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "util/log.h"

struct shown_box_s {
    int window = 0;
    std::string title;
    std::string text;
    message_box_kind kind = message_box_kind::ok;
};

struct scripted_boxes_s {
    std::vector<shown_box_s> shown;
    std::deque<bool> answers;
};

// Installs a handler that records into `boxes` (which must outlive it) and answers from it.
// Safe to call from any thread once installed: boxes are recorded under a lock.
void install_scripted_boxes(scripted_boxes_s& boxes);

// Restores the standard-error fallback.
void remove_scripted_boxes();

// Titles of the boxes shown so far, in order, under the same lock.
std::vector<std::string> shown_titles(scripted_boxes_s& boxes);
