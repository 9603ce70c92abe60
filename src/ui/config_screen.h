// The configuration screen: the first screen of the window, where a run is set up.
//
// It shows the plan that planning left behind (or why there is none to start)
// and, on a line of its own, what the plan leaves out (plots already in a
// destination, plots that fit nowhere, files set aside), whose list a click
// opens; then the source and destination panels, the options (merging,
// checking every plot before its sources may be deleted, converting in
// place), the memory limit and the start button, all recomputed from the
// program's state on every frame. Every change that affects the plan replans
// and asks for a repaint; planning shows no box. Everything the mouse reaches
// the keyboard reaches too (Tab, Return). The start button, enabled only with
// a plan, asks once when the plan leaves plots out for want of room, then
// switches to the progress screen and starts the run, one conversion for each
// set of drives that share no disk; there is no way back. Interface thread
// only.
#pragma once

#include <cstdint>
#include <vector>

struct conversion_plan_s;

// The memory limit of the next run in bytes; 0 = automatic. Interface thread only.
extern std::uint64_t max_ram_bytes;

// The "Check before deleting" option: every output is read back and compared with its sources
// before it gets its name. Interface thread only.
extern bool verify_before_deleting;

// Draws one frame of the configuration screen into the current window.
void config_screen();

// The start button's action: asks first when plots fit nowhere, records the run values,
// installs the progress screen with its one-second repaint timer, hides the launcher progress
// and starts the program's farm on the plan; once every stream has ended it offers to delete
// the sources of the completed jobs (in place: it only ends the run).
void start_conversion();

// The window's plan cut into streams, cut again only when planning has made a new plan
// (cutting looks at the drive of every folder, too slow for every frame).
const std::vector<conversion_plan_s>& plan_streams();
