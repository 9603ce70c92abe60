// What the screens need from the window host beyond drawing: timers, the
// folder chooser, native text boxes and the desktop's progress indicator.
//
// The GTK host installs real ones at start-up; screen tests install doubles.
// With nothing installed, each does nothing (the chooser returns no folder).
// Threading: installed before other threads exist, called on the interface thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ui/window_record.h"

struct host_hooks_s {
    // Starts a repeating timer that repaints the window every `milliseconds`.
    std::function<void(int window, int milliseconds)> start_repaint_timer;
    // A modal folder chooser titled `title`; the chosen folder, or nothing when cancelled.
    std::function<std::optional<std::string>(int window, const char* title)> choose_folder;
    // Creates a borderless single-line text box at the control's rectangle, with its text,
    // capacity - 1 characters at most, font "Microsoft Sans Serif" 28 px, keyboard focus;
    // stores the widget in control.handle. The host copies every change into control.text,
    // and Enter and Escape in the box run control.on_enter and control.on_escape.
    std::function<void(int window, child_control_s& control)> create_text_box;
    // Destroys a text box made by create_text_box.
    std::function<void(int window, child_control_s& control)> destroy_text_box;
    // Shows the run's progress on the desktop's launcher: fraction 0 hides it.
    std::function<void(int window, double fraction)> set_launcher_progress;
};

// The hooks in force; hosts fill them in at start-up.
host_hooks_s& host_hooks();
