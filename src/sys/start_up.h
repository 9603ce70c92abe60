// Start-up and end of the desktop program: the log, the clock, the main
// window with its first screen, the record of the window's run (the farm),
// then the main loop.
//
// Limits: one run per process. The first screen is a parameter so that the
// window tests start the real host with a screen of their own.
#pragma once

#include <functional>

// Starts the program with `first_screen` in the main window and runs the main loop; returns
// the exit status: 0 when the window was closed, else what request_quit asked for, and 1 when
// there is no display to open the window on. Closing the window while a conversion runs asks
// "Stop conversion?" first; No keeps the window and the run. Call once, on the thread that becomes
// the interface thread.
int run_desktop_program(std::function<void()> first_screen);

// Flushes the log and the standard streams and ends the process with `status` at once, also
// while the work thread still runs (closing the window stops a conversion where it is).
[[noreturn]] void end_process(int status);
