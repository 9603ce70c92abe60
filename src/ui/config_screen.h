// The configuration screen: the first screen of the window, where a run is set up.
//
// It shows the plan that planning left behind (or why there is none to start),
// the source and destination panels, the merge option, the memory limit and
// the start button, all recomputed from the program's state on every frame.
// Every change that affects the plan replans and asks for a repaint. The start
// button, enabled only with a plan, switches to the progress screen and starts
// the run, one conversion for each set of drives that share no disk; there is
// no way back. Interface thread only.
#pragma once

#include <cstdint>

// The memory limit of the next run in bytes; 0 = automatic. Interface thread only.
extern std::uint64_t max_ram_bytes;

// Draws one frame of the configuration screen into the current window.
void config_screen();

// The start button's action: records the run values, installs the progress screen with its
// one-second repaint timer, hides the launcher progress and starts the program's farm on the
// plan; once every stream has ended it offers to delete the sources of the completed jobs.
void start_conversion();
